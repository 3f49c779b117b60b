#include "Blake2b.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <openssl/crypto.h>
#include <stdexcept>

namespace larkhold {

namespace {

constexpr std::array<std::uint64_t, 8> kIv = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr std::array<std::array<std::uint8_t, 16>, 10> kSigma = {{
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
}};

inline std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap64(w);
    return w;
}

inline void store64(std::uint8_t* p, std::uint64_t w) noexcept {
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap64(w);
    std::memcpy(p, &w, sizeof w);
}

// Mixing function G with the rotations 32, 24, 16, 63.
#define LARKHOLD_B2B_G(r, i, a, b, c, d)                                                                               \
    do {                                                                                                               \
        a = a + b + load64(block + 8 * kSigma[r][2 * (i)]);                                                            \
        d = std::rotr(d ^ a, 32);                                                                                      \
        c = c + d;                                                                                                     \
        b = std::rotr(b ^ c, 24);                                                                                      \
        a = a + b + load64(block + 8 * kSigma[r][2 * (i) + 1]);                                                        \
        d = std::rotr(d ^ a, 16);                                                                                      \
        c = c + d;                                                                                                     \
        b = std::rotr(b ^ c, 63);                                                                                      \
    } while (0)

#define LARKHOLD_B2B_ROUND(r)                                                                                          \
    do {                                                                                                               \
        LARKHOLD_B2B_G(r, 0, v0, v4, v8, v12);                                                                         \
        LARKHOLD_B2B_G(r, 1, v1, v5, v9, v13);                                                                         \
        LARKHOLD_B2B_G(r, 2, v2, v6, v10, v14);                                                                        \
        LARKHOLD_B2B_G(r, 3, v3, v7, v11, v15);                                                                        \
        LARKHOLD_B2B_G(r, 4, v0, v5, v10, v15);                                                                        \
        LARKHOLD_B2B_G(r, 5, v1, v6, v11, v12);                                                                        \
        LARKHOLD_B2B_G(r, 6, v2, v7, v8, v13);                                                                         \
        LARKHOLD_B2B_G(r, 7, v3, v4, v9, v14);                                                                         \
    } while (0)

} // namespace

const std::array<std::uint64_t, 8> Blake2b::iv = kIv;
const std::array<std::array<std::uint8_t, 16>, 10> Blake2b::sigma = kSigma;

Blake2b::Blake2b(std::size_t outputLength) : outputLength_(outputLength) {
    if (outputLength < 1 || outputLength > maxOutputLength)
        throw std::invalid_argument("BLAKE2b digest length must be between 1 and 64 bytes.");
    h_ = kIv;
    // Parameter block: digest length, key length 0, fanout 1, depth 1.
    h_[0] ^= 0x01010000ULL | outputLength;
}

Blake2b::~Blake2b() {
    OPENSSL_cleanse(h_.data(), sizeof h_);
    OPENSSL_cleanse(buffer_.data(), buffer_.size());
}

void Blake2b::compress(const std::uint8_t* block, bool last) noexcept {
    // Message words are read in place rather than copied, so no stack copy of (possibly secret)
    // input is left behind.
    std::uint64_t v0 = h_[0], v1 = h_[1], v2 = h_[2], v3 = h_[3];
    std::uint64_t v4 = h_[4], v5 = h_[5], v6 = h_[6], v7 = h_[7];
    std::uint64_t v8 = kIv[0], v9 = kIv[1], v10 = kIv[2], v11 = kIv[3];
    std::uint64_t v12 = kIv[4] ^ counter_, v13 = kIv[5];
    std::uint64_t v14 = last ? ~kIv[6] : kIv[6], v15 = kIv[7];

    // Twelve rounds; rounds 10 and 11 reuse schedule rows 0 and 1.
    LARKHOLD_B2B_ROUND(0);
    LARKHOLD_B2B_ROUND(1);
    LARKHOLD_B2B_ROUND(2);
    LARKHOLD_B2B_ROUND(3);
    LARKHOLD_B2B_ROUND(4);
    LARKHOLD_B2B_ROUND(5);
    LARKHOLD_B2B_ROUND(6);
    LARKHOLD_B2B_ROUND(7);
    LARKHOLD_B2B_ROUND(8);
    LARKHOLD_B2B_ROUND(9);
    LARKHOLD_B2B_ROUND(0);
    LARKHOLD_B2B_ROUND(1);

    h_[0] ^= v0 ^ v8;
    h_[1] ^= v1 ^ v9;
    h_[2] ^= v2 ^ v10;
    h_[3] ^= v3 ^ v11;
    h_[4] ^= v4 ^ v12;
    h_[5] ^= v5 ^ v13;
    h_[6] ^= v6 ^ v14;
    h_[7] ^= v7 ^ v15;
}

#undef LARKHOLD_B2B_ROUND
#undef LARKHOLD_B2B_G

void Blake2b::update(ByteView data) {
    if (finalized_)
        throw std::logic_error("BLAKE2b hasher used after finalize().");
    const std::uint8_t* in = data.data();
    std::size_t left = data.size();
    if (left == 0)
        return;

    // A full block is compressed only once more input is known to follow, because the last block
    // of the message must be compressed with the final flag.
    if (buffered_ + left > blockSize) {
        if (buffered_ > 0) {
            const std::size_t take = blockSize - buffered_;
            std::memcpy(buffer_.data() + buffered_, in, take);
            in += take;
            left -= take;
            counter_ += blockSize;
            compress(buffer_.data(), false);
            buffered_ = 0;
        }
        // Whole blocks straight from the caller's memory while at least one more byte follows.
        while (left > blockSize) {
            counter_ += blockSize;
            compress(in, false);
            in += blockSize;
            left -= blockSize;
        }
    }
    std::memcpy(buffer_.data() + buffered_, in, left);
    buffered_ += left;
}

void Blake2b::finalize(std::span<std::uint8_t> out) {
    if (finalized_)
        throw std::logic_error("BLAKE2b hasher used after finalize().");
    if (out.size() != outputLength_)
        throw std::invalid_argument("BLAKE2b output buffer does not match the digest length.");
    finalized_ = true;
    counter_ += buffered_;
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.end(), std::uint8_t{0});
    compress(buffer_.data(), true);

    std::uint8_t digest[maxOutputLength];
    for (std::size_t i = 0; i < 8; ++i)
        store64(digest + 8 * i, h_[i]);
    std::memcpy(out.data(), digest, outputLength_);
    OPENSSL_cleanse(digest, sizeof digest);
    OPENSSL_cleanse(h_.data(), sizeof h_);
    OPENSSL_cleanse(buffer_.data(), buffer_.size());
}

std::vector<std::uint8_t> Blake2b::finalize() {
    std::vector<std::uint8_t> out(outputLength_);
    finalize(out);
    return out;
}

std::vector<std::uint8_t> Blake2b::hash(ByteView data, std::size_t outputLength) {
    Blake2b hasher(outputLength);
    hasher.update(data);
    return hasher.finalize();
}

} // namespace larkhold
