#include "ShellStoreHost.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

namespace larkhold {

namespace {

void notice(const QString& message, const QString& informative) {
    auto* box = new QMessageBox(QMessageBox::Information, message, message, QMessageBox::Ok);
    box->setInformativeText(informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace

void ShellStoreHost::presentWaiting(const Vault& vault) {
    notice(QStringLiteral("Waiting for disk"),
           QStringLiteral("“%1” is on a disk that isn’t connected right now.\n\nLast known path:\n%2\n\nPlug in the "
                          "drive or reconnect the network share, then unlock.")
               .arg(vault.name, vault.bundlePath));
}

void ShellStoreHost::presentRelocated(const Vault& vault) {
    notice(QStringLiteral("“%1” is not in that location").arg(vault.name),
           QStringLiteral("The vault file isn’t at its last known path:\n\n%1").arg(vault.bundlePath));
}

void ShellStoreHost::showPocketWindow(PocketSession& session, const Vault& vault) {
    if (showPocketWindowCallback)
        showPocketWindowCallback(session, vault);
}

void ShellStoreHost::closePocketWindow(const QUuid& vaultId) {
    if (closePocketWindowCallback)
        closePocketWindowCallback(vaultId);
}

int ShellStoreHost::runAlert(const StoreAlert&) {
    return -1;
}

void ShellStoreHost::openFolder(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace larkhold
