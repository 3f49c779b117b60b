#include "CloudExclusion.h"

#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/xattr.h>

using namespace larkhold;
using test::readFile;
using test::writeFile;

namespace {

// The attribute's bytes, or nothing when it is absent.
std::optional<QByteArray> ignoreAttribute(const QString& path) {
    char buffer[16];
    const ssize_t n =
        ::getxattr(QFile::encodeName(path).constData(), CloudExclusion::kIgnoreAttribute, buffer, sizeof buffer);
    if (n < 0)
        return std::nullopt;
    return QByteArray(buffer, n);
}

void setIgnoreAttribute(const QString& path) {
    ::setxattr(QFile::encodeName(path).constData(), CloudExclusion::kIgnoreAttribute, "1", 1, 0);
}

// A sparse bundle is a folder of bands.
void makeBundle(const QString& path, const QByteArray& marker) {
    QDir().mkpath(path + "/bands");
    writeFile(path + "/Info.plist", marker);
    writeFile(path + "/bands/0", marker + marker);
}

class CloudExclusionTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString probe = dir.filePath("probe");
        writeFile(probe, "");
        setIgnoreAttribute(probe);
        attributesWork = ignoreAttribute(probe).has_value();
    }
    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    bool attributesWork = false;
};

} // namespace

TEST_F(CloudExclusionTest, ExcludeAndIncludeAFile) {
    writeFile(path("Private.pocketvault"), "secret bytes");

    const QString excluded = CloudExclusion::exclude(path("Private.pocketvault"));
    EXPECT_EQ(excluded, path("Private.nosync"));
    EXPECT_FALSE(QFile::exists(path("Private.pocketvault")));
    EXPECT_EQ(readFile(excluded), QByteArray("secret bytes"));
    if (attributesWork) {
        EXPECT_EQ(ignoreAttribute(excluded), QByteArray("1"));
    }

    // Excluding again keeps the name and sets the attribute again.
    ::removexattr(QFile::encodeName(excluded).constData(), CloudExclusion::kIgnoreAttribute);
    EXPECT_EQ(CloudExclusion::exclude(excluded), excluded);
    if (attributesWork) {
        EXPECT_EQ(ignoreAttribute(excluded), QByteArray("1"));
    }

    // The Linux Dropbox client's own attribute comes and goes with ours.
    char value[8] = {};
    if (attributesWork) {
        EXPECT_EQ(::getxattr(QFile::encodeName(excluded).constData(), CloudExclusion::kDropboxIgnoreAttribute, value,
                             sizeof value),
                  1);
    }

    const QString included = CloudExclusion::include(excluded, "pocketvault");
    EXPECT_EQ(included, path("Private.pocketvault"));
    EXPECT_LT(::getxattr(QFile::encodeName(included).constData(), CloudExclusion::kDropboxIgnoreAttribute, value,
                         sizeof value),
              0);
    EXPECT_EQ(readFile(included), QByteArray("secret bytes"));
    EXPECT_FALSE(ignoreAttribute(included));

    // Including a file without the extension only drops the attribute.
    setIgnoreAttribute(included);
    EXPECT_EQ(CloudExclusion::include(included, "sparsebundle"), included);
    EXPECT_FALSE(ignoreAttribute(included));
}

TEST_F(CloudExclusionTest, ExcludeAndIncludeABundleFolder) {
    makeBundle(path("Tax.2024.sparsebundle"), "plist");

    const QString excluded = CloudExclusion::exclude(path("Tax.2024.sparsebundle"));
    EXPECT_EQ(excluded, path("Tax.2024.nosync"));
    EXPECT_EQ(readFile(excluded + "/bands/0"), QByteArray("plistplist"));
    if (attributesWork) {
        EXPECT_EQ(ignoreAttribute(excluded), QByteArray("1"));
    }

    // A trailing slash, as folder paths often carry, names the same bundle.
    const QString included = CloudExclusion::include(excluded + "/", "sparsebundle");
    EXPECT_EQ(included, path("Tax.2024.sparsebundle"));
    EXPECT_EQ(readFile(included + "/Info.plist"), QByteArray("plist"));
    EXPECT_FALSE(ignoreAttribute(included));
}

TEST_F(CloudExclusionTest, NeverReplacesAnExistingTarget) {
    // File onto file.
    writeFile(path("Notes.pocketvault"), "mine");
    writeFile(path("Notes.nosync"), "another vault");
    try {
        CloudExclusion::exclude(path("Notes.pocketvault"));
        FAIL() << "the existing file was replaced";
    } catch (const FileMoveError& e) {
        EXPECT_EQ(e.errorCode(), EEXIST);
        EXPECT_TRUE(e.message().contains("already exists")) << e.what();
    }
    EXPECT_EQ(readFile(path("Notes.pocketvault")), QByteArray("mine"));
    EXPECT_EQ(readFile(path("Notes.nosync")), QByteArray("another vault"));
    EXPECT_FALSE(ignoreAttribute(path("Notes.pocketvault")));
    EXPECT_FALSE(ignoreAttribute(path("Notes.nosync")));

    // Bundle onto bundle, and back onto an empty folder of the old name.
    makeBundle(path("Work.sparsebundle"), "work");
    makeBundle(path("Work.nosync"), "other");
    EXPECT_THROW(CloudExclusion::exclude(path("Work.sparsebundle")), FileMoveError);
    EXPECT_EQ(readFile(path("Work.nosync/Info.plist")), QByteArray("other"));
    EXPECT_EQ(readFile(path("Work.sparsebundle/Info.plist")), QByteArray("work"));

    QDir(path("Work.sparsebundle")).removeRecursively();
    QDir().mkdir(path("Work.sparsebundle"));
    EXPECT_THROW(CloudExclusion::include(path("Work.nosync"), "sparsebundle"), FileMoveError);
    EXPECT_EQ(readFile(path("Work.nosync/Info.plist")), QByteArray("other"));

    // A missing vault is an error, not a silent success.
    EXPECT_THROW(CloudExclusion::exclude(path("Gone.sparsebundle")), FileMoveError);
}

TEST_F(CloudExclusionTest, FallbackMoveNeverReplacesEither) {
    // The route taken on file systems whose rename cannot refuse an existing target.
    writeFile(path("a"), "a");
    detail::noReplaceRenameFallback(path("a"), path("b"));
    EXPECT_FALSE(QFile::exists(path("a")));
    EXPECT_EQ(readFile(path("b")), QByteArray("a"));

    writeFile(path("c"), "c");
    EXPECT_THROW(detail::noReplaceRenameFallback(path("c"), path("b")), FileMoveError);
    EXPECT_EQ(readFile(path("b")), QByteArray("a"));
    EXPECT_EQ(readFile(path("c")), QByteArray("c"));

    makeBundle(path("one"), "1");
    detail::noReplaceRenameFallback(path("one"), path("two"));
    EXPECT_FALSE(QFile::exists(path("one")));
    EXPECT_EQ(readFile(path("two/Info.plist")), QByteArray("1"));

    makeBundle(path("three"), "3");
    EXPECT_THROW(detail::noReplaceRenameFallback(path("three"), path("two")), FileMoveError);
    EXPECT_THROW(detail::noReplaceRenameFallback(path("three"), path("b")), FileMoveError);
    QDir().mkdir(path("empty"));
    EXPECT_THROW(detail::noReplaceRenameFallback(path("three"), path("empty")), FileMoveError);
    EXPECT_EQ(readFile(path("three/Info.plist")), QByteArray("3"));
    EXPECT_EQ(readFile(path("two/Info.plist")), QByteArray("1"));
    EXPECT_EQ(readFile(path("b")), QByteArray("a"));

    // A failed folder move leaves no placeholder behind.
    EXPECT_THROW(detail::noReplaceRenameFallback(path("three"), path("three/inside")), FileMoveError);
    EXPECT_FALSE(QFile::exists(path("three/inside")));
}

TEST(CloudSyncService, FindsTheSyncFolderOfAPath) {
    const QString home = "/home/ann";
    auto service = [&](const QString& p) { return CloudExclusion::thirdPartySyncService(p, home); };

    EXPECT_EQ(service("/home/ann/Library/CloudStorage/Dropbox/Private.pocketvault"), "Dropbox");
    EXPECT_EQ(service("/home/ann/Library/CloudStorage/GoogleDrive-ann@example.com/My Drive/Vaults/V.sparsebundle"),
              "Google Drive");
    EXPECT_EQ(service("/home/ann/Library/CloudStorage/SomeBox-ann/V.pocketvault"), "a cloud service");
    EXPECT_EQ(service("/home/ann/OneDrive/V.pocketvault"), "OneDrive");
    EXPECT_EQ(service("/home/ann/OneDrive"), "OneDrive");
    EXPECT_EQ(service("/home/ann/Google Drive/x/V.nosync"), "Google Drive");
    EXPECT_EQ(service("/home/ann/ProtonDrive/V.nosync"), "Proton Drive");

    EXPECT_EQ(service("/home/ann/Documents/Dropbox notes/V.pocketvault"), std::nullopt);
    EXPECT_EQ(service("/home/ann/Dropbox notes/V.pocketvault"), std::nullopt);
    EXPECT_EQ(service("/home/ann/dropbox/V.pocketvault"), std::nullopt);
    EXPECT_EQ(service("/home/annie/Dropbox/V.pocketvault"), std::nullopt);
    EXPECT_EQ(service("/srv/Dropbox/V.pocketvault"), std::nullopt);
}

TEST(CloudSyncService, FindsTheFoldersOfTheLinuxClients) {
    QTemporaryDir dir;
    const QString home = QDir(dir.path()).canonicalPath();
    auto service = [&](const QString& p) { return CloudExclusion::thirdPartySyncService(p, home); };
    EXPECT_EQ(service(home + "/Insync/ann@example.com/V.nosync"), "Insync");
    EXPECT_EQ(service(home + "/pCloudDrive/V.nosync"), "pCloud");
    EXPECT_EQ(service(home + "/MEGA/V.nosync"), "MEGA");
    EXPECT_EQ(service(home + "/Seafile/Library/V.nosync"), "Seafile");
    EXPECT_EQ(service(home + "/Nextcloud/V.nosync"), "Nextcloud");

    // Folders chosen in the clients' own configuration.
    QDir(home).mkpath(".config/Nextcloud");
    QDir(home).mkpath(".config/syncthing");
    writeFile(home + "/.config/Nextcloud/nextcloud.cfg",
              "[Accounts]\n0\\Folders\\1\\localPath=" + (home + "/Work/Shared/").toUtf8() + "\n");
    writeFile(home + "/.config/syncthing/config.xml",
              "<configuration><folder id=\"a\" label=\"Photos\" path=\"~/Pictures/Phone\" type=\"sendreceive\">"
              "</folder></configuration>");
    EXPECT_EQ(service(home + "/Work/Shared/V.pocketvault"), "Nextcloud");
    EXPECT_EQ(service(home + "/Work/SharedNot/V.pocketvault"), std::nullopt);
    EXPECT_EQ(service(home + "/Pictures/Phone/V.nosync"), "Syncthing");
    EXPECT_EQ(service(home + "/Pictures/V.nosync"), std::nullopt);
}

TEST(CloudSyncService, FollowsSymbolicLinks) {
    QTemporaryDir dir;
    const QString home = dir.filePath("home");
    QDir().mkpath(home + "/Dropbox/Vaults");
    ASSERT_TRUE(QFile::link(home + "/Dropbox/Vaults", dir.filePath("shortcut")));
    // The file itself need not exist yet, as when a new vault is about to be created there.
    EXPECT_EQ(CloudExclusion::thirdPartySyncService(dir.filePath("shortcut/New.pocketvault"), home), "Dropbox");

    // A home reached through a link still matches.
    ASSERT_TRUE(QFile::link(home, dir.filePath("home-link")));
    EXPECT_EQ(CloudExclusion::thirdPartySyncService(home + "/Dropbox/V.nosync", dir.filePath("home-link")), "Dropbox");
}

TEST(CloudSyncService, ICloudDriveByPath) {
    EXPECT_TRUE(CloudExclusion::isInsideICloudDrive("/home/ann/Library/Mobile Documents/com~apple~CloudDocs/V.nosync"));
    EXPECT_FALSE(CloudExclusion::isInsideICloudDrive("/home/ann/Library/Mobile Documents"));
    EXPECT_FALSE(CloudExclusion::isInsideICloudDrive("/home/ann/Documents/V.pocketvault"));
}
