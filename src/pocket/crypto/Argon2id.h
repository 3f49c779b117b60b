#pragma once

#include "SecureBytes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace larkhold {

// Argon2id, version 0x13 (RFC 9106), built on Blake2b. Stateless; every call allocates its own
// memory matrix, wipes it and frees it before returning. Lanes are computed one after another on
// the calling thread. Thread-safe.
class Argon2id {
public:
    static constexpr std::uint32_t version = 0x13;
    static constexpr std::uint32_t type = 2;

    // Bounds checked by hash() before anything is allocated. The memory cap keeps a parameter set
    // read from a damaged or hostile file from asking for an absurd amount of memory (4 GiB).
    static constexpr std::uint32_t minLanes = 1;
    static constexpr std::uint32_t maxLanes = 0xFFFFFF;
    static constexpr std::uint32_t minIterations = 1;
    static constexpr std::uint32_t minTagLength = 4;
    static constexpr std::uint32_t maxMemoryKiB = 4u * 1024 * 1024;

    // One 1024-byte block of the memory matrix: 128 little-endian 64-bit words.
    struct alignas(64) Block {
        std::uint64_t v[128];
    };

    // The tag of `length` bytes. Throws std::invalid_argument when a parameter is out of bounds:
    // lanes 1..2^24-1, iterations >= 1, length >= 4, 8 x lanes <= memoryKiB <= maxMemoryKiB,
    // each input shorter than 2^32 bytes. Throws std::bad_alloc when the matrix cannot be allocated.
    static SecureBytes hash(ByteView password, ByteView salt, ByteView secret, ByteView associatedData,
                            std::uint32_t iterations, std::uint32_t memoryKiB, std::uint32_t parallelism,
                            std::uint32_t length);

    // H', the variable-length hash built from BLAKE2b. length >= 1 (std::invalid_argument otherwise).
    static std::vector<std::uint8_t> variableHash(ByteView input, std::uint32_t length);

    // The compression function G: target = G(x, y), or target ^= G(x, y) when xorInto is set.
    // work is caller-supplied scratch of two blocks. x and y are read completely before target is
    // written, so target may be x or y.
    static void fill(const Block& x, const Block& y, Block& target, bool xorInto, Block* work) noexcept;
};

} // namespace larkhold
