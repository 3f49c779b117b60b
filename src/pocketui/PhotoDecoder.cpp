#include "PhotoDecoder.h"

#include "PocketImport.h"

#include <QBuffer>
#include <QImageReader>
#include <algorithm>

namespace larkhold {

namespace {

bool pixelCountAllowed(qint64 width, qint64 height) {
    return width > 0 && height > 0 && width * height <= PocketImport::kMaxPixels;
}

QSize shownSize(const QSize& size) {
    return std::max(size.width(), size.height()) > kShownLongSide
               ? size.scaled(QSize(kShownLongSide, kShownLongSide), Qt::KeepAspectRatio)
               : size;
}

// A larger photo is scaled down, and its full-size pixels are wiped as they go.
QImage forShowing(QImage image) {
    const QSize size = shownSize(image.size());
    if (image.isNull() || size == image.size())
        return image;
    QImage shown = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    wipe(image.bits(), static_cast<std::size_t>(image.sizeInBytes()));
    return shown;
}

QImage decodeWithQt(ByteView bytes) {
    PocketImport::allowPhotoAllocations();
    QByteArray view =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&view);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // Only the kinds an import stores; no other image plugin gets to parse these bytes.
    if (reader.format() != "jpeg" && reader.format() != "png")
        return {};
    const QSize size = reader.size();
    if (!pixelCountAllowed(size.width(), size.height()))
        return {};
    // A JPEG is decoded straight at about the size shown: its decoder scales as it goes. Rotation
    // does not change the long side.
    if (reader.format() == "jpeg" && shownSize(size) != size)
        reader.setScaledSize(shownSize(size));
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

} // namespace

QImage decodePhoto(ByteView bytes) {
    if (bytes.empty())
        return {};
    return forShowing(PocketImport::isHeic(bytes) ? PocketImport::decodeHeic(bytes) : decodeWithQt(bytes));
}

} // namespace larkhold
