#include "NativeProDetailPaneText.h"

#include "Glossary.h"
#include "VaultStore.h"

namespace larkhold::NativeProDetailPaneText {

namespace {

bool sealedPocket(const Vault& vault, bool unlocked) {
    return vault.kind == VaultKind::pocket && !unlocked;
}

QString capitalised(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

} // namespace

QList<Chip> headerChips(bool unlocked, VaultFileState file, bool excludedFromCloud, bool requireOwnerCheck) {
    QList<Chip> chips;
    if (unlocked)
        chips.append({QStringLiteral("Open"), Chip::Tone::green});
    else if (file == VaultFileState::waitingForDisk)
        chips.append({QStringLiteral("Waiting for disk"), Chip::Tone::orange});
    else if (file == VaultFileState::fileMissing)
        chips.append({QStringLiteral("File missing"), Chip::Tone::orange});
    else if (file == VaultFileState::unknown)
        chips.append({QStringLiteral("Not responding"), Chip::Tone::orange});
    else
        chips.append({QStringLiteral("Locked"), Chip::Tone::secondary});
    if (excludedFromCloud)
        chips.append({QStringLiteral("Local only"), Chip::Tone::secondary});
    if (requireOwnerCheck)
        chips.append({capitalised(glossary::ownerCheck), Chip::Tone::secondary});
    return chips;
}

QString ringSymbol(bool unlocked) {
    return unlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill");
}

QString ringFigure(const Vault& vault, bool unlocked, const QString& formattedUsed) {
    return sealedPocket(vault, unlocked) ? formatLimitMB(vault.maxSizeMB) : formattedUsed;
}

QString ringCaption(const Vault& vault, bool unlocked) {
    if (sealedPocket(vault, unlocked))
        return QStringLiteral("Pocket Vault");
    return QStringLiteral("of ") + formatLimitMB(vault.maxSizeMB);
}

QString stateLine(const QString& name, bool unlocked) {
    return name + (unlocked ? QStringLiteral(" is open") : QStringLiteral(" is locked"));
}

std::optional<QString> lastOpenedLine(const QString& openedAgo) {
    if (openedAgo.isEmpty())
        return std::nullopt;
    return QStringLiteral("Last opened ") + openedAgo;
}

QString openTitle(VaultKind kind) {
    return kind == VaultKind::standard ? glossary::openInFileManager : QStringLiteral("Open");
}

QString unlockTitle(bool hasSavedPassword) {
    return hasSavedPassword ? QStringLiteral("Unlock with ") + glossary::ownerCheck : QStringLiteral("Unlock…");
}

bool showsUsePassword(VaultFileState file) {
    return file == VaultFileState::present;
}

QString autoLockCaption(bool enabled, qint64 storedMinutes) {
    if (!enabled)
        return QStringLiteral("Auto-lock is off");
    return QStringLiteral("Auto-locks %1 min after last use").arg(DesignText::autoLockMinutesShown(storedMinutes));
}

bool lockAllEnabled(int openCount) {
    return openCount >= 1;
}

} // namespace larkhold::NativeProDetailPaneText
