#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <cstring>
#include <libheif/heif.h>

namespace larkhold::test {

// A HEIC photo of `source`, encoded here with the system's HEVC encoder; with `displayP3`, it says
// its pixels are in Display P3.
inline QByteArray heicOf(const QImage& source, bool displayP3 = false) {
    const QImage image = source.convertToFormat(QImage::Format_RGB888);
    heif_image* img = nullptr;
    heif_image_create(image.width(), image.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img);
    if (displayP3) {
        heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
        heif_nclx_color_profile_set_color_primaries(nclx, heif_color_primaries_SMPTE_EG_432_1);
        heif_image_set_nclx_color_profile(img, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    heif_image_add_plane(img, heif_channel_interleaved, image.width(), image.height(), 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(plane + y * stride, image.constScanLine(y), size_t(image.width()) * 3);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->macOS_compatibility_workaround_no_nclx_profile = 0; // keep the colour description
    heif_context_encode_image(ctx, img, encoder, options, nullptr);
    heif_encoding_options_free(options);
    QByteArray out;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* user) {
                           static_cast<QByteArray*>(user)->append(static_cast<const char*>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(ctx, &writer, &out);
    heif_encoder_release(encoder);
    heif_image_release(img);
    heif_context_free(ctx);
    return out;
}

// A progressive JPEG of 4000 × 3000 grey pixels whose last scan is repeated `scans` times: each
// repeat is a few bytes that the decoder works through the whole image for (some 10 ms).
inline QByteArray scanBombJpeg(int scans) {
    QImage image(4000, 3000, QImage::Format_Grayscale8);
    image.fill(128);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(image);
    const qsizetype end = jpeg.lastIndexOf("\xFF\xD9");
    const qsizetype lastScan = jpeg.lastIndexOf("\xFF\xDA");
    const QByteArray scan = jpeg.mid(lastScan, end - lastScan);
    return jpeg.left(end) + scan.repeated(scans) + jpeg.mid(end);
}

} // namespace larkhold::test
