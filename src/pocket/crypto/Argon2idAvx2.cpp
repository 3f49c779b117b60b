// G with 256-bit AVX2 vectors. A row of the block is four registers of four words, diagonalised
// by lane-crossing permutes. A register of four consecutive words of a column phase holds the word
// pairs of two neighbouring columns, so two columns are mixed at once with in-lane byte rotations
// (the same shape as one row in the SSSE3 kernel). Compiled with -mavx2; called only when the
// processor has AVX2.

#include "Argon2idKernels.h"

#include <immintrin.h>

namespace larkhold::argon2 {

namespace {

#define INLINE __attribute__((always_inline)) inline

INLINE __m256i blaMka(__m256i a, __m256i b) {
    const __m256i m = _mm256_mul_epu32(a, b);
    return _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(m, m));
}

INLINE __m256i rotr32(__m256i x) {
    return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
}
INLINE __m256i rotr24(__m256i x) {
    const __m256i m = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4, 5, 6, 7, 0, 1, 2, 11,
                                       12, 13, 14, 15, 8, 9, 10);
    return _mm256_shuffle_epi8(x, m);
}
INLINE __m256i rotr16(__m256i x) {
    const __m256i m = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3, 4, 5, 6, 7, 0, 1, 10,
                                       11, 12, 13, 14, 15, 8, 9);
    return _mm256_shuffle_epi8(x, m);
}
INLINE __m256i rotr63(__m256i x) {
    return _mm256_xor_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x));
}

INLINE void gb2(__m256i& a0, __m256i& b0, __m256i& c0, __m256i& d0, __m256i& a1, __m256i& b1, __m256i& c1,
                __m256i& d1) {
    a0 = blaMka(a0, b0);
    a1 = blaMka(a1, b1);
    d0 = rotr32(_mm256_xor_si256(d0, a0));
    d1 = rotr32(_mm256_xor_si256(d1, a1));
    c0 = blaMka(c0, d0);
    c1 = blaMka(c1, d1);
    b0 = rotr24(_mm256_xor_si256(b0, c0));
    b1 = rotr24(_mm256_xor_si256(b1, c1));
    a0 = blaMka(a0, b0);
    a1 = blaMka(a1, b1);
    d0 = rotr16(_mm256_xor_si256(d0, a0));
    d1 = rotr16(_mm256_xor_si256(d1, a1));
    c0 = blaMka(c0, d0);
    c1 = blaMka(c1, d1);
    b0 = rotr63(_mm256_xor_si256(b0, c0));
    b1 = rotr63(_mm256_xor_si256(b1, c1));
}

// P over two rows at once; each row is a = (v0..v3), b = (v4..v7), c = (v8..v11), d = (v12..v15).
INLINE void permuteRows(__m256i* p0, __m256i* p1) {
    __m256i a0 = p0[0], b0 = p0[1], c0 = p0[2], d0 = p0[3];
    __m256i a1 = p1[0], b1 = p1[1], c1 = p1[2], d1 = p1[3];
    gb2(a0, b0, c0, d0, a1, b1, c1, d1);
    // Diagonals: b <<< 1 word, c <<< 2, d <<< 3.
    b0 = _mm256_permute4x64_epi64(b0, _MM_SHUFFLE(0, 3, 2, 1));
    c0 = _mm256_permute4x64_epi64(c0, _MM_SHUFFLE(1, 0, 3, 2));
    d0 = _mm256_permute4x64_epi64(d0, _MM_SHUFFLE(2, 1, 0, 3));
    b1 = _mm256_permute4x64_epi64(b1, _MM_SHUFFLE(0, 3, 2, 1));
    c1 = _mm256_permute4x64_epi64(c1, _MM_SHUFFLE(1, 0, 3, 2));
    d1 = _mm256_permute4x64_epi64(d1, _MM_SHUFFLE(2, 1, 0, 3));
    gb2(a0, b0, c0, d0, a1, b1, c1, d1);
    b0 = _mm256_permute4x64_epi64(b0, _MM_SHUFFLE(2, 1, 0, 3));
    c0 = _mm256_permute4x64_epi64(c0, _MM_SHUFFLE(1, 0, 3, 2));
    d0 = _mm256_permute4x64_epi64(d0, _MM_SHUFFLE(0, 3, 2, 1));
    b1 = _mm256_permute4x64_epi64(b1, _MM_SHUFFLE(2, 1, 0, 3));
    c1 = _mm256_permute4x64_epi64(c1, _MM_SHUFFLE(1, 0, 3, 2));
    d1 = _mm256_permute4x64_epi64(d1, _MM_SHUFFLE(0, 3, 2, 1));
    p0[0] = a0, p0[1] = b0, p0[2] = c0, p0[3] = d0;
    p1[0] = a1, p1[1] = b1, p1[2] = c1, p1[3] = d1;
}

// P over two neighbouring columns: x[k] at p[4k] holds pair k of both columns, one per 128-bit lane.
INLINE void permuteColumns(__m256i* p) {
    __m256i x0 = p[0], x1 = p[4], x2 = p[8], x3 = p[12], x4 = p[16], x5 = p[20], x6 = p[24], x7 = p[28];
    gb2(x0, x2, x4, x6, x1, x3, x5, x7);
    __m256i b0 = _mm256_alignr_epi8(x3, x2, 8), b1 = _mm256_alignr_epi8(x2, x3, 8);
    __m256i d0 = _mm256_alignr_epi8(x6, x7, 8), d1 = _mm256_alignr_epi8(x7, x6, 8);
    gb2(x0, b0, x5, d0, x1, b1, x4, d1);
    x2 = _mm256_alignr_epi8(b0, b1, 8);
    x3 = _mm256_alignr_epi8(b1, b0, 8);
    x6 = _mm256_alignr_epi8(d1, d0, 8);
    x7 = _mm256_alignr_epi8(d0, d1, 8);
    p[0] = x0, p[4] = x1, p[8] = x2, p[12] = x3, p[16] = x4, p[20] = x5, p[24] = x6, p[28] = x7;
}

#undef INLINE

} // namespace

void fillAvx2(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
              const Lookahead* lookahead) noexcept {
    auto* q = reinterpret_cast<__m256i*>(work[1].v);
    auto* r = reinterpret_cast<__m256i*>(work[0].v);
    const auto* xv = reinterpret_cast<const __m256i*>(x.v);
    const auto* yv = reinterpret_cast<const __m256i*>(y.v);
    auto* tv = reinterpret_cast<__m256i*>(target.v);
    if (xorInto) {
        for (int k = 0; k < 32; ++k) {
            const __m256i t = _mm256_xor_si256(_mm256_load_si256(xv + k), _mm256_load_si256(yv + k));
            q[k] = t;
            r[k] = _mm256_xor_si256(t, _mm256_load_si256(tv + k));
        }
    } else {
        for (int k = 0; k < 32; ++k) {
            const __m256i t = _mm256_xor_si256(_mm256_load_si256(xv + k), _mm256_load_si256(yv + k));
            q[k] = t;
            r[k] = t;
        }
    }
    // Rows: row i is registers 4i..4i+3. Columns 2m and 2m+1: registers m, m+4, ..., m+28.
    for (int i = 0; i < 8; i += 2)
        permuteRows(q + 4 * i, q + 4 * (i + 1));
    permuteColumns(q);
    prefetchNextReference(lookahead, work[1].v[0] ^ work[0].v[0]);
    for (int m = 1; m < 4; ++m)
        permuteColumns(q + m);
    for (int k = 0; k < 32; ++k)
        _mm256_store_si256(tv + k, _mm256_xor_si256(q[k], r[k]));
}

} // namespace larkhold::argon2
