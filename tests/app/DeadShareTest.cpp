#include "AppDelegate.h"
#include "ChildJob.h"
#include "FakeGlobalHotKey.h"
#include "FakeSession.h"
#include "FileLook.h"
#include "HangingShare.h"
#include "MenuBarPanel.h"
#include "PanicHotKey.h"
#include "TrayMenu.h"
#include "VaultStatusCache.h"
#include "fakes/store/StoreFixture.h"

#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <X11/keysym.h>
#include <cstdlib>
#include <iostream>
#include <string>

namespace larkhold::test {
namespace {

// A vault on a network share that stops answering, beside one on a local disk.
class DeadShare : public StoreFixture {
protected:
    void SetUp() override {
        if (!share.isMounted())
            GTEST_SKIP() << "FUSE cannot be mounted here";
        local = standardVault(QStringLiteral("Local"));
        away = newRecord(QStringLiteral("Away"), VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        away.bundlePath = share.path() + QStringLiteral("/Away.sparsebundle");
        QDir().mkpath(share.backing() + QStringLiteral("/Away.sparsebundle"));
        listed.append(away);
        listMore();
        startStore();
        status = std::make_unique<VaultStatusCache>(*store, nullptr);
        status->setDeadline(std::chrono::milliseconds(100));
        ASSERT_TRUE(waitUntil([&] { return status->isKnown(away.id) && status->isKnown(local.id); }));
    }

    virtual void listMore() {}

    void hangShare() {
        // A look still on its way would take the refresh's place; its answer needs the event loop.
        ASSERT_TRUE(waitUntil([&] { return !status->isRefreshing(); }));
        share.hang();
        status->refresh();
        ASSERT_TRUE(share.waitStalled());
        ASSERT_TRUE(waitUntil([&] { return status->fileState(away.id) == VaultFileState::unknown; }));
    }

    HangingShare share;
    std::unique_ptr<VaultStatusCache> status;
    Vault local, away;
    ShellActions actions;
};

QStringList actionTexts(const QMenu& menu) {
    QStringList texts;
    for (QAction* action : menu.actions())
        texts.append(action->isSeparator() ? QStringLiteral("—") : action->text());
    return texts;
}

TEST_F(DeadShare, TrayMenuAndPanelAnswerAndOfferNothingThatNeedsTheFile) {
    TrayMenu menu(*store, actions, status.get());
    MenuBarPanel panel(*store, defaults, actions, status.get());
    EXPECT_EQ(actionTexts(menu).mid(0, 2), (QStringList{"Unlock “Local”", "Unlock “Away”"}));

    hangShare();
    // Both are built from what the looks found; neither waits for the share.
    menu.rebuild();
    panel.rebuild();
    ASSERT_EQ(menu.actions().at(1)->text(), QStringLiteral("“Away” — disk not responding"));
    EXPECT_FALSE(menu.actions().at(1)->isEnabled());
    EXPECT_TRUE(menu.actions().at(0)->isEnabled());
    QWidget* row = nullptr;
    for (QWidget* candidate : panel.findChildren<QWidget*>(QStringLiteral("vaultRow"))) {
        if (candidate->property("vaultName").toString() == away.name)
            row = candidate;
    }
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->findChild<QLabel*>(QStringLiteral("caption"))->text(), QStringLiteral("Disk not responding"));
    EXPECT_TRUE(row->findChildren<QPushButton*>().isEmpty()) << "no Unlock for a file nobody can look at";

    // A look stuck on the share holds up no other vault's look.
    QDir(local.bundlePath).removeRecursively();
    const quint64 before = status->completedPasses();
    status->refresh();
    ASSERT_TRUE(waitUntil([&] { return status->fileState(local.id) == VaultFileState::fileMissing; }));
    EXPECT_EQ(status->completedPasses(), before) << "the round waits for the share; the local answer does not";

    share.answer();
    ASSERT_TRUE(waitUntil([&] { return status->fileState(away.id) == VaultFileState::present; }));
    menu.rebuild();
    EXPECT_EQ(menu.actions().at(1)->text(), QStringLiteral("Unlock “Away”"));
}

TEST_F(DeadShare, TheLooksEveryFewSecondsTellAShareThatStoppedAnsweringAndOneThatCameBack) {
    ASSERT_TRUE(waitUntil([&] { return !status->isRefreshing(); }));
    share.hang();
    // No look is asked for: only the rounds of their own find it.
    status->setInterval(std::chrono::milliseconds(20));
    ASSERT_TRUE(share.waitStalled());
    ASSERT_TRUE(waitUntil([&] { return status->fileState(away.id) == VaultFileState::unknown; }));
    share.answer();
    ASSERT_TRUE(waitUntil([&] { return status->fileState(away.id) == VaultFileState::present; }));
}

// Beside the local vault, in its folder, a link to a vault on the share.
class DeadShareBesideALink : public DeadShare {
protected:
    void listMore() override {
        linked = newRecord(QStringLiteral("Linked"), VaultKind::standard, QStringLiteral(".sparsebundle"), 1024);
        QDir().mkpath(share.backing() + QStringLiteral("/Linked.sparsebundle"));
        QFile::link(share.path() + QStringLiteral("/Linked.sparsebundle"), linked.bundlePath);
        listed.append(linked);
    }
    Vault linked;
};

TEST_F(DeadShareBesideALink, ALinkToAShareThatStoppedAnsweringHoldsUpNoLookAtItsNeighbours) {
    status->setInterval(std::chrono::milliseconds(20));
    // The looks every few seconds find the link (and the share's own vault) and look at each on its own.
    ASSERT_TRUE(waitUntil([&] { return status->lookedAtAlone() == 2; }));
    ASSERT_TRUE(waitUntil([&] { return !status->isRefreshing(); }));
    share.hang();
    ASSERT_TRUE(share.waitStalled());
    ASSERT_TRUE(waitUntil([&] { return status->fileState(linked.id) == VaultFileState::unknown; }));
    // The folder the link is in still answers, and is still looked at.
    QDir(local.bundlePath).removeRecursively();
    ASSERT_TRUE(waitUntil([&] { return status->fileState(local.id) == VaultFileState::fileMissing; }));
    share.answer();
    ASSERT_TRUE(waitUntil([&] { return status->fileState(linked.id) == VaultFileState::present; }));
}

TEST_F(DeadShare, AScreenLockLocksWhileALookHangs) {
    ASSERT_TRUE(unlockWith(local, QStringLiteral("pw")));
    FakeSessionMonitor session;
    FakeSleepInhibitor inhibitor;
    AppDelegateDeps deps;
    deps.store = store.get();
    deps.defaults = &defaults;
    deps.session = &session;
    deps.sleepInhibitor = &inhibitor;
    AppDelegate delegate(deps);
    delegate.applicationDidFinishLaunching();
    TrayMenu menu(*store, actions, status.get());

    hangShare();
    menu.rebuild();
    session.lockScreen();
    ASSERT_TRUE(waitUntil([&] { return store->openCount() == 0 && !delegate.lockQueue().isLocking(); }));
    session.prepareForSleep();
    ASSERT_TRUE(waitUntil([&] { return !inhibitor.isHeld(); })) << "sleep is let go while the share hangs";
    share.answer();
}

// The desktop's keyring stops answering while vaults are open, a saved password is being looked up,
// a typed one is being remembered and the home screen asks which vaults have one.
class HangingKeyring : public StoreFixture {
protected:
    void SetUp() override {
        typed = standardVault(QStringLiteral("Typed"));
        saved = standardVault(QStringLiteral("Saved"));
        secrets.savePassword(QStringLiteral("pw"), saved.id);
        startStore();
        secrets.setDeadline(std::chrono::minutes(1));
        secrets.hang();
        status = std::make_unique<VaultStatusCache>(*store, &secrets);
        status->setTrackSavedPasswords(true);
        requestUnlock(store->requestUnlock(saved));
        ASSERT_TRUE(waitUntil([&] { return secrets.callsUnderWay() >= 2; }));
    }
    void TearDown() override {
        // The home screen goes while its lookup still waits; then the keyring answers.
        status.reset();
        secrets.answer();
        ASSERT_TRUE(waitUntil([&] { return requested; }));
        EXPECT_FALSE(store->isUnlocked(saved.id));
    }

    QCoro::Task<> requestUnlock(QCoro::Task<> operation) {
        co_await operation;
        requested = true;
    }
    // Opens the vault with a typed password that is to be remembered; the keyring holds that too.
    void openRemembering() { ASSERT_TRUE(unlockWith(typed, QStringLiteral("pw"), true)); }

    std::unique_ptr<VaultStatusCache> status;
    Vault typed, saved;
    bool requested = false;
};

TEST_F(HangingKeyring, ScreenLockSleepPanicAndQuitLockWithoutWaitingForIt) {
    FakeSessionMonitor session;
    FakeSleepInhibitor inhibitor;
    AppDelegateDeps deps;
    deps.store = store.get();
    deps.defaults = &defaults;
    deps.session = &session;
    deps.sleepInhibitor = &inhibitor;
    bool terminated = false;
    deps.terminate = [&] { terminated = true; };
    AppDelegate delegate(deps);
    delegate.applicationDidFinishLaunching();

    openRemembering();
    session.lockScreen();
    ASSERT_TRUE(waitUntil([&] { return store->openCount() == 0 && !delegate.lockQueue().isLocking(); }));

    openRemembering();
    session.prepareForSleep();
    ASSERT_TRUE(waitUntil([&] { return !inhibitor.isHeld(); }));
    EXPECT_EQ(store->openCount(), 0);
    session.wake();

    FakeGlobalHotKey keys;
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    bool panicked = false;
    QObject::connect(&panic, &PanicHotKey::panicFinished, [&] { panicked = true; });
    openRemembering();
    ASSERT_TRUE(keys.press({XK_l, HotKeyModifier::control | HotKeyModifier::alt | HotKeyModifier::super}));
    ASSERT_TRUE(waitUntil([&] { return panicked; }));
    EXPECT_EQ(store->openCount(), 0);

    openRemembering();
    delegate.requestQuit();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_EQ(store->openCount(), 0);
    EXPECT_FALSE(requested) << "all of it while the keyring still held the lookup";
    EXPECT_FALSE(status->hasSavedPassword(saved.id));
}

class KeyringAtTheEnd : public StoreFixture {};

// The home screen's lookups run on a thread of its own, which goes with it: the keyring store may go right after.
TEST_F(KeyringAtTheEnd, AHomeScreenThatGoesWhileTheKeyringHangsAsksItNothingMore) {
    standardVault(QStringLiteral("A"));
    standardVault(QStringLiteral("B"));
    startStore();
    secrets.setDeadline(std::chrono::minutes(1));
    secrets.hang();
    auto status = std::make_unique<VaultStatusCache>(*store, &secrets);
    status->setTrackSavedPasswords(true);
    ASSERT_TRUE(waitUntil([&] { return secrets.waitingCalls() == 1; }));
    status.reset();
    secrets.answer();
    ASSERT_TRUE(waitUntil([&] { return secrets.callsUnderWay() == 0; }));
    EXPECT_EQ(secrets.calls().size(), 1) << "the second vault was looked up after the home screen had gone";
}

// A child that starts looks at a path and ends when its input closes; it says "ended" once the
// application object is gone and exit() runs. A thread stuck in the kernel on the share keeps the
// kernel from reaping the process until the share answers; nothing in the process waits for it.
const bool lookAndLeave = registerChildJob(QStringLiteral("lookAndLeave"), [](const QStringList& arguments) {
    const QString path = arguments.value(0);
    QObject context;
    lookOffThread<VaultFileState>(
        &context, [path] { return probeVaultFile(path); }, [](VaultFileState) {});
    const QFuture<VaultFileState> waiting = lookInThread<VaultFileState>([path] { return probeVaultFile(path); });
    std::atexit([] { std::cout << "ended" << std::endl; });
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
});

TEST(DeadShareExit, TheProcessEndsWithoutWaitingForLooksStuckOnAShare) {
    HangingShare share;
    if (!share.isMounted())
        GTEST_SKIP() << "FUSE cannot be mounted here";
    QDir().mkpath(share.backing() + QStringLiteral("/Away.sparsebundle"));
    share.hang();
    EXPECT_TRUE(childEndsWhileTheShareHangs(share, QStringLiteral("lookAndLeave"),
                                            share.path() + QStringLiteral("/Away.sparsebundle")))
        << "the process waited for a look stuck on the share";
}

} // namespace
} // namespace larkhold::test
