// G with 128-bit SSSE3 vectors: each register holds one pair of consecutive words, so a row and a
// column of the block have the same shape (eight registers) and share one permutation routine.
// Compiled with -mssse3; called only when the processor has SSSE3.

#include "Argon2idKernels.h"

#include <immintrin.h>

namespace larkhold::argon2 {

namespace {

#define INLINE __attribute__((always_inline)) inline

INLINE __m128i blaMka(__m128i a, __m128i b) {
    const __m128i m = _mm_mul_epu32(a, b);
    return _mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(m, m));
}

INLINE __m128i rotr32(__m128i x) {
    return _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
}
INLINE __m128i rotr24(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10));
}
INLINE __m128i rotr16(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9));
}
INLINE __m128i rotr63(__m128i x) {
    return _mm_xor_si128(_mm_srli_epi64(x, 63), _mm_add_epi64(x, x));
}

// Two GB applications per register set, two sets interleaved.
INLINE void gb2(__m128i& a0, __m128i& b0, __m128i& c0, __m128i& d0, __m128i& a1, __m128i& b1, __m128i& c1,
                __m128i& d1) {
    a0 = blaMka(a0, b0);
    a1 = blaMka(a1, b1);
    d0 = rotr32(_mm_xor_si128(d0, a0));
    d1 = rotr32(_mm_xor_si128(d1, a1));
    c0 = blaMka(c0, d0);
    c1 = blaMka(c1, d1);
    b0 = rotr24(_mm_xor_si128(b0, c0));
    b1 = rotr24(_mm_xor_si128(b1, c1));
    a0 = blaMka(a0, b0);
    a1 = blaMka(a1, b1);
    d0 = rotr16(_mm_xor_si128(d0, a0));
    d1 = rotr16(_mm_xor_si128(d1, a1));
    c0 = blaMka(c0, d0);
    c1 = blaMka(c1, d1);
    b0 = rotr63(_mm_xor_si128(b0, c0));
    b1 = rotr63(_mm_xor_si128(b1, c1));
}

// P over v0..v15 held as pairs: x[k] = (v2k, v2k+1), x[k] at p[k * stride].
INLINE void permute(__m128i* p, int stride) {
    __m128i x0 = p[0], x1 = p[stride], x2 = p[2 * stride], x3 = p[3 * stride];
    __m128i x4 = p[4 * stride], x5 = p[5 * stride], x6 = p[6 * stride], x7 = p[7 * stride];
    // Columns of the 4x4 word matrix: GB(v0,v4,v8,v12) ... GB(v3,v7,v11,v15).
    gb2(x0, x2, x4, x6, x1, x3, x5, x7);
    // Diagonals: b = (v5,v6),(v7,v4); c = (v10,v11),(v8,v9); d = (v15,v12),(v13,v14).
    __m128i b0 = _mm_alignr_epi8(x3, x2, 8), b1 = _mm_alignr_epi8(x2, x3, 8);
    __m128i d0 = _mm_alignr_epi8(x6, x7, 8), d1 = _mm_alignr_epi8(x7, x6, 8);
    gb2(x0, b0, x5, d0, x1, b1, x4, d1);
    x2 = _mm_alignr_epi8(b0, b1, 8);
    x3 = _mm_alignr_epi8(b1, b0, 8);
    x6 = _mm_alignr_epi8(d1, d0, 8);
    x7 = _mm_alignr_epi8(d0, d1, 8);
    p[0] = x0, p[stride] = x1, p[2 * stride] = x2, p[3 * stride] = x3;
    p[4 * stride] = x4, p[5 * stride] = x5, p[6 * stride] = x6, p[7 * stride] = x7;
}

#undef INLINE

} // namespace

void fillSsse3(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
               const Lookahead* lookahead) noexcept {
    auto* q = reinterpret_cast<__m128i*>(work[1].v);
    auto* r = reinterpret_cast<__m128i*>(work[0].v);
    const auto* xv = reinterpret_cast<const __m128i*>(x.v);
    const auto* yv = reinterpret_cast<const __m128i*>(y.v);
    auto* tv = reinterpret_cast<__m128i*>(target.v);
    // R = X ^ Y, and the part of the output that does not depend on P: R, or R ^ old block.
    for (int k = 0; k < 64; ++k) {
        const __m128i t = _mm_xor_si128(_mm_load_si128(xv + k), _mm_load_si128(yv + k));
        q[k] = t;
        r[k] = xorInto ? _mm_xor_si128(t, _mm_load_si128(tv + k)) : t;
    }
    // Rows: row i is registers 8i..8i+7. Columns: column i is registers i, i+8, ..., i+56.
    for (int i = 0; i < 8; ++i)
        permute(q + 8 * i, 1);
    permute(q, 8);
    prefetchNextReference(lookahead, work[1].v[0] ^ work[0].v[0]);
    for (int i = 1; i < 8; ++i)
        permute(q + i, 8);
    for (int k = 0; k < 64; ++k)
        _mm_store_si128(tv + k, _mm_xor_si128(q[k], r[k]));
}

} // namespace larkhold::argon2
