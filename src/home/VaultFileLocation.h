#pragma once

#include "Dialogs.h"
#include "Vault.h"

#include <QCoroTask>
#include <functional>

class QWidget;

namespace larkhold {

class OwnerCheck;
class VaultStore;

// What the missing-file operations need beyond their arguments; the application (through
// HomeStoreHost) sets it once. The tray menu and panel call these operations with a vault and the
// store only, so the rest cannot be a parameter.
struct FileLocationEnvironment {
    // Asked before a vault that wants it leaves the list; without one such a vault stays listed.
    OwnerCheck* ownerCheck = nullptr;
    // The window alerts and panels open over; none makes them application-modal.
    std::function<QWidget*()> parentWindow;
    // Shows one file selected in the file manager; the default asks the desktop's file manager over
    // D-Bus and opens the parent folder when none answers.
    std::function<void(const QString& path)> showInFileManager;
};

// The operations for a vault file that is not at its path, and showing one that is.
class VaultFileLocation {
public:
    static void setEnvironment(FileLocationEnvironment environment);
    static const FileLocationEnvironment& environment();

    // Shows the file in the file manager, or says why it cannot (one of the two alerts below). The
    // look at the file runs off the GUI thread.
    static void reveal(const Vault& vault, VaultStore& store);
    // Lets the user pick the file's new place and points the vault at it. An open or busy vault is
    // refused: its file must not change under it.
    static void locate(const Vault& vault, VaultStore& store);
    // The file is not at its path although its disk is there: locate it, remove the vault, or leave it.
    static void presentRelocated(const Vault& vault, VaultStore& store);
    // The file is on a disk that is not connected.
    static void presentWaiting(const Vault& vault);

    // Removes the vault from the list after the owner check it asks for; nothing when that fails.
    static QCoro::Task<> removeFromList(Vault vault, VaultStore& store);

    // What the operations show, for tests and screens.
    static AlertSpec relocatedAlert(const Vault& vault);
    static AlertSpec waitingAlert(const Vault& vault);
    static FileChoiceSpec locatePanel(const Vault& vault);
    static QString removeReason(const Vault& vault);

    // The desktop's file manager with one item selected; the folder around it when that fails.
    static void showInFileManager(const QString& path);
};

// The window's content: the open panel that adds a vault not yet in the list (also used by the tray).
class ContentView {
public:
    static void chooseExistingVault(VaultStore& store);
    static FileChoiceSpec addExistingPanel();
};

} // namespace larkhold
