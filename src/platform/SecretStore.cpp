#include "SecretStore.h"

#include "UuidText.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPromise>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTimer>
#include <condition_variable>
#include <deque>
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

// The store's thread and its queue. Shared with the thread, which ends once the store is gone and the
// queue is empty; a call stuck in the backend keeps only the thread and the backend alive.
struct SecretStore::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool running = false; // a thread is there
    bool busy = false;    // a job is being run
    bool closed = false;
};

SecretStore::SecretStore(std::shared_ptr<Backend> backend)
    : backend_(std::move(backend)), worker_(std::make_shared<Worker>()) {}

SecretStore::~SecretStore() {
    const std::lock_guard lock(worker_->mutex);
    worker_->closed = true;
    worker_->wake.notify_all();
}

void SecretStore::setCallsInline(bool callsInline) {
    inline_ = callsInline;
}

int SecretStore::callsUnderWay() const {
    const std::lock_guard lock(worker_->mutex);
    return static_cast<int>(worker_->jobs.size()) + (worker_->busy ? 1 : 0);
}

void SecretStore::run(Job job) {
    std::unique_lock lock(worker_->mutex);
    if (inline_ && !worker_->busy && worker_->jobs.empty()) {
        lock.unlock();
        job(*backend_);
        return;
    }
    worker_->jobs.push_back(std::move(job));
    worker_->wake.notify_one();
    if (worker_->running)
        return;
    worker_->running = true;
    std::thread([worker = worker_, backend = backend_] {
        std::unique_lock lock(worker->mutex);
        for (;;) {
            worker->wake.wait(lock, [&] { return !worker->jobs.empty() || worker->closed; });
            if (worker->jobs.empty())
                break;
            Job next = std::move(worker->jobs.front());
            worker->jobs.pop_front();
            worker->busy = true;
            lock.unlock();
            next(*backend);
            next = nullptr;
            lock.lock();
            worker->busy = false;
        }
        worker->running = false;
    }).detach();
}

QString SecretStore::accountName(const QUuid& vaultId) {
    return uuidString(vaultId);
}

QFuture<std::optional<QString>> SecretStore::password(const QUuid& vaultId) {
    // The first of the backend's answer and the deadline's is taken; the other is dropped.
    struct Answer {
        std::mutex mutex;
        bool given = false;
        QPromise<std::optional<QString>> promise;
        void give(std::optional<QString> result) {
            const std::lock_guard lock(mutex);
            if (std::exchange(given, true))
                return;
            promise.addResult(std::move(result));
            promise.finish();
        }
        bool isGiven() {
            const std::lock_guard lock(mutex);
            return given;
        }
    };
    auto answer = std::make_shared<Answer>();
    QFuture<std::optional<QString>> future = answer->promise.future();
    answer->promise.start();
    run([answer, account = accountName(vaultId)](Backend& backend) {
        answer->give(decodedPassword(backend.readSecret(account)));
    });
    if (answer->isGiven())
        return future;
    // The timer belongs to the application's thread, whichever thread asked.
    QObject* const app = QCoreApplication::instance();
    if (!app)
        return future;
    QMetaObject::invokeMethod(app, [app, answer, deadline = deadline_] {
        QTimer::singleShot(deadline, app, [answer] { answer->give(std::nullopt); });
    });
    return future;
}

void SecretStore::savePassword(const QString& password, const QUuid& vaultId) {
    // Encoded here, so that the queue holds only wiped bytes, never another copy of the text.
    auto bytes = std::make_shared<std::optional<SecureBytes>>(encodedPassword(password));
    run([bytes, account = accountName(vaultId)](Backend& backend) { storeOrRemove(backend, account, *bytes); });
}

void SecretStore::deletePassword(const QUuid& vaultId) {
    run([account = accountName(vaultId)](Backend& backend) { backend.removeSecret(account); });
}

void SecretStore::forgetPasswordIf(const QUuid& vaultId, const QString& was) {
    auto bytes = std::make_shared<std::optional<SecureBytes>>(encodedPassword(was));
    run([bytes, account = accountName(vaultId)](Backend& backend) {
        const std::optional<SecureBytes> saved = backend.readSecret(account);
        if (saved && *bytes && *saved == **bytes)
            backend.removeSecret(account);
    });
}

void SecretStore::replaceSavedPassword(const QUuid& vaultId, const QString& password, std::optional<QString> onlyIf) {
    auto bytes = std::make_shared<std::optional<SecureBytes>>(encodedPassword(password));
    std::shared_ptr<std::optional<SecureBytes>> expected;
    if (onlyIf)
        expected = std::make_shared<std::optional<SecureBytes>>(encodedPassword(*onlyIf));
    run([bytes, expected, account = accountName(vaultId)](Backend& backend) {
        const std::optional<SecureBytes> saved = backend.readSecret(account);
        if (!saved || (expected && (!*expected || *saved != **expected)))
            return;
        storeOrRemove(backend, account, *bytes);
    });
}

} // namespace larkhold
