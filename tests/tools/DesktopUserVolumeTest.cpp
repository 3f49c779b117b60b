// A vault's whole life as a desktop user lives it: not root, so every volume goes through the real
// udisks2 on a system bus, with polkit deciding. Run by udisks_fixture.py, which starts those
// daemons in a namespace of their own and runs this program as a throwaway user; skipped elsewhere.
#include "BlockingAwait.h"
#include "ToolHarness.h"
#include "fakes/store/StoreFixture.h"

#include <QDeadlineTimer>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

using namespace tooltest;
using larkhold::awaitTask;
using larkhold::DiskImage;
using larkhold::DiskImageTools;
using larkhold::StoreOutcome;
using larkhold::Vault;
using larkhold::VaultKind;
namespace LockReason = larkhold::LockReason;

namespace {

// Loop devices over a disk served below the fixture's folder, as the kernel lists them.
QStringList ourLoopDevices() {
    QStringList devices;
    const QByteArray root = qgetenv("LARKHOLD_UDISKS_FIXTURE");
    for (const QString& name : QDir("/sys/block").entryList({"loop*"}, QDir::Dirs | QDir::System)) {
        QFile backing("/sys/block/" + name + "/loop/backing_file");
        if (backing.open(QIODevice::ReadOnly) && backing.readAll().startsWith(root + "/")) {
            devices << name;
        }
    }
    return devices;
}

// A loop device is let go once nothing holds it open, which udev's probing may do for a moment.
QStringList loopDevicesLeft() {
    QDeadlineTimer ceiling(60000);
    while (!ourLoopDevices().isEmpty() && !ceiling.hasExpired()) {
        QThread::msleep(50);
    }
    return ourLoopDevices();
}

// The mount options of the file system mounted at `mountPoint`, empty when nothing is.
QStringList mountOptions(const QString& mountPoint) {
    QFile info("/proc/self/mountinfo");
    if (!info.open(QIODevice::ReadOnly)) {
        return {};
    }
    for (const QByteArray& line : info.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 5 && QString::fromUtf8(fields[4]).replace("\\040", " ") == mountPoint) {
            return QString::fromUtf8(fields[5]).split(',');
        }
    }
    return {};
}

qint64 totalBytes(const QString& mountPoint) {
    struct statvfs s {};
    return ::statvfs(mountPoint.toUtf8().constData(), &s) == 0 ? qint64(s.f_blocks) * qint64(s.f_frsize) : -1;
}

// Whether udisksd may grow a mounted file system (CAP_SYS_RESOURCE, bit 24 of its effective set).
bool udisksGrowsOnline() {
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (readFile("/proc/" + entry + "/comm").trimmed() != "udisksd") {
            continue;
        }
        const QByteArray status = readFile("/proc/" + entry + "/status");
        const qsizetype at = status.indexOf("CapEff:");
        return at >= 0 && (status.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) >> 24 & 1) != 0;
    }
    return false;
}

class DesktopUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (qgetenv("LARKHOLD_UDISKS_FIXTURE").isEmpty()) {
            GTEST_SKIP() << "runs only through udisks_fixture.py";
        }
        ASSERT_NE(::geteuid(), 0u) << "the fixture runs this as a user who is not root";
        media_ = "/media/" + qEnvironmentVariable("USER");
    }

    void TearDown() override {
        if (IsSkipped()) {
            return;
        }
        const QString plist = hdiutil({"info", "-plist"}).out;
        QRegularExpression re(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
        for (auto it = re.globalMatch(plist); it.hasNext();) {
            hdiutil({"detach", it.next().captured(1), "-force"});
        }
        // Every loop device lets its disk go once its volume is detached.
        EXPECT_EQ(loopDevicesLeft(), QStringList());
    }

    QString image(const QString& name, const QString& volume, const QString& size = QStringLiteral("64m")) {
        const QString path = s.path(name + ".sparsebundle");
        createImage(path, volume, size);
        return path;
    }

    Scratch s;
    QString media_;
};

} // namespace

// Create, attach, write, detach, attach again and compare; grow and shrink while detached; verify,
// rename and compact. A name longer than a label can hold still finds its volume.
TEST_F(DesktopUser, VaultLivesItsWholeLifeThroughUDisks) {
    const QString path = image("Life", "Quarterly Reports 2026");
    QString mountPoint = attach(path);
    // udisks names the folder after the label, the volume name's first 16 bytes.
    ASSERT_EQ(mountPoint, media_ + "/Quarterly Report");
    EXPECT_TRUE(listed(mountPoint));
    const QStringList options = mountOptions(mountPoint);
    EXPECT_TRUE(options.contains("nosuid") && options.contains("nodev")) << options.join(',').toStdString();
    QFileInfo top(mountPoint);
    EXPECT_EQ(top.ownerId(), ::getuid()); // the user's own folder, writable without root
    EXPECT_EQ(ourLoopDevices().size(), 1);

    QList<QByteArray> contents;
    for (int i = 0; i < 20; ++i) {
        contents << randomBytes((i % 5 + 1) * 97 * 1024);
        writeFile(mountPoint + QStringLiteral("/file-%1.bin").arg(i), contents.last());
    }
    QDir().mkpath(mountPoint + "/folder/inner");
    writeFile(mountPoint + "/folder/inner/note.txt", "kept inside");
    detach(mountPoint);
    EXPECT_FALSE(listed(mountPoint));
    EXPECT_FALSE(QFile::exists(mountPoint)); // udisks removed its folder

    auto same = [&](const QString& at) {
        for (int i = 0; i < contents.size(); ++i) {
            EXPECT_EQ(readFile(at + QStringLiteral("/file-%1.bin").arg(i)), contents[i]) << i;
        }
        EXPECT_EQ(readFile(at + "/folder/inner/note.txt"), "kept inside");
    };
    mountPoint = attach(path);
    same(mountPoint);
    const qint64 before = totalBytes(mountPoint);
    detach(mountPoint);

    // Growing takes the whole new size and keeps everything; udisks may not grow a mounted file
    // system where the daemon lacks the capability for it, which the tool must know beforehand.
    Outcome grown = hdiutil({"resize", "-size", "128m", "-stdinpass", path}, kPassword);
    ASSERT_EQ(grown.status, 0) << grown.err.toStdString();
    mountPoint = attach(path);
    EXPECT_GT(totalBytes(mountPoint), before + (48 << 20));
    same(mountPoint);
    detach(mountPoint);
    Outcome shrunk = hdiutil({"resize", "-size", "64m", "-stdinpass", path}, kPassword);
    ASSERT_EQ(shrunk.status, 0) << shrunk.err.toStdString();

    Outcome compacted = hdiutil({"compact", "-stdinpass", path}, kPassword);
    EXPECT_EQ(compacted.status, 0) << compacted.err.toStdString();

    mountPoint = attach(path);
    same(mountPoint);
    Outcome verified = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_TRUE(verified.out.contains("exit code is 0")) << verified.out.toStdString() << verified.err.toStdString();
    ASSERT_TRUE(listed(mountPoint));

    // A rename relabels the file system and udisks mounts it again under the new name.
    Outcome renamed = runTool("diskutil", {"rename", mountPoint, "Taxes"});
    ASSERT_EQ(renamed.status, 0) << renamed.err.toStdString();
    mountPoint = media_ + "/Taxes";
    EXPECT_TRUE(listed(mountPoint));
    same(mountPoint);
    detach(mountPoint);
    EXPECT_EQ(attach(path), mountPoint);
}

// A forced detach with a file open, and a disk service killed under a mounted volume: what was
// synced before is there at the next attach, and no loop device stays behind.
TEST_F(DesktopUser, ForcedDetachAndKilledServiceKeepWhatWasSynced) {
    const QString path = image("Rough", "Rough");
    QString mountPoint = attach(path);
    writeFile(mountPoint + "/before.txt", "written before a forced detach");
    {
        const int fd = ::open((mountPoint + "/open.txt").toUtf8().constData(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        Outcome busy = hdiutil({"detach", mountPoint});
        EXPECT_EQ(busy.status, 16) << busy.err.toStdString();
        EXPECT_TRUE(listed(mountPoint));
        detach(mountPoint, true);
        EXPECT_FALSE(listed(mountPoint));
        // udisks cannot shut the file system down: what is written after the detach fails instead
        // of passing as stored.
        const bool stored = ::write(fd, "after", 5) == 5 && ::fsync(fd) == 0;
        EXPECT_FALSE(stored);
        ::close(fd);
    }
    EXPECT_EQ(loopDevicesLeft(), QStringList());

    mountPoint = attach(path);
    EXPECT_EQ(readFile(mountPoint + "/before.txt"), "written before a forced detach");
    const QByteArray synced = randomBytes(2 << 20);
    writeFile(mountPoint + "/synced.bin", synced);
    const int pid = servicePid(path);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    // Nothing written after the death passes as stored: the volume turns read-only.
    bool refused = false;
    QDeadlineTimer ceiling(60000);
    for (int i = 0; !refused && !ceiling.hasExpired(); ++i) {
        const QByteArray name = (mountPoint + QStringLiteral("/after-%1.txt").arg(i)).toUtf8();
        int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        refused = fd < 0 || ::write(fd, "lost?", 5) != 5 || ::fsync(fd) != 0;
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    EXPECT_TRUE(refused);
    while (listed(mountPoint) && !ceiling.hasExpired()) {
        QThread::msleep(50); // the killed service may not have been reaped yet
    }
    EXPECT_FALSE(listed(mountPoint));

    mountPoint = attach(path);
    ASSERT_FALSE(mountPoint.isEmpty());
    EXPECT_EQ(readFile(mountPoint + "/synced.bin"), synced);
    Outcome verified = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_TRUE(verified.out.contains("exit code is 0")) << verified.out.toStdString();
}

TEST_F(DesktopUser, ALockOnAFullHostDiskIsRefusedOrWritesTheUnsyncedCopy) {
    const QString disk = qEnvironmentVariable("LARKHOLD_UDISKS_FIXTURE") + "/small-disk";
    const QString path = disk + "/Tax.sparsebundle";
    createImage(path, "Tax", "256m");
    struct Removal {
        QString path;
        ~Removal() { QDir(path).removeRecursively(); }
    } removal{path};
    const QString mountPoint = attach(path);
    ASSERT_FALSE(mountPoint.isEmpty());
    expectALockToKeepAnUnsyncedCopy(path, mountPoint, disk, 4 << 20, 8 << 20);
}

// A wrong password mounts nothing; a machine whose FUSE setup does not let udisks read the disk, or
// whose udev never looks into the loop device, fails at once with what the administrator must
// change, and leaves no loop device behind.
TEST_F(DesktopUser, RefusalsLeaveNothingBehind) {
    const QString path = image("Shut", "Shut");
    Outcome wrong = hdiutil({"attach", "-plist", "-stdinpass", path}, "not the password");
    EXPECT_NE(wrong.status, 0);
    EXPECT_TRUE(wrong.err.contains("Authentication error")) << wrong.err.toStdString();
    EXPECT_EQ(ourLoopDevices(), QStringList());

    // The fixture's /etc/fuse.conf is the test user's own: here the administrator did not allow it.
    QFile conf("/etc/fuse.conf");
    ASSERT_TRUE(conf.open(QIODevice::ReadWrite));
    const QByteArray allowed = conf.readAll();
    conf.resize(0);
    conf.close();
    Outcome refused = hdiutil({"attach", "-plist", "-stdinpass", path}, kPassword);
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(allowed);
    conf.close();
    if (refused.status == 0) {
        // Kernels that size a loop device without asking the disk as its creator need no allowing.
        detach(mountPointIn(refused.out));
    } else {
        EXPECT_TRUE(refused.err.contains("“user_allow_other” to /etc/fuse.conf")) << refused.err.toStdString();
        EXPECT_FALSE(refused.err.contains("org.freedesktop")) << refused.err.toStdString();
    }
    EXPECT_EQ(loopDevicesLeft(), QStringList());

    // The fixture's udev never looks into a disk served below an "unprobed-" folder, as on a machine
    // whose rules skip loop devices: udisks would never offer the file system.
    {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        QTemporaryDir unprobed(QDir::tempPath() + "/unprobed-XXXXXX");
        qputenv("XDG_RUNTIME_DIR", unprobed.path().toUtf8());
        Outcome unseen = hdiutil({"attach", "-plist", "-stdinpass", path}, kPassword);
        qputenv("XDG_RUNTIME_DIR", runtime);
        EXPECT_NE(unseen.status, 0);
        EXPECT_TRUE(unseen.err.contains("udev) does not look into loop devices")) << unseen.err.toStdString();
        EXPECT_EQ(loopDevicesLeft(), QStringList());
    }
    const QString mountPoint = attach(path);
    EXPECT_EQ(mountPoint, media_ + "/Shut");
}

// Through udisks as well: a vault whose band record is gone, or whose band 0 is another vault's,
// does not open and leaves no loop device; a repair keeps what it changed and can be taken back.
TEST_F(DesktopUser, AVaultMissingItsRecordOrHoldingAStrangersBandDoesNotOpenAndARepairCanBeTakenBack) {
    const QString path = image("Own", "Own");
    const QString stranger = image("Stranger", "Stranger");
    const QString mountPoint = attach(path);
    writeFile(mountPoint + "/kept.txt", "kept");
    detach(mountPoint);
    const QString missing = "hdiutil: attach failed - A part of the vault file is missing or unreadable.";
    ASSERT_TRUE(QFile::rename(path + "/bands.record", s.path("record")));
    Outcome r = hdiutil({"attach", "-plist", "-stdinpass", path}, kPassword);
    EXPECT_EQ(r.err.trimmed(), missing);
    ASSERT_TRUE(QFile::rename(s.path("record"), path + "/bands.record"));
    ASSERT_TRUE(QFile::rename(path + "/bands/0", s.path("band0")));
    ASSERT_TRUE(QFile::copy(stranger + "/bands/0", path + "/bands/0"));
    r = hdiutil({"attach", "-plist", "-stdinpass", path}, kPassword);
    EXPECT_EQ(r.err.trimmed(), missing);
    EXPECT_EQ(loopDevicesLeft(), QStringList());
    ASSERT_TRUE(QFile::remove(path + "/bands/0"));
    ASSERT_TRUE(QFile::rename(s.path("band0"), path + "/bands/0"));

    QFile band(path + "/bands/0"); // garbage over the inode table
    ASSERT_TRUE(band.open(QIODevice::ReadWrite));
    band.seek(32 * 4096);
    band.write(randomBytes(64 * 4096));
    band.close();
    const QByteArray damaged = readFile(path + "/bands/0");
    r = hdiutil({"attach", "-plist", "-stdinpass", path}, kPassword);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("kept until the vault is next unlocked")) << r.err.toStdString();
    detach(mountPointIn(r.out));
    Outcome back = hdiutil({"undorepair", "-stdinpass", path}, kPassword);
    EXPECT_EQ(back.status, 0) << back.err.toStdString();
    EXPECT_EQ(readFile(path + "/bands/0"), damaged);
}

// A resize that fails leaves the vault as it was, its limit and its file system alike: a shrink
// below what the files need, a grow and a shrink on a host disk too full for them, and a grow that
// stops part of the way.
TEST_F(DesktopUser, AFailedResizeLeavesTheVaultAsItWas) {
    const QString disk = qEnvironmentVariable("LARKHOLD_UDISKS_FIXTURE") + "/small-disk";
    const QString path = disk + "/Tight.sparsebundle";
    createImage(path, "Tight", "64m");
    QString mountPoint = attach(path);
    // The early file's blocks become holes once it is gone and the vault compacted; a shrink must
    // move the kept file's end into them, which takes room on the host disk.
    writeFile(mountPoint + "/early.bin", randomBytes(24 << 20));
    const QByteArray kept = randomBytes(24 << 20);
    writeFile(mountPoint + "/kept.bin", kept);
    ASSERT_TRUE(QFile::remove(mountPoint + "/early.bin"));
    const qint64 total = totalBytes(mountPoint);
    detach(mountPoint);
    ASSERT_EQ(hdiutil({"compact", "-stdinpass", path}, kPassword).status, 0);
    const std::string info = readFile(path + "/Info.plist").toStdString();

    auto unchanged = [&](const char* after) {
        EXPECT_EQ(readFile(path + "/Info.plist").toStdString(), info) << after;
        Outcome attached = hdiutil({"attach", "-plist", "-stdinpass", path}, kPassword);
        ASSERT_EQ(attached.status, 0) << after << attached.err.toStdString();
        EXPECT_EQ(attached.err.toStdString(), "") << after; // nothing to repair
        const QString at = mountPointIn(attached.out);
        EXPECT_EQ(totalBytes(at), total) << after;
        EXPECT_EQ(readFile(at + "/kept.bin"), kept) << after;
        Outcome verified = runTool("diskutil", {"verifyVolume", at});
        EXPECT_TRUE(verified.out.contains("exit code is 0")) << after << verified.out.toStdString();
        detach(at);
    };

    Outcome tooSmall = hdiutil({"resize", "-size", "16m", "-stdinpass", path}, kPassword);
    EXPECT_NE(tooSmall.status, 0);
    EXPECT_TRUE(tooSmall.err.contains("smaller than the data inside needs")) << tooSmall.err.toStdString();
    unchanged("a shrink below the files");

    // Ballast leaves the host disk room for a new limit, not for what growing or shrinking writes.
    {
        QFile ballast(disk + "/ballast");
        ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
        const QByteArray chunk(64 << 10, 'b');
        while (ballast.write(chunk) == chunk.size() && ballast.flush()) {
        }
        ballast.resize(ballast.size() - (16 << 10));
    }
    for (const char* size : {"1g", "40m"}) {
        Outcome failed = hdiutil({"resize", "-size", size, "-stdinpass", path}, kPassword);
        EXPECT_NE(failed.status, 0) << size;
        EXPECT_TRUE(failed.err.contains("not enough space on the disk")) << failed.err.toStdString();
        EXPECT_EQ(readFile(path + "/Info.plist").toStdString(), info) << size;
    }
    ASSERT_TRUE(QFile::remove(disk + "/ballast"));
    unchanged("a grow and a shrink on a full host disk");

    // A grow that stops part of the way goes back to the old size. It can be staged only where the
    // tool grows the file system itself, which it does when udisksd may not grow a mounted one.
    if (!udisksGrowsOnline()) {
        const QString tools = s.path("stopping-tools");
        QDir().mkpath(tools);
        QFile tool(tools + "/resize2fs");
        ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
        tool.write("#!/bin/sh\n[ $# -eq 1 ] || exec /usr/sbin/resize2fs \"$@\"\n"
                   "/usr/sbin/resize2fs \"$1\" 100M >/dev/null 2>&1\nexit 1\n");
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray searched = qgetenv("PATH");
        qputenv("PATH", (tools + ":").toUtf8() + searched);
        Outcome stopped = hdiutil({"resize", "-size", "128m", "-stdinpass", path}, kPassword);
        qputenv("PATH", searched);
        EXPECT_TRUE(stopped.err.contains("could not grow, so it keeps its size")) << stopped.err.toStdString();
        unchanged("a grow that stopped part of the way");
    }
}

namespace {

QString fixtureFile(const QString& name) {
    return qEnvironmentVariable("LARKHOLD_UDISKS_FIXTURE") + "/" + name;
}

// Hands the fixture a request for what only root can do here (a pipe it reads); fixtureAnswer()
// waits for it to be done.
void askFixture(const QString& request) {
    QFile requests(fixtureFile("requests"));
    ASSERT_TRUE(requests.open(QIODevice::WriteOnly));
    requests.write((request + "\n").toUtf8());
}

QString fixtureAnswer() {
    QFile answers(fixtureFile("answers"));
    return answers.open(QIODevice::ReadOnly) ? QString::fromUtf8(answers.readLine()).trimmed() : "no answer";
}

// The store on the real tools as a desktop user: what the system refuses is told in the store's
// words, naming the vault, and after a lock udisks did not live to answer the store shows what is.
class DesktopUserStore : public larkhold::test::StoreFixture {
protected:
    void SetUp() override {
        if (qgetenv("LARKHOLD_UDISKS_FIXTURE").isEmpty()) {
            GTEST_SKIP() << "runs only through udisks_fixture.py";
        }
        scratch = std::make_unique<Scratch>();
        disk = std::make_unique<DiskImage>(DiskImageTools::inFolder(toolsDir()));
        vault = newRecord("Quarterly Accounts", VaultKind::standard, ".sparsebundle", 64);
        vault.bundlePath = scratch->path("Quarterly Accounts.sparsebundle");
        vault.openInFinderAfterUnlock = false;
        createImage(vault.bundlePath, vault.name);
        listed.append(vault);
        startStore();
    }
    void TearDown() override {
        if (store) {
            refuse({});
            awaitTask(store->lockAll(true, LockReason::quit));
        }
    }
    static void refuse(const QStringList& actions) {
        QFile refused(fixtureFile("refused-actions"));
        ASSERT_TRUE(refused.open(QIODevice::WriteOnly | QIODevice::Truncate));
        refused.write(actions.join('\n').toUtf8() + "\n");
    }
    QString unlockFailure(const QByteArray& password = kPassword) {
        store->clearErrorMessage();
        EXPECT_FALSE(unlockWith(vault, QString::fromLatin1(password)));
        EXPECT_FALSE(store->isUnlocked(vault));
        EXPECT_EQ(ourLoopDevices(), QStringList());
        return store->errorMessage();
    }

    std::unique_ptr<Scratch> scratch;
    Vault vault;
    const QString unlock = QStringLiteral("“Quarterly Accounts” could not be unlocked.");
    const QString notAllowed = QStringLiteral(" This computer does not allow you to use its disk. An administrator can "
                                              "allow it in the polkit rules for udisks2.");
};

} // namespace

TEST_F(DesktopUserStore, RefusalsOfTheSystemAreToldInTheStoresWordsWithTheVaultsName) {
    EXPECT_EQ(unlockFailure("not the password"), QStringLiteral("Wrong password for “Quarterly Accounts”."));
    refuse({"org.freedesktop.udisks2.loop-setup"});
    EXPECT_EQ(unlockFailure(), unlock + notAllowed);
    refuse({"org.freedesktop.udisks2.filesystem-mount"});
    EXPECT_EQ(unlockFailure(), unlock + notAllowed);
    refuse({});

    // The administrator did not allow FUSE folders to admit the system's disk service.
    QFile conf("/etc/fuse.conf");
    ASSERT_TRUE(conf.open(QIODevice::ReadWrite));
    const QByteArray allowed = conf.readAll();
    conf.resize(0);
    conf.close();
    store->clearErrorMessage();
    const bool opened = unlockWith(vault, QString::fromLatin1(kPassword));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(allowed);
    conf.close();
    if (opened) {
        // Kernels that size a loop device without asking the disk as its creator need no allowing.
        awaitTask(store->lock(vault, false, LockReason::manual));
    } else {
        EXPECT_EQ(store->errorMessage(), unlock + " The system’s disk service may not read it: an administrator must "
                                                  "add the line “user_allow_other” to /etc/fuse.conf.");
    }

    // In use: the lock names the vault, not the folder udisks named after its label.
    ASSERT_TRUE(unlockWith(vault, QString::fromLatin1(kPassword)));
    const QString mountPoint = store->mountPoints().value(vault.id);
    EXPECT_TRUE(mountPoint.endsWith("/Quarterly Accoun")) << mountPoint.toStdString();
    {
        QFile open(mountPoint + "/open.txt");
        ASSERT_TRUE(open.open(QIODevice::WriteOnly));
        awaitTask(store->lock(vault, false, LockReason::manual));
        EXPECT_EQ(store->errorMessage(),
                  QStringLiteral("“Quarterly Accounts” is in use — close the files open in it, then lock again."));
        EXPECT_TRUE(store->isUnlocked(vault));
    }
    awaitTask(store->lock(vault, false, LockReason::manual));
    ASSERT_FALSE(store->isUnlocked(vault));

    // A new label refused: said as a refusal, not as "in use".
    refuse({"org.freedesktop.udisks2.modify-device"});
    const StoreOutcome renamed = awaitTask(store->rename(vault, "Taxes", QString::fromLatin1(kPassword)));
    EXPECT_FALSE(renamed.ok);
    EXPECT_EQ(store->errorMessage(), QStringLiteral("“Quarterly Accounts” could not be renamed.") + notAllowed);
    refuse({});
    EXPECT_FALSE(store->isUnlocked(vault));
    EXPECT_EQ(ourLoopDevices(), QStringList());
}

// udev stopped: its control socket stays behind, and a process of its name runs on (another system's
// udev), yet the unlock fails with a sentence and leaves no loop device bound to the vanished disk.
TEST_F(DesktopUserStore, WithoutUdevAnUnlockFailsWithASentence) {
    askFixture("stop udevd");
    ASSERT_EQ(fixtureAnswer(), "done");
    ASSERT_TRUE(QFile::exists("/run/udev/control"));
    const QString failure = unlockFailure();
    askFixture("start udevd");
    ASSERT_EQ(fixtureAnswer(), "done");
    EXPECT_EQ(failure, unlock + " This computer does not look into the vault’s disk (udev is not running, or its "
                                "rules skip loop devices); an administrator must change that.");
    ASSERT_TRUE(unlockWith(vault, QString::fromLatin1(kPassword)));
}

// udisksd not running: said so, not in the bus's words, and the vault opens once it runs again.
TEST_F(DesktopUserStore, WithoutUDisksAnUnlockSaysTheDiskServiceIsNotRunning) {
    askFixture("stop udisksd");
    ASSERT_EQ(fixtureAnswer(), "done");
    const QString failure = unlockFailure();
    askFixture("restart udisksd");
    ASSERT_EQ(fixtureAnswer(), "done");
    EXPECT_EQ(failure, unlock + " The system’s disk service is not running; an administrator must start udisks2.");
    ASSERT_TRUE(unlockWith(vault, QString::fromLatin1(kPassword)));
}

// udisksd ends while it unmounts the volume (the kernel still writing it out), so the tool hears no
// answer: the volume is gone all the same, and the vault shows locked, with its activity entry.
TEST_F(DesktopUserStore, ALockThatUDisksDidNotLiveToAnswerShowsWhatIsTrue) {
    ASSERT_TRUE(unlockWith(vault, QString::fromLatin1(kPassword)));
    const QString mountPoint = store->mountPoints().value(vault.id);
    QFile pending(mountPoint + "/pending.bin");
    ASSERT_TRUE(pending.open(QIODevice::WriteOnly));
    ASSERT_EQ(pending.write(randomBytes(20 << 20)), 20 << 20);
    pending.close(); // written back by the unmount
    askFixture("restart udisksd once " + mountPoint + " is unmounted");
    awaitTask(store->lock(vault, false, LockReason::manual));
    ASSERT_EQ(fixtureAnswer(), "done");
    EXPECT_FALSE(store->isUnlocked(vault));
    EXPECT_TRUE(store->errorMessage().isEmpty()) << store->errorMessage().toStdString();
    EXPECT_EQ(activityTexts().first(), QStringLiteral("Quarterly Accounts locked (manual)"));
    EXPECT_EQ(loopDevicesLeft(), QStringList());
    ASSERT_TRUE(unlockWith(vault, QString::fromLatin1(kPassword)));
    EXPECT_EQ(QFileInfo(store->mountPoints().value(vault.id) + "/pending.bin").size(), 20 << 20);
}
