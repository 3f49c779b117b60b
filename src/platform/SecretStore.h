#pragma once

#include "SecureBytes.h"

#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

// Remembered vault passwords, one item per vault, kept by the desktop's secret service.
//
// Items are keyed by a fixed service text and the vault id as an account name, and hold the password's
// UTF-8 bytes; that key and byte form are what any backend must keep. None of the operations fails towards
// the caller: a missing, unreadable or undecodable item reads as "no remembered password", and a save or
// delete that the backend cannot carry out is silent, because the caller then simply asks for the password.
//
// The public operations are fixed here so that the account text, the UTF-8 conversion and the wiping of
// temporary bytes are the same for every backend; a backend only moves bytes.
class SecretStore {
public:
    // The service every item is filed under; shared with the application's predecessor.
    static constexpr const char* service = "com.quillmere.TarnFolder";

    virtual ~SecretStore() = default;

    // The remembered password of a vault, or nothing when there is none, no secret service answers,
    // or the stored bytes are not valid UTF-8.
    std::optional<QString> password(const QUuid& vaultId);

    // Remembers a password for a vault, replacing any earlier one, so there is never more than one item per
    // vault. When the backend cannot store it, the vault is left with no remembered password at all (never a
    // stale one) and nobody is told.
    void savePassword(const QString& password, const QUuid& vaultId);

    // Forgets the remembered password of a vault. A vault without one is no error.
    void deletePassword(const QUuid& vaultId);

    // The account text of a vault: 36 characters, upper-case hexadecimal, 8-4-4-4-12, no braces.
    static QString accountName(const QUuid& vaultId);

protected:
    SecretStore() = default;
    SecretStore(const SecretStore&) = default;
    SecretStore& operator=(const SecretStore&) = default;

    virtual std::optional<SecureBytes> readSecret(const QString& account) = 0;
    // Must leave exactly one item for the account on success and none on failure.
    virtual void storeSecret(const QString& account, ByteView secret) = 0;
    virtual void removeSecret(const QString& account) = 0;
};

// The name the rest of the application knows the remembered-password store by.
using Keychain = SecretStore;

} // namespace larkhold
