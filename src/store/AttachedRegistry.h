#pragma once

#include <QMap>
#include <QString>
#include <optional>

namespace larkhold {

// The attached images as the disk-image tools list them (image path → mount point), read from the
// tools' own registry in this process instead of running `hdiutil info`: the same entries, kept
// only while their disk service runs and their volume is mounted. nullopt when the registry cannot
// be read, where the tool would have failed. Reads only the per-user runtime folder and /proc,
// never a volume, but still belongs off the GUI thread.
std::optional<QMap<QString, QString>> readAttachedRegistry();

} // namespace larkhold
