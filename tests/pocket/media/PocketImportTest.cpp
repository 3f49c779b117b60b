#include "PocketImport.h"

#include "ByteCount.h"
#include "ChildJob.h"
#include "PdfRenderer.h"
#include "TestPdfs.h"
#include "TestPhotos.h"

#include <QBuffer>
#include <QColorSpace>
#include <QColorTransform>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using larkhold::PocketImport;
using larkhold::PocketItem;
using larkhold::test::heicOf;
using Failure = PocketImport::Failure;

namespace {

class PocketImportTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir_.filePath(name); }

    QString write(const QString& name, const QByteArray& bytes) const {
        QFile f(path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_EQ(f.write(bytes), bytes.size());
        return f.fileName();
    }

    static QByteArray encode(const QImage& image, const char* format, int quality = -1,
                             const std::function<void(QImageWriter&)>& tune = {}) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        writer.setQuality(quality);
        if (tune)
            tune(writer);
        EXPECT_TRUE(writer.write(image)) << writer.errorString().toStdString();
        return bytes;
    }

    static QImage gradient(int w, int h) {
        QImage image(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixel(x, y, qRgb(x * 255 / w, y * 255 / h, 128));
        return image;
    }

    static QImage noise(int w, int h) {
        QImage image(w, h, QImage::Format_RGB32);
        auto* rng = QRandomGenerator::global();
        for (int y = 0; y < h; ++y) {
            auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
            for (int x = 0; x < w; ++x)
                line[x] = 0xFF000000u | (rng->generate() & 0xFFFFFFu);
        }
        return image;
    }

    static QImage decoded(const PocketItem& item) {
        return QImage::fromData(reinterpret_cast<const uchar*>(item.data.data()), int(item.data.size()));
    }

    static QByteArray bytesOf(const PocketItem& item) {
        return QByteArray(reinterpret_cast<const char*>(item.data.data()), qsizetype(item.data.size()));
    }

    static QByteArray readHead(const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.read(64) : QByteArray();
    }

    static Failure failureOf(const QString& file, bool optimize) {
        try {
            PocketImport::item(file, optimize);
        } catch (const Failure& f) {
            return f;
        }
        ADD_FAILURE() << "no failure for " << file.toStdString();
        return Failure::unreadable(QString());
    }

    QTemporaryDir dir_;
};

// A minimal one-page PDF, optionally with a comment of `padding` bytes after its header so that
// the whole file reaches an exact size. Offsets in the cross-reference table are computed.
QByteArray makePdf(qsizetype padding = 0) {
    QByteArray pdf = "%PDF-1.4\n";
    while (padding > 0) {
        const qsizetype line = std::min<qsizetype>(padding, 1000);
        pdf += '%' + QByteArray(line - 2, 'x') + '\n';
        padding -= line;
    }
    const QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>",
    };
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 4\n0000000000 65535 f \n";
    for (const qsizetype o : offsets)
        pdf += QByteArray::number(o).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

QByteArray pdfOfSize(qsizetype size) {
    const qsizetype base = makePdf(0).size();
    QByteArray pdf = makePdf(size - base);
    // The padding changes the digits of the offsets; adjust for the difference.
    pdf = makePdf(size - base - (pdf.size() - size));
    return pdf;
}

// An EXIF block whose only entry is the orientation tag.
QByteArray exifOrientation(quint16 orientation) {
    QByteArray tiff("II\x2A\x00\x08\x00\x00\x00", 8);
    tiff += QByteArray("\x01\x00", 2);                         // one entry
    tiff += QByteArray("\x12\x01\x03\x00\x01\x00\x00\x00", 8); // 0x0112 SHORT ×1
    tiff += char(orientation) + QByteArray("\x00\x00\x00", 3); // value
    tiff += QByteArray(4, '\0');                               // no next IFD
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    return QByteArray("\xFF\xE1", 2) + char(length >> 8) + char(length & 0xFF) + payload;
}

QByteArray withSegmentAfterSoi(const QByteArray& jpeg, const QByteArray& segment) {
    return jpeg.left(2) + segment + jpeg.mid(2);
}

quint32 crc32(const QByteArray& data) {
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBigEndian(QByteArray& bytes, qsizetype at, quint32 v) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(v >> (24 - 8 * i));
}

} // namespace

TEST_F(PocketImportTest, pdfIsDecidedByContentAndKeptUnchanged) {
    const QByteArray pdf = makePdf();
    const PocketItem item = PocketImport::item(write("scan.txt", pdf), true);
    EXPECT_EQ(item.kind, PocketItem::Kind::pdf);
    EXPECT_EQ(item.name, "scan.txt");
    EXPECT_EQ(bytesOf(item), pdf);
    EXPECT_FALSE(item.id.isNull());
    EXPECT_EQ(item.created, item.modified);

    // Sessions import off the GUI thread, where no event loop runs.
    std::optional<PocketItem::Kind> kindOnWorker;
    std::thread([&] { kindOnWorker = PocketImport::item(path("scan.txt"), true).kind; }).join();
    EXPECT_EQ(kindOnWorker, PocketItem::Kind::pdf);

    // Starts like a PDF but is none: unreadable, not a note.
    const Failure broken = failureOf(write("broken.pdf", "%PDF-1.4\nthis is not a document\n"), true);
    EXPECT_EQ(broken.which(), Failure::Case::unreadable);
    EXPECT_EQ(broken.message(), "“broken.pdf” couldn’t be read.");
}

// The PDF library never ends on this one; the import refuses it once the check's time is up.
TEST_F(PocketImportTest, pdfThatHangsThePdfLibraryIsRefused) {
    const Failure f = failureOf(write("loop.pdf", larkhold::test::selfListingPdf()), false);
    EXPECT_EQ(f.which(), Failure::Case::unreadable);
    EXPECT_EQ(f.message(), "“loop.pdf” couldn’t be read.");
}

// Where the checking process cannot be sealed off, the PDF is not checked, and the user reads why.
TEST_F(PocketImportTest, pdfWhoseCheckCannotBeConfinedIsRefusedWithTheReason) {
    larkhold::PdfRenderer::setLimitsForTesting({256 << 20, 0});
    const Failure f = failureOf(write("scan.pdf", larkhold::test::pagesPdf(1)), false);
    larkhold::PdfRenderer::setLimitsForTesting({});
    EXPECT_EQ(f.which(), Failure::Case::unconfined);
    EXPECT_EQ(f.message(), "“scan.pdf” couldn’t be checked — this computer doesn’t let Larkhold open files sealed "
                           "off from your vaults.");
}

TEST_F(PocketImportTest, pdfLimitIsInclusive) {
    const QByteArray exact = pdfOfSize(PocketImport::kLimitBytes);
    ASSERT_EQ(exact.size(), PocketImport::kLimitBytes);
    EXPECT_EQ(PocketImport::item(write("exact.pdf", exact), false).kind, PocketItem::Kind::pdf);

    const QByteArray over = pdfOfSize(PocketImport::kLimitBytes + 1);
    ASSERT_EQ(over.size(), PocketImport::kLimitBytes + 1);
    const Failure f = failureOf(write("over.pdf", over), false);
    EXPECT_EQ(f.which(), Failure::Case::tooLarge);
    EXPECT_EQ(f.bytes(), PocketImport::kLimitBytes + 1);
    EXPECT_EQ(f.message(), "“over.pdf” is " + larkhold::formatByteCount(PocketImport::kLimitBytes + 1) +
                               " — the limit per file is 5 MB. Try scanning it again at a lower resolution, or add "
                               "its pages as photos.");
}

TEST_F(PocketImportTest, optimizingScalesTheLongSideTo2500AndWritesJpeg) {
    const PocketItem big = PocketImport::item(write("Holiday.png", encode(gradient(4000, 3000), "png")), true);
    EXPECT_EQ(big.kind, PocketItem::Kind::image);
    EXPECT_EQ(big.name, "Holiday.jpg");
    EXPECT_TRUE(bytesOf(big).startsWith("\xFF\xD8"));
    EXPECT_EQ(decoded(big).size(), QSize(2500, 1875));

    const PocketItem small = PocketImport::item(write("small.jpeg", encode(gradient(2400, 1600), "jpeg", 90)), true);
    EXPECT_EQ(small.name, "small.jpg");
    EXPECT_EQ(decoded(small).size(), QSize(2400, 1600));
}

TEST_F(PocketImportTest, withoutOptimizingPhotosKeepTheirTypeAndSize) {
    const PocketItem png = PocketImport::item(write("Chart.final.png", encode(gradient(3000, 200), "png")), false);
    EXPECT_EQ(png.name, "Chart.final.png");
    EXPECT_TRUE(bytesOf(png).startsWith("\x89PNG"));
    EXPECT_EQ(decoded(png).size(), QSize(3000, 200));

    // The extension follows the content: a JPEG named .png comes out as .jpg.
    const PocketItem jpeg = PocketImport::item(write("camera.png", encode(gradient(300, 200), "jpeg", 90)), false);
    EXPECT_EQ(jpeg.name, "camera.jpg");
    EXPECT_TRUE(bytesOf(jpeg).startsWith("\xFF\xD8"));
}

TEST_F(PocketImportTest, photoLimitAppliesToTheReencodedBytes) {
    // Noise hardly compresses: as PNG it stays above the limit, as an optimised JPEG well below.
    const QByteArray png = encode(noise(1400, 1400), "png");
    ASSERT_GT(png.size(), PocketImport::kLimitBytes);
    const QString file = write("noise.png", png);

    const PocketItem optimized = PocketImport::item(file, true);
    EXPECT_LE(qsizetype(optimized.data.size()), PocketImport::kLimitBytes);

    const Failure f = failureOf(file, false);
    EXPECT_EQ(f.which(), Failure::Case::tooLarge);
    EXPECT_GT(f.bytes(), PocketImport::kLimitBytes);
    EXPECT_EQ(f.message(), "“noise.png” is " + larkhold::formatByteCount(f.bytes()) +
                               " — the limit per file is 5 MB. Turn on “Optimize photos” to shrink it.");
}

TEST_F(PocketImportTest, orientationIsAppliedAndMetadataDropped) {
    QByteArray jpeg = encode(gradient(40, 20), "jpeg", 95, [](QImageWriter& w) {
        w.setText(QStringLiteral("Description"), QStringLiteral("secret-comment"));
    });
    ASSERT_TRUE(jpeg.contains("secret-comment"));         // Qt writes image text as a JPEG comment
    jpeg = withSegmentAfterSoi(jpeg, exifOrientation(6)); // stored on its side: rotate 90° clockwise

    for (const bool optimize : {false, true}) {
        const PocketItem item = PocketImport::item(write("side.jpg", jpeg), optimize);
        const QByteArray out = bytesOf(item);
        EXPECT_EQ(decoded(item).size(), QSize(20, 40)) << optimize;
        EXPECT_FALSE(out.contains("Exif")) << optimize;
        EXPECT_FALSE(out.contains("secret-comment")) << optimize;
    }
}

TEST_F(PocketImportTest, pngTextAndColourProfileAreNotCarriedOver) {
    QImage image = gradient(64, 64);
    image.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
    const QByteArray png = encode(image, "png", -1, [](QImageWriter& w) {
        w.setText(QStringLiteral("Location"), QStringLiteral("secret-place"));
    });
    ASSERT_TRUE(png.contains("secret-place"));
    ASSERT_TRUE(png.contains("iCCP"));

    const QByteArray out = bytesOf(PocketImport::item(write("profile.png", png), false));
    EXPECT_FALSE(out.contains("secret-place"));
    EXPECT_FALSE(out.contains("iCCP"));

    const QByteArray jpegOut = bytesOf(PocketImport::item(write("profile.png", png), true));
    EXPECT_FALSE(jpegOut.contains("ICC_PROFILE"));
    EXPECT_FALSE(jpegOut.contains("secret-place"));
}

TEST_F(PocketImportTest, heicStaysHeicUnlessOptimized) {
    const QByteArray heic = heicOf(gradient(64, 48));
    ASSERT_FALSE(heic.isEmpty());
    const QString file = write("IMG_0001.HEIC", heic);

    const PocketItem optimized = PocketImport::item(file, true);
    EXPECT_EQ(optimized.name, "IMG_0001.jpg");
    EXPECT_TRUE(bytesOf(optimized).startsWith("\xFF\xD8"));
    EXPECT_EQ(decoded(optimized).size(), QSize(64, 48));

    const PocketItem kept = PocketImport::item(file, false);
    ASSERT_TRUE(PocketImport::canWriteHeic());
    EXPECT_EQ(kept.name, "IMG_0001.heic");
    const QByteArray out = bytesOf(kept);
    EXPECT_STREQ(heif_get_file_mime_type(reinterpret_cast<const uint8_t*>(out.constData()), int(out.size())),
                 "image/heic");

    // The generic HEIF brand first and HEVC only among the compatible brands, as some phones
    // write it: still a HEIC photo, not an unsupported file.
    QByteArray generic = heic;
    ASSERT_EQ(generic.mid(4, 8), "ftypheic");
    generic.replace(8, 4, "mif1");
    ASSERT_EQ(heif_has_compatible_brand(reinterpret_cast<const uint8_t*>(generic.constData()), 64, "heic"), 1);
    const PocketItem fromGeneric = PocketImport::item(write("IMG_0002.HEIF", generic), false);
    EXPECT_EQ(fromGeneric.kind, PocketItem::Kind::image);
    EXPECT_EQ(fromGeneric.name, "IMG_0002.heic");
}

// A stored HEIC item is read from memory as an import reads a file: upright, with its colour
// space, and only when it is a HEIC photo.
TEST_F(PocketImportTest, heicHeldInMemoryIsReadAsAnImportReadsIt) {
    const QByteArray heic = heicOf(gradient(64, 48), true);
    const auto view = [](const QByteArray& bytes) {
        return larkhold::asBytes(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    };
    ASSERT_TRUE(PocketImport::isHeic(view(heic)));
    const QImage image = PocketImport::decodeHeic(view(heic));
    EXPECT_EQ(image.size(), QSize(64, 48));
    EXPECT_EQ(image.colorSpace(), QColorSpace(QColorSpace::DisplayP3));

    const QByteArray jpeg = encode(gradient(8, 8), "jpeg");
    EXPECT_FALSE(PocketImport::isHeic(view(jpeg)));
    EXPECT_TRUE(PocketImport::decodeHeic(view(jpeg)).isNull());
    EXPECT_TRUE(PocketImport::decodeHeic(view(heic.left(40))).isNull());
}

TEST_F(PocketImportTest, wideGamutHeicIsConvertedToSrgb) {
    // A saturated red as a phone stores it in Display P3; shown as sRGB without conversion it
    // would look dull.
    const QColor p3Red(200, 30, 30);
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(p3Red);
    const QString file = write("wide.heic", heicOf(image, true));
    const QColor expected =
        QColorSpace(QColorSpace::DisplayP3).transformationToColorSpace(QColorSpace::SRgb).map(p3Red);
    ASSERT_GT(std::abs(expected.red() - p3Red.red()), 10);

    const QColor out = decoded(PocketImport::item(file, true)).pixelColor(16, 16);
    EXPECT_NEAR(out.red(), expected.red(), 6);
    EXPECT_NEAR(out.green(), expected.green(), 6);
    EXPECT_NEAR(out.blue(), expected.blue(), 6);
}

// Photos of 16 bits a sample come out at 8 bits with the same colours, transparency and size.
TEST_F(PocketImportTest, sixteenBitPngKeepsItsColoursAtEightBits) {
    QImage deep(40, 30, QImage::Format_RGBA64);
    for (int y = 0; y < deep.height(); ++y)
        for (int x = 0; x < deep.width(); ++x)
            deep.setPixelColor(x, y,
                               QColor::fromRgba64(quint16(x * 1600), quint16(y * 2100), 0x8000, 0xFFFF - x * 256));
    const QByteArray png = encode(deep, "png");
    ASSERT_EQ(int(quint8(png[24])), 16);
    const QImage out = decoded(PocketImport::item(write("deep.png", png), false));
    ASSERT_EQ(out.size(), deep.size());
    EXPECT_TRUE(out.hasAlphaChannel());
    for (const QPoint p : {QPoint(0, 0), QPoint(39, 29), QPoint(17, 11)}) {
        const QColor want = deep.pixelColor(p);
        const QColor got = out.pixelColor(p);
        EXPECT_NEAR(got.red(), want.red(), 1) << p.x() << "," << p.y();
        EXPECT_NEAR(got.green(), want.green(), 1);
        EXPECT_NEAR(got.blue(), want.blue(), 1);
        EXPECT_NEAR(got.alpha(), want.alpha(), 1);
    }

    QImage gray(16, 8, QImage::Format_Grayscale16);
    for (int y = 0; y < gray.height(); ++y)
        for (int x = 0; x < gray.width(); ++x)
            reinterpret_cast<quint16*>(gray.scanLine(y))[x] = quint16(x * 4000 + y);
    const QImage grayOut = decoded(PocketImport::item(write("gray.png", encode(gray, "png")), true));
    ASSERT_EQ(grayOut.size(), gray.size());
    EXPECT_NEAR(qGray(grayOut.pixel(15, 0)), 15 * 4000 / 257, 1);
}

TEST_F(PocketImportTest, oversizedOrUnreadablePhotoHeadersAreRefusedBeforeDecoding) {
    // A tiny PNG whose header claims 30000 × 30000 pixels.
    QByteArray png = encode(gradient(2, 2), "png");
    ASSERT_EQ(png.mid(12, 4), "IHDR");
    putBigEndian(png, 16, 30000);
    putBigEndian(png, 20, 30000);
    putBigEndian(png, 29, crc32(png.mid(12, 17)));
    const Failure bomb = failureOf(write("bomb.png", png), true);
    EXPECT_EQ(bomb.which(), Failure::Case::unreadable);

    // A JPEG cut off before its frame header has no size to go by: refused, never a 1-pixel image.
    const QByteArray jpeg = encode(gradient(50, 50), "jpeg", 90);
    const Failure cut = failureOf(write("cut.jpg", jpeg.left(20)), false);
    EXPECT_EQ(cut.which(), Failure::Case::unreadable);
    EXPECT_EQ(cut.message(), "“cut.jpg” couldn’t be read.");
}

TEST_F(PocketImportTest, notesKeepTheirBytesAndNameWithoutExtension) {
    const QByteArray text = "\xEF\xBB\xBFIdeas for the garden: \xC3\xA9t\xC3\xA9 \xF0\x9F\x8C\xB1\n";
    const PocketItem note = PocketImport::item(write("Ideas.md", text), true);
    EXPECT_EQ(note.kind, PocketItem::Kind::note);
    EXPECT_EQ(note.name, "Ideas");
    EXPECT_EQ(bytesOf(note), text);

    const PocketItem empty = PocketImport::item(write("Empty.txt", {}), true);
    EXPECT_EQ(empty.kind, PocketItem::Kind::note);
    EXPECT_TRUE(empty.data.empty());

    EXPECT_EQ(PocketImport::item(write(".profile", "export A=1\n"), true).name, ".profile");
    EXPECT_EQ(PocketImport::item(write("archive.tar.txt", "x"), true).name, "archive.tar");
}

TEST_F(PocketImportTest, nonTextIsUnsupported) {
    const QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xFF\xFF\xFF\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00"
                         "\x00\x02\x02\x44\x01\x00;",
                         35);
    const QByteArray utf16 = QByteArray("\xFF\xFE", 2) + QByteArray(reinterpret_cast<const char*>(u"Hello"), 10);
    const QByteArray cases[] = {gif,
                                utf16,
                                QByteArray("abc\0def", 7),
                                QByteArray("\xC0\xAF"),
                                QByteArray("\xED\xA0\x80"),
                                QByteArray("caf\xC3")};
    for (const QByteArray& bytes : cases) {
        const Failure f = failureOf(write("file.txt", bytes), true);
        EXPECT_EQ(f.which(), Failure::Case::unsupported) << bytes.toHex().toStdString();
    }
    EXPECT_EQ(failureOf(write("anim.gif", gif), true).message(),
              "“anim.gif” can’t be added — Pocket Vaults hold text notes, photos (JPEG, PNG, HEIC) and PDFs.");
}

TEST_F(PocketImportTest, oversizedNotesAreRefusedWithTheirOwnAdvice) {
    const QByteArray exact(PocketImport::kLimitBytes, 'a');
    EXPECT_EQ(PocketImport::item(write("exact.txt", exact), true).data.size(), std::size_t(PocketImport::kLimitBytes));

    const Failure f = failureOf(write("long.txt", exact + "b"), true);
    EXPECT_EQ(f.which(), Failure::Case::tooLarge);
    EXPECT_EQ(f.message(), "“long.txt” is " + larkhold::formatByteCount(PocketImport::kLimitBytes + 1) +
                               " — the limit per file is 5 MB. Split it into smaller notes.");
    EXPECT_FALSE(f.message().contains("Optimize photos"));

    // A large binary file is not a long note, wherever its first non-text byte lies.
    for (const qsizetype at :
         {qsizetype(100), qsizetype(65'536), qsizetype(5'500'000), qsizetype(6 * 1024 * 1024 - 1)}) {
        QByteArray binary(6 * 1024 * 1024, 'a');
        binary[at] = '\0';
        EXPECT_EQ(failureOf(write("video.bin", binary), true).which(), Failure::Case::unsupported) << at;
        binary[at] = '\xFF';
        EXPECT_EQ(failureOf(write("video.bin", binary), true).which(), Failure::Case::unsupported) << at;
    }
    // Text whose characters straddle the pieces it is read in is still text.
    QByteArray accents;
    while (accents.size() < 6 * 1024 * 1024)
        accents += "\xC3\xA9t\xE2\x82\xAC \xF0\x9F\x8C\xB1";
    EXPECT_EQ(failureOf(write("accents.txt", accents), true).which(), Failure::Case::tooLarge);
    // Cut off in the middle of its last character: not text.
    EXPECT_EQ(failureOf(write("cut.txt", accents + "\xF0\x9F"), true).which(), Failure::Case::unsupported);
}

TEST_F(PocketImportTest, missingFilesAndFoldersAreUnreadable) {
    EXPECT_EQ(failureOf(path("gone.txt"), true).message(), "“gone.txt” couldn’t be read.");
    ASSERT_TRUE(QDir(dir_.path()).mkdir("Folder.pdf"));
    EXPECT_EQ(failureOf(path("Folder.pdf"), true).which(), Failure::Case::unreadable);
    // Opening a pipe would wait for a writer that never comes.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("pipe.txt")).constData(), 0600), 0);
    EXPECT_EQ(failureOf(path("pipe.txt"), true).which(), Failure::Case::unreadable);
}

// Photos of 100 million pixels, the most the import takes, must be imported within a fixed amount
// of memory. Each import runs in a fresh process of this executable, so that its peak resident size
// is its own; the files are made in another one, which may use what it likes.
int makeUniformPhoto(const QStringList& arguments) {
    if (arguments.size() != 4)
        return 2;
    // One colour over the whole picture, so that the file is small however many pixels it has.
    QImage image(10'000, 10'000, QImage::Format(arguments[1].toInt()));
    if (image.isNull())
        return 1;
    image.fill(QColor::fromRgba64(0x1234, 0x5678, 0x9ABC, 0xFFFF));
    image.setColorSpace(QColorSpace(QColorSpace::NamedColorSpace(arguments[3].toInt())));
    const QByteArray type = arguments[2].toLatin1();
    QImageWriter writer(arguments[0], type);
    writer.setQuality(type == "png" ? 0 : 90); // PNG: the strongest compression
    return writer.write(image) ? 0 : 1;
}

// Prints "<failure case or -1> <width of the result> <peak resident KiB>".
int importPhoto(const QStringList& arguments) {
    if (arguments.size() != 2)
        return 2;
    int failure = -1;
    int width = 0;
    try {
        const PocketItem item = PocketImport::item(arguments[0], arguments[1] == QLatin1String("1"));
        QByteArray bytes =
            QByteArray::fromRawData(reinterpret_cast<const char*>(item.data.data()), qsizetype(item.data.size()));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        width = QImageReader(&buffer).size().width(); // from the header: nothing more is decoded
    } catch (const Failure& f) {
        failure = int(f.which());
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %d %ld\n", failure, width, long(usage.ru_maxrss));
    return 0;
}

const bool photoJobs = larkhold::test::registerChildJob(QStringLiteral("make-photo"), makeUniformPhoto) &&
                       larkhold::test::registerChildJob(QStringLiteral("import-photo"), importPhoto);

class PhotoMemory : public PocketImportTest {
protected:
    static constexpr long kCeilingKiB = 1024 * 1024; // 1 GiB

    struct Imported {
        bool ok = false;
        int failure = -1; // Failure::Case when not ok
        int width = 0;
        long peakKiB = 0;
    };

    static Imported importInChild(const QString& file, bool optimize) {
        const larkhold::test::ChildOutcome run = larkhold::test::runChildJob(
            QStringLiteral("import-photo"), {file, optimize ? QStringLiteral("1") : QStringLiteral("0")});
        const QStringList report = QString::fromUtf8(run.output).trimmed().split(QLatin1Char(' '));
        Imported in;
        if (!run.finished || run.exitCode != 0 || report.size() != 3) {
            ADD_FAILURE() << "the import of " << file.toStdString() << " ended without a report (killed?) "
                          << run.errors.toStdString();
            return in;
        }
        in.failure = report[0].toInt();
        in.ok = in.failure < 0;
        in.width = report[1].toInt();
        in.peakKiB = report[2].toLong();
        std::fprintf(stderr, "import of %s (%s): peak %ld MiB\n", qPrintable(QFileInfo(file).fileName()),
                     optimize ? "optimized" : "full size", in.peakKiB / 1024);
        return in;
    }

    QString makeUniform(const QString& name, QImage::Format format, const char* type,
                        QColorSpace::NamedColorSpace space = QColorSpace::SRgb) const {
        const QString file = path(name);
        const larkhold::test::ChildOutcome run = larkhold::test::runChildJob(
            QStringLiteral("make-photo"),
            {file, QString::number(int(format)), QString::fromLatin1(type), QString::number(int(space))});
        EXPECT_TRUE(run.finished && run.exitCode == 0) << "could not make " << name.toStdString();
        return file;
    }
};

TEST_F(PhotoMemory, SixteenBitPngOfTheLargestSize) {
    const QString png = makeUniform(QStringLiteral("deep.png"), QImage::Format_RGBA64, "png");
    ASSERT_LT(QFileInfo(png).size(), 1024 * 1024) << "a file of under a megabyte";
    const QByteArray head = readHead(png);
    ASSERT_EQ(int(quint8(head[24])), 16) << "the file really has 16 bits a sample";

    const Imported optimized = importInChild(png, true);
    EXPECT_TRUE(optimized.ok) << optimized.failure;
    EXPECT_EQ(optimized.width, 2500);
    EXPECT_LT(optimized.peakKiB, kCeilingKiB);

    const Imported full = importInChild(png, false);
    EXPECT_TRUE(full.ok) << full.failure;
    EXPECT_EQ(full.width, 10'000);
    EXPECT_LT(full.peakKiB, kCeilingKiB);
}

TEST_F(PhotoMemory, EightBitPngAndJpegOfTheLargestSize) {
    // The JPEG is wide-gamut: its colours are brought to sRGB in place too.
    for (const auto& [name, type] : {std::pair{"wide.png", "png"}, std::pair{"wide.jpg", "jpeg"}}) {
        const bool jpeg = std::strcmp(type, "jpeg") == 0;
        const QString file = makeUniform(QString::fromLatin1(name), jpeg ? QImage::Format_RGB32 : QImage::Format_ARGB32,
                                         type, jpeg ? QColorSpace::DisplayP3 : QColorSpace::SRgb);
        for (const bool optimize : {true, false}) {
            const Imported imported = importInChild(file, optimize);
            EXPECT_TRUE(imported.ok) << name << " " << optimize << " " << imported.failure;
            EXPECT_EQ(imported.width, optimize ? 2500 : 10'000) << name;
            EXPECT_LT(imported.peakKiB, kCeilingKiB) << name << (optimize ? " optimized" : " full size");
        }
    }
}
