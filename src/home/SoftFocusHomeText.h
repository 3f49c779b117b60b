#pragma once

// The texts, chips and colours of the Soft Focus home design: a greeting by the time of day, a
// status sentence, one ring card per vault and a footer of summary chips.

#include "DesignText.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QTimeZone>

namespace larkhold {

class Clock;

namespace SoftFocusColors {
inline const QColor purple = QColor::fromRgbF(0.48f, 0.25f, 0.68f); // even cards, buttons, new-vault zone
inline const QColor teal = QColor::fromRgbF(0.05f, 0.55f, 0.60f);   // odd cards
inline const QColor amber = QColor::fromRgbF(0.72f, 0.53f, 0.10f);  // warning chips
inline const QColor ink = QColor::fromRgbF(0.20f, 0.14f, 0.29f);    // greeting, vault names
inline const QColor sub = QColor::fromRgbF(0.42f, 0.36f, 0.53f);    // secondary text, quiet chips, "⋯"
inline const QColor cardShadow = QColor::fromRgbF(0.31f, 0.24f, 0.47f, 0.1f);
// The window's wash, top-left to bottom-right, three even stops.
inline const QColor washStart = QColor::fromRgbF(0.95f, 0.92f, 0.97f);
inline const QColor washMiddle = QColor::fromRgbF(0.90f, 0.94f, 0.96f);
inline const QColor washEnd = QColor::fromRgbF(0.96f, 0.93f, 0.87f);
} // namespace SoftFocusColors

namespace SoftFocusHomeText {

// "Good morning." from 5:00, "Good afternoon." from 12:00, "Good evening." from 18:00 until 4:59.
QString greeting(int hour);
// The greeting for the clock's moment in the given time zone (the user's own by default).
QString greeting(const Clock& clock, const QTimeZone& zone = QTimeZone::systemTimeZone());

// The sentence under the greeting for n vaults of which `open` are open.
QString statusLine(int vaultCount, int openCount);

// The ring and percentage colour of the card at a position of the list: purple, teal, purple, …
QColor positionColor(qsizetype index);
// The text in the ring's centre: the percentage, which may pass 100.
QString ringPercent(double fraction);
inline const QString kRingCaption = QStringLiteral("FULL");

// A chip of a card's name row. `green` is the desktop's own green, drawn by the widget.
struct Chip {
    enum class Tone { green, amber, sub };
    QString text;
    Tone tone;
    friend bool operator==(const Chip&, const Chip&) = default;
};
QList<Chip> chips(bool open, VaultFileState file, bool excludedFromCloud, double fraction, bool requireOwnerCheck);
// Whether the "getting full" chip shows.
bool gettingFull(double fraction);

// The line under a card's name. `capacity` is the vault's usage caption; `openedAgo` the relative
// time since it was last opened, empty for a vault never opened.
QString metaLine(VaultFileState file, const QString& capacity, const QString& openedAgo);

// The footer's chips.
QString openChip(int openCount);
QString totalChip(const QString& formattedTotal);
// The "cloud sync off" chip: only for a list that is not empty and keeps every vault out of sync.
bool showsCloudSyncOff(const QList<Vault>& vaults);
QString cloudSyncOffChip();
bool lockAllEnabled(int openCount);

inline const QString kNewVault = QStringLiteral("+ New Vault");
inline const QString kNewVaultZone = QStringLiteral("Start a new vault");
inline const QString kLockAllNow = QStringLiteral("Lock all now");

} // namespace SoftFocusHomeText

} // namespace larkhold
