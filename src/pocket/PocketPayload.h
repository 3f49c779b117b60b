#pragma once

#include "PocketItem.h"

#include <array>
#include <cstdint>
#include <span>

namespace larkhold::PocketPayload {

// Plaintext of an area: magic, manifest length (u32 LE), JSON manifest, the items' bytes in
// manifest order, zero fill up to the capacity.
inline constexpr std::array<std::uint8_t, 4> magic{'L', 'H', 'P', '1'};

// Bytes the items need in an area: 8 + manifest + every item's data.
std::int64_t sizeOf(const PocketItems& items);

// Exactly `capacity` bytes; throws PocketVaultError::full when the items need more.
SecureBytes encode(const PocketItems& items, std::int64_t capacity);
// The same plaintext written over all of `out` (its size is the capacity). Throws before writing
// any byte when the items cannot be encoded.
void encodeInto(const PocketItems& items, std::span<std::uint8_t> out);

// Throws PocketVaultError::damaged on anything malformed; never returns a partial list.
PocketItems decode(ByteView plaintext);

} // namespace larkhold::PocketPayload
