#pragma once

#include "StoreHost.h"

#include <functional>

class QWidget;

namespace larkhold {

// The store's windows until the main window's own host takes over: plain non-modal notices for missing files, the
// Pocket Vault windows through two callbacks, folders through the desktop's opener.
class ShellStoreHost final : public StoreHost {
public:
    std::function<void(PocketSession&, const Vault&)> showPocketWindowCallback;
    std::function<void(const QUuid&)> closePocketWindowCallback;

    void presentWaiting(const Vault& vault) override;
    void presentRelocated(const Vault& vault) override;
    void showPocketWindow(PocketSession& session, const Vault& vault) override;
    void closePocketWindow(const QUuid& vaultId) override;
    // Without a window to ask in, every question counts as cancelled.
    int runAlert(const StoreAlert& alert) override;
    void openFolder(const QString& path) override;
};

} // namespace larkhold
