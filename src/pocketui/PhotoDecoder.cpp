#include "PhotoDecoder.h"

#include "PocketImport.h"

#include <QBuffer>
#include <QImageReader>

namespace larkhold {

namespace {

bool pixelCountAllowed(qint64 width, qint64 height) {
    return width > 0 && height > 0 && width * height <= PocketImport::kMaxPixels;
}

QImage decodeWithQt(ByteView bytes) {
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
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

} // namespace

QImage decodePhoto(ByteView bytes) {
    if (bytes.empty())
        return {};
    return PocketImport::isHeic(bytes) ? PocketImport::decodeHeic(bytes) : decodeWithQt(bytes);
}

} // namespace larkhold
