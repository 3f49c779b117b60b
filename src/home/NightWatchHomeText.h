#pragma once

// The texts, chips, thresholds and colours of the Night Watch home design: a console-like dark
// screen with a status headline, one ring card per vault, an activity log and a search bar.

#include "ActivityEvent.h"
#include "DesignText.h"

#include <QColor>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTimeZone>

namespace larkhold {

namespace NightWatchColors {
inline const QColor bg = QColor::fromRgbF(0.1f, 0.1f, 0.13f);
inline const QColor card = QColor::fromRgbF(0.137f, 0.137f, 0.176f);
inline const QColor cardBorder = QColor::fromRgbF(0.21f, 0.21f, 0.26f);
inline const QColor logBG = QColor::fromRgbF(0.082f, 0.082f, 0.106f);
inline const QColor green = QColor::fromRgbF(0.34f, 0.85f, 0.64f);
inline const QColor amber = QColor::fromRgbF(0.85f, 0.66f, 0.25f);
inline const QColor dim = QColor::fromRgbF(0.58f, 0.59f, 0.65f);
// The desktop's standard red in its dark shade, for rings of nearly full vaults.
inline const QColor red = QColor::fromRgbF(1.0f, 0.27f, 0.23f);
} // namespace NightWatchColors

namespace NightWatchHomeText {

inline const QString kTitle = QStringLiteral("LARKHOLD");

// "2 open." while vaults are open, "All quiet." otherwise.
QString headline(int openCount);
// "● <locked>/<all> vaults locked · <total> on disk"; `formattedTotal` is the byte count's text.
QString summaryLine(int vaultCount, int openCount, const QString& formattedTotal);
// The summary line is green while nothing is open, amber otherwise.
QColor summaryColor(int openCount);

// The ring of a card: red from 0.9, amber from 0.5, green below.
QColor ringColor(double fraction);
QString ringPercent(double fraction);

// A capital-letter chip of a card's name row.
struct Chip {
    QString text;
    QColor color;
    friend bool operator==(const Chip&, const Chip&) = default;
};
QList<Chip> chips(bool open, VaultFileState file, bool excludedFromCloud, double fraction, bool requireOwnerCheck);

// The monospaced line under a card's name. `capacity` is the usage caption, `openedAgo` the
// relative time since the vault was last opened (empty when never). The auto-lock part shows the
// minutes the store really waits.
QString metaLine(VaultFileState file, const QString& capacity, const QString& openedAgo, bool autoLockEnabled,
                 qint64 autoLockMinutes);

// The locale's short time without seconds.
QString shortTimeFormat(const QLocale& locale);
// The newest four events as "<short time> · <text>", the time in the given zone and locale.
QStringList activityLines(const QList<ActivityEvent>& activity, const QLocale& locale = QLocale(),
                          const QTimeZone& zone = QTimeZone::systemTimeZone());
inline constexpr int kActivityLines = 4;
inline const QString kActivityHeading = QStringLiteral("ACTIVITY");

bool lockAllEnabled(int openCount);

inline const QString kLockAll = QStringLiteral("Lock All");
inline const QString kNewVault = QStringLiteral("+ New Vault");
inline const QString kPrompt = QStringLiteral(">");
inline const QString kSearchPlaceholder = QStringLiteral("type to search…");
// The hint beside the search field for the shortcut that focuses it.
QString searchShortcutHint();
inline const QString kEmptyTitle = QStringLiteral("No vaults on watch.");
inline const QString kEmptySubtitle = QStringLiteral("create one to start guarding files");

} // namespace NightWatchHomeText

} // namespace larkhold
