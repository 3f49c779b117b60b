// The application's disk-image engine against the stand-in tools: what the tools print is what
// the engine reads, and their error texts become the engine's errors.
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
                }).startsWith("Could not lock vault — a file inside may still be open: hdiutil: detach failed"));
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
    EXPECT_TRUE(messageOf([&] {
                    awaitTask(engine.create(image, "Again", 64, "pw"));
                }).startsWith("Could not create vault: hdiutil: create failed - "));
    EXPECT_GT(awaitTask(engine.sizeOnDisk(image)), 0);
}
