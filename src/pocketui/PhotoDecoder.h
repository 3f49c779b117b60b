#pragma once

#include "SecureBytes.h"

#include <QImage>

namespace larkhold {

// The pixels of a photo item, straight from its bytes in memory: JPEG and PNG through Qt's image
// readers, HEIC as an import reads it. Upright (the files' rotation applied). A null image when the
// bytes are no photo of these kinds, cannot be decoded, or claim more pixels than an import takes.
QImage decodePhoto(ByteView bytes);

} // namespace larkhold
