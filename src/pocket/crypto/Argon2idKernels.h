#pragma once

// Implementations of the Argon2 compression function G for different instruction sets. All of
// them compute the same function; Argon2id picks the fastest one the processor supports, once.

#include "Argon2id.h"

#include <vector>

namespace larkhold::argon2 {

using Block = Argon2id::Block;

// In the data-dependent passes the next reference block is chosen by the first word of the block
// being computed, and fetching it from memory costs about as much as G itself. A kernel therefore
// finishes the column that holds word 0 first and hands that word to `next`, which names the next
// reference block (or nullptr); the kernel prefetches it while it computes the other columns.
struct Lookahead {
    const Block* (*next)(void* context, std::uint64_t firstWord) noexcept;
    void* context;
};

// Internal linkage: the kernels are built for different instruction sets, and one shared
// out-of-line copy could carry instructions the processor lacks.
static inline void prefetchNextReference(const Lookahead* lookahead, std::uint64_t firstWord) noexcept {
    if (lookahead == nullptr)
        return;
    if (const Block* b = lookahead->next(lookahead->context, firstWord)) {
        const char* p = reinterpret_cast<const char*>(b);
        for (int line = 0; line < 16; ++line)
            __builtin_prefetch(p + 64 * line, 0, 3);
    }
}

using FillFunction = void (*)(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
                              const Lookahead* lookahead) noexcept;

struct Kernel {
    const char* name;
    FillFunction fill;
};

void fillPortable(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
                  const Lookahead* lookahead = nullptr) noexcept;
#if defined(__x86_64__) || defined(__i386__)
void fillSsse3(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
               const Lookahead* lookahead = nullptr) noexcept;
void fillAvx2(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
              const Lookahead* lookahead = nullptr) noexcept;
void fillAvx512(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
                const Lookahead* lookahead = nullptr) noexcept;
#endif

// The kernel Argon2id uses on this processor.
const Kernel& selectedKernel() noexcept;
// Every kernel this processor can run, the portable one first (for equivalence tests).
std::vector<Kernel> supportedKernels();

} // namespace larkhold::argon2
