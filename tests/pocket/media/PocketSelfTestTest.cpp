#include "PocketSelfTest.h"

#include "PocketImport.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

using larkhold::PocketSelfTest;

namespace {

// Points the system temporary folder at a fresh folder for the duration of a test, so that what
// the self-test leaves behind can be seen.
class SelfTestFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        const char* old = std::getenv("TMPDIR");
        if (old)
            oldTmp_ = old;
        hadTmp_ = old != nullptr;
        setenv("TMPDIR", dir_.path().toLocal8Bit().constData(), 1);
        ASSERT_EQ(QDir::tempPath(), dir_.path());
    }
    void TearDown() override {
        if (hadTmp_)
            setenv("TMPDIR", oldTmp_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    QStringList leftovers() const { return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); }

    static std::optional<QString> rightAnswers(const QString& path) {
        if (path.contains(QStringLiteral("/Library/CloudStorage/Dropbox/")))
            return QStringLiteral("Dropbox");
        if (path.contains(QStringLiteral("/Library/CloudStorage/GoogleDrive-")))
            return QStringLiteral("Google Drive");
        if (path == QDir::homePath() + QStringLiteral("/OneDrive/v.pocketvault"))
            return QStringLiteral("OneDrive");
        return std::nullopt;
    }

    QTemporaryDir dir_;
    std::string oldTmp_;
    bool hadTmp_ = false;
};

} // namespace

TEST_F(SelfTestFolder, passingRunLeavesNothingBehind) {
    EXPECT_NO_THROW(PocketSelfTest::run(&rightAnswers));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(", ").toStdString();
}

TEST_F(SelfTestFolder, failedCheckReportsItsTextAndStillRemovesTheFolder) {
    try {
        PocketSelfTest::run([](const QString&) { return std::optional<QString>(); });
        FAIL() << "the run passed with a lookup that finds nothing";
    } catch (const PocketSelfTest::Failure& f) {
        EXPECT_EQ(f.text(), "POCKET: Dropbox folder not detected");
        EXPECT_STREQ(f.what(), "POCKET: Dropbox folder not detected");
    }
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(", ").toStdString();

    // An ordinary folder taken for a synced one is caught too.
    try {
        PocketSelfTest::run([](const QString& path) {
            return std::optional<QString>(rightAnswers(path).value_or(QStringLiteral("Dropbox")));
        });
        FAIL() << "the run passed with a lookup that flags everything";
    } catch (const PocketSelfTest::Failure& f) {
        EXPECT_EQ(f.text(), "POCKET: ordinary folder flagged as synced");
    }
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(SelfTestFolder, testPhotoIsARealJpegWhoseMetadataTheImportDrops) {
    const QString photo = dir_.filePath(QStringLiteral("photo.jpg"));
    PocketSelfTest::writeTestPhoto(photo);
    const QImage image(photo);
    EXPECT_EQ(image.size(), QSize(64, 48));
    QFile file(photo);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.contains(QByteArray("Exif\0\0", 6)));
    EXPECT_TRUE(bytes.contains("Larkhold self-test comment"));

    const larkhold::PocketItem item = larkhold::PocketImport::item(photo, false);
    const QByteArray out(reinterpret_cast<const char*>(item.data.data()), qsizetype(item.data.size()));
    EXPECT_FALSE(out.contains("Exif"));
    EXPECT_FALSE(out.contains("Larkhold self-test comment"));
}

TEST(PocketSelfTestHex, lowerCaseTwoDigitsPerByte) {
    EXPECT_EQ(PocketSelfTest::hex({0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
    EXPECT_EQ(PocketSelfTest::hex({}), "");
}
