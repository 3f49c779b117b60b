#pragma once

#include "HomeContext.h"
#include "HomeModels.h"

#include <QMenu>
#include <QStyleOptionMenuItem>

class QPoint;
class QWidget;

namespace larkhold {

// A menu that draws the entries marked destructive (populate() marks them) in the desktop's red,
// as the desktop's own menus do for actions that destroy something.
class VaultMenu : public QMenu {
    Q_OBJECT

public:
    using QMenu::QMenu;
    QStyleOptionMenuItem styleOptionFor(const QAction* action) const;

protected:
    void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override;
};

// The one right-click menu of a vault, the same in every design. Built afresh each time it opens,
// from the store and the cached file state; it acts through the action table, except for the second
// password and the cloud-sync toggle, which go to the store.
class VaultContextMenu {
public:
    static VaultMenuInput inputFor(const Vault& vault, const HomeContext& context);
    // Fills `menu` with the entries for the vault as it is now.
    static void populate(QMenu& menu, const Vault& vault, const HomeContext& context);
    // A new menu that deletes itself once closed.
    static QMenu* create(const Vault& vault, const HomeContext& context, QWidget* parent);
    static QMenu* popup(const Vault& vault, const HomeContext& context, QWidget* parent, const QPoint& globalPos);
};

} // namespace larkhold
