#include "NightWatchHomeText.h"

#include "Glossary.h"

#include <QRegularExpression>

namespace larkhold::NightWatchHomeText {

QString headline(int openCount) {
    if (openCount != 0)
        return QStringLiteral("%1 open.").arg(openCount);
    return QStringLiteral("All quiet.");
}

QString summaryLine(int vaultCount, int openCount, const QString& formattedTotal) {
    return QStringLiteral("● %1/%2 vaults locked · %3 on disk")
        .arg(vaultCount - openCount)
        .arg(vaultCount)
        .arg(formattedTotal);
}

QColor summaryColor(int openCount) {
    return openCount == 0 ? NightWatchColors::green : NightWatchColors::amber;
}

QColor ringColor(double fraction) {
    if (fraction >= 0.9)
        return NightWatchColors::red;
    if (fraction >= 0.5)
        return NightWatchColors::amber;
    return NightWatchColors::green;
}

QString ringPercent(double fraction) {
    return QString::number(DesignText::percentage(fraction)) + QLatin1Char('%');
}

QList<Chip> chips(bool open, VaultFileState file, bool excludedFromCloud, double fraction, bool requireOwnerCheck) {
    QList<Chip> list;
    if (open)
        list.append({QStringLiteral("OPEN"), NightWatchColors::green});
    if (file == VaultFileState::waitingForDisk)
        list.append({QStringLiteral("WAITING FOR DISK"), NightWatchColors::amber});
    else if (file == VaultFileState::fileMissing)
        list.append({QStringLiteral("FILE MISSING"), NightWatchColors::amber});
    else if (file == VaultFileState::unknown)
        list.append({QStringLiteral("NOT RESPONDING"), NightWatchColors::amber});
    if (excludedFromCloud)
        list.append({QStringLiteral("LOCAL ONLY"), NightWatchColors::dim});
    if (fraction >= 0.5)
        list.append(
            {QString::number(DesignText::percentage(fraction)) + QStringLiteral("% FULL"), NightWatchColors::amber});
    if (requireOwnerCheck)
        list.append({glossary::ownerCheck.toUpper(), NightWatchColors::dim});
    return list;
}

QString metaLine(VaultFileState file, const QString& capacity, const QString& openedAgo, bool autoLockEnabled,
                 qint64 autoLockMinutes) {
    switch (file) {
    case VaultFileState::waitingForDisk:
        return QStringLiteral("waiting for disk");
    case VaultFileState::fileMissing:
        return QStringLiteral("vault file not found");
    case VaultFileState::unknown:
        return QStringLiteral("disk not responding");
    case VaultFileState::present:
        break;
    }
    QStringList parts{capacity};
    if (!openedAgo.isEmpty())
        parts.append(QStringLiteral("last open ") + openedAgo);
    if (autoLockEnabled)
        parts.append(QStringLiteral("auto-lock %1 min").arg(DesignText::autoLockMinutesShown(autoLockMinutes)));
    return parts.join(kStatusSeparator);
}

QString shortTimeFormat(const QLocale& locale) {
    // Hours and minutes only: some locales (the C locale among them) write seconds even in
    // their short form.
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[:.]?s+")));
    return format;
}

QStringList activityLines(const QList<ActivityEvent>& activity, const QLocale& locale, const QTimeZone& zone) {
    QStringList lines;
    const QString format = shortTimeFormat(locale);
    for (const ActivityEvent& event : activity.mid(0, kActivityLines)) {
        const QTime time = event.date.toDateTime().toTimeZone(zone).time();
        lines.append(locale.toString(time, format) + kStatusSeparator + event.text);
    }
    return lines;
}

bool lockAllEnabled(int openCount) {
    return openCount >= 1;
}

QString searchShortcutHint() {
    return glossary::commandKey + QStringLiteral("K");
}

} // namespace larkhold::NightWatchHomeText
