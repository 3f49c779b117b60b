#pragma once

#include "ShellActions.h"

#include <QMenu>
#include <QPointer>

namespace larkhold {

class VaultStatusCache;
class VaultStore;

// The tray's plain menu. It is rebuilt from the store each time it is about to show, and while it is open whenever
// the store changes, so its entries always match the vaults as they are. Where each vault's file is comes from the
// status cache: building the menu never looks at a file.
class TrayMenu : public QMenu {
    Q_OBJECT

public:
    // Without a status cache the menu keeps one of its own.
    TrayMenu(VaultStore& store, ShellActions actions, VaultStatusCache* status = nullptr, QWidget* parent = nullptr);

    void rebuild();

private:
    VaultStore& store_;
    ShellActions actions_;
    VaultStatusCache* status_;
    // The submenus of open vaults: children of this menu that clear() leaves behind.
    QList<QPointer<QMenu>> submenus_;
};

} // namespace larkhold
