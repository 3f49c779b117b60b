#include "BlockingAwait.h"
#include "PocketSession.h"
#include "fakes/store/StoreFixture.h"

#include <QCoroTask>

namespace larkhold::test {
namespace {

using VaultStoreStart = StoreFixture;

TEST_F(VaultStoreStart, UnreadableListStartsEmptyWithMessageAndTimersRun) {
    QDir().mkpath(dataFolder());
    QFile list(QDir(dataFolder()).filePath(QStringLiteral("vaults.json")));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("[{\"broken\":");
    list.close();

    VaultStore running(storeDeps()); // timers as in the application

    EXPECT_TRUE(running.vaults().isEmpty());
    EXPECT_FALSE(running.errorMessage().isEmpty());
    EXPECT_TRUE(running.autoLockTimer().isActive());
    EXPECT_EQ(running.autoLockTimer().interval(), 60'000);
    EXPECT_EQ(running.sizeInterval(), std::chrono::seconds(4));
}

TEST_F(VaultStoreStart, AdoptsThePredecessorsFolder) {
    Vault vault = standardVault(QStringLiteral("Old"));
    const QString predecessor = QFileInfo(dataFolder()).dir().filePath(QStringLiteral("TarnFolder"));
    QDir().mkpath(predecessor);
    ASSERT_FALSE(VaultList(predecessor).save({vault}).has_value());
    listed.clear();

    TestStore& s = startStore();
    ASSERT_EQ(s.vaults().size(), 1);
    EXPECT_EQ(s.vaults().first().id, vault.id);
    EXPECT_TRUE(s.errorMessage().isEmpty());
}

TEST_F(VaultStoreStart, ActivityKeepsFiftyNewestAndSurvivesARestart) {
    TestStore& s = startStore();
    for (int i = 0; i < 55; ++i)
        s.recordActivity(QStringLiteral("event %1").arg(i));
    ASSERT_EQ(s.activity().size(), 50);
    EXPECT_EQ(s.activity().first().text, QStringLiteral("event 54"));
    EXPECT_EQ(s.activity().last().text, QStringLiteral("event 5"));
    EXPECT_EQ(s.activity().first().date, clock.now());

    store.reset();
    TestStore& again = startStore();
    EXPECT_EQ(again.activity().size(), 50);
    EXPECT_EQ(again.activity().first().text, QStringLiteral("event 54"));
}

class AutoLock : public StoreFixture {
protected:
    void SetUp() override {
        a = standardVault(QStringLiteral("A"));
        startStore();
        ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    }
    void tick() { QCoro::waitFor(store->autoLockTick()); }
    Vault a;
};

TEST_F(AutoLock, LocksOnlyStrictlyAfterTheIdleLimit) {
    defaults.setValue(SettingsKeys::autoLockMinutes, 15);
    clock.advance(15 * 60 - 1);
    tick();
    EXPECT_TRUE(store->isUnlocked(a));
    clock.advance(1); // exactly 15 minutes: not yet earlier than the cutoff
    tick();
    EXPECT_TRUE(store->isUnlocked(a));
    clock.advance(1);
    tick();
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_FALSE(store->unlockedAt().contains(a.id));
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A locked (auto)"));
}

TEST_F(AutoLock, DisabledNeverLocksAndMinutesBelowOneMeanOne) {
    defaults.setValue(SettingsKeys::autoLockEnabled, false);
    clock.advance(24 * 3600);
    tick();
    EXPECT_TRUE(store->isUnlocked(a));

    defaults.setValue(SettingsKeys::autoLockEnabled, true);
    defaults.setValue(SettingsKeys::autoLockMinutes, 0);
    store->openVault(a); // counts as use
    clock.advance(61);
    tick();
    EXPECT_FALSE(store->isUnlocked(a));
}

TEST_F(AutoLock, SkipsBusyVaultsAndUseRestartsTheIdleTime) {
    defaults.setValue(SettingsKeys::autoLockMinutes, 1);
    clock.advance(50);
    store->markUsed(a.id);
    clock.advance(50);
    tick();
    EXPECT_TRUE(store->isUnlocked(a)) << "used 50 s ago";

    clock.advance(3600);
    {
        TestStore::BusyMark busy(*store, a.id);
        tick();
        EXPECT_TRUE(store->isUnlocked(a));
    }
    EXPECT_FALSE(store->isBusy(a.id));
    tick();
    EXPECT_FALSE(store->isUnlocked(a));
}

TEST_F(AutoLock, RefusedDetachIsQuietAndRetriedAtTheNextTick) {
    defaults.setValue(SettingsKeys::autoLockMinutes, 1);
    setToolFile(QStringLiteral("detach.err"), "hdiutil: couldn't unmount - Resource busy\n");
    clock.advance(120);
    tick();
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_TRUE(store->unlockedAt().contains(a.id));
    EXPECT_FALSE(store->isBusy(a.id));

    removeToolFile(QStringLiteral("detach.err"));
    clock.advance(60);
    tick();
    EXPECT_FALSE(store->isUnlocked(a));
}

class UnlockRoad : public StoreFixture {
protected:
    void SetUp() override {
        a = standardVault(QStringLiteral("A"));
        startStore();
    }
    void request(const Vault& vault) { QCoro::waitFor(store->requestUnlock(vault)); }
    Vault a;
};

TEST_F(UnlockRoad, WithoutSavedPasswordAsksForIt) {
    request(a);
    ASSERT_TRUE(store->passwordPromptVault().has_value());
    EXPECT_EQ(store->passwordPromptVault()->id, a.id);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 0);
}

TEST_F(UnlockRoad, SavedPasswordUnlocksWithKeychain) {
    secrets.savePassword(QStringLiteral("pw"), a.id);
    setToolFile(QStringLiteral("password"), "pw");
    request(a);
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_FALSE(store->passwordPromptVault().has_value());
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A unlocked · keyring"));
    EXPECT_TRUE(owner.reasons().isEmpty());
}

TEST_F(UnlockRoad, AVolumeRepairedOnTheWayIsOpenAndTheUserIsTold) {
    setToolFile(QStringLiteral("attach.note"), "The volume's file system was damaged and has been repaired.");
    EXPECT_TRUE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_EQ(store->errorMessage(),
              QStringLiteral("“A” is unlocked. The volume's file system was damaged and has been repaired."));
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A unlocked · password"));
}

// A refused, cancelled or impossible owner check is never silent: the password is asked for, with
// the reason the saved one was not used.
TEST_F(UnlockRoad, OwnerCheckPassedUnlocksWithTouchIDRefusedAsksForThePassword) {
    store->modifyVault(a.id, [](Vault& v) { v.requireTouchID = true; });
    a.requireTouchID = true;
    secrets.savePassword(QStringLiteral("pw"), a.id);

    owner.queueAnswers({false, true});
    request(a);
    EXPECT_FALSE(store->isUnlocked(a));
    ASSERT_TRUE(store->passwordPromptVault().has_value());
    EXPECT_EQ(store->passwordPromptVault()->id, a.id);
    EXPECT_EQ(store->savedPasswordNotUsed(a.id),
              QStringLiteral("System authentication did not confirm it’s you, so the saved password was not used."));
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_TRUE(store->activity().isEmpty());
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 0);
    store->setPasswordPromptVault(std::nullopt);

    request(a);
    EXPECT_TRUE(store->savedPasswordNotUsed(a.id).isEmpty());
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A unlocked · system authentication"));
    EXPECT_EQ(owner.reasons(),
              QStringList({QStringLiteral("unlock the vault “A”"), QStringLiteral("unlock the vault “A”")}));
}

TEST_F(UnlockRoad, OpenOrBusyVaultIsLeftAlone) {
    secrets.savePassword(QStringLiteral("pw"), a.id);
    {
        TestStore::BusyMark busy(*store, a.id);
        request(a);
        EXPECT_FALSE(store->isUnlocked(a));
    }
    request(a);
    ASSERT_TRUE(store->isUnlocked(a));
    request(a);
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 1);
}

TEST_F(UnlockRoad, MissingFileShowsTheFittingAlertAndStaysLocked) {
    Vault moved = a;
    moved.bundlePath = dir.filePath(QStringLiteral("vaults/Gone.sparsebundle"));
    Vault unplugged = a;
    unplugged.bundlePath = QStringLiteral("/Volumes/NoSuchDiskForLarkholdTests/Vaults/A.sparsebundle");
    secrets.savePassword(QStringLiteral("pw"), a.id);

    request(moved);
    EXPECT_EQ(host.relocated.size(), 1);
    EXPECT_FALSE(unlockWith(unplugged, QStringLiteral("pw")));
    EXPECT_EQ(host.waiting.size(), 1);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_TRUE(store->activity().isEmpty());
    EXPECT_FALSE(store->passwordPromptVault().has_value());
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 0);
}

TEST_F(UnlockRoad, WrongSavedPasswordIsForgottenAndTheNextRequestAsks) {
    setToolFile(QStringLiteral("password"), "right");
    secrets.savePassword(QStringLiteral("stale"), a.id);
    request(a);
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password for “A”."));
    EXPECT_FALSE(store->passwordPromptVault().has_value()) << "the error alert shows instead of the prompt";
    EXPECT_FALSE(secrets.saved(a.id).has_value());
    EXPECT_FALSE(store->isBusy(a.id));

    store->clearErrorMessage();
    request(a);
    EXPECT_TRUE(store->passwordPromptVault().has_value());
}

TEST_F(UnlockRoad, TypedWrongPasswordKeepsARightSavedOne) {
    setToolFile(QStringLiteral("password"), "right");
    secrets.savePassword(QStringLiteral("right"), a.id);
    EXPECT_FALSE(unlockWith(a, QStringLiteral("typo")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Wrong password for “A”."));
    EXPECT_EQ(secrets.saved(a.id), QStringLiteral("right"));
}

TEST_F(UnlockRoad, SuccessStampsSavesRecordsAndRemembers) {
    clock.advance(42);
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw"), true));
    EXPECT_EQ(store->mountPoints().value(a.id), fakeMountPoint(QStringLiteral("A")));
    EXPECT_EQ(store->unlockedAt().value(a.id), clock.now());
    EXPECT_EQ(store->vault(a.id)->lastOpenedAt, clock.now());
    const VaultListLoad saved = VaultList(dataFolder()).load();
    ASSERT_EQ(saved.vaults.size(), 1);
    EXPECT_EQ(saved.vaults.first().lastOpenedAt, clock.now());
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A unlocked · password"));
    EXPECT_EQ(secrets.saved(a.id), QStringLiteral("pw"));
    EXPECT_FALSE(store->isBusy(a.id));
    EXPECT_EQ(callCount(QStringLiteral("mdutil -i")), 1);
    EXPECT_EQ(callCount(QStringLiteral("opener ") + fakeMountPoint(QStringLiteral("A"))), 0);
}

TEST_F(UnlockRoad, OtherAttachFailureShowsTheToolsTextAndDeletesNothing) {
    secrets.savePassword(QStringLiteral("pw"), a.id);
    setToolFile(QStringLiteral("attach.err"), "hdiutil: attach failed - no such image\n");
    setToolFile(QStringLiteral("attach.status"), "93");
    EXPECT_FALSE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“A” could not be unlocked. Its file is not where it was."));
    EXPECT_TRUE(secrets.saved(a.id).has_value());
    EXPECT_FALSE(store->isUnlocked(a));
}

TEST_F(UnlockRoad, OpensTheVolumeWhenAskedAndFallsBackWhenTheOpenerFails) {
    store->modifyVault(a.id, [](Vault& v) { v.openInFinderAfterUnlock = true; });
    a.openInFinderAfterUnlock = true;
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    const QString mountPoint = fakeMountPoint(QStringLiteral("A"));
    ASSERT_TRUE(waitUntil([&] { return toolLines(QStringLiteral("opened")).contains(mountPoint); }));
    EXPECT_TRUE(host.openedFolders.isEmpty());

    setToolFile(QStringLiteral("opener.status"), "3");
    store->openVault(a);
    ASSERT_TRUE(waitUntil([&] { return !host.openedFolders.isEmpty(); }));
    EXPECT_EQ(host.openedFolders, QStringList{mountPoint});
}

TEST_F(UnlockRoad, RecordIsFoundByIdAfterTheAttach) {
    setToolFile(QStringLiteral("attach.gate"));
    bool done = false;
    bool result = false;
    auto run = [&]() -> QCoro::Task<> {
        auto unlocking = store->unlock(a, QStringLiteral("pw"), false, UnlockMethod::password);
        result = co_await unlocking;
        done = true;
    };
    run();
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil attach")) == 1; }));
    EXPECT_TRUE(store->isBusy(a.id));
    store->modifyVault(a.id, [](Vault& v) { v.name = QStringLiteral("Renamed meanwhile"); });
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(waitUntil([&] { return done; }));
    EXPECT_TRUE(result);
    EXPECT_EQ(store->vault(a.id)->name, QStringLiteral("Renamed meanwhile"));
    EXPECT_EQ(store->vault(a.id)->lastOpenedAt, clock.now());
}

class Locking : public StoreFixture {
protected:
    void lockNow(const Vault& vault, bool quiet, const QString& reason) {
        QCoro::waitFor(store->lock(vault, quiet, reason));
    }
};

TEST_F(Locking, RefusedDetachShowsItsMessageOnlyForAManualLock) {
    Vault a = standardVault(QStringLiteral("A"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("detach.err"), "hdiutil: detach failed - couldn't unmount \"disk4\" - Resource busy\n");
    setToolFile(QStringLiteral("detach.status"), "16");

    lockNow(a, true, LockReason::sleep);
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_TRUE(store->isUnlocked(a));

    lockNow(a, false, LockReason::manual);
    EXPECT_TRUE(
        store->errorMessage().endsWith(QStringLiteral(" is in use — close the files open in it, then lock again.")));
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_TRUE(store->unlockedAt().contains(a.id));
    EXPECT_FALSE(store->isBusy(a.id));
    EXPECT_EQ(activityTexts().mid(0, 3),
              QStringList({QStringLiteral("A not locked (manual)"), QStringLiteral("A not locked (sleep)"),
                           QStringLiteral("A unlocked · password")}));
}

// A tool that fails after the volume went (the system's disk service ending half-way through):
// the vault shows locked, as it is, and the next lock has nothing to do.
TEST_F(Locking, ALockThatFailedAfterTheVolumeWentShowsTheVaultLocked) {
    const Vault a = standardVault(QStringLiteral("A"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("detach.err"), "hdiutil: detach failed - couldn't unmount - Resource busy\n");
    setToolFile(QStringLiteral("detach.status"), "16");
    setToolFile(QStringLiteral("detach.detaches"));
    lockNow(a, false, LockReason::manual);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A locked (manual)"));
    EXPECT_FALSE(store->unlockedAt().contains(a.id));
}

TEST_F(Locking, AFailedQuietLockIsRecordedAndAnnouncedOnce) {
    const Vault a = standardVault(QStringLiteral("A"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("detach.err"), "hdiutil: detach failed - couldn't unmount \"disk4\" - Resource busy\n");
    setToolFile(QStringLiteral("detach.status"), "16");
    QStringList announced;
    QObject::connect(store.get(), &VaultStore::lockFailed, [&](const QString& name, const QString& text) {
        announced.append(name + QLatin1Char('|') + text);
    });
    QCoro::waitFor(store->lockAll(true, LockReason::screenLocked));
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << "a quiet lock puts up no alert";
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A not locked (screen locked)"));
    ASSERT_EQ(announced.size(), 1);
    EXPECT_EQ(announced.first(), QStringLiteral("A|“A” is still unlocked: a file inside may still be open. Close the "
                                                "files and apps using it, then lock it again."));

    // Auto-lock tries every minute; the log and the notices do not fill up with it.
    QCoro::waitFor(store->lock(a, true, LockReason::automatic));
    QCoro::waitFor(store->lock(a, true, LockReason::automatic));
    EXPECT_EQ(activityTexts().filter(QStringLiteral("not locked (auto)")).size(), 1);
    EXPECT_EQ(announced.size(), 2);
}

TEST_F(Locking, CompletedLockForgetsTheVolumeAndMeasuresTheImage) {
    Vault a = standardVault(QStringLiteral("A"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("du.kb"), "300");
    lockNow(a, false, LockReason::manual);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_FALSE(store->unlockedAt().contains(a.id));
    EXPECT_EQ(store->sizesOnDisk().value(a.id), 300 * 1024);
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A locked (manual)"));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty());
}

TEST_F(Locking, LockAllGoesInListOrderAndReachesUnlistedVaults) {
    Vault a = standardVault(QStringLiteral("A"));
    Vault b = standardVault(QStringLiteral("B"));
    Vault c = standardVault(QStringLiteral("C"));
    Vault gone = standardVault(QStringLiteral("Gone"));
    startStore();
    for (const Vault& v : {c, gone, a, b})
        ASSERT_TRUE(unlockWith(v, QStringLiteral("pw")));
    // Forgotten while open: the list no longer names it, but its volume is still mounted.
    ASSERT_TRUE(store->removeVault(gone.id));

    QCoro::waitFor(store->lockAll(true, LockReason::panicShortcut));
    EXPECT_EQ(store->openCount(), 0);
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty());
    EXPECT_EQ(activityTexts().mid(0, 4),
              QStringList({QStringLiteral("Gone locked (panic shortcut)"), QStringLiteral("C locked (panic shortcut)"),
                           QStringLiteral("B locked (panic shortcut)"), QStringLiteral("A locked (panic shortcut)")}));
}

TEST_F(Locking, ImageAttachedByAFailedUnlockIsLockedByLockAll) {
    Vault a = standardVault(QStringLiteral("A"));
    startStore();
    setToolFile(QStringLiteral("attach.nomount"));
    setToolFile(QStringLiteral("info.err")); // nobody can tell yet where it went
    EXPECT_FALSE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Vault unlocked but no mount point was reported."));
    EXPECT_FALSE(store->isUnlocked(a));
    ASSERT_EQ(toolLines(QStringLiteral("attached")).size(), 1);

    removeToolFile(QStringLiteral("info.err"));
    QCoro::waitFor(store->lockAll(true, LockReason::quit));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty());
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_EQ(activityTexts().first(), QStringLiteral("A locked (quit)"));
}

TEST_F(Locking, ImageAttachedWithoutMountPointThatIsListedCountsAsOpen) {
    Vault a = standardVault(QStringLiteral("A"));
    startStore();
    setToolFile(QStringLiteral("attach.nomount"));
    EXPECT_FALSE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_EQ(store->mountPoints().value(a.id), fakeMountPoint(QStringLiteral("A")));
    EXPECT_TRUE(store->unlockedAt().contains(a.id)) << "so that auto-lock reaches it too";
}

class Refresh : public StoreFixture {
protected:
    void refreshNow() { QCoro::waitFor(store->refresh()); }
    // An image attached outside the store.
    void attachOutside(const QString& imagePath, const QString& mountPoint) {
        QFile file(tool(QStringLiteral("attached")));
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write((imagePath + QLatin1Char('|') + mountPoint + QLatin1Char('\n')).toUtf8());
    }
};

TEST_F(Refresh, AdoptsImagesAttachedOutsideThroughSymbolicLinks) {
    Vault a = standardVault(QStringLiteral("A"));
    Vault b = standardVault(QStringLiteral("B"));
    Vault p = pocketVault(QStringLiteral("P"), QStringLiteral("pw"));
    // A reaches its image through a link; B's image is listed under a link to it.
    const QString linkToA = dir.filePath(QStringLiteral("linkA.sparsebundle"));
    ASSERT_TRUE(QFile::link(listed[0].bundlePath, linkToA));
    listed[0].bundlePath = linkToA;
    a.bundlePath = linkToA;
    const QString linkToB = dir.filePath(QStringLiteral("linkB.sparsebundle"));
    ASSERT_TRUE(QFile::link(b.bundlePath, linkToB));
    startStore();
    attachOutside(dir.filePath(QStringLiteral("vaults/A.sparsebundle")), QStringLiteral("/mnt/a"));
    attachOutside(linkToB, QStringLiteral("/mnt/b"));
    attachOutside(p.bundlePath, QStringLiteral("/mnt/p"));
    clock.advance(10);

    refreshNow();
    EXPECT_EQ(store->mountPoints().value(a.id), QStringLiteral("/mnt/a"));
    EXPECT_EQ(store->mountPoints().value(b.id), QStringLiteral("/mnt/b"));
    EXPECT_FALSE(store->mountPoints().contains(p.id));
    EXPECT_EQ(store->unlockedAt().value(a.id), clock.now());
    EXPECT_EQ(store->sizesOnDisk().value(p.id), 0);
    EXPECT_EQ(store->sizesOnDisk().size(), 3);

    clock.advance(10);
    refreshNow();
    EXPECT_NE(store->unlockedAt().value(a.id), clock.now()) << "an existing last use stays";
}

TEST_F(Refresh, FailedListingKeepsWhatIsKnownAndDetachedImagesDropOut) {
    Vault a = standardVault(QStringLiteral("A"));
    Vault b = standardVault(QStringLiteral("B"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    ASSERT_TRUE(unlockWith(b, QStringLiteral("pw")));

    setToolFile(QStringLiteral("info.err"));
    refreshNow();
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_TRUE(store->isUnlocked(b));
    QCoro::waitFor(store->lockAll(true, LockReason::screenLocked));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty()) << "lock-all still reached both volumes";

    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    removeToolFile(QStringLiteral("info.err"));
    setToolFile(QStringLiteral("attached")); // detached outside the application
    refreshNow();
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_FALSE(store->unlockedAt().contains(a.id));
}

TEST_F(Refresh, ListingTakenBeforeAnUnlockOrLockFinishedDoesNotUndoIt) {
    Vault a = standardVault(QStringLiteral("A"));
    Vault b = standardVault(QStringLiteral("B"));
    Vault c = standardVault(QStringLiteral("C"));
    startStore();
    ASSERT_TRUE(unlockWith(b, QStringLiteral("pw")));

    setToolFile(QStringLiteral("info.gate"));
    bool refreshed = false;
    auto run = [&]() -> QCoro::Task<> {
        auto refreshing = store->refresh();
        co_await refreshing;
        refreshed = true;
    };
    run();
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil info")) == 1; }));
    // While the listing is under way A unlocks, B locks, and C unlocks and locks again. The fake
    // answers with the state it finds when its gate opens, so give it a state from before all that:
    // B attached, and C caught while it was open.
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    QCoro::waitFor(store->lock(b, false, LockReason::manual));
    ASSERT_TRUE(unlockWith(c, QStringLiteral("pw")));
    QCoro::waitFor(store->lock(c, false, LockReason::manual));
    setToolFile(QStringLiteral("attached"),
                (b.bundlePath + QLatin1Char('|') + fakeMountPoint(QStringLiteral("B")) + QLatin1Char('\n') +
                 c.bundlePath + QLatin1Char('|') + fakeMountPoint(QStringLiteral("C")) + QLatin1Char('\n'))
                    .toUtf8());
    removeToolFile(QStringLiteral("info.gate"));
    ASSERT_TRUE(waitUntil([&] { return refreshed; }));

    EXPECT_TRUE(store->isUnlocked(a)) << "the new mount point survives";
    EXPECT_FALSE(store->isUnlocked(b)) << "the finished lock is not undone";
    EXPECT_FALSE(store->isUnlocked(c)) << "opened and closed again meanwhile: the listing is older";
    EXPECT_FALSE(store->unlockedAt().contains(c.id));
}

TEST_F(Refresh, EmptyListMeasuresNothing) {
    startStore();
    refreshNow();
    EXPECT_TRUE(store->mountPoints().isEmpty());
    EXPECT_TRUE(store->sizesOnDisk().isEmpty());
    EXPECT_EQ(callCount(QStringLiteral("du -sk")), 0);
}

TEST_F(Refresh, SizesOfOpenVaultsOnly) {
    Vault a = standardVault(QStringLiteral("A"));
    Vault b = standardVault(QStringLiteral("B"));
    startStore();
    QCoro::waitFor(store->refreshUnlockedSizes());
    EXPECT_TRUE(store->sizesOnDisk().isEmpty());

    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("du.kb"), "300");
    QCoro::waitFor(store->refreshUnlockedSizes());
    // The fake's mount point is a plain folder, not a volume: its disk's numbers would be wrong,
    // so the image is measured instead.
    EXPECT_EQ(store->sizesOnDisk().value(a.id), 300 * 1024);
    EXPECT_FALSE(store->sizesOnDisk().contains(b.id));

    // A real volume is measured by its file system.
    attachOutside(b.bundlePath, QStringLiteral("/"));
    refreshNow();
    ASSERT_TRUE(store->isUnlocked(b));
    EXPECT_GT(store->sizesOnDisk().value(b.id), 0);
    EXPECT_NE(store->sizesOnDisk().value(b.id), 300 * 1024);
}

TEST_F(Refresh, WithTheTimersRunningAnOpenVolumeIsMeasuredWithoutBeingAsked) {
    const Vault a = standardVault(QStringLiteral("A"));
    startStore();
    store = std::make_unique<TestStore>(storeDeps());
    setToolFile(QStringLiteral("du.kb"), "300");
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_FALSE(store->sizesOnDisk().contains(a.id));
    // The fake's folder is not a volume: its file is measured instead.
    ASSERT_TRUE(waitUntil([&] { return store->sizesOnDisk().value(a.id) == 300 * 1024; }));
}

TEST_F(Refresh, ARoundThatFindsNoNewSizeSaysNothingAndANewRoundSaysSoOnce) {
    const Vault a = standardVault(QStringLiteral("A"));
    const Vault b = standardVault(QStringLiteral("B"));
    const Vault c = standardVault(QStringLiteral("C"));
    startStore();
    setToolFile(QStringLiteral("du.kb"), "300");
    refreshNow();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    QCoro::waitFor(store->refreshUnlockedSizes());

    int whole = 0;
    QList<QUuid> named;
    QObject::connect(store.get(), &VaultStore::sizesOnDiskChanged, [&] { ++whole; });
    QObject::connect(store.get(), &VaultStore::vaultStateChanged, [&](const QUuid& id) { named.append(id); });
    refreshNow();
    QCoro::waitFor(store->refreshUnlockedSizes());
    EXPECT_EQ(whole, 0);
    EXPECT_TRUE(named.isEmpty());

    setToolFile(QStringLiteral("du.kb"), "400");
    refreshNow();
    EXPECT_EQ(whole, 1) << "one change for the whole round";
    EXPECT_EQ(named.size(), 3);
    EXPECT_EQ(QSet<QUuid>(named.cbegin(), named.cend()), (QSet<QUuid>{a.id, b.id, c.id}));
    EXPECT_EQ(store->sizesOnDisk().value(c.id), 400 * 1024);
}

TEST_F(Refresh, AutoOpenRunsOnceAndSkipsMissingAndOpenVaults) {
    Vault a = standardVault(QStringLiteral("A"));
    Vault missing = standardVault(QStringLiteral("Missing"));
    Vault open = standardVault(QStringLiteral("Open"));
    Vault plain = standardVault(QStringLiteral("Plain"));
    for (int i : {0, 1, 2})
        listed[i].autoOpenAtLaunch = true;
    QDir(missing.bundlePath).removeRecursively();
    startStore();
    ASSERT_TRUE(unlockWith(open, QStringLiteral("pw")));
    secrets.savePassword(QStringLiteral("pw"), a.id);

    QCoro::waitFor(store->autoOpenFavorites());
    EXPECT_TRUE(store->didAutoOpen());
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_FALSE(store->isUnlocked(plain));
    EXPECT_TRUE(host.relocated.isEmpty());
    EXPECT_TRUE(host.waiting.isEmpty());
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 2);

    QCoro::waitFor(store->lock(a, false, LockReason::manual));
    QCoro::waitFor(store->autoOpenFavorites());
    EXPECT_FALSE(store->isUnlocked(a));
}

TEST_F(Refresh, OpeningALockedVaultDoesNothing) {
    Vault a = standardVault(QStringLiteral("A"));
    startStore();
    store->openVault(a);
    EXPECT_FALSE(store->unlockedAt().contains(a.id));
    QCoreApplication::processEvents();
    EXPECT_EQ(callCount(QStringLiteral("opener ") + a.bundlePath), 0);
    EXPECT_TRUE(host.openedFolders.isEmpty());
}

TEST(VaultStoreCaptions, LimitsAndCaptions) {
    EXPECT_EQ(formatLimitMB(0), QStringLiteral("0 GB"));
    EXPECT_EQ(formatLimitMB(16), QStringLiteral("16 MB"));
    EXPECT_EQ(formatLimitMB(1024), QStringLiteral("1 GB"));
    EXPECT_EQ(formatLimitMB(1536), QStringLiteral("1536 MB"));
    EXPECT_EQ(formatLimitMB(4194304), QStringLiteral("4096 GB"));

    Vault standard;
    standard.maxSizeMB = 2048;
    EXPECT_EQ(capacityCaption(1'500'000, standard, false), QStringLiteral("1.5 MB on disk · up to 2 GB"));
    EXPECT_EQ(capacityCaption(0, standard, false), QStringLiteral("Zero KB on disk · up to 2 GB"));
    EXPECT_EQ(capacityCaption(999'600, standard, true), QStringLiteral("1 MB used of 2 GB"));
    Vault pocket;
    pocket.kind = VaultKind::pocket;
    pocket.maxSizeMB = 5;
    EXPECT_EQ(capacityCaption(123, pocket, false), QStringLiteral("Pocket Vault · 5 MB"));
    EXPECT_EQ(capacityCaption(2'345, pocket, true), QStringLiteral("2 KB used of 5 MB"));
}

TEST(VaultVolumes, PresentUnlessItsDiskIsMissing) {
    EXPECT_FALSE(Vault::volumeIsPresent(QStringLiteral("/Volumes/NoSuchDiskForLarkholdTests/Vaults/A.sparsebundle")));
    EXPECT_FALSE(Vault::volumeIsPresent(QStringLiteral("/media/nobody-here/Backup/A.sparsebundle")));
    EXPECT_TRUE(Vault::volumeIsPresent(QDir::homePath() + QStringLiteral("/Vaults/A.sparsebundle")));
    EXPECT_TRUE(Vault::volumeIsPresent(QStringLiteral("/Volumes")));
    EXPECT_FALSE(Vault::volumeIsPresent(QStringLiteral("/mnt/NoSuchDiskForLarkholdTests/A.sparsebundle")));
}

TEST(VaultVolumes, AFolderUnderMntIsADiskOnlyWhenSomethingIsMountedThere) {
    // A leftover folder under /mnt is what an unplugged disk leaves behind.
    const QString folder = QStringLiteral("/mnt/larkhold-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!QDir().mkpath(folder))
        GTEST_SKIP() << "cannot create a folder under /mnt here";
    EXPECT_FALSE(Vault::volumeIsPresent(folder + QStringLiteral("/A.pocketvault")));
    QDir().rmdir(folder);
}

// Two clicks the windows make possible: unlocking and locking the same vaults at once.
class StoreRaces : public StoreFixture {
protected:
    void SetUp() override {
        a = standardVault(QStringLiteral("A"));
        startStore();
    }
    // Starts an operation without waiting for it; `done` is set when it has ended.
    template <typename T> void start(QCoro::Task<T> task, bool& done) { runDetached(std::move(task), done); }
    template <typename T> static QCoro::Task<> runDetached(QCoro::Task<T> task, bool& done) {
        co_await task;
        done = true;
    }
    Vault a;
};

TEST_F(StoreRaces, LockAllDuringAnAttachLocksTheVaultWhenTheAttachEnds) {
    secrets.savePassword(QStringLiteral("pw"), a.id);
    setToolFile(QStringLiteral("attach.gate"));
    bool requested = false;
    start(store->requestUnlock(a), requested);
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil attach")) == 1; }));

    bool lockedAll = false;
    start(store->lockAll(true, LockReason::panicShortcut), lockedAll);
    EXPECT_FALSE(lockedAll) << "lock-all waits for the unlock under way";
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(waitUntil([&] { return lockedAll; }));

    EXPECT_TRUE(requested);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty());
    EXPECT_EQ(activityTexts().mid(0, 2),
              QStringList({QStringLiteral("A locked (panic shortcut)"), QStringLiteral("A unlocked · keyring")}));
    EXPECT_FALSE(store->passwordPromptVault().has_value()) << "nobody is asked for a password after a panic";
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_FALSE(store->isBusy(a.id));
}

TEST_F(StoreRaces, LockAllDuringAnAttachThatReportsNoMountPointStillLocksIt) {
    setToolFile(QStringLiteral("attach.gate"));
    setToolFile(QStringLiteral("attach.nomount"));
    bool unlockEnded = false;
    start(store->unlock(a, QStringLiteral("pw"), false, UnlockMethod::password), unlockEnded);
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil attach")) == 1; }));

    bool lockedAll = false;
    start(store->lockAll(true, LockReason::sleep), lockedAll);
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(waitUntil([&] { return lockedAll; }));

    EXPECT_TRUE(unlockEnded);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty()) << "nothing stays attached after the lock-all";
}

TEST_F(StoreRaces, UnlockOfAnOpenVaultReturnsAtOnceAndABusyOneIsRefused) {
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_TRUE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 1);
    EXPECT_EQ(activityTexts().filter(QStringLiteral("unlocked")).size(), 1);

    QCoro::waitFor(store->lock(a, false, LockReason::manual));
    {
        TestStore::BusyMark busy(*store, a.id);
        EXPECT_FALSE(unlockWith(a, QStringLiteral("pw")));
        EXPECT_EQ(store->errorMessage(), QStringLiteral("Wait until “A” is no longer busy, then unlock it."));
    }
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 1);
    EXPECT_FALSE(store->isUnlocked(a));
}

TEST_F(StoreRaces, LocatingAnOpenVaultIsRefusedSoItsVolumeStaysInReach) {
    const Vault b = standardVault(QStringLiteral("B"));
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    QCoro::waitFor(store->relocate(a, b.bundlePath));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Lock “A” first, then locate it."));
    EXPECT_EQ(store->vault(a.id)->bundlePath, a.bundlePath);

    QCoro::waitFor(store->refresh());
    EXPECT_EQ(store->mountPoints().value(a.id), fakeMountPoint(QStringLiteral("A")));
    QCoro::waitFor(store->lock(a, false, LockReason::manual));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty());
}

TEST_F(StoreRaces, RemovingOrDeletingAVaultWhileItsUnlockRunsIsRefused) {
    setToolFile(QStringLiteral("attach.gate"));
    bool unlocked = false;
    start(store->unlock(a, QStringLiteral("pw"), true, UnlockMethod::password), unlocked);
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil attach")) == 1; }));
    const StoreOutcome forgotten = awaitTask(store->forget(a));
    EXPECT_FALSE(forgotten.ok);
    EXPECT_EQ(forgotten.message, QStringLiteral("Wait until “A” is no longer busy, then remove it."));
    const StoreOutcome deleted = awaitTask(store->deleteVault(a));
    EXPECT_EQ(deleted.message, QStringLiteral("Wait until “A” is no longer busy, then move it to the Trash."));
    EXPECT_TRUE(QFileInfo::exists(a.bundlePath));
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(waitUntil([&] { return unlocked; }));
    EXPECT_TRUE(store->isUnlocked(a));
    EXPECT_TRUE(store->vault(a.id)) << "still listed, so still in reach of every lock";
}

TEST_F(StoreRaces, AnUnlockEndingForAVaultNoLongerListedLocksItAgainAtOnce) {
    setToolFile(QStringLiteral("attach.gate"));
    bool unlocked = false;
    start(store->unlock(a, QStringLiteral("pw"), true, UnlockMethod::password), unlocked);
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil attach")) == 1; }));
    ASSERT_TRUE(store->removeVault(a.id));
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(waitUntil([&] { return unlocked; }));
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_TRUE(toolLines(QStringLiteral("attached")).isEmpty());
    EXPECT_FALSE(secrets.saved(a.id).has_value()) << "no password is kept for a vault that is gone";

    // A prompt answered after its vault left the list attaches nothing.
    store->clearErrorMessage();
    EXPECT_FALSE(unlockWith(a, QStringLiteral("pw")));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“A” is no longer in the vault list."));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil attach")), 1);
}

TEST_F(StoreRaces, OverlappingLocksDetachOnceAndLogOnce) {
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("detach.gate"));
    bool first = false;
    bool second = false;
    start(store->lock(a, false, LockReason::manual), first);
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil detach")) == 1; }));
    start(store->lock(a, true, LockReason::sleep), second);
    removeToolFile(QStringLiteral("detach.gate"));
    ASSERT_TRUE(waitUntil([&] { return first && second; }));

    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil detach")), 1);
    EXPECT_EQ(activityTexts().filter(QStringLiteral(" locked (")), QStringList{QStringLiteral("A locked (manual)")});
    EXPECT_TRUE(store->errorMessage().isEmpty());
    EXPECT_FALSE(store->isBusy(a.id));
}

} // namespace
} // namespace larkhold::test
