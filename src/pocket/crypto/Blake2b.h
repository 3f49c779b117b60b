#pragma once

#include "SecureBytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace larkhold {

// Unkeyed BLAKE2b (RFC 7693). A value type: copies hash independently. The chaining value and the
// block buffer may hold password bytes, so both are wiped when the hasher is destroyed or finalised.
class Blake2b {
public:
    static constexpr std::size_t blockSize = 128;
    static constexpr std::size_t maxOutputLength = 64;

    // The standard's initial vector and message schedule.
    static const std::array<std::uint64_t, 8> iv;
    static const std::array<std::array<std::uint8_t, 16>, 10> sigma;

    // Throws std::invalid_argument unless 1 <= outputLength <= 64.
    explicit Blake2b(std::size_t outputLength);
    Blake2b(const Blake2b&) = default;
    Blake2b& operator=(const Blake2b&) = default;
    ~Blake2b();

    void update(ByteView data);
    // Ends the hash; the hasher must not be used afterwards (std::logic_error).
    std::vector<std::uint8_t> finalize();
    // Same, writing exactly outputLength() bytes into out, for digests that must stay in wiped memory.
    void finalize(std::span<std::uint8_t> out);

    std::size_t outputLength() const noexcept { return outputLength_; }

    static std::vector<std::uint8_t> hash(ByteView data, std::size_t outputLength);

private:
    // Compresses one 128-byte block (from the buffer or straight from the caller's input) into h_.
    void compress(const std::uint8_t* block, bool last) noexcept;

    std::array<std::uint64_t, 8> h_{};
    std::array<std::uint8_t, blockSize> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t counter_ = 0; // bytes already compressed; the high word of the 128-bit counter stays 0
    std::size_t outputLength_;
    bool finalized_ = false;
};

} // namespace larkhold
