#pragma once

#include "SecretStore.h"

namespace larkhold {

// Remembered passwords in the desktop's Secret Service (GNOME Keyring, KWallet and the like) through
// libsecret. Items carry the attributes "service" and "account" and the password's UTF-8 bytes as secret.
//
// libsecret's calls wait for the service, which may show an unlock prompt or not answer at all; they run on
// the store's own thread (see SecretStore). When the session has no D-Bus bus at all, nothing is attempted,
// so a missing session answers at once (and starts no bus of its own).
class LibsecretStore final : public SecretStore {
public:
    LibsecretStore();

private:
    class LibsecretBackend;
};

} // namespace larkhold
