// Texts, thresholds and states of the Native Pro, Night Watch and Soft Focus designs, with a
// fixed clock.

#include "DesignText.h"

#include "Clock.h"
#include "NativeProDetailPaneText.h"
#include "NativeProHomeState.h"
#include "NightWatchHomeText.h"
#include "SoftFocusHomeText.h"

#include <QDateTime>
#include <QTimeZone>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace larkhold;

namespace {

Vault vaultNamed(const QString& name, VaultKind kind = VaultKind::standard, qint64 maxSizeMB = 1024) {
    Vault v;
    v.id = QUuid::createUuid();
    v.name = name;
    v.kind = kind;
    v.maxSizeMB = maxSizeMB;
    v.bundlePath = QStringLiteral("/home/u/%1.sparsebundle").arg(name);
    return v;
}

Date utcAt(int hour, int minute, int second = 0) {
    return Date::fromDateTime(QDateTime(QDate(2024, 3, 5), QTime(hour, minute, second), QTimeZone::utc()));
}

} // namespace

// ---- shared ----

TEST(DesignText, PercentageRoundsHalfAwayFromZeroAndSurvivesOddFractions) {
    EXPECT_EQ(DesignText::percentage(0.125), 13);
    EXPECT_EQ(DesignText::percentage(0.4949), 49);
    EXPECT_EQ(DesignText::percentage(0.5), 50);
    EXPECT_EQ(DesignText::percentage(1.3), 130);
    EXPECT_EQ(DesignText::percentage(0.0), 0);
    EXPECT_EQ(DesignText::percentage(std::nan("")), 0);
    EXPECT_EQ(DesignText::percentage(std::numeric_limits<double>::infinity()), 0);
    // A size far past its limit (a limit of 0 counts as 1 MB) gives a large number, not an overflow.
    EXPECT_GT(DesignText::percentage(8.0e12), 0);
}

TEST(DesignText, SearchIgnoresCaseButNotSpacesOrAccents) {
    const QList<Vault> vaults{vaultNamed("Work Files"), vaultNamed("Photos"), vaultNamed("Café notes")};
    EXPECT_EQ(DesignText::filterByName(vaults, "").size(), 3);
    const auto work = DesignText::filterByName(vaults, "work");
    ASSERT_EQ(work.size(), 1);
    EXPECT_EQ(work.first().name, "Work Files");
    // The text is not trimmed: one space finds only names that hold a space.
    const auto spaced = DesignText::filterByName(vaults, " ");
    ASSERT_EQ(spaced.size(), 2);
    EXPECT_EQ(spaced.at(0).name, "Work Files");
    EXPECT_EQ(spaced.at(1).name, "Café notes");
    EXPECT_TRUE(DesignText::filterByName(vaults, "files ").isEmpty());
    EXPECT_EQ(DesignText::filterByName(vaults, "CAFÉ").size(), 1);
    EXPECT_TRUE(DesignText::filterByName(vaults, "cafe").isEmpty());
}

// The store locks no sooner than one minute after last use, whatever is stored, so no caption
// may promise "0 min".
TEST(DesignText, AutoLockMinutesAreTheStoresMinutes) {
    EXPECT_EQ(DesignText::autoLockMinutesShown(15), 15);
    EXPECT_EQ(DesignText::autoLockMinutesShown(1), 1);
    EXPECT_EQ(DesignText::autoLockMinutesShown(0), 1);
    EXPECT_EQ(DesignText::autoLockMinutesShown(-5), 1);
    EXPECT_EQ(DesignText::autoLockMinutesShown(240), 240);
}

// ---- Soft Focus ----

TEST(SoftFocusText, GreetingChangesAtFiveTwelveAndEighteen) {
    using SoftFocusHomeText::greeting;
    EXPECT_EQ(greeting(0), "Good evening.");
    EXPECT_EQ(greeting(4), "Good evening.");
    EXPECT_EQ(greeting(5), "Good morning.");
    EXPECT_EQ(greeting(11), "Good morning.");
    EXPECT_EQ(greeting(12), "Good afternoon.");
    EXPECT_EQ(greeting(17), "Good afternoon.");
    EXPECT_EQ(greeting(18), "Good evening.");
    EXPECT_EQ(greeting(23), "Good evening.");

    FakeClock clock(utcAt(4, 59, 59));
    EXPECT_EQ(greeting(clock, QTimeZone::utc()), "Good evening.");
    clock.advance(1);
    EXPECT_EQ(greeting(clock, QTimeZone::utc()), "Good morning.");
    clock.set(utcAt(11, 59, 59));
    EXPECT_EQ(greeting(clock, QTimeZone::utc()), "Good morning.");
    clock.advance(1);
    EXPECT_EQ(greeting(clock, QTimeZone::utc()), "Good afternoon.");
    clock.set(utcAt(18, 0));
    EXPECT_EQ(greeting(clock, QTimeZone::utc()), "Good evening.");
    // The hour is the user's own: 18:00 UTC is 3:00 the next morning nine hours east.
    EXPECT_EQ(greeting(clock, QTimeZone(9 * 3600)), "Good evening.");
    clock.set(utcAt(20, 0));
    EXPECT_EQ(greeting(clock, QTimeZone(9 * 3600)), "Good morning.");
}

TEST(SoftFocusText, StatusLineByCounts) {
    using SoftFocusHomeText::statusLine;
    EXPECT_EQ(statusLine(0, 0), "Create your first vault.");
    EXPECT_EQ(statusLine(1, 0), "Your vault is locked and safe.");
    EXPECT_EQ(statusLine(2, 0), "Both vaults are locked and safe.");
    EXPECT_EQ(statusLine(3, 0), "All 3 vaults are locked and safe.");
    EXPECT_EQ(statusLine(1, 1), "1 of 1 vault open.");
    EXPECT_EQ(statusLine(3, 1), "1 of 3 vaults open.");
    EXPECT_EQ(statusLine(5, 2), "2 of 5 vaults open.");
    EXPECT_EQ(statusLine(1000, 0), "All 1000 vaults are locked and safe.");
}

TEST(SoftFocusText, CardsAlternatePurpleAndTeal) {
    EXPECT_EQ(SoftFocusHomeText::positionColor(0), SoftFocusColors::purple);
    EXPECT_EQ(SoftFocusHomeText::positionColor(1), SoftFocusColors::teal);
    EXPECT_EQ(SoftFocusHomeText::positionColor(4), SoftFocusColors::purple);
    EXPECT_EQ(SoftFocusHomeText::ringPercent(1.3), "130%");
    EXPECT_EQ(SoftFocusHomeText::ringPercent(0.125), "13%");
}

TEST(SoftFocusText, ChipsInOrderWithThresholdAtHalf) {
    using SoftFocusHomeText::Chip;
    using SoftFocusHomeText::chips;
    EXPECT_TRUE(chips(false, VaultFileState::present, false, 0.4999, false).isEmpty());
    const QList<Chip> all = chips(true, VaultFileState::present, true, 0.5, true);
    ASSERT_EQ(all.size(), 4);
    EXPECT_EQ(all[0], (Chip{"open", Chip::Tone::green}));
    EXPECT_EQ(all[1], (Chip{"local only", Chip::Tone::sub}));
    EXPECT_EQ(all[2], (Chip{"getting full", Chip::Tone::amber}));
    EXPECT_EQ(all[3], (Chip{"system authentication", Chip::Tone::sub}));
    EXPECT_EQ(chips(false, VaultFileState::waitingForDisk, false, 0, false),
              (QList<Chip>{{"waiting for disk", Chip::Tone::amber}}));
    EXPECT_EQ(chips(false, VaultFileState::fileMissing, false, 0, false),
              (QList<Chip>{{"file missing", Chip::Tone::amber}}));
}

TEST(SoftFocusText, MetaLineByFileState) {
    using SoftFocusHomeText::metaLine;
    EXPECT_EQ(metaLine(VaultFileState::waitingForDisk, "x", "2 hr. ago"),
              "Waiting for the disk that holds this vault.");
    EXPECT_EQ(metaLine(VaultFileState::fileMissing, "x", ""), "Vault file not found — locate it to keep unlocking.");
    EXPECT_EQ(metaLine(VaultFileState::present, "Pocket Vault · 25 MB", ""), "Pocket Vault · 25 MB");
    EXPECT_EQ(metaLine(VaultFileState::present, "Pocket Vault · 25 MB", "2 hr. ago"),
              "Pocket Vault · 25 MB · opened 2 hr. ago");
}

TEST(SoftFocusText, FooterChips) {
    using namespace SoftFocusHomeText;
    EXPECT_EQ(openChip(0), QString::fromUtf8("\U0001F512 all locked"));
    EXPECT_EQ(openChip(2), QString::fromUtf8("\U0001F513 2 open"));
    EXPECT_EQ(totalChip("Zero KB"), "Zero KB on disk");
    EXPECT_EQ(cloudSyncOffChip(), "cloud sync off");

    Vault a = vaultNamed("A");
    Vault b = vaultNamed("B");
    EXPECT_FALSE(showsCloudSyncOff({}));
    a.excludedFromCloud = true;
    EXPECT_FALSE(showsCloudSyncOff({a, b}));
    b.excludedFromCloud = true;
    EXPECT_TRUE(showsCloudSyncOff({a, b}));
    EXPECT_FALSE(lockAllEnabled(0));
    EXPECT_TRUE(lockAllEnabled(1));
}

// ---- Night Watch ----

TEST(NightWatchText, HeaderCountsAndColours) {
    using namespace NightWatchHomeText;
    EXPECT_EQ(headline(0), "All quiet.");
    EXPECT_EQ(headline(1), "1 open.");
    EXPECT_EQ(summaryLine(0, 0, "Zero KB"), "● 0/0 vaults locked · Zero KB on disk");
    EXPECT_EQ(summaryLine(3, 1, "12 MB"), "● 2/3 vaults locked · 12 MB on disk");
    EXPECT_EQ(summaryColor(0), NightWatchColors::green);
    EXPECT_EQ(summaryColor(1), NightWatchColors::amber);
    EXPECT_FALSE(lockAllEnabled(0));
    EXPECT_TRUE(lockAllEnabled(1));
    EXPECT_EQ(searchShortcutHint(), "Ctrl+K");
}

TEST(NightWatchText, RingColourAndPercentChipThresholds) {
    using namespace NightWatchHomeText;
    EXPECT_EQ(ringColor(0.4949), NightWatchColors::green);
    EXPECT_EQ(ringColor(0.5), NightWatchColors::amber);
    EXPECT_EQ(ringColor(0.8999), NightWatchColors::amber);
    EXPECT_EQ(ringColor(0.9), NightWatchColors::red);
    EXPECT_EQ(ringPercent(0.4949), "49%");

    EXPECT_TRUE(chips(false, VaultFileState::present, false, 0.4949, false).isEmpty());
    EXPECT_EQ(chips(false, VaultFileState::present, false, 0.5, false),
              (QList<Chip>{{"50% FULL", NightWatchColors::amber}}));
    EXPECT_EQ(chips(false, VaultFileState::present, false, 1.3, false),
              (QList<Chip>{{"130% FULL", NightWatchColors::amber}}));
    const QList<Chip> all = chips(true, VaultFileState::fileMissing, true, 0.75, true);
    ASSERT_EQ(all.size(), 5);
    EXPECT_EQ(all[0].text, "OPEN");
    EXPECT_EQ(all[1], (Chip{"FILE MISSING", NightWatchColors::amber}));
    EXPECT_EQ(all[2], (Chip{"LOCAL ONLY", NightWatchColors::dim}));
    EXPECT_EQ(all[3].text, "75% FULL");
    EXPECT_EQ(all[4], (Chip{"SYSTEM AUTHENTICATION", NightWatchColors::dim}));
    EXPECT_EQ(chips(false, VaultFileState::waitingForDisk, false, 0, false).first().text, "WAITING FOR DISK");
}

TEST(NightWatchText, MetaLine) {
    using NightWatchHomeText::metaLine;
    EXPECT_EQ(metaLine(VaultFileState::waitingForDisk, "x", "1 day ago", true, 15), "waiting for disk");
    EXPECT_EQ(metaLine(VaultFileState::fileMissing, "x", "", true, 15), "vault file not found");
    EXPECT_EQ(metaLine(VaultFileState::present, "1 MB on disk · up to 1 GB", "", false, 15),
              "1 MB on disk · up to 1 GB");
    EXPECT_EQ(metaLine(VaultFileState::present, "4 MB used of 1 GB", "5 min. ago", true, 15),
              "4 MB used of 1 GB · last open 5 min. ago · auto-lock 15 min");
    // A stored 0 or less still waits a minute in the store; the line says so.
    EXPECT_EQ(metaLine(VaultFileState::present, "c", "", true, 0), "c · auto-lock 1 min");
    EXPECT_EQ(metaLine(VaultFileState::present, "c", "", true, -3), "c · auto-lock 1 min");
}

TEST(NightWatchText, ActivityShowsTheNewestFourInLocalTime) {
    QList<ActivityEvent> events;
    for (int i = 0; i < 6; ++i)
        events.append({QUuid::createUuid(), utcAt(16, 5 - i), QStringLiteral("event %1").arg(i)});
    const QLocale british(QLocale::English, QLocale::UnitedKingdom);
    const QStringList lines = NightWatchHomeText::activityLines(events, british, QTimeZone::utc());
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "16:05 · event 0");
    EXPECT_EQ(lines[3], "16:02 · event 3");
    EXPECT_EQ(NightWatchHomeText::activityLines(events.mid(0, 2), british, QTimeZone(3600)).at(1), "17:04 · event 1");
    EXPECT_TRUE(NightWatchHomeText::activityLines({}, british, QTimeZone::utc()).isEmpty());
    // Hours and minutes, also where the locale's short form carries seconds.
    EXPECT_EQ(NightWatchHomeText::activityLines(events.mid(0, 1), QLocale::c(), QTimeZone::utc()).first(),
              "16:05 · event 0");
}

// ---- Native Pro ----

TEST(NativeProSelection, FollowsTheListButNotTheSearch) {
    Vault a = vaultNamed("Alpha");
    Vault b = vaultNamed("Beta");
    Vault c = vaultNamed("Gamma");
    NativeProSelection selection;

    selection.reset({});
    EXPECT_FALSE(selection.selectedID());
    EXPECT_FALSE(selection.selectedVault({}, {}));
    // Creating the first vault selects it.
    selection.vaultsChanged({a});
    EXPECT_EQ(selection.selectedID(), a.id);

    selection.vaultsChanged({a, b, c});
    selection.select(b.id);
    // Renaming keeps the selection (same id).
    b.name = "Beta renamed";
    selection.vaultsChanged({a, b, c});
    EXPECT_EQ(selection.selectedID(), b.id);
    EXPECT_EQ(selection.selectedVault({a, b, c}, {a, b, c})->name, "Beta renamed");
    // Removing another vault keeps it; removing the selected one moves to the first.
    selection.vaultsChanged({b, c});
    EXPECT_EQ(selection.selectedID(), b.id);
    selection.vaultsChanged({c});
    EXPECT_EQ(selection.selectedID(), c.id);
    selection.vaultsChanged({});
    EXPECT_FALSE(selection.selectedID());

    // Coming on screen again starts at the first vault.
    selection.select(c.id);
    selection.reset({a, b, c});
    EXPECT_EQ(selection.selectedID(), a.id);

    // A search that hides the selected vault leaves it in the pane.
    selection.select(c.id);
    EXPECT_EQ(selection.selectedVault({a, b, c}, {})->id, c.id);
}

TEST(NativeProSelection, WithoutValidSelectionThePaneFollowsTheFilteredList) {
    Vault a = vaultNamed("Alpha");
    Vault b = vaultNamed("Beta");
    NativeProSelection selection;
    EXPECT_EQ(selection.selectedVault({a, b}, {b})->id, b.id);
    selection.select(QUuid::createUuid()); // a vault that has gone
    EXPECT_EQ(selection.selectedVault({a, b}, {b})->id, b.id);
    EXPECT_FALSE(selection.selectedVault({a, b}, {}));
}

TEST(NativeProText, SidebarAndSummary) {
    using namespace NativeProHomeText;
    Vault pocket = vaultNamed("Pocket", VaultKind::pocket, 1024);
    EXPECT_EQ(rowSizeCaption(pocket, false, "Zero KB"), "1 GB");
    EXPECT_EQ(rowSizeCaption(pocket, true, "12 KB"), "12 KB");
    EXPECT_EQ(rowSizeCaption(vaultNamed("S"), false, "3 MB"), "3 MB");

    EXPECT_EQ(summaryCaption(0, 0), "No vaults yet");
    EXPECT_EQ(summaryCaption(1, 0), "1 vault · all locked");
    EXPECT_EQ(summaryCaption(2, 2), "2 vaults · 2 open");
    EXPECT_EQ(summaryCaption(3, 1), "3 vaults · 1 open");

    EXPECT_EQ(segmentWidths({0, 0, 0}, 200), (QList<qreal>{2, 2, 2}));
    EXPECT_EQ(segmentWidths({0, 500, 0}, 200), (QList<qreal>{2, 200, 2}));
    EXPECT_EQ(segmentWidths({100, 300}, 200), (QList<qreal>{50, 150}));
    EXPECT_TRUE(segmentWidths({}, 200).isEmpty());
    EXPECT_EQ(segmentOpacity(0), 1.0);
    EXPECT_EQ(segmentOpacity(1), 0.55);
}

TEST(NativeProDetailText, ChipsAndRing) {
    using namespace NativeProDetailPaneText;
    using T = Chip::Tone;
    EXPECT_EQ(headerChips(true, VaultFileState::fileMissing, false, false), (QList<Chip>{{"Open", T::green}}));
    EXPECT_EQ(headerChips(false, VaultFileState::waitingForDisk, false, false),
              (QList<Chip>{{"Waiting for disk", T::orange}}));
    EXPECT_EQ(headerChips(false, VaultFileState::fileMissing, false, false),
              (QList<Chip>{{"File missing", T::orange}}));
    EXPECT_EQ(
        headerChips(false, VaultFileState::present, true, true),
        (QList<Chip>{{"Locked", T::secondary}, {"Local only", T::secondary}, {"System authentication", T::secondary}}));

    Vault pocket = vaultNamed("P", VaultKind::pocket, 1024);
    EXPECT_EQ(ringFigure(pocket, false, "Zero KB"), "1 GB");
    EXPECT_EQ(ringCaption(pocket, false), "Pocket Vault");
    EXPECT_EQ(ringFigure(pocket, true, "40 KB"), "40 KB");
    EXPECT_EQ(ringCaption(pocket, true), "of 1 GB");
    Vault standard = vaultNamed("S", VaultKind::standard, 1000);
    EXPECT_EQ(ringFigure(standard, false, "3 MB"), "3 MB");
    EXPECT_EQ(ringCaption(standard, false), "of 1000 MB");
    EXPECT_EQ(ringSymbol(true), "lock.open.fill");
    EXPECT_EQ(ringSymbol(false), "lock.fill");
}

TEST(NativeProDetailText, StateLinesButtonsAndFooter) {
    using namespace NativeProDetailPaneText;
    EXPECT_EQ(stateLine("Work", true), "Work is open");
    EXPECT_EQ(stateLine("Work", false), "Work is locked");
    EXPECT_FALSE(lastOpenedLine(""));
    EXPECT_EQ(*lastOpenedLine("3 days ago"), "Last opened 3 days ago");

    EXPECT_EQ(openTitle(VaultKind::standard), "Open in File Manager");
    EXPECT_EQ(openTitle(VaultKind::pocket), "Open");
    EXPECT_EQ(unlockTitle(true), "Unlock with system authentication");
    EXPECT_EQ(unlockTitle(false), "Unlock…");
    EXPECT_TRUE(showsUsePassword(VaultFileState::present));
    EXPECT_FALSE(showsUsePassword(VaultFileState::waitingForDisk));
    EXPECT_FALSE(showsUsePassword(VaultFileState::fileMissing));

    EXPECT_EQ(autoLockCaption(true, 15), "Auto-locks 15 min after last use");
    EXPECT_EQ(autoLockCaption(false, 15), "Auto-lock is off");
    EXPECT_EQ(autoLockCaption(false, 0), "Auto-lock is off");
    // The store keeps a vault open for at least a minute: never "0 min".
    EXPECT_EQ(autoLockCaption(true, 0), "Auto-locks 1 min after last use");
    EXPECT_FALSE(lockAllEnabled(0));
    EXPECT_TRUE(lockAllEnabled(1));
}
