// G with 512-bit AVX-512F vectors; the whole block Q fits in sixteen of the 32 registers.
//
// Row phase: rows 2i and 2i+1 are mixed together, a register holding one quarter of each row
// (a = v0..v3 of both rows, then b, c, d), diagonalised by in-lane word permutes.
// Column phase: a register holds word pair k of four neighbouring columns, one per 128-bit lane,
// which is the layout of one row of the natural block; so the columns end in natural order and
// need no shuffle on the way out. Compiled with -mavx512f; called only when the processor has it.

#include "Argon2idKernels.h"

// GCC 12's AVX-512 header reads an uninitialised placeholder in _mm512_undefined_epi32 and warns
// about it at every use (GCC bug 105593, fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace larkhold::argon2 {

namespace {

#define INLINE __attribute__((always_inline)) inline

INLINE __m512i blaMka(__m512i a, __m512i b) {
    const __m512i m = _mm512_mul_epu32(a, b);
    return _mm512_add_epi64(_mm512_add_epi64(a, b), _mm512_add_epi64(m, m));
}

INLINE void gb2(__m512i& a0, __m512i& b0, __m512i& c0, __m512i& d0, __m512i& a1, __m512i& b1, __m512i& c1,
                __m512i& d1) {
    a0 = blaMka(a0, b0);
    a1 = blaMka(a1, b1);
    d0 = _mm512_ror_epi64(_mm512_xor_si512(d0, a0), 32);
    d1 = _mm512_ror_epi64(_mm512_xor_si512(d1, a1), 32);
    c0 = blaMka(c0, d0);
    c1 = blaMka(c1, d1);
    b0 = _mm512_ror_epi64(_mm512_xor_si512(b0, c0), 24);
    b1 = _mm512_ror_epi64(_mm512_xor_si512(b1, c1), 24);
    a0 = blaMka(a0, b0);
    a1 = blaMka(a1, b1);
    d0 = _mm512_ror_epi64(_mm512_xor_si512(d0, a0), 16);
    d1 = _mm512_ror_epi64(_mm512_xor_si512(d1, a1), 16);
    c0 = blaMka(c0, d0);
    c1 = blaMka(c1, d1);
    b0 = _mm512_ror_epi64(_mm512_xor_si512(b0, c0), 63);
    b1 = _mm512_ror_epi64(_mm512_xor_si512(b1, c1), 63);
}

// Per 128-bit lane: (lo[1], hi[0]), the byte alignment of hi:lo by one word.
INLINE __m512i align1(__m512i hi, __m512i lo) {
    return _mm512_castpd_si512(_mm512_shuffle_pd(_mm512_castsi512_pd(lo), _mm512_castsi512_pd(hi), 0x55));
}

// P over two row pairs; each row quarter (four words) occupies one 256-bit half.
INLINE void permuteRows(__m512i& a0, __m512i& b0, __m512i& c0, __m512i& d0, __m512i& a1, __m512i& b1, __m512i& c1,
                        __m512i& d1) {
    const __m512i rot1 = _mm512_setr_epi64(1, 2, 3, 0, 5, 6, 7, 4);
    const __m512i rot2 = _mm512_setr_epi64(2, 3, 0, 1, 6, 7, 4, 5);
    const __m512i rot3 = _mm512_setr_epi64(3, 0, 1, 2, 7, 4, 5, 6);
    gb2(a0, b0, c0, d0, a1, b1, c1, d1);
    b0 = _mm512_permutexvar_epi64(rot1, b0);
    c0 = _mm512_permutexvar_epi64(rot2, c0);
    d0 = _mm512_permutexvar_epi64(rot3, d0);
    b1 = _mm512_permutexvar_epi64(rot1, b1);
    c1 = _mm512_permutexvar_epi64(rot2, c1);
    d1 = _mm512_permutexvar_epi64(rot3, d1);
    gb2(a0, b0, c0, d0, a1, b1, c1, d1);
    b0 = _mm512_permutexvar_epi64(rot3, b0);
    c0 = _mm512_permutexvar_epi64(rot2, c0);
    d0 = _mm512_permutexvar_epi64(rot1, d0);
    b1 = _mm512_permutexvar_epi64(rot3, b1);
    c1 = _mm512_permutexvar_epi64(rot2, c1);
    d1 = _mm512_permutexvar_epi64(rot1, d1);
}

// P over four columns: x[k] holds word pair k of each column (v2k, v2k+1), one column per lane.
INLINE void permuteColumns(__m512i* x) {
    gb2(x[0], x[2], x[4], x[6], x[1], x[3], x[5], x[7]);
    // Diagonals: b = (v5,v6),(v7,v4); c = (v10,v11),(v8,v9); d = (v15,v12),(v13,v14).
    __m512i b0 = align1(x[3], x[2]), b1 = align1(x[2], x[3]);
    __m512i d0 = align1(x[6], x[7]), d1 = align1(x[7], x[6]);
    gb2(x[0], b0, x[5], d0, x[1], b1, x[4], d1);
    x[2] = align1(b0, b1);
    x[3] = align1(b1, b0);
    x[6] = align1(d1, d0);
    x[7] = align1(d0, d1);
}

#undef INLINE

} // namespace

void fillAvx512(const Block& x, const Block& y, Block& target, bool xorInto, Block* work,
                const Lookahead* lookahead) noexcept {
    const auto* xv = reinterpret_cast<const __m512i*>(x.v);
    const auto* yv = reinterpret_cast<const __m512i*>(y.v);
    auto* tv = reinterpret_cast<__m512i*>(target.v);
    auto* r = reinterpret_cast<__m512i*>(work[0].v);

    // z[j] = words 8j..8j+7 of R = X ^ Y; r keeps R, or R ^ old block, for the final XOR.
    __m512i z[16];
    for (int j = 0; j < 16; ++j) {
        z[j] = _mm512_xor_si512(_mm512_load_si512(xv + j), _mm512_load_si512(yv + j));
        r[j] = xorInto ? _mm512_xor_si512(z[j], _mm512_load_si512(tv + j)) : z[j];
    }

    // Rows 2i, 2i+1: a = (row 2i words 0..3, row 2i+1 words 0..3), b = words 4..7, c, d likewise.
    __m512i a[4], b[4], c[4], d[4];
    for (int i = 0; i < 4; ++i) {
        a[i] = _mm512_shuffle_i64x2(z[4 * i], z[4 * i + 2], _MM_SHUFFLE(1, 0, 1, 0));
        b[i] = _mm512_shuffle_i64x2(z[4 * i], z[4 * i + 2], _MM_SHUFFLE(3, 2, 3, 2));
        c[i] = _mm512_shuffle_i64x2(z[4 * i + 1], z[4 * i + 3], _MM_SHUFFLE(1, 0, 1, 0));
        d[i] = _mm512_shuffle_i64x2(z[4 * i + 1], z[4 * i + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    permuteRows(a[0], b[0], c[0], d[0], a[1], b[1], c[1], d[1]);
    permuteRows(a[2], b[2], c[2], d[2], a[3], b[3], c[3], d[3]);

    // Columns 0..3: pair k = words 0..7 of row k; columns 4..7: words 8..15. After P these are
    // exactly the natural registers z[2k] and z[2k+1].
    __m512i left[8], right[8];
    for (int i = 0; i < 4; ++i) {
        left[2 * i] = _mm512_shuffle_i64x2(a[i], b[i], _MM_SHUFFLE(1, 0, 1, 0));
        left[2 * i + 1] = _mm512_shuffle_i64x2(a[i], b[i], _MM_SHUFFLE(3, 2, 3, 2));
        right[2 * i] = _mm512_shuffle_i64x2(c[i], d[i], _MM_SHUFFLE(1, 0, 1, 0));
        right[2 * i + 1] = _mm512_shuffle_i64x2(c[i], d[i], _MM_SHUFFLE(3, 2, 3, 2));
    }
    permuteColumns(left);
    prefetchNextReference(lookahead, static_cast<std::uint64_t>(_mm_cvtsi128_si64(
                                         _mm512_castsi512_si128(_mm512_xor_si512(left[0], _mm512_load_si512(r))))));
    permuteColumns(right);

    for (int k = 0; k < 8; ++k) {
        _mm512_store_si512(tv + 2 * k, _mm512_xor_si512(left[k], _mm512_load_si512(r + 2 * k)));
        _mm512_store_si512(tv + 2 * k + 1, _mm512_xor_si512(right[k], _mm512_load_si512(r + 2 * k + 1)));
    }
}

} // namespace larkhold::argon2
