#pragma once

#include "HomeContext.h"
#include "HomeModels.h"

class QMenu;
class QPoint;
class QWidget;

namespace larkhold {

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
