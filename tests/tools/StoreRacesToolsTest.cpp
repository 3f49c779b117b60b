// Overlapping operations of the store on volumes the disk-image tools really mount: what a user with two
// windows can do at once never leaves a volume mounted that nothing lists, nor writes into a folder an unmount
// left behind.
#include "BlockingAwait.h"
#include "ToolHarness.h"
#include "VaultFileCopy.h"
#include "fakes/store/StoreFixture.h"

using namespace larkhold;
using namespace larkhold::test;
using namespace tooltest;

namespace {

class RealToolsRaces : public StoreFixture {
protected:
    void SetUp() override {
        if (QString reason = mountUnavailableReason(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        scratch = std::make_unique<Scratch>();
        disk = std::make_unique<DiskImage>(DiskImageTools::inFolder(toolsDir()));
        vault = newRecord(QStringLiteral("Race"), VaultKind::standard, QStringLiteral(".sparsebundle"), 64);
        vault.openInFinderAfterUnlock = false;
        createImage(vault.bundlePath, QStringLiteral("Race"));
        listed.append(vault);
        startStore();
    }
    void TearDown() override {
        if (store)
            awaitTask(store->lockAll(true, LockReason::quit));
    }
    // Starts an unlock and returns with it under way (it has marked the vault busy and waits for the tool).
    void startUnlock(bool& done) {
        unlocking = run(store->unlock(vault, QString::fromLatin1(kPassword), true, UnlockMethod::password), done);
    }
    static QCoro::Task<> run(QCoro::Task<bool> task, bool& done) {
        co_await task;
        done = true;
    }
    QStringList mounted() const {
        QStringList found;
        const QString plist = hdiutil({QStringLiteral("info"), QStringLiteral("-plist")}).out;
        QRegularExpression re(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
        for (auto it = re.globalMatch(plist); it.hasNext();) {
            const QString mountPoint = it.next().captured(1);
            if (mountPoint.startsWith(scratch->mountRoot()))
                found.append(mountPoint);
        }
        return found;
    }

    std::unique_ptr<Scratch> scratch;
    Vault vault;
    std::optional<QCoro::Task<>> unlocking;
};

TEST_F(RealToolsRaces, RemovingOrDeletingAVaultWhileItsUnlockRunsIsRefused) {
    bool unlocked = false;
    startUnlock(unlocked);
    ASSERT_TRUE(store->isBusy(vault.id));
    EXPECT_FALSE(awaitTask(store->forget(vault)).ok);
    EXPECT_EQ(awaitTask(store->deleteVault(vault)).message,
              QStringLiteral("Wait until “Race” is no longer busy, then move it to the Trash."));
    ASSERT_TRUE(waitUntil([&] { return unlocked; }));
    EXPECT_TRUE(store->isUnlocked(vault));
    EXPECT_TRUE(store->vault(vault.id));
    EXPECT_TRUE(QFileInfo::exists(vault.bundlePath));
    EXPECT_EQ(mounted(), QStringList{store->mountPoints().value(vault.id)});
}

TEST_F(RealToolsRaces, AnUnlockEndingAfterItsVaultLeftTheListLeavesNothingMounted) {
    bool unlocked = false;
    startUnlock(unlocked);
    ASSERT_TRUE(store->removeVault(vault.id));
    ASSERT_TRUE(waitUntil([&] { return unlocked; }));
    EXPECT_FALSE(store->isUnlocked(vault));
    EXPECT_TRUE(mounted().isEmpty()) << mounted().join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(secrets.saved(vault.id).has_value());

    // The prompt of the unlock window, answered after the vault left the list.
    EXPECT_FALSE(awaitTask(store->unlock(vault, QString::fromLatin1(kPassword), false, UnlockMethod::password)));
    EXPECT_TRUE(mounted().isEmpty());
}

TEST_F(RealToolsRaces, CopyInWritesIntoTheMountedVolumeOnlyNeverIntoTheFolderLeftBehind) {
    ASSERT_TRUE(awaitTask(store->unlock(vault, QString::fromLatin1(kPassword), false, UnlockMethod::password)));
    const QString mountPoint = store->mountPoints().value(vault.id);
    const QString source = dir.filePath(QStringLiteral("plain.txt"));
    tooltest::writeFile(source, "plain text");
    const auto keep = [](const QString&, QString*) { return true; };
    const FolderCopyResult in = copyIntoFolder(mountPoint, {source}, false, keep, nullptr, TargetFolder::mountedVolume);
    EXPECT_EQ(in.copied, 1);
    EXPECT_FALSE(in.stopped);

    awaitTask(store->lock(vault, false, LockReason::manual));
    ASSERT_TRUE(mounted().isEmpty());
    if (!QFileInfo(mountPoint).isDir())
        QDir().mkpath(mountPoint); // what a volume that went away may leave on the host disk
    const FolderCopyResult after =
        copyIntoFolder(mountPoint, {source}, false, keep, nullptr, TargetFolder::mountedVolume);
    EXPECT_TRUE(after.stopped);
    EXPECT_TRUE(QDir(mountPoint).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

} // namespace
