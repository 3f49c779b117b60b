#include "FakeSecretStore.h"

#include <QStringDecoder>
#include <condition_variable>
#include <mutex>

namespace larkhold {

class FakeSecretStore::Memory final : public SecretStore::Backend {
public:
    std::optional<SecureBytes> readSecret(const QString& account) override {
        std::unique_lock lock = begin(Operation::read, account);
        if (!available)
            return std::nullopt;
        const auto it = items.find(account);
        if (it == items.end())
            return std::nullopt;
        return it->second;
    }

    void storeSecret(const QString& account, ByteView secret) override {
        std::unique_lock lock = begin(Operation::save, account);
        if (!available)
            return;
        if (failSaves) {
            items.erase(account);
            return;
        }
        items[account] = toSecure(secret);
    }

    void removeSecret(const QString& account) override {
        std::unique_lock lock = begin(Operation::remove, account);
        if (available)
            items.erase(account);
    }

    // Records the call and, while hanging, waits for the answer.
    std::unique_lock<std::mutex> begin(Operation operation, const QString& account) {
        std::unique_lock lock(mutex);
        calls.append({operation, account});
        ++waiting;
        answered.wait(lock, [this] { return !hanging; });
        --waiting;
        return lock;
    }

    mutable std::mutex mutex;
    std::condition_variable answered;
    std::map<QString, SecureBytes> items;
    QList<Call> calls;
    bool available = true;
    bool failSaves = false;
    bool hanging = false;
    int waiting = 0;
    int stores = 0;
};

FakeSecretStore::FakeSecretStore() : FakeSecretStore(std::make_shared<Memory>()) {}

FakeSecretStore::FakeSecretStore(std::shared_ptr<Memory> memory) : SecretStore(memory), memory_(std::move(memory)) {
    const std::lock_guard lock(memory_->mutex);
    ++memory_->stores;
    setCallsInline(!memory_->hanging);
}

FakeSecretStore::~FakeSecretStore() {
    bool last = false;
    {
        const std::lock_guard lock(memory_->mutex);
        last = --memory_->stores == 0;
    }
    if (last)
        answer();
}

std::unique_ptr<FakeSecretStore> FakeSecretStore::nextStart() const {
    return std::unique_ptr<FakeSecretStore>(new FakeSecretStore(memory_));
}

void FakeSecretStore::setServiceAvailable(bool available) {
    const std::lock_guard lock(memory_->mutex);
    memory_->available = available;
}

void FakeSecretStore::setFailSaves(bool fail) {
    const std::lock_guard lock(memory_->mutex);
    memory_->failSaves = fail;
}

void FakeSecretStore::hang() {
    const std::lock_guard lock(memory_->mutex);
    memory_->hanging = true;
    setCallsInline(false);
}

void FakeSecretStore::answer() {
    const std::lock_guard lock(memory_->mutex);
    memory_->hanging = false;
    memory_->answered.notify_all();
    setCallsInline(true);
}

int FakeSecretStore::waitingCalls() const {
    const std::lock_guard lock(memory_->mutex);
    return memory_->waiting;
}

std::optional<SecureBytes> FakeSecretStore::storedSecret(const QUuid& vaultId) const {
    const std::lock_guard lock(memory_->mutex);
    const auto it = memory_->items.find(accountName(vaultId));
    if (it == memory_->items.end())
        return std::nullopt;
    return it->second;
}

std::optional<QString> FakeSecretStore::saved(const QUuid& vaultId) const {
    const std::optional<SecureBytes> bytes = storedSecret(vaultId);
    if (!bytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text =
        decoder(QByteArrayView(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size())));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

void FakeSecretStore::plantSecret(const QUuid& vaultId, ByteView bytes) {
    const std::lock_guard lock(memory_->mutex);
    memory_->items[accountName(vaultId)] = toSecure(bytes);
}

int FakeSecretStore::itemCount() const {
    const std::lock_guard lock(memory_->mutex);
    return static_cast<int>(memory_->items.size());
}

QList<FakeSecretStore::Call> FakeSecretStore::calls() const {
    const std::lock_guard lock(memory_->mutex);
    return memory_->calls;
}

void FakeSecretStore::clearCalls() {
    const std::lock_guard lock(memory_->mutex);
    memory_->calls.clear();
}

} // namespace larkhold
