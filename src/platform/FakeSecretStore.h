#pragma once

#include "SecretStore.h"

#include <QList>
#include <map>

namespace larkhold {

// In-memory secret store for tests. Keeps items by account text and records every operation, and can play
// a desktop without a secret service or one that refuses to store.
class FakeSecretStore final : public SecretStore {
public:
    enum class Operation { read, save, remove };
    struct Call {
        Operation operation;
        QString account;
        friend bool operator==(const Call&, const Call&) = default;
    };

    // Without a service nothing is read, stored or removed, as on a session without a secret service.
    void setServiceAvailable(bool available) { m_available = available; }
    // Saves fail (the earlier item is still removed, as the real backend does).
    void setFailSaves(bool fail) { m_failSaves = fail; }

    // Places raw bytes under a vault's account, e.g. bytes that are not UTF-8.
    void plantSecret(const QUuid& vaultId, ByteView bytes);
    // The raw bytes stored for a vault, bypassing decoding; nothing when there is no item.
    std::optional<SecureBytes> storedSecret(const QUuid& vaultId) const;
    int itemCount() const { return static_cast<int>(m_items.size()); }

    const QList<Call>& calls() const { return m_calls; }
    void clearCalls() { m_calls.clear(); }

protected:
    std::optional<SecureBytes> readSecret(const QString& account) override;
    void storeSecret(const QString& account, ByteView secret) override;
    void removeSecret(const QString& account) override;

private:
    std::map<QString, SecureBytes> m_items;
    QList<Call> m_calls;
    bool m_available = true;
    bool m_failSaves = false;
};

} // namespace larkhold
