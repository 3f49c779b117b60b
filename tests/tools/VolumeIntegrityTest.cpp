// Real workloads inside vaults, as a demanding user would run them: whatever was synced must
// survive detaching, resizing, a full host disk and a disk service that dies or a tool killed
// half-way, and the file system must check clean after each.
#include "ToolHarness.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QStandardPaths>
#include <csignal>
#include <fcntl.h>
#include <linux/falloc.h>
#include <map>
#include <random>
#include <sys/mount.h>

using namespace tooltest;

namespace {

// fio's job from the report of lost blocks: random 4 KiB writes from two jobs, each synced, with
// a checksum per block that is checked on reading back.
Outcome fio(const QString& directory, bool verifyOnly) {
    QStringList args{"--name=buf",           "--directory=" + directory,
                     "--numjobs=2",          "--size=32m",
                     "--rw=randwrite",       "--bs=4k",
                     "--ioengine=psync",     "--fsync=1",
                     "--verify=crc32c",      "--verify_fatal=1",
                     "--output-format=terse"};
    if (verifyOnly) {
        args << "--verify_only";
    }
    QProcess p;
    p.start(QStringLiteral("fio"), args);
    p.waitForFinished(-1);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : 128, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// A small file-system exerciser: random writes, reads, truncations, punched holes, syncs and
// reopenings of one file, each checked against a copy kept in memory.
class Exerciser {
public:
    Exerciser(QString path, unsigned seed) : path_(std::move(path)), random_(seed) { reopen(); }
    ~Exerciser() { close(); }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Runs the operations; returns the first difference from the copy, or an empty text.
    std::string run(int operations) {
        for (int i = 0; i < operations; ++i) {
            if (std::string problem = step(); !problem.empty()) {
                return "operation " + std::to_string(i) + ": " + problem;
            }
        }
        return ::fsync(fd_) == 0 ? std::string() : "final fsync failed";
    }

    // The whole file against the copy, read through a fresh descriptor.
    std::string compareWhole(const QString& path) const {
        QByteArray actual = readFile(path);
        if (actual.size() != qsizetype(copy_.size())) {
            return "size " + std::to_string(actual.size()) + " instead of " + std::to_string(copy_.size());
        }
        for (std::size_t i = 0; i < copy_.size(); ++i) {
            if (actual[qsizetype(i)] != copy_[i]) {
                return "first difference at byte " + std::to_string(i);
            }
        }
        return {};
    }

private:
    static constexpr std::size_t kMaxSize = 6u << 20;

    std::size_t pick(std::size_t below) { return below == 0 ? 0 : random_() % below; }

    void reopen() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = ::open(path_.toUtf8().constData(), O_RDWR | O_CREAT, 0600);
    }

    std::string step() {
        if (fd_ < 0) {
            return "cannot open the file";
        }
        switch (random_() % 10) {
        case 0:
        case 1:
        case 2: { // write, sometimes past the end
            const std::size_t offset = pick(std::min(kMaxSize, copy_.size() + (256u << 10)));
            const std::size_t length = 1 + pick(std::min<std::size_t>(kMaxSize - offset, 192u << 10));
            std::vector<char> data(length);
            for (auto& b : data) {
                b = static_cast<char>(random_());
            }
            if (::pwrite(fd_, data.data(), length, off_t(offset)) != ssize_t(length)) {
                return "write failed";
            }
            copy_.resize(std::max(copy_.size(), offset + length), 0);
            std::copy(data.begin(), data.end(), copy_.begin() + std::ptrdiff_t(offset));
            return {};
        }
        case 3:
        case 4: { // read a range back
            const std::size_t offset = pick(copy_.size() + 1);
            const std::size_t length = pick(std::min<std::size_t>(copy_.size() - offset, 256u << 10) + 1);
            std::vector<char> data(length);
            if (::pread(fd_, data.data(), length, off_t(offset)) != ssize_t(length)) {
                return "read failed";
            }
            if (!std::equal(data.begin(), data.end(), copy_.begin() + std::ptrdiff_t(offset))) {
                return "read back differs at " + std::to_string(offset);
            }
            return {};
        }
        case 5: { // truncate, shorter or longer
            const std::size_t size = pick(kMaxSize);
            if (::ftruncate(fd_, off_t(size)) != 0) {
                return "truncate failed";
            }
            copy_.resize(size, 0);
            return {};
        }
        case 6: { // punch a hole
            const std::size_t offset = pick(copy_.size() + 1);
            const std::size_t length = 1 + pick(512u << 10);
            if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(length)) != 0) {
                return "punching a hole failed";
            }
            std::fill(copy_.begin() + std::ptrdiff_t(std::min(offset, copy_.size())),
                      copy_.begin() + std::ptrdiff_t(std::min(offset + length, copy_.size())), 0);
            return {};
        }
        case 7:
            return ::fsync(fd_) == 0 ? std::string() : "fsync failed";
        case 8:
            reopen();
            return {};
        default: {
            struct stat st {};
            if (::fstat(fd_, &st) != 0 || std::size_t(st.st_size) != copy_.size()) {
                return "size differs";
            }
            return {};
        }
        }
    }

    QString path_;
    std::mt19937 random_;
    std::vector<char> copy_;
    int fd_ = -1;
};

std::map<QString, QByteArray> writeTree(const QString& root, int files) {
    std::map<QString, QByteArray> written;
    for (int i = 0; i < files; ++i) {
        const QString folder = root + QStringLiteral("/d%1/e%2").arg(i % 4).arg(i % 3);
        QDir().mkpath(folder);
        const QString path = folder + QStringLiteral("/f%1.bin").arg(i);
        written[path.mid(root.size())] = randomBytes(4096 * (1 + i * 37 % 300));
        writeFile(path, written[path.mid(root.size())]);
    }
    return written;
}

void expectTree(const QString& root, const std::map<QString, QByteArray>& written) {
    for (const auto& [relative, bytes] : written) {
        EXPECT_EQ(readFile(root + relative), bytes) << relative.toStdString();
    }
}

bool checksClean(const QString& mountPoint) {
    Outcome v = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_TRUE(v.out.contains("exit code is 0")) << v.out.toStdString() << v.err.toStdString();
    return v.status == 0;
}

// A small tmpfs standing in for a host disk that fills up. Whatever is still attached from it is
// detached by force before it goes, also when a test fails.
class SmallDisk {
public:
    SmallDisk(const QString& where, const char* size) : path_(where) {
        QDir().mkpath(path_);
        mounted_ = ::mount("tmpfs", path_.toUtf8().constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                           (QByteArray("size=") + size + ",mode=0700").constData()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) {
            detachEverythingFrom(path_);
            ::umount2(path_.toUtf8().constData(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    const QString& path() const { return path_; }

private:
    static void detachEverythingFrom(const QString& folder) {
        QString plist = hdiutil({"info", "-plist"}).out;
        QRegularExpression image(QStringLiteral("<key>image-path</key>\\s*<string>([^<]*)</string>"));
        QRegularExpression mount(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
        for (const QString& entry : plist.split(QStringLiteral("<key>image-path</key>")).mid(1)) {
            QString whole = QStringLiteral("<key>image-path</key>") + entry;
            if (image.match(whole).captured(1).startsWith(folder)) {
                hdiutil({"detach", mount.match(whole).captured(1), "-force"});
            }
        }
    }

    QString path_;
    bool mounted_ = false;
};

class VolumeIntegrity : public ::testing::Test {
protected:
    Scratch s;
};

} // namespace

TEST_F(VolumeIntegrity, FioAndAnExerciserKeepEveryBlockAcrossDetachAndReattach) {
    SKIP_WITHOUT_MOUNTS();
    if (QStandardPaths::findExecutable(QStringLiteral("fio")).isEmpty()) {
        GTEST_SKIP() << "fio is not installed";
    }
    const QString image = s.path("Work.sparsebundle");
    createImage(image, "Work", "256m");
    QString mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    QDir().mkpath(mountPoint + "/fio");
    Outcome written = fio(mountPoint + "/fio", false);
    EXPECT_EQ(written.status, 0) << written.out.toStdString() << written.err.toStdString();

    Exerciser exerciser(mountPoint + "/exercised.bin", 20260318);
    EXPECT_EQ(exerciser.run(3000), "");
    EXPECT_EQ(exerciser.compareWhole(mountPoint + "/exercised.bin"), "");
    exerciser.close();
    detach(mountPoint);

    mountPoint = attach(image);
    Outcome verified = fio(mountPoint + "/fio", true);
    EXPECT_EQ(verified.status, 0) << verified.out.toStdString() << verified.err.toStdString();
    EXPECT_EQ(exerciser.compareWhole(mountPoint + "/exercised.bin"), "");
    EXPECT_TRUE(checksClean(mountPoint));
    detach(mountPoint);
}

// Offline growth after a shrink once lost every name; the volume grows while mounted where the
// kernel allows it, and is checked after every resize either way.
TEST_F(VolumeIntegrity, ShrinkThenGrowTo16TerabytesKeepsEveryFileAndChecksClean) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = s.path("Grow.sparsebundle");
    createImage(image, "Grow", "256m");
    QString mountPoint = attach(image);
    const auto written = writeTree(mountPoint, 40);
    detach(mountPoint);

    for (const char* size : {"80m", "16t"}) {
        Outcome r = hdiutil({"resize", "-stdinpass", "-size", size, image}, kPassword);
        ASSERT_EQ(r.status, 0) << size << ": " << r.err.toStdString();
    }
    mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    expectTree(mountPoint, written);
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(mountPoint.toUtf8().constData(), &fs), 0);
    EXPECT_GT(double(fs.f_blocks) * double(fs.f_frsize), 15.0 * double(1ull << 40)); // less the inode tables
    EXPECT_TRUE(QDir(mountPoint + "/lost+found").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    writeFile(mountPoint + "/after.bin", randomBytes(1 << 20));
    EXPECT_TRUE(checksClean(mountPoint));
    detach(mountPoint);
}

TEST_F(VolumeIntegrity, FullHostDiskIsReportedAndTheVaultAttachesOnceSpaceIsFreed) {
    SKIP_WITHOUT_MOUNTS();
    SmallDisk disk(s.path("small-disk"), "96m");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const QString image = disk.path() + "/Full.sparsebundle";
    createImage(image, "Full", "256m");
    QString mountPoint = attach(image);
    const QByteArray synced = randomBytes(4 << 20);
    writeFile(mountPoint + "/synced.bin", synced);

    // Ballast beside the vault leaves it a few megabytes to grow into.
    {
        QFile ballast(disk.path() + "/ballast");
        ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
        const QByteArray chunk(1 << 20, 'b');
        while (ballast.write(chunk) == chunk.size() && ballast.flush()) {
        }
        ballast.close();
        ballast.resize(ballast.size() - (6 << 20));
    }
    // Writing more than fits fails, and does not claim to be stored.
    int fd = ::open((mountPoint + "/big.bin").toUtf8().constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const QByteArray chunk = randomBytes(1 << 20);
    bool failed = false;
    for (int i = 0; i < 64 && !failed; ++i) {
        failed =
            ::write(fd, chunk.constData(), size_t(chunk.size())) != chunk.size() || (i % 4 == 3 && ::fsync(fd) != 0);
    }
    failed = failed || ::fsync(fd) != 0;
    ::close(fd);
    EXPECT_TRUE(failed);

    // The tools say what is wrong in words the user understands.
    Outcome another = hdiutil({"create", "-encryption", "AES-256", "-stdinpass", "-size", "64m", "-volname", "More",
                               disk.path() + "/More.sparsebundle"},
                              kPassword);
    EXPECT_NE(another.status, 0);
    EXPECT_TRUE(another.err.contains("There is not enough space on the disk that holds this vault."))
        << another.err.toStdString();
    EXPECT_EQ(hdiutil({"detach", mountPoint, "-force"}).status, 0);

    ASSERT_TRUE(QFile::remove(disk.path() + "/ballast"));
    mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    EXPECT_EQ(readFile(mountPoint + "/synced.bin"), synced);
    EXPECT_TRUE(checksClean(mountPoint));
    detach(mountPoint);
}

TEST_F(VolumeIntegrity, ALockOnAFullHostDiskIsRefusedOrWritesTheUnsyncedCopy) {
    SKIP_WITHOUT_MOUNTS();
    SmallDisk disk(s.path("filling-disk"), "96m");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const QString image = disk.path() + "/Tax.sparsebundle";
    createImage(image, "Tax", "256m");
    const QString mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    expectALockToKeepAnUnsyncedCopy(image, mountPoint, disk.path(), 8 << 20, 40 << 20);
}

// A vault whose journal still holds synced changes (its service died) is unlocked while the host
// disk is full: replaying the journal fails for want of space, and the attach must stop there
// rather than repair the volume without its journal. Once space is freed, every file is back.
// The kernel may already have written those changes in place before the service died (a busy
// machine's write-back does), and then the replay needs no room and the attach goes on: that
// volume must hold every file too, unrepaired.
TEST_F(VolumeIntegrity, AttachWhileTheHostDiskIsFullStopsAndLosesNoFile) {
    SKIP_WITHOUT_MOUNTS();
    SmallDisk disk(s.path("full-disk"), "128m");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const QString image = disk.path() + "/Journal.sparsebundle";
    createImage(image, "Journal", "256m");
    QString mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    const auto written = writeTree(mountPoint, 48);
    const int pid = servicePid(image);
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    {
        QFile ballast(disk.path() + "/ballast");
        ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
        const QByteArray chunk(64 << 10, 'b');
        while (ballast.write(chunk) == chunk.size() && ballast.flush()) {
        }
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        Outcome full = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        if (full.status == 0) {
            EXPECT_EQ(attempt, 0) << "a replay that ran out of space once cannot succeed without more";
            EXPECT_EQ(full.err, "");
            mountPoint = mountPointIn(full.out);
            expectTree(mountPoint, written);
            detach(mountPoint);
            break;
        }
        EXPECT_EQ(full.err.trimmed(),
                  "hdiutil: attach failed - There is not enough space on the disk that holds this vault.");
    }

    ASSERT_TRUE(QFile::remove(disk.path() + "/ballast"));
    Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.err, ""); // nothing was repaired
    mountPoint = mountPointIn(r.out);
    expectTree(mountPoint, written);
    EXPECT_TRUE(QDir(mountPoint + "/lost+found").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    EXPECT_TRUE(checksClean(mountPoint));
    detach(mountPoint);
}

// A create killed half-way leaves its hidden work folder (with a wrapped key) and the mount of its
// disk server; the next run of the tool clears both away.
TEST_F(VolumeIntegrity, LeftoversOfAKilledCreateAreClearedByTheNextRun) {
    SKIP_WITHOUT_MOUNTS();
    const QString disks = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/larkhold/disks";
    auto workMounted = [&] {
        QFile mounts("/proc/self/mountinfo");
        return mounts.open(QIODevice::ReadOnly) && mounts.readAll().contains((disks + "/work-").toUtf8());
    };
    auto creating = [&] {
        return QDir(s.path("")).entryList({".Huge.sparsebundle.creating-*"}, QDir::Dirs | QDir::Hidden);
    };
    QProcess huge;
    huge.start(toolsDir() + "/hdiutil", {"create", "-encryption", "AES-256", "-stdinpass", "-size", "16t", "-volname",
                                         "Huge", s.path("Huge.sparsebundle")});
    ASSERT_TRUE(huge.waitForStarted(-1));
    huge.write(kPassword);
    huge.closeWriteChannel();
    QDeadlineTimer ceiling(60000);
    while (!(workMounted() && !creating().isEmpty()) && !ceiling.hasExpired() && huge.state() == QProcess::Running) {
        huge.waitForFinished(5);
    }
    ASSERT_EQ(huge.state(), QProcess::Running) << "the create ended before it could be interrupted";
    ::kill(pid_t(huge.processId()), SIGKILL);
    huge.waitForFinished(-1);
    ASSERT_FALSE(creating().isEmpty());
    ASSERT_TRUE(workMounted());

    createImage(s.path("Next.sparsebundle"), "Next");
    EXPECT_TRUE(creating().isEmpty());
    EXPECT_FALSE(workMounted());
    EXPECT_TRUE(QDir(disks).entryList({"work-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
    EXPECT_FALSE(QFile::exists(s.path("Huge.sparsebundle")));
}
