#include "PasswordStrength.h"

#include <cstring>
#include <gtest/gtest.h>

using larkhold::PasswordStrength;
using Level = PasswordStrength::Level;

namespace {

const QString kCommonTip = QStringLiteral("Avoid common passwords like “password” or “123456”.");
const QString kWordNumberTip =
    QStringLiteral("A word plus a number or year is easy to guess — add more unrelated words.");
const QString kLengthTip = QStringLiteral("Longer is stronger — aim for 12 characters or more.");
const QString kPatternTip = QStringLiteral("Avoid repeats and sequences like “aaa” or “1234”.");
const QString kWordsTip = QStringLiteral("Or use four or more unrelated words, separated by spaces.");
const QString kMixTip = QStringLiteral("Mix in capitals, numbers or symbols.");

struct Expected {
    const char* password;
    Level level;
    std::optional<QString> tip;
};

void expectRating(const Expected& e) {
    const PasswordStrength s(QString::fromUtf8(e.password));
    EXPECT_EQ(s.level, e.level) << e.password;
    EXPECT_EQ(s.tip, e.tip) << e.password;
}

} // namespace

// The self-test fails the whole Pocket check when any of these drifts.
TEST(PasswordStrength, selfTestSamplesKeepTheirRatings) {
    expectRating({"lmnopq", Level::weak, kLengthTip});
    expectRating({"tiger123456", Level::weak, kCommonTip});
    expectRating({"zzzzzzzzzzzzzzzz", Level::weak, kPatternTip});
    expectRating({"harbor pencil window cloud", Level::strong, std::nullopt});
    expectRating({"Vb4$kP8@wQ2^nJ", Level::strong, std::nullopt});
    expectRating({"Autumn2024?", Level::fair, kWordNumberTip});
}

TEST(PasswordStrength, commonPasswordOverridesEverythingInAnyCase) {
    expectRating({"Correct-Horse-PASSWORD-Battery-Staple", Level::weak, kCommonTip});
    expectRating({"my LarkHold vault 9$", Level::weak, kCommonTip});
}

TEST(PasswordStrength, commonListStaysWithinItsShapeAndAvoidsSelfTestWords) {
    const auto& list = larkhold::CommonPasswords::list();
    bool hasPassword = false, has123456 = false, hasProduct = false;
    for (const char* entry : list) {
        const QString e = QString::fromLatin1(entry);
        EXPECT_GE(e.size(), 5) << entry;
        EXPECT_LE(e.size(), 8) << entry;
        EXPECT_EQ(e, e.toLower()) << entry;
        hasPassword = hasPassword || e == QLatin1String("password");
        has123456 = has123456 || e == QLatin1String("123456");
        hasProduct = hasProduct || e == QLatin1String("larkhold");
        for (const char* sample : {"harbor pencil window cloud", "vb4$kp8@wq2^nj", "autumn2024?", "lmnopq"})
            EXPECT_EQ(std::strstr(sample, entry), nullptr) << entry << " hides in " << sample;
    }
    EXPECT_TRUE(hasPassword && has123456 && hasProduct);
}

TEST(PasswordStrength, passphrasesCountWordsAcrossSeparators) {
    expectRating({"harbor-pencil_window.cloud", Level::strong, std::nullopt});
    expectRating({"harbor,, pencil -- window  cloud", Level::strong, std::nullopt});
    // A digit spoils a word, and so does a piece shorter than three letters.
    // Repeats keep these low on bits, so only the word rule could make them strong.
    expectRating({"aaaa bbbb cccc ddd", Level::strong, std::nullopt});
    expectRating({"aaaa bbbb cccc dd", Level::fair, kPatternTip});
    expectRating({"aaaa bbbb cccc dd1d", Level::good, kPatternTip});
    // The same four words under 16 characters fall through to the bits rule.
    expectRating({"aaa bbb ccc dddd", Level::strong, std::nullopt});
    expectRating({"aaa bbb ccc ddd", Level::fair, kPatternTip});
}

TEST(PasswordStrength, lengthAndBitsBounds) {
    expectRating({"", Level::weak, kLengthTip});
    // Twelve lower-case letters without repeats or steps: 56 bits. Thirteen: 61 bits.
    expectRating({"qwhtkzmvrxpe", Level::good, kMixTip});
    expectRating({"qwhtkzmvrxpeg", Level::strong, std::nullopt});
    // Below 12 characters the length tip comes first.
    expectRating({"Qx7!mzR2", Level::good, kLengthTip});
    // Long enough, but repeats: the pattern tip, not the four-words tip.
    expectRating({"Qx7!!!!!mzR2", Level::good, kPatternTip});
    // Long enough, no pattern, more than lower-case, held back by a year: the four-words tip.
    expectRating({"qwhtk2046zmv", Level::good, kWordsTip});
}

TEST(PasswordStrength, wordPlusNumberIsCappedAtFair) {
    expectRating({"cat1", Level::weak, kWordNumberTip});
    expectRating({"Quixotic9071!?", Level::fair, kWordNumberTip});
    // Three symbols at the end break the shape.
    EXPECT_NE(PasswordStrength(QStringLiteral("Quixotic9071!?#")).tip, kWordNumberTip);
}

TEST(PasswordStrength, yearsLowerTheLengthOnceAndNeverBelowZero) {
    // "1999": effective length 2 (the nines repeat), minus 2 for the year.
    expectRating({"1999", Level::weak, kLengthTip});
    // Two years subtract 2 once: effective length 7.5 - 2 over a pool of 10 is about 18 bits.
    const PasswordStrength twoYears(QStringLiteral("19842024"));
    EXPECT_EQ(twoYears.level, Level::weak);
}

TEST(PasswordStrength, nonAsciiLettersWidenThePool) {
    // "é" counts as lower-case and as non-ASCII: pool 126, about 7 bits a character, so seven
    // characters without patterns reach good where plain lower-case stays fair.
    EXPECT_EQ(PasswordStrength(QStringLiteral("qéwtkzm")).level, Level::good);
    EXPECT_EQ(PasswordStrength(QStringLiteral("qewtkzm")).level, Level::fair);
    // Typed with a combining accent it is still lower-case and non-ASCII.
    EXPECT_EQ(PasswordStrength(QStringLiteral("qe\u0301wtkzm")).level, Level::good);
}

TEST(PasswordStrength, characterClassesFollowUnicodeProperties) {
    // Nine modifier letters that are Lowercase without being in the lower-case letter category:
    // pool 126 rather than 100, which lifts nine of them from 59.8 to 62.8 bits.
    expectRating({"\u00aa\u02b0\u00ba\u02b2\u02e0\u02b7\u02e2\u02b8\u02e4", Level::strong, std::nullopt});
    // Han numerals have a numeric type: pool 110 rather than 100, 61.0 rather than 59.8 bits.
    expectRating({"一三五七九二四六八", Level::strong, std::nullopt});
    // Circled letters are Alphabetic, so these are four words; as bits alone they would be good.
    expectRating({"ⓐⓐⓐⓐ ⓑⓑⓑ ⓒⓒⓒ ⓓⓓⓓ", Level::strong, std::nullopt});
}

TEST(PasswordStrength, levelsFromRawValues) {
    EXPECT_EQ(PasswordStrength::levelFromRawValue(0), Level::weak);
    EXPECT_EQ(PasswordStrength::levelFromRawValue(3), Level::strong);
    EXPECT_EQ(PasswordStrength::levelFromRawValue(4), std::nullopt);
    EXPECT_EQ(PasswordStrength::levelFromRawValue(-1), std::nullopt);
}
