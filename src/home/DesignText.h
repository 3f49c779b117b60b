#pragma once

// Texts and thresholds that the Native Pro, Night Watch and Soft Focus designs share. Plain
// functions over plain values: the designs call them at every redraw, the tests call them with a
// fixed clock.

#include "HomeModels.h"
#include "Vault.h"

#include <QList>
#include <QString>

namespace larkhold {

namespace DesignText {

// A used fraction as a whole percentage, rounded half away from zero (0.125 gives 13). A fraction
// that is not a finite number reads 0.
long long percentage(double fraction);

// Whether a vault name holds the search text, ignoring case but not accents. The text is used as
// typed: a search of one space finds only names that contain a space. An empty search matches all.
bool nameMatches(const QString& name, const QString& search);
// The vaults whose names match, in list order.
QList<Vault> filterByName(const QList<Vault>& vaults, const QString& search);

// The auto-lock minutes a caption shows for the stored setting. The store locks a vault at its
// first minute tick after the vault has been idle longer than the setting, and treats any setting
// below one minute as one: a stored 0 still keeps the vault open for over a minute, so the caption
// says 1, never "0 min".
qint64 autoLockMinutesShown(qint64 storedMinutes);

} // namespace DesignText

} // namespace larkhold
