#include "DecoyChecklist.h"

#include "ByteCount.h"

#include <gtest/gtest.h>

using larkhold::DecoyChecklist;
using larkhold::PocketItem;
using larkhold::PocketItems;

namespace {

const larkhold::Date kDate = larkhold::Date::fromReferenceSeconds(800000000);

PocketItem note(const QString& name, const QString& text) {
    return PocketItem::note(name, text, kDate);
}

PocketItem item(PocketItem::Kind kind, std::size_t bytes, std::uint8_t fill = 0x5A) {
    PocketItem i = note(QStringLiteral("x"), {});
    i.kind = kind;
    i.data.assign(bytes, fill);
    return i;
}

// Distinct content for each call so that "unique" does not interfere with other rows.
PocketItem distinctItem(PocketItem::Kind kind, std::size_t bytes = 16) {
    static std::uint8_t next = 1;
    return item(kind, bytes, next++);
}

const DecoyChecklist::Check* row(const std::vector<DecoyChecklist::Check>& rows, const char* id) {
    for (const auto& r : rows) {
        if (r.id == QLatin1String(id))
            return &r;
    }
    return nullptr;
}

QStringList ids(const std::vector<DecoyChecklist::Check>& rows) {
    QStringList out;
    for (const auto& r : rows)
        out << r.id;
    return out;
}

} // namespace

TEST(DecoyChecklist, emptySetsGiveThreeRows) {
    const auto rows = DecoyChecklist::checks({}, {});
    ASSERT_EQ(ids(rows), QStringList({"count", "notes", "unique"}));
    EXPECT_EQ(rows[0], (DecoyChecklist::Check{"count", "At least 3 items", "0 so far", false}));
    EXPECT_EQ(rows[1], (DecoyChecklist::Check{"notes", "Notes read like real notes", "No filler text", true}));
    EXPECT_EQ(rows[2], (DecoyChecklist::Check{"unique", "Nothing copied or repeated", "Every item is its own", true}));
}

TEST(DecoyChecklist, rowsAppearOnlyWhenTheirPreconditionHolds) {
    const PocketItems emptyMain{item(PocketItem::Kind::note, 0)};
    EXPECT_EQ(ids(DecoyChecklist::checks({}, emptyMain)), QStringList({"count", "mix", "notes", "unique"}));
    const PocketItems main{distinctItem(PocketItem::Kind::image)};
    EXPECT_EQ(ids(DecoyChecklist::checks({}, main)), QStringList({"count", "mix", "amount", "notes", "unique"}));
}

TEST(DecoyChecklist, countPassesFromThreeItems) {
    const PocketItems two{distinctItem(PocketItem::Kind::pdf), distinctItem(PocketItem::Kind::pdf)};
    EXPECT_EQ(row(DecoyChecklist::checks(two, {}), "count")->detail, "2 so far");
    EXPECT_FALSE(row(DecoyChecklist::checks(two, {}), "count")->passed);
    PocketItems three = two;
    three.push_back(distinctItem(PocketItem::Kind::pdf));
    EXPECT_TRUE(row(DecoyChecklist::checks(three, {}), "count")->passed);
    EXPECT_EQ(row(DecoyChecklist::checks(three, {}), "count")->detail, "3 so far");
}

TEST(DecoyChecklist, mixAsksForUpToTwoOfEachKindTheVaultHolds) {
    using K = PocketItem::Kind;
    const PocketItems main{distinctItem(K::note), distinctItem(K::note), distinctItem(K::image)};
    const auto* mix = row(DecoyChecklist::checks({distinctItem(K::note)}, main), "mix");
    ASSERT_NE(mix, nullptr);
    EXPECT_FALSE(mix->passed);
    EXPECT_EQ(mix->detail, "Add 1 more note, 1 more photo");

    PocketItems fivePhotos;
    for (int i = 0; i < 5; ++i)
        fivePhotos.push_back(distinctItem(K::image));
    EXPECT_EQ(row(DecoyChecklist::checks({distinctItem(K::image)}, fivePhotos), "mix")->detail, "Add 1 more photo");

    const PocketItems pdfs{distinctItem(K::pdf), distinctItem(K::pdf), distinctItem(K::note)};
    EXPECT_EQ(row(DecoyChecklist::checks({}, pdfs), "mix")->detail, "Add 1 more note, 2 more PDFs");

    // Extra kinds in the decoy set do no harm.
    const PocketItems decoy{distinctItem(K::image), distinctItem(K::image), distinctItem(K::pdf)};
    const auto* ok = row(DecoyChecklist::checks(decoy, {distinctItem(K::image)}), "mix");
    EXPECT_TRUE(ok->passed);
    EXPECT_EQ(ok->detail, "Matches your vault");
}

TEST(DecoyChecklist, amountWantsAQuarterOfTheMainBytes) {
    using K = PocketItem::Kind;
    const PocketItems main{item(K::pdf, 4000, 1)};
    const auto* short1 = row(DecoyChecklist::checks({item(K::pdf, 999, 2)}, main), "amount");
    EXPECT_FALSE(short1->passed);
    EXPECT_EQ(short1->detail, larkhold::formatByteCount(999) + " of at least " + larkhold::formatByteCount(1000));
    const auto* enough = row(DecoyChecklist::checks({item(K::pdf, 1000, 2)}, main), "amount");
    EXPECT_TRUE(enough->passed);
    EXPECT_EQ(enough->detail, larkhold::formatByteCount(1000));

    // Up to three main bytes make a target of zero, met even by nothing.
    const auto* tiny = row(DecoyChecklist::checks({}, {item(K::note, 3)}), "amount");
    EXPECT_TRUE(tiny->passed);
    EXPECT_EQ(tiny->detail, larkhold::formatByteCount(0));
}

TEST(DecoyChecklist, notesNameTheFirstFillerNote) {
    const PocketItems decoy{
        note("Fine", "Dentist appointment moved to Thursday at ten."), note("Lazy", "asdf asdf asdf"),
        note("Lazier", "x"), item(PocketItem::Kind::image, 3), // not a note: never tested as text
    };
    const auto* notes = row(DecoyChecklist::checks(decoy, {}), "notes");
    EXPECT_FALSE(notes->passed);
    EXPECT_EQ(notes->detail, "Rewrite “Lazy” — too short or repetitive");
}

TEST(DecoyChecklist, uniqueComparesBytesAndPrefersOverlap) {
    const PocketItem a = note("A", "Same text in both");
    PocketItem b = note("B", "Same text in both");
    b.kind = PocketItem::Kind::pdf; // kind and name play no part
    const auto* dup = row(DecoyChecklist::checks({a, b}, {}), "unique");
    EXPECT_FALSE(dup->passed);
    EXPECT_EQ(dup->detail, "Remove duplicate items");

    const auto* overlap = row(DecoyChecklist::checks({a, b}, {note("Main", "Same text in both")}), "unique");
    EXPECT_FALSE(overlap->passed);
    EXPECT_EQ(overlap->detail, "Remove items that are also in your vault");

    // Two empty items are copies of each other.
    EXPECT_FALSE(row(DecoyChecklist::checks({note("E1", ""), note("E2", "")}, {}), "unique")->passed);
}

TEST(DecoyChecklist, realTextBoundaries) {
    // 20 characters after trimming, 3 words, 8 distinct letters, none above 35 %.
    const QString twenty = QStringLiteral("abcd efgh abcdefghij");
    ASSERT_EQ(twenty.size(), 20);
    EXPECT_TRUE(DecoyChecklist::looksLikeRealText(QStringLiteral("\n  ") + twenty + QStringLiteral(" \t")));
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(twenty.left(19)));
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QStringLiteral("abcdefghijklmnopqrst uvwxyz"))); // 2 words
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QStringLiteral("abcabcab cabcabca bcabcabc")));  // 3 letters
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QString(24, 'a') + " aaaa aaa"));                // filler
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QStringLiteral("test test test test test test test test")));
    EXPECT_TRUE(DecoyChecklist::looksLikeRealText(QStringLiteral("Dentist appointment moved to Thursday at ten.")));
}

TEST(DecoyChecklist, realTextShareAndWordRatioBounds) {
    // 20 letters, "a" 7 times: 35 % passes; 8 times: 40 % fails.
    EXPECT_TRUE(DecoyChecklist::looksLikeRealText(QStringLiteral("aaaa bcd aaa efghijklmn")));
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QStringLiteral("aaaa bcd aaaa fghijklmn")));
    // Ten words, four distinct: exactly 0.4 passes; three distinct: 0.3 fails.
    EXPECT_TRUE(
        DecoyChecklist::looksLikeRealText(QStringLiteral("Plant seed water grow plant seed water grow plant seed")));
    EXPECT_FALSE(
        DecoyChecklist::looksLikeRealText(QStringLiteral("plant seed water plant seed water plant seed water plant")));
}

TEST(DecoyChecklist, charactersAreGraphemeClusters) {
    // 19 characters but 20 code units: the accent is a combining mark.
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QStringLiteral("e\u0301bcd fghij klmnopqr")));
    EXPECT_TRUE(DecoyChecklist::looksLikeRealText(QStringLiteral("e\u0301bcd fghij klmnopqrs")));
    // A precomposed and a decomposed "é" are one character: only 7 distinct letters here.
    EXPECT_FALSE(DecoyChecklist::looksLikeRealText(QStringLiteral("\u00e9abcdef e\u0301abcdef abcdef")));
}
