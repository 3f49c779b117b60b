#include "QuitPath.h"

#include "Defaults.h"
#include "PocketSession.h"
#include "SettingsKeys.h"
#include "VaultStore.h"

#include <QCoroSignal>
#include <memory>
#include <vector>

namespace larkhold {

LockQueue::LockQueue(VaultStore& store, QObject* parent) : QObject(parent), store_(store) {}

QCoro::Task<> LockQueue::lockAll(QString reason) {
    while (locking_) {
        auto ended = qCoro(this, &LockQueue::turnEnded);
        co_await ended;
    }
    locking_ = true;
    auto locking = store_.lockAll(true, reason);
    co_await locking;
    locking_ = false;
    emit turnEnded();
}

QuitPath::QuitPath(VaultStore& store, Defaults& defaults, LockQueue& queue, std::function<void()> terminate,
                   QObject* parent)
    : QObject(parent), store_(store), defaults_(defaults), queue_(queue), terminate_(std::move(terminate)) {}

void QuitPath::request() {
    if (running_ || finished_)
        return;
    run(true);
}

QCoro::Task<> QuitPath::finishBeforeExit() {
    if (finished_)
        co_return;
    if (running_) {
        auto ending = qCoro(this, &QuitPath::finished);
        co_await ending;
        co_return;
    }
    auto quitting = run(false);
    co_await quitting;
}

QCoro::Task<> QuitPath::run(bool thenTerminate) {
    running_ = true;
    // An unlock still running counts: lock-all waits for it and closes what it opens.
    if (defaults_.boolValue(SettingsKeys::lockOnQuit) && (store_.openCount() >= 1 || store_.unlockUnderWay())) {
        auto locking = queue_.lockAll(LockReason::quit);
        co_await locking;
    }
    // A screen-lock or sleep lock under way runs to its end: a volume is never left half detached.
    while (queue_.isLocking()) {
        auto ended = qCoro(&queue_, &LockQueue::turnEnded);
        co_await ended;
    }
    // Pocket Vaults still open here (lockOnQuit off, or a lock that failed) keep a debounced save pending; write it
    // now, since the process will not live to run it.
    std::vector<std::shared_ptr<PocketSession>> open;
    for (const std::shared_ptr<PocketSession>& session : store_.pocketSessions())
        open.push_back(session);
    for (const std::shared_ptr<PocketSession>& session : open) {
        auto saving = session->finish();
        co_await saving;
    }
    running_ = false;
    finished_ = true;
    emit finished();
    if (thenTerminate && terminate_)
        terminate_();
}

} // namespace larkhold
