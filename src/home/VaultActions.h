#pragma once

#include "Vault.h"

#include <functional>

namespace larkhold {

// The one table through which every design, card and menu acts on vaults. The main window fills
// it; each slot returns at once and starts its own work where the work takes time. Results show up
// in the store's state and in the main window's sheets and alerts.
struct VaultActions {
    using Action = std::function<void()>;
    using VaultAction = std::function<void(const Vault&)>;

    Action newVault;
    Action addExisting;
    VaultAction unlock;
    VaultAction usePassword;
    VaultAction lock;
    VaultAction openInFinder;
    VaultAction locate;
    VaultAction revealFile;
    VaultAction resize;
    VaultAction compact;
    VaultAction rename;
    VaultAction vaultSettings;
    VaultAction changePassword;
    VaultAction verify;
    VaultAction forget;
    VaultAction trash;
    Action lockAll;
};

} // namespace larkhold
