#pragma once

#include "SecretStore.h"

#include <QList>
#include <map>
#include <memory>

namespace larkhold {

// In-memory secret store for tests. Keeps items by account text and records every operation, and can play
// a desktop without a secret service, one that refuses to store, or one that stops answering.
//
// Its calls run at once on the caller's thread, as an in-memory store cannot hang; after hang() they run
// on the store's thread and wait there until answer().
class FakeSecretStore final : public SecretStore {
public:
    enum class Operation { read, save, remove };
    struct Call {
        Operation operation;
        QString account;
        friend bool operator==(const Call&, const Call&) = default;
    };

    FakeSecretStore();
    // The last store on its keyring answers whatever still waits, so that the store's thread ends.
    ~FakeSecretStore() override;
    // Another store on the same keyring, as the application's next start would have; while it lives, the
    // keyring goes on hanging past this store's end.
    std::unique_ptr<FakeSecretStore> nextStart() const;

    // Without a service nothing is read, stored or removed, as on a session without a secret service.
    void setServiceAvailable(bool available);
    // Saves fail (the earlier item is still removed, as the real backend does).
    void setFailSaves(bool fail);

    // From now on every call waits, as a keyring behind a prompt nobody answers, until answer(); the calls
    // then go on in order.
    void hang();
    void answer();
    // Calls that have begun and wait for answer().
    int waitingCalls() const;
    // Calls made since hang() that have not ended, begun or not.
    using SecretStore::callsUnderWay;

    // The raw bytes stored for a vault, bypassing decoding and the store's thread; nothing when there is no
    // item.
    std::optional<SecureBytes> storedSecret(const QUuid& vaultId) const;
    // The stored password, decoded as a read would, bypassing the store's thread.
    std::optional<QString> saved(const QUuid& vaultId) const;
    // Places raw bytes under a vault's account, e.g. bytes that are not UTF-8.
    void plantSecret(const QUuid& vaultId, ByteView bytes);
    int itemCount() const;

    QList<Call> calls() const;
    void clearCalls();

private:
    class Memory;
    explicit FakeSecretStore(std::shared_ptr<Memory> memory);
    std::shared_ptr<Memory> memory_;
};

} // namespace larkhold
