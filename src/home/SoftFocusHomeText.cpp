#include "SoftFocusHomeText.h"

#include "Clock.h"
#include "Glossary.h"

namespace larkhold::SoftFocusHomeText {

QString greeting(int hour) {
    if (hour >= 5 && hour <= 11)
        return QStringLiteral("Good morning.");
    if (hour >= 12 && hour <= 17)
        return QStringLiteral("Good afternoon.");
    return QStringLiteral("Good evening.");
}

QString greeting(const Clock& clock, const QTimeZone& zone) {
    return greeting(clock.now().toDateTime().toTimeZone(zone).time().hour());
}

QString statusLine(int vaultCount, int openCount) {
    if (vaultCount == 0)
        return QStringLiteral("Create your first vault.");
    if (openCount > 0) {
        return QStringLiteral("%1 of %2 %3 open.")
            .arg(openCount)
            .arg(vaultCount)
            .arg(vaultCount == 1 ? QStringLiteral("vault") : QStringLiteral("vaults"));
    }
    if (vaultCount == 1)
        return QStringLiteral("Your vault is locked and safe.");
    if (vaultCount == 2)
        return QStringLiteral("Both vaults are locked and safe.");
    return QStringLiteral("All %1 vaults are locked and safe.").arg(vaultCount);
}

QColor positionColor(qsizetype index) {
    return index % 2 == 0 ? SoftFocusColors::purple : SoftFocusColors::teal;
}

QString ringPercent(double fraction) {
    return QString::number(DesignText::percentage(fraction)) + QLatin1Char('%');
}

bool gettingFull(double fraction) {
    return fraction >= 0.5;
}

QList<Chip> chips(bool open, VaultFileState file, bool excludedFromCloud, double fraction, bool requireOwnerCheck) {
    QList<Chip> list;
    if (open)
        list.append({QStringLiteral("open"), Chip::Tone::green});
    if (file == VaultFileState::waitingForDisk)
        list.append({QStringLiteral("waiting for disk"), Chip::Tone::amber});
    else if (file == VaultFileState::fileMissing)
        list.append({QStringLiteral("file missing"), Chip::Tone::amber});
    else if (file == VaultFileState::unknown)
        list.append({QStringLiteral("not responding"), Chip::Tone::amber});
    if (excludedFromCloud)
        list.append({QStringLiteral("local only"), Chip::Tone::sub});
    if (gettingFull(fraction))
        list.append({QStringLiteral("getting full"), Chip::Tone::amber});
    if (requireOwnerCheck)
        list.append({glossary::ownerCheck, Chip::Tone::sub});
    return list;
}

QString metaLine(VaultFileState file, const QString& capacity, const QString& openedAgo) {
    switch (file) {
    case VaultFileState::waitingForDisk:
        return QStringLiteral("Waiting for the disk that holds this vault.");
    case VaultFileState::fileMissing:
        return QStringLiteral("Vault file not found — locate it to keep unlocking.");
    case VaultFileState::unknown:
        return QStringLiteral("The disk that holds this vault isn’t responding.");
    case VaultFileState::present:
        break;
    }
    if (openedAgo.isEmpty())
        return capacity;
    return capacity + kStatusSeparator + QStringLiteral("opened ") + openedAgo;
}

QString openChip(int openCount) {
    if (openCount > 0)
        return QStringLiteral("\U0001F513 %1 open").arg(openCount);
    return QStringLiteral("\U0001F512 all locked");
}

QString totalChip(const QString& formattedTotal) {
    return formattedTotal + QStringLiteral(" on disk");
}

bool showsCloudSyncOff(const QList<Vault>& vaults) {
    if (vaults.isEmpty())
        return false;
    return std::all_of(vaults.cbegin(), vaults.cend(), [](const Vault& v) { return v.excludedFromCloud; });
}

QString cloudSyncOffChip() {
    return glossary::cloudSync + QStringLiteral(" off");
}

bool lockAllEnabled(int openCount) {
    return openCount > 0;
}

} // namespace larkhold::SoftFocusHomeText
