#pragma once

#include "HomeModels.h"
#include "Vault.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

namespace larkhold {

class VaultStore;

// One entry of the tray's plain menu, top to bottom.
struct TrayMenuEntry {
    enum class Kind {
        noVaults,    // "No vaults yet", not clickable
        openVault,   // a submenu: open, lock
        locateVault, // the file moved: locate it
        unlockVault, // unlock (or, for a disk that is not connected, say so and try)
        separator,
        lockAll,
        addExisting,
        openMain,
        settings,
        whatsNew,
        about,
        quit,
    };
    Kind kind;
    QString title;
    QString symbol; // the symbol name of the entry's icon, empty for none
    bool enabled = true;
    std::optional<Vault> vault;
    // openVault only: the submenu's first entry, "Open in File Manager" or "Open" for a Pocket Vault.
    QString openTitle;
};

// Where a vault's file is, as last looked at off the GUI thread (VaultStatusCache::fileState).
using FileStateOf = std::function<VaultFileState(const QUuid& vaultId)>;

QList<TrayMenuEntry> trayMenuEntries(const VaultStore& store, const FileStateOf& fileState);

// The compact panel's content.
enum class UsageColor { red, orange, green, accent };

struct PanelRow {
    Vault vault;
    bool unlocked = false;
    bool busy = false;
    // Where its file is, as last looked at.
    VaultFileState place = VaultFileState::present;
    qint64 usedBytes = 0;
    // Used bytes against the limit (at least 1 MB); not clamped.
    double fraction = 0;
    UsageColor usage = UsageColor::accent;
    // A locked Pocket Vault: the gauge shows only its track, with a lock in the middle.
    bool sealed = false;
    QString caption;
    // The caption speaks of a missing file.
    bool captionWarning = false;
    // As on a vault's card: a spinner, Open and Lock, Locate, or Unlock.
    VaultCardModel::Controls controls = VaultCardModel::Controls::unlock;
    // The folder button's tooltip, for an open vault.
    QString openTooltip;
    // The row's context menu offers "Locate Vault…".
    bool offersLocate = false;
};

struct PanelContent {
    bool showsLockAll = false;
    QList<PanelRow> rows; // empty: "No vaults yet"
};

PanelContent panelContent(const VaultStore& store, const FileStateOf& fileState);

UsageColor usageColor(double fraction, bool unlocked);

namespace MenuBarTexts {
inline const QString noVaults = QStringLiteral("No vaults yet");
inline const QString lockAll = QStringLiteral("Lock All");
inline const QString addExisting = QStringLiteral("Add Existing Vault…");
inline const QString newVault = QStringLiteral("New Vault…");
inline const QString openMain = QStringLiteral("Open Larkhold");
inline const QString settings = QStringLiteral("Settings…");
inline const QString whatsNew = QStringLiteral("What’s New…");
inline const QString about = QStringLiteral("About…");
inline const QString quit = QStringLiteral("Quit Larkhold");
inline const QString open = QStringLiteral("Open");
inline const QString lock = QStringLiteral("Lock");
inline const QString unlock = QStringLiteral("Unlock");
inline const QString locate = QStringLiteral("Locate");
inline const QString moreInLarkhold = QStringLiteral("More in Larkhold…");
} // namespace MenuBarTexts

// The unlock the tray menu and panel start: the store unlocks with the saved password when it can; when a password
// must be typed, the prompt vault is taken out of the store and shown in the standalone unlock window instead of a
// sheet of the main window. Only a prompt for this very vault is taken: one left over for another vault stays for
// the main window, and never opens a prompt in this vault's place.
QCoro::Task<> unlockFromMenuBar(VaultStore& store, Vault vault, std::function<void(const Vault&)> showUnlockPrompt);

} // namespace larkhold
