#include "AppDelegate.h"

#include "Defaults.h"
#include "SessionMonitor.h"
#include "SettingsKeys.h"
#include "VaultStore.h"

#include <exception>

namespace larkhold {

namespace {

// A launch step must never stop the ones after it.
void runStep(const std::function<void()>& step) {
    if (!step)
        return;
    try {
        step();
    } catch (const std::exception&) {
    } catch (...) {
    }
}

} // namespace

AppDelegate::AppDelegate(AppDelegateDeps deps, QObject* parent)
    : QObject(parent), deps_(std::move(deps)), lockQueue_(*deps_.store),
      quitPath_(*deps_.store, *deps_.defaults, lockQueue_, deps_.terminate) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    runStep(deps_.applyTaskbarPolicy);
    runStep(deps_.registerServices);
    runStep(deps_.updatePanicHotKey);
    runStep(deps_.startUpdateChecks);
    runStep(deps_.showChangelogIfUpdated);
    runStep([this] { observeSession(); });
}

void AppDelegate::observeSession() {
    if (observing_)
        return;
    observing_ = true;
    if (deps_.session) {
        connect(deps_.session, &SessionMonitor::screenLocked, this, [this] { screenLocked(); });
        connect(deps_.session, &SessionMonitor::sleepRequested, this, [this] { sleepRequested(); });
        connect(deps_.session, &SessionMonitor::resumed, this, &AppDelegate::resumed);
    }
    // Held from now on, so that a sleep always finds the vaults locked first.
    if (deps_.sleepInhibitor)
        deps_.sleepInhibitor->take();
}

void AppDelegate::addToVault(const QList<QUrl>& urls) {
    QList<QUrl> files;
    for (const QUrl& url : urls) {
        if (url.isValid() && url.isLocalFile())
            files.append(url);
    }
    if (files.isEmpty() || !deps_.showImportWindow)
        return;
    deps_.showImportWindow(files);
}

QCoro::Task<> AppDelegate::screenLocked() {
    if (!deps_.defaults->boolValue(SettingsKeys::lockOnScreenLock))
        co_return;
    auto locking = lockQueue_.lockAll(LockReason::screenLocked);
    co_await locking;
}

QCoro::Task<> AppDelegate::sleepRequested() {
    if (deps_.defaults->boolValue(SettingsKeys::lockOnSleep)) {
        auto locking = lockQueue_.lockAll(LockReason::sleep);
        co_await locking;
    }
    if (deps_.sleepInhibitor)
        deps_.sleepInhibitor->release();
    emit sleepAllowed();
}

void AppDelegate::resumed() {
    if (deps_.sleepInhibitor)
        deps_.sleepInhibitor->take();
}

} // namespace larkhold
