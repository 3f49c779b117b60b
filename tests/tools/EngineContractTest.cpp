// The application's disk-image engine against the stand-in tools: what the tools print is what
// the engine reads, and their error texts become the engine's errors.
#include "AttachedRegistry.h"
#include "BlockingAwait.h"
#include "DiskImage.h"
#include "Plist.h"
#include "ToolHarness.h"

#include <QFile>
#include <optional>

using namespace larkhold;
using namespace tooltest;

namespace {

template <typename F> QString messageOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

} // namespace

TEST(EngineContract, EngineDrivesTheToolsThroughAVaultsLife) {
    SKIP_WITHOUT_MOUNTS();
    Scratch s;
    DiskImage engine(DiskImageTools::inFolder(toolsDir()));
    const QString image = s.path("Life.sparsebundle");
    awaitTask(engine.create(image, "Life", 64, "pw"));
    // The size limit is where the store looks for it when the vault is added to the list.
    QFile info(image + "/Info.plist");
    ASSERT_TRUE(info.open(QIODevice::ReadOnly));
    const std::optional<QVariant> plist = Plist::parse(info.readAll());
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->toMap().value("size"), QVariant(qint64(64) << 20));

    const QString mountPoint = awaitTask(engine.attach(image, "pw", false));
    EXPECT_EQ(mountPoint, s.mountRoot() + "/Life");
    std::optional<AttachedImages> attached = awaitTask(engine.attachedImages());
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->value(image), mountPoint);
    // Found also through a symbolic link to the image.
    ASSERT_TRUE(QFile::link(image, s.path("link.sparsebundle")));
    EXPECT_EQ(awaitTask(engine.mountPoint(s.path("link.sparsebundle"))), std::optional<QString>(mountPoint));

    QFile ballast(mountPoint + "/ballast.bin"); // more than a 8 MB limit could hold
    ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
    ballast.write(QByteArray(12 << 20, 'x'));
    ballast.close();

    awaitTask(engine.excludeFromSpotlight(mountPoint));
    EXPECT_TRUE(QFile::exists(mountPoint + "/.metadata_never_index"));
    EXPECT_TRUE(QFile::exists(mountPoint + "/.trackerignore"));

    QFile file(mountPoint + "/busy.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_TRUE(messageOf([&] {
                    awaitTask(engine.detach(mountPoint, false));
                }).endsWith(" is in use — close the files open in it, then lock again."));
    file.close();
    awaitTask(engine.detach(mountPoint, false));
    EXPECT_FALSE(awaitTask(engine.mountPoint(image)));

    EXPECT_EQ(awaitTask(engine.verify(image, "pw")), "healthy");
    EXPECT_FALSE(awaitTask(engine.mountPoint(image))); // verify leaves nothing attached
    EXPECT_NO_THROW(awaitTask(engine.verifyPassword(image, "pw")));
    EXPECT_EQ(messageOf([&] { awaitTask(engine.verifyPassword(image, "nope")); }), "Wrong password.");
    EXPECT_EQ(messageOf([&] { awaitTask(engine.compact(image, "nope")); }), "Wrong password.");
    EXPECT_EQ(messageOf([&] { awaitTask(engine.resize(image, 8, "pw")); }),
              "The new limit is smaller than the space the files inside currently use. Delete files first (and "
              "reclaim free space), or choose a larger limit.");
    EXPECT_TRUE(messageOf([&] { awaitTask(engine.create(image, "Again", 64, "pw")); }) ==
                QStringLiteral("“Again” could not be created."));
    EXPECT_GT(awaitTask(engine.sizeOnDisk(image)), 0);
}

// A path that is not UTF-8 (or holds a control character) in one entry of the listing must not
// hide the other volumes: the tools never print one, and the engine reads past one anyway.
TEST(EngineContract, OneUnreadableEntryNeverHidesTheOtherVolumes) {
    const QByteArray entry = "<dict><key>image-path</key><string>%1</string><key>system-entities</key><array>"
                             "<dict><key>mount-point</key><string>%2</string></dict></array></dict>";
    auto listing = [&](const QList<std::pair<QByteArray, QByteArray>>& images) {
        QByteArray out =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>images</key><array>";
        for (const auto& [path, mountPoint] : images) {
            out += QByteArray(entry).replace("%1", path).replace("%2", mountPoint);
        }
        return out + "</array></dict></plist>";
    };
    const auto images = DiskImage::attachedImagesFromInfoOutput(
        listing({{"/v/Bad\xff\x01.sparsebundle", "/media/Bad"}, {"/v/Good.sparsebundle", "/media/Good"}}));
    ASSERT_TRUE(images);
    EXPECT_EQ(images->value("/v/Good.sparsebundle"), "/media/Good");
    EXPECT_EQ(images->size(), 2);

    SKIP_WITHOUT_MOUNTS();
    // Removed through the shell too, after the scratch folder has detached its volumes: Qt cannot
    // name a file whose name is not UTF-8.
    struct BadImageRemoval {
        QString folder;
        ~BadImageRemoval() { QProcess::execute("/bin/sh", {"-c", "rm -rf \"$0\"", folder}); }
    } removal;
    Scratch s;
    removal.folder = s.path("");
    // Made and attached through the shell: QString arguments cannot carry the byte 0xff.
    QProcess p;
    p.start("/bin/sh", {"-c",
                        "bad=\"$1/$(printf 'Bad\\377.sparsebundle')\"; printf pw | \"$0\" create -encryption "
                        "AES-256 -stdinpass -size 64m -volname Bad \"$bad\" >/dev/null && printf pw | \"$0\" "
                        "attach -stdinpass \"$bad\" >/dev/null",
                        toolsDir() + "/hdiutil", s.path("")});
    p.waitForFinished(-1);
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    createImage(s.path("Good.sparsebundle"), "Good", "64m", "pw");
    const QString good = attach(s.path("Good.sparsebundle"), "pw");
    DiskImage engine(DiskImageTools::inFolder(toolsDir()));
    const std::optional<AttachedImages> attached = awaitTask(engine.attachedImages());
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->size(), 2);
    EXPECT_EQ(attached->value(s.path("Good.sparsebundle")), good);
    // The application's own reading of the tools' registry lists what the tool lists.
    EXPECT_EQ(readAttachedRegistry(), attached);
    awaitTask(engine.detach(good, false));
    EXPECT_EQ(readAttachedRegistry(), awaitTask(engine.attachedImages()));
    EXPECT_EQ(readAttachedRegistry()->size(), 1);
}
