#pragma once

// What the Native Pro, Night Watch and Soft Focus designs share besides the kit's painted pieces
// (DesignWidgets.h): how they read a vault, follow changes and keep one widget per vault.

#include "DesignWidgets.h"
#include "HomeContext.h"
#include "HomeModels.h"
#include "Theme.h"

#include <QBoxLayout>
#include <QHash>
#include <QList>
#include <QUuid>
#include <QWidget>
#include <functional>

namespace larkhold {

class Clock;

// The clock a design reads: the one given, else the wall clock.
const Clock& designClock(const Clock* given);

// What the designs read of one vault at one moment: the shared card decisions (open, busy, file
// state, used fraction, sealed, caption, controls) and the bytes used.
struct DesignVault {
    VaultCardModel model;
    qint64 usedBytes = 0;
};
DesignVault readVault(const Vault& vault, const HomeContext& context, Date now);

// Calls one vault slot of the action table, when it is set.
void act(const VaultActions::VaultAction& action, const Vault& vault);
void act(const VaultActions::Action& action);

// The auto-lock setting as the designs show it (the registered default without settings).
struct AutoLockSetting {
    bool enabled = false;
    qint64 minutes = 0;
};
AutoLockSetting autoLockSetting(const HomeContext& context);

// What a design reads again on besides the store's open, busy and size changes (a round of sizes
// is one change), the cached file states and the clock.
struct DesignSources {
    // The vault list; off where the design follows the list itself.
    bool vaultList = true;
    bool activity = false;
    bool autoLock = false;
};

// Calls `refresh` whenever what `design` shows may have changed: the sources above, and every 30
// seconds so that relative times and greetings age while nothing else changes.
void refreshOnChanges(QWidget* design, const HomeContext& context, DesignSources sources,
                      std::function<void()> refresh);
// Ctrl+N anywhere in the design's window starts a new vault.
void addNewVaultShortcut(QWidget* design, const HomeContext& context);

// Shows the commands for a vault's state and hides the others: the spinner while busy, Open and
// Lock while open, Locate for a missing file, else Unlock.
void showCommands(VaultCardModel::Controls controls, QWidget* progress, QWidget* open, QWidget* lock, QWidget* locate,
                  QWidget* unlock);

// Whether `vaults` holds a record of the vault `id`.
bool listsVault(const QList<Vault>& vaults, const QUuid& id);

// One widget per listed vault, kept across refreshes so that a card keeps its state: a record of an
// id already seen shows once, and the widget of a vault that left the list is deleted.
template <class W> class VaultWidgets {
public:
    // Brings the widgets in line with `vaults`, in list order in `layout` from index `first`.
    // `make(vault)` builds a missing widget; `show(widget, vault, position)` updates each.
    template <class Make, class Show>
    void sync(const QList<Vault>& vaults, QBoxLayout* layout, int first, Make make, Show show) {
        QList<QUuid> order;
        for (const Vault& vault : vaults) {
            if (!order.contains(vault.id))
                order.append(vault.id);
        }
        for (auto it = widgets_.begin(); it != widgets_.end();) {
            if (!order.contains(it.key())) {
                delete it.value();
                it = widgets_.erase(it);
            } else {
                ++it;
            }
        }
        qsizetype position = 0;
        for (const Vault& vault : vaults) {
            if (order.indexOf(vault.id) != position)
                continue;
            W* widget = widgets_.value(vault.id);
            if (!widget) {
                widget = make(vault);
                widgets_.insert(vault.id, widget);
            }
            // Moved only when out of place: every move lays the whole list out again.
            if (layout->indexOf(widget) != first + int(position)) {
                layout->removeWidget(widget);
                layout->insertWidget(first + int(position), widget);
            }
            show(widget, vault, position);
            ++position;
        }
        order_ = std::move(order);
    }

    W* value(const QUuid& id) const { return widgets_.value(id); }
    // In list order; with `shownOnly`, only those not hidden (a search lets the others through).
    QList<W*> inOrder(bool shownOnly) const {
        QList<W*> widgets;
        for (const QUuid& id : order_) {
            W* widget = widgets_.value(id);
            if (widget && (!shownOnly || !widget->isHidden()))
                widgets.append(widget);
        }
        return widgets;
    }

private:
    QHash<QUuid, W*> widgets_;
    QList<QUuid> order_;
};

} // namespace larkhold
