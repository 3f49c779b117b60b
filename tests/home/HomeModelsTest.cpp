#include "HomeModels.h"

#include "VaultFileLooks.h"
#include "VaultStore.h"

#include <QDir>
#include <QTemporaryDir>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace larkhold {
namespace {

constexpr qint64 MB = 1'048'576;

Vault vaultNamed(const QString& name, VaultKind kind = VaultKind::standard, qint64 maxSizeMB = 1000) {
    Vault v;
    v.id = QUuid::createUuid();
    v.kind = kind;
    v.name = name;
    v.bundlePath =
        QStringLiteral("/home/user/") + name + (kind == VaultKind::pocket ? ".pocketvault" : ".sparsebundle");
    v.maxSizeMB = maxSizeMB;
    return v;
}

TEST(HomeDesignSpecTest, TableRowsAndUnknownTextsAreClassic) {
    const HomeDesignSpec night = homeDesignSpec(QStringLiteral("nightWatch"));
    EXPECT_EQ(night.design, AppTheme::nightWatch);
    EXPECT_EQ(night.minimum, QSize(640, 500));
    EXPECT_EQ(night.target, QSize(700, 600));
    EXPECT_EQ(night.scheme, SchemePreference::dark);

    const HomeDesignSpec pro = homeDesignSpec(AppTheme::nativePro);
    EXPECT_EQ(pro.minimum, QSize(700, 440));
    EXPECT_EQ(pro.target, QSize(760, 520));
    EXPECT_EQ(pro.scheme, SchemePreference::light);
    const HomeDesignSpec soft = homeDesignSpec(AppTheme::softFocus);
    EXPECT_EQ(soft.minimum, QSize(620, 480));
    EXPECT_EQ(soft.target, QSize(700, 560));
    EXPECT_EQ(soft.scheme, SchemePreference::light);

    for (const char* raw : {"classic", "NightWatch", "nightwatch", "", "dark"}) {
        const HomeDesignSpec spec = homeDesignSpec(QString::fromLatin1(raw));
        EXPECT_EQ(spec.design, AppTheme::classic) << raw;
        EXPECT_EQ(spec.minimum, QSize(460, 380)) << raw;
        EXPECT_EQ(spec.target, QSize(500, 460)) << raw;
        EXPECT_EQ(spec.scheme, SchemePreference::system) << raw;
    }
}

TEST(FileStateTest, PresentMissingOrWaitingForItsDisk) {
    QTemporaryDir dir;
    EXPECT_EQ(probeVaultFile(dir.path()), VaultFileState::present); // a bundle is a folder
    EXPECT_EQ(probeVaultFile(dir.filePath(QStringLiteral("gone.sparsebundle"))), VaultFileState::fileMissing);
    EXPECT_EQ(probeVaultFile(QStringLiteral("/media/nobody-here/NoSuchDisk/v.sparsebundle")),
              VaultFileState::waitingForDisk);
}

TEST(RelativeTimeTest, ShortUnits) {
    const Date now = Date::fromReferenceSeconds(1'000'000'000);
    auto ago = [&](double s) { return relativeTimeText(now.addingSeconds(-s), now); };
    EXPECT_EQ(ago(0), QStringLiteral("0 sec. ago"));
    EXPECT_EQ(ago(5), QStringLiteral("5 sec. ago"));
    EXPECT_EQ(ago(125), QStringLiteral("2 min. ago"));
    EXPECT_EQ(ago(3 * 3600 + 59), QStringLiteral("3 hr. ago"));
    EXPECT_EQ(ago(86400 + 3600), QStringLiteral("1 day ago"));
    EXPECT_EQ(ago(3 * 86400), QStringLiteral("3 days ago"));
    EXPECT_EQ(ago(15 * 86400), QStringLiteral("2 wk. ago"));
    EXPECT_EQ(ago(65 * 86400), QStringLiteral("2 mo. ago"));
    EXPECT_EQ(ago(400 * 86400), QStringLiteral("1 yr. ago"));
    EXPECT_EQ(relativeTimeText(now.addingSeconds(120), now), QStringLiteral("in 2 min."));
}

VaultCardModel card(const Vault& v, qint64 used, bool unlocked = false, bool busy = false,
                    VaultFileState state = VaultFileState::present) {
    VaultCardInput in;
    in.vault = v;
    in.usedBytes = used;
    in.unlocked = unlocked;
    in.busy = busy;
    in.fileState = state;
    in.now = Date::fromReferenceSeconds(1'000'000'000);
    return VaultCardModel::make(in);
}

TEST(VaultCardModelTest, BadgeAndBarFollowTheThresholds) {
    const Vault v = vaultNamed(QStringLiteral("Taxes"));
    const VaultCardModel at850 = card(v, 850 * MB);
    EXPECT_EQ(Capacity::barGradient(at850.fraction), GradientKind::warning);
    EXPECT_FALSE(at850.badge);
    const VaultCardModel at900 = card(v, 900 * MB);
    EXPECT_EQ(at900.badge, GradientKind::warning);
    EXPECT_EQ(at900.badgeText, QStringLiteral("NEARLY FULL"));
    EXPECT_EQ(at900.badgeTooltip, QStringLiteral("Lock the vault, then right-click it to raise the size limit"));
    const VaultCardModel at950 = card(v, 950 * MB);
    EXPECT_EQ(at950.badge, GradientKind::critical);
    EXPECT_EQ(Capacity::barGradient(at950.fraction), GradientKind::critical);

    Vault pocket = vaultNamed(QStringLiteral("Notes"), VaultKind::pocket, 1);
    EXPECT_EQ(card(pocket, MB, true).badgeTooltip,
              QStringLiteral("Pocket Vault sizes are fixed — delete or optimize items to make room"));
}

TEST(VaultCardModelTest, ZeroLimitIsMeasuredAgainstOneMegabyte) {
    Vault v = vaultNamed(QStringLiteral("Zero"), VaultKind::standard, 0);
    EXPECT_DOUBLE_EQ(card(v, MB / 2).fraction, 0.5);
}

TEST(VaultCardModelTest, LockedPocketVaultIsSealedWithItsCapacityAndLastOpening) {
    Vault v = vaultNamed(QStringLiteral("Notes"), VaultKind::pocket, 5);
    v.lastOpenedAt = Date::fromReferenceSeconds(1'000'000'000 - 7200);
    const VaultCardModel m = card(v, 123456);
    EXPECT_TRUE(m.sealed);
    EXPECT_EQ(m.tileSymbol, QStringLiteral("lock.fill"));
    EXPECT_EQ(m.tileGradient, GradientKind::locked);
    EXPECT_EQ(m.caption, QStringLiteral("Pocket Vault · 5 MB · opened 2 hr. ago"));
    EXPECT_EQ(m.controls, VaultCardModel::Controls::unlock);
    EXPECT_FALSE(m.openBorder);
}

TEST(VaultCardModelTest, UnlockedStandardVaultShowsUsageWithoutLastOpening) {
    Vault v = vaultNamed(QStringLiteral("Work"), VaultKind::standard, 2048);
    v.lastOpenedAt = Date::fromReferenceSeconds(0);
    const VaultCardModel m = card(v, 0, true);
    EXPECT_EQ(m.tileSymbol, QStringLiteral("lock.open.fill"));
    EXPECT_EQ(m.tileGradient, GradientKind::unlocked);
    EXPECT_TRUE(m.showOpenIcon);
    EXPECT_TRUE(m.openBorder);
    EXPECT_FALSE(m.sealed);
    EXPECT_EQ(m.caption, QStringLiteral("Zero KB used of 2 GB"));
    EXPECT_EQ(m.controls, VaultCardModel::Controls::openVault);

    const VaultCardModel never = card(vaultNamed(QStringLiteral("New")), 8192);
    EXPECT_EQ(never.caption, QStringLiteral("8 KB on disk · up to 1000 MB"));
}

TEST(VaultCardModelTest, BusyReplacesOnlyTheControls) {
    const Vault v = vaultNamed(QStringLiteral("Busy"));
    const VaultCardModel m = card(v, 950 * MB, false, true);
    EXPECT_EQ(m.controls, VaultCardModel::Controls::progress);
    EXPECT_TRUE(m.showUsage);
    EXPECT_TRUE(m.badge);
    EXPECT_EQ(card(v, 0, true, true).controls, VaultCardModel::Controls::progress);

    // An unlock waiting for the keyring says so in place of the caption.
    VaultCardInput asking;
    asking.vault = v;
    asking.askingKeyring = true;
    const VaultCardModel waiting = VaultCardModel::make(asking);
    EXPECT_EQ(waiting.controls, VaultCardModel::Controls::progress);
    EXPECT_EQ(waiting.caption, QStringLiteral("Asking your keyring for the saved password…"));
}

TEST(VaultCardModelTest, MissingFilesShowWhyAndNeverABadgeOrBar) {
    const Vault v = vaultNamed(QStringLiteral("Away"));
    const VaultCardModel waiting = card(v, 990 * MB, false, false, VaultFileState::waitingForDisk);
    EXPECT_FALSE(waiting.showUsage);
    EXPECT_FALSE(waiting.badge);
    EXPECT_EQ(waiting.missingText, QStringLiteral("Waiting for disk"));
    EXPECT_EQ(waiting.missingSymbol, QStringLiteral("externaldrive.badge.questionmark"));
    EXPECT_EQ(waiting.missingTooltip, QStringLiteral("Last known path: ") + v.bundlePath);
    EXPECT_EQ(waiting.controls, VaultCardModel::Controls::unlock);

    const VaultCardModel missing = card(v, 990 * MB, false, false, VaultFileState::fileMissing);
    EXPECT_EQ(missing.missingText, QStringLiteral("Vault file not found"));
    EXPECT_EQ(missing.missingSymbol, QStringLiteral("exclamationmark.triangle.fill"));
    EXPECT_EQ(missing.controls, VaultCardModel::Controls::locate);
    EXPECT_FALSE(missing.badge);
}

TEST(VaultCardModelTest, FlagsShowAsIconsWithThisDesktopsWords) {
    Vault v = vaultNamed(QStringLiteral("Flags"));
    v.excludedFromCloud = true;
    v.requireTouchID = true;
    const VaultCardModel m = card(v, 0);
    EXPECT_TRUE(m.showCloudIcon);
    EXPECT_TRUE(m.showOwnerCheckIcon);
    EXPECT_EQ(CardText::keptOutOfCloud(), QStringLiteral("Kept out of cloud sync — never uploaded"));
    EXPECT_EQ(CardText::ownerCheckRequired(), QStringLiteral("System authentication required to unlock"));
}

QStringList titles(const QList<VaultMenuEntry>& entries) {
    QStringList list;
    for (const VaultMenuEntry& e : entries)
        list << (e.item == VaultMenuItem::separator ? QStringLiteral("—") : e.title);
    return list;
}

QStringList menuFor(const Vault& v, bool open, VaultFileState state, bool busy = false) {
    return titles(vaultMenuEntries({v, open, busy, state}));
}

TEST(VaultMenuTest, EntriesForEachStateInOrder) {
    const Vault standard = vaultNamed(QStringLiteral("S"));
    const Vault pocket = vaultNamed(QStringLiteral("P"), VaultKind::pocket, 1);
    const QString reveal = QStringLiteral("Show Vault File in File Manager");
    const QString cloud = QStringLiteral("Keep out of cloud sync");
    const QString forget = QStringLiteral("Remove from List (keep file)");
    const QString trash = QStringLiteral("Move Vault to Trash…");
    const QString sep = QStringLiteral("—");

    EXPECT_EQ(menuFor(standard, false, VaultFileState::present),
              (QStringList{reveal, "Rename…", "Change Password…", "Change Size Limit…", "Reclaim Free Space…",
                           "Verify Vault…", cloud, sep, forget, trash}));
    EXPECT_EQ(menuFor(pocket, false, VaultFileState::present),
              (QStringList{reveal, "Rename…", "Change Password…", "Verify Vault…", cloud, sep, forget, trash}));
    EXPECT_EQ(menuFor(standard, true, VaultFileState::present),
              (QStringList{reveal, "Vault Settings…", sep, forget, trash}));
    EXPECT_EQ(menuFor(pocket, true, VaultFileState::present),
              (QStringList{reveal, "Vault Settings…", "Second Password…", sep, forget, trash}));
    EXPECT_EQ(menuFor(standard, false, VaultFileState::fileMissing),
              (QStringList{"Locate Vault…", reveal, sep, forget, trash}));
    EXPECT_EQ(menuFor(standard, false, VaultFileState::waitingForDisk), (QStringList{reveal, sep, forget, trash}));
    // An open vault whose file vanished keeps its settings, and offers to locate the file.
    EXPECT_EQ(menuFor(pocket, true, VaultFileState::fileMissing),
              (QStringList{"Locate Vault…", reveal, "Vault Settings…", "Second Password…", sep, forget, trash}));
}

TEST(VaultMenuTest, BusyVaultOffersOnlyReveal) {
    const Vault v = vaultNamed(QStringLiteral("B"));
    for (bool open : {false, true}) {
        for (VaultFileState state : {VaultFileState::present, VaultFileState::fileMissing}) {
            EXPECT_EQ(menuFor(v, open, state, true), QStringList{QStringLiteral("Show Vault File in File Manager")});
        }
    }
}

TEST(VaultMenuTest, CloudToggleShowsTheFlagAndTrashIsDestructive) {
    Vault v = vaultNamed(QStringLiteral("C"));
    v.excludedFromCloud = true;
    const QList<VaultMenuEntry> entries = vaultMenuEntries({v, false, false, VaultFileState::present});
    const auto toggle = std::find_if(entries.begin(), entries.end(),
                                     [](const VaultMenuEntry& e) { return e.item == VaultMenuItem::keepOutOfCloud; });
    ASSERT_NE(toggle, entries.end());
    EXPECT_TRUE(toggle->checkable);
    EXPECT_TRUE(toggle->checked);
    EXPECT_TRUE(entries.last().destructive);
    EXPECT_EQ(entries.last().item, VaultMenuItem::trash);
}

TEST(HomeSubtitleTest, CountsOpenAndSize) {
    EXPECT_EQ(homeSubtitle({0, 0, 0}), QStringLiteral("Encrypted folders, your key only"));
    EXPECT_EQ(homeSubtitle({1, 0, 0}), QStringLiteral("1 vault · all locked · Zero KB on disk"));
    EXPECT_TRUE(homeSubtitle({2, 0, 0}).startsWith(QStringLiteral("2 vaults · all locked · ")));
    EXPECT_EQ(homeSubtitle({3, 1, 12'000}), QStringLiteral("3 vaults · 1 open · 12 KB on disk"));
    EXPECT_EQ(homeSubtitle({12000, 2, 0}), QStringLiteral("12000 vaults · 2 open · Zero KB on disk"));
    EXPECT_FALSE(showsLockAll(0));
    EXPECT_TRUE(showsLockAll(1));
}

TEST(HomeSubtitleTest, TotalCountsListedVaultsWithSizesOnly) {
    const Vault a = vaultNamed(QStringLiteral("A"));
    const Vault b = vaultNamed(QStringLiteral("B"));
    QMap<QUuid, qint64> sizes{{a.id, 1000}, {QUuid::createUuid(), 5000}};
    EXPECT_EQ(totalUsedBytes({a, b}, sizes), 1000);
    EXPECT_EQ(totalUsedBytes({}, sizes), 0);
}

// Made an hour ago, as far as its modification time tells.
void ageFolder(const QString& folder) {
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(folder).constData(), times, 0), 0);
}

// A folder of vaults made an hour ago: A in it, B a link to a vault elsewhere; every look at a file is counted.
class FolderLooks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDir().mkpath(a));
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("elsewhere/B.sparsebundle"))));
        ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("elsewhere/B.sparsebundle")), b));
        ageFolder(folder);
    }

    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("vaults"));
    const QString a = folder + QStringLiteral("/A.sparsebundle");
    const QString b = folder + QStringLiteral("/B.sparsebundle");
    int looks = 0;
    VaultFileLooks files{[this](const QString& path) {
                             ++looks;
                             return probeVaultFile(path);
                         },
                         std::chrono::milliseconds(0)};
};

TEST_F(FolderLooks, AFileIsLookedAtAgainOnlyOnceItsFolderChangedOrWhenALinkReachesIt) {
    EXPECT_EQ(files(a), VaultFileState::present);
    EXPECT_EQ(files(b), VaultFileState::present);
    const int first = looks;
    EXPECT_EQ(files(a), VaultFileState::present);
    if (looks == first + 1)
        GTEST_SKIP() << "this file system is not one whose folder times are trusted";
    EXPECT_EQ(looks, first) << "an unchanged folder's file was looked at again";
    EXPECT_EQ(files(b), VaultFileState::present);
    EXPECT_EQ(looks, first + 1) << "a link is looked at every time";

    // What the link reaches goes; then the folder itself changes, just now.
    ASSERT_TRUE(QDir(dir.filePath(QStringLiteral("elsewhere/B.sparsebundle"))).removeRecursively());
    EXPECT_EQ(files(b), VaultFileState::fileMissing);
    ASSERT_TRUE(QDir(a).removeRecursively());
    EXPECT_EQ(files(a), VaultFileState::fileMissing);
    ASSERT_TRUE(QDir().mkpath(a));
    EXPECT_EQ(files(a), VaultFileState::present) << "a folder changed within the last second is not trusted";
}

TEST_F(FolderLooks, AFolderThatDidNotChangeAnswersForItsFilesWithoutLookingAtThem) {
    const QUuid idA = QUuid::createUuid(), idB = QUuid::createUuid();
    const FolderLook both = files.look({folder, {{idA, a}, {idB, b}}});
    EXPECT_EQ(both.states, (QHash<QUuid, VaultFileState>{{idA, VaultFileState::present}, {idB, VaultFileState::present}}));
    EXPECT_EQ(both.alone, QSet<QUuid>{idB}) << "a link is to be looked at on its own";

    const FolderOfVaults plain{folder, {{idA, a}}};
    const FolderLook first = files.look(plain);
    const int before = looks;
    const FolderLook again = files.look(plain);
    if (looks != before)
        GTEST_SKIP() << "this file system is not one whose folder times are trusted";
    EXPECT_EQ(again, first);
    EXPECT_TRUE(again.alone.isEmpty());

    ASSERT_TRUE(QDir(a).removeRecursively());
    EXPECT_EQ(files.look(plain).states.value(idA), VaultFileState::fileMissing) << "the folder changed";
}

// A folder is taken as it was, without a look, only while nothing it or the folders on its path could tell of came.
TEST(FolderWatchLooks, AFolderIsQuietOnlyUntilItOrAFolderOnItsPathChanges) {
    QTemporaryDir dir;
    const QString home = QDir(dir.path()).canonicalPath() + QStringLiteral("/home");
    const QString folder = home + QStringLiteral("/vaults"), a = folder + QStringLiteral("/A.sparsebundle");
    ASSERT_TRUE(QDir().mkpath(a));
    auto watch = std::make_shared<FolderWatch>();
    if (watch->files().empty())
        GTEST_SKIP() << "the kernel gives no watch";
    // Changes are trusted at once: no need to wait for a folder's time to settle.
    VaultFileLooks files(&probeVaultFile, std::chrono::milliseconds(0), std::chrono::milliseconds(0), watch);
    const QUuid id = QUuid::createUuid();
    const FolderOfVaults subject{folder, {{id, a}}};
    const auto stateNow = [&] {
        watch->readChanges();
        return files.look(subject).states.value(id);
    };
    // The first look starts the watch, the second finds nothing came since.
    const auto quietAfterTwoLooks = [&] {
        stateNow();
        stateNow();
        watch->readChanges();
        return files.unchanged(subject);
    };
    EXPECT_EQ(stateNow(), VaultFileState::present);
    if (!quietAfterTwoLooks())
        GTEST_SKIP() << "this file system is not one whose folder times are trusted";

    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/B.sparsebundle")));
    watch->readChanges();
    EXPECT_FALSE(files.unchanged(subject)) << "an entry made in the folder";
    EXPECT_TRUE(quietAfterTwoLooks());

    ASSERT_EQ(::rename(QFile::encodeName(home).constData(), QFile::encodeName(home + QStringLiteral("2")).constData()), 0);
    watch->readChanges();
    EXPECT_FALSE(files.unchanged(subject)) << "a folder on the path renamed";
    EXPECT_EQ(stateNow(), VaultFileState::fileMissing);
    // Another folder under the same name is watched in its turn, not the one renamed.
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_TRUE(quietAfterTwoLooks());
    ASSERT_TRUE(QDir().mkpath(a));
    watch->readChanges();
    EXPECT_FALSE(files.unchanged(subject));
    EXPECT_EQ(stateNow(), VaultFileState::present);

    EXPECT_TRUE(quietAfterTwoLooks());
    const QByteArray where = QFile::encodeName(folder);
    if (::geteuid() == 0 && ::mount("larkhold-test", where.constData(), "tmpfs", 0, "size=1m") == 0) {
        watch->readChanges();
        EXPECT_FALSE(files.unchanged(subject)) << "a file system mounted over the folder";
        EXPECT_EQ(stateNow(), VaultFileState::fileMissing);
        ASSERT_EQ(::umount2(where.constData(), 0), 0);
    }
    watch->keepOnly({});
    EXPECT_FALSE(watch->before(folder)) << "a folder no longer looked at is no longer watched";
}

} // namespace
} // namespace larkhold
