#pragma once

#include "SecureBytes.h"

#include <array>
#include <stdexcept>

namespace larkhold::crypto {

// Thrown when the random generator or the cipher library fails. Never carries secret data.
struct CryptoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;
inline constexpr std::size_t kGcmOverhead = kGcmNonceSize + kGcmTagSize;
inline constexpr std::size_t kKeySize = 32;

// Fills out with bytes from the system's secure generator; throws CryptoError instead of
// ever returning bytes that are not random.
void randomFill(std::span<std::uint8_t> out);
SecureBytes randomBytes(std::size_t n);
// Uniformly random integer in [0, bound).
std::uint32_t randomBelow(std::uint32_t bound);

std::array<std::uint8_t, 32> sha256(ByteView data);

// AES-256-GCM in the combined form: nonce (12) ‖ ciphertext ‖ tag (16).
// box must hold plaintext.size() + kGcmOverhead bytes; the nonce is drawn fresh.
void aesGcmSeal(ByteView key, ByteView plaintext, ByteView aad, std::span<std::uint8_t> box);
// Opens a combined box into plaintext (box.size() - kGcmOverhead bytes).
// Returns false for a wrong key, altered bytes or a malformed box; plaintext is wiped then.
bool aesGcmOpen(ByteView key, ByteView box, ByteView aad, std::span<std::uint8_t> plaintext);

// Constant-time comparison of equal-length buffers; false when the lengths differ.
bool equalConstantTime(ByteView a, ByteView b);

} // namespace larkhold::crypto
