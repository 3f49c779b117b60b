#include "HomeStoreHost.h"

#include "Dialogs.h"
#include "VaultFileLocation.h"
#include "VaultStore.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

namespace larkhold {

HomeStoreHost::HomeStoreHost(OwnerCheck* ownerCheck) : ownerCheck_(ownerCheck) {
    updateEnvironment();
}

void HomeStoreHost::setStore(VaultStore* store) {
    store_ = store;
}

void HomeStoreHost::setParentWindow(std::function<QWidget*()> parentWindow) {
    parentWindow_ = std::move(parentWindow);
    updateEnvironment();
}

void HomeStoreHost::updateEnvironment() {
    FileLocationEnvironment environment = VaultFileLocation::environment();
    environment.ownerCheck = ownerCheck_;
    environment.parentWindow = [this]() -> QWidget* {
        QWidget* window = parentWindow_ ? parentWindow_() : nullptr;
        return window && window->isVisible() ? window : nullptr;
    };
    VaultFileLocation::setEnvironment(std::move(environment));
}

void HomeStoreHost::presentWaiting(const Vault& vault) {
    VaultFileLocation::presentWaiting(vault);
}

void HomeStoreHost::presentRelocated(const Vault& vault) {
    VaultStore* store = store_ ? store_.data() : VaultStore::shared();
    if (store)
        VaultFileLocation::presentRelocated(vault, *store);
}

void HomeStoreHost::showPocketWindow(PocketSession& session, const Vault& vault) {
    if (showPocketWindowCallback)
        showPocketWindowCallback(session, vault);
}

void HomeStoreHost::closePocketWindow(const QUuid& vaultId) {
    if (closePocketWindowCallback)
        closePocketWindowCallback(vaultId);
}

int HomeStoreHost::runAlert(const StoreAlert& alert) {
    AlertSpec spec;
    spec.objectName = QStringLiteral("storeAlert");
    spec.text = alert.message;
    spec.informativeText = alert.informativeText;
    spec.buttons = alert.buttons;
    spec.icon = QMessageBox::Information;
    spec.cancelButton = int(alert.buttons.indexOf(QStringLiteral("Cancel")));
    QWidget* parent =
        VaultFileLocation::environment().parentWindow ? VaultFileLocation::environment().parentWindow() : nullptr;
    return Dialogs::runAlert(parent, spec);
}

void HomeStoreHost::openFolder(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace larkhold
