#include "PhotoDecoder.h"

#include "ChildJob.h"
#include "PocketImport.h"

#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace larkhold::test {
namespace {

// The largest photo an import takes, in one colour so that the file is small.
int makeLargestPhoto(const QStringList& arguments) {
    QImage image(10'000, 10'000, QImage::Format_RGB32);
    image.fill(QColor(0x20, 0x60, 0xA0));
    return arguments.size() == 1 && QImageWriter(arguments[0], "jpeg").write(image) ? 0 : 1;
}

// Prints "<width> <height> <peak resident KiB>" of the photo as the viewer decodes it.
int showPhoto(const QStringList& arguments) {
    QFile file(arguments.value(0));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = file.readAll();
    const QImage shown =
        decodePhoto(ByteView(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())));
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %d %ld\n", shown.width(), shown.height(), long(usage.ru_maxrss));
    return 0;
}

const bool jobs = registerChildJob(QStringLiteral("make-largest-photo"), makeLargestPhoto) &&
                  registerChildJob(QStringLiteral("show-photo"), showPhoto);

} // namespace

// What the import takes, the viewer shows: the largest photo, decoded at the size shown, in a fresh
// process (no import has run there before).
TEST(PhotoDecoder, TheLargestPhotoAnImportTakesIsShownScaledDown) {
    QTemporaryDir dir;
    const QString photo = dir.filePath(QStringLiteral("large.jpg"));
    ASSERT_EQ(runChildJob(QStringLiteral("make-largest-photo"), {photo}).exitCode, 0);
    const ChildOutcome shown = runChildJob(QStringLiteral("show-photo"), {photo});
    ASSERT_TRUE(shown.finished) << shown.errors.toStdString();
    const QStringList report = QString::fromUtf8(shown.output).trimmed().split(QLatin1Char(' '));
    ASSERT_EQ(report.size(), 3) << shown.output.toStdString();
    EXPECT_EQ(report[0].toInt(), kShownLongSide);
    EXPECT_EQ(report[1].toInt(), kShownLongSide);
    EXPECT_LT(report[2].toLong(), 1024 * 1024) << "peak KiB";
}

} // namespace larkhold::test
