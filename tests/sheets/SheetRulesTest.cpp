#include "SheetRules.h"

#include "SheetTexts.h"
#include "VaultSizeModel.h"

#include <gtest/gtest.h>

namespace larkhold {
namespace {

std::string text(const std::optional<QString>& message) {
    return message ? message->toStdString() : std::string("(none)");
}

TEST(CharacterCount, CountsWhatAPersonSeesAsOneCharacter) {
    EXPECT_EQ(characterCount(QString()), 0);
    EXPECT_EQ(characterCount(QStringLiteral("abcdef")), 6);
    // e + combining acute is one character, composed or not.
    EXPECT_EQ(characterCount(QStringLiteral("e\u0301")), 1);
    EXPECT_EQ(characterCount(QStringLiteral("é")), 1);
    // A flag, a family emoji and an emoji with a skin tone each count once.
    EXPECT_EQ(characterCount(QStringLiteral("🇩🇪👨‍👩‍👧🤝🏽")), 3);
    // Six multi-byte letters are six characters.
    EXPECT_EQ(characterCount(QStringLiteral("ñøüßéç")), 6);
    EXPECT_TRUE(isLongEnoughPassword(QStringLiteral("ñøüßéç")));
    EXPECT_FALSE(isLongEnoughPassword(QStringLiteral("🇩🇪🇩🇪🇩🇪🇩🇪🇩🇪")));
    EXPECT_FALSE(isLongEnoughPassword(QStringLiteral("abcde")));
}

TEST(SameText, CanonicallyEquivalentTextsAreEqualButCaseCounts) {
    EXPECT_TRUE(sameText(QStringLiteral("Caf\u00e9"), QStringLiteral("Cafe\u0301")));
    EXPECT_FALSE(sameText(QStringLiteral("secret"), QStringLiteral("Secret")));
    EXPECT_FALSE(sameText(QStringLiteral("a"), QStringLiteral("a ")));
}

TEST(VaultName, TrimsSpacesAndTabsButNotLineBreaks) {
    EXPECT_EQ(trimmedVaultName(QStringLiteral("  Private\t")), QStringLiteral("Private"));
    // No-break and ideographic spaces are space separators too.
    EXPECT_EQ(trimmedVaultName(QStringLiteral("\u00a0Taxes\u3000")), QStringLiteral("Taxes"));
    EXPECT_EQ(trimmedVaultName(QStringLiteral(" \t ")), QString());
    EXPECT_EQ(trimmedVaultName(QStringLiteral("Notes\n")), QStringLiteral("Notes\n"));
}

TEST(VaultName, RefusesWhatCannotBeAFileNameOrAListLine) {
    EXPECT_EQ(vaultNameProblem(QString()), std::nullopt);
    EXPECT_EQ(vaultNameProblem(QStringLiteral("My Vault – 2024 (é)")), std::nullopt);
    EXPECT_EQ(vaultNameProblem(QStringLiteral("a.b.")), std::nullopt);
    // What the disk-image tools refuse is refused before anything runs.
    EXPECT_EQ(text(vaultNameProblem(QStringLiteral("..."))), text(SheetTexts::nameStartsWithDot));
    EXPECT_EQ(text(vaultNameProblem(QStringLiteral(".Secrets"))), text(SheetTexts::nameStartsWithDot));

    EXPECT_EQ(text(vaultNameProblem(QStringLiteral("a/b"))), text(SheetTexts::nameHasSeparator));
    EXPECT_EQ(text(vaultNameProblem(QStringLiteral("a:b"))), text(SheetTexts::nameHasSeparator));
    EXPECT_EQ(text(SheetTexts::nameHasSeparator), "The name can’t contain “/” or “:”.");
    // The separator message comes first, as the name's first problem.
    EXPECT_EQ(text(vaultNameProblem(QStringLiteral("a/\nb"))), text(SheetTexts::nameHasSeparator));

    for (const QString& bad : {QStringLiteral("a\nb"), QStringLiteral("Notes\n"), QStringLiteral("a\rb"),
                               QStringLiteral("tab\tinside"), QString(QStringLiteral("nul")) + QChar(u'\0') + u'x',
                               QStringLiteral("bell\u0007"), QStringLiteral("del\u007f"), QStringLiteral("c1\u0085"),
                               QStringLiteral("line\u2028sep"), QStringLiteral("para\u2029sep")})
        EXPECT_EQ(text(vaultNameProblem(bad)), text(SheetTexts::nameHasControl)) << bad.toStdString();

    EXPECT_EQ(text(vaultNameProblem(QStringLiteral("."))), text(SheetTexts::nameIsDots));
    EXPECT_EQ(text(vaultNameProblem(QStringLiteral(".."))), text(SheetTexts::nameIsDots));
}

TEST(PasswordHint, FollowsOneRuleEverywhere) {
    const QString pw = QStringLiteral("correct horse");
    EXPECT_EQ(passwordHintValidationMessage(QStringLiteral(" \n\t "), pw), std::nullopt);
    EXPECT_EQ(passwordHintValidationMessage(QString(120, u'x'), pw), std::nullopt);
    EXPECT_EQ(text(passwordHintValidationMessage(QString(121, u'x'), QString())), text(SheetTexts::hintTooLong));
    EXPECT_EQ(text(SheetTexts::hintTooLong), "Password hint must be 120 characters or less.");
    // Length counts characters after trimming, not UTF-16 units.
    EXPECT_EQ(passwordHintValidationMessage(QStringLiteral("  ") + QString(120, u'x') + QStringLiteral("\n"), pw),
              std::nullopt);
    QString emoji;
    for (int i = 0; i < 120; ++i)
        emoji += QStringLiteral("🙂");
    EXPECT_EQ(passwordHintValidationMessage(emoji, pw), std::nullopt);
    EXPECT_EQ(text(passwordHintValidationMessage(emoji + QStringLiteral("🙂"), pw)), text(SheetTexts::hintTooLong));

    // The hint is trimmed, the password is not.
    EXPECT_EQ(text(passwordHintValidationMessage(QStringLiteral("  correct horse "), pw)),
              "Password hint cannot be the same as the password.");
    EXPECT_EQ(passwordHintValidationMessage(QStringLiteral("correct horse"), QStringLiteral(" correct horse ")),
              std::nullopt);
    EXPECT_EQ(passwordHintValidationMessage(QStringLiteral("Correct Horse"), pw), std::nullopt);
    EXPECT_EQ(passwordHintValidationMessage(QStringLiteral("anything"), QString()), std::nullopt);
    // Canonically equivalent spellings are the same text.
    EXPECT_EQ(text(passwordHintValidationMessage(QStringLiteral("cafe\u0301!"), QStringLiteral("caf\u00e9!"))),
              text(SheetTexts::hintIsPassword));
}

TEST(PasswordHint, IsStoredTrimmedAndEmptyAsNone) {
    EXPECT_EQ(normalizedPasswordHint(QStringLiteral("   ")), std::nullopt);
    EXPECT_EQ(normalizedPasswordHint(QString()), std::nullopt);
    EXPECT_EQ(normalizedPasswordHint(QStringLiteral(" Month + pet \n")), QStringLiteral("Month + pet"));
}

TEST(MinimumLimit, IsTheWholeMiBAboveTheUseAndAtLeast16) {
    EXPECT_EQ(minimumLimitMB(std::nullopt), 16);
    EXPECT_EQ(minimumLimitMB(0), 16);
    EXPECT_EQ(minimumLimitMB(-5), 16);
    EXPECT_EQ(minimumLimitMB(1), 16);
    EXPECT_EQ(minimumLimitMB(16'777'216), 16);
    EXPECT_EQ(minimumLimitMB(16'777'217), 17);
    EXPECT_EQ(minimumLimitMB(5'000LL * 1'048'576 + 1), 5001);
    EXPECT_EQ(minimumLimitMB(std::numeric_limits<qint64>::max()), std::numeric_limits<qint64>::max() / 1'048'576 + 1);
}

// ---- the size field ----

TEST(VaultSizeField, TakesTheOwnersValueInTheFittingUnit) {
    VaultSizeModel fresh(10240, 16);
    EXPECT_TRUE(fresh.unitGB());
    EXPECT_EQ(fresh.value(), 10);
    EXPECT_EQ(fresh.sizeMB(), 10240);

    VaultSizeModel odd(1500, 16);
    EXPECT_FALSE(odd.unitGB());
    EXPECT_EQ(odd.value(), 1500);
    EXPECT_EQ(odd.sizeMB(), 1500);

    VaultSizeModel two(2048, 16);
    EXPECT_TRUE(two.unitGB());
    EXPECT_EQ(two.value(), 2);
}

TEST(VaultSizeField, ClampsTypedValuesIntoTheRange) {
    VaultSizeModel field(1500, 16);
    field.setValue(5);
    EXPECT_EQ(field.value(), 16);
    EXPECT_EQ(field.sizeMB(), 16);
    field.setValue(9000);
    EXPECT_EQ(field.sizeMB(), 4096);

    VaultSizeModel gb(10240, 16);
    gb.setValue(5000);
    EXPECT_EQ(gb.value(), 4000);
    EXPECT_EQ(gb.sizeMB(), 4'096'000);
    gb.setValue(-3);
    EXPECT_EQ(gb.sizeMB(), 1024);
    gb.setValue(std::numeric_limits<qint64>::max());
    EXPECT_EQ(gb.sizeMB(), 4'096'000);
}

TEST(VaultSizeField, MinimumShapesBothUnits) {
    VaultSizeModel gb(10240, 3000);
    EXPECT_EQ(gb.range().low, 3);
    gb.setValue(1);
    EXPECT_EQ(gb.sizeMB(), 3072);
    gb.setUnitGB(false);
    EXPECT_EQ(gb.range().low, 3000);
    EXPECT_EQ(gb.range().high, 4096);
}

TEST(VaultSizeField, SwitchingUnitsConvertsAndClamps) {
    VaultSizeModel field(10240, 16);
    EXPECT_TRUE(field.setUnitGB(false));
    EXPECT_EQ(field.value(), 4096);
    EXPECT_EQ(field.sizeMB(), 4096);
    field.setUnitGB(true);
    EXPECT_EQ(field.value(), 4);
    EXPECT_EQ(field.sizeMB(), 4096);

    VaultSizeModel small(500, 16);
    small.setUnitGB(true);
    EXPECT_EQ(small.value(), 1);
    EXPECT_EQ(small.sizeMB(), 1024);

    VaultSizeModel rounding(1536, 16);
    rounding.setUnitGB(true);
    EXPECT_EQ(rounding.sizeMB(), 1024);
}

TEST(VaultSizeField, StepsBy16InMBAnd1InGBAndStopsAtTheEnds) {
    VaultSizeModel mb(32, 16);
    EXPECT_TRUE(mb.canStepDown());
    mb.stepBy(-1);
    EXPECT_EQ(mb.sizeMB(), 16);
    EXPECT_FALSE(mb.canStepDown());
    mb.stepBy(-1);
    EXPECT_EQ(mb.sizeMB(), 16);
    mb.stepBy(2);
    EXPECT_EQ(mb.sizeMB(), 48);
    mb.stepBy(1'000'000);
    EXPECT_EQ(mb.sizeMB(), 4096);
    EXPECT_FALSE(mb.canStepUp());

    VaultSizeModel gb(3 * 1024, 16);
    gb.stepBy(1);
    EXPECT_EQ(gb.sizeMB(), 4096);
    gb.stepBy(std::numeric_limits<int>::min());
    EXPECT_EQ(gb.sizeMB(), 1024);
    gb.stepBy(std::numeric_limits<int>::max());
    EXPECT_EQ(gb.sizeMB(), 4'096'000);
}

TEST(VaultSizeField, AMinimumAboveTheMBRangeKeepsTheFieldInGB) {
    // A vault using 5000 MB whose limit is not a whole number of GB: shown as it is until changed,
    // and once changed only in GB.
    VaultSizeModel field(6000, 5000);
    EXPECT_FALSE(field.unitGB());
    EXPECT_FALSE(field.canUseUnit(false));
    EXPECT_EQ(field.value(), 6000);
    EXPECT_EQ(field.sizeMB(), 6000);
    EXPECT_TRUE(field.setUnitGB(true));
    EXPECT_EQ(field.value(), 5);
    EXPECT_EQ(field.sizeMB(), 5120);
    EXPECT_GE(field.sizeMB(), field.minimumMB());
    EXPECT_FALSE(field.setUnitGB(false));
    EXPECT_TRUE(field.unitGB());

    // A minimum that rises above the MB range while the field shows a value the user chose in MB
    // moves it to GB; the owner's untouched limit stays as it is.
    VaultSizeModel rising(2000, 16);
    EXPECT_FALSE(rising.setMinimumMB(4500));
    EXPECT_EQ(rising.sizeMB(), 2000);
    rising.setMinimumMB(16);
    rising.setValue(2016);
    rising.setMinimumMB(4500);
    EXPECT_TRUE(rising.unitGB());
    EXPECT_EQ(rising.sizeMB(), 5120);
    rising.setMinimumMB(3000);
    EXPECT_EQ(rising.sizeMB(), 5120);
}

TEST(VaultSizeField, TheOwnersLimitOutsideTheRangesShowsUnclampedUntilChanged) {
    VaultSizeModel huge(16 * 1024 * 1024, 16);
    EXPECT_TRUE(huge.unitGB());
    EXPECT_EQ(huge.value(), 16 * 1024);
    EXPECT_EQ(huge.sizeMB(), 16 * 1024 * 1024);
    EXPECT_FALSE(huge.canStepUp());
    EXPECT_TRUE(huge.stepBy(-1));
    EXPECT_EQ(huge.sizeMB(), 4'096'000);

    VaultSizeModel odd(5000, 16);
    EXPECT_FALSE(odd.unitGB());
    EXPECT_EQ(odd.sizeMB(), 5000);
}

TEST(VaultSizeField, AnEmptyRangeChangesNothingAndNeverFails) {
    // More in use than the largest limit: no value is allowed in either unit.
    VaultSizeModel field(4'096'000, 5'000'000);
    EXPECT_FALSE(field.isEditable());
    EXPECT_TRUE(field.range().isEmpty());
    EXPECT_EQ(field.sizeMB(), 4'096'000);
    EXPECT_FALSE(field.setValue(3));
    EXPECT_FALSE(field.stepBy(1));
    EXPECT_FALSE(field.setUnitGB(false));
    EXPECT_FALSE(field.canStepUp());
    EXPECT_FALSE(field.canStepDown());
    EXPECT_EQ(field.sizeMB(), 4'096'000);

    VaultSizeModel odd(4'500'001, 5'000'000);
    EXPECT_FALSE(odd.isEditable());
    EXPECT_EQ(odd.sizeMB(), 4'500'001);
}

} // namespace
} // namespace larkhold
