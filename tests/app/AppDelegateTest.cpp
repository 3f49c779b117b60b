#include "AppDelegate.h"

#include "FakeSession.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "fakes/store/StoreFixture.h"

#include <QCoroTask>
#include <stdexcept>

namespace larkhold::test {
namespace {

// A shell over a store on the fake disk-image tools, with the session and the inhibitor driven by hand.
class Shell : public StoreFixture {
protected:
    AppDelegate& makeDelegate() {
        AppDelegateDeps deps;
        deps.store = store.get();
        deps.defaults = &defaults;
        deps.session = &session;
        deps.sleepInhibitor = &inhibitor;
        deps.showImportWindow = [this](const QList<QUrl>& files) { imported.append(files); };
        deps.terminate = [this] {
            ++terminations;
            activityAtTermination = activityTexts();
        };
        deps.applyTaskbarPolicy = [this] { launchSteps << QStringLiteral("taskbar"); };
        deps.registerServices = [this] { launchSteps << QStringLiteral("services"); };
        deps.updatePanicHotKey = [this] {
            launchSteps << QStringLiteral("hotkey");
            throw std::runtime_error("no X server");
        };
        deps.startUpdateChecks = [this] { launchSteps << QStringLiteral("updates"); };
        deps.showChangelogIfUpdated = [this] { launchSteps << QStringLiteral("changelog"); };
        delegate = std::make_unique<AppDelegate>(deps);
        return *delegate;
    }

    void openTwo() {
        a = standardVault(QStringLiteral("A"));
        b = standardVault(QStringLiteral("B"));
        startStore();
        ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
        ASSERT_TRUE(unlockWith(b, QStringLiteral("pw")));
        ASSERT_EQ(store->openCount(), 2);
        makeDelegate();
    }

    bool waitForQuit() {
        return waitUntil([this] { return delegate->quitPath().hasFinished(); }, 60'000);
    }

    FakeSessionMonitor session;
    FakeSleepInhibitor inhibitor;
    std::unique_ptr<AppDelegate> delegate;
    QList<QUrl> imported;
    QStringList launchSteps;
    QStringList activityAtTermination;
    int terminations = 0;
    Vault a, b;
};

TEST_F(Shell, LaunchWiringRunsInOrderAndAFailingStepStopsNothing) {
    startStore();
    makeDelegate().applicationDidFinishLaunching();
    EXPECT_EQ(launchSteps, (QStringList{QStringLiteral("taskbar"), QStringLiteral("services"), QStringLiteral("hotkey"),
                                        QStringLiteral("updates"), QStringLiteral("changelog")}));
    EXPECT_TRUE(inhibitor.isHeld()) << "the sleep inhibitor is taken at launch";
    EXPECT_FALSE(AppDelegate::shouldTerminateAfterLastWindowClosed());
}

TEST_F(Shell, QuitWithLockOnQuitOffEndsAtOnceAndLeavesVaultsOpen) {
    openTwo();
    defaults.setValue(SettingsKeys::lockOnQuit, false);
    delegate->requestQuit();
    ASSERT_TRUE(waitForQuit());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(store->openCount(), 2);
    EXPECT_EQ(callCount(QStringLiteral("hdiutil detach")), 0);
}

TEST_F(Shell, QuitWithNothingOpenEndsWithoutLocking) {
    a = standardVault(QStringLiteral("A"));
    startStore();
    makeDelegate().requestQuit();
    ASSERT_TRUE(waitForQuit());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(callCount(QStringLiteral("hdiutil detach")), 0);
}

TEST_F(Shell, QuitWaitsForAnUnlockUnderWayAndLocksWhatItOpened) {
    a = standardVault(QStringLiteral("A"));
    startStore();
    setToolFile(QStringLiteral("attach.gate"));
    bool unlockEnded = false;
    [](QCoro::Task<bool> task, bool& ended) -> QCoro::Task<> {
        co_await task;
        ended = true;
    }(store->unlock(a, QStringLiteral("pw"), false, UnlockMethod::password), unlockEnded);
    ASSERT_TRUE(waitUntil([&] { return callCount(QStringLiteral("hdiutil attach")) == 1; }));

    makeDelegate().requestQuit();
    EXPECT_EQ(terminations, 0) << "the quit waits for the attach under way";
    removeToolFile(QStringLiteral("attach.gate"));
    ASSERT_TRUE(waitForQuit());
    EXPECT_TRUE(unlockEnded);
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(store->isUnlocked(a));
    EXPECT_EQ(callCount(QStringLiteral("hdiutil detach")), 1);
    EXPECT_EQ(activityAtTermination.first(), QStringLiteral("A locked (quit)"));
}

TEST_F(Shell, QuitLocksEveryOpenVaultInListOrderBeforeTheEnd) {
    openTwo();
    delegate->requestQuit();
    delegate->requestQuit(); // joins the running quit
    ASSERT_TRUE(waitForQuit());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(store->openCount(), 0);
    // Newest first: A was locked first, then B, both before the process was told to end.
    ASSERT_GE(activityAtTermination.size(), 2);
    EXPECT_EQ(activityAtTermination.at(0), QStringLiteral("B locked (quit)"));
    EXPECT_EQ(activityAtTermination.at(1), QStringLiteral("A locked (quit)"));
}

TEST_F(Shell, QuitEndsEvenWhenAVaultFailsToLock) {
    openTwo();
    setToolFile(QStringLiteral("detach.err"), "hdiutil: detach failed - Resource busy");
    delegate->requestQuit();
    ASSERT_TRUE(waitForQuit());
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(store->errorMessage().isEmpty()) << "quit locks quietly";
}

TEST_F(Shell, QuitLetsAScreenLockUnderWayFinishFirst) {
    openTwo();
    defaults.setValue(SettingsKeys::lockOnQuit, false);
    delegate->applicationDidFinishLaunching();
    session.lockScreen(); // A starts detaching
    delegate->requestQuit();
    ASSERT_TRUE(waitForQuit());
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(activityAtTermination.contains(QStringLiteral("A locked (screen locked)")));
    EXPECT_TRUE(activityAtTermination.contains(QStringLiteral("B locked (screen locked)")));
}

TEST_F(Shell, QuitSavesAPocketVaultsPendingEditsWhateverLockOnQuitSays) {
    for (bool lockOnQuit : {false, true}) {
        SCOPED_TRACE(lockOnQuit);
        listed.clear();
        const Vault pocket = pocketVault(QStringLiteral("Notes%1").arg(lockOnQuit), QStringLiteral("pocket pw"));
        startStore();
        ASSERT_TRUE(unlockWith(pocket, QStringLiteral("pocket pw")));
        PocketSession* session = store->pocketSession(pocket.id);
        ASSERT_NE(session, nullptr);
        session->document().addNote();
        ASSERT_TRUE(session->hasPendingSave());

        defaults.setValue(SettingsKeys::lockOnQuit, lockOnQuit);
        terminations = 0;
        makeDelegate().requestQuit();
        ASSERT_TRUE(waitForQuit());
        EXPECT_EQ(terminations, 1);
        const PocketStorage::Opened reopened =
            PocketStorage::open(pocket.bundlePath, QStringLiteral("pocket pw"), false);
        EXPECT_EQ(reopened.items.size(), 1u) << "the note made just before quitting is on disk";
        delegate.reset();
        store.reset();
    }
}

TEST_F(Shell, ScreenLockReadsItsSettingWhenItArrives) {
    openTwo();
    defaults.setValue(SettingsKeys::lockOnScreenLock, false);
    QCoro::waitFor(delegate->screenLocked());
    EXPECT_EQ(store->openCount(), 2);

    defaults.setValue(SettingsKeys::lockOnScreenLock, true);
    delegate->applicationDidFinishLaunching();
    session.lockScreen();
    ASSERT_TRUE(waitUntil([this] { return store->openCount() == 0 && !delegate->lockQueue().isLocking(); }, 60'000));
    EXPECT_EQ(activityTexts().first(), QStringLiteral("B locked (screen locked)"));
}

TEST_F(Shell, SleepReleasesTheInhibitorOnlyAfterTheLastVaultLocked) {
    openTwo();
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(inhibitor.isHeld());
    int openAtRelease = -1;
    inhibitor.onRelease = [&] { openAtRelease = store->openCount(); };

    session.prepareForSleep();
    ASSERT_TRUE(waitUntil([&] { return !inhibitor.isHeld(); }, 60'000));
    EXPECT_EQ(openAtRelease, 0);
    EXPECT_EQ(activityTexts().first(), QStringLiteral("B locked (sleep)"));

    session.wake();
    EXPECT_TRUE(inhibitor.isHeld()) << "taken again for the next sleep";
    EXPECT_EQ(inhibitor.events,
              (QStringList{QStringLiteral("take"), QStringLiteral("release"), QStringLiteral("take")}));
}

TEST_F(Shell, SleepIsLetGoAlsoWhenLockingFailsOrIsSwitchedOff) {
    openTwo();
    delegate->applicationDidFinishLaunching();
    setToolFile(QStringLiteral("detach.err"), "busy");
    QCoro::waitFor(delegate->sleepRequested());
    EXPECT_FALSE(inhibitor.isHeld());
    EXPECT_EQ(store->openCount(), 2);

    delegate->resumed();
    defaults.setValue(SettingsKeys::lockOnSleep, false);
    removeToolFile(QStringLiteral("detach.err"));
    QCoro::waitFor(delegate->sleepRequested());
    EXPECT_FALSE(inhibitor.isHeld());
    EXPECT_EQ(store->openCount(), 2);
}

TEST_F(Shell, SleepWaitsForAScreenLockStillLocking) {
    openTwo();
    delegate->applicationDidFinishLaunching();
    int openAtRelease = -1;
    inhibitor.onRelease = [&] { openAtRelease = store->openCount(); };
    session.lockScreen(); // starts detaching A
    session.prepareForSleep();
    ASSERT_TRUE(waitUntil([&] { return !inhibitor.isHeld(); }, 60'000));
    EXPECT_EQ(openAtRelease, 0);
}

TEST_F(Shell, HandedOverFilesKeepOnlyFileUrls) {
    startStore();
    makeDelegate();
    delegate->addToVault({QUrl(QStringLiteral("https://example.org/a")), QUrl()});
    EXPECT_TRUE(imported.isEmpty());
    delegate->addToVault({});
    EXPECT_TRUE(imported.isEmpty());
    delegate->addToVault({QUrl(QStringLiteral("https://example.org/a")), QUrl::fromLocalFile(QStringLiteral("/tmp/x")),
                          QUrl::fromLocalFile(QStringLiteral("/tmp/y"))});
    EXPECT_EQ(imported, (QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/tmp/x")),
                                     QUrl::fromLocalFile(QStringLiteral("/tmp/y"))}));
}

} // namespace
} // namespace larkhold::test
