#pragma once

#include "ShellActions.h"

#include <QMenu>
#include <QPointer>

namespace larkhold {

class VaultStore;

// The tray's plain menu. It is rebuilt from the store each time it is about to show, and while it is open whenever
// the store changes, so its entries always match the vaults as they are.
class TrayMenu : public QMenu {
    Q_OBJECT

public:
    TrayMenu(VaultStore& store, ShellActions actions, QWidget* parent = nullptr);

    void rebuild();

private:
    VaultStore& store_;
    ShellActions actions_;
    // The submenus of open vaults: children of this menu that clear() leaves behind.
    QList<QPointer<QMenu>> submenus_;
};

} // namespace larkhold
