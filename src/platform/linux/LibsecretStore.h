#pragma once

#include "SecretStore.h"

namespace larkhold {

// Remembered passwords in the desktop's Secret Service (GNOME Keyring, KWallet and the like) through
// libsecret. Items carry the attributes "service" and "account" and the password's UTF-8 bytes as secret.
//
// The calls are synchronous, as callers expect; they are quick unless the service shows an unlock prompt.
// When the session has no D-Bus bus at all, nothing is attempted, so a missing session never makes the
// caller wait (nor starts a bus of its own).
class LibsecretStore final : public SecretStore {
public:
    LibsecretStore() = default;

protected:
    std::optional<SecureBytes> readSecret(const QString& account) override;
    void storeSecret(const QString& account, ByteView secret) override;
    void removeSecret(const QString& account) override;
};

} // namespace larkhold
