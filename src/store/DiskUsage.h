#pragma once

#include <QString>
#include <optional>

namespace larkhold {

// Bytes that a file or folder tree occupies on disk, counted as `du -sk` counts them: the blocks
// allocated to every entry below `path` (the path itself not followed when it is a link), each
// file with several names once, rounded up to whole KiB. Nothing when any entry cannot be
// examined, where du would fail. Blocks on a slow disk: call it off the GUI thread.
std::optional<qint64> diskUsageBytes(const QString& path);

} // namespace larkhold
