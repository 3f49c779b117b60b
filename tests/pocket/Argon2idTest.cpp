#include "Argon2id.h"

#include "Argon2idKernels.h"
#include "Crypto.h"
#include "TestBytes.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using larkhold::Argon2id;
using larkhold::asBytes;
using larkhold::ByteView;
// pattern() builds the inputs the generators of the vectors below used.
using larkhold::test::pattern;
using larkhold::test::toHex;

namespace {

struct Vector {
    const char* name;
    std::size_t passwordLength, saltLength, secretLength, adLength;
    std::uint32_t iterations, memoryKiB, lanes, length;
    const char* tag; // hex; for tags over 100 bytes the SHA-256 of the tag
};

// Produced by Debian 12's libargon2 (0~20171227-0.3+deb12u1) through argon2_ctx with Argon2_id and
// ARGON2_VERSION_13; password, salt, secret and associated data are pattern(n, 1..4).
const Vector kLibargon2Vectors[] = {
    {"minimum memory", 8, 8, 0, 0, 1, 8, 1, 32, "d8bcb7b2ef4169d65c273592e6f4efdf2c330fe9f78b1fd80a05436074c3760a"},
    {"odd memory, 65-byte tag", 16, 16, 0, 0, 2, 33, 1, 65,
     "1cdd523d5b478705c46fdc78a37b218da15941c0c01d132aecaf4d830cce493364d27efc26ce2bc30dc40c805dfa6f8833b8355ab27d8f4"
     "82c80df5131b9c83fd4"},
    {"secret and associated data, 100-byte tag", 32, 16, 8, 12, 3, 97, 1, 100,
     "459b8fa81654048c696ada06b6abf2cfe423e6e598075a107c783459df7a934955ec76bb0a55edd5717413d84ac9e5978a58489649842736b"
     "7cf2ec028eb77490b8b9a9ac040694c18b7dbe8ff18afa8de5fc577ef9cb292cdc53aed7f628a27f1e02207"},
    {"1024-byte tag", 20, 32, 0, 0, 1, 301, 1, 1024,
     "5332277e8b089c4678526d252357f2d9e03b3f5ebd26762955968616368f615f"},
    {"empty password, address block renewed", 0, 16, 0, 0, 2, 1031, 1, 16, "c4c139c4c903ef3f95ac0a149acaef74"},
    {"shortest tag", 5, 8, 0, 0, 1, 64, 1, 4, "a82d2352"},
    // 35 KiB is cut down to 32 blocks (a multiple of 4 x lanes); H0 still carries 35.
    {"35 KiB over 4 lanes", 32, 16, 8, 12, 3, 35, 4, 32,
     "546efa4f8095a2581c32328f61fc8144369c27f0cce03175d7334650428fd4f9"},
    {"three lanes", 10, 12, 0, 0, 2, 100, 3, 40,
     "9cc2326285b9a92810587e5ab2a734b1c0c78957e45fb10691a13c465549a3bd30efb8cfc3dd519f"},
};

larkhold::SecureBytes hashVector(const Vector& v) {
    return Argon2id::hash(pattern(v.passwordLength, 1), pattern(v.saltLength, 2), pattern(v.secretLength, 3),
                          pattern(v.adLength, 4), v.iterations, v.memoryKiB, v.lanes, v.length);
}

std::string tagText(const larkhold::SecureBytes& tag) {
    return tag.size() > 100 ? toHex(larkhold::crypto::sha256(tag)) : toHex(tag);
}

} // namespace

TEST(Argon2id, Rfc9106Section5_3) {
    const std::vector<std::uint8_t> password(32, 0x01), salt(16, 0x02), secret(8, 0x03), ad(12, 0x04);
    EXPECT_EQ(toHex(Argon2id::hash(password, salt, secret, ad, 3, 32, 4, 32)),
              "0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659");
}

TEST(Argon2id, MatchesLibargon2) {
    for (const Vector& v : kLibargon2Vectors) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(tagText(hashVector(v)), v.tag);
    }
}

TEST(Argon2id, VaultParameters) {
    // The one parameter set the vault format uses (3 passes, 128 MiB, 1 lane, 32-byte tag, 32-byte
    // salt); tag from libargon2 as above.
    const Vector v{"vault", 28,     32, 0,  0,
                   3,       131072, 1,  32, "ad8956cb15460c056054d42d1121faa896b588cbe9d2003490a1f0bf16f6a898"};
    EXPECT_EQ(tagText(hashVector(v)), v.tag);
}

TEST(Argon2id, VariableHashFollowsBothBranches) {
    // H' computed with Python 3.11 hashlib.blake2b over pattern(72, 3) (the size of H0 || j || l);
    // 1024 bytes, the length of the first blocks, as SHA-256 of the output.
    struct {
        std::uint32_t length;
        const char* expected;
    } const cases[] = {
        {4, "18732d28"},
        {32, "1517cb35e28ee6ca6cf2c594ec3bf4fc03425be610fa7ad76704c91a64192951"},
        {64,
         "f9a3e1394d8313ff0be07fc69a9924709c1cd1336efe2ce6b1bcca1c02ad8a8c0da2a192e012747139bcf40473a1628699e058d2ad2"
         "7614a4188059aa5e67512"},
        {65,
         "bbb3ba1d0873744eaef5cfeaae130d47b05bcfbd7e17f8bf6a7bc8de68598a759ca5f00c6e2f447d509b57bc8425e42e2d859be42ee"
         "1c70d650490581aaa755183"},
        {96,
         "e9a63e621cc54003c641a013c3742e09f4551abe4d2f6f557bbdbc2bf93f60a0521a8056fe7d0ff82797f757deb9c5bf4814294c242"
         "015a0ce635a0900fe10130afdf1629d6ceb8e74049a6b67ab677853f9873161944d01f59160c6a258d611"},
        {100,
         "3f2c29ba83020c2e6f3ecb489a68613aee4053cae2bf91bb6b20962d18ee3627c04fb36ca8bb510cc407b92823074153c5ab8ec5ba"
         "21d56fce442919a00f66655959eb3180dbaa1d59862852153c4b86425a86adfd5e33488066b6e0d40c1328f5886eb7"},
        {1024, "60c0238024f619c5d258e6558296da2c3985bcdb2b85587d7f20fb6b55a1a8ae"},
    };
    const auto input = pattern(72, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const auto out = Argon2id::variableHash(input, c.length);
        ASSERT_EQ(out.size(), c.length);
        EXPECT_EQ(c.length > 100 ? toHex(larkhold::crypto::sha256(out)) : toHex(out), c.expected);
    }
    EXPECT_THROW(Argon2id::variableHash(input, 0), std::invalid_argument);
}

TEST(Argon2id, EveryKernelComputesTheSameG) {
    std::mt19937_64 rng(20261209);
    auto randomBlock = [&rng] {
        Argon2id::Block b;
        for (auto& w : b.v)
            w = rng();
        return b;
    };
    const auto kernels = larkhold::argon2::supportedKernels();
    ASSERT_EQ(std::string(kernels.front().name), "portable");
    for (int round = 0; round < 20; ++round) {
        const Argon2id::Block x = randomBlock(), y = randomBlock(), old = randomBlock();
        for (bool xorInto : {false, true}) {
            Argon2id::Block work[2];
            Argon2id::Block expected = old;
            larkhold::argon2::fillPortable(x, y, expected, xorInto, work, nullptr);
            for (const auto& k : kernels) {
                SCOPED_TRACE(testing::Message() << k.name << (xorInto ? " xor" : " overwrite"));
                Argon2id::Block target = old;
                k.fill(x, y, target, xorInto, work, nullptr);
                ASSERT_EQ(std::memcmp(target.v, expected.v, sizeof target.v), 0);
                // The address blocks are computed in place: target may also be an input.
                Argon2id::Block inPlace = y;
                k.fill(x, inPlace, inPlace, false, work, nullptr);
                Argon2id::Block separate = y;
                larkhold::argon2::fillPortable(x, y, separate, false, work, nullptr);
                ASSERT_EQ(std::memcmp(inPlace.v, separate.v, sizeof inPlace.v), 0);
            }
        }
    }
}

TEST(Argon2id, RejectsParametersBeforeAllocating) {
    const auto pw = asBytes("password");
    const auto salt = asBytes("somesalt");
    auto hash = [&](std::uint32_t t, std::uint32_t m, std::uint32_t p, std::uint32_t len) {
        return Argon2id::hash(pw, salt, {}, {}, t, m, p, len);
    };
    EXPECT_THROW(hash(0, 64, 1, 32), std::invalid_argument);              // no pass
    EXPECT_THROW(hash(1, 64, 0, 32), std::invalid_argument);              // no lane
    EXPECT_THROW(hash(1, 1u << 31, 1u << 24, 32), std::invalid_argument); // lanes above 2^24 - 1
    EXPECT_THROW(hash(1, 64, 1, 3), std::invalid_argument);               // tag under 4 bytes
    EXPECT_THROW(hash(1, 31, 4, 32), std::invalid_argument);              // under 8 KiB per lane
    EXPECT_THROW(hash(1, 7, 1, 32), std::invalid_argument);
    // Parameters read from a damaged file must not be able to ask for absurd amounts of memory.
    EXPECT_THROW(hash(1, Argon2id::maxMemoryKiB + 1, 1, 32), std::invalid_argument);
    EXPECT_THROW(hash(1, 0xFFFFFFFFu, 1, 32), std::invalid_argument);

    EXPECT_EQ(hash(1, 8, 1, 4).size(), 4u); // the smallest accepted set
}
