#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <functional>

namespace larkhold {

class Defaults;
class VaultStore;

// Quiet lock-alls started by the shell (screen lock, sleep, quit) take turns: a sleep that arrives while a screen
// lock is still detaching waits for it, so the computer never sleeps in the middle of a lock.
class LockQueue : public QObject {
    Q_OBJECT

public:
    explicit LockQueue(VaultStore& store, QObject* parent = nullptr);

    // Locks every open vault quietly with `reason`, after the lock-alls queued before it.
    QCoro::Task<> lockAll(QString reason);
    bool isLocking() const { return locking_; }

signals:
    void turnEnded();

private:
    VaultStore& store_;
    bool locking_ = false;
};

// The one way the application ends, whoever asks: the menus, the tray, the session ending or a termination signal.
// With `lockOnQuit` on and a vault open, every open vault is locked with the reason "quit", in list order, before
// the end. Whatever the setting, each open Pocket Vault's pending edits are written first: quitting must not drop
// them. A request while a quit runs joins it; the process ends once.
class QuitPath : public QObject {
    Q_OBJECT

public:
    // `terminate` ends the event loop; it is called once, when the quit has finished.
    QuitPath(VaultStore& store, Defaults& defaults, LockQueue& queue, std::function<void()> terminate,
             QObject* parent = nullptr);

    void request();
    bool isRunning() const { return running_; }
    bool hasFinished() const { return finished_; }

    // For the last moment before the process ends when the event loop was stopped by something else: runs the
    // quit (or waits for the one running) without calling `terminate`.
    QCoro::Task<> finishBeforeExit();

signals:
    void finished();

private:
    QCoro::Task<> run(bool thenTerminate);

    VaultStore& store_;
    Defaults& defaults_;
    LockQueue& queue_;
    std::function<void()> terminate_;
    bool running_ = false;
    bool finished_ = false;
};

} // namespace larkhold
