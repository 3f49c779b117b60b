// The encrypted band storage and the image metadata, without FUSE.
#include "BandStore.h"

#include "Bundle.h"
#include "Crypto.h"
#include "Util.h"

#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace larkhold;
using namespace larkhold::diskimage;

namespace {

constexpr std::uint64_t kDisk = 4 * kBandSize;

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(gen() | 1); // never zero, so no sector is a hole
    }
    return out;
}

struct Fixture : ::testing::Test {
    QTemporaryDir dir;
    std::string bands = dir.path().toStdString() + "/bands";
    MasterKey key = MasterKey::generate();
    void SetUp() override { ASSERT_EQ(::mkdir(bands.c_str(), 0700), 0); }
    std::string band(int i) const { return bands + "/" + std::to_string(i); }
    std::size_t fileSize(const std::string& path) const { return std::filesystem::file_size(path); }
    std::string record = dir.path().toStdString() + "/bands.record";
    std::string identity = dir.path().toStdString() + "/volume-id";
    // The empty record of a new image, and its identity.
    void newRecord() const {
        writeBandRecord(record, key.nameKey(), {}, 0);
        writeVolumeIdentity(identity, key.nameKey(), {});
    }
    std::set<std::uint64_t> listed() const {
        return readBandRecord(record, key.nameKey()).value_or(BandRecord{}).bands;
    }
    // The band record as the previous tools wrote it: no number, nothing beside it.
    void writePreviousRecord(const std::set<std::uint64_t>& bands) const {
        const std::uint64_t count = bands.empty() ? 0 : *bands.rbegin() + 1;
        std::vector<std::uint8_t> plain(8 + (count + 7) / 8, 0);
        for (int i = 0; i < 8; ++i) {
            plain[std::size_t(i)] = std::uint8_t(count >> (8 * i));
        }
        for (std::uint64_t index : bands) {
            plain[8 + index / 8] |= std::uint8_t(1u << (index % 8));
        }
        std::vector<std::uint8_t> box(plain.size() + crypto::kGcmOverhead);
        crypto::aesGcmSeal(key.nameKey(), plain, asBytes(std::string("larkhold band record v1")), box);
        writeFileAtomically(record, box);
    }
    // Whether opening the store's record is refused as a part of the vault missing.
    bool refused(bool recordExpected = true) {
        BandStore store(bands, kDisk, key);
        try {
            store.keepRecord(record, key.nameKey(), recordExpected);
            return false;
        } catch (const ToolError& e) {
            EXPECT_EQ(e.kind, Failure::missingPart);
            return true;
        }
    }
};

using BandStoreTest = Fixture;

} // namespace

TEST_F(BandStoreTest, UnalignedWritesAcrossBandsReadBackAndUnwrittenSpaceIsZero) {
    BandStore store(bands, kDisk, key);
    const std::uint64_t offset = kBandSize - 5000; // straddles bands 0 and 1, starts mid-sector
    auto data = pattern(20000, 1);
    ASSERT_EQ(store.write(data.data(), data.size(), offset), long(data.size()));

    std::vector<std::uint8_t> back(data.size());
    ASSERT_EQ(store.read(back.data(), back.size(), offset), long(back.size()));
    EXPECT_EQ(back, data);

    // The rest of the touched sectors and untouched bands read as zeros.
    std::vector<std::uint8_t> around(kSectorSize);
    ASSERT_EQ(store.read(around.data(), around.size(), offset - kSectorSize - 904), long(kSectorSize));
    EXPECT_EQ(around, std::vector<std::uint8_t>(kSectorSize, 0));
    ASSERT_EQ(store.read(around.data(), around.size(), 3 * kBandSize), long(kSectorSize));
    EXPECT_EQ(around, std::vector<std::uint8_t>(kSectorSize, 0));
    EXPECT_FALSE(std::filesystem::exists(band(2)));
    EXPECT_FALSE(std::filesystem::exists(band(3)));

    // Reads stop at the end of the disk; writes past it are refused.
    EXPECT_EQ(store.read(back.data(), back.size(), kDisk - 100), 100);
    EXPECT_EQ(store.write(data.data(), 2 * kSectorSize, kDisk - kSectorSize), -ENOSPC);
}

// Long writes go to the bands past the page cache, short ones through it; whichever came last must
// be what is read, now and after the store is opened again.
TEST_F(BandStoreTest, LongAndShortWritesOfTheSameSectorsReadBackTheLastWritten) {
    std::vector<std::uint8_t> model(2 * kBandSize, 0);
    auto put = [&](BandStore& store, std::uint64_t offset, const std::vector<std::uint8_t>& data) {
        ASSERT_EQ(store.write(data.data(), data.size(), offset), long(data.size()));
        std::copy(data.begin(), data.end(), model.begin() + long(offset));
    };
    auto check = [&](BandStore& store) {
        std::vector<std::uint8_t> back(model.size());
        ASSERT_EQ(store.read(back.data(), back.size(), 0), long(back.size()));
        EXPECT_TRUE(back == model);
    };
    {
        BandStore store(bands, kDisk, key);
        put(store, 3 * kSectorSize, pattern(kSectorSize, 1)); // short, cached
        put(store, 0, pattern(1 << 20, 2));                   // long, over it
        check(store);
        put(store, 5 * kSectorSize, pattern(3 * kSectorSize, 3)); // short, into the long one
        put(store, kBandSize - (512 << 10), pattern(1 << 20, 4)); // long, across two bands
        auto withZeros = pattern(1 << 20, 5);
        std::fill(withZeros.begin() + (256 << 10), withZeros.begin() + (512 << 10), 0);
        put(store, 4 * kSectorSize, withZeros); // a hole amid the ciphertext
        check(store);
        ASSERT_EQ(store.sync(), 0);
    }
    BandStore reopened(bands, kDisk, key);
    check(reopened);
}

TEST_F(BandStoreTest, SameSectorContentEncryptsDifferentlyPerSectorAndPerKey) {
    auto sector = pattern(kSectorSize, 2);
    {
        BandStore store(bands, kDisk, key);
        ASSERT_EQ(store.write(sector.data(), kSectorSize, 0), long(kSectorSize));
        ASSERT_EQ(store.write(sector.data(), kSectorSize, kSectorSize), long(kSectorSize));
    }
    std::ifstream in(band(0), std::ios::binary);
    std::vector<char> raw(2 * kSectorSize);
    in.read(raw.data(), std::streamsize(raw.size()));
    EXPECT_NE(std::memcmp(raw.data(), raw.data() + kSectorSize, kSectorSize), 0);
    EXPECT_NE(std::memcmp(raw.data(), sector.data(), kSectorSize), 0);

    BandStore other(bands, kDisk, MasterKey::generate());
    std::vector<std::uint8_t> back(kSectorSize);
    ASSERT_EQ(other.read(back.data(), back.size(), 0), long(kSectorSize));
    EXPECT_NE(back, sector);
}

TEST_F(BandStoreTest, ZeroSectorsBecomeHolesAndDiscardRemovesEmptyBands) {
    BandStore store(bands, kDisk, key);
    std::vector<std::uint8_t> zeros(kBandSize, 0);
    ASSERT_EQ(store.write(zeros.data(), zeros.size(), 0), long(zeros.size()));
    EXPECT_FALSE(std::filesystem::exists(band(0))); // nothing but zeros: no band at all

    auto data = pattern(2 * kSectorSize, 3);
    ASSERT_EQ(store.write(data.data(), data.size(), kBandSize), long(data.size()));
    ASSERT_EQ(store.write(data.data(), data.size(), 2 * kBandSize), long(data.size()));
    ASSERT_EQ(store.write(zeros.data(), kSectorSize, kBandSize), long(kSectorSize)); // overwrite with zeros
    std::vector<std::uint8_t> back(kSectorSize, 0xff);
    ASSERT_EQ(store.read(back.data(), back.size(), kBandSize), long(kSectorSize));
    EXPECT_EQ(back, std::vector<std::uint8_t>(kSectorSize, 0));

    // Half of band 2 goes: it stays with its remaining sector. All of band 1 goes: removed.
    ASSERT_EQ(store.discard(2 * kBandSize, kSectorSize), 0);
    EXPECT_TRUE(std::filesystem::exists(band(2)));
    ASSERT_EQ(store.read(back.data(), back.size(), 2 * kBandSize + kSectorSize), long(kSectorSize));
    EXPECT_EQ(0, std::memcmp(back.data(), data.data() + kSectorSize, kSectorSize));
    ASSERT_EQ(store.discard(kBandSize, kBandSize), 0);
    EXPECT_FALSE(std::filesystem::exists(band(1)));

    // A band removed by discard is created again by the next write.
    ASSERT_EQ(store.write(data.data(), data.size(), kBandSize), long(data.size()));
    std::vector<std::uint8_t> again(data.size());
    ASSERT_EQ(store.read(again.data(), again.size(), kBandSize), long(again.size()));
    EXPECT_EQ(again, data);
    EXPECT_EQ(store.sync(), 0);
}

// Discarding the last data of a band removes its file; a write into the same band at that moment
// must land in the file that stays, not in the one that goes.
TEST_F(BandStoreTest, WriteRacingTheRemovalOfItsBandIsKept) {
    BandStore store(bands, kDisk, key);
    const auto data = pattern(kSectorSize, 5);
    std::vector<std::uint8_t> back(kSectorSize);
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(store.write(data.data(), kSectorSize, kBandSize), long(kSectorSize));
        std::thread discarding([&] { EXPECT_EQ(store.discard(kBandSize, kSectorSize), 0); });
        ASSERT_EQ(store.write(data.data(), kSectorSize, kBandSize + 5 * kSectorSize), long(kSectorSize));
        discarding.join();
        ASSERT_EQ(store.read(back.data(), back.size(), kBandSize + 5 * kSectorSize), long(kSectorSize));
        ASSERT_EQ(back, data) << "round " << round;
        ASSERT_EQ(store.discard(kBandSize, kBandSize), 0);
        ASSERT_FALSE(std::filesystem::exists(band(1)));
    }
}

// A write whose band cannot be made fails; it is not taken for a hole and reported as written.
TEST_F(BandStoreTest, WriteIntoABandThatCannotBeMadeFails) {
    BandStore store(bands, kDisk, key);
    std::filesystem::remove(bands);
    const auto data = pattern(kSectorSize, 6);
    EXPECT_EQ(store.write(data.data(), data.size(), 0), -EIO);
}

TEST_F(BandStoreTest, DamagedBandsGiveErrorsOrGarbageButNeverACrash) {
    auto data = pattern(4 * kSectorSize, 4);
    {
        BandStore store(bands, kDisk, key);
        ASSERT_EQ(store.write(data.data(), data.size(), 0), long(data.size()));
        ASSERT_EQ(store.write(data.data(), data.size(), kBandSize), long(data.size()));
    }
    // Band 0 cut short: the lost sectors read as holes. Band 1 replaced by a folder: I/O error.
    ASSERT_EQ(::truncate(band(0).c_str(), 2 * kSectorSize + 100), 0);
    std::filesystem::remove(band(1));
    std::filesystem::create_directory(band(1));

    BandStore store(bands, kDisk, key);
    std::vector<std::uint8_t> back(4 * kSectorSize);
    ASSERT_EQ(store.read(back.data(), back.size(), 0), long(back.size()));
    EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 2 * kSectorSize));
    EXPECT_EQ(back[3 * kSectorSize], 0);
    EXPECT_EQ(store.read(back.data(), back.size(), kBandSize), -EIO);
    EXPECT_EQ(store.write(data.data(), data.size(), kBandSize), -EIO);
}

// A band the image has written and that is gone or cut short (a sync or copy not finished) is an
// I/O error, never a hole; images of earlier tools get the record of the bands they have.
TEST_F(BandStoreTest, RecordedBandsThatGoMissingOrShortAreErrorsNotHoles) {
    newRecord();
    auto data = pattern(2 * kSectorSize, 7);
    {
        BandStore store(bands, kDisk, key);
        store.keepRecord(record, key.nameKey());
        for (std::uint64_t i = 0; i < 4; ++i) {
            ASSERT_EQ(store.write(data.data(), data.size(), i * kBandSize), long(data.size()));
        }
        ASSERT_EQ(store.sync(), 0);
        ASSERT_EQ(store.discard(3 * kBandSize, kBandSize), 0); // empty now: leaves folder and record
        EXPECT_FALSE(std::filesystem::exists(band(3)));
    }
    EXPECT_EQ(listed(), (std::set<std::uint64_t>{0, 1, 2}));
    ASSERT_EQ(::truncate(band(0).c_str(), kSectorSize), 0);
    std::filesystem::rename(band(1), bands + "/away");

    BandStore store(bands, kDisk, key);
    store.keepRecord(record, key.nameKey());
    EXPECT_EQ(store.missingBands(), (std::vector<std::uint64_t>{0, 1}));
    std::vector<std::uint8_t> back(data.size());
    EXPECT_FALSE(store.failedToReadOrWrite());
    EXPECT_EQ(store.read(back.data(), back.size(), 0), -EIO);
    EXPECT_EQ(store.read(back.data(), back.size(), kBandSize), -EIO);
    EXPECT_EQ(store.write(data.data(), data.size(), kBandSize), -EIO); // not started afresh
    EXPECT_FALSE(std::filesystem::exists(band(1)));
    EXPECT_TRUE(store.failedToReadOrWrite());
    ASSERT_EQ(store.read(back.data(), back.size(), 2 * kBandSize), long(back.size()));
    EXPECT_EQ(back, data);
    EXPECT_EQ(store.read(back.data(), back.size(), 3 * kBandSize), long(back.size())); // discarded: a hole

    // Shrinking drops the bands past the end from the record, and the last one keeps its length.
    store.removeBeyond(kBandSize + kBandSize / 2);
    EXPECT_FALSE(std::filesystem::exists(band(2)));
    EXPECT_EQ(listed(), (std::set<std::uint64_t>{0, 1}));

    // Without a record and its identity (earlier tools) the bands present are taken as written;
    // band 0, which holds every file system's superblock, must be among them.
    std::filesystem::remove(band(0));
    std::filesystem::rename(bands + "/away", band(1));
    std::filesystem::remove(record);
    std::filesystem::remove(identity);
    BandStore earlier(bands, kBandSize * 2, key);
    try {
        earlier.keepRecord(record, key.nameKey());
        ADD_FAILURE() << "a vault without band 0 was taken as whole";
    } catch (const ToolError& e) {
        EXPECT_EQ(e.kind, Failure::missingPart);
    }
    ASSERT_EQ(earlier.write(data.data(), data.size(), 0), long(data.size())); // band 0 back, short
    BandStore adopted(bands, kBandSize * 2, key);
    adopted.keepRecord(record, key.nameKey());
    EXPECT_TRUE(adopted.missingBands().empty());
    EXPECT_EQ(fileSize(band(0)), kBandSize);
    EXPECT_EQ(listed(), (std::set<std::uint64_t>{0, 1}));
}

// A record that is gone, damaged or older than the identity beside it (one file restored by a sync
// client or a backup) stops the image before anything changes: the bands present cannot tell which
// are lost. The previous tools' records, and a record a crash left ahead of its identity, open.
TEST_F(BandStoreTest, ARecordLostDamagedOrOlderStopsTheImageAndThePreviousToolsRecordsOpen) {
    auto data = pattern(kSectorSize, 3);
    writePreviousRecord({});
    {
        BandStore store(bands, kDisk, key); // a vault of the previous tools gets its record numbered
        store.keepRecord(record, key.nameKey(), true);
        ASSERT_EQ(store.write(data.data(), data.size(), 0), long(data.size()));
        ASSERT_EQ(store.sync(), 0);
    }
    ASSERT_TRUE(readBandRecord(record, key.nameKey())->number.has_value());
    const auto older = readFile(record);
    const auto olderIdentity = readFile(identity);
    {
        BandStore store(bands, kDisk, key);
        store.keepRecord(record, key.nameKey(), true);
        ASSERT_EQ(store.write(data.data(), data.size(), kBandSize), long(data.size()));
        ASSERT_EQ(store.sync(), 0);
    }
    const auto newer = readFile(record);
    EXPECT_EQ(listed(), (std::set<std::uint64_t>{0, 1}));

    writeFileAtomically(record, older);
    EXPECT_TRUE(refused());
    writePreviousRecord({0, 1}); // the previous tools' copy, put back over a numbered one
    EXPECT_TRUE(refused());
    auto garbled = newer;
    garbled[garbled.size() / 2] ^= 1;
    writeFileAtomically(record, garbled);
    EXPECT_TRUE(refused());
    std::filesystem::remove(record);
    EXPECT_TRUE(refused());
    std::filesystem::remove(identity);
    EXPECT_TRUE(refused()); // a vault known to keep a record
    EXPECT_TRUE(std::filesystem::exists(band(1)));
    EXPECT_FALSE(std::filesystem::exists(record));

    // A crash between the record and its identity leaves the identity behind: that opens.
    writeFileAtomically(record, newer);
    writeFileAtomically(identity, olderIdentity);
    EXPECT_FALSE(refused());
    EXPECT_EQ(readVolumeIdentity(identity, key.nameKey())->recordNumber,
              *readBandRecord(record, key.nameKey())->number);
    EXPECT_EQ(listed(), (std::set<std::uint64_t>{0, 1}));
}

// What a repair overwrites is kept as it lay, and taking it back restores every band, removes those
// made since and lists the bands as they were; the kept copies hold no plaintext.
TEST_F(BandStoreTest, KeptBandsTakeTheDiskBackToWhereTheKeepingBegan) {
    const std::string kept = dir.path().toStdString() + "/kept";
    newRecord();
    const auto first = pattern(2 * kSectorSize, 11), second = pattern(2 * kSectorSize, 12);
    {
        BandStore store(bands, kDisk, key);
        store.keepRecord(record, key.nameKey(), true);
        ASSERT_EQ(store.write(first.data(), first.size(), 0), long(first.size()));
        ASSERT_EQ(store.write(first.data(), first.size(), kBandSize), long(first.size()));
        ASSERT_EQ(store.sync(), 0);
        store.keepBandsAsTheyAre(kept);
        ASSERT_EQ(store.write(second.data(), second.size(), 0), long(second.size()));
        ASSERT_EQ(store.discard(kBandSize, kBandSize), 0); // band 1 left empty: removed
        ASSERT_EQ(store.write(second.data(), second.size(), 2 * kBandSize), long(second.size()));
        ASSERT_EQ(store.sync(), 0);
        EXPECT_FALSE(std::filesystem::exists(band(1)));
    }
    {
        BandStore store(bands, kDisk, key); // carried on by a later use: the first copy stays
        store.keepRecord(record, key.nameKey(), true);
        store.keepBandsAsTheyAre(kept);
        ASSERT_EQ(store.write(first.data(), first.size(), kBandSize / 2), long(first.size()));
        ASSERT_EQ(store.sync(), 0);
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kept)) {
        if (entry.is_regular_file()) {
            const auto bytes = readFile(entry.path().string());
            EXPECT_EQ(std::search(bytes.begin(), bytes.end(), first.begin(), first.begin() + 64), bytes.end());
        }
    }
    BandStore store(bands, kDisk, key);
    store.keepRecord(record, key.nameKey(), true);
    store.takeBackKeptBands(kept);
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_FALSE(std::filesystem::exists(band(2)));
    EXPECT_EQ(listed(), (std::set<std::uint64_t>{0, 1}));
    BandStore back(bands, kDisk, key);
    back.keepRecord(record, key.nameKey(), true);
    std::vector<std::uint8_t> got(first.size());
    ASSERT_EQ(back.read(got.data(), got.size(), 0), long(got.size()));
    EXPECT_EQ(got, first);
    ASSERT_EQ(back.read(got.data(), got.size(), kBandSize), long(got.size()));
    EXPECT_EQ(got, first);
    ASSERT_EQ(back.read(got.data(), got.size(), kBandSize / 2), long(got.size()));
    EXPECT_EQ(got, std::vector<std::uint8_t>(got.size(), 0));
}

// The volume name is kept twice; with both copies lost the right password still opens the image,
// under the name of its folder.
TEST_F(BandStoreTest, VolumeNameSurvivesALostCopyAndTheFolderNameStandsInForBoth) {
    const std::string path = dir.path().toStdString() + "/Work.sparsebundle";
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    Bundle b = Bundle::initialise(path, 64u << 20, "Volume ✓", asBytes("pw"), key, kMinKdf);
    const auto copy = readFile(path + "/volume-copy");
    writeFileAtomically(path + "/volume", asBytes(std::string(29, '\0'))); // damaged in place
    EXPECT_EQ(b.volumeName(key), "Volume ✓");
    EXPECT_EQ(readFile(path + "/volume"), copy); // mended from the other copy
    std::filesystem::remove(path + "/volume-copy");
    EXPECT_EQ(b.volumeName(key), "Volume ✓"); // an image of earlier tools gains its copy
    EXPECT_EQ(readFile(path + "/volume-copy"), copy);

    std::filesystem::remove(path + "/volume");
    std::filesystem::remove(path + "/volume-copy");
    EXPECT_EQ(b.volumeName(b.unlock(asBytes("pw"))), "Work");
}

TEST_F(BandStoreTest, BundleMetadataRoundTripsAndRefusesTheWrongPassword) {
    const std::string path = dir.path().toStdString() + "/img";
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    Bundle::initialise(path, 64u << 20, "Volume ✓", asBytes("pw"), key, kMinKdf);
    Bundle b = Bundle::open(path);
    EXPECT_EQ(b.sizeBytes(), 64u << 20);
    MasterKey opened = b.unlock(asBytes("pw"));
    EXPECT_TRUE(std::equal(opened.bytes().begin(), opened.bytes().end(), key.bytes().begin()));
    EXPECT_EQ(b.volumeName(opened), "Volume ✓");
    EXPECT_THROW(b.unlock(asBytes("pW")), AuthenticationError);

    b.rewrap(opened, asBytes("new"));
    EXPECT_THROW(b.unlock(asBytes("pw")), AuthenticationError);
    EXPECT_NO_THROW(b.unlock(asBytes("new")));

    b.setSize(128u << 20);
    EXPECT_EQ(Bundle::open(path).sizeBytes(), 128u << 20);

    // An Info.plist that promises an impossible layout is refused.
    std::string info = Bundle::infoPlist(64u << 20);
    info.replace(info.find("8388608"), 7, "4096");
    writeFileAtomically(path + "/Info.plist", asBytes(info));
    EXPECT_THROW(Bundle::open(path), ToolError);
    // A pipe in its place is refused at once instead of waiting for a writer forever.
    ASSERT_EQ(::unlink((path + "/Info.plist").c_str()), 0);
    ASSERT_EQ(::mkfifo((path + "/Info.plist").c_str(), 0600), 0);
    EXPECT_THROW(Bundle::open(path), ToolError);
}

TEST(SizeArgument, ParsesUnitsAndRejectsEverythingElse) {
    EXPECT_EQ(parseSizeArgument("256m"), 256ull << 20);
    EXPECT_EQ(parseSizeArgument("2g"), 2ull << 30);
    EXPECT_EQ(parseSizeArgument("4T"), 4ull << 40);
    EXPECT_EQ(parseSizeArgument("1024k"), 1ull << 20);
    for (const char* bad : {"", "m", "256", "25 6m", "-1m", "256mb", "17t", "99999999999999999999m"}) {
        EXPECT_THROW(parseSizeArgument(bad), ToolError) << bad;
    }
}
