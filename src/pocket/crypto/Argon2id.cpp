#include "Argon2id.h"

#include "Argon2idKernels.h"
#include "Blake2b.h"

#include <algorithm>
#include <barrier>
#include <latch>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <openssl/crypto.h>
#include <stdexcept>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <vector>

namespace larkhold {

namespace argon2 {

namespace {

inline std::uint64_t blaMka(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t lo = (a & 0xFFFFFFFFULL) * (b & 0xFFFFFFFFULL);
    return a + b + 2 * lo;
}

inline void gb(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d) noexcept {
    a = blaMka(a, b);
    d = std::rotr(d ^ a, 32);
    c = blaMka(c, d);
    b = std::rotr(b ^ c, 24);
    a = blaMka(a, b);
    d = std::rotr(d ^ a, 16);
    c = blaMka(c, d);
    b = std::rotr(b ^ c, 63);
}

// P over sixteen words v0..v15, given as eight pairs of consecutive words at p[s * k], k = 0..7.
inline void permute(std::uint64_t* p, std::size_t s) noexcept {
    auto v = [p, s](int j) -> std::uint64_t& { return p[s * static_cast<std::size_t>(j / 2) + (j & 1)]; };
    gb(v(0), v(4), v(8), v(12));
    gb(v(1), v(5), v(9), v(13));
    gb(v(2), v(6), v(10), v(14));
    gb(v(3), v(7), v(11), v(15));
    gb(v(0), v(5), v(10), v(15));
    gb(v(1), v(6), v(11), v(12));
    gb(v(2), v(7), v(8), v(13));
    gb(v(3), v(4), v(9), v(14));
}

} // namespace

void fillPortable(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
                  const Lookahead* lookahead) noexcept {
    Block& r = work[0];
    Block& q = work[1];
    for (int i = 0; i < 128; ++i)
        q.v[i] = r.v[i] = x.v[i] ^ y.v[i];
    if (xorInto)
        for (int i = 0; i < 128; ++i)
            r.v[i] ^= target.v[i];
    // Rows: words 16i..16i+15. Columns: the word pairs 2i, 2i+16, ..., 2i+112.
    for (std::size_t i = 0; i < 8; ++i)
        permute(q.v + 16 * i, 2);
    permute(q.v, 16);
    prefetchNextReference(lookahead, q.v[0] ^ r.v[0]);
    for (std::size_t i = 1; i < 8; ++i)
        permute(q.v + 2 * i, 16);
    for (int i = 0; i < 128; ++i)
        target.v[i] = q.v[i] ^ r.v[i];
}

const Kernel& selectedKernel() noexcept {
    static const Kernel kernel = [] {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f"))
            return Kernel{"avx512", fillAvx512};
        if (__builtin_cpu_supports("avx2"))
            return Kernel{"avx2", fillAvx2};
        if (__builtin_cpu_supports("ssse3"))
            return Kernel{"ssse3", fillSsse3};
#endif
        return Kernel{"portable", fillPortable};
    }();
    return kernel;
}

std::vector<Kernel> supportedKernels() {
    std::vector<Kernel> kernels{{"portable", fillPortable}};
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3"))
        kernels.push_back({"ssse3", fillSsse3});
    if (__builtin_cpu_supports("avx2"))
        kernels.push_back({"avx2", fillAvx2});
    if (__builtin_cpu_supports("avx512f"))
        kernels.push_back({"avx512", fillAvx512});
#endif
    return kernels;
}

} // namespace argon2

namespace {

using Block = Argon2id::Block;
constexpr std::size_t kBlockSize = sizeof(Block);
static_assert(kBlockSize == 1024);
constexpr std::uint32_t kAddressesPerBlock = 128;
constexpr std::uint32_t kSyncPoints = 4;

void putLe32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void absorbLe32(Blake2b& h, std::uint32_t v) {
    std::uint8_t b[4];
    putLe32(b, v);
    h.update(b);
}

// H' of RFC 9106 section 3.3, written into out (1 <= out.size() < 2^32). Every intermediate V_i is
// wiped, since they are derived from the password.
void variableHashInto(ByteView input, std::span<std::uint8_t> out) {
    const auto t = static_cast<std::uint32_t>(out.size());
    if (t <= Blake2b::maxOutputLength) {
        Blake2b h(t);
        absorbLe32(h, t);
        h.update(input);
        h.finalize(out);
        return;
    }
    // r = ceil(T/32) - 2 full 64-byte hashes, of which the first 32 bytes are used, then a last
    // hash of the remaining T - 32r bytes.
    const std::uint32_t r = (t + 31) / 32 - 2;
    std::uint8_t v[Blake2b::maxOutputLength];
    {
        Blake2b h(Blake2b::maxOutputLength);
        absorbLe32(h, t);
        h.update(input);
        h.finalize(v);
    }
    std::uint8_t* o = out.data();
    std::memcpy(o, v, 32);
    o += 32;
    for (std::uint32_t i = 1; i < r; ++i) {
        Blake2b h(Blake2b::maxOutputLength);
        h.update(v);
        h.finalize(v);
        std::memcpy(o, v, 32);
        o += 32;
    }
    Blake2b h(t - 32 * r);
    h.update(v);
    h.finalize({o, t - 32 * r});
    OPENSSL_cleanse(v, sizeof v);
}

void blockFromBytes(Block& b, const std::uint8_t* bytes) noexcept {
    for (int i = 0; i < 128; ++i) {
        std::uint64_t w;
        std::memcpy(&w, bytes + 8 * i, 8);
        if constexpr (std::endian::native == std::endian::big)
            w = __builtin_bswap64(w);
        b.v[i] = w;
    }
}

void bytesFromBlock(std::uint8_t* bytes, const Block& b) noexcept {
    for (int i = 0; i < 128; ++i) {
        std::uint64_t w = b.v[i];
        if constexpr (std::endian::native == std::endian::big)
            w = __builtin_bswap64(w);
        std::memcpy(bytes + 8 * i, &w, 8);
    }
}

// The memory matrix: one contiguous anonymous mapping, zero-filled by the kernel. Asking for
// transparent huge pages cuts the TLB misses of the random reference reads considerably, and the
// matrix is kept out of core dumps. It is overwritten with zeros before it is unmapped.
class Matrix {
public:
    explicit Matrix(std::size_t blocks) : bytes_(blocks * kBlockSize) {
        constexpr std::size_t kHugePage = 2u << 20;
        // Over-map so that the usable range can start on a huge-page boundary.
        mappedBytes_ = bytes_ >= kHugePage ? bytes_ + kHugePage : bytes_;
        void* p = mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        mapping_ = p;
        auto addr = reinterpret_cast<std::uintptr_t>(p);
        if (bytes_ >= kHugePage)
            addr = (addr + kHugePage - 1) & ~(kHugePage - 1);
        blocks_ = reinterpret_cast<Block*>(addr);
#ifdef MADV_HUGEPAGE
        if (bytes_ >= kHugePage)
            madvise(blocks_, bytes_ & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
#ifdef MADV_DONTDUMP
        madvise(mapping_, mappedBytes_, MADV_DONTDUMP);
#endif
    }
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    ~Matrix() {
        OPENSSL_cleanse(blocks_, bytes_);
        munmap(mapping_, mappedBytes_);
    }
    Block& operator[](std::size_t i) noexcept {
        return blocks_[i];
    }

private:
    std::size_t bytes_;
    std::size_t mappedBytes_ = 0;
    void* mapping_ = nullptr;
    Block* blocks_ = nullptr;
};

// Wipes a stack buffer on every way out of its scope, exceptions included.
class WipeOnExit {
public:
    WipeOnExit(void* p, std::size_t n) noexcept : p_(p), n_(n) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { OPENSSL_cleanse(p_, n_); }

private:
    void* p_;
    std::size_t n_;
};

// Scratch blocks that see password-derived data; wiped on every exit.
struct Scratch {
    Block work[2];
    Block address;
    Block input;
    Block zero;
    ~Scratch() { OPENSSL_cleanse(this, sizeof *this); }
};

struct Instance {
    Matrix& memory;
    argon2::FillFunction fill;
    Scratch& scratch;
    std::uint32_t passes;
    std::uint32_t lanes;
    std::uint32_t segmentLength; // q
    std::uint32_t laneLength;    // 4q
    std::uint32_t blockCount;    // m'
};

// The index of the reference block within its lane (RFC 9106 section 3.4.2), from J1.
std::uint32_t referenceIndex(const Instance& in, std::uint32_t pass, std::uint32_t slice, std::uint32_t index,
                             std::uint32_t j1, bool sameLane) noexcept {
    const std::uint32_t q = in.segmentLength;
    std::uint32_t areaSize;
    if (pass == 0) {
        if (slice == 0)
            areaSize = index - 1;
        else if (sameLane)
            areaSize = slice * q + index - 1;
        else
            areaSize = slice * q - (index == 0 ? 1 : 0);
    } else {
        if (sameLane)
            areaSize = in.laneLength - q + index - 1;
        else
            areaSize = in.laneLength - q - (index == 0 ? 1 : 0);
    }
    const std::uint64_t x = (static_cast<std::uint64_t>(j1) * j1) >> 32;
    const std::uint64_t y = (areaSize * x) >> 32;
    const std::uint32_t relative = areaSize - 1 - static_cast<std::uint32_t>(y);
    const std::uint32_t start = (pass != 0 && slice != kSyncPoints - 1) ? (slice + 1) * q : 0;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(start) + relative) % in.laneLength);
}

void nextAddresses(Instance& in) noexcept {
    Scratch& s = in.scratch;
    ++s.input.v[6];
    in.fill(s.zero, s.input, s.address, false, s.work, nullptr);
    in.fill(s.zero, s.address, s.address, false, s.work, nullptr);
}

// Where fillSegment stands; lets a kernel work out the reference of the block after the current one.
struct SegmentCursor {
    const Instance* in;
    std::uint32_t pass, lane, slice;
    bool dataIndependent;
    std::uint32_t index; // of the block being computed
};

// The reference block of block `index` of the segment, from its pseudo-random value J1 || J2.
const Block& reference(const SegmentCursor& c, std::uint32_t index, std::uint64_t pseudoRandom) noexcept {
    const Instance& in = *c.in;
    const auto j1 = static_cast<std::uint32_t>(pseudoRandom);
    const auto j2 = static_cast<std::uint32_t>(pseudoRandom >> 32);
    // The first slice of the first pass may only refer to its own lane.
    const std::uint32_t refLane = (c.pass == 0 && c.slice == 0) ? c.lane : j2 % in.lanes;
    const std::uint32_t refIndex = referenceIndex(in, c.pass, c.slice, index, j1, refLane == c.lane);
    return in.memory[std::size_t{refLane} * in.laneLength + refIndex];
}

const Block* nextReference(void* context, std::uint64_t firstWord) noexcept {
    const auto& c = *static_cast<const SegmentCursor*>(context);
    const std::uint32_t next = c.index + 1;
    if (next >= c.in->segmentLength)
        return nullptr;
    if (c.dataIndependent) {
        // A new address block is made before block `next` is computed; skip the hint then.
        if (next % kAddressesPerBlock == 0)
            return nullptr;
        return &reference(c, next, c.in->scratch.address.v[next % kAddressesPerBlock]);
    }
    return &reference(c, next, firstWord);
}

void fillSegment(Instance& in, std::uint32_t pass, std::uint32_t lane, std::uint32_t slice) noexcept {
    Scratch& s = in.scratch;
    SegmentCursor cursor{&in, pass, lane, slice, pass == 0 && slice < 2, 0};
    const argon2::Lookahead lookahead{nextReference, &cursor};
    if (cursor.dataIndependent) {
        std::memset(&s.input, 0, sizeof s.input);
        s.input.v[0] = pass;
        s.input.v[1] = lane;
        s.input.v[2] = slice;
        s.input.v[3] = in.blockCount;
        s.input.v[4] = in.passes;
        s.input.v[5] = Argon2id::type;
    }
    // Blocks 0 and 1 of each lane come from H0.
    const std::uint32_t startIndex = (pass == 0 && slice == 0) ? 2 : 0;
    std::size_t current = std::size_t{lane} * in.laneLength + std::size_t{slice} * in.segmentLength + startIndex;
    std::size_t previous = (current % in.laneLength == 0) ? current + in.laneLength - 1 : current - 1;

    for (std::uint32_t i = startIndex; i < in.segmentLength; ++i, ++current) {
        std::uint64_t pseudoRandom;
        if (cursor.dataIndependent) {
            if (i == startIndex || i % kAddressesPerBlock == 0)
                nextAddresses(in);
            pseudoRandom = s.address.v[i % kAddressesPerBlock];
        } else {
            pseudoRandom = in.memory[previous].v[0];
        }
        cursor.index = i;
        in.fill(in.memory[previous], reference(cursor, i, pseudoRandom), in.memory[current], pass != 0, s.work,
                &lookahead);
        previous = current;
    }
}

// Every pass and slice, each lane's segment. The lanes of one slice depend only on earlier slices, so with more
// than one lane each gets a thread of its own (its own scratch blocks), all meeting at every sync point: the same
// memory and work, in a fraction of the time. Where a thread cannot be had, the lanes run one after another.
void fillMemory(Instance& in, std::uint32_t lanes) {
    const auto inTurn = [&in, lanes] {
        for (std::uint32_t pass = 0; pass < in.passes; ++pass)
            for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice)
                for (std::uint32_t lane = 0; lane < lanes; ++lane)
                    fillSegment(in, pass, lane, slice);
    };
    const std::uint32_t threads = std::min<std::uint32_t>(lanes, std::max(1u, std::thread::hardware_concurrency()));
    if (threads < 2 || lanes % threads != 0) {
        inTurn();
        return;
    }
    const std::uint32_t perThread = lanes / threads;
    std::vector<std::unique_ptr<Scratch>> scratches;
    std::vector<Instance> instances;
    scratches.reserve(threads);
    instances.reserve(threads);
    for (std::uint32_t t = 0; t < threads; ++t) {
        scratches.push_back(t == 0 ? nullptr : std::make_unique<Scratch>());
        instances.push_back(Instance{.memory = in.memory,
                                     .fill = in.fill,
                                     .scratch = t == 0 ? in.scratch : *scratches.back(),
                                     .passes = in.passes,
                                     .lanes = in.lanes,
                                     .segmentLength = in.segmentLength,
                                     .laneLength = in.laneLength,
                                     .blockCount = in.blockCount});
    }
    std::barrier sync(static_cast<std::ptrdiff_t>(threads));
    const auto work = [&](std::uint32_t t) noexcept {
        for (std::uint32_t pass = 0; pass < in.passes; ++pass)
            for (std::uint32_t slice = 0; slice < kSyncPoints; ++slice) {
                for (std::uint32_t lane = t * perThread; lane < (t + 1) * perThread; ++lane)
                    fillSegment(instances[t], pass, lane, slice);
                sync.arrive_and_wait();
            }
    };
    // The helpers begin once all of them exist; should one not, they end at once and the lanes run in turn.
    std::latch started(1);
    bool allStarted = false;
    {
        std::vector<std::jthread> helpers;
        try {
            for (std::uint32_t t = 1; t < threads; ++t)
                helpers.emplace_back([&, t] {
                    started.wait();
                    if (allStarted)
                        work(t);
                });
            allStarted = true;
        } catch (const std::system_error&) {
        }
        started.count_down();
        if (allStarted)
            work(0);
    }
    if (!allStarted)
        inTurn();
}

void checkParameters(ByteView password, ByteView salt, ByteView secret, ByteView associatedData,
                     std::uint32_t iterations, std::uint32_t memoryKiB, std::uint32_t parallelism,
                     std::uint32_t length) {
    constexpr std::size_t kMaxInput = std::numeric_limits<std::uint32_t>::max();
    if (parallelism < Argon2id::minLanes || parallelism > Argon2id::maxLanes)
        throw std::invalid_argument("Argon2id: the number of lanes must be between 1 and 16777215.");
    if (iterations < Argon2id::minIterations)
        throw std::invalid_argument("Argon2id: at least one pass is required.");
    if (length < Argon2id::minTagLength)
        throw std::invalid_argument("Argon2id: the tag must be at least 4 bytes long.");
    if (std::uint64_t{memoryKiB} < 8ULL * parallelism)
        throw std::invalid_argument("Argon2id: memory must be at least 8 KiB per lane.");
    if (memoryKiB > Argon2id::maxMemoryKiB)
        throw std::invalid_argument("Argon2id: memory exceeds the 4 GiB limit.");
    if (password.size() > kMaxInput || salt.size() > kMaxInput || secret.size() > kMaxInput ||
        associatedData.size() > kMaxInput)
        throw std::invalid_argument("Argon2id: an input is 4 GiB or longer.");
}

} // namespace

void Argon2id::fill(const Block& x, const Block& y, Block& target, bool xorInto, Block* work) noexcept {
    argon2::selectedKernel().fill(x, y, target, xorInto, work, nullptr);
}

std::vector<std::uint8_t> Argon2id::variableHash(ByteView input, std::uint32_t length) {
    if (length < 1)
        throw std::invalid_argument("Argon2id: H' needs an output length of at least 1 byte.");
    if (input.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("Argon2id: H' input is 4 GiB or longer.");
    std::vector<std::uint8_t> out(length);
    variableHashInto(input, out);
    return out;
}

SecureBytes Argon2id::hash(ByteView password, ByteView salt, ByteView secret, ByteView associatedData,
                           std::uint32_t iterations, std::uint32_t memoryKiB, std::uint32_t parallelism,
                           std::uint32_t length) {
    checkParameters(password, salt, secret, associatedData, iterations, memoryKiB, parallelism, length);

    // H0 = H^64(p, T, m, t, v, y, len(P), P, len(S), S, len(K), K, len(X), X)
    std::uint8_t h0[Blake2b::maxOutputLength + 8];
    const WipeOnExit wipeH0(h0, sizeof h0);
    {
        Blake2b h(Blake2b::maxOutputLength);
        for (std::uint32_t v : {parallelism, length, memoryKiB, iterations, version, type})
            absorbLe32(h, v);
        for (ByteView input : {password, salt, secret, associatedData}) {
            absorbLe32(h, static_cast<std::uint32_t>(input.size()));
            h.update(input);
        }
        h.finalize({h0, Blake2b::maxOutputLength});
    }

    // m' = 4 p floor(m / 4p); q = m' / 4p.
    const std::uint32_t segmentLength = memoryKiB / (kSyncPoints * parallelism);
    const std::uint32_t laneLength = segmentLength * kSyncPoints;
    const std::uint32_t blockCount = laneLength * parallelism;

    auto scratch = std::make_unique<Scratch>();
    SecureBytes tag(length);
    {
        Matrix memory(blockCount);
        Instance in{.memory = memory,
                    .fill = argon2::selectedKernel().fill,
                    .scratch = *scratch,
                    .passes = iterations,
                    .lanes = parallelism,
                    .segmentLength = segmentLength,
                    .laneLength = laneLength,
                    .blockCount = blockCount};

        // B[l][0] = H'^1024(H0 || LE32(0) || LE32(l)), B[l][1] = H'^1024(H0 || LE32(1) || LE32(l)).
        std::uint8_t blockBytes[kBlockSize];
        const WipeOnExit wipeBlockBytes(blockBytes, sizeof blockBytes);
        for (std::uint32_t lane = 0; lane < parallelism; ++lane) {
            for (std::uint32_t j = 0; j < 2; ++j) {
                putLe32(h0 + Blake2b::maxOutputLength, j);
                putLe32(h0 + Blake2b::maxOutputLength + 4, lane);
                variableHashInto({h0, sizeof h0}, blockBytes);
                blockFromBytes(memory[std::size_t{lane} * laneLength + j], blockBytes);
            }
        }

        fillMemory(in, parallelism);

        // C = B[0][q'-1] XOR B[1][q'-1] XOR ... ; tag = H'^T(C).
        Block& c = scratch->work[0];
        c = memory[laneLength - 1];
        for (std::uint32_t lane = 1; lane < parallelism; ++lane)
            for (int i = 0; i < 128; ++i)
                c.v[i] ^= memory[std::size_t{lane} * laneLength + laneLength - 1].v[i];
        bytesFromBlock(blockBytes, c);
        variableHashInto(blockBytes, tag);
    }
    return tag;
}

} // namespace larkhold
