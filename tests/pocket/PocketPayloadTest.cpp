#include "PocketPayload.h"

#include "PocketVaultError.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>

using namespace larkhold;

namespace {

SecureBytes bytesOf(std::string_view s) {
    return SecureBytes(s.begin(), s.end());
}

PocketItem item(PocketItem::Kind kind, QString name, std::string_view data, double created, double modified) {
    PocketItem i;
    i.id = QUuid::createUuid();
    i.name = std::move(name);
    i.kind = kind;
    i.created = Date{created};
    i.modified = Date{modified};
    i.data = bytesOf(data);
    return i;
}

// A plaintext with the given manifest text, followed by `tail` and zero fill up to `capacity`.
SecureBytes plaintextWith(std::string_view manifest, std::string_view tail = {}, std::size_t capacity = 256) {
    SecureBytes p(capacity, 0);
    std::memcpy(p.data(), "LHP1", 4);
    const auto l = static_cast<std::uint32_t>(manifest.size());
    for (int i = 0; i < 4; ++i)
        p[4 + i] = static_cast<std::uint8_t>(l >> (8 * i));
    std::copy(manifest.begin(), manifest.end(), p.begin() + 8);
    std::copy(tail.begin(), tail.end(), p.begin() + 8 + std::ptrdiff_t(manifest.size()));
    return p;
}

void expectDamaged(ByteView plaintext, const char* why) {
    try {
        PocketPayload::decode(plaintext);
        ADD_FAILURE() << "decoded: " << why;
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.which(), PocketVaultError::Case::damaged) << why;
    }
}

constexpr const char* kId = "0F8FAD5B-D9CB-469F-A165-70867728950E";

std::string entry(std::string_view length, std::string_view id = kId, std::string_view kind = "\"note\"") {
    return "{\"id\":\"" + std::string(id) + "\",\"name\":\"n\",\"kind\":" + std::string(kind) +
           ",\"created\":1,\"modified\":2,\"length\":" + std::string(length) + "}";
}

TEST(PocketPayload, EmptyListIsMagicLengthAndEmptyArray) {
    const SecureBytes p = PocketPayload::encode({}, 64);
    ASSERT_EQ(p.size(), 64u);
    const std::uint8_t head[] = {'L', 'H', 'P', '1', 2, 0, 0, 0, '[', ']'};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), p.begin()));
    EXPECT_TRUE(std::all_of(p.begin() + 10, p.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(PocketPayload::sizeOf({}), 10);
    EXPECT_TRUE(PocketPayload::decode(p).empty());
}

TEST(PocketPayload, ManifestKeepsItsKeyOrderAndUpperCaseIds) {
    PocketItem i = item(PocketItem::Kind::pdf, "a\"b\\c/\n\x01é", "xyz", 123.5, -0.25);
    i.id = QUuid::fromString(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
    const SecureBytes p = PocketPayload::encode({i}, 512);
    const std::string expected = std::string("[{\"id\":\"") + kId +
                                 "\",\"name\":\"a\\\"b\\\\c\\/\\n\\u0001é\",\"kind\":\"pdf\","
                                 "\"created\":123.5,\"modified\":-0.25,\"length\":3}]";
    const std::uint32_t l = p[4] | p[5] << 8 | p[6] << 16 | p[7] << 24;
    EXPECT_EQ(std::string(p.begin() + 8, p.begin() + 8 + l), expected);
    EXPECT_EQ(std::string(p.begin() + 8 + l, p.begin() + 11 + l), "xyz");
    EXPECT_EQ(PocketPayload::sizeOf({i}), static_cast<std::int64_t>(8 + expected.size() + 3));
}

TEST(PocketPayload, ExactCapacityFitsAndOneByteMoreIsFull) {
    const PocketItems items{item(PocketItem::Kind::image, "photo.jpg", "0123456789", 1, 1)};
    const std::int64_t needed = PocketPayload::sizeOf(items);
    const SecureBytes p = PocketPayload::encode(items, needed);
    EXPECT_EQ(static_cast<std::int64_t>(p.size()), needed);
    EXPECT_EQ(std::string(p.end() - 10, p.end()), "0123456789"); // no zero fill
    EXPECT_EQ(PocketPayload::decode(p), items);

    try {
        PocketPayload::encode(items, needed - 1);
        FAIL() << "encoded into too small a capacity";
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.which(), PocketVaultError::Case::full);
        EXPECT_EQ(e.needed(), needed);
        EXPECT_EQ(e.capacity(), needed - 1);
    }
}

TEST(PocketPayload, EncodingIntoAUsedBufferMatchesAFreshEncoding) {
    const PocketItems items{item(PocketItem::Kind::note, "n", "short", 1, 2)};
    SecureBytes used(256, 0xA5);
    PocketPayload::encodeInto(items, used);
    EXPECT_EQ(used, PocketPayload::encode(items, 256)) << "the old bytes are all overwritten";

    std::fill(used.begin(), used.end(), 0xA5);
    const PocketItems tooBig{item(PocketItem::Kind::pdf, "p", std::string(300, 'x'), 1, 2)};
    EXPECT_THROW(PocketPayload::encodeInto(tooBig, used), PocketVaultError);
    EXPECT_TRUE(std::all_of(used.begin(), used.end(), [](std::uint8_t b) { return b == 0xA5; }))
        << "a refused list writes nothing";
}

TEST(PocketPayload, RoundTripsEveryKindNameAndDateExactly) {
    const double awkward[] = {0.1,
                              -1e-7,
                              7.5e8 + 0.123456789,
                              -1.5e-300,
                              std::numeric_limits<double>::max(),
                              1e21,
                              -3.0,
                              std::numeric_limits<double>::denorm_min(),
                              9007199254740993.0,
                              786245123.4567891};
    PocketItems items;
    for (std::size_t n = 0; n < std::size(awkward); ++n) {
        const auto kind = PocketItem::allKinds[n % 3];
        items.push_back(item(kind, QStringLiteral("name %1 “quoted” \t 🙂 \u2028").arg(n),
                             n % 4 == 0 ? std::string_view{} : std::string_view("some bytes\0\xff", 12), awkward[n],
                             awkward[std::size(awkward) - 1 - n]));
    }
    const PocketItems decoded = PocketPayload::decode(PocketPayload::encode(items, 4096));
    ASSERT_EQ(decoded, items);
    for (std::size_t n = 0; n < items.size(); ++n) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(decoded[n].created.secondsSinceReference),
                  std::bit_cast<std::uint64_t>(items[n].created.secondsSinceReference));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(decoded[n].modified.secondsSinceReference),
                  std::bit_cast<std::uint64_t>(items[n].modified.secondsSinceReference));
    }
}

TEST(PocketPayload, NamesThatAreNotWellFormedStillDecode) {
    // An unpaired surrogate is what a non-UTF-8 file name turns into.
    QString name = QStringLiteral("bad");
    name.append(QChar(0xD800));
    name.append(QStringLiteral("name"));
    name.append(QChar(0xDC00));
    PocketItems items{item(PocketItem::Kind::image, name, "x", 0, 0),
                      item(PocketItem::Kind::note, QString(QChar(0xFFFF)) + QChar(0xFDD0), "y", 0, 0)};
    const PocketItems decoded = PocketPayload::decode(PocketPayload::encode(items, 1024));
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].name, QStringLiteral("bad\uFFFDname\uFFFD"));
    EXPECT_EQ(decoded[1].name, items[1].name);
    EXPECT_EQ(PocketPayload::sizeOf(items), PocketPayload::sizeOf(decoded));
}

TEST(PocketPayload, UndatableItemIsAnErrorAndCountsNoManifest) {
    const PocketItems items{item(PocketItem::Kind::note, "n", "abc", std::numeric_limits<double>::quiet_NaN(), 0)};
    EXPECT_EQ(PocketPayload::sizeOf(items), 8 + 3);
    EXPECT_THROW(PocketPayload::encode(items, 1024), std::invalid_argument);
}

TEST(PocketPayload, AcceptsAnyKeyOrderAndIgnoresTheFill) {
    const std::string manifest = "[{\"length\":2,\"modified\":2,\"created\":1.5,\"kind\":\"image\",\"name\":\"p\","
                                 "\"id\":\"0f8fad5b-d9cb-469f-a165-70867728950e\"}]";
    SecureBytes p = plaintextWith(manifest, "hi");
    std::fill(p.begin() + 8 + manifest.size() + 2, p.end(), 0xA5);
    const PocketItems items = PocketPayload::decode(p);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].kind, PocketItem::Kind::image);
    EXPECT_EQ(items[0].created.secondsSinceReference, 1.5);
    EXPECT_EQ(items[0].id.toString(QUuid::WithoutBraces).toUpper().toStdString(), kId);
    EXPECT_EQ(items[0].text(), QStringLiteral("hi"));
}

TEST(PocketPayload, RefusesMalformedHeaders) {
    expectDamaged(SecureBytes{}, "empty");
    expectDamaged(bytesOf("LHP1\x02\0\0"), "seven bytes");
    SecureBytes p = PocketPayload::encode({}, 64);
    p[0] = 'X';
    expectDamaged(p, "magic changed");
    SecureBytes longManifest = PocketPayload::encode({}, 64);
    longManifest[4] = 57; // 8 + 57 > 64
    expectDamaged(longManifest, "manifest past the end");
    longManifest[4] = 0xFF;
    longManifest[7] = 0xFF;
    expectDamaged(longManifest, "huge manifest length");
}

TEST(PocketPayload, RefusesMalformedManifests) {
    const std::string ok = entry("0");
    ASSERT_EQ(PocketPayload::decode(plaintextWith("[" + ok + "]")).size(), 1u);

    const std::string bad[] = {
        "",
        "[",
        "{}",
        "[1]",
        "[" + ok + "",
        "[{\"id\":\"" + std::string(kId) + "\",\"name\":\"n\",\"kind\":\"note\",\"created\":1,\"length\":0}]",
        "[{\"id\":\"" + std::string(kId) +
            "\",\"name\":5,\"kind\":\"note\",\"created\":1,\"modified\":2,\"length\":0}]",
        "[{\"id\":\"" + std::string(kId) +
            "\",\"name\":\"n\",\"kind\":\"note\",\"created\":\"1\",\"modified\":2,"
            "\"length\":0}]",
        "[" + entry("0", "{0F8FAD5B-D9CB-469F-A165-70867728950E}") + "]",
        "[" + entry("0", "0F8FAD5BD9CB469FA16570867728950E") + "]",
        "[" + entry("0", "0F8FAD5B-D9CB-469F-A165-70867728950G") + "]",
        "[" + entry("0", kId, "\"video\"") + "]",
        "[" + entry("0", kId, "\"Note\"") + "]",
        "[" + entry("0", kId, "1") + "]",
        "[" + entry("\"0\"") + "]",
        "[" + entry("null") + "]",
    };
    for (const std::string& manifest : bad)
        expectDamaged(plaintextWith(manifest), manifest.c_str());
}

TEST(PocketPayload, RefusesLengthsThatLeaveTheBuffer) {
    // Room after the manifest: 256 - 8 - manifest size. Lengths that would wrap a signed or
    // unsigned cursor, negative lengths and fractional ones all count as damage.
    const std::string bad[] = {"-1",
                               "1.5",
                               "1e300",
                               "18446744073709551615",
                               "18446744073709551616",
                               "9223372036854775807",
                               "-9223372036854775808",
                               "1000"};
    for (const std::string& length : bad)
        expectDamaged(plaintextWith("[" + entry(length) + "]"), length.c_str());

    // Each entry fits alone but not together: the whole decode fails, with no partial list.
    const std::string two = "[" + entry("200") + "," + entry("200") + "]";
    ASSERT_LT(two.size() + 8 + 200, 600u);
    ASSERT_GT(two.size() + 8 + 400, 600u);
    expectDamaged(plaintextWith(two, {}, 600), "two entries past the end");

    // A length written as an integral double is still a byte count.
    EXPECT_EQ(PocketPayload::decode(plaintextWith("[" + entry("2.0") + "]", "ab"))[0].data, bytesOf("ab"));
}

TEST(PocketItem, NoteTextAndReplacementOfBadBytes) {
    const Date when{12345.5};
    const PocketItem note = PocketItem::note(QStringLiteral("Title"), QStringLiteral("héllo"), when);
    EXPECT_FALSE(note.id.isNull());
    EXPECT_EQ(note.kind, PocketItem::Kind::note);
    EXPECT_EQ(note.created, when);
    EXPECT_EQ(note.modified, when);
    EXPECT_EQ(note.data, bytesOf("h\xc3\xa9llo"));
    EXPECT_NE(PocketItem::note({}, {}, when).id, note.id);

    PocketItem broken = note;
    broken.data = bytesOf("ok\xff\xc3(");
    EXPECT_EQ(broken.text(), QStringLiteral("ok\uFFFD\uFFFD("));
}

} // namespace
