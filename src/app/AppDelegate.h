#pragma once

#include "QuitPath.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QUrl>
#include <functional>

namespace larkhold {

class Defaults;
class SessionMonitor;
class SleepInhibitor;
class VaultStore;

// What the delegate works with. The callbacks are the launch steps that belong to other parts of the application;
// an empty one is skipped.
struct AppDelegateDeps {
    VaultStore* store = nullptr;
    Defaults* defaults = nullptr;
    SessionMonitor* session = nullptr;
    SleepInhibitor* sleepInhibitor = nullptr;

    // Keeps the main window off the taskbar when the settings ask for it and a tray icon can bring it back.
    std::function<void()> applyTaskbarPolicy;
    // Makes the single-instance service deliver its requests (files, activation) from now on.
    std::function<void()> registerServices;
    std::function<void()> updatePanicHotKey;
    std::function<void()> startUpdateChecks;
    std::function<void()> showChangelogIfUpdated;
    // The Add to Vault window, for files handed to the application.
    std::function<void(const QList<QUrl>&)> showImportWindow;
    // Ends the event loop; called once, when the quit has finished.
    std::function<void()> terminate;
};

// The work of the application that belongs to no window: the launch wiring, locking every vault when the screen
// locks or the computer is about to sleep, the files handed over by other programs, and the quit rule.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(AppDelegateDeps deps, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Closing the last window never quits.
    static constexpr bool shouldTerminateAfterLastWindowClosed() { return false; }

    // Launch wiring, in order; a step that fails is skipped silently and never stops the next.
    void applicationDidFinishLaunching();

    // Files from the single-instance service or the command line. Non-file URLs are dropped; with none left
    // nothing opens.
    void addToVault(const QList<QUrl>& urls);

    // Every way out ends here (see QuitPath).
    void requestQuit() { quitPath_.request(); }
    QuitPath& quitPath() { return quitPath_; }
    LockQueue& lockQueue() { return lockQueue_; }

    // The lock triggers. The settings are read when the event arrives, so a change takes effect at once.
    QCoro::Task<> screenLocked();
    // Locks (when `lockOnSleep` is on), then lets the sleep go ahead by releasing the inhibitor. The inhibitor is
    // released only after the last lock has ended, whether it succeeded or not.
    QCoro::Task<> sleepRequested();
    void resumed();

signals:
    // After sleepRequested() has released the inhibitor.
    void sleepAllowed();

private:
    void observeSession();

    AppDelegateDeps deps_;
    LockQueue lockQueue_;
    QuitPath quitPath_;
    bool observing_ = false;
};

} // namespace larkhold
