// larkhold-photo-decode [--limits MIB SECONDS] FD: decodes one photo (JPEG, PNG or HEIC) for the
// viewer, in a process of its own and sealed off (Confinement.h), so that a photo that hangs or
// takes over a decoder holds or reaches nothing but this process.
//
// The photo's bytes come from the memory file FD, read whole and closed; one line on stdin says
// what to do with them. "show": the one answer on stdout is "image WIDTH HEIGHT" followed by the
// pixels, 4 bytes each, ARGB in the machine's word order (not premultiplied), row after row, in
// sRGB and upright, at most kShownLongSide on the long side. "import OPTIMIZE" (0 or 1): the photo
// written anew for the vault (PocketImport::reencodePhoto), as "encoded COUNT EXTENSION" and its
// bytes, or "toolarge COUNT". Either may instead answer "unreadable".
#include "Confinement.h"
#include "DumpProtection.h"
#include "HelperPipe.h"
#include "PhotoDecodeProtocol.h"
#include "PocketImport.h"
#include "SecureBytes.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <cerrno>
#include <cstring>
#include <libheif/heif.h>
#include <unistd.h>

namespace {

using larkhold::PocketImport;
using larkhold::photodecode::kShownLongSide;

using larkhold::helperpipe::writeAll;
using larkhold::helperpipe::writeLine;

QByteArray readFd(int fd) {
    return larkhold::helperpipe::readInput(fd, larkhold::photodecode::kMaxPhotoBytes);
}

QSize shownSize(const QSize& size) {
    return std::max(size.width(), size.height()) > kShownLongSide
               ? size.scaled(QSize(kShownLongSide, kShownLongSide), Qt::KeepAspectRatio)
               : size;
}

QImage decodeWithQt(QByteArray& bytes, const char* format) {
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    // Only the kinds an import stores; no other image plugin gets to parse these bytes.
    QImageReader reader(&buffer, format);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.width() <= 0 || size.height() <= 0 ||
        std::int64_t(size.width()) * size.height() > PocketImport::kMaxPixels)
        return {};
    // A JPEG is decoded straight at about the size shown: its decoder scales as it goes. Rotation
    // does not change the long side.
    if (std::strcmp(format, "jpeg") == 0 && shownSize(size) != size)
        reader.setScaledSize(shownSize(size));
    QImage image;
    if (!reader.read(&image))
        return {};
    return image;
}

QImage decode(QByteArray& bytes) {
    const auto view = larkhold::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                         std::size_t(bytes.size()));
    if (bytes.startsWith("\xFF\xD8\xFF"))
        return decodeWithQt(bytes, "jpeg");
    if (bytes.startsWith("\x89PNG\r\n\x1A\n"))
        return decodeWithQt(bytes, "png");
    if (PocketImport::isHeic(view))
        return PocketImport::decodeHeic(view);
    return {};
}

// The decoders are plugins and libraries loaded on first use; once sealed off, nothing more can be
// loaded, so each one decodes a photo first.
void warmUp() {
    PocketImport::allowPhotoAllocations();
    QImage pixel(1, 1, QImage::Format_RGB32);
    pixel.fill(Qt::gray);
    for (const char* format : {"jpeg", "png"}) {
        QByteArray encoded;
        QBuffer out(&encoded);
        out.open(QIODevice::WriteOnly);
        QImageWriter(&out, format).write(pixel);
        (void)decodeWithQt(encoded, format);
    }
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    if (PocketImport::canWriteHeic() &&
        heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok)
        heif_encoder_release(encoder);
    heif_context_free(context);
    (void)pixel.convertedToColorSpace(QColorSpace(QColorSpace::DisplayP3));
}

int reencode(QByteArray& bytes, bool optimize) {
    const auto view = larkhold::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                         std::size_t(bytes.size()));
    try {
        PocketImport::Reencoded photo = PocketImport::reencodePhoto(view, optimize, QString());
        larkhold::wipe(bytes.data(), std::size_t(bytes.size()));
        return writeLine("encoded " + QByteArray::number(qulonglong(photo.data.size())) + ' ' +
                         photo.extension.toLatin1()) &&
                       writeAll(photo.data.data(), photo.data.size())
                   ? 0
                   : 1;
    } catch (const PocketImport::Failure& failure) {
        larkhold::wipe(bytes.data(), std::size_t(bytes.size()));
        if (failure.which() == PocketImport::Failure::Case::tooLarge)
            return writeLine("toolarge " + QByteArray::number(qlonglong(failure.bytes()))) ? 0 : 1;
        return writeLine("unreadable") ? 0 : 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    // What the photo holds is decrypted vault content.
    larkhold::protectProcessFromDumps();
    namespace confinement = larkhold::confinement;
    confinement::Arguments arguments;
    if (!confinement::parseArguments(argc, argv, arguments))
        return 2;
    if (!confinement::confine(arguments.limits, {arguments.fd}, warmUp)) {
        writeLine(confinement::kUnconfinedLine);
        return confinement::kUnconfinedExitCode;
    }
    if (arguments.probe) {
        confinement::probe(arguments.fd);
        return 0;
    }

    QByteArray command;
    char c = 0;
    while (command.size() < 32 && ::read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
        command += c;
    QByteArray bytes = readFd(arguments.fd);
    if (command == "import 0" || command == "import 1")
        return reencode(bytes, command.endsWith('1'));
    if (command != "show")
        return 2;
    QImage image = decode(bytes);
    larkhold::wipe(bytes.data(), std::size_t(bytes.size()));
    if (image.isNull())
        return writeLine("unreadable") ? 0 : 1;
    const QSize size = shownSize(image.size());
    if (size != image.size())
        image = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (image.colorSpace().isValid() && image.colorSpace() != QColorSpace(QColorSpace::SRgb))
        image.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    image.convertTo(QImage::Format_ARGB32);
    if (!writeLine("image " + QByteArray::number(image.width()) + ' ' + QByteArray::number(image.height())))
        return 1;
    for (int y = 0; y < image.height(); ++y)
        if (!writeAll(image.constScanLine(y), std::size_t(image.width()) * 4))
            return 1;
    return 0;
}
