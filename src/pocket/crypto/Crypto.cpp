#include "Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace larkhold::crypto {

namespace {

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// The library tears its state down from an exit handler of its own. A look left running on a thread
// of its own (a vault file on a share that stopped answering) may still seal, open or draw random
// bytes while the process ends, so the state stays until the process is gone.
void startLibrary() {
    static const bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    if (!started)
        throw CryptoError("The cipher library could not start.");
}

CipherCtx newCtx() {
    startLibrary();
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        throw CryptoError("The cipher library could not start.");
    return ctx;
}

int checkedInt(std::size_t n) {
    if (n > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw CryptoError("Input too large for the cipher.");
    return static_cast<int>(n);
}

// EVP updates take int lengths; feed large inputs in pieces.
constexpr std::size_t kChunk = 1u << 30;

} // namespace

void randomFill(std::span<std::uint8_t> out) {
    startLibrary();
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t n = std::min(out.size() - done, kChunk);
        if (RAND_priv_bytes(out.data() + done, static_cast<int>(n)) != 1) {
            OPENSSL_cleanse(out.data(), out.size());
            throw CryptoError("The system's random number generator failed.");
        }
        done += n;
    }
}

SecureBytes randomBytes(std::size_t n) {
    SecureBytes b(n);
    randomFill(b);
    return b;
}

std::uint32_t randomBelow(std::uint32_t bound) {
    if (bound == 0)
        throw CryptoError("Empty random range.");
    // Rejection sampling keeps the result uniform.
    const std::uint32_t limit = std::numeric_limits<std::uint32_t>::max() - std::numeric_limits<std::uint32_t>::max() % bound;
    for (;;) {
        std::uint32_t v = 0;
        randomFill({reinterpret_cast<std::uint8_t*>(&v), sizeof v});
        if (v < limit)
            return v % bound;
    }
}

std::array<std::uint8_t, 32> sha256(ByteView data) {
    startLibrary();
    std::array<std::uint8_t, 32> out{};
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size())
        throw CryptoError("SHA-256 failed.");
    return out;
}

void aesGcmSeal(ByteView key, ByteView plaintext, ByteView aad, std::span<std::uint8_t> box) {
    if (key.size() != kKeySize || box.size() != plaintext.size() + kGcmOverhead)
        throw CryptoError("Bad AES-GCM arguments.");
    auto nonce = box.first(kGcmNonceSize);
    randomFill(nonce);
    auto ctx = newCtx();
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmNonceSize, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1)
        throw CryptoError("AES-GCM sealing failed.");
    int outl = 0;
    if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &outl, aad.data(), checkedInt(aad.size())) != 1)
        throw CryptoError("AES-GCM sealing failed.");
    std::uint8_t* out = box.data() + kGcmNonceSize;
    for (std::size_t done = 0; done < plaintext.size();) {
        const std::size_t n = std::min(plaintext.size() - done, kChunk);
        if (EVP_EncryptUpdate(ctx.get(), out + done, &outl, plaintext.data() + done, static_cast<int>(n)) != 1)
            throw CryptoError("AES-GCM sealing failed.");
        done += static_cast<std::size_t>(outl);
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out + plaintext.size(), &outl) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kGcmTagSize, out + plaintext.size()) != 1)
        throw CryptoError("AES-GCM sealing failed.");
}

bool aesGcmOpen(ByteView key, ByteView box, ByteView aad, std::span<std::uint8_t> plaintext) {
    if (key.size() != kKeySize || box.size() < kGcmOverhead || plaintext.size() != box.size() - kGcmOverhead)
        return false;
    const std::uint8_t* nonce = box.data();
    const std::uint8_t* cipher = box.data() + kGcmNonceSize;
    const std::size_t n = plaintext.size();
    // The tag is passed to OpenSSL through a const-casting API; copy it so the input stays untouched.
    std::array<std::uint8_t, kGcmTagSize> tag{};
    std::copy_n(cipher + n, kGcmTagSize, tag.begin());
    auto ctx = newCtx();
    bool ok = EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmNonceSize, nullptr) == 1 &&
              EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) == 1;
    int outl = 0;
    if (ok && !aad.empty())
        ok = EVP_DecryptUpdate(ctx.get(), nullptr, &outl, aad.data(), checkedInt(aad.size())) == 1;
    for (std::size_t done = 0; ok && done < n;) {
        const std::size_t step = std::min(n - done, kChunk);
        ok = EVP_DecryptUpdate(ctx.get(), plaintext.data() + done, &outl, cipher + done, static_cast<int>(step)) == 1;
        done += static_cast<std::size_t>(outl);
    }
    // OpenSSL compares the tag in constant time inside EVP_DecryptFinal_ex.
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagSize, tag.data()) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + n, &outl) == 1;
    if (!ok)
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return ok;
}

bool equalConstantTime(ByteView a, ByteView b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace larkhold::crypto
