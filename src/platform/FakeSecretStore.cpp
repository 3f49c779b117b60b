#include "FakeSecretStore.h"

namespace larkhold {

void FakeSecretStore::plantSecret(const QUuid& vaultId, ByteView bytes) {
    m_items[accountName(vaultId)] = toSecure(bytes);
}

std::optional<SecureBytes> FakeSecretStore::storedSecret(const QUuid& vaultId) const {
    const auto it = m_items.find(accountName(vaultId));
    if (it == m_items.end())
        return std::nullopt;
    return it->second;
}

std::optional<SecureBytes> FakeSecretStore::readSecret(const QString& account) {
    m_calls.append({Operation::read, account});
    if (!m_available)
        return std::nullopt;
    const auto it = m_items.find(account);
    if (it == m_items.end())
        return std::nullopt;
    return it->second;
}

void FakeSecretStore::storeSecret(const QString& account, ByteView secret) {
    m_calls.append({Operation::save, account});
    if (!m_available)
        return;
    if (m_failSaves) {
        m_items.erase(account);
        return;
    }
    m_items[account] = toSecure(secret);
}

void FakeSecretStore::removeSecret(const QString& account) {
    m_calls.append({Operation::remove, account});
    if (m_available)
        m_items.erase(account);
}

} // namespace larkhold
