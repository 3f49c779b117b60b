#include "PocketImport.h"

#include "ByteCount.h"
#include "PdfRenderer.h"
#include "PhotoDecodeProtocol.h"
#include "PhotoImportClient.h"
#include "SecureBytes.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QScopeGuard>
#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <libheif/heif.h>
#include <memory>
#include <mutex>
#include <png.h>

namespace larkhold {

namespace {

using Failure = PocketImport::Failure;

enum class PhotoType { jpeg, png, heic };

constexpr std::size_t kTextReadBytes = 1 << 20;

// What the pixels of one photo may take while it is imported, so that an import stays well under
// 1 GiB of resident memory. The largest JPEG or PNG takes 400 MB (4 bytes a pixel, worked on in
// place); HEIC takes more, and a HEIC photo that would need more than this is refused.
constexpr std::int64_t kPhotoMemoryBytes = 800LL * 1024 * 1024;

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
    if (PocketImport::isHeic(asBytes(std::string_view(head.constData(), std::size_t(head.size())))))
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

// A PDF counts as readable when its structure loads in time. One that asks for a password has
// loaded far enough to know that; it is kept, like any other PDF, unchanged.
bool pdfIsReadable(const SecureBytes& data, const QString& name) {
    const PdfRenderer::Check check = PdfRenderer::check(ByteView(data), PdfRenderer::importCheckDeadline());
    if (check == PdfRenderer::Check::unconfined)
        throw Failure::unconfined(name);
    return check != PdfRenderer::Check::unreadable;
}

void checkPixelCount(std::int64_t width, std::int64_t height, const QString& name) {
    if (width <= 0 || height <= 0 || width * height > PocketImport::kMaxPixels)
        throw Failure::unreadable(name);
}

// Every photo is decoded at 8 bits a sample, at most 4 bytes a pixel: kMaxPixels then bound the
// decoded image to 400 MB, and no step after decoding holds a second full-size copy. Qt may
// allocate what that needs and no more, so a decoder that would take more (16 bits a sample) fails
// instead of growing past it.
void allowCappedPhotoAllocations() {
    static std::once_flag once;
    std::call_once(once, [] {
        const int neededMiB = int(PocketImport::kMaxPixels * 4 / (1024 * 1024)) + 1;
        QImageReader::setAllocationLimit(neededMiB);
    });
}

// The long side of the output: the photo's own, or at most kOptimizedLongSide when optimising.
QSize outputSize(QSize size, bool optimize) {
    const int longSide = std::max(size.width(), size.height());
    const int target = longSide < 2 ? 1 : (optimize ? std::min(longSide, PocketImport::kOptimizedLongSide) : longSide);
    if (longSide <= target)
        return size;
    return size.scaled(QSize(target, target), Qt::KeepAspectRatio);
}

QImage decodeWithQt(QIODevice& file, PhotoType type, bool optimize, const QString& name) {
    PocketImport::allowPhotoAllocations();
    if (!file.seek(0))
        throw Failure::unreadable(name);
    QImageReader reader(&file, type == PhotoType::jpeg ? "jpeg" : "png");
    reader.setAutoTransform(true);
    // The header's size is known before a single pixel is decoded; a photo whose size cannot be
    // read is not guessed at.
    const QSize size = reader.size();
    checkPixelCount(size.width(), size.height(), name);
    // A JPEG is decoded straight at (about) the size it will have: its decoder scales as it goes.
    // Rotation does not change the long side, so the size before it is the one to scale.
    if (type == PhotoType::jpeg && optimize) {
        const QSize scaled = outputSize(size, true);
        if (scaled != size)
            reader.setScaledSize(scaled);
    }
    QImage image;
    if (!reader.read(&image) || image.isNull())
        throw Failure::unreadable(name);
    return image;
}

// --- PNG of 16 bits a sample: decoded by libpng, straight to 8 bits -----------------------------
// Qt would decode it at 8 bytes a pixel (800 MB for the largest photo taken) before anything could
// be done about it.

struct PngDecoding {
    QIODevice* source = nullptr;
    QImage image;
    QByteArray iccProfile;
    bool srgb = false;
    double gamma = 0;
};

extern "C" void pngFailed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

extern "C" void pngWarned(png_structp, png_const_charp) {}

extern "C" void pngRead(png_structp png, png_bytep data, size_t length) {
    auto* decoding = static_cast<PngDecoding*>(png_get_io_ptr(png));
    if (decoding->source->read(reinterpret_cast<char*>(data), qint64(length)) != qint64(length))
        png_error(png, "short read");
}

// The reading itself. libpng reports errors by jumping back to decodePng16(), over this frame: it
// holds nothing that needs destroying, and what it builds lives in `out`.
void readPng16(png_structp png, png_infop info, PngDecoding& out) {
    png_set_read_fn(png, &out, pngRead);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, color = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &color, nullptr, nullptr, nullptr);
    if (width == 0 || height == 0 || std::int64_t(width) * std::int64_t(height) > PocketImport::kMaxPixels)
        return;
    const bool alpha = (color & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    const bool gray = (color & PNG_COLOR_MASK_COLOR) == 0;
    png_set_scale_16(png);
    png_set_expand(png);
    if (gray && alpha)
        png_set_gray_to_rgb(png);
    else if (!gray && !alpha)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    png_charp profileName = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileLength = 0;
    if (png_get_iCCP(png, info, &profileName, &compression, &profile, &profileLength) != 0 && profile)
        out.iccProfile = QByteArray(reinterpret_cast<const char*>(profile), qsizetype(profileLength));
    int intent = 0;
    out.srgb = png_get_sRGB(png, info, &intent) != 0;
    double gamma = 0;
    if (png_get_gAMA(png, info, &gamma) != 0)
        out.gamma = gamma;

    out.image = QImage(int(width), int(height),
                       gray && !alpha ? QImage::Format_Grayscale8
                                      : (alpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888));
    if (out.image.isNull() || png_get_rowbytes(png, info) > std::size_t(out.image.bytesPerLine())) {
        out.image = QImage();
        return;
    }
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < int(height); ++y)
            png_read_row(png, out.image.scanLine(y), nullptr);
    png_read_end(png, nullptr);
}

// Reads under libpng's error jump; false when libpng reported an error. Nothing here changes after
// setjmp, so nothing is lost by the jump.
bool readUnderErrorJump(png_structp png, png_infop info, PngDecoding& out) {
    if (setjmp(png_jmpbuf(png)) != 0)
        return false;
    readPng16(png, info, out);
    return true;
}

QImage decodePng16(QIODevice& file, const QString& name) {
    if (!file.seek(0))
        throw Failure::unreadable(name);
    PngDecoding decoding;
    decoding.source = &file;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool read = png && info && readUnderErrorJump(png, info, decoding);
    png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
    if (!read || decoding.image.isNull())
        throw Failure::unreadable(name);

    // Described the way Qt describes the PNGs it decodes.
    QColorSpace space;
    if (!decoding.iccProfile.isEmpty())
        space = QColorSpace::fromIccProfile(decoding.iccProfile);
    else if (decoding.srgb)
        space = QColorSpace(QColorSpace::SRgb);
    else if (decoding.gamma > 0 && std::abs(decoding.gamma - 1.0 / 2.2) > 0.01)
        space = QColorSpace(QColorSpace::Primaries::SRgb, QColorSpace::TransferFunction::Gamma,
                            float(1.0 / decoding.gamma));
    decoding.image.setColorSpace(space);
    return std::move(decoding.image);
}

bool isSixteenBitPng(const QByteArray& head) {
    // The signature, then IHDR: length, type, width, height, bit depth.
    return head.size() > 24 && head.mid(12, 4) == "IHDR" && quint8(head[24]) == 16;
}

// --- HEIC --------------------------------------------------------------------------------------

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

// What a HEIC photo takes a pixel, as measured with this system's libheif and x265: decoding (the
// coded planes, the decoded RGBA and the work on it), and decoding then encoding it again at full
// size, which the encoder's own buffers make about twice as much.
constexpr std::int64_t kHeicDecodingBytesPerPixel = 9;
constexpr std::int64_t kHeicReencodingBytesPerPixel = 17;

// The primary image of an opened HEIF file, upright, in its own colour space. Throws
// Failure::unreadable(name) for a photo beyond the pixel count or `bytesPerPixel` beyond the memory an
// import may take.
QImage decodePrimaryImage(heif_context* context, std::int64_t bytesPerPixel, const QString& name) {
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context, &rawHandle).code != heif_error_Ok)
        throw Failure::unreadable(name);
    HeifHandle handle(rawHandle);
    const std::int64_t width = heif_image_handle_get_width(handle.get());
    const std::int64_t height = heif_image_handle_get_height(handle.get());
    checkPixelCount(width, height, name);
    if (width * height * bytesPerPixel > kPhotoMemoryBytes)
        throw Failure::unreadable(name);

    heif_image* rawImage = nullptr;
    // The decoder applies the file's rotation and mirroring, so the pixels come out upright.
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code !=
        heif_error_Ok)
        throw Failure::unreadable(name);
    HeifImage image(rawImage);
    int stride = 0;
    std::uint8_t* pixels = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    const int decodedWidth = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int decodedHeight = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || decodedWidth <= 0 || decodedHeight <= 0 || stride < decodedWidth * 4)
        throw Failure::unreadable(name);
    checkPixelCount(decodedWidth, decodedHeight, name);
    // The decoder's own buffer becomes the image's, not a copy of it; the image releases it.
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    QImage decoded(
        pixels, decodedWidth, decodedHeight, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888,
        [](void* owned) { heif_image_release(static_cast<heif_image*>(owned)); }, image.get());
    if (decoded.isNull())
        throw Failure::unreadable(name);
    image.release();
    decoded.setColorSpace(heicColorSpace(handle.get()));
    return decoded;
}

QImage readHeic(ByteView bytes, bool reencodeFullSize, const QString& name) {
    HeifContext context(heif_context_alloc());
    if (!context)
        throw Failure::unreadable(name);
    if (heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr).code !=
        heif_error_Ok)
        throw Failure::unreadable(name);
    return decodePrimaryImage(context.get(),
                              reencodeFullSize ? kHeicReencodingBytesPerPixel : kHeicDecodingBytesPerPixel, name);
}

// The output: the photo as it is, or a new, smaller image when optimising. Takes the image, so that
// the large one is gone once the small one exists.
QImage scaledForOutput(QImage image, bool optimize) {
    const QSize size = outputSize(image.size(), optimize);
    if (size == image.size())
        return image;
    // Scaling works on premultiplied pixels; converted in place, or it would make a copy first.
    const bool alpha = image.format() == QImage::Format_ARGB32;
    if (alpha)
        image.convertTo(QImage::Format_ARGB32_Premultiplied);
    QImage scaled = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image = QImage();
    if (alpha)
        scaled.convertTo(QImage::Format_ARGB32);
    return scaled;
}

// Brings the pixels, in place, to 8-bit sRGB in the format the writers take; transparency is laid
// on white for JPEG, which has none.
void toPlainSrgb(QImage& image, bool forJpeg) {
    const bool gray = image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    const bool alpha = !gray && image.hasAlphaChannel();
    image.convertTo(gray ? QImage::Format_Grayscale8 : (alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32));
    if (!gray && image.colorSpace().isValid() && image.colorSpace() != QColorSpace(QColorSpace::SRgb))
        image.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    if (forJpeg && alpha) {
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = line[x];
                const int a = qAlpha(p);
                const auto over = [a](int c) { return (c * a + 255 * (255 - a) + 127) / 255; };
                line[x] = qRgb(over(qRed(p)), over(qGreen(p)), over(qBlue(p)));
            }
        }
        image.convertTo(QImage::Format_RGB32);
    }
}

// The pixels only, under a fresh header that carries no text chunks, comments, colour profile or
// resolution from the source, so the writers have nothing of it to copy. Shares `image`'s pixels,
// which must outlive it.
QImage plainView(const QImage& image) {
    return QImage(image.constBits(), image.width(), image.height(), image.bytesPerLine(), image.format());
}

SecureBytes toSecure(QByteArray& bytes) {
    SecureBytes out(bytes.begin(), bytes.end());
    wipe(bytes.data(), std::size_t(bytes.size()));
    return out;
}

// Takes what an encoder writes, keeping at most one byte more than the limit and counting the rest,
// so that an output far too large is told by its size without ever being held.
class CappedOutput : public QIODevice {
public:
    CappedOutput() { open(QIODevice::WriteOnly); }
    ~CappedOutput() override { wipe(kept_.data(), std::size_t(kept_.size())); }

    std::int64_t total() const { return total_; }
    bool overLimit() const { return total_ > PocketImport::kLimitBytes; }
    void append(const char* data, std::int64_t length) {
        total_ += length;
        const std::int64_t room = PocketImport::kLimitBytes + 1 - std::int64_t(kept_.size());
        if (room > 0)
            kept_.append(data, qsizetype(std::min(room, length)));
    }
    SecureBytes take() { return toSecure(kept_); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override {
        append(data, length);
        return length;
    }

private:
    QByteArray kept_;
    std::int64_t total_ = 0;
};

SecureBytes finished(CappedOutput& output, const QString& name) {
    // The limit applies to what the vault stores, not to the file as it was.
    if (output.overLimit())
        throw Failure::tooLarge(name, output.total(), Failure::Content::photo);
    return output.take();
}

SecureBytes encodeWithQt(const QImage& image, const char* format, int quality, const QString& name) {
    CappedOutput output;
    QImageWriter writer(&output, format);
    if (quality >= 0)
        writer.setQuality(quality);
    if (!writer.write(plainView(image)))
        throw Failure::unreadable(name);
    return finished(output, name);
}

heif_error appendToOutput(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<CappedOutput*>(userdata)->append(static_cast<const char*>(data), std::int64_t(size));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// Takes the image: its pixels are copied into the encoder's plane row by row and released before
// the encoder runs.
SecureBytes encodeHeic(QImage image, int quality, const QString& name) {
    const bool alpha = image.hasAlphaChannel();
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
    const bool gray = image.format() == QImage::Format_Grayscale8;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* out = plane + std::size_t(y) * std::size_t(stride);
        if (gray) {
            const std::uint8_t* in = image.constScanLine(y);
            for (int x = 0; x < width; ++x, out += 3)
                out[0] = out[1] = out[2] = in[x];
            continue;
        }
        const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            *out++ = std::uint8_t(qRed(in[x]));
            *out++ = std::uint8_t(qGreen(in[x]));
            *out++ = std::uint8_t(qBlue(in[x]));
            if (alpha)
                *out++ = std::uint8_t(qAlpha(in[x]));
        }
    }
    image = QImage();

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
    heifImage.reset();

    CappedOutput output;
    heif_writer writer{1, &appendToOutput};
    if (heif_context_write(context.get(), &writer, &output).code != heif_error_Ok)
        throw Failure::unreadable(name);
    return finished(output, name);
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

PocketImport::Failure PocketImport::Failure::unconfined(const QString& fileName) {
    return Failure(Case::unconfined, fileName, 0, Content::note);
}

QString PocketImport::Failure::message() const {
    const QString quoted = QStringLiteral("“") + fileName_ + QStringLiteral("”");
    switch (case_) {
    case Case::unsupported:
        return quoted + QStringLiteral(" can’t be added — Pocket Vaults hold text notes, photos (JPEG, PNG, HEIC) "
                                       "and PDFs.");
    case Case::unreadable:
        return quoted + QStringLiteral(" couldn’t be read.");
    case Case::unconfined:
        return quoted + QStringLiteral(" couldn’t be checked — this computer doesn’t let Larkhold open files "
                                       "sealed off from your vaults.");
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

bool PocketImport::isHeic(ByteView head) {
    // Only HEVC-coded HEIF counts as HEIC; AVIF and other HEIF flavours are not photos here.
    // Some phones put the generic HEIF brand first and name HEVC only among the compatible brands.
    const int length = int(std::min<std::size_t>(head.size(), 64));
    const char* mime = heif_get_file_mime_type(head.data(), length);
    if (mime && std::strcmp(mime, "image/heic") == 0)
        return true;
    return mime && std::strcmp(mime, "image/heif") == 0 &&
           (heif_has_compatible_brand(head.data(), length, "heic") == 1 ||
            heif_has_compatible_brand(head.data(), length, "heix") == 1);
}

void PocketImport::allowPhotoAllocations() {
    allowCappedPhotoAllocations();
}

QImage PocketImport::decodeHeic(ByteView bytes) {
    HeifContext context(heif_context_alloc());
    if (!context ||
        heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr).code !=
            heif_error_Ok)
        return {};
    try {
        return decodePrimaryImage(context.get(), kHeicDecodingBytesPerPixel, QString());
    } catch (const Failure&) {
        return {};
    }
}

PocketImport::Reencoded PocketImport::reencodePhoto(ByteView bytes, bool optimizePhotos, const QString& name) {
    const QByteArray head(reinterpret_cast<const char*>(bytes.data()), qsizetype(std::min<std::size_t>(bytes.size(), 64)));
    const std::optional<PhotoType> type = photoType(head);
    if (!type)
        throw Failure::unreadable(name);
    QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    QBuffer file(&view);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure::unreadable(name);
    // A HEIC photo is kept as JPEG when this machine has no HEVC encoder.
    const bool toJpeg = optimizePhotos || *type == PhotoType::jpeg || (*type == PhotoType::heic && !canWriteHeic());
    QImage image = *type == PhotoType::heic                       ? readHeic(bytes, !toJpeg, name)
                   : *type == PhotoType::png && isSixteenBitPng(head) ? decodePng16(file, name)
                                                                    : decodeWithQt(file, *type, optimizePhotos, name);
    // In place, before scaling, so that no step holds two images of the full size.
    toPlainSrgb(image, toJpeg);
    image = scaledForOutput(std::move(image), optimizePhotos);
    toPlainSrgb(image, toJpeg);

    Reencoded out;
    if (toJpeg) {
        out.data = encodeWithQt(image, "jpeg", optimizePhotos ? 80 : 95, name);
        out.extension = QStringLiteral(".jpg");
    } else if (*type == PhotoType::png) {
        out.data = encodeWithQt(image, "png", -1, name);
        out.extension = QStringLiteral(".png");
    } else {
        out.data = encodeHeic(std::move(image), 95, name);
        out.extension = QStringLiteral(".heic");
    }
    return out;
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
        if (!pdfIsReadable(data, name))
            throw Failure::unreadable(name);
        item.kind = PocketItem::Kind::pdf;
        item.name = name;
        item.data = std::move(data);
        return item;
    }

    if (photoType(head)) {
        // The photo is decoded and written anew only by the sealed-off decoder (PhotoDecodeMain.cpp).
        bool overLimit = false;
        SecureBytes data = readAtMost(file, photodecode::kMaxPhotoBytes, name, overLimit);
        if (overLimit)
            throw Failure::unreadable(name);
        Reencoded photo = reencodeInHelper(ByteView(data), optimizePhotos, name);
        item.data = std::move(photo.data);
        item.kind = PocketItem::Kind::image;
        item.name = withoutExtension(name) + photo.extension;
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
