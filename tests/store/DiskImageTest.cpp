#include "DiskImage.h"

#include "BlockingAwait.h"
#include "FakeTools.h"
#include "Plist.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace larkhold;
using larkhold::test::FakeTools;

namespace {

const QString image = QStringLiteral("/vaults/Tax.sparsebundle");
const QString secret = QStringLiteral("pässwörd");

// Runs a task to its end and returns the message of the DiskImageError it threw ("" when none).
template <class T> QString failureOf(QCoro::Task<T> task, bool* badPassword = nullptr) {
    try {
        awaitTask(std::move(task));
    } catch (const DiskImageError& e) {
        if (badPassword)
            *badPassword = e.isBadPassword();
        return e.message();
    }
    return {};
}

class DiskImageTest : public ::testing::Test {
protected:
    FakeTools fake;
    DiskImage engine{fake.tools()};
};

} // namespace

TEST_F(DiskImageTest, TheWrongPasswordIsItsKindNotItsText) {
    for (const char* tool :
         {"hdiutil-attach", "hdiutil-chpass", "hdiutil-resize", "hdiutil-compact", "hdiutil-imageinfo"}) {
        fake.respond(QString::fromLatin1(tool), {}, "hdiutil: x failed - Authentication error\n", 80);
    }
    const auto expectBadPassword = [](auto task) {
        bool bad = false;
        EXPECT_EQ(failureOf(std::move(task), &bad), QStringLiteral("Wrong password."));
        EXPECT_TRUE(bad);
    };
    expectBadPassword(engine.attach(image, secret, false));
    expectBadPassword(engine.changePassword(image, secret, QStringLiteral("new")));
    expectBadPassword(engine.resize(image, 512, secret));
    expectBadPassword(engine.compact(image, secret));
    expectBadPassword(engine.verifyPassword(image, secret));

    // The word alone, from a failure of another kind, is no wrong password.
    fake.respond(QStringLiteral("hdiutil-attach"), {}, "hdiutil: attach failed - Authentication error\n", 1);
    bool bad = true;
    EXPECT_EQ(failureOf(engine.attach(image, secret, false), &bad),
              QStringLiteral("“Tax” could not be unlocked. Authentication error"));
    EXPECT_FALSE(bad);
}

// Each kind the tools report reads as this system's sentence naming the vault, whatever words the
// tool used; the tool's own sentence shows only for a kind of no known meaning, and never when it
// names a path or is not one line of UTF-8.
TEST_F(DiskImageTest, EachKindOfFailureHasItsSentence) {
    const auto attachFailing = [&](const QByteArray& err, int status) {
        fake.respond(QStringLiteral("hdiutil-attach"), {}, err, status);
        return failureOf(engine.attach(image, secret, false));
    };
    const QString unlock = QStringLiteral("“Tax” could not be unlocked.");
    const QByteArray anyText = "hdiutil: attach failed - whatever the tool says\n";
    EXPECT_EQ(attachFailing(anyText, 81), unlock + " The disk is full — make room on it, then try again.");
    EXPECT_EQ(attachFailing(anyText, 82), unlock + " A part of its file is missing or cannot be read.");
    EXPECT_EQ(attachFailing(anyText, 83), unlock + " Its file could not be written to its disk.");
    EXPECT_TRUE(attachFailing(anyText, 84).startsWith(unlock + " The folder where unlocked vaults appear is not safe"));
    EXPECT_EQ(attachFailing(anyText, 85), unlock + " Its file system is damaged and could not be repaired.");
    EXPECT_TRUE(attachFailing(anyText, 87).startsWith(unlock + " This computer does not allow you to use its disk."));
    EXPECT_EQ(attachFailing(anyText, 88), unlock + " The request for permission was cancelled.");
    EXPECT_TRUE(attachFailing(anyText, 89).contains("“user_allow_other” to /etc/fuse.conf"));
    EXPECT_TRUE(attachFailing(anyText, 90).startsWith(unlock + " This computer does not look into the vault’s disk"));
    EXPECT_EQ(attachFailing(anyText, 93), unlock + " Its file is not where it was.");
    EXPECT_EQ(attachFailing(anyText, 94), unlock + " Larkhold may not change its file.");
    EXPECT_EQ(attachFailing(anyText, 95), unlock + " Its disk can only be read.");
    EXPECT_EQ(attachFailing(anyText, 16), "“Tax” is in use — close the files open in it, then try again.");

    EXPECT_EQ(attachFailing("hdiutil: attach failed - The vault could not grow, so it keeps its size.\n", 1),
              unlock + " The vault could not grow, so it keeps its size.");
    EXPECT_EQ(attachFailing("hdiutil: attach failed - Something new\n", 77), unlock + " Something new");
    EXPECT_EQ(attachFailing("hdiutil: attach failed - /vaults/Tax.sparsebundle: Input/output error\n", 1), unlock);
    EXPECT_EQ(attachFailing("e2fsck 1.47\nPass 1: Checking inodes\n", 1), unlock);
    EXPECT_EQ(attachFailing("hdiutil: attach failed - bad \xff\xfe bytes\n", 1), unlock);
    EXPECT_EQ(attachFailing("hdiutil: attach failed - costs 5 \xe2\x82", 1), unlock);

    fake.respond(QStringLiteral("hdiutil-detach"), {}, "hdiutil: detach failed - Resource busy\n", 16);
    EXPECT_EQ(failureOf(engine.detach(QStringLiteral("/media/u/Quarterly Accoun"), false, "Quarterly Accounts")),
              QStringLiteral("“Quarterly Accounts” is in use — close the files open in it, then lock again."));
    fake.respond(QStringLiteral("diskutil-rename"), {}, "diskutil: rename failed - busy\n", 87);
    EXPECT_TRUE(
        failureOf(engine.renameVolume(QStringLiteral("/media/u/Quarterly Accoun"), "Taxes", "Quarterly Accounts"))
            .startsWith("“Quarterly Accounts” could not be renamed. This computer does not allow you"));
    fake.respond(QStringLiteral("diskutil-rename"), {}, "diskutil: rename failed - invalid volume name\n", 92);
    EXPECT_EQ(failureOf(engine.renameVolume(QStringLiteral("/media/Tax"), ".Taxes", "Tax")),
              QStringLiteral("“.Taxes” can’t be used as a vault name."));
    fake.respond(QStringLiteral("hdiutil-create"), {}, "hdiutil: create failed - invalid volume name\n", 92);
    EXPECT_EQ(failureOf(engine.create(image, QStringLiteral(".Secrets"), 256, secret)),
              QStringLiteral("“.Secrets” can’t be used as a vault name."));
    fake.respond(QStringLiteral("hdiutil-resize"), {}, "hdiutil: resize failed - anything\n", 81);
    EXPECT_EQ(
        failureOf(engine.resize(image, 512, secret)),
        QStringLiteral("The size limit of “Tax” could not be changed. The disk is full — make room on it, then try "
                       "again."));
}

TEST_F(DiskImageTest, ResizeExplainsALimitBelowTheUsedSpace) {
    fake.respond(QStringLiteral("hdiutil-resize"), {}, "hdiutil: resize failed - too small\n", 91);
    EXPECT_EQ(failureOf(engine.resize(image, 16, secret)),
              QStringLiteral("The new limit is smaller than the space the files inside currently use. Delete files "
                             "first (and reclaim free space), or choose a larger limit."));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-resize")),
              (QStringList{"resize", "-stdinpass", "-size", "16m", image}));
    // A shrink that failed for another reason is not told as this one.
    fake.respond(QStringLiteral("hdiutil-resize"), {}, "hdiutil: resize failed - The file system could not shrink.\n",
                 1);
    EXPECT_EQ(failureOf(engine.resize(image, 16, secret)),
              QStringLiteral("The size limit of “Tax” could not be changed. The file system could not shrink."));
}

TEST_F(DiskImageTest, ArgumentsAndInputOfEachCommand) {
    awaitTask(engine.create(image, QStringLiteral("Tax"), 256, secret));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-create")),
              (QStringList{"create", "-encryption", "AES-256", "-stdinpass", "-type", "SPARSEBUNDLE", "-fs", "APFS",
                           "-size", "256m", "-volname", "Tax", image}));
    EXPECT_EQ(fake.input(QStringLiteral("hdiutil-create")), secret.toUtf8()); // no terminator

    awaitTask(engine.changePassword(image, QString(), QStringLiteral("né")));
    EXPECT_EQ(fake.input(QStringLiteral("hdiutil-chpass")), QByteArray("\0n\xc3\xa9\0", 5));
    // A lone surrogate, wherever it stands, reaches the tool as U+FFFD and is never dropped.
    const QString loneAtEnd = QStringLiteral("abc") + QChar(0xD800);
    awaitTask(engine.changePassword(image, loneAtEnd, QStringLiteral("abc")));
    EXPECT_EQ(fake.input(QStringLiteral("hdiutil-chpass")), QByteArray("abc\xef\xbf\xbd\0abc\0", 11));
    awaitTask(engine.changePassword(image, QStringLiteral("old"), QStringLiteral("n3w-pw")));
    EXPECT_EQ(fake.input(QStringLiteral("hdiutil-chpass")), QByteArray("old\0n3w-pw\0", 11));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-chpass")),
              (QStringList{"chpass", "-oldstdinpass", "-newstdinpass", image}));

    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}));
    awaitTask(engine.attach(image, secret, true));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-attach")),
              (QStringList{"attach", "-plist", "-stdinpass", "-nobrowse", image}));
    awaitTask(engine.attach(image, secret, false));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-attach")), (QStringList{"attach", "-plist", "-stdinpass", image}));

    awaitTask(engine.detach(QStringLiteral("/media/Tax"), true));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/Tax", "-force"}));
    EXPECT_EQ(fake.input(QStringLiteral("hdiutil-detach")), QByteArray());

    awaitTask(engine.resize(image, 300, secret));
    awaitTask(engine.compact(image, secret));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-compact")), (QStringList{"compact", "-stdinpass", image}));
    awaitTask(engine.verifyPassword(image, secret));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-imageinfo")), (QStringList{"imageinfo", "-stdinpass", image}));
    // Every other password reaches its tool as its UTF-8 bytes alone, with no terminator.
    for (const char* key : {"hdiutil-attach", "hdiutil-resize", "hdiutil-compact", "hdiutil-imageinfo"})
        EXPECT_EQ(fake.input(QString::fromLatin1(key)), secret.toUtf8()) << key;

    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({}));
    awaitTask(engine.attachedImages());
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-info")), (QStringList{"info", "-plist"}));

    // A password never stands in an argument list, in any form.
    for (const QString& call : fake.calls())
        for (const QString& arg : fake.arguments(call)) {
            EXPECT_FALSE(arg.contains(secret)) << call.toStdString();
            EXPECT_FALSE(arg.contains(QStringLiteral("n3w-pw"))) << call.toStdString();
        }
}

TEST_F(DiskImageTest, AttachFindsTheFirstReportedMountPoint) {
    fake.respond(QStringLiteral("hdiutil-attach"),
                 FakeTools::attachOutput({QString(), QStringLiteral("/media/Tax"), QStringLiteral("/media/Other")}));
    EXPECT_EQ(awaitTask(engine.attach(image, secret, false)), QStringLiteral("/media/Tax"));

    const QString none = QStringLiteral("Vault unlocked but no mount point was reported.");
    fake.respond(QStringLiteral("hdiutil-attach"), "attached, but this is no property list");
    EXPECT_EQ(failureOf(engine.attach(image, secret, false)), none);
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QString()}));
    EXPECT_EQ(failureOf(engine.attach(image, secret, false)), none);
}

TEST_F(DiskImageTest, ARepairMadeWhileAttachingIsReportedAndIsNoHealthyVerdict) {
    const QByteArray repaired = "hdiutil: attach: The volume's file system was damaged and has been repaired. "
                                "1 item whose place was lost is now in the folder lost+found: #12.\n";
    const QString note = QStringLiteral("The volume's file system was damaged and has been repaired. 1 item whose "
                                        "place was lost is now in the folder lost+found: #12.");
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}), repaired);
    const DiskImage::Attachment attached = awaitTask(engine.attachReporting(image, secret, false));
    EXPECT_EQ(attached.mountPoint, QStringLiteral("/media/Tax"));
    EXPECT_EQ(attached.repairNote, note);

    // The check after the repair is clean, yet the verdict names the repair.
    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({{image, QStringLiteral("/media/Tax")}}));
    fake.respond(QStringLiteral("diskutil-verifyVolume"), "File system check exit code is 0.\n");
    EXPECT_EQ(failureOf(engine.verify(image, secret)), QStringLiteral("Verification reported problems:\n") + note);

    // Anything else on standard error of a successful attach is no repair.
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}),
                 "a warning of the tool\n");
    EXPECT_TRUE(awaitTask(engine.attachReporting(image, secret, false)).repairNote.isEmpty());
    EXPECT_EQ(awaitTask(engine.verify(image, secret)), QStringLiteral("healthy"));
}

TEST(PlistTest, ReadsEveryValueKindAndRejectsMalformedLists) {
    const QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                           "<key>s</key><string> a &amp; b\n</string><key>i</key><integer>-42</integer>"
                           "<key>r</key><real>2.5</real><key>t</key><true/><key>f</key><false/>"
                           "<key>d</key><data>\n  aGVs\n  bG8=\n</data><key>when</key><date>2024-01-02T03:04:05Z</date>"
                           "<key>a</key><array><string>x</string><dict/></array></dict></plist>";
    const std::optional<QVariant> root = Plist::parse(xml);
    ASSERT_TRUE(root);
    const QVariantMap map = root->toMap();
    EXPECT_EQ(map.value("s").toString(), QStringLiteral(" a & b\n"));
    EXPECT_EQ(map.value("i").toLongLong(), -42);
    EXPECT_EQ(map.value("r").toDouble(), 2.5);
    EXPECT_EQ(map.value("t").typeId(), QMetaType::Bool);
    EXPECT_TRUE(map.value("t").toBool());
    EXPECT_FALSE(map.value("f").toBool());
    EXPECT_EQ(map.value("d").toByteArray(), "hello");
    EXPECT_EQ(map.value("when").toDateTime(), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC));
    EXPECT_EQ(map.value("a").toList().size(), 2);

    for (const char* bad :
         {"", "<plist><dict><key>k</key></dict></plist>", "<plist><dict><string>v</string></dict></plist>",
          "<plist><integer>12x</integer></plist>", "<plist><array><string>x</array></plist>",
          "<plist><dict/><dict/></plist>", "<notplist><dict/></notplist>"})
        EXPECT_FALSE(Plist::parse(bad)) << bad;

    QByteArray deep = "<plist>";
    for (int i = 0; i < 100000; ++i)
        deep += "<array>";
    EXPECT_FALSE(Plist::parse(deep));
}

TEST_F(DiskImageTest, AttachedImagesTellsAFailedListingFromAnEmptyOne) {
    fake.respond(QStringLiteral("hdiutil-info"),
                 FakeTools::infoOutput({{QStringLiteral("/v/A.sparsebundle"), QStringLiteral("/media/A")},
                                        {QStringLiteral("/v/B.sparsebundle"), QString()},
                                        {QStringLiteral("/v/A.sparsebundle"), QStringLiteral("/media/A 1")}}));
    const auto images = awaitTask(engine.attachedImages());
    ASSERT_TRUE(images);
    EXPECT_EQ(*images, (AttachedImages{{QStringLiteral("/v/A.sparsebundle"), QStringLiteral("/media/A 1")}}));

    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({}));
    EXPECT_EQ(awaitTask(engine.attachedImages()), AttachedImages());

    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({}), "broken\n", 1);
    EXPECT_FALSE(awaitTask(engine.attachedImages()));
    fake.respond(QStringLiteral("hdiutil-info"),
                 "<plist><dict><key>images</key><array><string/></array></dict></plist>");
    EXPECT_FALSE(awaitTask(engine.attachedImages()));

    DiskImageTools missing = fake.tools();
    missing.hdiutil = fake.path(QStringLiteral("absent"));
    EXPECT_FALSE(awaitTask(DiskImage(missing).attachedImages()));
    EXPECT_FALSE(awaitTask(DiskImage(missing).mountPoint(image)));
}

TEST_F(DiskImageTest, MountPointMatchesThroughSymbolicLinks) {
    QTemporaryDir dir;
    const QString real = dir.filePath(QStringLiteral("Tax.sparsebundle"));
    ASSERT_TRUE(QDir().mkdir(real));
    const QString link = dir.filePath(QStringLiteral("link.sparsebundle"));
    ASSERT_TRUE(QFile::link(real, link));

    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({{link, QStringLiteral("/media/Tax")}}));
    EXPECT_EQ(awaitTask(engine.mountPoint(real)), QStringLiteral("/media/Tax"));
    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({{real, QStringLiteral("/media/Tax")}}));
    EXPECT_EQ(awaitTask(engine.mountPoint(link)), QStringLiteral("/media/Tax"));
    EXPECT_FALSE(awaitTask(engine.mountPoint(dir.filePath(QStringLiteral("Other.sparsebundle")))));
}

TEST_F(DiskImageTest, SizeOnDiskReadsKilobytesFromDu) {
    fake.respond(QStringLiteral("du--sk"), "2048\t/vaults/Tax.sparsebundle\n");
    EXPECT_EQ(awaitTask(engine.sizeOnDisk(image)), 2097152);
    EXPECT_EQ(fake.arguments(QStringLiteral("du--sk")), (QStringList{"-sk", image}));

    for (const QByteArray& out :
         {QByteArray(), QByteArray("\t\t"), QByteArray("many\t/x\n"), QByteArray("99999999999999999999\t/x\n")}) {
        fake.respond(QStringLiteral("du--sk"), out);
        EXPECT_EQ(awaitTask(engine.sizeOnDisk(image)), 0) << out.constData();
    }
    fake.respond(QStringLiteral("du--sk"), "2048\t/x\n", "du: cannot read\n", 1);
    EXPECT_EQ(awaitTask(engine.sizeOnDisk(image)), 0);
}

TEST_F(DiskImageTest, SizeOnDiskWithoutAToolCountsAsDuDoes) {
    DiskImageTools tools = fake.tools();
    tools.du.clear();
    const DiskImage counting(tools);
    QTemporaryDir dir;
    const QString bundle = dir.filePath(QStringLiteral("Tax.sparsebundle"));
    ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/bands/sub")));
    const auto fill = [](const QString& path, qint64 bytes, bool sparse) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        if (sparse) {
            ASSERT_TRUE(f.resize(bytes)); // no block allocated
            ASSERT_TRUE(f.seek(bytes / 2));
            f.write("x", 1);
        } else {
            f.write(QByteArray(bytes, 'a'));
        }
    };
    fill(bundle + QStringLiteral("/Info.plist"), 1, false);
    fill(bundle + QStringLiteral("/bands/0"), 300'000, false);
    fill(bundle + QStringLiteral("/bands/sub/1"), 8'388'608, true);
    // A second name counts once; a link is not followed.
    ASSERT_EQ(::link(QFile::encodeName(bundle + QStringLiteral("/bands/0")).constData(),
                     QFile::encodeName(bundle + QStringLiteral("/bands/0-again")).constData()),
              0);
    ASSERT_TRUE(QFile::link(dir.path(), bundle + QStringLiteral("/loop")));

    const auto du = [](const QString& path) {
        QProcess p;
        p.start(QStringLiteral("/usr/bin/du"), {QStringLiteral("-sk"), path});
        EXPECT_TRUE(p.waitForFinished(60000));
        return p.exitCode() == 0 ? DiskImage::bytesFromDuOutput(p.readAllStandardOutput()) : -1;
    };
    EXPECT_EQ(awaitTask(counting.sizeOnDisk(bundle)), du(bundle));
    EXPECT_GT(awaitTask(counting.sizeOnDisk(bundle)), 300'000);
    EXPECT_EQ(awaitTask(counting.sizeOnDisk(bundle + QStringLiteral("/loop"))), du(bundle + QStringLiteral("/loop")));
    EXPECT_EQ(awaitTask(counting.sizeOnDisk(dir.filePath(QStringLiteral("missing")))), 0);
    EXPECT_FALSE(fake.wasRun(QStringLiteral("du--sk")));
}

TEST_F(DiskImageTest, VerifyAttachesHiddenChecksAndDetaches) {
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}));
    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({}));
    fake.respond(QStringLiteral("diskutil-verifyVolume"), "Checking\nThe volume was verified; exit code is 0\n");
    EXPECT_EQ(awaitTask(engine.verify(image, secret)), QStringLiteral("healthy"));
    EXPECT_EQ(fake.calls(), (QStringList{"hdiutil-attach", "diskutil-verifyVolume", "hdiutil-info", "hdiutil-detach"}));
    EXPECT_TRUE(fake.arguments(QStringLiteral("hdiutil-attach")).contains(QStringLiteral("-nobrowse")));
    EXPECT_EQ(fake.arguments(QStringLiteral("diskutil-verifyVolume")), (QStringList{"verifyVolume", "/media/Tax"}));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/Tax"}));
}

TEST_F(DiskImageTest, VerifyReportsTheLastLinesOfProblems) {
    fake.respond(QStringLiteral("hdiutil-attach"), FakeTools::attachOutput({QStringLiteral("/media/Tax")}));
    // The image is listed elsewhere by now, and the detach fails: the verdict still stands.
    fake.respond(QStringLiteral("hdiutil-info"), FakeTools::infoOutput({{image, QStringLiteral("/media/Tax 1")}}));
    fake.respond(QStringLiteral("hdiutil-detach"), {}, "busy\n", 16);

    fake.respond(QStringLiteral("diskutil-verifyVolume"), "Checking volume\n\nall good\n");
    EXPECT_EQ(failureOf(engine.verify(image, secret)),
              QStringLiteral("Verification reported problems:\nChecking volume\nall good"));
    EXPECT_EQ(fake.arguments(QStringLiteral("hdiutil-detach")), (QStringList{"detach", "/media/Tax 1"}));

    fake.respond(QStringLiteral("diskutil-verifyVolume"), "one\ntwo\nexit code is 0\n", "three\nfour\n", 1);
    EXPECT_EQ(failureOf(engine.verify(image, secret)),
              QStringLiteral("Verification reported problems:\nexit code is 0\nthree\nfour"));

    QFile::remove(fake.path(QStringLiteral("diskutil")));
    EXPECT_EQ(failureOf(engine.verify(image, secret)), QStringLiteral("Verification could not be run."));
}

TEST_F(DiskImageTest, VerifyWithAWrongPasswordRunsNoCheck) {
    fake.respond(QStringLiteral("hdiutil-attach"), {}, "hdiutil: attach failed - Authentication error\n", 80);
    bool bad = false;
    failureOf(engine.verify(image, secret), &bad);
    EXPECT_TRUE(bad);
    EXPECT_EQ(fake.calls(), QStringList{"hdiutil-attach"});
}

TEST_F(DiskImageTest, LaunchFailuresOfThrowingCommandsPassThrough) {
    DiskImageTools missing = fake.tools();
    missing.hdiutil = fake.path(QStringLiteral("absent"));
    const DiskImage broken(missing);
    EXPECT_THROW(awaitTask(broken.attach(image, secret, false)), ProcessLaunchError);
    EXPECT_THROW(awaitTask(broken.create(image, QStringLiteral("Tax"), 16, secret)), ProcessLaunchError);
}

TEST_F(DiskImageTest, ExcludeFromSpotlightKeepsAnExistingMarker) {
    QTemporaryDir volume;
    const QString marker = volume.filePath(QStringLiteral(".metadata_never_index"));
    awaitTask(engine.excludeFromSpotlight(volume.path()));
    EXPECT_TRUE(QFile::exists(marker));
    EXPECT_EQ(fake.arguments(QStringLiteral("mdutil--i")), (QStringList{"-i", "off", volume.path()}));

    QFile f(marker);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("kept");
    f.close();
    QFile::remove(fake.path(QStringLiteral("calls.log")));
    awaitTask(engine.excludeFromSpotlight(volume.path()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "kept");
    EXPECT_TRUE(fake.wasRun(QStringLiteral("mdutil--i")));

    // Neither a missing volume nor a missing tool is reported.
    DiskImageTools missing = fake.tools();
    missing.mdutil = fake.path(QStringLiteral("absent"));
    awaitTask(DiskImage(missing).excludeFromSpotlight(volume.filePath(QStringLiteral("gone"))));
}
