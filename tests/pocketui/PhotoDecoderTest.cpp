#include "PhotoDecoder.h"

#include "TestFiles.h"
#include "TestPhotos.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QImageWriter>
#include <functional>
#include <gtest/gtest.h>

namespace larkhold::test {
namespace {

using namespace std::chrono_literals;

ByteView viewOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())};
}

bool eventually(const std::function<bool()>& condition) {
    const QDeadlineTimer ceiling(120s);
    while (!condition()) {
        if (ceiling.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return bytes;
}

QList<int> photoDecoders() {
    return childrenNamed("larkhold-photo-");
}

} // namespace

// What the import takes, the viewer shows: the largest photo, decoded at the size shown, under the
// decoder's caps; and what is no photo is unreadable.
TEST(PhotoDecoder, TheLargestPhotoAnImportTakesIsShownScaledDown) {
    QImage large(10'000, 10'000, QImage::Format_RGB32);
    large.fill(QColor(0x20, 0x60, 0xA0));
    PhotoDecoder decoder;
    for (const QByteArray& bytes : {encoded(large, "jpeg"), QByteArray("no photo at all")}) {
        decoder.decode(viewOf(bytes));
        ASSERT_TRUE(eventually([&] { return decoder.state() != PhotoDecoder::State::decoding; }));
    }
    EXPECT_EQ(decoder.state(), PhotoDecoder::State::unreadable);

    decoder.decode(viewOf(encoded(large, "jpeg")));
    ASSERT_TRUE(eventually([&] { return decoder.state() != PhotoDecoder::State::decoding; }));
    ASSERT_EQ(decoder.state(), PhotoDecoder::State::decoded);
    EXPECT_EQ(decoder.image().size(), QSize(kShownLongSide, kShownLongSide));
    const QColor centre = decoder.image().pixelColor(kShownLongSide / 2, kShownLongSide / 2);
    EXPECT_NEAR(centre.blue(), 0xA0, 3);
    EXPECT_NEAR(centre.red(), 0x20, 3);
    EXPECT_TRUE(photoDecoders().isEmpty());
    decoder.cancel();
    EXPECT_TRUE(decoder.image().isNull());
}

// A JPEG of thousands of scans keeps its decoder busy for minutes: it is unreadable once the
// deadline is up, and cancelling ends its decoder at once.
TEST(PhotoDecoder, AScanBombIsUnreadableAtTheDeadlineAndCancellingEndsIt) {
    const QByteArray bomb = scanBombJpeg(20'000);
    {
        PhotoDecoder decoder(1s);
        decoder.decode(viewOf(bomb));
        ASSERT_TRUE(eventually([&] { return decoder.state() != PhotoDecoder::State::decoding; }));
        EXPECT_EQ(decoder.state(), PhotoDecoder::State::unreadable);
        EXPECT_TRUE(photoDecoders().isEmpty());
    }
    PhotoDecoder decoder;
    decoder.decode(viewOf(bomb));
    ASSERT_TRUE(eventually([&] { return !photoDecoders().isEmpty(); }));
    decoder.cancel();
    EXPECT_EQ(decoder.state(), PhotoDecoder::State::empty);
    EXPECT_TRUE(photoDecoders().isEmpty());
}

} // namespace larkhold::test
