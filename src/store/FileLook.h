#pragma once

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCoroTask>
#include <QDir>
#include <QFuture>
#include <QFutureWatcher>
#include <QHash>
#include <QMetaObject>
#include <QObject>
#include <QPromise>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace larkhold {

// Runs `look` (a stat, an existence check) on a thread of its own and hands its result to `then` on
// `context`'s thread, as long as `context` lives. The thread is never waited for: a call stuck in
// the kernel on a dead network share holds only that thread, never the GUI, a shared pool or the
// process's exit. `look` must own everything it touches.
template <typename Result>
void lookOffThread(QObject* context, std::function<Result()> look, std::function<void(Result)> then) {
    struct Mailbox {
        std::mutex mutex;
        QObject* receiver = nullptr;
    };
    auto mailbox = std::make_shared<Mailbox>();
    // One receiver per look, owned by the context: it goes with the context, or once its answer came.
    auto* receiver = new QObject(context);
    mailbox->receiver = receiver;
    // Runs on the context's thread while the receiver is destroyed; the lock keeps a delivery from racing it.
    QObject::connect(receiver, &QObject::destroyed, [mailbox] {
        const std::lock_guard lock(mailbox->mutex);
        mailbox->receiver = nullptr;
    });
    std::thread([mailbox, look = std::move(look), then = std::move(then)]() mutable {
        Result result = look();
        const std::lock_guard lock(mailbox->mutex);
        if (!mailbox->receiver)
            return;
        QObject* target = mailbox->receiver;
        QMetaObject::invokeMethod(
            target,
            [target, then = std::move(then), result = std::move(result)] {
                target->deleteLater();
                then(result);
            },
            Qt::QueuedConnection);
    }).detach();
}

// As above, but `then` gets `late` if the look has not answered within `deadline`; a later answer
// is then dropped.
template <typename Result>
void lookOffThread(QObject* context, std::function<Result()> look, std::chrono::milliseconds deadline, Result late,
                   std::function<void(Result)> then) {
    // Both callbacks run on the context's thread: a plain flag is enough.
    auto done = std::make_shared<bool>(false);
    lookOffThread<Result>(context, std::move(look), [done, then](Result result) {
        if (std::exchange(*done, true))
            return;
        then(std::move(result));
    });
    QTimer::singleShot(deadline, context, [done, then, late = std::move(late)] {
        if (std::exchange(*done, true))
            return;
        then(late);
    });
}

// A look on a thread of its own whose answer a coroutine can await; the thread finishes the future.
template <typename Result> QFuture<Result> lookInThread(std::function<Result()> look) {
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    std::thread([promise, look = std::move(look)] {
        promise->addResult(look());
        promise->finish();
    }).detach();
    return future;
}

// A future that takes the first answer given through `give` and drops every later one; `give` may be
// called from any thread.
template <typename Result> struct FirstAnswer {
    QFuture<Result> future;
    std::function<void(Result)> give;
};

template <typename Result> FirstAnswer<Result> firstAnswer() {
    struct Answer {
        std::mutex mutex;
        bool given = false;
        QPromise<Result> promise;
    };
    auto answer = std::make_shared<Answer>();
    QFuture<Result> future = answer->promise.future();
    answer->promise.start();
    return {future, [answer](Result result) {
                const std::lock_guard lock(answer->mutex);
                if (std::exchange(answer->given, true))
                    return;
                answer->promise.addResult(std::move(result));
                answer->promise.finish();
            }};
}

// Runs `job` on a thread of its own.
inline void startOwnThread(std::function<void()> job) {
    std::thread(std::move(job)).detach();
}

// As above, but the future gets `late` if the look has not answered within `deadline` (timed by the
// application's event loop); a later answer is then dropped. `start` runs the look off this thread.
template <typename Result>
QFuture<Result> lookInThread(std::function<Result()> look, std::chrono::milliseconds deadline, Result late,
                             const std::function<void(std::function<void()>)>& start = startOwnThread) {
    FirstAnswer<Result> answer = firstAnswer<Result>();
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() != app->thread()) {
        start([give = answer.give, look = std::move(look)] { give(look()); });
        QTimer::singleShot(deadline, app, [give = answer.give, late = std::move(late)] { give(late); });
        return answer.future;
    }
    // The answer stops the deadline: a look that answered in time wakes nobody when its deadline would have come.
    auto* timer = new QTimer(app);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, give = answer.give, late = std::move(late)] {
        give(late);
        timer->deleteLater();
    });
    timer->start(deadline);
    auto* watcher = new QFutureWatcher<Result>(timer);
    QObject::connect(watcher, &QFutureWatcher<Result>::finished, timer, [timer] {
        timer->stop();
        timer->deleteLater();
    });
    watcher->setFuture(answer.future);
    start([give = answer.give, look = std::move(look)] { give(look()); });
    return answer.future;
}

// One thread kept for looks that come every few seconds: each costs that thread one wake-up rather than a new
// thread. A look that comes while the last one still runs (one stuck on a share, say) gets a thread of its own,
// so that none waits behind another. The thread is never waited for; it ends after its look once this goes.
class KeptLookThread {
public:
    KeptLookThread() = default;
    KeptLookThread(const KeptLookThread&) = delete;
    KeptLookThread& operator=(const KeptLookThread&) = delete;
    ~KeptLookThread() {
        const std::lock_guard lock(shared_->mutex);
        shared_->ending = true;
        shared_->wake.notify_all();
    }

    // Runs `job` on the kept thread when it is free, else on a thread of its own.
    void start(std::function<void()> job) {
        std::unique_lock lock(shared_->mutex);
        if (shared_->busy) {
            lock.unlock();
            startOwnThread(std::move(job));
            return;
        }
        shared_->busy = true;
        shared_->job = std::move(job);
        if (!shared_->running) {
            shared_->running = true;
            std::thread([shared = shared_] { run(shared); }).detach();
        }
        shared_->wake.notify_one();
    }

    std::function<void(std::function<void()>)> starter() {
        return [this](std::function<void()> job) { start(std::move(job)); };
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::function<void()> job;
        bool busy = false;
        bool running = false;
        bool ending = false;
    };

    static void run(const std::shared_ptr<Shared>& shared) {
        std::unique_lock lock(shared->mutex);
        for (;;) {
            shared->wake.wait(lock, [&] { return shared->ending || shared->job; });
            if (!shared->job)
                return;
            std::function<void()> job = std::exchange(shared->job, nullptr);
            lock.unlock();
            job();
            lock.lock();
            shared->busy = false;
            if (shared->ending)
                return;
        }
    }

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// Every path resolved by `resolve` on a thread of its own, so that one on a share that stopped
// answering holds up no other; one that has not answered within `deadline` stays as written.
inline QCoro::Task<QHash<QString, QString>> resolvedEachInTime(QStringList paths,
                                                               std::function<QString(const QString&)> resolve,
                                                               std::chrono::milliseconds deadline) {
    QList<QFuture<QString>> looks;
    for (const QString& path : paths)
        looks.append(lookInThread<QString>([path, resolve] { return resolve(path); }, deadline, QDir::cleanPath(path)));
    QHash<QString, QString> resolved;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        QFuture<QString>& look = looks[i];
        resolved.insert(paths[i], co_await look);
    }
    co_return resolved;
}

} // namespace larkhold
