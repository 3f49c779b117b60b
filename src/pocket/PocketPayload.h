#pragma once

#include "PocketItem.h"

#include <array>
#include <cstdint>

namespace larkhold::PocketPayload {

// Plaintext of an area: magic, manifest length (u32 LE), JSON manifest, the items' bytes in
// manifest order, zero fill up to the capacity.
inline constexpr std::array<std::uint8_t, 4> magic{'L', 'H', 'P', '1'};

// Bytes the items need in an area: 8 + manifest + every item's data.
std::int64_t sizeOf(const PocketItems& items);

// Exactly `capacity` bytes; throws PocketVaultError::full when the items need more.
SecureBytes encode(const PocketItems& items, std::int64_t capacity);

// Throws PocketVaultError::damaged on anything malformed; never returns a partial list.
PocketItems decode(ByteView plaintext);

} // namespace larkhold::PocketPayload
