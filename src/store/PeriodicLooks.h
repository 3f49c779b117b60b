#pragma once

#include <QHash>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QUuid>
#include <chrono>
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace larkhold {

// Looks at each of a set of subjects (a folder of vault files, an open volume) again every `period`, on a thread of its own
// that keeps its own time, and tells the thread it was made on only what changed. An idle round whose answers are
// those of the last one wakes that thread not at all: a laptop idling with vaults open must not wake its GUI thread
// every few seconds.
//
// A look that has not answered within `deadline` is told through `late` (the kernel times it: a timer file the
// owner's thread watches, armed for each round, so a round in time wakes nobody). Its thread is left to the look;
// a new one takes the rounds over, skipping that subject until the stuck look answers. That answer is then told
// whatever it is. The threads are never waited for.
//
// Subjects that a watch vouches for (see Watch) are not looked at at all while it does, and while it vouches for
// every subject no round is taken: the thread sleeps until a word of change comes.
template <typename Subject, typename Result> class PeriodicLooks {
public:
    using Look = std::function<Result(const Subject&)>;
    using Answers = std::function<void(const QHash<QUuid, Result>&)>;
    using Late = std::function<void(const QUuid&)>;

    // Tells, without a look, that a look now would give a subject's last answer: `unchanged` says so of a subject
    // (a look that gave its last answer made it so), and a poll of `files` that finds something, that this may no
    // longer hold for some; `read` is handed what that poll found. Both are called on the thread taking the rounds.
    struct Watch {
        std::vector<pollfd> files;
        std::function<void(const std::vector<pollfd>&)> read;
        std::function<bool(const Subject&)> unchanged;
    };

    PeriodicLooks(Look look, std::chrono::milliseconds period, std::chrono::milliseconds deadline, Answers answers,
                  Late late)
        : shared_(std::make_shared<Shared>()) {
        shared_->look = std::move(look);
        shared_->period = period;
        shared_->deadline = deadline;
        shared_->answers = std::move(answers);
        shared_->receiver = new QObject;
        shared_->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        shared_->timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (shared_->timer >= 0) {
            auto* notifier = new QSocketNotifier(shared_->timer, QSocketNotifier::Read, shared_->receiver);
            QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                             [shared = std::weak_ptr<Shared>(shared_), late = std::move(late)] {
                                 if (const std::shared_ptr<Shared> owner = shared.lock())
                                     deadlineCame(owner, late);
                             });
        }
    }

    PeriodicLooks(const PeriodicLooks&) = delete;
    PeriodicLooks& operator=(const PeriodicLooks&) = delete;

    ~PeriodicLooks() {
        QObject* receiver = nullptr;
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->ending = true;
            receiver = std::exchange(shared_->receiver, nullptr);
            wakeUp(*shared_);
        }
        // With the lock released: a thread posting an answer holds it, and a post to a receiver being deleted
        // is the race the lock is there to prevent.
        delete receiver;
    }

    // The subjects from now on; the next round (one period after the first subject came) looks at them. A subject
    // that left drops what was known of it, and an answer still on its way about it is dropped.
    void setSubjects(QHash<QUuid, Subject> subjects) {
        const std::lock_guard lock(shared_->mutex);
        for (auto it = shared_->last.begin(); it != shared_->last.end();) {
            const auto now = subjects.constFind(it.key());
            if (now == subjects.cend() || !(*now == shared_->subjects.value(it.key())))
                it = shared_->last.erase(it);
            else
                ++it;
        }
        const bool wasEmpty = shared_->subjects.isEmpty();
        shared_->subjects = std::move(subjects);
        if (wasEmpty)
            shared_->nextRound = Clock::now() + shared_->period;
        else
            unpark(*shared_, Clock::now() + shared_->period);
        if (!shared_->running && !shared_->subjects.isEmpty()) {
            shared_->running = true;
            std::thread([shared = shared_, generation = shared_->generation] { run(shared, generation); }).detach();
        }
        wakeUp(*shared_);
    }

    // The next answer about this subject is told even if it is the one last told (someone else learned otherwise).
    void forget(const QUuid& id) {
        const std::lock_guard lock(shared_->mutex);
        shared_->last.remove(id);
        if (unpark(*shared_, Clock::now() + shared_->period))
            wakeUp(*shared_);
    }

    void setWatch(Watch watch) {
        const std::lock_guard lock(shared_->mutex);
        shared_->watch = std::move(watch);
        wakeUp(*shared_);
    }

    void setPeriod(std::chrono::milliseconds period) {
        const std::lock_guard lock(shared_->mutex);
        shared_->period = period;
        shared_->nextRound = Clock::now() + period;
        wakeUp(*shared_);
    }

    void setDeadline(std::chrono::milliseconds deadline) {
        const std::lock_guard lock(shared_->mutex);
        shared_->deadline = deadline;
        // The timer set for the next round counts the old one.
        shared_->armedFor.reset();
    }

    // No round is planned: the watch vouches for every subject.
    bool resting() const {
        const std::lock_guard lock(shared_->mutex);
        return shared_->nextRound == kNoRound;
    }

    std::chrono::milliseconds period() const {
        const std::lock_guard lock(shared_->mutex);
        return shared_->period;
    }

private:
    using Clock = std::chrono::steady_clock;
    // The next round while every subject is vouched for: none.
    static constexpr Clock::time_point kNoRound = Clock::time_point::max();

    struct Shared {
        ~Shared() {
            if (timer >= 0)
                ::close(timer);
            if (wake >= 0)
                ::close(wake);
        }
        mutable std::mutex mutex;
        // Written to wake the thread taking the rounds. It waits on this rather than on a condition variable, whose
        // wake-up leaves the mutex marked as waited for and so costs a second call into the kernel at every round.
        int wake = -1;
        Look look;
        Answers answers;
        std::chrono::milliseconds period{};
        std::chrono::milliseconds deadline{};
        QHash<QUuid, Subject> subjects;
        QHash<QUuid, Result> last;
        // Subjects whose look is stuck on a thread that was left to it.
        QHash<QUuid, Subject> hung;
        Clock::time_point nextRound{};
        // When the last round began.
        Clock::time_point lastRound{};
        Watch watch;
        // The thread taking the rounds is the one started with this generation; an older one is stuck in a look.
        quint64 generation = 0;
        bool running = false;
        bool ending = false;
        // A round under way on the current thread, the subject it is looking at, if any, and since when.
        bool inRound = false;
        // What the round under way found changed so far, told as it ends; a round whose look hangs tells it as
        // that look is found late, since what it found is already the last answer known.
        QHash<QUuid, Result> changed;
        std::optional<QUuid> current;
        Clock::time_point started{};
        int timer = -1;
        // The round the timer is already set for (its time plus the deadline), armed as the round before ended.
        std::optional<Clock::time_point> armedFor;
        // Answers go here, on the owner's thread; gone once the owner is.
        QObject* receiver = nullptr;
    };

    static void setTimer(Shared& shared, std::optional<std::chrono::milliseconds> after) {
        shared.armedFor.reset();
        if (shared.timer < 0)
            return;
        itimerspec when{};
        if (after) {
            // Zero would disarm it.
            const auto ms = std::max<qint64>(1, after->count());
            when.it_value.tv_sec = ms / 1000;
            when.it_value.tv_nsec = (ms % 1000) * 1'000'000;
        }
        // Setting it clears an expiry nobody read yet: a look that answered is not taken as late.
        ::timerfd_settime(shared.timer, 0, &when, nullptr);
    }

    // Sets the timer for the next round's deadline as this round ends: one call a round, not one at each end.
    static void armForNextRound(Shared& shared) {
        if (shared.timer < 0)
            return;
        const auto at = std::chrono::duration_cast<std::chrono::nanoseconds>(
            (shared.nextRound + shared.deadline).time_since_epoch());
        itimerspec when{};
        when.it_value.tv_sec = at.count() / 1'000'000'000;
        when.it_value.tv_nsec = at.count() % 1'000'000'000;
        // The steady clock is the monotonic one the timer counts in.
        ::timerfd_settime(shared.timer, TFD_TIMER_ABSTIME, &when, nullptr);
        shared.armedFor = shared.nextRound;
    }

    static void wakeUp(const Shared& shared) {
        if (shared.wake >= 0) {
            const std::uint64_t one = 1;
            (void)!::write(shared.wake, &one, sizeof one);
        }
    }

    // Called with the lock held. A subject the watch vouches for needs no look: its last answer stands.
    static bool vouchedFor(Shared& shared, const QUuid& id, const Subject& subject) {
        return shared.watch.unchanged && shared.last.contains(id) && shared.watch.unchanged(subject);
    }

    static bool allVouchedFor(Shared& shared) {
        if (!shared.watch.unchanged || !shared.hung.isEmpty())
            return false;
        for (auto it = shared.subjects.cbegin(); it != shared.subjects.cend(); ++it)
            if (!vouchedFor(shared, it.key(), it.value()))
                return false;
        return true;
    }

    // Rounds are taken again, from `at`, if none was planned. True if none was.
    static bool unpark(Shared& shared, Clock::time_point at) {
        if (shared.nextRound != kNoRound)
            return false;
        shared.nextRound = at;
        return true;
    }

    // Called with the lock held: hands the watch what a poll of its files finds now.
    static void readWatch(Shared& shared) {
        if (!shared.watch.read)
            return;
        std::vector<pollfd> files = shared.watch.files;
        if (!files.empty())
            ::poll(files.data(), nfds_t(files.size()), 0);
        shared.watch.read(files);
    }

    // Waits, with the lock released, until woken, until the watch tells of a change, or (when given) until `until`.
    static void sleep(Shared& shared, std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> until) {
        std::vector<pollfd> files{{shared.wake, POLLIN, 0}};
        // Only while no round is planned: one that is takes in what came as it begins, so that a burst of changes
        // (a busy folder, mounts coming and going) wakes this thread no more than once a period.
        if (shared.nextRound == kNoRound)
            files.insert(files.end(), shared.watch.files.cbegin(), shared.watch.files.cend());
        lock.unlock();
        int timeout = -1;
        if (until)
            timeout = int(std::clamp<qint64>(
                std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count(), 0, 24 * 3600 * 1000));
        bool told = false;
        if (shared.wake < 0) {
            // No file to wait on: the rounds are taken on time all the same, and a change waits for the next one.
            ::poll(nullptr, 0, until ? timeout : 1000);
        } else if (::poll(files.data(), nfds_t(files.size()), timeout) > 0) {
            if (files[0].revents & POLLIN) {
                std::uint64_t count = 0;
                (void)!::read(shared.wake, &count, sizeof count);
            }
            told = std::any_of(files.cbegin() + 1, files.cend(), [](const pollfd& file) { return file.revents != 0; });
        }
        lock.lock();
        if (told && shared.watch.read) {
            shared.watch.read(std::vector<pollfd>(files.cbegin() + 1, files.cend()));
            // One period after the last round, as if none had been skipped: a burst of changes costs a round a period.
            if (shared.nextRound == kNoRound && !allVouchedFor(shared))
                shared.nextRound = std::max(Clock::now(), shared.lastRound + shared.period);
        }
    }

    // Called with the lock held.
    static void post(Shared& shared, QHash<QUuid, Result> answers) {
        if (answers.isEmpty() || !shared.receiver)
            return;
        QMetaObject::invokeMethod(
            shared.receiver, [&shared, answers = std::move(answers)] { shared.answers(answers); },
            Qt::QueuedConnection);
    }

    static void run(const std::shared_ptr<Shared>& shared, quint64 generation) {
        std::unique_lock lock(shared->mutex);
        const auto mine = [&] { return !shared->ending && shared->generation == generation; };
        while (mine()) {
            if (shared->subjects.isEmpty()) {
                if (shared->armedFor)
                    setTimer(*shared, std::nullopt);
                sleep(*shared, lock, std::nullopt);
                continue;
            }
            if (shared->nextRound == kNoRound) {
                sleep(*shared, lock, std::nullopt);
                continue;
            }
            if (Clock::now() < shared->nextRound) {
                sleep(*shared, lock, shared->nextRound);
                continue;
            }
            const Clock::time_point planned = shared->nextRound;
            shared->lastRound = Clock::now();
            shared->nextRound = shared->lastRound + shared->period;
            // What the watch said up to now, before it is asked about any subject.
            readWatch(*shared);
            const QHash<QUuid, Subject> round = shared->subjects;
            // One timer for the round, not one per look: the owner's thread, woken by it only when a round outlasts
            // the deadline, sets it again for the look under way. It is mostly set already, by the round before; a
            // round that starts late, or at another time than that one planned, sets it now.
            shared->inRound = true;
            if (shared->armedFor != planned || Clock::now() + std::chrono::milliseconds(1) >= planned + shared->deadline)
                setTimer(*shared, shared->deadline);
            shared->changed.clear();
            for (auto it = round.cbegin(); it != round.cend() && mine(); ++it) {
                if (shared->hung.contains(it.key()) || vouchedFor(*shared, it.key(), it.value()))
                    continue;
                shared->current = it.key();
                shared->started = Clock::now();
                lock.unlock();
                Result result = shared->look(it.value());
                lock.lock();
                if (shared->generation != generation) {
                    // Left to this look: it was told as late, so its answer is told whatever it is.
                    if (shared->hung.remove(it.key()) && shared->subjects.value(it.key()) == it.value()) {
                        shared->last.insert(it.key(), result);
                        post(*shared, {{it.key(), std::move(result)}});
                    }
                    if (unpark(*shared, Clock::now() + shared->period))
                        wakeUp(*shared);
                    return;
                }
                shared->current.reset();
                const auto subject = shared->subjects.constFind(it.key());
                if (subject == shared->subjects.cend() || !(*subject == it.value()))
                    continue;
                const auto known = shared->last.constFind(it.key());
                if (known != shared->last.cend() && *known == result)
                    continue;
                shared->last.insert(it.key(), result);
                shared->changed.insert(it.key(), std::move(result));
            }
            if (shared->generation != generation)
                return;
            shared->inRound = false;
            if (allVouchedFor(*shared)) {
                shared->nextRound = kNoRound;
                setTimer(*shared, std::nullopt);
            } else {
                armForNextRound(*shared);
            }
            post(*shared, std::exchange(shared->changed, {}));
        }
        if (shared->generation == generation)
            shared->running = false;
    }

    // On the owner's thread, when the timer file is readable.
    static void deadlineCame(const std::shared_ptr<Shared>& shared, const Late& late) {
        std::uint64_t expiries = 0;
        if (::read(shared->timer, &expiries, sizeof expiries) != sizeof expiries || expiries == 0)
            return; // set again or stopped before this was read
        QUuid id;
        {
            const std::lock_guard lock(shared->mutex);
            if (!shared->inRound || shared->ending)
                return;
            const Clock::time_point now = Clock::now();
            if (!shared->current || now < shared->started + shared->deadline) {
                const auto left = shared->current ? shared->started + shared->deadline - now
                                                  : Clock::duration(shared->deadline);
                setTimer(*shared, std::chrono::ceil<std::chrono::milliseconds>(left));
                return;
            }
            id = *std::exchange(shared->current, std::nullopt);
            shared->hung.insert(id, shared->subjects.value(id));
            shared->last.remove(id);
            post(*shared, std::exchange(shared->changed, {}));
            // The rest of the subjects get a thread of their own, at once.
            ++shared->generation;
            shared->nextRound = Clock::now();
            std::thread([shared, generation = shared->generation] { run(shared, generation); }).detach();
        }
        late(id);
    }

    std::shared_ptr<Shared> shared_;
};

} // namespace larkhold
