#include "PocketImport.h"

#include "ByteCount.h"
#include "SecureBytes.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QPdfDocument>
#include <QScopeGuard>
#include <algorithm>
#include <cstring>
#include <libheif/heif.h>
#include <memory>
#include <mutex>

namespace larkhold {

namespace {

using Failure = PocketImport::Failure;

enum class PhotoType { jpeg, png, heic };

constexpr std::size_t kTextReadBytes = 1 << 20;

// The file name without its last extension; a leading dot does not start an extension.
QString withoutExtension(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? fileName.left(dot) : fileName;
}

bool startsWith(const QByteArray& head, const char* signature, std::size_t length) {
    return std::size_t(head.size()) >= length && std::memcmp(head.constData(), signature, length) == 0;
}

std::optional<PhotoType> photoType(const QByteArray& head) {
    if (startsWith(head, "\xFF\xD8\xFF", 3))
        return PhotoType::jpeg;
    if (startsWith(head, "\x89PNG\r\n\x1A\n", 8))
        return PhotoType::png;
    // Only HEVC-coded HEIF counts as HEIC; AVIF and other HEIF flavours are not photos here.
    // Some phones put the generic HEIF brand first and name HEVC only among the compatible brands.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(head.constData());
    const int length = int(head.size());
    const char* mime = heif_get_file_mime_type(bytes, length);
    if (mime && std::strcmp(mime, "image/heic") == 0)
        return PhotoType::heic;
    if (mime && std::strcmp(mime, "image/heif") == 0 &&
        (heif_has_compatible_brand(bytes, length, "heic") == 1 ||
         heif_has_compatible_brand(bytes, length, "heix") == 1))
        return PhotoType::heic;
    return std::nullopt;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF) and no NUL, checked piece
// by piece, so that a file of any size can be judged without holding it.
class TextCheck {
public:
    // False as soon as the bytes so far cannot be text.
    bool feed(ByteView bytes) {
        for (const std::uint8_t b : bytes) {
            if (!ok_)
                return false;
            if (pending_ == 0) {
                if (b == 0) {
                    ok_ = false;
                } else if (b < 0x80) {
                    continue;
                } else if ((b & 0xE0) == 0xC0) {
                    start(1, b & 0x1F, 0x80);
                } else if ((b & 0xF0) == 0xE0) {
                    start(2, b & 0x0F, 0x800);
                } else if ((b & 0xF8) == 0xF0) {
                    start(3, b & 0x07, 0x10000);
                } else {
                    ok_ = false;
                }
                continue;
            }
            if ((b & 0xC0) != 0x80) {
                ok_ = false;
                continue;
            }
            codePoint_ = (codePoint_ << 6) | (b & 0x3F);
            if (--pending_ == 0 &&
                (codePoint_ < minimum_ || codePoint_ > 0x10FFFF || (codePoint_ >= 0xD800 && codePoint_ <= 0xDFFF)))
                ok_ = false;
        }
        return ok_;
    }
    // Whether all the bytes fed were text, none of them cut off at the end.
    bool finish() const { return ok_ && pending_ == 0; }

private:
    void start(int continuation, std::uint32_t bits, std::uint32_t minimum) {
        pending_ = continuation;
        codePoint_ = bits;
        minimum_ = minimum;
    }

    bool ok_ = true;
    int pending_ = 0;
    std::uint32_t codePoint_ = 0;
    std::uint32_t minimum_ = 0;
};

bool isText(ByteView bytes) {
    TextCheck check;
    check.feed(bytes);
    return check.finish();
}

// Reads the whole file piece by piece and judges it as text; every piece is wiped as it goes. Stops
// at the first byte that rules text out.
bool fileIsText(QFile& file, const QString& name) {
    if (!file.seek(0))
        throw Failure::unreadable(name);
    TextCheck check;
    SecureBytes piece(kTextReadBytes);
    for (;;) {
        const qint64 got = file.read(reinterpret_cast<char*>(piece.data()), qint64(piece.size()));
        if (got < 0)
            throw Failure::unreadable(name);
        if (got == 0)
            return check.finish();
        if (!check.feed(ByteView(piece.data(), std::size_t(got))))
            return false;
    }
}

// Reads the rest of an open file, refusing to hold more than `limit` bytes whatever the size
// reported earlier said (the file may grow between the size check and the read).
SecureBytes readAtMost(QFile& file, std::int64_t limit, const QString& name, bool& overLimit) {
    overLimit = false;
    if (!file.seek(0))
        throw Failure::unreadable(name);
    SecureBytes data;
    std::int64_t expected = std::max<std::int64_t>(file.size(), 0);
    data.resize(std::size_t(std::min(expected, limit) + 1));
    std::size_t filled = 0;
    while (true) {
        if (filled == data.size()) {
            if (std::int64_t(filled) > limit) {
                overLimit = true;
                return data;
            }
            data.resize(std::size_t(std::min<std::int64_t>(limit + 1, std::int64_t(data.size()) * 2)));
        }
        const qint64 got = file.read(reinterpret_cast<char*>(data.data() + filled), qint64(data.size() - filled));
        if (got < 0)
            throw Failure::unreadable(name);
        if (got == 0)
            break;
        filled += std::size_t(got);
    }
    data.resize(filled);
    overLimit = std::int64_t(filled) > limit;
    return data;
}

// A PDF counts as readable when its structure loads. One that asks for a password has loaded
// far enough to know that; it is kept, like any other PDF, unchanged.
bool pdfIsReadable(const SecureBytes& data) {
    QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    QBuffer buffer(&view);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    QPdfDocument document;
    document.load(&buffer);
    const bool ready = document.status() == QPdfDocument::Status::Ready;
    const bool locked = document.error() == QPdfDocument::Error::IncorrectPassword;
    document.close();
    return ready || locked;
}

void checkPixelCount(std::int64_t width, std::int64_t height, const QString& name) {
    if (width <= 0 || height <= 0 || width * height > PocketImport::kMaxPixels)
        throw Failure::unreadable(name);
}

// Decoded photos are checked against kMaxPixels before decoding; this lets Qt allocate up to
// what that cap needs (8 bytes a pixel for 16-bit images) instead of its smaller default.
void allowCappedPhotoAllocations() {
    static std::once_flag once;
    std::call_once(once, [] {
        const int neededMiB = int(PocketImport::kMaxPixels * 8 / (1024 * 1024)) + 1;
        if (QImageReader::allocationLimit() != 0 && QImageReader::allocationLimit() < neededMiB)
            QImageReader::setAllocationLimit(neededMiB);
    });
}

QImage decodeWithQt(QFile& file, PhotoType type, const QString& name) {
    allowCappedPhotoAllocations();
    if (!file.seek(0))
        throw Failure::unreadable(name);
    QImageReader reader(&file, type == PhotoType::jpeg ? "jpeg" : "png");
    reader.setAutoTransform(true);
    // The header's size is known before a single pixel is decoded; a photo whose size cannot be
    // read is not guessed at.
    const QSize size = reader.size();
    checkPixelCount(size.width(), size.height(), name);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        throw Failure::unreadable(name);
    return image;
}

struct HeifContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct HeifImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct HeifEncoderDeleter {
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
struct HeifOptionsDeleter {
    void operator()(heif_encoding_options* o) const { heif_encoding_options_free(o); }
};
using HeifContext = std::unique_ptr<heif_context, HeifContextDeleter>;
using HeifHandle = std::unique_ptr<heif_image_handle, HeifHandleDeleter>;
using HeifImage = std::unique_ptr<heif_image, HeifImageDeleter>;

// The colour space the decoded pixels are in, so that they can be brought to sRGB before the
// profile is dropped. Phones write wide-gamut photos (Display P3) that would otherwise look dull.
QColorSpace heicColorSpace(const heif_image_handle* handle) {
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(handle)), Qt::Uninitialized);
        if (!icc.isEmpty() && heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
            return QColorSpace::fromIccProfile(icc);
    }
    heif_color_profile_nclx* nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok && nclx) {
        const bool p3 = nclx->color_primaries == heif_color_primaries_SMPTE_EG_432_1;
        heif_nclx_color_profile_free(nclx);
        if (p3)
            return QColorSpace(QColorSpace::DisplayP3);
    }
    return {};
}

QImage decodeHeic(const QString& path, const QString& name) {
    HeifContext context(heif_context_alloc());
    if (!context)
        throw Failure::unreadable(name);
    if (heif_context_read_from_file(context.get(), QFile::encodeName(path).constData(), nullptr).code != heif_error_Ok)
        throw Failure::unreadable(name);
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        throw Failure::unreadable(name);
    HeifHandle handle(rawHandle);
    checkPixelCount(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()), name);

    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    heif_image* rawImage = nullptr;
    // The decoder applies the file's rotation and mirroring, so the pixels come out upright.
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr)
            .code != heif_error_Ok)
        throw Failure::unreadable(name);
    HeifImage image(rawImage);
    int stride = 0;
    const std::uint8_t* pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || width <= 0 || height <= 0)
        throw Failure::unreadable(name);
    checkPixelCount(width, height, name);
    QImage decoded =
        QImage(pixels, width, height, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888).copy();
    decoded.setColorSpace(heicColorSpace(handle.get()));
    return decoded;
}

// Long side of the output: the photo's own, or at most kOptimizedLongSide when optimising.
QImage scaledForOutput(const QImage& image, bool optimize) {
    const int longSide = std::max(image.width(), image.height());
    const int target = longSide < 2 ? 1 : (optimize ? std::min(longSide, PocketImport::kOptimizedLongSide) : longSide);
    if (longSide <= target)
        return image;
    return image.scaled(QSize(target, target), Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// Pixels only: sRGB, and a fresh image that carries no text chunks, comments, colour profile or
// resolution from the source, so the writers have nothing of it to copy.
QImage plainPixels(const QImage& source, bool forJpeg) {
    QImage image = source;
    const bool gray = image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    image.convertTo(gray ? QImage::Format_Grayscale8
                         : (image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32));
    if (!gray && image.colorSpace().isValid() && image.colorSpace() != QColorSpace(QColorSpace::SRgb))
        image.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    if (forJpeg && image.hasAlphaChannel()) {
        // JPEG has no transparency; show it against white rather than undefined colours.
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter painter(&flat);
        painter.drawImage(0, 0, image);
        painter.end();
        image = flat;
    }
    return QImage(image.constBits(), image.width(), image.height(), image.bytesPerLine(), image.format()).copy();
}

SecureBytes toSecure(QByteArray& bytes) {
    SecureBytes out(bytes.begin(), bytes.end());
    wipe(bytes.data(), std::size_t(bytes.size()));
    return out;
}

SecureBytes encodeWithQt(const QImage& image, const char* format, int quality, const QString& name) {
    QByteArray bytes;
    {
        QBuffer buffer(&bytes);
        if (!buffer.open(QIODevice::WriteOnly))
            throw Failure::unreadable(name);
        QImageWriter writer(&buffer, format);
        if (quality >= 0)
            writer.setQuality(quality);
        if (!writer.write(image))
            throw Failure::unreadable(name);
    }
    return toSecure(bytes);
}

heif_error appendToByteArray(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<QByteArray*>(userdata)->append(static_cast<const char*>(data), qsizetype(size));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

SecureBytes encodeHeic(const QImage& source, int quality, const QString& name) {
    const bool alpha = source.hasAlphaChannel();
    const QImage image = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    const int width = image.width();
    const int height = image.height();

    heif_image* rawImage = nullptr;
    if (heif_image_create(width, height, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage)
            .code != heif_error_Ok)
        throw Failure::unreadable(name);
    HeifImage heifImage(rawImage);
    if (heif_image_add_plane(heifImage.get(), heif_channel_interleaved, width, height, 8).code != heif_error_Ok)
        throw Failure::unreadable(name);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(heifImage.get(), heif_channel_interleaved, &stride);
    if (!plane)
        throw Failure::unreadable(name);
    const std::size_t rowBytes = std::size_t(width) * (alpha ? 4 : 3);
    for (int y = 0; y < height; ++y)
        std::memcpy(plane + std::size_t(y) * std::size_t(stride), image.constScanLine(y), rowBytes);

    HeifContext context(heif_context_alloc());
    heif_encoder* rawEncoder = nullptr;
    if (!context ||
        heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code != heif_error_Ok)
        throw Failure::unreadable(name);
    std::unique_ptr<heif_encoder, HeifEncoderDeleter> encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), quality);
    std::unique_ptr<heif_encoding_options, HeifOptionsDeleter> options(heif_encoding_options_alloc());
    if (heif_context_encode_image(context.get(), heifImage.get(), encoder.get(), options.get(), nullptr).code !=
        heif_error_Ok)
        throw Failure::unreadable(name);

    QByteArray bytes;
    heif_writer writer{1, &appendToByteArray};
    if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok)
        throw Failure::unreadable(name);
    return toSecure(bytes);
}

QString limitText() {
    return formatByteCount(PocketImport::kLimitBytes);
}

} // namespace

PocketImport::Failure::Failure(Case c, QString fileName, std::int64_t bytes, Content content)
    : case_(c), fileName_(std::move(fileName)), bytes_(bytes), content_(content), what_(message().toStdString()) {}

PocketImport::Failure PocketImport::Failure::unsupported(const QString& fileName) {
    return Failure(Case::unsupported, fileName, 0, Content::note);
}

PocketImport::Failure PocketImport::Failure::tooLarge(const QString& fileName, std::int64_t bytes, Content content) {
    return Failure(Case::tooLarge, fileName, bytes, content);
}

PocketImport::Failure PocketImport::Failure::unreadable(const QString& fileName) {
    return Failure(Case::unreadable, fileName, 0, Content::note);
}

QString PocketImport::Failure::message() const {
    const QString quoted = QStringLiteral("“") + fileName_ + QStringLiteral("”");
    switch (case_) {
    case Case::unsupported:
        return quoted + QStringLiteral(" can’t be added — Pocket Vaults hold text notes, photos (JPEG, PNG, HEIC) "
                                       "and PDFs.");
    case Case::unreadable:
        return quoted + QStringLiteral(" couldn’t be read.");
    case Case::tooLarge: {
        const QString start = quoted + QStringLiteral(" is ") + formatByteCount(bytes_) +
                              QStringLiteral(" — the limit per file is ") + limitText() + QStringLiteral(". ");
        switch (content_) {
        case Content::pdf:
            return start + QStringLiteral("Try scanning it again at a lower resolution, or add its pages as photos.");
        case Content::photo:
            return start + QStringLiteral("Turn on “Optimize photos” to shrink it.");
        case Content::note:
            return start + QStringLiteral("Split it into smaller notes.");
        }
    }
    }
    return quoted;
}

bool PocketImport::canWriteHeic() {
    return heif_have_encoder_for_format(heif_compression_HEVC) != 0;
}

PocketItem PocketImport::item(const QString& path, bool optimizePhotos) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    // Regular files only: a pipe or a device could block the import or never end.
    if (!info.isFile())
        throw Failure::unreadable(name);
    QFile file(path);
    // Unbuffered, so that no copy of a note's text stays behind in the file's read buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw Failure::unreadable(name);
    const std::int64_t size = file.size();

    // Enough of the start to tell PDFs and photos apart; the rest is read only once the size
    // has been checked. It may be the start of a secret note, so it is wiped on every way out.
    QByteArray head = file.peek(64);
    const auto wipeHead = qScopeGuard([&head] { wipe(head.data(), std::size_t(head.size())); });

    PocketItem item;
    item.id = QUuid::createUuid();
    item.created = Date::now();
    item.modified = item.created;

    if (startsWith(head, "%PDF-", 5)) {
        if (size > kLimitBytes)
            throw Failure::tooLarge(name, size, Failure::Content::pdf);
        bool overLimit = false;
        SecureBytes data = readAtMost(file, kLimitBytes, name, overLimit);
        if (overLimit)
            throw Failure::tooLarge(name, std::max(size, std::int64_t(data.size())), Failure::Content::pdf);
        if (!pdfIsReadable(data))
            throw Failure::unreadable(name);
        item.kind = PocketItem::Kind::pdf;
        item.name = name;
        item.data = std::move(data);
        return item;
    }

    if (const std::optional<PhotoType> type = photoType(head)) {
        QImage image = *type == PhotoType::heic ? decodeHeic(path, name) : decodeWithQt(file, *type, name);
        image = scaledForOutput(image, optimizePhotos);

        QString extension;
        if (optimizePhotos || *type == PhotoType::jpeg || (*type == PhotoType::heic && !canWriteHeic())) {
            // A HEIC photo is kept as JPEG when this machine has no HEVC encoder.
            item.data = encodeWithQt(plainPixels(image, true), "jpeg", optimizePhotos ? 80 : 95, name);
            extension = QStringLiteral(".jpg");
        } else if (*type == PhotoType::png) {
            item.data = encodeWithQt(plainPixels(image, false), "png", -1, name);
            extension = QStringLiteral(".png");
        } else {
            item.data = encodeHeic(plainPixels(image, false), 95, name);
            extension = QStringLiteral(".heic");
        }
        // The limit applies to what the vault stores, not to the file as it was.
        if (std::int64_t(item.data.size()) > kLimitBytes)
            throw Failure::tooLarge(name, std::int64_t(item.data.size()), Failure::Content::photo);
        item.kind = PocketItem::Kind::image;
        item.name = withoutExtension(name) + extension;
        return item;
    }

    if (size > kLimitBytes) {
        // Judged as a whole, like any other file: a file that only starts like text is not a note
        // that is too long.
        if (!fileIsText(file, name))
            throw Failure::unsupported(name);
        throw Failure::tooLarge(name, size, Failure::Content::note);
    }
    bool overLimit = false;
    SecureBytes data = readAtMost(file, kLimitBytes, name, overLimit);
    if (overLimit)
        throw Failure::tooLarge(name, std::max(size, std::int64_t(data.size())), Failure::Content::note);
    if (!isText(data))
        throw Failure::unsupported(name);
    item.kind = PocketItem::Kind::note;
    item.name = withoutExtension(name);
    item.data = std::move(data);
    return item;
}

} // namespace larkhold
