#pragma once

#include "SecureBytes.h"

#include <QImage>

namespace larkhold {

// The pixels of a photo item, straight from its bytes in memory: JPEG and PNG through Qt's image
// readers, HEIC as an import reads it. Upright (the files' rotation applied), and at most
// kShownLongSide pixels on the long side: enough for any pane, and a fraction of the memory of the
// largest photo an import takes. A null image when the bytes are no photo of these kinds, cannot be
// decoded, or claim more pixels than an import takes.
inline constexpr int kShownLongSide = 4096;
QImage decodePhoto(ByteView bytes);

} // namespace larkhold
