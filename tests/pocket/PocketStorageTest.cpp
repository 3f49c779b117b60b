#include "PocketStorage.h"

#include "AtomicFile.h"
#include "FastKdf.h"
#include "PocketErrorCase.h"
#include "PocketFormat.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <numeric>
#include <poll.h>
#include <random>
#include <set>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

using namespace larkhold;
using test::errorOf;

namespace {

constexpr std::int64_t kOneMB = 1'048'576;

// Deterministic item lists, so a list read back can be told apart from every other one.
PocketItems state(int round, int k, std::size_t imageBytes = 0) {
    PocketItem note;
    note.id = QUuid::fromString(QStringLiteral("11111111-2222-4333-8444-%1").arg(round * 1000 + k, 12, 10, QChar('0')));
    note.name = QStringLiteral("round %1").arg(round);
    note.kind = PocketItem::Kind::note;
    note.created = Date{double(round)};
    note.modified = Date{double(k)};
    const QByteArray text = QStringLiteral("state %1").arg(k).toUtf8();
    note.data.assign(text.begin(), text.end());
    PocketItems items{note};
    if (imageBytes > 0) {
        PocketItem image = note;
        image.id = QUuid::fromString(QStringLiteral("99999999-2222-4333-8444-%1").arg(k, 12, 10, QChar('0')));
        image.kind = PocketItem::Kind::image;
        image.data.assign(imageBytes, static_cast<std::uint8_t>(k));
        items.push_back(image);
    }
    return items;
}

class PocketStorageTest : public ::testing::Test {
protected:
    QString vaultPath(const QString& name = QStringLiteral("v.pocketvault")) const { return dir.filePath(name); }
    std::vector<std::uint8_t> fileBytes(const QString& path) const { return readWholeFile(path); }
    PocketItems itemsOpenedWith(const QString& password, const QString& path) const {
        return PocketStorage::open(path, password, false).items;
    }
    QTemporaryDir dir;
};

TEST_F(PocketStorageTest, CreateWritesARandomLookingVaultThatOpens) {
    const QString path = vaultPath();
    const auto created = PocketStorage::create(path, 1, QStringLiteral("pw"), false);
    EXPECT_TRUE(created.items.empty());
    EXPECT_EQ(created.storage->savedGeneration(), -1);
    EXPECT_EQ(created.storage->capacity(), kOneMB);
    EXPECT_EQ(QFileInfo(path).size(), 2'097'392);
    EXPECT_TRUE(PocketFormat::isPocketVaultFile(path));

    const auto opened = PocketStorage::open(path, QStringLiteral("pw"), false);
    EXPECT_TRUE(opened.items.empty());
    EXPECT_EQ(opened.storage->area(), created.storage->area());
    EXPECT_EQ(errorOf([&] { PocketStorage::open(path, QStringLiteral("PW"), false); }),
              PocketVaultError::Case::badPassword);
}

TEST_F(PocketStorageTest, CreateNeverReplacesAnExistingFile) {
    const QString path = vaultPath();
    QFile existing(path);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("precious");
    existing.close();
    EXPECT_THROW(PocketStorage::create(path, 1, QStringLiteral("pw"), false), FileWriteError);
    EXPECT_EQ(fileBytes(path), std::vector<std::uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
}

TEST_F(PocketStorageTest, MainSlotIsChosenAtRandom) {
    std::set<int> areas;
    for (int i = 0; i < 16 && areas.size() < 2; ++i) {
        const QString path = vaultPath(QStringLiteral("v%1").arg(i));
        areas.insert(PocketStorage::create(path, 1, QStringLiteral("same"), false).storage->area());
    }
    EXPECT_EQ(areas.size(), 2u); // wrong once in 2^15 runs
}

TEST_F(PocketStorageTest, SavesOnlyNewerGenerations) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    storage->save(state(0, 0), 0); // 0 > -1
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(0, 0));
    storage->save(state(0, 7), 7);
    const auto written = fileBytes(path);
    storage->save(state(0, 5), 5);
    storage->save(state(0, 6), 7);
    EXPECT_EQ(fileBytes(path), written);
    EXPECT_EQ(storage->savedGeneration(), 7);
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(0, 7));
}

TEST_F(PocketStorageTest, SmallerSaveLeavesNothingOfTheLargerOneAndTheOtherAreaAlone) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    const auto areaBytes = [&](int area) {
        const auto bytes = fileBytes(path);
        const std::int64_t box = kOneMB + PocketFormat::kAreaOverhead;
        const auto start = bytes.begin() + PocketFormat::kSlotsSize + area * box;
        return std::vector<std::uint8_t>(start, start + box);
    };
    const std::vector<std::uint8_t> other = areaBytes(1 - storage->area());
    storage->save(state(0, 1, kOneMB / 2), 1);
    storage->save(state(0, 2), 2);

    PocketFile file(fileBytes(path), kOneMB);
    const PocketKey key = file.unlock(QStringLiteral("pw"));
    const SecureBytes plaintext = file.readArea(key);
    EXPECT_EQ(PocketPayload::decode(plaintext), state(0, 2));
    EXPECT_TRUE(std::all_of(plaintext.begin() + PocketPayload::sizeOf(state(0, 2)), plaintext.end(),
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(areaBytes(1 - storage->area()), other);
}

TEST_F(PocketStorageTest, ItemsThatDoNotFitChangeNothing) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    storage->save(state(0, 1), 1);
    const auto before = fileBytes(path);
    const PocketItems tooBig = state(0, 2, kOneMB);
    try {
        storage->save(tooBig, 2);
        FAIL() << "saved items larger than the vault";
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.which(), PocketVaultError::Case::full);
        EXPECT_EQ(e.needed(), PocketPayload::sizeOf(tooBig));
        EXPECT_EQ(e.capacity(), kOneMB);
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(storage->savedGeneration(), 1);
    storage->save(state(0, 3), 2); // the refused generation is still free
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(0, 3));
}

TEST_F(PocketStorageTest, ConcurrentSavesEndWithTheNewestGeneration) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    std::vector<int> generations(24);
    std::iota(generations.begin(), generations.end(), 0);
    std::shuffle(generations.begin(), generations.end(), std::mt19937(42));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = static_cast<std::size_t>(t); i < generations.size(); i += 4)
                storage->save(state(1, generations[i]), generations[i]);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(storage->savedGeneration(), 23);
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(1, 23));
}

TEST_F(PocketStorageTest, SecondPasswordOpensItsOwnArea) {
    for (int mainArea : {0, 1}) {
        const QString path = vaultPath(QStringLiteral("v%1").arg(mainArea));
        std::shared_ptr<PocketStorage> storage;
        do { // until the random slot choice gives the area under test
            QFile::remove(path);
            storage = PocketStorage::create(path, 1, QStringLiteral("main"), false).storage;
        } while (storage->area() != mainArea);
        storage->save(state(2, 1), 1);

        storage->setUpSecondPassword(QStringLiteral("decoy"), state(3, 1));
        auto decoy = PocketStorage::open(path, QStringLiteral("decoy"), false);
        EXPECT_EQ(decoy.storage->area(), 1 - mainArea);
        EXPECT_EQ(decoy.items, state(3, 1));
        EXPECT_EQ(itemsOpenedWith(QStringLiteral("main"), path), state(2, 1));

        // The open storage keeps writing its own area only.
        storage->save(state(2, 2), 2);
        EXPECT_EQ(storage->area(), mainArea);
        EXPECT_EQ(itemsOpenedWith(QStringLiteral("main"), path), state(2, 2));
        EXPECT_EQ(itemsOpenedWith(QStringLiteral("decoy"), path), state(3, 1));

        // A later second password replaces the earlier one and its items.
        storage->setUpSecondPassword(QStringLiteral("decoy 2"), state(3, 2));
        EXPECT_EQ(itemsOpenedWith(QStringLiteral("decoy 2"), path), state(3, 2));
        EXPECT_EQ(errorOf([&] { PocketStorage::open(path, QStringLiteral("decoy"), false); }),
                  PocketVaultError::Case::badPassword);
        EXPECT_EQ(itemsOpenedWith(QStringLiteral("main"), path), state(2, 2));
    }
}

TEST_F(PocketStorageTest, SecondPasswordEqualToTheCurrentOneWritesNothing) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("caf\u00e9"), false).storage;
    storage->save(state(0, 1), 1);
    const auto before = fileBytes(path);
    try {
        storage->setUpSecondPassword(QStringLiteral("cafe\u0301"), state(3, 1)); // same after NFC
        FAIL() << "accepted the current password as the second one";
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.message(),
                  QStringLiteral("The second password must be different from the password you unlocked with."));
    }
    EXPECT_EQ(fileBytes(path), before);
    // Items too large for the second area change nothing either.
    EXPECT_EQ(errorOf([&] { storage->setUpSecondPassword(QStringLiteral("other"), state(3, 1, kOneMB)); }),
              PocketVaultError::Case::full);
    EXPECT_EQ(fileBytes(path), before);
    storage->save(state(0, 2), 2); // the storage still works on its file
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("caf\u00e9"), path), state(0, 2));
}

TEST_F(PocketStorageTest, ChangePasswordRekeysOnlyItsOwnSlot) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("old"), false).storage;
    storage->save(state(4, 1), 1);
    storage->setUpSecondPassword(QStringLiteral("second"), state(5, 1));
    storage.reset();
    const auto before = fileBytes(path);

    try {
        PocketStorage::changePassword(path, QStringLiteral("wrong"), QStringLiteral("new"), false);
        FAIL() << "changed the password with a wrong old one";
    } catch (const PocketVaultError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("Wrong password."));
    }
    EXPECT_EQ(fileBytes(path), before);

    // The other slot's password as the new one would hide the other area for good.
    EXPECT_EQ(
        errorOf([&] { PocketStorage::changePassword(path, QStringLiteral("old"), QStringLiteral("second"), false); }),
        PocketVaultError::Case::passwordOpensOtherArea);
    EXPECT_EQ(fileBytes(path), before);

    PocketStorage::changePassword(path, QStringLiteral("old"), QStringLiteral("new"), false);
    const auto after = fileBytes(path);
    EXPECT_EQ(errorOf([&] { PocketStorage::open(path, QStringLiteral("old"), false); }),
              PocketVaultError::Case::badPassword);
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("new"), path), state(4, 1));
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("second"), path), state(5, 1));
    // Only the 92 bytes of the re-keyed slot differ.
    std::size_t differing = 0, first = after.size(), last = 0;
    for (std::size_t i = 0; i < after.size(); ++i)
        if (after[i] != before[i]) {
            ++differing;
            first = std::min(first, i);
            last = i;
        }
    EXPECT_GT(differing, 0u);
    EXPECT_TRUE(last < 92 || (first >= 92 && last < 184)) << first << ".." << last;
}

TEST_F(PocketStorageTest, RefusesOtherFilesBeforeAnyKeyDerivation) {
    // With an impossible cost any derivation would throw std::invalid_argument instead.
    KdfCost impossible{0, 0, 0};
    KdfCost* const saved = larkholdTestKdfOverride;
    larkholdTestKdfOverride = &impossible;
    for (qint64 size : {0ll, 2'097'391ll, 2'097'393ll}) {
        const QString path = vaultPath(QStringLiteral("f%1").arg(size));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(size));
        f.close();
        EXPECT_EQ(errorOf([&] { PocketStorage::open(path, QStringLiteral("pw"), false); }),
                  PocketVaultError::Case::notAPocketVault);
        EXPECT_EQ(
            errorOf([&] { PocketStorage::changePassword(path, QStringLiteral("a"), QStringLiteral("b"), false); }),
            PocketVaultError::Case::notAPocketVault);
    }
    larkholdTestKdfOverride = saved;
    EXPECT_THROW(PocketStorage::open(vaultPath(QStringLiteral("missing")), QStringLiteral("pw"), false), FileReadError);
}

TEST_F(PocketStorageTest, DamagedAreaIsReportedAndLeftAlone) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    const int area = storage->area();
    storage.reset();
    auto bytes = fileBytes(path);
    bytes[static_cast<std::size_t>(184 + area * (kOneMB + 28) + 500)] ^= 1;
    writeFileAtomically(path, bytes);
    EXPECT_EQ(errorOf([&] { PocketStorage::open(path, QStringLiteral("pw"), false); }),
              PocketVaultError::Case::damaged);
    EXPECT_EQ(fileBytes(path), bytes);
}

TEST_F(PocketStorageTest, FailedWriteKeepsTheOldFileAndTheGeneration) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    storage->save(state(6, 1), 1);
    const auto before = fileBytes(path);
    {
        WriteFaultPlan plan{1'000'000, ENOSPC, false};
        larkholdTestWriteFault = &plan;
        EXPECT_THROW(storage->save(state(6, 2), 2), FileWriteError);
        larkholdTestWriteFault = nullptr;
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(storage->savedGeneration(), 1);
    storage->save(state(6, 2), 2); // the same generation is written once the disk has room
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(6, 2));
}

// The storage must not keep a second slot that never reached the disk: a later save would
// write it after all, behind the back of a user who was told the setup failed.
TEST_F(PocketStorageTest, FailedSecondPasswordSetupLeavesNoTrace) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    storage->save(state(8, 1), 1);
    const auto before = fileBytes(path);
    {
        WriteFaultPlan plan{1000, ENOSPC, false};
        larkholdTestWriteFault = &plan;
        EXPECT_THROW(storage->setUpSecondPassword(QStringLiteral("decoy"), state(9, 1)), FileWriteError);
        larkholdTestWriteFault = nullptr;
    }
    EXPECT_EQ(fileBytes(path), before);
    storage->save(state(8, 2), 2);
    EXPECT_EQ(errorOf([&] { PocketStorage::open(path, QStringLiteral("decoy"), false); }),
              PocketVaultError::Case::badPassword);
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(8, 2));
}

TEST_F(PocketStorageTest, MarksTheFileForBackupAndSyncTools) {
    const QString path = vaultPath();
    PocketStorage::create(path, 1, QStringLiteral("pw"), true);
    const QByteArray name = QFile::encodeName(path);
    char value[16] = {};
    const ssize_t n = ::getxattr(name.constData(), "user.xdg.robots.backup", value, sizeof value);
    if (n < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
        GTEST_SKIP() << "no user extended attributes here";
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "false");
    const ssize_t m = ::getxattr(name.constData(), "user.com.apple.fileprovider.ignore#P", value, sizeof value);
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(m, 0))), "1");

    const QString plain = vaultPath(QStringLiteral("plain"));
    PocketStorage::create(plain, 1, QStringLiteral("pw"), false);
    EXPECT_LT(
        ::getxattr(QFile::encodeName(plain).constData(), "user.com.apple.fileprovider.ignore#P", value, sizeof value),
        0);
}

// A writer killed at a random moment of a save leaves a vault that opens with either the items
// it had or the items being written, never something in between. The writer reports every save
// it completed through a pipe; the kill comes only after the first report, at a random moment
// after it, so every round has a state of its own on disk whatever the machine's load.
TEST_F(PocketStorageTest, KilledWriterLeavesOldOrNewItems) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    storage->save(state(0, 0, 1000), 0);
    std::mt19937 random(std::random_device{}());
    for (int round = 1; round <= 6; ++round) {
        int reports[2];
        ASSERT_EQ(::pipe(reports), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(reports[0]);
            try {
                // The last round's writer changed the file since this storage wrote it.
                const auto writer = PocketStorage::open(path, QStringLiteral("pw"), false).storage;
                for (int k = 1;; ++k) {
                    writer->save(state(round, k, 300'000 + static_cast<std::size_t>(k) * 1000), k + round * 100000);
                    const char saved = 's';
                    if (::write(reports[1], &saved, 1) != 1)
                        break;
                }
            } catch (...) {
            }
            ::_exit(1);
        }
        ::close(reports[1]);
        pollfd first{reports[0], POLLIN, 0};
        ASSERT_EQ(::poll(&first, 1, 60'000), 1) << "the writer reported no save within a minute";
        char report = 0;
        ASSERT_EQ(::read(reports[0], &report, 1), 1) << "the writer ended before its first save";
        // Any moment from here on, mid-write or between writes.
        ::usleep(std::uniform_int_distribution<unsigned>(0, 30'000)(random));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(reports[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

        const auto opened = PocketStorage::open(path, QStringLiteral("pw"), false);
        ASSERT_FALSE(opened.items.empty());
        const int k = opened.items[0].modified.secondsSinceReference;
        EXPECT_EQ(opened.items[0].created.secondsSinceReference, round) << "a completed save was lost";
        EXPECT_EQ(opened.items, state(round, k, 300'000 + static_cast<std::size_t>(k) * 1000));
        // What a killed writer left beside the vault went when the vault was opened.
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("v.pocketvault")});
    }
}

// A killed save leaves a full copy with the slots of its time. Opening the vault and changing its
// password remove such copies, and only those: never a write under way, never another file.
TEST_F(PocketStorageTest, StaleCopiesGoWhenTheVaultOpensAndBeforeAPasswordChangeEnds) {
    const QString path = vaultPath();
    PocketStorage::create(path, 1, QStringLiteral("old"), false);
    const std::vector<std::uint8_t> oldBytes = fileBytes(path);
    auto leave = [&](const QString& name) {
        QFile copy(dir.filePath(name));
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
        copy.write(reinterpret_cast<const char*>(oldBytes.data()), qint64(oldBytes.size()));
    };
    const QStringList others{QStringLiteral(".v.pocketvault.tmp-AbC12"), QStringLiteral(".v.pocketvault.tmp-AbC1234"),
                             QStringLiteral(".v.pocketvault.tmp-AbC_12"), QStringLiteral(".w.pocketvault.tmp-AbC123"),
                             QStringLiteral("v.pocketvault.tmp-AbC123")};
    for (const QString& name : others)
        leave(name);
    leave(QStringLiteral(".v.pocketvault.tmp-AbC123"));
    leave(QStringLiteral(".v.pocketvault.tmp-Zz9Zz9"));
    // A save under way holds its copy locked.
    leave(QStringLiteral(".v.pocketvault.tmp-Writer"));
    const int writing = ::open(QFile::encodeName(dir.filePath(QStringLiteral(".v.pocketvault.tmp-Writer"))), O_RDONLY);
    ASSERT_GE(writing, 0);
    ASSERT_EQ(::flock(writing, LOCK_EX), 0);

    EXPECT_THROW(PocketStorage::open(path, QStringLiteral("wrong"), false), PocketVaultError);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral(".v.pocketvault.tmp-AbC123"))))
        << "a password that opens nothing removes nothing";
    PocketStorage::open(path, QStringLiteral("old"), false);
    QStringList expected = others;
    expected << QStringLiteral(".v.pocketvault.tmp-Writer") << QStringLiteral("v.pocketvault");
    expected.sort();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);

    ::close(writing);
    leave(QStringLiteral(".v.pocketvault.tmp-Killed"));
    PocketStorage::changePassword(path, QStringLiteral("old"), QStringLiteral("new"), false);
    expected.removeOne(QStringLiteral(".v.pocketvault.tmp-Writer"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected)
        << "no copy that the old password opens is left";
    EXPECT_THROW(PocketStorage::open(path, QStringLiteral("old"), false), PocketVaultError);
}

// A sync or another computer wrote the vault: nothing is saved over what they wrote, and a copy
// keeps this side's items under the same passwords.
TEST_F(PocketStorageTest, AFileChangedElsewhereIsNeverSavedOverAndACopyKeepsTheItems) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    storage->save(state(1, 1), 1);
    PocketStorage::open(path, QStringLiteral("pw"), false).storage->save(state(2, 2), 1);
    const std::vector<std::uint8_t> theirs = fileBytes(path);
    EXPECT_EQ(errorOf([&] { storage->save(state(1, 3), 2); }), PocketVaultError::Case::changedElsewhere);
    EXPECT_EQ(fileBytes(path), theirs);
    EXPECT_EQ(storage->savedGeneration(), 1);

    const QString copy = vaultPath(QStringLiteral("copy.pocketvault"));
    storage->saveCopy(copy, state(1, 3));
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), copy), state(1, 3));
    EXPECT_THROW(storage->saveCopy(copy, state(1, 4)), FileWriteError) << "a copy never replaces a file";
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(2, 2));

    // Rewritten in place, keeping its size (a sync tool that also keeps the other side's time).
    auto mine = PocketStorage::open(path, QStringLiteral("pw"), false).storage;
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(file.size() - 1);
        const QByteArray last = file.read(1);
        file.seek(file.size() - 1);
        file.write(last);
    }
    const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    EXPECT_EQ(errorOf([&] { mine->save(state(3, 3), 1); }), PocketVaultError::Case::changedElsewhere);

    // The same, with the modification time put back as it was: only the change time tells.
    auto again = PocketStorage::open(path, QStringLiteral("pw"), false).storage;
    {
        struct stat before {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(0);
        const QByteArray first = file.read(1);
        file.seek(0);
        file.write(first);
        file.close();
        const timespec back[2] = {{0, UTIME_OMIT}, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), back, 0), 0);
    }
    EXPECT_EQ(errorOf([&] { again->save(state(3, 4), 1); }), PocketVaultError::Case::changedElsewhere);

    // What this storage itself wrote is no change from elsewhere.
    auto own = PocketStorage::open(path, QStringLiteral("pw"), false).storage;
    for (int k = 1; k <= 10; ++k)
        own->save(state(4, k), k);
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), path), state(4, 10));

    // Moved away, or deleted: nothing is written at the old path, and a copy still keeps the items.
    const QString moved = vaultPath(QStringLiteral("moved.pocketvault"));
    ASSERT_TRUE(QFile::rename(path, moved));
    EXPECT_EQ(errorOf([&] { own->save(state(4, 11), 11); }), PocketVaultError::Case::movedElsewhere);
    EXPECT_EQ(errorOf([&] { own->setUpSecondPassword(QStringLiteral("decoy"), state(5, 1)); }),
              PocketVaultError::Case::movedElsewhere);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), moved), state(4, 10));
    const QString kept = vaultPath(QStringLiteral("kept.pocketvault"));
    own->saveCopy(kept, state(4, 11));
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), kept), state(4, 11));
    ASSERT_TRUE(QFile::remove(moved));
    EXPECT_EQ(errorOf([&] { own->save(state(4, 12), 12); }), PocketVaultError::Case::movedElsewhere);
    EXPECT_FALSE(QFile::exists(path));
}

// Another program replaces the vault file while saves run, landing anywhere in a save (the seal, the
// write, the flush, the swap): its file is never written over.
TEST_F(PocketStorageTest, AReplacementDuringASaveIsNeverWrittenOver) {
    const QString path = vaultPath();
    const QByteArray name = QFile::encodeName(path);
    const QByteArray staged = QFile::encodeName(vaultPath(QStringLiteral("theirs")));
    PocketStorage::create(path, 1, QStringLiteral("pw"), false);
    const std::size_t size = fileBytes(path).size();
    std::mt19937 random(std::random_device{}());
    int overwritten = 0;
    for (int round = 0; round < 100; ++round) {
        auto storage = PocketStorage::open(path, QStringLiteral("pw"), false).storage;
        std::vector<std::uint8_t> theirs(size);
        std::generate(theirs.begin(), theirs.end(), [&] { return static_cast<std::uint8_t>(random()); });
        {
            QFile file(QFile::decodeName(staged));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(reinterpret_cast<const char*>(theirs.data()), qint64(theirs.size()));
        }
        // The other program: renames its file over the vault when told to.
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char byte = 0;
            ::_exit(::read(go[0], &byte, 1) == 1 && ::rename(staged.constData(), name.constData()) == 0 ? 0 : 1);
        }
        ::close(go[0]);
        std::atomic<int> saves{0};
        std::atomic<bool> replaced{false};
        std::thread saver([&] {
            // Until it notices, or one save past the replacement (which must notice).
            for (int k = 1, past = 0; past < 2; ++k) {
                if (replaced.load())
                    ++past;
                try {
                    storage->save(state(round, k, 20'000), k);
                } catch (const PocketVaultError&) {
                    return; // it noticed: nothing more is saved
                }
                ++saves;
            }
        });
        // From a moment within the first few saves on.
        const int after = std::uniform_int_distribution<int>(0, 2)(random);
        while (saves.load() < after)
            std::this_thread::yield();
        ASSERT_EQ(::write(go[1], "g", 1), 1);
        ::close(go[1]);
        int status = 0;
        ::waitpid(child, &status, 0);
        replaced.store(true);
        saver.join();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other program could not replace the file";
        if (fileBytes(path) != theirs)
            ++overwritten;
        // The next round starts from a vault again.
        PocketStorage::create(vaultPath(QStringLiteral("next")), 1, QStringLiteral("pw"), false);
        ASSERT_TRUE(QFile::remove(path));
        ASSERT_TRUE(QFile::rename(vaultPath(QStringLiteral("next")), path));
    }
    EXPECT_EQ(overwritten, 0) << "rounds in which a save wrote over the other program's file";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("v.pocketvault")});
}

// On FAT, exFAT and some shares a file's number changes from one look to the next and its change
// time is not kept: those count for nothing, and the modification time only to the two seconds FAT keeps.
TEST_F(PocketStorageTest, FileSystemsWithoutStableNumbersAreComparedOnWhatTheyKeep) {
    struct stat one {};
    one.st_ino = 12;
    one.st_size = 3'145'728;
    one.st_mtim = {1'700'000'000, 0};
    one.st_ctim = {1'700'000'000, 0};
    struct stat renumbered = one;
    renumbered.st_ino = 99;
    renumbered.st_ctim = {1'700'000'100, 5};
    renumbered.st_mtim.tv_nsec = 990'000'000; // exFAT keeps hundredths
    EXPECT_EQ(PocketStorage::stampOf(one, false), PocketStorage::stampOf(renumbered, false));
    EXPECT_NE(PocketStorage::stampOf(one, true), PocketStorage::stampOf(renumbered, true));
    struct stat rewritten = one;
    rewritten.st_mtim.tv_sec += 2;
    EXPECT_NE(PocketStorage::stampOf(one, false), PocketStorage::stampOf(rewritten, false));
    struct stat resized = one;
    resized.st_size += 1;
    EXPECT_NE(PocketStorage::stampOf(one, false), PocketStorage::stampOf(resized, false));
}

// The storage keeps only its own area: every write takes the other one from the file byte for byte,
// and a copy made once the file is gone has no second password.
TEST_F(PocketStorageTest, TheOtherAreaComesFromTheFileAndGoesWithIt) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("main"), false).storage;
    const auto part = [&](const QString& file, int index) { // slot and area
        const auto bytes = fileBytes(file);
        const auto slot = bytes.begin() + PocketFormat::kSlotSize * index;
        const auto area = bytes.begin() + PocketFormat::areaOffset(index, kOneMB);
        std::vector<std::uint8_t> out(slot, slot + PocketFormat::kSlotSize);
        out.insert(out.end(), area, area + PocketFormat::areaBoxSize(kOneMB));
        return out;
    };
    const int own = storage->area();
    storage->save(state(2, 1), 1);
    const auto ownPart = part(path, own);
    storage->setUpSecondPassword(QStringLiteral("decoy"), state(3, 1));
    EXPECT_EQ(part(path, own), ownPart);
    const auto otherPart = part(path, 1 - own);
    storage->save(state(2, 2), 2);
    EXPECT_EQ(part(path, 1 - own), otherPart);

    const QString copy = vaultPath(QStringLiteral("copy.pocketvault"));
    storage->saveCopy(copy, state(2, 3));
    EXPECT_EQ(part(copy, 1 - own), otherPart);
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("main"), copy), state(2, 3));

    ASSERT_TRUE(QFile::remove(path));
    const QString alone = vaultPath(QStringLiteral("alone.pocketvault"));
    storage->saveCopy(alone, state(2, 4));
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("main"), alone), state(2, 4));
    EXPECT_EQ(errorOf([&] { PocketStorage::open(alone, QStringLiteral("decoy"), false); }),
              PocketVaultError::Case::badPassword);
    EXPECT_NE(part(alone, 1 - own), otherPart);
}

// A file holding two items of one id (written by another program, say) opens with every item, each
// under an id of its own; opening writes nothing.
TEST_F(PocketStorageTest, RepeatedItemIDsGetIDsOfTheirOwnOnOpen) {
    const QString path = vaultPath();
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    PocketItems items = state(1, 1);
    for (const int k : {2, 3}) {
        items.push_back(state(1, k)[0]);
        items.back().id = items[0].id;
    }
    storage->save(items, 1);
    const std::vector<std::uint8_t> before = fileBytes(path);

    const PocketItems opened = itemsOpenedWith(QStringLiteral("pw"), path);
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].id, items[0].id);
    EXPECT_EQ(std::set<QUuid>({opened[0].id, opened[1].id, opened[2].id}).size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        PocketItem same = opened[i];
        same.id = items[i].id;
        EXPECT_EQ(same, items[i]) << "item " << i << " is kept whole";
    }
    EXPECT_EQ(fileBytes(path), before);
}

// A vault kept elsewhere and reached through a link: the link stays a link and its target gets
// every change.
TEST_F(PocketStorageTest, SavesThroughASymbolicLinkReachItsTarget) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("elsewhere")));
    const QString target = dir.filePath(QStringLiteral("elsewhere/v.pocketvault"));
    const QString link = vaultPath(QStringLiteral("link.pocketvault"));
    PocketStorage::create(target, 1, QStringLiteral("pw"), false);
    ASSERT_TRUE(QFile::link(target, link));

    auto storage = PocketStorage::open(link, QStringLiteral("pw"), false).storage;
    storage->save(state(10, 1), 1);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("pw"), target), state(10, 1));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{QStringLiteral("link.pocketvault")})
        << "the temporary file is made beside the target";

    storage->setUpSecondPassword(QStringLiteral("second"), state(11, 1));
    PocketStorage::changePassword(link, QStringLiteral("pw"), QStringLiteral("new"), false);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("new"), target), state(10, 1));
    EXPECT_EQ(itemsOpenedWith(QStringLiteral("second"), target), state(11, 1));
}

// A real full disk: a small tmpfs that holds the vault but not a second copy of it.
TEST_F(PocketStorageTest, FullDiskKeepsTheOldVault) {
    const QString mountPoint = dir.filePath(QStringLiteral("small"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("small")));
    const QByteArray target = QFile::encodeName(mountPoint);
    if (::mount("tmpfs", target.constData(), "tmpfs", 0, "size=3m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QByteArray target;
        ~Unmount() { ::umount2(target.constData(), MNT_DETACH); }
    } unmount{target};

    const QString path = mountPoint + QStringLiteral("/v.pocketvault");
    auto storage = PocketStorage::create(path, 1, QStringLiteral("pw"), false).storage;
    const auto before = fileBytes(path);
    try {
        storage->save(state(7, 1), 1);
        FAIL() << "a save reported success on a full disk";
    } catch (const FileWriteError& e) {
        EXPECT_NE(std::string(e.what()).find(std::strerror(ENOSPC)), std::string::npos) << e.what();
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(storage->savedGeneration(), -1);
    EXPECT_EQ(QDir(mountPoint).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("v.pocketvault")});
    EXPECT_TRUE(itemsOpenedWith(QStringLiteral("pw"), path).empty());
}

} // namespace
