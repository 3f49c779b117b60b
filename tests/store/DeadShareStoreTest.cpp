#include "ChildJob.h"
#include "HangingShare.h"
#include "fakes/store/StoreFixture.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSocketNotifier>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace larkhold::test {
namespace {

// Vaults whose files are on a network share that stops answering.
class DeadShareStore : public StoreFixture {
protected:
    void SetUp() override {
        if (!share.isMounted())
            GTEST_SKIP() << "FUSE cannot be mounted here";
    }

    Vault onShare(const QString& name) {
        Vault vault = newRecord(name, VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        vault.bundlePath = share.path() + QLatin1Char('/') + name + QStringLiteral(".sparsebundle");
        QDir().mkpath(share.backing() + QLatin1Char('/') + name + QStringLiteral(".sparsebundle"));
        listed.append(vault);
        return vault;
    }

    // A short deadline only where every look at the share must miss it; a look that must answer
    // gets the generous one.
    void startWithDeadline(std::chrono::milliseconds deadline) {
        QDir().mkpath(dataFolder());
        ASSERT_FALSE(VaultList(dataFolder()).save(listed).has_value());
        VaultStoreDeps deps = storeDeps();
        deps.startTimers = false;
        deps.fileLookDeadline = deadline;
        store = std::make_unique<TestStore>(deps);
    }

    HangingShare share;
};

TEST_F(DeadShareStore, UnlocksAndTheStartSayTheDiskDoesNotRespondInsteadOfWaiting) {
    Vault away = onShare(QStringLiteral("Away"));
    away.autoOpenAtLaunch = true;
    listed.last() = away;
    secrets.savePassword(QStringLiteral("pw"), away.id);
    startWithDeadline(std::chrono::milliseconds(100));
    share.hang();

    EXPECT_FALSE(unlockWith(away, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("The disk that holds “Away” is not responding. Check the drive "
                                                    "or the network share, then unlock again."));
    store->setErrorMessage(QString());
    QCoro::waitFor(store->requestUnlock(away));
    EXPECT_FALSE(store->passwordPromptVault().has_value()) << "no password asked for a file nobody can read";
    EXPECT_FALSE(store->errorMessage().isEmpty());
    EXPECT_TRUE(host.waiting.isEmpty() && host.relocated.isEmpty()) << "not told it is gone: it may answer again";

    // At start, a favourite on the share is passed over.
    QCoro::waitFor(store->autoOpenFavorites());
    EXPECT_FALSE(store->isUnlocked(away.id));
    EXPECT_FALSE(store->unlockUnderWay());
}

// A child that starts opening a Pocket Vault whose file stopped answering, and ends when its input
// closes; it says "ended" once the application object is gone and exit() runs.
TEST_F(DeadShareStore, TrashAndRenameWaitForTheShareBusyWithoutHoldingTheStore) {
    const Vault away = onShare(QStringLiteral("Away"));
    Vault pocket = newRecord(QStringLiteral("Notes"), VaultKind::pocket, QStringLiteral(".pocketvault"), 1);
    pocket.bundlePath = share.path() + QStringLiteral("/Notes.pocketvault");
    PocketStorage::create(share.backing() + QStringLiteral("/Notes.pocketvault"), 1, QStringLiteral("pw"), false);
    listed.append(pocket);
    startWithDeadline(std::chrono::milliseconds(100));
    share.hang();

    std::optional<StoreOutcome> trashed, renamed;
    auto trashing = [&]() -> QCoro::Task<> {
        auto operation = store->deleteVault(away);
        trashed = co_await operation;
    };
    auto renaming = [&]() -> QCoro::Task<> {
        auto operation = store->rename(pocket, QStringLiteral("Ideas"), QStringLiteral("pw"));
        renamed = co_await operation;
    };
    trashing();
    renaming();
    ASSERT_TRUE(share.waitStalled());
    EXPECT_TRUE(store->isBusy(away.id) && store->isBusy(pocket.id));
    EXPECT_FALSE(trashed || renamed);

    share.answer();
    ASSERT_TRUE(waitUntil([&] { return trashed && renamed; }));
    EXPECT_FALSE(store->isBusy(away.id) || store->isBusy(pocket.id));
}

TEST_F(DeadShareStore, LockAllDoesNotWaitForAPocketVaultWhoseFileDoesNotAnswer) {
    Vault pocket = newRecord(QStringLiteral("Notes"), VaultKind::pocket, QStringLiteral(".pocketvault"), 1);
    pocket.bundlePath = share.path() + QStringLiteral("/Notes.pocketvault");
    PocketStorage::create(share.backing() + QStringLiteral("/Notes.pocketvault"), 1, QStringLiteral("pw"), false);
    listed.append(pocket);
    startWithDeadline(std::chrono::milliseconds(60'000));
    share.hangOpens();
    std::optional<bool> opened;
    auto unlocking = [&]() -> QCoro::Task<> {
        auto opening = store->unlock(pocket, QStringLiteral("pw"), false, UnlockMethod::password);
        opened = co_await opening;
    };
    unlocking();
    // The look at the file answers first; its answer needs the event loop.
    ASSERT_TRUE(waitUntil([&] { return share.hasStalled(); }));
    QCoro::waitFor(store->lockAll(true, LockReason::screenLocked));
    share.answer();
    ASSERT_TRUE(waitUntil([&] { return opened.has_value(); }));
    EXPECT_FALSE(*opened);
    EXPECT_EQ(store->pocketSession(pocket.id), nullptr) << "a lock-all went by while the file was read";
}

TEST_F(DeadShareStore, ARefreshAndALockEndThoughTheFileStopsAnsweringAndKeepTheLastSize) {
    // Sizes counted in this process, as on the desktop: the count reads the share.
    DiskImageTools tools;
    tools.hdiutil = tool(QStringLiteral("hdiutil"));
    tools.mdutil = tool(QStringLiteral("mdutil"));
    disk = std::make_unique<DiskImage>(tools);
    const Vault away = onShare(QStringLiteral("Away"));
    writeFile(share.backing() + QStringLiteral("/Away.sparsebundle/band"), QByteArray(64 * 1024, 'x'));
    QDir().mkpath(fakeMountPoint(away.name));
    setToolFile(QStringLiteral("attached"),
                (away.bundlePath + QLatin1Char('|') + fakeMountPoint(away.name) + QLatin1Char('\n')).toUtf8());
    startWithDeadline(std::chrono::milliseconds(100));
    QCoro::waitFor(store->refresh());
    ASSERT_TRUE(store->isUnlocked(away.id));
    const qint64 measured = store->sizesOnDisk().value(away.id);
    ASSERT_GT(measured, 0);

    share.hang();
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->sizesOnDisk().value(away.id), measured);
    const StoreOutcome locked = QCoro::waitFor(store->lock(away, false, LockReason::manual));
    EXPECT_TRUE(locked.ok);
    EXPECT_FALSE(store->isUnlocked(away.id));
    EXPECT_EQ(store->sizesOnDisk().value(away.id), measured);
}

// A store whose Pocket Vault file is at `path`, starting to open it.
struct OpeningWorld : StoreFixture {
    void TestBody() override {}
    void startOpening(const QString& path) {
        Vault away = newRecord(QStringLiteral("Away"), VaultKind::pocket, QStringLiteral(".pocketvault"), 1);
        away.bundlePath = path;
        listed.append(away);
        startStore();
        auto opening = store->unlock(away, QStringLiteral("pw"), false, UnlockMethod::password);
        // Left running: the store goes with the process, never waiting for the open.
        (void)store.release();
    }
};

// A child that starts opening a Pocket Vault whose file stopped answering, and ends when its input
// closes; it says "ended" once the application object is gone and exit() runs.
const bool openAndLeave = registerChildJob(QStringLiteral("openAndLeave"), [](const QStringList& arguments) {
    OpeningWorld world;
    world.startOpening(arguments.value(0));
    std::atexit([] { std::cout << "ended" << std::endl; });
    // The event loop runs the unlock on until the input closes.
    QEventLoop loop;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            loop.quit();
    });
    loop.exec();
    return 0;
});

TEST(DeadShareStoreExit, AnOpenStuckOnTheShareDoesNotHoldTheProcesssEnd) {
    HangingShare share;
    if (!share.isMounted())
        GTEST_SKIP() << "FUSE cannot be mounted here";
    PocketStorage::create(share.backing() + QStringLiteral("/Away.pocketvault"), 1, QStringLiteral("pw"), false);
    share.hangOpens();
    EXPECT_TRUE(childEndsWhileTheShareHangs(share, QStringLiteral("openAndLeave"),
                                            share.path() + QStringLiteral("/Away.pocketvault")))
        << "the process waited for an open stuck on the share";
}

} // namespace
} // namespace larkhold::test
