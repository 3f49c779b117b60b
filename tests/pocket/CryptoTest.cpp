#include "Crypto.h"
#include "DumpProtection.h"
#include "SecureBytes.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <cstdint>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace larkhold;
using namespace larkhold::crypto;

namespace {

std::vector<std::uint8_t> seal(ByteView key, ByteView plaintext, ByteView aad) {
    std::vector<std::uint8_t> box(plaintext.size() + kGcmOverhead);
    aesGcmSeal(key, plaintext, aad, box);
    return box;
}

bool open(ByteView key, ByteView box, ByteView aad, std::vector<std::uint8_t>& plaintext) {
    plaintext.assign(box.size() < kGcmOverhead ? 0 : box.size() - kGcmOverhead, 0xEE);
    return aesGcmOpen(key, box, aad, plaintext);
}

} // namespace

TEST(AesGcm, RoundTripsAnySize) {
    const SecureBytes key = randomBytes(kKeySize);
    const auto aad = asBytes("slot 1");
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 4096u, 100000u}) {
        SCOPED_TRACE(n);
        std::vector<std::uint8_t> plaintext(n);
        for (std::size_t i = 0; i < n; ++i)
            plaintext[i] = static_cast<std::uint8_t>(i * 31);
        const auto box = seal(key, plaintext, aad);
        ASSERT_EQ(box.size(), n + 28);
        std::vector<std::uint8_t> opened;
        ASSERT_TRUE(open(key, box, aad, opened));
        EXPECT_EQ(opened, plaintext);
    }
}

TEST(AesGcm, UsesAFreshNonceEverySeal) {
    const SecureBytes key = randomBytes(kKeySize);
    const auto a = seal(key, asBytes("same text"), {});
    const auto b = seal(key, asBytes("same text"), {});
    EXPECT_FALSE(std::equal(a.begin(), a.begin() + kGcmNonceSize, b.begin()));
    EXPECT_NE(a, b);
}

TEST(AesGcm, RejectsEveryAlterationAndWipesTheOutput) {
    const SecureBytes key = randomBytes(kKeySize);
    const auto aad = asBytes("area");
    const auto box = seal(key, asBytes("attack at dawn, bring snacks"), aad);
    std::vector<std::uint8_t> opened;
    const std::vector<std::uint8_t> zeros(box.size() - kGcmOverhead, 0);

    // One flipped bit anywhere: nonce, ciphertext or tag.
    for (std::size_t i = 0; i < box.size(); ++i) {
        auto altered = box;
        altered[i] ^= 0x01;
        ASSERT_FALSE(open(key, altered, aad, opened)) << "byte " << i;
        ASSERT_EQ(opened, zeros) << "byte " << i;
    }
    SecureBytes otherKey = key;
    otherKey[0] ^= 0x80;
    EXPECT_FALSE(open(otherKey, box, aad, opened));
    EXPECT_FALSE(open(key, box, asBytes("Area"), opened));
    EXPECT_FALSE(open(key, box, {}, opened));
    EXPECT_FALSE(open(key, ByteView(box).first(box.size() - 1), aad, opened));
    EXPECT_FALSE(open(key, ByteView(box).first(kGcmOverhead - 1), aad, opened));
}

TEST(AesGcm, RejectsMalformedArguments) {
    const SecureBytes key = randomBytes(kKeySize);
    const auto box = seal(key, asBytes("text"), {});
    std::vector<std::uint8_t> tooSmall(3);
    EXPECT_FALSE(aesGcmOpen(key, box, {}, tooSmall));
    EXPECT_FALSE(aesGcmOpen(ByteView(key).first(16), box, {}, std::span<std::uint8_t>()));

    std::vector<std::uint8_t> shortBox(4 + kGcmOverhead - 1);
    EXPECT_THROW(aesGcmSeal(key, asBytes("text"), {}, shortBox), CryptoError);
    std::vector<std::uint8_t> okBox(4 + kGcmOverhead);
    EXPECT_THROW(aesGcmSeal(ByteView(key).first(16), asBytes("text"), {}, okBox), CryptoError);
}

TEST(Sha256, KnownAnswer) {
    // FIPS 180-2, appendix B.1.
    const auto d = sha256(asBytes("abc"));
    const std::vector<std::uint8_t> expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                                0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                                0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_TRUE(std::equal(d.begin(), d.end(), expected.begin(), expected.end()));
}

TEST(Random, FillsAndStaysInRange) {
    EXPECT_EQ(randomBytes(0).size(), 0u);
    const auto a = randomBytes(32), b = randomBytes(32);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);

    EXPECT_THROW(randomBelow(0), CryptoError);
    EXPECT_EQ(randomBelow(1), 0u);
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const auto v = randomBelow(10);
        ASSERT_LT(v, 10u);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 10u);
}

TEST(EqualConstantTime, ComparesContentAndLength) {
    EXPECT_TRUE(equalConstantTime(asBytes("key material"), asBytes("key material")));
    EXPECT_FALSE(equalConstantTime(asBytes("key material"), asBytes("key materiaL")));
    EXPECT_FALSE(equalConstantTime(asBytes("key"), asBytes("key material")));
    EXPECT_TRUE(equalConstantTime({}, {}));
}

// A process holding secrets writes no core dump and lets no other process read it; large secret
// buffers are left out of a dump written all the same.
// A look left running on a thread of its own (a vault file on a share that stopped answering) may
// seal, open or draw random bytes while the process ends, after the exit handlers ran.
TEST(Crypto, SealsAndDrawsRandomBytesWhileTheProcessEnds) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atexit([] {
            const std::vector<std::uint8_t> key(kKeySize, 7), text{1, 2, 3};
            std::vector<std::uint8_t> back;
            ::_exit(open(key, seal(key, text, {}), {}, back) && back == text ? 0 : 1);
        });
        // The library starts only now, as in a process whose first vault is opened after its start.
        (void)randomBytes(16);
        std::exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(DumpProtection, TheProcessAndLargeSecretsStayOutOfCoreDumps) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        larkhold::protectProcessFromDumps();
        rlimit core{};
        const bool protectedNow = ::prctl(PR_GET_DUMPABLE) == 0 && ::getrlimit(RLIMIT_CORE, &core) == 0 &&
                                  core.rlim_cur == 0 && core.rlim_max == 0;
        ::_exit(protectedNow ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const larkhold::SecureBytes secret(1 << 20, 0x5A);
    const auto at = reinterpret_cast<std::uintptr_t>(secret.data());
    std::ifstream maps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    std::string flags;
    while (std::getline(maps, line)) {
        std::uintptr_t from = 0;
        std::uintptr_t to = 0;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &from, &to) == 2 && line.find(' ') > line.find('-'))
            inside = from <= at && at < to;
        else if (inside && line.rfind("VmFlags:", 0) == 0)
            flags = line;
    }
    EXPECT_NE((flags + " ").find(" dd "), std::string::npos) << flags;
}
