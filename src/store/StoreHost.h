#pragma once

#include "Vault.h"

#include <QString>
#include <QStringList>
#include <QUuid>

namespace larkhold {

class PocketSession;

// A modal question the store puts to the user.
struct StoreAlert {
    QString message;
    QString informativeText;
    QStringList buttons; // first is the default
};

// What the store asks of the windows around it. The store itself has no windows; the application
// implements this on top of its dialogs, tests with a recorder. Every call is made on the main
// thread and the modal ones return when the user has answered.
class StoreHost {
public:
    virtual ~StoreHost() = default;

    // The vault's file is missing and so is the disk it was on.
    virtual void presentWaiting(const Vault& vault) = 0;
    // The vault's file is missing although its disk is there: offer to locate it or to forget it.
    virtual void presentRelocated(const Vault& vault) = 0;

    // Brings the window of an open Pocket Vault forward, creating it when there is none.
    virtual void showPocketWindow(PocketSession& session, const Vault& vault) = 0;
    // Closes the window of a Pocket Vault without asking anything; nothing when it has none.
    virtual void closePocketWindow(const QUuid& vaultId) = 0;

    // Runs a modal alert; returns the index of the button chosen, -1 when it was dismissed otherwise.
    virtual int runAlert(const StoreAlert& alert) = 0;

    // Shows a folder in the file manager the plain way, when the desktop's opener failed.
    virtual void openFolder(const QString& path) = 0;

protected:
    StoreHost() = default;
    StoreHost(const StoreHost&) = default;
    StoreHost& operator=(const StoreHost&) = default;
};

} // namespace larkhold
