#include "VaultFileLocation.h"

#include "FileLook.h"
#include "Glossary.h"
#include "HomeModels.h"
#include "OwnerCheck.h"
#include "VaultStore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>

namespace larkhold {

namespace {

FileLocationEnvironment& env() {
    static FileLocationEnvironment e;
    return e;
}

QWidget* parentWindow() {
    return env().parentWindow ? env().parentWindow() : nullptr;
}

// How long a look at a vault's file or folder may take before the disk counts as not answering.
constexpr std::chrono::milliseconds kLookDeadline{3000};

} // namespace

void VaultFileLocation::setEnvironment(FileLocationEnvironment environment) {
    env() = std::move(environment);
}

const FileLocationEnvironment& VaultFileLocation::environment() {
    return env();
}

QString VaultFileLocation::removeReason(const Vault& vault) {
    return QStringLiteral("remove the vault ") + quotedName(vault.name) + QStringLiteral(" from the list");
}

AlertSpec VaultFileLocation::relocatedAlert(const Vault& vault) {
    AlertSpec spec;
    spec.objectName = QStringLiteral("relocatedAlert");
    spec.text = quotedName(vault.name) + QStringLiteral(" is not in that location");
    spec.informativeText =
        QStringLiteral("The vault file isn’t at its last known path:\n\n") + vault.bundlePath +
        QStringLiteral("\n\nIf you moved or renamed it in the %1, locate the same file. Your saved password, %2, "
                       "and %3 stay attached. Remove from List forgets this row and its saved password; the file "
                       "stays on disk if you still have it.")
            .arg(glossary::fileManager, glossary::keyring, glossary::ownerCheck);
    spec.buttons = {QStringLiteral("Locate…"), QStringLiteral("Remove from List"), QStringLiteral("OK")};
    spec.defaultButton = 0;
    spec.cancelButton = 2;
    return spec;
}

AlertSpec VaultFileLocation::waitingAlert(const Vault& vault) {
    AlertSpec spec;
    spec.objectName = QStringLiteral("waitingAlert");
    spec.text = QStringLiteral("Waiting for disk");
    spec.informativeText =
        quotedName(vault.name) + QStringLiteral(" is on a disk that isn’t connected right now.\n\nLast known path:\n") +
        vault.bundlePath + QStringLiteral("\n\nPlug in the drive or reconnect the network share, then unlock.");
    spec.buttons = {QStringLiteral("OK")};
    spec.cancelButton = 0;
    return spec;
}

FileChoiceSpec VaultFileLocation::locatePanel(const Vault& vault) {
    FileChoiceSpec spec;
    spec.objectName = QStringLiteral("locatePanel");
    spec.acceptLabel = QStringLiteral("Locate Vault");
    spec.message = vault.kind == VaultKind::pocket
                       ? QStringLiteral("Choose the Pocket Vault file for ") + quotedName(vault.name) +
                             QStringLiteral(" (.pocketvault or .nosync).")
                       : QStringLiteral("Choose the vault file for ") + quotedName(vault.name) +
                             QStringLiteral(" (.sparsebundle or .nosync).");
    spec.directory = QFileInfo(vault.bundlePath).path();
    return spec;
}

void VaultFileLocation::reveal(const Vault& vault, VaultStore& store) {
    QPointer<VaultStore> guard(&store);
    const QString path = vault.bundlePath;
    lookOffThread<VaultFileState>(
        &store, [path] { return probeVaultFile(path); }, kLookDeadline, VaultFileState::unknown,
        [vault, guard](VaultFileState state) {
            if (!guard)
                return;
            switch (state) {
            case VaultFileState::present:
                if (env().showInFileManager)
                    env().showInFileManager(vault.bundlePath);
                else
                    showInFileManager(vault.bundlePath);
                return;
            case VaultFileState::fileMissing:
                presentRelocated(vault, *guard);
                return;
            case VaultFileState::waitingForDisk:
            case VaultFileState::unknown:
                presentWaiting(vault);
                return;
            }
        });
}

void VaultFileLocation::locate(const Vault& vault, VaultStore& store) {
    // Pointing an open or busy vault at another file would leave its volume, session or running
    // operation on a file the list no longer names.
    if (store.isUnlocked(vault.id)) {
        store.setErrorMessage(QStringLiteral("Lock %1 first, then locate its file.").arg(quotedName(vault.name)));
        return;
    }
    if (store.isBusy(vault.id)) {
        store.setErrorMessage(
            QStringLiteral("Wait until %1 is no longer busy, then locate its file.").arg(quotedName(vault.name)));
        return;
    }
    QPointer<VaultStore> guard(&store);
    // The panel opens in the file's old folder only when that folder answers in time: the panel reads
    // the folder it opens in on the GUI thread.
    const FileChoiceSpec panel = locatePanel(vault);
    lookOffThread<bool>(
        &store, [folder = panel.directory] { return QFileInfo(folder).isDir(); }, kLookDeadline, false,
        [vault, guard, panel](bool folderAnswers) {
            if (!guard)
                return;
            FileChoiceSpec spec = panel;
            if (!folderAnswers)
                spec.directory.clear();
            Dialogs::chooseFile(parentWindow(), spec, [vault, guard](std::optional<QString> path) {
                if (path && guard)
                    guard->relocate(vault, *path);
            });
        });
}

void VaultFileLocation::presentRelocated(const Vault& vault, VaultStore& store) {
    QPointer<VaultStore> guard(&store);
    Dialogs::alert(parentWindow(), relocatedAlert(vault), [vault, guard](int answer) {
        if (!guard)
            return;
        if (answer == 0)
            locate(vault, *guard);
        else if (answer == 1)
            removeFromList(vault, *guard);
    });
}

void VaultFileLocation::presentWaiting(const Vault& vault) {
    Dialogs::alert(parentWindow(), waitingAlert(vault), {});
}

QCoro::Task<> VaultFileLocation::removeFromList(Vault vault, VaultStore& store) {
    QPointer<VaultStore> guard(&store);
    if (vault.requireTouchID) {
        OwnerCheck* check = env().ownerCheck;
        if (!check)
            co_return; // no way to ask: the vault stays, as after a refused check
        const QString reason = removeReason(vault);
        auto asking = check->authenticate(reason);
        const bool passed = co_await asking;
        if (!passed || !guard)
            co_return;
    }
    auto forgetting = guard->forget(vault);
    co_await forgetting;
}

void VaultFileLocation::showInFileManager(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 10'000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, folder] {
        watcher->deleteLater();
        if (watcher->isError())
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });
}

FileChoiceSpec ContentView::addExistingPanel() {
    FileChoiceSpec spec;
    spec.objectName = QStringLiteral("addExistingPanel");
    spec.acceptLabel = QStringLiteral("Add Vault");
    spec.message = QStringLiteral("Choose a vault file (.sparsebundle, .pocketvault or .nosync)");
    return spec;
}

void ContentView::chooseExistingVault(VaultStore& store) {
    QPointer<VaultStore> guard(&store);
    Dialogs::chooseFile(parentWindow(), addExistingPanel(), [guard](std::optional<QString> path) {
        if (path && guard)
            guard->addExistingVault(*path);
    });
}

} // namespace larkhold
