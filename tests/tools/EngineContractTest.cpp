// The application's disk-image engine against the stand-in tools: what the tools print is what
// the engine reads, and their error texts become the engine's errors.
#include "DiskImage.h"
#include "ToolHarness.h"

#include <QEventLoop>
#include <QFile>
#include <exception>
#include <optional>
#include <type_traits>

using namespace larkhold;
using namespace tooltest;

namespace {

// Runs an engine task to its end and returns its result or rethrows its error.
template <typename T> T finish(QCoro::Task<T> task) {
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result{};
    auto body = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await task;
            } else {
                result.emplace(co_await task);
            }
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    QCoro::Task<> running = body();
    if (!done) {
        loop.exec();
    }
    if (error) {
        std::rethrow_exception(error);
    }
    if constexpr (!std::is_void_v<T>) {
        return std::move(*result);
    }
}

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
    finish(engine.create(image, "Life", 64, "pw"));

    const QString mountPoint = finish(engine.attach(image, "pw", false));
    EXPECT_EQ(mountPoint, s.mountRoot() + "/Life");
    std::optional<AttachedImages> attached = finish(engine.attachedImages());
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->value(image), mountPoint);
    // Found also through a symbolic link to the image.
    ASSERT_TRUE(QFile::link(image, s.path("link.sparsebundle")));
    EXPECT_EQ(finish(engine.mountPoint(s.path("link.sparsebundle"))), std::optional<QString>(mountPoint));

    QFile ballast(mountPoint + "/ballast.bin"); // more than a 8 MB limit could hold
    ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
    ballast.write(QByteArray(12 << 20, 'x'));
    ballast.close();

    finish(engine.excludeFromSpotlight(mountPoint));
    EXPECT_TRUE(QFile::exists(mountPoint + "/.metadata_never_index"));
    EXPECT_TRUE(QFile::exists(mountPoint + "/.trackerignore"));

    QFile file(mountPoint + "/busy.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_TRUE(messageOf([&] {
                    finish(engine.detach(mountPoint, false));
                }).startsWith("Could not lock vault — a file inside may still be open: hdiutil: detach failed"));
    file.close();
    finish(engine.detach(mountPoint, false));
    EXPECT_FALSE(finish(engine.mountPoint(image)));

    EXPECT_EQ(finish(engine.verify(image, "pw")), "healthy");
    EXPECT_FALSE(finish(engine.mountPoint(image))); // verify leaves nothing attached
    EXPECT_NO_THROW(finish(engine.verifyPassword(image, "pw")));
    EXPECT_EQ(messageOf([&] { finish(engine.verifyPassword(image, "nope")); }), "Wrong password.");
    EXPECT_EQ(messageOf([&] { finish(engine.compact(image, "nope")); }), "Wrong password.");
    EXPECT_EQ(messageOf([&] { finish(engine.resize(image, 8, "pw")); }),
              "The new limit is smaller than the space the files inside currently use. Delete files first (and "
              "reclaim free space), or choose a larger limit.");
    EXPECT_TRUE(messageOf([&] {
                    finish(engine.create(image, "Again", 64, "pw"));
                }).startsWith("Could not create vault: hdiutil: create failed - "));
    EXPECT_GT(finish(engine.sizeOnDisk(image)), 0);
}
