#include "ChildJob.h"
#include "HangingShare.h"
#include "PocketDocument.h"
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

    // Under the short deadline, a step whose looks must answer (a local file, the share before it
    // hangs) may miss it on a loaded machine; it is tried again until it answers.
    template <typename Step> bool answeredInTime(Step step) {
        return waitUntil([&] {
            store->clearErrorMessage();
            return step();
        });
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

QCoro::Task<> keep(QCoro::Task<StoreOutcome> operation, std::optional<StoreOutcome>& outcome) {
    outcome = co_await operation;
}

TEST_F(DeadShareStore, AddLocateCloudSettingAndCreateOnTheShareSayTheDiskDoesNotRespondWhileTheStoreGoesOn) {
    const Vault home = standardVault(QStringLiteral("Home"));
    const Vault moved = standardVault(QStringLiteral("Moved"));
    const Vault away = onShare(QStringLiteral("Away"));
    QDir().mkpath(share.backing() + QStringLiteral("/Found.sparsebundle"));
    startWithDeadline(std::chrono::milliseconds(100));
    ASSERT_TRUE(answeredInTime([&] { return unlockWith(home, QStringLiteral("pw")); }));
    share.hang();

    const QString found = share.path() + QStringLiteral("/Found.sparsebundle");
    std::optional<StoreOutcome> added, located, excluded, created, createdPocket;
    keep(store->addExistingVault(found), added);
    keep(store->relocate(moved, found), located);
    keep(store->setCloudExclusion(away, true), excluded);
    keep(store->createStandardVault(QStringLiteral("New"), share.path(), 1024, QStringLiteral("pw"), false, false,
                                    std::nullopt),
         created);
    keep(store->createPocketVault(QStringLiteral("Small"), share.path(), 1, QStringLiteral("pw"), false, false,
                                  std::nullopt),
         createdPocket);
    ASSERT_TRUE(share.waitStalled());
    QCoro::waitFor(store->lockAll(false, LockReason::manual));
    EXPECT_FALSE(store->isUnlocked(home.id));
    ASSERT_TRUE(waitUntil([&] { return added && located && excluded && created && createdPocket; }));

    const auto notResponding = [](const char* name, const char* then) {
        return QStringLiteral("The disk that holds “%1” is not responding. Check the drive or the network share, "
                              "then %2.")
            .arg(QString::fromUtf8(name), QString::fromUtf8(then));
    };
    EXPECT_EQ(added->message, notResponding("Found", "add it again"));
    EXPECT_EQ(located->message, notResponding("Moved", "locate it again"));
    EXPECT_EQ(excluded->message, notResponding("Away", "change its cloud sync setting again"));
    EXPECT_EQ(created->message, notResponding("share", "create the vault again"));
    EXPECT_EQ(createdPocket->message, created->message);
    EXPECT_EQ(store->vaults().size(), 3);
    EXPECT_EQ(store->vault(moved.id)->bundlePath, moved.bundlePath);
    EXPECT_EQ(store->vault(away.id)->bundlePath, away.bundlePath);
    EXPECT_FALSE(store->isBusy(moved.id) || store->isBusy(away.id));

    // A file elsewhere is added though a listed vault's share still hangs: that path is compared as written.
    QDir().mkpath(dir.filePath(QStringLiteral("vaults/Local.sparsebundle")));
    StoreOutcome local;
    EXPECT_TRUE(answeredInTime([&] {
        local = QCoro::waitFor(store->addExistingVault(dir.filePath(QStringLiteral("vaults/Local.sparsebundle"))));
        return local.ok;
    })) << local.message.toStdString();
    EXPECT_EQ(store->vaults().size(), 4);
    share.answer();
}

// Reads the whole file as a note, as the import does, and counts the files it finished.
class ReadingHost final : public PocketDocumentHost {
public:
    std::shared_ptr<std::atomic_int> finished = std::make_shared<std::atomic_int>(0);
    FileImport fileImport() const override {
        return [finished = finished](const QString& path, bool) {
            QFile file(path);
            const bool read = file.open(QIODevice::ReadOnly);
            const QString text = QString::fromUtf8(file.readAll());
            ++*finished;
            if (!read)
                throw std::runtime_error("unreadable");
            return PocketItem::note(QFileInfo(path).completeBaseName(), text, Date::fromReferenceSeconds(1000));
        };
    }
    std::optional<QString> chooseExportPath(const QString&, const QString&, const QString&) override { return {}; }
    QStringList chooseFilesToAdd(const QString&, const QString&) override { return {}; }
};

TEST_F(DeadShareStore, APocketAddReadsTheShareOffTheGuiThreadAndALockTakesNothingOfIt) {
    writeFile(share.backing() + QStringLiteral("/Plans.txt"), "secret plans");
    const QString local = dir.filePath(QStringLiteral("Local.txt"));
    writeFile(local, "local text");
    ReadingHost host;
    PocketDocument document({}, 1 << 20, &host);
    share.hangOpens();
    const QFuture<PocketDocument::Added> adding =
        document.add({share.path() + QStringLiteral("/Plans.txt"), local}, false);
    ASSERT_TRUE(share.waitStalled());
    // The read is stuck in the share, and the document still answers.
    document.addNote();
    EXPECT_EQ(document.items().size(), 1u);
    EXPECT_EQ(document.importsUnderWay(), 1);

    // A lock wipes the document: the add ends at once, taking nothing, and what is read later is dropped.
    document.wipe();
    ASSERT_TRUE(adding.isFinished());
    EXPECT_EQ(adding.result().items, (QList<std::optional<QUuid>>{std::nullopt, std::nullopt}));
    share.answer();
    ASSERT_TRUE(waitUntil([&] { return *host.finished == 1; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(document.items().empty());
    EXPECT_EQ(*host.finished, 1) << "the file after the stuck one is not read once the vault locked";

    // A document that goes while its add is stuck gets nothing.
    share.hangOpens();
    auto gone = std::make_unique<PocketDocument>(PocketItems{}, 1 << 20, &host);
    gone->add({share.path() + QStringLiteral("/Plans.txt")}, false);
    ASSERT_TRUE(share.waitStalled());
    gone.reset();
    share.answer();
    ASSERT_TRUE(waitUntil([&] { return *host.finished == 2; }));
    QCoreApplication::processEvents();
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
    ASSERT_TRUE(answeredInTime([&] {
        QCoro::waitFor(store->refresh());
        return store->sizesOnDisk().value(away.id) > 0;
    }));
    ASSERT_TRUE(store->isUnlocked(away.id));
    const qint64 measured = store->sizesOnDisk().value(away.id);

    share.hang();
    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->sizesOnDisk().value(away.id), measured);
    const StoreOutcome locked = QCoro::waitFor(store->lock(away, false, LockReason::manual));
    EXPECT_TRUE(locked.ok);
    EXPECT_FALSE(store->isUnlocked(away.id));
    EXPECT_EQ(store->sizesOnDisk().value(away.id), measured);
}

// The desktop's keyring stops answering (a prompt nobody answers, a stalled daemon).
class HangingKeyringStore : public StoreFixture {
protected:
    // Runs `operation` to its end in the background; `done` is set then.
    template <typename Operation> static QCoro::Task<> track(Operation operation, bool& done) {
        co_await operation;
        done = true;
    }
};

TEST_F(HangingKeyringStore, UnlocksAndLocksGoOnAndAUnlockByTheSavedPasswordAsksForItInstead) {
    const Vault typed = standardVault(QStringLiteral("Typed"));
    const Vault saved = standardVault(QStringLiteral("Saved"));
    const Vault pocket = pocketVault(QStringLiteral("Notes"), QStringLiteral("pw"));
    secrets.savePassword(QStringLiteral("pw"), saved.id);
    secrets.savePassword(QStringLiteral("stale"), pocket.id);
    startStore();
    // Only the lookup below that must miss it gets a short deadline.
    secrets.setDeadline(std::chrono::minutes(1));
    secrets.hang();

    // Remembering a typed password is handed over; the vault is open at once. A wrong one is refused
    // without waiting to forget a saved copy.
    EXPECT_TRUE(unlockWith(typed, QStringLiteral("pw"), true));
    EXPECT_FALSE(unlockWith(pocket, QStringLiteral("wrong")));
    EXPECT_TRUE(unlockWith(pocket, QStringLiteral("pw"), true));
    ASSERT_TRUE(waitUntil([&] { return secrets.waitingCalls() == 1; }));
    EXPECT_EQ(secrets.callsUnderWay(), 3);

    // A screen lock meanwhile waits for none of it.
    bool requested = false;
    track(store->requestUnlock(saved), requested);
    ASSERT_TRUE(waitUntil([&] { return secrets.callsUnderWay() == 4; })) << "the saved password is asked for";
    EXPECT_TRUE(store->isAskingKeyring(saved.id)) << "the card says the keyring is being asked";
    QCoro::waitFor(store->lockAll(true, LockReason::screenLocked));
    EXPECT_EQ(store->openCount(), 0);
    EXPECT_FALSE(requested) << "still waiting for the keyring";
    EXPECT_FALSE(store->passwordPromptVault().has_value());

    // Past the deadline the saved password counts as none: the password is asked for.
    secrets.setDeadline(std::chrono::milliseconds(100));
    bool requestedAgain = false;
    track(store->requestUnlock(saved), requestedAgain);
    ASSERT_TRUE(waitUntil([&] { return requestedAgain; }));
    EXPECT_EQ(store->passwordPromptVault()->id, saved.id);
    EXPECT_EQ(store->savedPasswordNotUsed(saved.id),
              QStringLiteral("Your keyring did not answer in time, so the saved password was not used."));
    EXPECT_FALSE(store->isAskingKeyring(saved.id));
    EXPECT_FALSE(store->isUnlocked(saved.id));

    // Once the keyring answers, everything handed over is done, in order.
    store->setPasswordPromptVault(std::nullopt);
    secrets.answer();
    ASSERT_TRUE(waitUntil([&] { return requested && secrets.saved(typed.id) == QStringLiteral("pw"); }));
    ASSERT_TRUE(waitUntil([&] { return secrets.saved(pocket.id) == QStringLiteral("pw"); }));
    EXPECT_FALSE(store->isUnlocked(saved.id)) << "the answer came after the screen lock";
    EXPECT_FALSE(store->passwordPromptVault().has_value());
}

TEST_F(DeadShareStore, ARefreshEndsThoughAnOpenVolumeStopsAnsweringAndKeepsItsLastSize) {
    // The volume's folder is below the share, as a volume whose disk service stalled.
    const Vault home = standardVault(QStringLiteral("Home"));
    const QString volume = share.path() + QStringLiteral("/volume");
    QDir().mkpath(share.backing() + QStringLiteral("/volume"));
    setToolFile(QStringLiteral("attached"), (home.bundlePath + QLatin1Char('|') + volume + QLatin1Char('\n')).toUtf8());
    setToolFile(QStringLiteral("du.kb"), "16385");
    startWithDeadline(std::chrono::milliseconds(100));
    ASSERT_TRUE(answeredInTime([&] {
        QCoro::waitFor(store->refresh());
        return store->sizesOnDisk().value(home.id) == 16385 * 1024;
    }));
    ASSERT_TRUE(store->isUnlocked(home.id));

    share.hang();
    setToolFile(QStringLiteral("du.kb"), "99");
    bool refreshed = false;
    auto refreshing = [&]() -> QCoro::Task<> {
        co_await store->refresh();
        refreshed = true;
    };
    refreshing();
    ASSERT_TRUE(waitUntil([&] { return refreshed; })) << "the refresh waited for the volume";
    EXPECT_TRUE(share.hasStalled());
    EXPECT_EQ(store->sizesOnDisk().value(home.id), 16385 * 1024);
    share.answer();
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
