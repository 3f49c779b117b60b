#include "NativeProHomeState.h"

#include "VaultStore.h"

#include <algorithm>

namespace larkhold {

namespace {

std::optional<QUuid> firstID(const QList<Vault>& vaults) {
    if (vaults.isEmpty())
        return std::nullopt;
    return vaults.first().id;
}

} // namespace

void NativeProSelection::reset(const QList<Vault>& vaults) {
    selectedID_ = firstID(vaults);
}

void NativeProSelection::vaultsChanged(const QList<Vault>& vaults) {
    const bool stillListed = selectedID_ && std::any_of(vaults.cbegin(), vaults.cend(),
                                                        [&](const Vault& v) { return v.id == *selectedID_; });
    if (!stillListed)
        selectedID_ = firstID(vaults);
}

std::optional<Vault> NativeProSelection::selectedVault(const QList<Vault>& vaults, const QList<Vault>& filtered) const {
    if (selectedID_) {
        for (const Vault& vault : vaults) {
            if (vault.id == *selectedID_)
                return vault;
        }
    }
    if (filtered.isEmpty())
        return std::nullopt;
    return filtered.first();
}

namespace NativeProHomeText {

QString rowSizeCaption(const Vault& vault, bool unlocked, const QString& formattedUsed) {
    if (vault.kind == VaultKind::pocket && !unlocked)
        return formatLimitMB(vault.maxSizeMB);
    return formattedUsed;
}

QString summaryCaption(int vaultCount, int openCount) {
    if (vaultCount == 0)
        return QStringLiteral("No vaults yet");
    const QString count = QStringLiteral("%1 vault%2").arg(vaultCount).arg(vaultCount == 1 ? "" : "s");
    const QString open = openCount > 0 ? QStringLiteral("%1 open").arg(openCount) : QStringLiteral("all locked");
    return count + kStatusSeparator + open;
}

QList<qreal> segmentWidths(const QList<qint64>& sizes, qreal barWidth) {
    qint64 total = 0;
    for (qint64 size : sizes)
        total += size;
    QList<qreal> widths;
    widths.reserve(sizes.size());
    for (qint64 size : sizes) {
        const double share = total >= 1 ? static_cast<double>(size) / static_cast<double>(total) : 0.0;
        widths.append(std::max(share * barWidth, kMinimumSegment));
    }
    return widths;
}

qreal segmentOpacity(qsizetype index) {
    return index % 2 == 0 ? 1.0 : 0.55;
}

} // namespace NativeProHomeText

} // namespace larkhold
