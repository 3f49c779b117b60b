// Compares the product's own BLAKE2b and Argon2id with reference implementations on the same
// inputs, and measures the AES-256-GCM sealing and opening of one 50 MB area. Medians over a few
// runs, interleaved so that a noisy neighbour affects every contender alike. The last three lines
// are the summary CI reads.

#include "Argon2id.h"
#include "Blake2b.h"
#include "Crypto.h"

#include <algorithm>
#include <argon2.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sodium.h>
#include <vector>

using namespace larkhold;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::exit(1);
}

// The vault's parameter set.
constexpr std::uint32_t kPasses = 3;
constexpr std::uint32_t kMemoryKiB = 131072;
constexpr std::uint32_t kTagLength = 32;

double benchArgon2id() {
    const auto password = asBytes("correct horse battery staple");
    std::vector<std::uint8_t> salt(crypto_pwhash_SALTBYTES); // libsodium takes a fixed 16-byte salt
    crypto::randomFill(salt);

    unsigned char sodiumTag[kTagLength], referenceTag[kTagLength];
    SecureBytes ours;
    std::vector<double> oursT, sodiumT, referenceT;
    constexpr int kRounds = 7;
    for (int round = 0; round < kRounds; ++round) {
        oursT.push_back(
            seconds([&] { ours = Argon2id::hash(password, salt, {}, {}, kPasses, kMemoryKiB, 1, kTagLength); }));
        sodiumT.push_back(seconds([&] {
            if (crypto_pwhash(sodiumTag, sizeof sodiumTag, reinterpret_cast<const char*>(password.data()),
                              password.size(), salt.data(), kPasses, std::size_t{kMemoryKiB} * 1024,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
                fail("libsodium crypto_pwhash failed");
        }));
        referenceT.push_back(seconds([&] {
            if (argon2id_hash_raw(kPasses, kMemoryKiB, 1, password.data(), password.size(), salt.data(), salt.size(),
                                  referenceTag, sizeof referenceTag) != ARGON2_OK)
                fail("libargon2 argon2id_hash_raw failed");
        }));
        if (std::memcmp(ours.data(), sodiumTag, kTagLength) != 0 ||
            std::memcmp(ours.data(), referenceTag, kTagLength) != 0)
            fail("Argon2id tags differ between implementations");
    }
    const double o = median(oursT), s = median(sodiumT), r = median(referenceT);
    std::printf("argon2id  t=%u m=%u KiB p=1 T=%u, median of %d:\n", kPasses, kMemoryKiB, kTagLength, kRounds);
    std::printf("  larkhold   %7.1f ms\n  libsodium  %7.1f ms\n  libargon2  %7.1f ms\n", o * 1e3, s * 1e3, r * 1e3);
    return o / s;
}

double benchBlake2b() {
    std::vector<std::uint8_t> input(1u << 20);
    crypto::randomFill(input);
    unsigned char sodiumDigest[64];
    std::vector<std::uint8_t> ours;
    std::vector<double> oursT, sodiumT;
    constexpr int kRounds = 15, kHashesPerRound = 20;
    for (int round = 0; round < kRounds; ++round) {
        oursT.push_back(seconds([&] {
            for (int i = 0; i < kHashesPerRound; ++i)
                ours = Blake2b::hash(input, 64);
        }));
        sodiumT.push_back(seconds([&] {
            for (int i = 0; i < kHashesPerRound; ++i)
                crypto_generichash(sodiumDigest, sizeof sodiumDigest, input.data(), input.size(), nullptr, 0);
        }));
        if (std::memcmp(ours.data(), sodiumDigest, sizeof sodiumDigest) != 0)
            fail("BLAKE2b digests differ between implementations");
    }
    const double o = median(oursT) / kHashesPerRound, s = median(sodiumT) / kHashesPerRound;
    const double mib = static_cast<double>(input.size()) / (1u << 20);
    std::printf("blake2b-512 over 1 MiB, median of %d:\n", kRounds);
    std::printf("  larkhold   %7.0f MiB/s\n  libsodium  %7.0f MiB/s\n", mib / o, mib / s);
    return o / s;
}

double benchArea() {
    constexpr std::size_t kAreaBytes = 50u * 1024 * 1024; // the largest tier's area payload
    const SecureBytes key = crypto::randomBytes(crypto::kKeySize);
    std::vector<std::uint8_t> plaintext(kAreaBytes), opened(kAreaBytes), box(kAreaBytes + crypto::kGcmOverhead);
    crypto::randomFill(plaintext);
    const auto aad = asBytes("area");
    std::vector<double> times;
    constexpr int kRounds = 7;
    for (int round = 0; round < kRounds; ++round) {
        times.push_back(seconds([&] {
            crypto::aesGcmSeal(key, plaintext, aad, box);
            if (!crypto::aesGcmOpen(key, box, aad, opened))
                fail("AES-GCM area did not open");
        }));
    }
    if (opened != plaintext)
        fail("AES-GCM area round trip changed the data");
    const double t = median(times);
    std::printf("aes-256-gcm seal + open of one %zu-byte area, median of %d: %.1f ms\n", kAreaBytes, kRounds, t * 1e3);
    return static_cast<double>(kAreaBytes) / 1e6 / t;
}

} // namespace

int main() {
    if (sodium_init() < 0)
        fail("libsodium did not initialise");
    const double argon = benchArgon2id();
    const double blake = benchBlake2b();
    const double area = benchArea();
    std::printf("ratio argon2id/libsodium: %.2f\n", argon);
    std::printf("ratio blake2b/libsodium: %.2f\n", blake);
    std::printf("area MB/s: %.0f\n", area);
    return 0;
}
