#include "VaultContextMenu.h"

#include "Theme.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QPointer>
#include <QStyleOptionMenuItem>

namespace larkhold {

namespace {
const char* const destructiveProperty = "larkholdDestructive";
}

QStyleOptionMenuItem VaultMenu::styleOptionFor(const QAction* action) const {
    QStyleOptionMenuItem option;
    initStyleOption(&option, action);
    return option;
}

void VaultMenu::initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const {
    QMenu::initStyleOption(option, action);
    if (!action || !action->property(destructiveProperty).toBool() || !action->isEnabled())
        return;
    // The highlighted row keeps its own text colour so it stays readable on the selection.
    const QColor red = Theme::systemRed(option->palette);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        for (const QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
            option->palette.setColor(group, role, red);
}

VaultMenuInput VaultContextMenu::inputFor(const Vault& vault, const HomeContext& context) {
    VaultMenuInput input;
    input.vault = vault;
    if (context.store) {
        input.open = context.store->isUnlocked(vault.id);
        input.busy = context.store->isBusy(vault.id);
    }
    if (context.status)
        input.fileState = context.status->fileState(vault.id);
    return input;
}

void VaultContextMenu::populate(QMenu& menu, const Vault& vault, const HomeContext& context) {
    const VaultActions actions = context.actions;
    QPointer<VaultStore> store(context.store);
    for (const VaultMenuEntry& entry : vaultMenuEntries(inputFor(vault, context))) {
        if (entry.item == VaultMenuItem::separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(entry.title);
        action->setData(int(entry.item));
        action->setCheckable(entry.checkable);
        action->setChecked(entry.checked);
        action->setProperty(destructiveProperty, entry.destructive);
        auto call = [](const VaultActions::VaultAction& slot, const Vault& v) {
            if (slot)
                slot(v);
        };
        switch (entry.item) {
        case VaultMenuItem::locate:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.locate, vault); });
            break;
        case VaultMenuItem::reveal:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.revealFile, vault); });
            break;
        case VaultMenuItem::settings:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.vaultSettings, vault); });
            break;
        case VaultMenuItem::secondPassword:
            QObject::connect(action, &QAction::triggered, [=] {
                if (store)
                    store->requestSecondPasswordSetup(vault);
            });
            break;
        case VaultMenuItem::rename:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.rename, vault); });
            break;
        case VaultMenuItem::changePassword:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.changePassword, vault); });
            break;
        case VaultMenuItem::resize:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.resize, vault); });
            break;
        case VaultMenuItem::compact:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.compact, vault); });
            break;
        case VaultMenuItem::verify:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.verify, vault); });
            break;
        case VaultMenuItem::keepOutOfCloud:
            // The vault as it was when the menu was built, and the flag the user asked for; the
            // store refuses a vault that was opened since.
            QObject::connect(action, &QAction::triggered, [=](bool excluded) {
                if (store)
                    store->setCloudExclusion(vault, excluded);
            });
            break;
        case VaultMenuItem::forget:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.forget, vault); });
            break;
        case VaultMenuItem::trash:
            QObject::connect(action, &QAction::triggered, [=] { call(actions.trash, vault); });
            break;
        case VaultMenuItem::separator:
            break;
        }
    }
}

QMenu* VaultContextMenu::create(const Vault& vault, const HomeContext& context, QWidget* parent) {
    auto* menu = new VaultMenu(parent);
    menu->setObjectName(QStringLiteral("vaultContextMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    populate(*menu, vault, context);
    return menu;
}

QMenu* VaultContextMenu::popup(const Vault& vault, const HomeContext& context, QWidget* parent,
                               const QPoint& globalPos) {
    QMenu* menu = create(vault, context, parent);
    menu->popup(globalPos);
    return menu;
}

} // namespace larkhold
