#include "SecretStore.h"

#include "UuidText.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QMetaObject>
#include <QPromise>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <map>
#include <vector>
#include <mutex>
#include <thread>

namespace larkhold {

namespace {

std::optional<QString> decodedPassword(const std::optional<SecureBytes>& bytes) {
    if (!bytes)
        return std::nullopt;
    // Decoded straight from the wiped buffer, so no unwiped byte copy of the password is made on the way. A
    // leading U+FEFF is part of the password, not a byte-order mark: the save wrote it, so the read keeps it.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text =
        decoder(QByteArrayView(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size())));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// The password's UTF-8 bytes, or nothing for a password with broken UTF-16 (a lone surrogate), which cannot
// be stored faithfully: remembering a mangled one would later be offered as the vault's password and fail.
std::optional<SecureBytes> encodedPassword(const QString& password) {
    QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    SecureBytes bytes(static_cast<std::size_t>(encoder.requiredSpace(password.size())));
    char* const begin = reinterpret_cast<char*>(bytes.data());
    char* const end = encoder.appendToBuffer(begin, password);
    bytes.resize(static_cast<std::size_t>(end - begin));
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

// Stores the password, or leaves no item at all when it cannot be stored.
void storeOrRemove(auto& backend, const QString& account, const std::optional<SecureBytes>& bytes) {
    if (bytes)
        backend.storeSecret(account, *bytes);
    else
        backend.removeSecret(account);
}

} // namespace

// The first of the backend's answer, the deadline's and the store's end is taken; the others are dropped.
// Lookups asked for while one of the same vault waits share its call, each with a deadline of its own.
struct SecretStore::Answer {
    std::mutex mutex;
    bool given = false;
    QPromise<Lookup> promise;
    std::vector<std::shared_ptr<Answer>> sharing;
    Answer() { promise.start(); }
    void give(Lookup result) {
        std::vector<std::shared_ptr<Answer>> others;
        {
            const std::lock_guard lock(mutex);
            if (std::exchange(given, true))
                return;
            promise.addResult(result);
            promise.finish();
            others.swap(sharing);
        }
        for (const std::shared_ptr<Answer>& other : others)
            other->give(result);
    }
    void share(std::shared_ptr<Answer> other) {
        const std::lock_guard lock(mutex);
        sharing.push_back(std::move(other));
    }
    void giveNoAnswer() { give({Lookup::Outcome::noAnswer, std::nullopt}); }
    bool isGiven() {
        const std::lock_guard lock(mutex);
        return given;
    }
    QFuture<Lookup> future() {
        const std::lock_guard lock(mutex);
        return promise.future();
    }
};

// The store's thread and its queue. Shared with the thread, which the store's end joins; one whose call
// is stuck in the backend past the end's deadline keeps only this and the backend alive.
struct SecretStore::Worker {
    struct Queued {
        Job job;
        QString account;
        std::shared_ptr<Answer> lookup; // null for a save or delete
    };
    std::mutex mutex;
    std::condition_variable wake; // a call came, or the store ends
    std::condition_variable idle; // a call ended
    std::deque<Queued> jobs;
    // Each account's lookup waiting in the queue with no save or delete of that account behind it.
    std::map<QString, std::shared_ptr<Answer>> waitingLookups;
    std::shared_ptr<Answer> runningLookup;
    QString runningWrite;
    bool busy = false; // a job is being run
    bool closed = false;
    // Accounts whose items are to go, and the file that keeps them across runs.
    QString recordPath;
    QStringList stale;

    // Called with the mutex held.
    void writeRecord() const {
        if (recordPath.isEmpty())
            return;
        if (stale.isEmpty()) {
            QFile::remove(recordPath);
            return;
        }
        QSaveFile file(recordPath);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(stale.join(QLatin1Char('\n')).toUtf8() + '\n');
        // Best effort by design: this runs as the program ends, with nobody left to tell. A record that
        // could not be written leaves the stale item in the keyring, as it was before the record existed.
        if (!file.commit())
            return;
    }
};

SecretStore::SecretStore(std::shared_ptr<Backend> backend)
    : backend_(std::move(backend)), worker_(std::make_shared<Worker>()) {}

SecretStore::~SecretStore() {
    std::unique_lock lock(worker_->mutex);
    worker_->closed = true;
    // Nobody waits for a lookup any more; what must still be done are the saves and deletes.
    std::erase_if(worker_->jobs, [](const Worker::Queued& queued) {
        if (queued.lookup)
            queued.lookup->giveNoAnswer();
        return queued.lookup != nullptr;
    });
    worker_->waitingLookups.clear();
    if (worker_->runningLookup)
        worker_->runningLookup->giveNoAnswer();
    worker_->wake.notify_all();
    // A lookup stuck in the backend holds up nothing: only saves and deletes are waited for.
    const bool settled = worker_->idle.wait_for(lock, endDeadline_, [this] {
        return worker_->jobs.empty() && worker_->runningWrite.isEmpty();
    });
    const bool stuck = worker_->busy;
    if (!settled) {
        // A save or delete that never gets through could leave the item it was to replace: that item goes
        // at the next start instead.
        QStringList accounts;
        if (!worker_->runningWrite.isEmpty())
            accounts.append(worker_->runningWrite);
        for (const Worker::Queued& queued : worker_->jobs)
            accounts.append(queued.account);
        worker_->jobs.clear();
        for (const QString& account : std::as_const(accounts))
            if (!worker_->stale.contains(account))
                worker_->stale.append(account);
    }
    if (!worker_->stale.isEmpty() || !settled)
        worker_->writeRecord();
    // Written down for the next start; the thread, should it ever come back, must not take it off.
    worker_->recordPath.clear();
    lock.unlock();
    if (thread_.joinable()) {
        if (!stuck)
            thread_.join();
        else
            thread_.detach();
    }
}

void SecretStore::setStaleRecord(const QString& path) {
    QStringList accounts;
    {
        const std::lock_guard lock(worker_->mutex);
        worker_->recordPath = path;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                const QString account = QString::fromUtf8(line.trimmed());
                if (!account.isEmpty() && !worker_->stale.contains(account))
                    worker_->stale.append(account);
            }
        }
        accounts = worker_->stale;
    }
    for (const QString& account : std::as_const(accounts)) {
        run(
            [worker = std::weak_ptr<Worker>(worker_), account](Backend& backend) {
                backend.removeSecret(account);
                if (const auto shared = worker.lock()) {
                    const std::lock_guard lock(shared->mutex);
                    shared->stale.removeAll(account);
                    shared->writeRecord();
                }
            },
            account);
    }
}

void SecretStore::setCallsInline(bool callsInline) {
    inline_ = callsInline;
}

int SecretStore::callsUnderWay() const {
    const std::lock_guard lock(worker_->mutex);
    return static_cast<int>(worker_->jobs.size()) + (worker_->busy ? 1 : 0);
}

void SecretStore::run(Job job, const QString& account, std::shared_ptr<Answer> lookup) {
    std::unique_lock lock(worker_->mutex);
    if (inline_ && !worker_->busy && worker_->jobs.empty()) {
        lock.unlock();
        job(*backend_);
        return;
    }
    if (lookup) {
        if (const auto waiting = worker_->waitingLookups.find(account); waiting != worker_->waitingLookups.end()) {
            waiting->second->share(lookup);
            return;
        }
        worker_->waitingLookups[account] = lookup;
    } else {
        // A lookup asked for after this must see what it does.
        worker_->waitingLookups.erase(account);
    }
    worker_->jobs.push_back({std::move(job), account, lookup});
    worker_->wake.notify_one();
    if (thread_.joinable())
        return;
    thread_ = std::thread([worker = worker_, backend = backend_] {
        std::unique_lock lock(worker->mutex);
        for (;;) {
            worker->wake.wait(lock, [&] { return !worker->jobs.empty() || worker->closed; });
            if (worker->jobs.empty())
                break;
            Worker::Queued next = std::move(worker->jobs.front());
            worker->jobs.pop_front();
            if (next.lookup) {
                const auto waiting = worker->waitingLookups.find(next.account);
                if (waiting != worker->waitingLookups.end() && waiting->second == next.lookup)
                    worker->waitingLookups.erase(waiting);
                worker->runningLookup = next.lookup;
            } else {
                worker->runningWrite = next.account;
            }
            worker->busy = true;
            lock.unlock();
            next.job(*backend);
            next = {};
            lock.lock();
            worker->busy = false;
            worker->runningLookup.reset();
            worker->runningWrite.clear();
            worker->idle.notify_all();
        }
    });
    return;
}

QString SecretStore::accountName(const QUuid& vaultId) {
    return uuidString(vaultId);
}

QFuture<std::optional<QString>> SecretStore::password(const QUuid& vaultId) {
    return lookUp(vaultId).then([](const Lookup& found) { return found.password; });
}

QFuture<SecretStore::Lookup> SecretStore::lookUp(const QUuid& vaultId) {
    const QString account = accountName(vaultId);
    auto answer = std::make_shared<Answer>();
    run(
        [answer, account](Backend& backend) {
            std::optional<QString> found = decodedPassword(backend.readSecret(account));
            const Lookup::Outcome outcome = found ? Lookup::Outcome::found : Lookup::Outcome::none;
            answer->give({outcome, std::move(found)});
        },
        account, answer);
    QFuture<Lookup> future = answer->future();
    if (answer->isGiven())
        return future;
    // The timer belongs to the application's thread, whichever thread asked.
    QObject* const app = QCoreApplication::instance();
    if (!app)
        return future;
    QMetaObject::invokeMethod(app, [app, answer, deadline = deadline_] {
        QTimer::singleShot(deadline, app, [answer] { answer->giveNoAnswer(); });
    });
    return future;
}

void SecretStore::savePassword(const QString& password, const QUuid& vaultId) {
    // Encoded here, so that the queue holds only wiped bytes, never another copy of the text.
    auto bytes = std::make_shared<std::optional<SecureBytes>>(encodedPassword(password));
    const QString account = accountName(vaultId);
    run([bytes, account](Backend& backend) { storeOrRemove(backend, account, *bytes); }, account);
}

void SecretStore::deletePassword(const QUuid& vaultId) {
    const QString account = accountName(vaultId);
    run([account](Backend& backend) { backend.removeSecret(account); }, account);
}

void SecretStore::forgetPasswordIf(const QUuid& vaultId, const QString& was) {
    auto bytes = std::make_shared<std::optional<SecureBytes>>(encodedPassword(was));
    const QString account = accountName(vaultId);
    run(
        [bytes, account](Backend& backend) {
            const std::optional<SecureBytes> saved = backend.readSecret(account);
            if (saved && *bytes && *saved == **bytes)
                backend.removeSecret(account);
        },
        account);
}

void SecretStore::replaceSavedPassword(const QUuid& vaultId, const QString& password, std::optional<QString> onlyIf) {
    auto bytes = std::make_shared<std::optional<SecureBytes>>(encodedPassword(password));
    std::shared_ptr<std::optional<SecureBytes>> expected;
    if (onlyIf)
        expected = std::make_shared<std::optional<SecureBytes>>(encodedPassword(*onlyIf));
    const QString account = accountName(vaultId);
    run(
        [bytes, expected, account](Backend& backend) {
            const std::optional<SecureBytes> saved = backend.readSecret(account);
            if (!saved || (expected && (!*expected || *saved != **expected)))
                return;
            storeOrRemove(backend, account, *bytes);
        },
        account);
}

} // namespace larkhold
