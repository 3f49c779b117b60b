// The import of photos against ImageMagick writing the same photos anew without their metadata:
// 100 JPEGs of 12 megapixels, each decoded and encoded again at full size (the import in its sealed-
// off decoder, ImageMagick's convert -strip at the same quality), one after the other.
//
// Environment: LARKHOLD_BENCH_DIR (where to work; default $TMPDIR or /var/tmp).
#include "PocketImport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace larkhold;

namespace {

// LARKHOLD_BENCH_PHOTOS overrides the count, for a quick look.
int photos() {
    const char* count = std::getenv("LARKHOLD_BENCH_PHOTOS");
    return count ? std::max(1, std::atoi(count)) : 100;
}

double seconds(const std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A camera-like photo: smooth light with grain, so that it compresses as photos do.
QImage photo() {
    QImage image(4000, 3000, QImage::Format_RGB32);
    QRandomGenerator random(12);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int grain = int(random.bounded(6));
            line[x] = qRgb((x / 16 + grain) & 0xFF, (y / 12 + grain) & 0xFF, ((x + y) / 28 + grain) & 0xFF);
        }
    }
    return image;
}

} // namespace

int main() {
    const int kPhotos = photos();
    const char* base = std::getenv("LARKHOLD_BENCH_DIR");
    if (!base)
        base = std::getenv("TMPDIR");
    QTemporaryDir dir(QString::fromLocal8Bit(base ? base : "/var/tmp") + QStringLiteral("/larkhold-import-XXXXXX"));
    const QString source = dir.filePath(QStringLiteral("photo.jpg"));
    QImageWriter writer(source, "jpeg");
    writer.setQuality(92);
    if (!dir.isValid() || !writer.write(photo())) {
        std::fprintf(stderr, "bench: no photo could be written\n");
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPhotos; ++i)
        if (PocketImport::item(source, false).data.empty())
            return 1;
    const double import = seconds(start);

    // The same writing anew in this process: what the sealed-off decoder costs on top.
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = file.readAll();
    const ByteView view(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPhotos; ++i)
        if (PocketImport::reencodePhoto(view, false, QString()).data.empty())
            return 1;
    const double inProcess = seconds(start);

    start = std::chrono::steady_clock::now();
    const QString target = dir.filePath(QStringLiteral("out.jpg"));
    for (int i = 0; i < kPhotos; ++i) {
        QProcess convert;
        convert.start(QStringLiteral("convert"), {source, QStringLiteral("-strip"), QStringLiteral("-quality"),
                                                  QStringLiteral("95"), target});
        if (!convert.waitForFinished(-1) || convert.exitCode() != 0) {
            std::fprintf(stderr, "bench: ImageMagick's convert failed\n");
            return 1;
        }
    }
    const double magick = seconds(start);
    std::printf("ratio imagemagick-reencode/pocket-import: %.2f (%.0f ms / %.0f ms for %d photos of 12 MP)\n",
                magick / import, magick * 1e3, import * 1e3, kPhotos);
    std::printf("ratio pocket-import/reencode-in-process: %.2f (%.0f ms / %.0f ms)\n", import / inProcess,
                import * 1e3, inProcess * 1e3);
    return 0;
}
