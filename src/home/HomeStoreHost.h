#pragma once

#include "StoreHost.h"

#include <QPointer>
#include <functional>

class QWidget;

namespace larkhold {

class OwnerCheck;
class VaultStore;

// The store's windows: the missing-file alerts, its modal questions and opening folders. The Pocket
// Vault windows belong to another library, so those two calls go to callbacks the application sets.
class HomeStoreHost final : public StoreHost {
public:
    // `ownerCheck` guards removing a vault that asks for it from the missing-file alert.
    explicit HomeStoreHost(OwnerCheck* ownerCheck);

    // The store is built with this host, so it is handed over afterwards.
    void setStore(VaultStore* store);
    // The window alerts open over (the main window while it is shown); none makes them application-modal.
    void setParentWindow(std::function<QWidget*()> parentWindow);

    // Set by the application to the Pocket Vault windows.
    std::function<void(PocketSession&, const Vault&)> showPocketWindowCallback;
    std::function<void(const QUuid&)> closePocketWindowCallback;

    void presentWaiting(const Vault& vault) override;
    void presentRelocated(const Vault& vault) override;
    void showPocketWindow(PocketSession& session, const Vault& vault) override;
    void closePocketWindow(const QUuid& vaultId) override;
    int runAlert(const StoreAlert& alert) override;
    void openFolder(const QString& path) override;

private:
    void updateEnvironment();

    OwnerCheck* ownerCheck_;
    QPointer<VaultStore> store_;
    std::function<QWidget*()> parentWindow_;
};

} // namespace larkhold
