#include "PocketSelfTest.h"

#include "PocketFile.h"
#include "PocketImport.h"

#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/mount.h>

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

// This executable derives keys cheaply, so the vaults the run makes are sealed at its cost.
const larkhold::KdfCost testCost = larkhold::PocketFile::kdfCost();

TEST_F(SelfTestFolder, passingRunLeavesNothingBehind) {
    EXPECT_NO_THROW(PocketSelfTest::run(&rightAnswers, testCost));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(", ").toStdString();
}

TEST_F(SelfTestFolder, failedCheckReportsItsTextAndStillRemovesTheFolder) {
    try {
        PocketSelfTest::run([](const QString&) { return std::optional<QString>(); }, testCost);
        FAIL() << "the run passed with a lookup that finds nothing";
    } catch (const PocketSelfTest::Failure& f) {
        EXPECT_EQ(f.text(), "POCKET: Dropbox folder not detected");
        EXPECT_STREQ(f.what(), "POCKET: Dropbox folder not detected");
    }
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(", ").toStdString();

    // An ordinary folder taken for a synced one is caught too.
    try {
        PocketSelfTest::run(
            [](const QString& path) {
                return std::optional<QString>(rightAnswers(path).value_or(QStringLiteral("Dropbox")));
            },
            testCost);
        FAIL() << "the run passed with a lookup that flags everything";
    } catch (const PocketSelfTest::Failure& f) {
        EXPECT_EQ(f.text(), "POCKET: ordinary folder flagged as synced");
    }
    EXPECT_TRUE(leftovers().isEmpty());
}

// A program that made its vaults at any cost but the production one fails the run: the cost is
// read back from the vault file it made.
TEST_F(SelfTestFolder, vaultsSealedBelowTheProductionCostFailTheRun) {
    try {
        PocketSelfTest::run(&rightAnswers);
        FAIL() << "a vault sealed at a test cost passed as production";
    } catch (const PocketSelfTest::Failure& f) {
        EXPECT_EQ(f.text(), "POCKET: vault not sealed at the full key-derivation cost");
    }
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(", ").toStdString();
}

// A temporary folder on a file system without user extended attributes (a common /tmp): the run
// works in the user's cache instead, so that it checks the program rather than the machine.
TEST_F(SelfTestFolder, temporaryFolderWithoutUserAttributesIsNotUsed) {
    const QString ram = dir_.filePath(QStringLiteral("ram"));
    const QString cache = dir_.filePath(QStringLiteral("cache"));
    ASSERT_TRUE(QDir().mkpath(ram) && QDir().mkpath(cache));
    if (::mount("ramfs", QFile::encodeName(ram).constData(), "ramfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount a ramfs here: " << std::strerror(errno);
    struct Unmount {
        QByteArray target;
        ~Unmount() { ::umount2(target.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(ram)};
    setenv("TMPDIR", QFile::encodeName(ram).constData(), 1);
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));

    EXPECT_NO_THROW(PocketSelfTest::run(&rightAnswers, testCost));

    if (oldCache.isNull())
        qunsetenv("XDG_CACHE_HOME");
    else
        qputenv("XDG_CACHE_HOME", oldCache);
    QStringList left;
    for (const QString& folder : {ram, cache}) {
        QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString found = it.next();
            if (QFileInfo(found).fileName() != QLatin1String("larkhold")) // the cache's own folder stays
                left.append(found);
        }
    }
    EXPECT_TRUE(left.isEmpty()) << left.join(", ").toStdString();
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
