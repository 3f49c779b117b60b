#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace larkhold::PocketFormat {

// Capacity tiers in MB; a tier of n MB holds n × 1,048,576 bytes of payload per area.
inline constexpr std::array<int, 4> sizeTiersMB{1, 5, 25, 50};

inline constexpr std::int64_t kSlotSize = 92;   // salt (32) + combined box of a 32-byte key (60)
inline constexpr std::int64_t kSlotsSize = 184; // two slots
inline constexpr std::int64_t kAreaOverhead = 28;

inline constexpr std::int64_t capacityOfTier(int tierMB) {
    return std::int64_t{tierMB} * 1'048'576;
}
inline constexpr std::int64_t fileSizeForCapacity(std::int64_t capacity) {
    return kSlotsSize + 2 * (capacity + kAreaOverhead);
}
// An area's box (nonce, C encrypted bytes, tag) and where area `area` (0 or 1) starts in the file.
inline constexpr std::int64_t areaBoxSize(std::int64_t capacity) {
    return capacity + kAreaOverhead;
}
inline constexpr std::int64_t capacityOfBox(std::int64_t boxSize) {
    return boxSize - kAreaOverhead;
}
inline constexpr std::int64_t areaOffset(int area, std::int64_t capacity) {
    return kSlotsSize + area * areaBoxSize(capacity);
}

// The capacity C of a file of this size, or nothing when the size is not one of the tiers'.
std::optional<std::int64_t> capacity(std::int64_t fileSize);

// True for an existing regular file (or a link to one) whose size matches a tier. Reads no byte
// of the file; its name plays no part.
bool isPocketVaultFile(const QString& path);

// Bytes from the system's secure generator. Throws crypto::CryptoError when the generator fails,
// so that no vault is ever written with bytes that are not random.
std::vector<std::uint8_t> randomBytes(std::size_t n);

} // namespace larkhold::PocketFormat
