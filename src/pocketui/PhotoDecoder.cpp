#include "PhotoDecoder.h"

#include "PocketImport.h"

#include <QBuffer>
#include <QImageReader>
#include <libheif/heif.h>
#include <memory>

namespace larkhold {

namespace {

bool pixelCountAllowed(qint64 width, qint64 height) {
    return width > 0 && height > 0 && width * height <= PocketImport::kMaxPixels;
}

bool isHeif(ByteView bytes) {
    const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), 64));
    const char* mime = heif_get_file_mime_type(bytes.data(), length);
    return mime && (qstrcmp(mime, "image/heic") == 0 || qstrcmp(mime, "image/heif") == 0);
}

QImage decodeHeif(ByteView bytes) {
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), &heif_context_free);
    if (!context ||
        heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr).code !=
            heif_error_Ok)
        return {};
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(rawHandle,
                                                                                    &heif_image_handle_release);
    if (!pixelCountAllowed(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get())))
        return {};
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr)
            .code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, &heif_image_release);
    int stride = 0;
    const std::uint8_t* pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || !pixelCountAllowed(width, height))
        return {};
    // A deep copy: the decoder's planes are freed with `image`.
    return QImage(pixels, width, height, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888).copy();
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
    return isHeif(bytes) ? decodeHeif(bytes) : decodeWithQt(bytes);
}

} // namespace larkhold
