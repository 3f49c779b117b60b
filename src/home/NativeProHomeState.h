#pragma once

// The Native Pro home design's own decisions: which vault the detail pane shows, what the sidebar
// lists, and the storage summary at the sidebar's foot.

#include "DesignText.h"
#include "Vault.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

namespace NativeProColors {
inline const QColor accent = QColor::fromRgbF(0.02f, 0.48f, 0.55f);       // locked rings, selection, bar, buttons
inline const QColor sidebarBG = QColor::fromRgbF(0.925f, 0.918f, 0.906f); // sidebar
inline const QColor paneBG = QColor::fromRgbF(0.961f, 0.957f, 0.949f);    // the whole view
} // namespace NativeProColors

// Which vault is selected. The design resets it each time it comes on screen and keeps it while
// the selected vault stays in the list; the search never changes it.
class NativeProSelection {
public:
    // The design came on screen: the first vault, or none.
    void reset(const QList<Vault>& vaults);
    // The vault list changed: a selection whose vault is still listed stays, anything else moves
    // to the first vault (or none for an empty list).
    void vaultsChanged(const QList<Vault>& vaults);
    // A click on a sidebar row.
    void select(const QUuid& id) { selectedID_ = id; }

    std::optional<QUuid> selectedID() const { return selectedID_; }

    // The vault the detail pane shows: the selected one from the whole list, else the first of the
    // filtered list, else none.
    std::optional<Vault> selectedVault(const QList<Vault>& vaults, const QList<Vault>& filtered) const;

private:
    std::optional<QUuid> selectedID_;
};

namespace NativeProHomeText {

inline const QString kTitle = QStringLiteral("Larkhold");
inline const QString kSearchPlaceholder = QStringLiteral("Search vaults");
inline const QString kSection = QStringLiteral("VAULTS");
inline const QString kNewVault = QStringLiteral("New Vault");
inline const QString kOnDisk = QStringLiteral("On disk");

// The caption at the end of a sidebar row: a locked Pocket Vault's capacity, else the bytes used
// (`formattedUsed`, the byte count's text).
QString rowSizeCaption(const Vault& vault, bool unlocked, const QString& formattedUsed);

// Under the summary bar: "No vaults yet", or "<n> vault(s) · <open> open" / "… · all locked".
QString summaryCaption(int vaultCount, int openCount);

// The widths of the summary bar's segments, one per vault in list order: each vault's share of
// the total across `barWidth`, never under 2. With nothing on disk every segment is 2 wide.
QList<qreal> segmentWidths(const QList<qint64>& sizes, qreal barWidth);
inline constexpr qreal kMinimumSegment = 2.0;
// Even segments are drawn at full strength, odd ones at 0.55.
qreal segmentOpacity(qsizetype index);

} // namespace NativeProHomeText

} // namespace larkhold
