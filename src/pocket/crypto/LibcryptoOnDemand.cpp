// libcrypto (some 5 MB, with twenty thousand relocations) is loaded the first time a vault's
// secrets are handled, not with the program: the first window never needs it, nor does a lock of a
// standard vault. These definitions stand in for the library's own in the application and the
// hdiutil front program (the other tools and the tests link it as usual) and forward to it; with
// them the linker leaves the library out of the program's needs.
#include "LazyLibrary.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

larkhold::LazyLibrary& libcrypto() {
    static larkhold::LazyLibrary library("libcrypto.so.3");
    return library;
}

} // namespace

#define LARKHOLD_FORWARD(name) static const auto f = libcrypto().required<decltype(&name)>(#name)

extern "C" {

int OPENSSL_init_crypto(uint64_t options, const OPENSSL_INIT_SETTINGS* settings) {
    LARKHOLD_FORWARD(OPENSSL_init_crypto);
    return f(options, settings);
}

int CRYPTO_memcmp(const void* a, const void* b, size_t length) {
    LARKHOLD_FORWARD(CRYPTO_memcmp);
    return f(a, b, length);
}

void OPENSSL_cleanse(void* data, size_t length) {
    LARKHOLD_FORWARD(OPENSSL_cleanse);
    f(data, length);
}

int RAND_priv_bytes(unsigned char* data, int length) {
    LARKHOLD_FORWARD(RAND_priv_bytes);
    return f(data, length);
}

EVP_CIPHER_CTX* EVP_CIPHER_CTX_new(void) {
    LARKHOLD_FORWARD(EVP_CIPHER_CTX_new);
    return f();
}

void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX* context) {
    LARKHOLD_FORWARD(EVP_CIPHER_CTX_free);
    f(context);
}

int EVP_CIPHER_CTX_ctrl(EVP_CIPHER_CTX* context, int type, int argument, void* pointer) {
    LARKHOLD_FORWARD(EVP_CIPHER_CTX_ctrl);
    return f(context, type, argument, pointer);
}

int EVP_EncryptInit_ex(EVP_CIPHER_CTX* context, const EVP_CIPHER* cipher, ENGINE* engine, const unsigned char* key,
                       const unsigned char* iv) {
    LARKHOLD_FORWARD(EVP_EncryptInit_ex);
    return f(context, cipher, engine, key, iv);
}

int EVP_EncryptUpdate(EVP_CIPHER_CTX* context, unsigned char* out, int* outLength, const unsigned char* in,
                      int inLength) {
    LARKHOLD_FORWARD(EVP_EncryptUpdate);
    return f(context, out, outLength, in, inLength);
}

int EVP_EncryptFinal_ex(EVP_CIPHER_CTX* context, unsigned char* out, int* outLength) {
    LARKHOLD_FORWARD(EVP_EncryptFinal_ex);
    return f(context, out, outLength);
}

int EVP_DecryptInit_ex(EVP_CIPHER_CTX* context, const EVP_CIPHER* cipher, ENGINE* engine, const unsigned char* key,
                       const unsigned char* iv) {
    LARKHOLD_FORWARD(EVP_DecryptInit_ex);
    return f(context, cipher, engine, key, iv);
}

int EVP_DecryptUpdate(EVP_CIPHER_CTX* context, unsigned char* out, int* outLength, const unsigned char* in,
                      int inLength) {
    LARKHOLD_FORWARD(EVP_DecryptUpdate);
    return f(context, out, outLength, in, inLength);
}

int EVP_DecryptFinal_ex(EVP_CIPHER_CTX* context, unsigned char* out, int* outLength) {
    LARKHOLD_FORWARD(EVP_DecryptFinal_ex);
    return f(context, out, outLength);
}

int EVP_Digest(const void* data, size_t count, unsigned char* digest, unsigned int* size, const EVP_MD* type,
               ENGINE* engine) {
    LARKHOLD_FORWARD(EVP_Digest);
    return f(data, count, digest, size, type, engine);
}

const EVP_CIPHER* EVP_aes_256_gcm(void) {
    LARKHOLD_FORWARD(EVP_aes_256_gcm);
    return f();
}

const EVP_MD* EVP_sha256(void) {
    LARKHOLD_FORWARD(EVP_sha256);
    return f();
}
}
