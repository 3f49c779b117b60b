#pragma once

// The texts and states of the Native Pro detail pane: the selected vault's chips, the figures in
// its ring, the state in words, which buttons its action row holds and the auto-lock caption.

#include "DesignText.h"
#include "Vault.h"

#include <QList>
#include <QString>
#include <optional>

namespace larkhold {

namespace NativeProDetailPaneText {

inline const QString kEmptyTitle = QStringLiteral("No vaults yet");
inline const QString kEmptyText = QStringLiteral("A vault is an encrypted folder that grows to a limit you set.");
inline const QString kCreateFirst = QStringLiteral("Create Your First Vault");
inline const QString kSettings = QStringLiteral("Settings");
inline const QString kLock = QStringLiteral("Lock");
inline const QString kLocate = QStringLiteral("Locate Vault…");
inline const QString kUsePassword = QStringLiteral("Use password…");
inline const QString kLockAll = QStringLiteral("Lock All");

// A chip of the header row; `green` and `orange` are the desktop's own colours.
struct Chip {
    enum class Tone { green, orange, secondary };
    QString text;
    Tone tone;
    friend bool operator==(const Chip&, const Chip&) = default;
};
// The status chip, then "Local only" and the owner-check chip when the vault asks for them.
QList<Chip> headerChips(bool unlocked, VaultFileState file, bool excludedFromCloud, bool requireOwnerCheck);

// The ring's symbol and two lines of figures.
QString ringSymbol(bool unlocked);
// A locked Pocket Vault shows its capacity over "Pocket Vault"; every other vault its used bytes
// (`formattedUsed`) over "of <limit>".
QString ringFigure(const Vault& vault, bool unlocked, const QString& formattedUsed);
QString ringCaption(const Vault& vault, bool unlocked);

// "<name> is open" or "<name> is locked".
QString stateLine(const QString& name, bool unlocked);
// "Last opened <relative time>", or nothing for a vault never opened (`openedAgo` empty).
std::optional<QString> lastOpenedLine(const QString& openedAgo);

// "Open in File Manager" for a standard vault, "Open" for a Pocket Vault.
QString openTitle(VaultKind kind);
// The unlock button says it will use the saved password when the keyring holds one.
QString unlockTitle(bool hasSavedPassword);
// "Use password…" sits beside the unlock button only while the vault's file is at hand.
bool showsUsePassword(VaultFileState file);

// The footer's caption, in the minutes the store really waits.
QString autoLockCaption(bool enabled, qint64 storedMinutes);
bool lockAllEnabled(int openCount);

} // namespace NativeProDetailPaneText

} // namespace larkhold
