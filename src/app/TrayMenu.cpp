#include "TrayMenu.h"

#include "MenuBarModel.h"
#include "Symbols.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

namespace larkhold {

namespace {
// A vault's name is the user's text: an "&" in it is a character, not a keyboard mnemonic.
QString menuText(QString text) {
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}
} // namespace

TrayMenu::TrayMenu(VaultStore& store, ShellActions actions, VaultStatusCache* status, QWidget* parent)
    : QMenu(parent), store_(store), actions_(std::move(actions)),
      status_(status ? status : new VaultStatusCache(store, nullptr, this)) {
    setObjectName(QStringLiteral("trayMenu"));
    connect(this, &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    const auto rebuildWhileShown = [this] {
        if (isVisible())
            rebuild();
    };
    connect(&store_, &VaultStore::vaultsChanged, this, rebuildWhileShown);
    connect(&store_, &VaultStore::mountPointsChanged, this, rebuildWhileShown);
    connect(&store_, &VaultStore::pocketSessionsChanged, this, rebuildWhileShown);
    connect(status_, &VaultStatusCache::changed, this, rebuildWhileShown);
    rebuild();
}

void TrayMenu::rebuild() {
    clear();
    // Later, not now: the rebuild may come from inside one of these submenus' own actions.
    for (const QPointer<QMenu>& submenu : std::as_const(submenus_)) {
        if (submenu)
            submenu->deleteLater();
    }
    submenus_.clear();
    using Kind = TrayMenuEntry::Kind;
    const FileStateOf fileState = [status = status_](const QUuid& id) { return status->fileState(id); };
    for (const TrayMenuEntry& entry : trayMenuEntries(store_, fileState)) {
        if (entry.kind == Kind::separator) {
            addSeparator();
            continue;
        }
        if (entry.kind == Kind::openVault) {
            QMenu* submenu = addMenu(Symbols::icon(entry.symbol), menuText(entry.title));
            submenus_.append(submenu);
            const Vault vault = *entry.vault;
            submenu->addAction(menuText(entry.openTitle), this, [this, vault] { store_.openVault(vault); });
            submenu->addAction(MenuBarTexts::lock, this,
                               [this, vault] { store_.lock(vault, false, LockReason::manual); });
            continue;
        }
        QAction* action = addAction(menuText(entry.title));
        if (!entry.symbol.isEmpty())
            action->setIcon(Symbols::icon(entry.symbol));
        action->setEnabled(entry.enabled);
        switch (entry.kind) {
        case Kind::locateVault: {
            const Vault vault = *entry.vault;
            connect(action, &QAction::triggered, this, [this, vault] { callIfSet(actions_.locate, vault); });
            break;
        }
        case Kind::unlockVault: {
            const Vault vault = *entry.vault;
            connect(action, &QAction::triggered, this,
                    [this, vault] { unlockFromMenuBar(store_, vault, actions_.showUnlockPrompt); });
            break;
        }
        case Kind::lockAll:
            connect(action, &QAction::triggered, this, [this] { store_.lockAll(false, LockReason::manual); });
            break;
        case Kind::addExisting:
            connect(action, &QAction::triggered, this, [this] { callIfSet(actions_.chooseExistingVault); });
            break;
        case Kind::openMain:
            connect(action, &QAction::triggered, this, [this] { callIfSet(actions_.showMainWindow); });
            break;
        case Kind::settings:
            connect(action, &QAction::triggered, this, [this] { callIfSet(actions_.showSettings); });
            break;
        case Kind::whatsNew:
            connect(action, &QAction::triggered, this, [this] { callIfSet(actions_.showChangelog); });
            break;
        case Kind::about:
            connect(action, &QAction::triggered, this, [this] { callIfSet(actions_.showAbout); });
            break;
        case Kind::quit:
            connect(action, &QAction::triggered, this, [this] { callIfSet(actions_.quit); });
            break;
        case Kind::noVaults:
        case Kind::openVault:
        case Kind::separator:
            break;
        }
    }
}

} // namespace larkhold
