#pragma once

// The decisions of the home screens, free of widgets so that every design reuses them and tests run
// them without a display: which design and window size, what a vault card shows, which commands a
// vault's menu offers, the header's summary.

#include "Date.h"
#include "Theme.h"
#include "Vault.h"

#include <QList>
#include <QMap>
#include <QSize>
#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

// ---- designs and window sizes ----

enum class SchemePreference { system, light, dark };

struct HomeDesignSpec {
    AppTheme design = AppTheme::classic;
    QSize minimum;
    QSize target;
    SchemePreference scheme = SchemePreference::system;
};

HomeDesignSpec homeDesignSpec(AppTheme design);
// What a stored "appTheme" text gives: any text that names no design is the classic row.
HomeDesignSpec homeDesignSpec(const QString& raw);

// ---- where a vault's file is ----

enum class VaultFileState {
    present,        // something exists at its path
    waitingForDisk, // nothing there, and the disk it was on is not connected
    fileMissing,    // nothing there although the disk is connected
    unknown,        // the look did not answer in time (a share that no longer answers)
};

// Looks at the file system (may block on a dead network path: call it off the GUI thread).
VaultFileState probeVaultFile(const QString& bundlePath);

// ---- texts ----

// " · " between the pieces of a status line.
inline const QString kStatusSeparator = QStringLiteral(" · ");

// A vault's name in curly quotes, as alerts and menus name it: “Taxes”.
inline QString quotedName(const QString& name) {
    return QStringLiteral("“") + name + QStringLiteral("”");
}

// How long ago, in short units: "5 sec. ago", "2 min. ago", "3 hr. ago", "1 day ago", "3 wk. ago",
// "2 mo. ago", "1 yr. ago"; a time ahead reads "in 2 min.".
QString relativeTimeText(Date then, Date now);

// ---- the vault card ----

struct VaultCardInput {
    Vault vault;
    bool unlocked = false;
    bool busy = false;
    // An unlock waits for the keyring: shown as busy, with a caption saying so.
    bool askingKeyring = false;
    VaultFileState fileState = VaultFileState::present;
    qint64 usedBytes = 0;
    Date now;
};

struct VaultCardModel {
    enum class Controls {
        progress,  // busy: a spinner and nothing else
        openVault, // settings, Open, Lock
        locate,    // "Locate Vault…"
        unlock,    // "Unlock"
        none,      // nothing: whether the file is there is not known
    };

    static VaultCardModel make(const VaultCardInput& input);

    bool unlocked = false;
    bool busy = false;
    VaultFileState fileState = VaultFileState::present;

    QString tileSymbol;
    GradientKind tileGradient = GradientKind::locked;

    bool showOpenIcon = false;
    bool showCloudIcon = false;
    bool showOwnerCheckIcon = false;

    std::optional<GradientKind> badge;
    QString badgeText;
    QString badgeTooltip;

    // The bar and caption, or in their place the missing-file line.
    bool showUsage = true;
    double fraction = 0;
    bool sealed = false;
    QString caption;
    QString missingText;
    QString missingSymbol;
    QString missingTooltip;

    Controls controls = Controls::unlock;
    // Green border while open.
    bool openBorder = false;

    bool operator==(const VaultCardModel&) const = default;
};

// Texts the card shows.
namespace CardText {
inline const QString vaultIsOpen = QStringLiteral("Vault is open");
QString keptOutOfCloud();
QString ownerCheckRequired();
QString askingKeyring();
inline const QString nearlyFull = QStringLiteral("NEARLY FULL");
inline const QString pocketFull =
    QStringLiteral("Pocket Vault sizes are fixed — delete or optimize items to make room");
inline const QString standardFull = QStringLiteral("Lock the vault, then right-click it to raise the size limit");
inline const QString waitingForDisk = QStringLiteral("Waiting for disk");
inline const QString fileNotFound = QStringLiteral("Vault file not found");
inline const QString notResponding = QStringLiteral("Disk not responding");
inline const QString lastKnownPath = QStringLiteral("Last known path: ");
inline const QString vaultSettings = QStringLiteral("Vault settings");
inline const QString open = QStringLiteral("Open");
inline const QString lock = QStringLiteral("Lock");
inline const QString locate = QStringLiteral("Locate Vault…");
inline const QString unlock = QStringLiteral("Unlock");
} // namespace CardText

// ---- the vault context menu ----

enum class VaultMenuItem {
    locate,
    reveal,
    settings,
    secondPassword,
    rename,
    changePassword,
    resize,
    compact,
    verify,
    keepOutOfCloud,
    separator,
    forget,
    trash,
};

struct VaultMenuEntry {
    VaultMenuItem item;
    QString title;
    bool checkable = false;
    bool checked = false;
    bool destructive = false;
    friend bool operator==(const VaultMenuEntry&, const VaultMenuEntry&) = default;
};

struct VaultMenuInput {
    Vault vault;
    bool open = false;
    bool busy = false;
    VaultFileState fileState = VaultFileState::present;
};

// The same commands in the same order for a vault in the same state, whatever the design. A busy
// vault offers only what cannot disturb the running operation.
QList<VaultMenuEntry> vaultMenuEntries(const VaultMenuInput& input);
QString vaultMenuTitle(VaultMenuItem item);

// ---- the Classic header ----

struct HomeSummaryInput {
    int vaultCount = 0;
    int openCount = 0;
    qint64 totalUsed = 0;
};

// The sum of the known sizes of the listed vaults; a vault without an entry adds nothing.
qint64 totalUsedBytes(const QList<Vault>& vaults, const QMap<QUuid, qint64>& sizes);
// "Encrypted folders, your key only" with no vault; else "3 vaults · 1 open · 12 MB on disk".
QString homeSubtitle(const HomeSummaryInput& input);
inline bool showsLockAll(int openCount) {
    return openCount > 0;
}

} // namespace larkhold
