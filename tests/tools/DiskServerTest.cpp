// The decrypted disk as the ext4 tools see it: a file served through FUSE.
#include "DiskServer.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/falloc.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace larkhold;
using namespace larkhold::diskimage;

// e2fsck -E discard frees blocks by punching holes in the disk file. Pieces of sectors at either
// end of a range are zeroed by writing, whole sectors are discarded; nothing outside the range
// may change, however short the range or wherever it starts.
TEST(DiskServer, PunchingAHoleZeroesExactlyTheRange) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || ::access("/usr/bin/fusermount3", X_OK) != 0) {
        GTEST_SKIP() << "FUSE is not available";
    }
    QTemporaryDir dir;
    const std::string bands = dir.path().toStdString() + "/bands";
    const std::string served = dir.path().toStdString() + "/served";
    ASSERT_EQ(::mkdir(bands.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(served.c_str(), 0700), 0);
    BandStore store(bands, 2 * kBandSize, MasterKey::generate());
    std::vector<std::uint8_t> data(6 * kSectorSize);
    std::mt19937 gen(8);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(gen() | 1);
    }
    ASSERT_EQ(store.write(data.data(), data.size(), 0), long(data.size()));

    struct Range {
        std::uint64_t offset, length;
    };
    const Range ranges[] = {
        {100, 2 * kSectorSize - 200},             // across a sector boundary, no whole sector
        {3 * kSectorSize - 10, kSectorSize + 20}, // a whole sector with a piece on each side
        {2 * kBandSize - 50, 1000},               // running past the end of the disk
    };
    {
        DiskServer server(store);
        server.start(served);
        const int fd = ::open(server.diskPath().c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        for (const Range& r : ranges) {
            EXPECT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(r.offset), off_t(r.length)), 0)
                << r.offset;
        }
        ::close(fd);
        server.stop();
    }
    std::vector<std::uint8_t> expected = data;
    for (const Range& r : ranges) {
        for (std::uint64_t i = r.offset; i < r.offset + r.length && i < expected.size(); ++i) {
            expected[i] = 0;
        }
    }
    std::vector<std::uint8_t> back(data.size());
    ASSERT_EQ(store.read(back.data(), back.size(), 0), long(back.size()));
    EXPECT_EQ(back, expected);
}
