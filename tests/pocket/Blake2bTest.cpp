#include "Blake2b.h"

#include "TestBytes.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using larkhold::asBytes;
using larkhold::Blake2b;
using larkhold::ByteView;
using larkhold::test::toHex;

namespace {

// The message used by the generated vectors below: byte i is (7i + 3) mod 256.
std::vector<std::uint8_t> message(std::size_t n) {
    return larkhold::test::pattern(n, 3);
}

struct Vector {
    std::size_t messageLength;
    std::size_t outputLength;
    const char* digest;
};

// Produced by an independent implementation, Python 3.11 hashlib.blake2b(message(n), digest_size=L).
// Lengths around the block size check that a full last block is compressed as the final block only
// when nothing follows it.
const Vector kPythonVectors[] = {
    {0, 64,
     "786a02f742015903c6c6fd852552d272912f4740e15847618a86e217f71f5419d25e1031afee585313896444934eb04b903a685b1448b755d"
     "56f701afe9be2ce"},
    {0, 1, "2e"},
    {0, 20, "3345524abf6bbe1809449224b5972c41790b6cf2"},
    {0, 32, "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"},
    {0, 63,
     "4ded8c5fc8b12f3273f877ca585a44ad6503249a2b345d6d9c0e67d85bcb700db4178c0303e93b8f4ad758b8e2c9fd8b3d0c28e585f192833"
     "4bb77d36782e8"},
    {1, 64,
     "4fe4da61bcc756071b226843361d74944c72245d23e8245ea678c13fdcd7fe2ae529cf999ad99cc24f7a73416a18ba53e76c0afef83b16a56"
     "8b12fbfc1a2674d"},
    {3, 48, "6cf91e479a229475d216553f42f95e79459a8a2903f231b90c949bcf3ebd2b126f8237fb09a89de1b603c8bfb60aa5b2"},
    {127, 64,
     "71546bbf9110ad184cc60f2eb120fcfd9b4dbbca7a7f1270045b8a23a6a4f4330f65c1f030dd2f5fabc6c57617242c37cf427bd90407fac5b"
     "9deffd3ae888c39"},
    {128, 64,
     "2d9e329f42afa3601d646692b81c13e87fcaff5bf15972e9813d7373cb6d181f9599f4d513d4af4fd6ebd37497aceb29aba5ee23ed764d851"
     "0b552bd088814fb"},
    {128, 32, "f0501d06597880592bc49234eef100ec1ff349058d0e9d9b753504e24af86dd6"},
    {129, 64,
     "47889df9eb4d717afc5019df5c6a83df00a0b8677395e078cd5778ace0f338a618e68b7d9afb065d9e6a01ccd31d109447e7fae771c3ee3e1"
     "05709194122ba2b"},
    {255, 64,
     "1a5199ac66a00e8a87ad1c7fbad30b33137dd8312bf6d98602dacf8f40ea2cb623a7fbc63e5a6bfa434d337ae7da5ca1a52502a215a3fe029"
     "7a151be85d88789"},
    {256, 64,
     "91019c558584980249ca43eceed27e19f1c3c24161b93eed1eee2a6a774f60bf8a81b43750870bee1698feac9c5336ae4d5c842e7ead159bf"
     "3916387e8ded9ae"},
    {256, 17, "9ccf17e3a08b84448f9aee723c009b4936"},
    {1000, 64,
     "4bdd2c9cf31d797a81d245c989ffb7515143ca345c66f73087dd5c58bf642bf083ba16894eab79e3b08d5126404d833e7510271b50be36a7b"
     "7cbbb46f5c89fac"},
    {1000, 33, "ffa3f553fe3c7b2d7904a5f795a4d1ee0bf5aa6352dcb472e3fef4705b3a1fe6ba"},
};

} // namespace

TEST(Blake2b, Rfc7693AppendixA) {
    EXPECT_EQ(toHex(Blake2b::hash(asBytes("abc"), 64)),
              "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
              "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
}

TEST(Blake2b, MatchesIndependentImplementation) {
    for (const Vector& v : kPythonVectors) {
        SCOPED_TRACE(testing::Message() << v.messageLength << " bytes, digest " << v.outputLength);
        EXPECT_EQ(toHex(Blake2b::hash(message(v.messageLength), v.outputLength)), v.digest);
    }
}

TEST(Blake2b, AnySplitOfTheInputGivesTheSameDigest) {
    // Three blocks and a bit: every split crosses each block boundary case (buffer empty, partial,
    // exactly full when more input arrives).
    const auto m = message(3 * Blake2b::blockSize + 5);
    const auto expected = Blake2b::hash(m, 64);
    const ByteView all(m);
    for (std::size_t cut = 0; cut <= m.size(); ++cut) {
        Blake2b h(64);
        h.update(all.first(cut));
        h.update(all.subspan(cut));
        ASSERT_EQ(h.finalize(), expected) << "split at " << cut;
    }
    for (std::size_t a = 0; a <= m.size(); a += 17) {
        for (std::size_t b = a; b <= m.size(); b += 29) {
            Blake2b h(64);
            h.update(all.first(a));
            h.update({});
            h.update(all.subspan(a, b - a));
            h.update(all.subspan(b));
            ASSERT_EQ(h.finalize(), expected) << "splits at " << a << " and " << b;
        }
    }
    Blake2b bytewise(64);
    for (std::uint8_t byte : m)
        bytewise.update({&byte, 1});
    EXPECT_EQ(bytewise.finalize(), expected);
}

TEST(Blake2b, CopiesHashIndependently) {
    const auto m = message(200);
    Blake2b h(32);
    h.update(ByteView(m).first(150));
    Blake2b copy = h;
    h.update(ByteView(m).subspan(150));
    copy.update(ByteView(m).subspan(150));
    const auto expected = Blake2b::hash(m, 32);
    EXPECT_EQ(h.finalize(), expected);
    EXPECT_EQ(copy.finalize(), expected);
}

TEST(Blake2b, RejectsMisuse) {
    EXPECT_THROW(Blake2b(0), std::invalid_argument);
    EXPECT_THROW(Blake2b(65), std::invalid_argument);
    EXPECT_THROW(Blake2b::hash(asBytes("x"), 0), std::invalid_argument);

    Blake2b wrongSize(32);
    std::vector<std::uint8_t> out(31);
    EXPECT_THROW(wrongSize.finalize(out), std::invalid_argument);

    Blake2b used(64);
    used.update(asBytes("abc"));
    (void)used.finalize();
    EXPECT_THROW(used.update(asBytes("more")), std::logic_error);
    EXPECT_THROW((void)used.finalize(), std::logic_error);
}
