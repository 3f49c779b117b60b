// The stand-in hdiutil, diskutil and mdutil, driven as the application drives them: by path,
// with passwords on standard input, reading the property lists they print.
#include "ToolHarness.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <csignal>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sysmacros.h>
#include <thread>

using namespace tooltest;

namespace {

qint64 bytesOnDisk(const QString& folder) {
    qint64 total = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        struct stat st {};
        if (::stat(it.next().toUtf8().constData(), &st) == 0) {
            total += qint64(st.st_blocks) * 512;
        }
    }
    return total;
}

bool bundleContains(const QString& bundle, const QByteArray& needle) {
    for (QDirIterator it(bundle, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        if (readFile(it.next()).contains(needle)) {
            return true;
        }
    }
    return false;
}

QString sizeInInfoPlist(const QString& bundle) {
    QRegularExpression re(QStringLiteral("<key>size</key>\\s*<integer>(\\d+)</integer>"));
    return re.match(QString::fromUtf8(readFile(bundle + "/Info.plist"))).captured(1);
}

// Started without CAP_SYS_PTRACE, as every process of a desktop user is: the rest of root's
// capabilities still let such a process into the memory of root's processes, unless a process
// made itself not dumpable.
void withoutPtraceCapability(QProcess& p) {
    p.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0); });
}

// Whether a process without CAP_SYS_PTRACE may open the memory of process `pid`.
bool memoryOpenToPeers(qint64 pid) {
    QProcess reader;
    withoutPtraceCapability(reader);
    reader.start("/bin/sh", {"-c", "exec 3< \"/proc/$0/mem\"", QString::number(pid)});
    reader.waitForFinished(-1);
    return reader.exitStatus() == QProcess::NormalExit && reader.exitCode() == 0;
}

// The superblock of a mounted volume, as dumpe2fs reads it from the volume's device.
QString superblockOf(const QString& mountPoint) {
    QString device;
    for (const QByteArray& line : readFile("/proc/self/mounts").split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 1 && QString::fromUtf8(fields[1]) == mountPoint) {
            device = QString::fromUtf8(fields[0]);
        }
    }
    if (device.isEmpty()) {
        return {};
    }
    QProcess dump;
    dump.start("/usr/sbin/dumpe2fs", {"-h", device});
    dump.waitForFinished(-1);
    return QString::fromUtf8(dump.readAllStandardOutput());
}

bool hasJournal(const QString& superblock) {
    return QRegularExpression(QStringLiteral("^Filesystem features:.*\\bhas_journal\\b"),
                              QRegularExpression::MultilineOption)
        .match(superblock)
        .hasMatch();
}

std::string errorsBehaviour(const QString& superblock) {
    return QRegularExpression(QStringLiteral("^Errors behavior:\\s*(.*)$"), QRegularExpression::MultilineOption)
        .match(superblock)
        .captured(1)
        .trimmed()
        .toStdString();
}

// The earlier tools on PATH for as long as this lives: their mkfs.ext4 made volumes without a
// journal that carry on after errors, and their attach left the file system as it was.
class EarlierTools {
public:
    explicit EarlierTools(const QString& folder) : path_(qgetenv("PATH")) {
        QDir().mkpath(folder);
        script(folder + "/mkfs.ext4", "exec /usr/sbin/mkfs.ext4 \"$@\" -O ^has_journal -e continue\n");
        script(folder + "/tune2fs", "exit 0\n");
        qputenv("PATH", (folder + ":").toUtf8() + path_);
    }
    ~EarlierTools() { qputenv("PATH", path_); }
    EarlierTools(const EarlierTools&) = delete;
    EarlierTools& operator=(const EarlierTools&) = delete;

private:
    static void script(const QString& path, const QByteArray& body) {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly)) {
            f.write("#!/bin/sh\n" + body);
            f.close();
            f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }
    QByteArray path_;
};

// Each test gets a scratch folder of its own, with its volumes mounted inside it.
class DiskImageTools : public ::testing::Test {
protected:
    // A new image "<stem>.sparsebundle" in the scratch folder.
    QString newImage(const QString& stem, const QString& volume, const QString& size = QStringLiteral("64m"),
                     const QByteArray& password = kPassword) {
        const QString image = s.path(stem + ".sparsebundle");
        createImage(image, volume, size, password);
        return image;
    }

    Scratch s;
};

} // namespace

TEST_F(DiskImageTools, VolumeKeepsItsDataAcrossAttachmentsAndNoPlaintextReachesTheBundle) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Plain Vault", "Secret/Name"); // a slash is fine in a name, not in a folder
    QString mountPoint = attach(image);
    ASSERT_EQ(mountPoint, s.mountRoot() + "/Secret:Name");
    EXPECT_TRUE(listed(mountPoint));
    EXPECT_TRUE(hdiutil({"info", "-plist"}).out.contains("<string>" + image + "</string>"));

    // A recognisable pattern in every sector; none of it may show up in the bundle.
    QByteArray marker = "LARKHOLD-PLAINTEXT-MARKER-";
    QByteArray patterned;
    while (patterned.size() < (1 << 20)) {
        patterned += marker;
    }
    QByteArray noise = randomBytes(3 << 20);
    writeFile(mountPoint + "/pattern.bin", patterned);
    writeFile(mountPoint + "/noise.bin", noise);

    // Attaching what is already attached reports the same volume, but only for the right password.
    EXPECT_EQ(attach(image), mountPoint);
    Outcome wrong = hdiutil({"attach", "-plist", "-stdinpass", image}, "not it");
    EXPECT_EQ(wrong.status, 80); // the kind a program reads
    EXPECT_TRUE(wrong.err.contains("Authentication error"));

    Outcome md = runTool("mdutil", {"-i", "off", mountPoint});
    EXPECT_EQ(md.status, 0);
    EXPECT_TRUE(QFile::exists(mountPoint + "/.trackerignore"));

    detach(mountPoint);
    EXPECT_FALSE(listed(mountPoint));
    EXPECT_FALSE(QFile::exists(mountPoint));
    EXPECT_FALSE(bundleContains(image, marker));
    EXPECT_FALSE(bundleContains(image, "Secret/Name"));
    EXPECT_FALSE(bundleContains(image, noise.left(64)));

    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/pattern.bin"), patterned);
    EXPECT_EQ(readFile(mountPoint + "/noise.bin"), noise);
    detach(mountPoint);
}

TEST_F(DiskImageTools, WrongPasswordIsReportedAsAuthenticationErrorByEveryCommand) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("V", "V");
    const QByteArray before = bundleDigest(image);
    const QList<QStringList> commands{{"attach", "-plist", "-stdinpass", image},
                                      {"imageinfo", "-stdinpass", image},
                                      {"resize", "-stdinpass", "-size", "128m", image},
                                      {"compact", "-stdinpass", image}};
    for (const QStringList& args : commands) {
        Outcome r = hdiutil(args, "wrong");
        EXPECT_EQ(r.status, 80) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Authentication error")) << r.err.toStdString();
    }
    Outcome chpass = hdiutil({"chpass", "-oldstdinpass", "-newstdinpass", image}, QByteArray("wrong\0new\0", 10));
    EXPECT_TRUE(chpass.err.contains("Authentication error"));
    EXPECT_EQ(bundleDigest(image), before); // not a byte of the image changed
    EXPECT_TRUE(QDir(s.mountRoot()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    EXPECT_EQ(hdiutil({"imageinfo", "-stdinpass", image}, kPassword).status, 0);
}

TEST_F(DiskImageTools, CreateRefusesWhatItCannotMakeAndLeavesNothingBehind) {
    const QString image = s.path("X.sparsebundle");
    QDir().mkpath(image);
    Outcome exists =
        hdiutil({"create", "-encryption", "AES-256", "-stdinpass", "-size", "64m", "-volname", "X", image}, kPassword);
    EXPECT_NE(exists.status, 0);
    EXPECT_TRUE(exists.err.contains("File exists"));
    for (const char* size : {"64", "m", "1k", "99999999999t"}) {
        Outcome r = hdiutil({"create", "-encryption", "AES-256", "-stdinpass", "-size", size, "-volname", "Y",
                             s.path("Y.sparsebundle")},
                            kPassword);
        EXPECT_NE(r.status, 0) << size;
    }
    Outcome plain = hdiutil({"create", "-size", "64m", s.path("Z.sparsebundle")}, kPassword);
    EXPECT_NE(plain.status, 0);
    // A control character would make the property lists that carry the mount point unreadable.
    Outcome control = hdiutil(
        {"create", "-encryption", "AES-256", "-stdinpass", "-size", "64m", "-volname", "a\nb", s.path("W")}, kPassword);
    EXPECT_NE(control.status, 0);
    QStringList left = QDir(s.path("")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    left.removeAll("volumes");
    EXPECT_EQ(left, QStringList{"X.sparsebundle"});
}

TEST_F(DiskImageTools, KeyFileCannotDemandAnAbsurdPasswordHash) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("K", "K");
    const QByteArray original = readFile(image + "/key");
    auto patched = [&](int offset, quint32 value) {
        QByteArray key = original;
        for (int i = 0; i < 4; ++i) {
            key[offset + i] = char(value >> (8 * i));
        }
        return key;
    };
    // Memory of 4 TiB, zero passes, a thousand lanes: refused before any hashing.
    for (const QByteArray& key : {patched(12, 0xFFFFFFFFu), patched(8, 0), patched(16, 1000)}) {
        writeFile(image + "/key", key);
        Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains("unsupported")) << r.err.toStdString();
    }
    // Weaker parameters that are still in bounds are bound to the wrapped key: no way in.
    writeFile(image + "/key", patched(8, 1));
    EXPECT_TRUE(hdiutil({"imageinfo", "-stdinpass", image}, kPassword).err.contains("Authentication error"));
    writeFile(image + "/key", original);
    EXPECT_EQ(hdiutil({"imageinfo", "-stdinpass", image}, kPassword).status, 0);
}

TEST_F(DiskImageTools, BusyVolumeDetachesOnlyByForceAndKeepsWhatWasWritten) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("B", "B");
    QString mountPoint = attach(image);
    QByteArray data = randomBytes(1 << 20);
    writeFile(mountPoint + "/kept.bin", data);
    {
        QFile open(mountPoint + "/open.txt");
        ASSERT_TRUE(open.open(QIODevice::WriteOnly));
        open.write("still open");
        open.flush();
        Outcome busy = hdiutil({"detach", mountPoint});
        EXPECT_NE(busy.status, 0);
        EXPECT_TRUE(busy.err.contains("Resource busy")) << busy.err.toStdString();
        EXPECT_TRUE(listed(mountPoint));
        detach(mountPoint, true);
        EXPECT_FALSE(listed(mountPoint));
    }
    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/kept.bin"), data);
    EXPECT_EQ(readFile(mountPoint + "/open.txt"), "still open");
    detach(mountPoint);
    EXPECT_NE(hdiutil({"detach", mountPoint}).status, 0);
}

// What a lock or the clean-up after a dead service unmounts, root unmounts itself: neither the
// volume nor the service's disk folder may stay mounted, and a lock returns once the service has ended.
TEST_F(DiskImageTools, ALockAndTheCleanUpAfterADeadServiceLeaveNothingMounted) {
    SKIP_WITHOUT_MOUNTS();
    auto mounted = [](const QString& path) {
        return readFile("/proc/self/mountinfo").contains(" " + path.toUtf8() + " ");
    };
    auto running = [](int pid) {
        const QByteArray stat = readFile("/proc/" + QString::number(pid) + "/stat");
        return stat != "<unreadable>" && !stat.mid(stat.lastIndexOf(')') + 2).startsWith('Z');
    };
    const QString image = newImage("L", "L");
    for (const bool killed : {false, true}) {
        const QString mountPoint = attach(image);
        const QRegularExpression entry(QStringLiteral("<key>dev-entry</key>\\s*<string>([^<]*)/disk</string>"));
        const QString diskFolder = entry.match(hdiutil({"info", "-plist"}).out).captured(1);
        const int pid = servicePid(image);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(mounted(mountPoint) && mounted(diskFolder)) << diskFolder.toStdString();
        if (killed) {
            ::kill(pid, SIGKILL);
            for (QDeadlineTimer ceiling(60000); running(pid) && !ceiling.hasExpired();) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        Outcome r = hdiutil({"detach", mountPoint});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, "\"" + mountPoint + "\" ejected.\n");
        EXPECT_FALSE(running(pid));
        EXPECT_FALSE(mounted(mountPoint)) << killed;
        EXPECT_FALSE(mounted(diskFolder)) << killed;
        EXPECT_FALSE(QFileInfo::exists(diskFolder)) << killed;
        EXPECT_FALSE(listed(mountPoint));
    }
}

TEST_F(DiskImageTools, ChangePasswordKeepsTheDataAndRetiresTheOldPassword) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("C", "C");
    QString mountPoint = attach(image);
    writeFile(mountPoint + "/a.txt", "contents");
    detach(mountPoint);

    const QByteArray accented = "Pässwörd ünïcode";
    Outcome r = hdiutil({"chpass", "-oldstdinpass", "-newstdinpass", image}, kPassword + '\0' + accented + '\0');
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword).err.contains("Authentication error"));
    mountPoint = attach(image, accented);
    EXPECT_EQ(readFile(mountPoint + "/a.txt"), "contents");
    detach(mountPoint);

    // Malformed input, and an empty new password, change nothing.
    for (const QByteArray& input : {accented, accented + '\0' + '\0', accented + '\0' + "x\0y\0"}) {
        EXPECT_NE(hdiutil({"chpass", "-oldstdinpass", "-newstdinpass", image}, input).status, 0);
    }
    EXPECT_EQ(hdiutil({"imageinfo", "-stdinpass", image}, accented).status, 0);
}

// A zero byte once cut the password short: "\0secret" made a vault whose password was empty.
TEST_F(DiskImageTools, PasswordsWithAZeroByteAndEmptyNewPasswordsAreRefused) {
    const QByteArray cut("\0secret", 7);
    for (const QByteArray& password : {cut, QByteArray()}) {
        Outcome r = hdiutil({"create", "-encryption", "AES-256", "-stdinpass", "-size", "64m", "-volname", "Z",
                             s.path("Z.sparsebundle")},
                            password);
        EXPECT_NE(r.status, 0);
        EXPECT_FALSE(QFile::exists(s.path("Z.sparsebundle")));
    }
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("P0", "P0");
    Outcome attach = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword + QByteArray("\0", 1));
    EXPECT_NE(attach.status, 0);
    EXPECT_TRUE(attach.err.contains("zero byte")) << attach.err.toStdString();
}

// Names that would hide a volume, take the hidden volumes' folder or break the property lists the
// application reads are refused when they are given, by create and by rename.
TEST_F(DiskImageTools, VolumeNamesThatHideOrBreakTheListingAreRefused) {
    // As printf %b escapes: QString arguments could not carry bytes that are not UTF-8.
    for (const char* name : {".larkhold-hidden", ".dot", "bad\\0377", "\\0303\\050", "a\\0177"}) {
        QProcess p;
        p.start("/bin/sh", {"-c",
                            "exec \"$0\" create -encryption AES-256 -stdinpass -size 64m -volname "
                            "\"$(printf %b \"$1\")\" \"$2\"",
                            toolsDir() + "/hdiutil", name, s.path("N.sparsebundle")});
        p.write(kPassword);
        p.closeWriteChannel();
        p.waitForFinished(-1);
        EXPECT_EQ(p.exitCode(), 92) << name;
        EXPECT_TRUE(p.readAllStandardError().contains("invalid volume name")) << name;
    }
    EXPECT_FALSE(QFile::exists(s.path("N.sparsebundle")));
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Named", "Named");
    const QString mountPoint = attach(image);
    for (const char* name : {".larkhold-hidden", ".x"}) {
        EXPECT_NE(runTool("diskutil", {"rename", mountPoint, name}).status, 0) << name;
    }
    EXPECT_TRUE(listed(mountPoint));
    EXPECT_TRUE(hdiutil({"info", "-plist"}).out.contains("<string>" + mountPoint + "</string>"));
    detach(mountPoint);
}

TEST_F(DiskImageTools, ResizeGrowsAndShrinksButNotBelowTheData) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("R", "R");
    QString mountPoint = attach(image);
    QByteArray data = randomBytes(30 << 20);
    writeFile(mountPoint + "/data.bin", data);
    Outcome attached = hdiutil({"resize", "-stdinpass", "-size", "128m", image}, kPassword);
    EXPECT_NE(attached.status, 0);
    EXPECT_TRUE(attached.err.contains("busy", Qt::CaseInsensitive)) << attached.err.toStdString();
    detach(mountPoint);

    Outcome grow = hdiutil({"resize", "-stdinpass", "-size", "128m", image}, kPassword);
    ASSERT_EQ(grow.status, 0) << grow.err.toStdString();
    EXPECT_EQ(sizeInInfoPlist(image), "134217728");
    mountPoint = attach(image);
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(mountPoint.toUtf8().constData(), &fs), 0);
    EXPECT_GT(fs.f_blocks * fs.f_frsize, 100ull << 20);
    writeFile(mountPoint + "/more.bin", randomBytes(60 << 20)); // only fits in the grown volume
    ASSERT_EQ(::unlink((mountPoint + "/more.bin").toUtf8().constData()), 0);
    detach(mountPoint);

    Outcome tooSmall = hdiutil({"resize", "-stdinpass", "-size", "16m", image}, kPassword);
    EXPECT_EQ(tooSmall.status, 91) << tooSmall.err.toStdString();
    EXPECT_EQ(sizeInInfoPlist(image), "134217728");

    Outcome shrink = hdiutil({"resize", "-stdinpass", "-size", "48m", image}, kPassword);
    ASSERT_EQ(shrink.status, 0) << shrink.err.toStdString();
    EXPECT_EQ(sizeInInfoPlist(image), "50331648");
    for (const QString& band : QDir(image + "/bands").entryList(QDir::Files)) {
        EXPECT_LT(band.toULongLong(nullptr, 16), 6u) << "band beyond the limit: " << band.toStdString();
    }
    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/data.bin"), data);
    detach(mountPoint);
}

TEST_F(DiskImageTools, CompactGivesFreedSpaceBack) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("P", "P", "128m");
    QString mountPoint = attach(image);
    QByteArray kept = randomBytes(1 << 20);
    writeFile(mountPoint + "/kept.bin", kept);
    writeFile(mountPoint + "/big.bin", randomBytes(40 << 20));
    detach(mountPoint);
    const qint64 full = bytesOnDisk(image);
    EXPECT_GT(full, 40ll << 20);

    mountPoint = attach(image);
    ASSERT_EQ(::unlink((mountPoint + "/big.bin").toUtf8().constData()), 0);
    detach(mountPoint);
    Outcome r = hdiutil({"compact", "-stdinpass", image}, kPassword);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_LT(bytesOnDisk(image), 8ll << 20);

    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/kept.bin"), kept);
    EXPECT_EQ(runTool("diskutil", {"verifyVolume", mountPoint}).status, 0);
    detach(mountPoint);
}

TEST_F(DiskImageTools, RenameMountsTheVolumeAgainUnderItsNewName) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("N", "Old Name");
    QString hidden = attach(image, kPassword, true);
    EXPECT_EQ(hidden, s.mountRoot() + "/.larkhold-hidden/Old Name");
    writeFile(hidden + "/f.txt", "x");

    EXPECT_NE(runTool("diskutil", {"rename", hidden, ".."}).status, 0);
    Outcome r = runTool("diskutil", {"rename", hidden, "New Name"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QString renamed = s.mountRoot() + "/.larkhold-hidden/New Name";
    EXPECT_TRUE(listed(renamed));
    EXPECT_FALSE(listed(hidden));
    EXPECT_EQ(readFile(renamed + "/f.txt"), "x");
    detach(renamed);

    // The name sticks, and a second volume of the same name gets its own folder.
    EXPECT_EQ(attach(image), s.mountRoot() + "/New Name");
    const QString other = s.path("O.sparsebundle");
    createImage(other, "New Name");
    EXPECT_EQ(attach(other), s.mountRoot() + "/New Name 1");
    detach(s.mountRoot() + "/New Name 1");
    detach(s.mountRoot() + "/New Name");
}

// Volumes of one name attached at the same time, while another of that name is being checked
// (unmounted and mounted again in its folder): each keeps a folder of its own.
TEST_F(DiskImageTools, SameNamedVolumesAttachedAtOnceNeverShareAFolder) {
    SKIP_WITHOUT_MOUNTS();
    const QStringList images{s.path("A.sparsebundle"), s.path("B.sparsebundle"), s.path("C.sparsebundle")};
    for (const QString& image : images) {
        createImage(image, "Same");
    }
    const QString first = attach(images[0]);
    ASSERT_EQ(first, s.mountRoot() + "/Same");

    Outcome check;
    std::vector<Outcome> attached(images.size() + 1);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { check = runTool("diskutil", {"verifyVolume", first}); });
    for (int i = 0; i < 4; ++i) { // B, C, and A twice more
        const QString image = images[i < 2 ? i + 1 : 0];
        threads.emplace_back([&, i, image] {
            attached[i] = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_TRUE(check.out.contains("exit code is 0")) << check.out.toStdString();
    ASSERT_EQ(attached[0].status, 0) << attached[0].err.toStdString();
    ASSERT_EQ(attached[1].status, 0) << attached[1].err.toStdString();
    const QStringList mountPoints{first, mountPointIn(attached[0].out), mountPointIn(attached[1].out)};
    EXPECT_EQ(QSet<QString>(mountPoints.begin(), mountPoints.end()).size(), 3) << mountPoints.join(", ").toStdString();
    for (int i = 2; i < 4; ++i) { // the image already attached: its volume, once the other attach is done
        EXPECT_EQ(attached[i].status, 0) << attached[i].err.toStdString();
        EXPECT_EQ(mountPointIn(attached[i].out), first);
    }
    for (const QString& mountPoint : mountPoints) {
        EXPECT_TRUE(listed(mountPoint)) << mountPoint.toStdString();
        detach(mountPoint);
    }
}

TEST_F(DiskImageTools, VerifyVolumeChecksAVolumeInUseAndAttachRepairsADamagedOneAndSaysSo) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("D", "D");
    QString mountPoint = attach(image);
    for (int i = 0; i < 20; ++i) {
        writeFile(mountPoint + QStringLiteral("/file%1").arg(i), "content");
    }
    // Fresh changes that are still only in memory must not look like damage.
    QDir(mountPoint).mkdir("gone");
    for (int i = 0; i < 60; ++i) {
        writeFile(mountPoint + QStringLiteral("/gone/f%1").arg(i), "short-lived");
    }
    ASSERT_TRUE(QDir(mountPoint + "/gone").removeRecursively());
    Outcome clean = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_EQ(clean.status, 0);
    EXPECT_TRUE(clean.out.contains("exit code is 0")) << clean.out.toStdString();
    EXPECT_TRUE(listed(mountPoint)); // still mounted where it was
    EXPECT_EQ(readFile(mountPoint + "/file3"), "content");
    {
        QFile open(mountPoint + "/file0"); // a volume in use is checked too
        ASSERT_TRUE(open.open(QIODevice::ReadWrite));
        open.write("more");
        open.flush();
        EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
    }
    detach(mountPoint);

    // Garbage over the first band's metadata area, where the inode table of a new volume lies.
    QFile band(image + "/bands/0");
    ASSERT_TRUE(band.open(QIODevice::ReadWrite));
    band.seek(32 * 4096);
    band.write(randomBytes(64 * 4096));
    band.close();

    Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("damaged and has been repaired")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("lost+found")) << r.err.toStdString();
    mountPoint = mountPointIn(r.out);
    EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
    writeFile(mountPoint + "/after.txt", "usable again");
    detach(mountPoint);
    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/after.txt"), "usable again");
    detach(mountPoint);
}

// A band missing for one attach (a sync or copy not finished) stops it before anything is checked
// or repaired; once the band is back the volume is as it was. A band that goes while the volume is
// attached is a finding of the check, and a lost volume name costs the vault nothing.
TEST_F(DiskImageTools, APartOfTheVaultFileMissingStopsTheAttachAndChangesNothing) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Parts", "Parts Vault", "128m");
    QString mountPoint = attach(image);
    for (int i = 0; i < 40; ++i) {
        writeFile(mountPoint + QStringLiteral("/file%1").arg(i), randomBytes(64 << 10));
    }
    const QByteArray sample = readFile(mountPoint + "/file7");
    detach(mountPoint);

    ASSERT_TRUE(QFile::rename(image + "/bands/0", s.path("band0")));
    const QByteArray before = bundleDigest(image);
    for (int attempt = 0; attempt < 2; ++attempt) {
        Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err.trimmed(), "hdiutil: attach failed - A part of the vault file is missing or unreadable.");
    }
    EXPECT_EQ(bundleDigest(image), before);
    ASSERT_TRUE(QFile::rename(s.path("band0"), image + "/bands/0"));

    ASSERT_TRUE(QFile::remove(image + "/volume"));
    Outcome back = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    ASSERT_EQ(back.status, 0) << back.err.toStdString();
    EXPECT_EQ(back.err, "");
    mountPoint = mountPointIn(back.out);
    EXPECT_EQ(mountPoint, s.mountRoot() + "/Parts Vault");
    EXPECT_EQ(readFile(mountPoint + "/file7"), sample);
    EXPECT_EQ(QDir(mountPoint).entryList({"file*"}).size(), 40);

    // The last band written goes while attached: the check says so in one line.
    QStringList written = QDir(image + "/bands").entryList(QDir::Files);
    std::sort(written.begin(), written.end(), [](const QString& a, const QString& b) {
        return a.toULongLong(nullptr, 16) < b.toULongLong(nullptr, 16);
    });
    ASSERT_TRUE(QFile::rename(image + "/bands/" + written.last(), s.path("last")));
    Outcome check = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_NE(check.status, 0);
    EXPECT_TRUE(check.out.contains("A part of the vault file is missing or unreadable.")) << check.out.toStdString();
    ASSERT_TRUE(QFile::rename(s.path("last"), image + "/bands/" + written.last()));
    EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
    detach(mountPoint);

    // A size record cut in half is named in one line, and nothing is checked or repaired.
    const QByteArray info = readFile(image + "/Info.plist");
    writeFile(image + "/Info.plist",
              QByteArray(info).replace("<integer>134217728</integer>", "<integer>67108864</integer>"));
    const QByteArray halved = bundleDigest(image);
    Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "hdiutil: attach failed - The size recorded in the vault is smaller than its contents.\n");
    EXPECT_EQ(bundleDigest(image), halved);
    writeFile(image + "/Info.plist", info);
    detach(attach(image));
}

// The record of the bands a vault has written, gone, damaged or put back older (one file restored
// by a sync client or a backup), stops the attach before anything changes: from the bands present
// alone a lost one would read as zeros. Put right, the vault opens with every file. A size in
// Info.plist smaller than the file system is named as such, even where the journal lies past it.
TEST_F(DiskImageTools, ABandRecordLostDamagedOrOlderStopsTheAttachAndChangesNothing) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Record", "Record", "1g");
    QString mountPoint = attach(image);
    writeFile(mountPoint + "/first", randomBytes(1 << 20));
    detach(mountPoint);
    const QByteArray older = readFile(image + "/bands.record");
    mountPoint = attach(image);
    const QByteArray later = randomBytes(40 << 20); // into bands the older record does not list
    writeFile(mountPoint + "/later", later);
    detach(mountPoint);
    const QByteArray record = readFile(image + "/bands.record");
    QByteArray garbled = record;
    garbled[garbled.size() / 2] = char(garbled[garbled.size() / 2] ^ 1);
    for (const QByteArray& wrong : {older, garbled, QByteArray()}) {
        if (wrong.isEmpty()) {
            ASSERT_TRUE(QFile::remove(image + "/bands.record"));
        } else {
            writeFile(image + "/bands.record", wrong);
        }
        const QByteArray before = bundleDigest(image);
        Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err.trimmed(), "hdiutil: attach failed - A part of the vault file is missing or unreadable.");
        EXPECT_EQ(hdiutil({"compact", "-stdinpass", image}, kPassword).status, 82); // a missing part
        EXPECT_EQ(bundleDigest(image), before);
    }
    writeFile(image + "/bands.record", record);
    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/later"), later);
    detach(mountPoint);

    const QByteArray info = readFile(image + "/Info.plist");
    writeFile(image + "/Info.plist",
              QByteArray(info).replace("<integer>1073741824</integer>", "<integer>536870912</integer>"));
    const QByteArray halved = bundleDigest(image);
    Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    EXPECT_EQ(r.err, "hdiutil: attach failed - The size recorded in the vault is smaller than its contents.\n");
    EXPECT_EQ(bundleDigest(image), halved);
}

// Band 0 of another vault (a sync conflict, a mixed-up restore) decrypts to noise under this
// vault's key: the attach says a part is unreadable before any check could repair over it. A repair
// the attach makes keeps what it changes until the vault is next unlocked, and can be taken back.
TEST_F(DiskImageTools, AStrangersBandZeroIsRefusedAndARepairCanBeTakenBack) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Own", "Own");
    const QString stranger = newImage("Stranger", "Stranger");
    QString mountPoint = attach(image);
    writeFile(mountPoint + "/kept.txt", "kept");
    detach(mountPoint);
    ASSERT_TRUE(QFile::rename(image + "/bands/0", s.path("own0")));
    ASSERT_TRUE(QFile::copy(stranger + "/bands/0", image + "/bands/0"));
    const QByteArray mixed = bundleDigest(image);
    Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.trimmed(), "hdiutil: attach failed - A part of the vault file is missing or unreadable.");
    EXPECT_EQ(bundleDigest(image), mixed);
    ASSERT_TRUE(QFile::remove(image + "/bands/0"));
    ASSERT_TRUE(QFile::rename(s.path("own0"), image + "/bands/0"));

    QFile band(image + "/bands/0"); // garbage over the inode table
    ASSERT_TRUE(band.open(QIODevice::ReadWrite));
    band.seek(32 * 4096);
    band.write(randomBytes(64 * 4096));
    band.close();
    const QByteArray damaged = bundleDigest(image + "/bands");
    r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("kept until the vault is next unlocked")) << r.err.toStdString();
    mountPoint = mountPointIn(r.out);
    writeFile(mountPoint + "/after.txt", "written after the repair");
    detach(mountPoint);
    EXPECT_FALSE(bundleContains(image, "written after the repair"));
    Outcome back = hdiutil({"undorepair", "-stdinpass", image}, kPassword);
    EXPECT_EQ(back.status, 0) << back.err.toStdString();
    EXPECT_EQ(bundleDigest(image + "/bands"), damaged);
    EXPECT_NE(hdiutil({"undorepair", "-stdinpass", image}, kPassword).status, 0); // nothing left to take back

    // Repaired again and used: the next unlock lets what the repair kept go.
    r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    detach(mountPointIn(r.out));
    EXPECT_TRUE(QFileInfo::exists(image + "/repair-kept"));
    detach(attach(image));
    EXPECT_FALSE(QFileInfo::exists(image + "/repair-kept"));
}

// Vaults made before the band record and the second name copy existed open as they are, and gain
// both on the way.
TEST_F(DiskImageTools, VaultsWithoutTheNewRecordsOpenAndGainThem) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Before", "Before");
    QString mountPoint = attach(image);
    writeFile(mountPoint + "/old.txt", "from before");
    detach(mountPoint);
    ASSERT_TRUE(QFile::remove(image + "/bands.record"));
    ASSERT_TRUE(QFile::remove(image + "/volume-copy"));
    ASSERT_TRUE(QFile::remove(image + "/volume-id"));

    mountPoint = attach(image);
    EXPECT_EQ(mountPoint, s.mountRoot() + "/Before");
    EXPECT_EQ(readFile(mountPoint + "/old.txt"), "from before");
    detach(mountPoint);
    EXPECT_TRUE(QFile::exists(image + "/bands.record"));
    EXPECT_TRUE(QFile::exists(image + "/volume-id"));
    EXPECT_EQ(readFile(image + "/volume-copy"), readFile(image + "/volume"));
}

// Locking a vault whose volume another mount namespace still holds (a sandbox, unshare -m) takes
// the key away all the same: the service ends, and the copy left in that namespace cannot store
// anything more. A forced detach never waits for such a copy either.
TEST_F(DiskImageTools, LockingAVaultThatAnotherMountNamespaceHoldsEndsItsServiceAnyway) {
    SKIP_WITHOUT_MOUNTS();
    if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) {
        GTEST_SKIP() << "unshare is not installed";
    }
    const QString image = newImage("Held", "Held");
    for (const bool force : {false, true}) {
        const QString mountPoint = attach(image);
        writeFile(mountPoint + "/kept.txt", "kept");
        QProcess holder;
        holder.start("unshare", {"--mount", "--propagation", "private", "sh", "-c",
                                 "echo ready; read go; cat \"$0/kept.txt\" >/dev/null 2>&1; echo read=$?; "
                                 "echo more > \"$0/after.txt\" && sync \"$0/after.txt\"; echo stored=$?",
                                 mountPoint});
        ASSERT_TRUE(holder.waitForReadyRead(60000));
        ASSERT_EQ(holder.readLine().trimmed(), "ready");

        Outcome r = hdiutil(force ? QStringList{"detach", mountPoint, "-force"} : QStringList{"detach", mountPoint});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(servicePid(image), 0);
        EXPECT_FALSE(listed(mountPoint));
        holder.write("go\n");
        holder.closeWriteChannel();
        holder.waitForFinished(-1);
        // As root the copy left there is shut down: not even what it holds in memory is read.
        const QString said = QString::fromUtf8(holder.readAllStandardOutput());
        EXPECT_FALSE(said.contains("read=0")) << said.toStdString();
        EXPECT_FALSE(said.contains("stored=0")) << said.toStdString();
    }
    const QString mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/kept.txt"), "kept");
    EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
    detach(mountPoint);
}

// A volume unmounted lazily with a file open, and its folder taken by another mount at once: the
// service sees that the folder no longer shows its own volume, writes out, wipes its key and ends,
// so the held file reads nothing more, not even from memory, and the vault unlocks again at once.
TEST_F(DiskImageTools, AServiceWhoseFolderWasTakenEndsAndItsVaultUnlocksAgain) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Taken", "Taken");
    const QString mountPoint = attach(image);
    writeFile(mountPoint + "/held.txt", QByteArray(4096, 'a'));
    const int held = ::open((mountPoint + "/held.txt").toUtf8().constData(), O_RDONLY);
    ASSERT_GE(held, 0);
    char cached[16];
    ASSERT_EQ(::pread(held, cached, sizeof cached, 0), 16); // in memory from now on
    ASSERT_EQ(::umount2(mountPoint.toUtf8().constData(), MNT_DETACH), 0);
    ASSERT_EQ(::mount("other", mountPoint.toUtf8().constData(), "tmpfs", 0, "size=1m"), 0);
    QDeadlineTimer ceiling(90000);
    while (servicePid(image) != 0 && !ceiling.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(servicePid(image), 0);
    EXPECT_LT(::pread(held, cached, sizeof cached, 0), 0);
    ::close(held);
    const QString again = attach(image);
    EXPECT_EQ(readFile(again + "/held.txt"), QByteArray(4096, 'a'));
    detach(again);
    EXPECT_EQ(::umount2(mountPoint.toUtf8().constData(), 0), 0);
}

// Another ext4 mounted over an attached volume's folder (a sandbox's copy, a user's own mount):
// the vault is still listed, and a lock, plain or forced, finds the volume by its device, ends its
// service and shuts it down, so that a file held open in it reads nothing more. It syncs, shuts
// down and unmounts nothing but its own file system: the one on top stays and takes writes.
TEST_F(DiskImageTools, AVolumeCoveredByAnotherMountIsListedAndLockedAndTheOtherIsLeftAlone) {
    SKIP_WITHOUT_MOUNTS();
    const QString throwaway = s.path("throwaway.ext4");
    QFile(throwaway).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile(throwaway).resize(16 << 20));
    ASSERT_EQ(QProcess::execute("mkfs.ext4", {"-q", "-F", throwaway}), 0);
    for (const bool forced : {false, true}) {
        const QString image = newImage(forced ? "Forced" : "Covered", forced ? "Forced" : "Covered");
        const QString mountPoint = attach(image);
        writeFile(mountPoint + "/kept.txt", "kept");
        const int held = ::open((mountPoint + "/kept.txt").toUtf8().constData(), O_RDONLY);
        ASSERT_GE(held, 0);
        char cached[4];
        ASSERT_EQ(::pread(held, cached, sizeof cached, 0), 4); // in memory from now on
        ASSERT_EQ(QProcess::execute("mount", {"-o", "loop", throwaway, mountPoint}), 0);
        EXPECT_TRUE(listed(mountPoint)) << forced;
        const Outcome locked = forced ? hdiutil({"detach", mountPoint, "-force"}) : hdiutil({"detach", mountPoint});
        EXPECT_EQ(locked.status, 0) << forced << locked.err.toStdString();
        EXPECT_EQ(servicePid(image), 0) << forced;
        EXPECT_FALSE(listed(mountPoint)) << forced;
        EXPECT_LT(::pread(held, cached, sizeof cached, 0), 0) << forced;
        ::close(held);
        const QByteArray probe = (mountPoint + "/still-writable.txt").toUtf8();
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0) << forced;
        EXPECT_TRUE(fd >= 0 && ::write(fd, "yes", 3) == 3 && ::fsync(fd) == 0) << forced;
        if (fd >= 0) {
            ::close(fd);
        }
        EXPECT_EQ(::umount2(mountPoint.toUtf8().constData(), 0), 0) << "the mount on top was taken away";
        ::umount2(mountPoint.toUtf8().constData(), MNT_DETACH); // what is left of the volume beneath
        const QString again = attach(image);
        EXPECT_EQ(readFile(again + "/kept.txt"), "kept");
        detach(again);
    }
}

// A folder of kept bands without its list (an attach killed before it wrote it, or a take-back
// killed while removing the folder) holds nothing: a take-back writes no marker into it, and the
// next attach lets it go instead of failing for good.
TEST_F(DiskImageTools, AKeptFolderWithoutItsListNeverLocksTheVaultOut) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Kept", "Kept");
    const QString kept = image + "/repair-kept";
    ASSERT_TRUE(QDir().mkpath(kept));
    EXPECT_NE(hdiutil({"undorepair", "-stdinpass", image}, kPassword).status, 0);
    EXPECT_FALSE(QFile::exists(kept + "/taking-back"));
    ASSERT_TRUE(QDir().mkpath(kept));
    writeFile(kept + "/taking-back", {});
    const QString mountPoint = attach(image);
    EXPECT_FALSE(mountPoint.isEmpty());
    EXPECT_FALSE(QFile::exists(kept));
    detach(mountPoint);
}

// A vault attached inside a mount namespace that then ends is reachable there no more: its service
// writes out, wipes its key and ends, and the vault attaches again from here with what was written.
TEST_F(DiskImageTools, AVaultAttachedInAMountNamespaceThatEndedIsLockedAndAttachesAgain) {
    SKIP_WITHOUT_MOUNTS();
    if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) {
        GTEST_SKIP() << "unshare is not installed";
    }
    const QString image = newImage("Inside", "Inside");
    QProcess inside;
    inside.start("unshare", {"--mount", "--propagation", "private", "sh", "-c",
                             "mp=$(printf %s \"$1\" | \"$2/hdiutil\" attach -stdinpass \"$0\" | cut -f2) && "
                             "echo inside > \"$mp/inside.txt\" && echo attached",
                             image, QString::fromUtf8(kPassword), toolsDir()});
    ASSERT_TRUE(inside.waitForFinished(-1));
    ASSERT_EQ(inside.readAllStandardOutput().trimmed(), "attached") << inside.readAllStandardError().toStdString();
    QDeadlineTimer ceiling(90000);
    while (servicePid(image) != 0 && !ceiling.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(servicePid(image), 0);
    const QString mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/inside.txt"), "inside\n");
    detach(mountPoint);
}

// A volume unmounted behind the tools' back, with a file still open in it, gives up its folder: a
// vault of the same name attached next may have it, and each vault then finds its own volume.
TEST_F(DiskImageTools, AVolumeUnmountedBehindTheToolsBackGivesUpItsFolder) {
    SKIP_WITHOUT_MOUNTS();
    const QString first = newImage("First", "Same");
    const QString second = newImage("Second", "Same");
    const QString taken = attach(first);
    ASSERT_EQ(taken, s.mountRoot() + "/Same");
    const int open = ::open((taken + "/open.txt").toUtf8().constData(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(open, 0);
    ASSERT_EQ(::umount2(taken.toUtf8().constData(), MNT_DETACH), 0);
    QDeadlineTimer ceiling(60000);
    while (servicePid(first) != 0 && !ceiling.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(servicePid(first), 0);

    EXPECT_EQ(attach(second), s.mountRoot() + "/Same");
    const QString again = attach(first);
    EXPECT_EQ(again, s.mountRoot() + "/Same 1");
    EXPECT_EQ(attach(first), again);
    detach(again, true);
    EXPECT_TRUE(listed(s.mountRoot() + "/Same"));
    ::close(open);
    detach(s.mountRoot() + "/Same");
}

// Another user able to write to the folder volumes are mounted in could plant a link there that
// moves a volume into a folder of their own; such a folder is refused, and no link is followed.
TEST_F(DiskImageTools, AMountRootOthersCanChangeIsRefusedAndNoLinkInItIsFollowed) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Trust", "Trust");
    const QString open = s.path("open-root");
    const QString foreign = s.path("foreign-root");
    const QString elsewhere = s.path("elsewhere");
    for (const QString& folder : {open, foreign, elsewhere}) {
        ASSERT_TRUE(QDir().mkpath(folder));
    }
    ASSERT_EQ(::chmod(open.toUtf8().constData(), 0777), 0);
    ASSERT_EQ(::chown(foreign.toUtf8().constData(), 65534, 65534), 0);
    ASSERT_TRUE(QFile::link(elsewhere, s.mountRoot() + "/.larkhold-hidden"));
    const QByteArray trusted = qgetenv("LARKHOLD_MOUNT_ROOT");
    for (const QString& root : {open, foreign}) {
        qputenv("LARKHOLD_MOUNT_ROOT", root.toUtf8());
        Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(r.err.contains("not safe")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(QDir(root).isEmpty());
    }
    qputenv("LARKHOLD_MOUNT_ROOT", trusted);
    Outcome hidden = hdiutil({"attach", "-plist", "-stdinpass", "-nobrowse", image}, kPassword);
    EXPECT_NE(hidden.status, 0);
    EXPECT_TRUE(QDir(elsewhere).isEmpty());
    const QString visible = attach(image);
    EXPECT_EQ(visible, s.mountRoot() + "/Trust");
    detach(visible);
}

// A grow that fails puts the old limit back; one that was interrupted (the limit raised, the file
// system not yet grown) is finished by the next resize, to the same size too.
TEST_F(DiskImageTools, AGrowThatFailsOrWasInterruptedIsNeverLeftHalfDone) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("Grow", "Grow", "64m");
    QString mountPoint = attach(image);
    const QByteArray data = randomBytes(8 << 20);
    writeFile(mountPoint + "/data.bin", data);
    detach(mountPoint);
    {
        const QByteArray path = qgetenv("PATH");
        const QString failing = s.path("failing-tools");
        QDir().mkpath(failing);
        QFile tool(failing + "/resize2fs");
        ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
        tool.write("#!/bin/sh\necho 'resize2fs: cannot grow this' >&2\nexit 1\n");
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", (failing + ":").toUtf8() + path);
        Outcome failed = hdiutil({"resize", "-stdinpass", "-size", "128m", image}, kPassword);
        qputenv("PATH", path);
        EXPECT_NE(failed.status, 0);
        EXPECT_EQ(failed.err.trimmed(), "hdiutil: resize failed - The vault could not grow, so it keeps its size.");
        EXPECT_EQ(sizeInInfoPlist(image), "67108864");

        // One that stops part of the way goes back to the old size.
        ASSERT_TRUE(tool.open(QIODevice::WriteOnly | QIODevice::Truncate));
        tool.write("#!/bin/sh\n[ $# -eq 1 ] || exec /usr/sbin/resize2fs \"$@\"\n"
                   "/usr/sbin/resize2fs \"$1\" 100M >/dev/null 2>&1\nexit 1\n");
        tool.close();
        qputenv("PATH", (failing + ":").toUtf8() + path);
        Outcome partly = hdiutil({"resize", "-stdinpass", "-size", "128m", image}, kPassword);
        qputenv("PATH", path);
        EXPECT_EQ(partly.err.trimmed(), "hdiutil: resize failed - The vault could not grow, so it keeps its size.");
        EXPECT_EQ(sizeInInfoPlist(image), "67108864");
        mountPoint = attach(image);
        struct statvfs fs {};
        ASSERT_EQ(::statvfs(mountPoint.toUtf8().constData(), &fs), 0);
        EXPECT_LT(fs.f_blocks * fs.f_frsize, 64ull << 20);
        EXPECT_EQ(readFile(mountPoint + "/data.bin"), data);
        detach(mountPoint);
    }

    // As a grow killed half-way leaves the vault.
    QString info = QString::fromUtf8(readFile(image + "/Info.plist"));
    info.replace("<integer>67108864</integer>", "<integer>134217728</integer>");
    writeFile(image + "/Info.plist", info.toUtf8());
    Outcome finished = hdiutil({"resize", "-stdinpass", "-size", "128m", image}, kPassword);
    ASSERT_EQ(finished.status, 0) << finished.err.toStdString();
    EXPECT_EQ(sizeInInfoPlist(image), "134217728");
    mountPoint = attach(image);
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(mountPoint.toUtf8().constData(), &fs), 0);
    EXPECT_GT(fs.f_blocks * fs.f_frsize, 100ull << 20);
    EXPECT_EQ(readFile(mountPoint + "/data.bin"), data);
    EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
    detach(mountPoint);
}

// Once its disk service is gone the volume takes no more writes (they would be lost): the kernel
// turns it read-only on the first failed write. The next attach clears the dead volume away and
// replays the journal, and everything synced before is there.
TEST_F(DiskImageTools, KilledServiceTurnsTheVolumeReadOnlyAndTheNextAttachKeepsTheSyncedData) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("S", "S", "128m");
    QString mountPoint = attach(image);
    QByteArray synced = randomBytes(4 << 20);
    writeFile(mountPoint + "/synced.bin", synced);
    const int pid = servicePid(image);
    ASSERT_GT(pid, 0);

    // A writer is busy in the volume when the service dies; the kill comes after its first write.
    int started[2];
    ASSERT_EQ(::pipe(started), 0);
    std::thread writer([&] {
        int fd = ::open((mountPoint + "/inflight.bin").toUtf8().constData(), O_WRONLY | O_CREAT, 0600);
        QByteArray chunk = randomBytes(1 << 20);
        for (int i = 0; fd >= 0 && i < 64; ++i) {
            if (::write(fd, chunk.constData(), size_t(chunk.size())) < 0) {
                break;
            }
            if (i == 0) {
                (void)::write(started[1], "x", 1);
            }
        }
        ::close(started[1]);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    });
    char c = 0;
    ASSERT_EQ(::read(started[0], &c, 1), 1);
    ::kill(pid, SIGKILL);
    writer.join();
    ::close(started[0]);

    // Synced writes now fail, and the volume turns read-only (new files are refused with EROFS);
    // nothing pretends to be stored.
    bool readOnly = false;
    QDeadlineTimer ceiling(60000);
    for (int i = 0; !readOnly && !ceiling.hasExpired(); ++i) {
        const QByteArray name = (mountPoint + QStringLiteral("/after-kill-%1.txt").arg(i)).toUtf8();
        int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        readOnly = fd < 0 && errno == EROFS;
        bool stored = fd >= 0 && ::write(fd, "lost?", 5) == 5 && ::fsync(fd) == 0;
        if (fd >= 0) {
            // A sync commits the journal, whose failed write is what turns the volume read-only.
            ::syncfs(fd);
            ::close(fd);
        }
        EXPECT_FALSE(stored && i > 0) << "a synced write was accepted after the disk service died";
    }
    EXPECT_TRUE(readOnly);
    EXPECT_FALSE(listed(mountPoint));

    mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    EXPECT_EQ(readFile(mountPoint + "/synced.bin"), synced);
    EXPECT_TRUE(QDir(mountPoint).entryList({"after-kill-*"}).size() <= 1); // one may have raced the kill
    Outcome v = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_TRUE(v.out.contains("exit code is 0")) << v.out.toStdString();
    detach(mountPoint);
}

TEST_F(DiskImageTools, FileDeletedRightAfterItsLastCloseLeavesNothingBehind) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("H", "H");
    const QString mountPoint = attach(image);
    const QString path = mountPoint + "/temp.bin";
    const QByteArray data = randomBytes(256 << 10);
    for (int i = 0; i < 40; ++i) {
        writeFile(path, data);
        EXPECT_EQ(readFile(path), data);
        ASSERT_EQ(::unlink(path.toUtf8().constData()), 0);
    }
    EXPECT_TRUE(QDir(mountPoint).entryList({".fuse_hidden*"}, QDir::Files | QDir::Hidden).isEmpty());
    detach(mountPoint);
}

// The service keeps the image key in locked memory left out of core dumps, and no process of the
// same user without CAP_SYS_PTRACE can open its memory, while that process can open the memory of
// a peer that did not protect itself.
TEST_F(DiskImageTools, DiskServiceKeepsItsKeyInLockedMemoryThatPeersCannotRead) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = newImage("K", "K");
    QProcess attach;
    withoutPtraceCapability(attach);
    attach.start(toolsDir() + "/hdiutil", {"attach", "-plist", "-stdinpass", image});
    attach.write(kPassword);
    attach.closeWriteChannel();
    attach.waitForFinished(-1);
    ASSERT_EQ(attach.exitCode(), 0) << attach.readAllStandardError().toStdString();
    const QString mountPoint = mountPointIn(QString::fromUtf8(attach.readAllStandardOutput()));
    ASSERT_FALSE(mountPoint.isEmpty());
    const int pid = servicePid(image);
    ASSERT_GT(pid, 0);

    const QString status = QString::fromUtf8(readFile(QStringLiteral("/proc/%1/status").arg(pid)));
    const auto locked =
        QRegularExpression(QStringLiteral("^VmLck:\\s*(\\d+) kB"), QRegularExpression::MultilineOption).match(status);
    ASSERT_TRUE(locked.hasMatch()) << status.toStdString();
    EXPECT_GT(locked.captured(1).toLongLong(), 0);
    bool lockedAndNotDumped = false;
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/smaps").arg(pid)).split('\n')) {
        if (line.startsWith("VmFlags:")) {
            const QList<QByteArray> flags = line.simplified().split(' ');
            lockedAndNotDumped = lockedAndNotDumped || (flags.contains("lo") && flags.contains("dd"));
        }
    }
    EXPECT_TRUE(lockedAndNotDumped) << "no mapping of the service is both locked and left out of dumps";

    writeFile(mountPoint + "/note.txt", "still an ordinary volume");
    EXPECT_EQ(readFile(mountPoint + "/note.txt"), "still an ordinary volume");

    QProcess peer;
    withoutPtraceCapability(peer);
    peer.start("/bin/cat", {});
    ASSERT_TRUE(peer.waitForStarted(-1));
    if (!memoryOpenToPeers(peer.processId())) {
        GTEST_SKIP() << "processes here cannot open a peer's memory even when it allows it (Yama?)";
    }
    EXPECT_FALSE(memoryOpenToPeers(pid));
    peer.closeWriteChannel();
    peer.waitForFinished(-1);
    detach(mountPoint);
}

// Vaults made by earlier versions have a file system without a journal that carries on after
// errors. Their next attach adds a journal where there is room and turns them read-only on errors;
// a full one attaches without a journal. Everything in them stays, and they check clean.
TEST_F(DiskImageTools, VolumesWithoutAJournalGetOneOnTheirNextAttachAndKeepTheirFiles) {
    SKIP_WITHOUT_MOUNTS();
    const QString roomy = s.path("Old.sparsebundle");
    const QString full = s.path("OldFull.sparsebundle");
    const QByteArray data = randomBytes(3 << 20);
    QByteArray filled;
    {
        EarlierTools earlier(s.path("earlier-tools"));
        createImage(roomy, "Old");
        createImage(full, "OldFull");
        QString mountPoint = attach(roomy);
        ASSERT_FALSE(mountPoint.isEmpty());
        const QString superblock = superblockOf(mountPoint);
        ASSERT_FALSE(hasJournal(superblock)) << superblock.toStdString();
        ASSERT_EQ(errorsBehaviour(superblock), "Continue");
        ASSERT_TRUE(QDir(mountPoint).mkdir("folder"));
        writeFile(mountPoint + "/folder/data.bin", data);
        writeFile(mountPoint + "/small.txt", "written by the earlier tools");
        detach(mountPoint);

        // No room left for a journal: filled to the last block.
        mountPoint = attach(full);
        ASSERT_FALSE(mountPoint.isEmpty());
        QFile ballast(mountPoint + "/ballast.bin");
        ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
        const QByteArray chunk = randomBytes(1 << 20);
        while (ballast.write(chunk) == chunk.size() && ballast.flush()) {
        }
        ballast.close();
        ::sync();
        filled = readFile(mountPoint + "/ballast.bin");
        ASSERT_GT(filled.size(), 32 << 20);
        detach(mountPoint);
    }

    QString mountPoint = attach(roomy);
    ASSERT_FALSE(mountPoint.isEmpty());
    QString superblock = superblockOf(mountPoint);
    EXPECT_TRUE(hasJournal(superblock)) << superblock.toStdString();
    EXPECT_EQ(errorsBehaviour(superblock), "Remount read-only");
    EXPECT_EQ(readFile(mountPoint + "/folder/data.bin"), data);
    EXPECT_EQ(readFile(mountPoint + "/small.txt"), "written by the earlier tools");
    Outcome checked = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_TRUE(checked.out.contains("exit code is 0")) << checked.out.toStdString();
    detach(mountPoint);

    mountPoint = attach(full);
    ASSERT_FALSE(mountPoint.isEmpty());
    superblock = superblockOf(mountPoint);
    EXPECT_EQ(errorsBehaviour(superblock), "Remount read-only");
    EXPECT_EQ(readFile(mountPoint + "/ballast.bin"), filled);
    checked = runTool("diskutil", {"verifyVolume", mountPoint});
    EXPECT_TRUE(checked.out.contains("exit code is 0")) << checked.out.toStdString();
    detach(mountPoint);
}

// A loop device keeps its queue settings after it is let go: the next user of one a volume had must
// not inherit the read-ahead the disk service set, which makes a loop device without direct I/O
// read several times slower.
TEST_F(DiskImageTools, ADetachedVolumesLoopDeviceGetsBackItsQueueSettings) {
    SKIP_WITHOUT_MOUNTS();
    if (::geteuid() != 0 || !qEnvironmentVariableIsEmpty("LARKHOLD_VOLUME_BACKEND")) {
        GTEST_SKIP() << "only the kernel's own path tunes its loop device";
    }
    const QString image = newImage("Tuned", "Tuned");
    // The kernel's default read-ahead on every free loop device, so that the one the volume takes
    // is known to have had it.
    for (const QString& name : QDir("/sys/block").entryList({"loop*"}, QDir::Dirs | QDir::System)) {
        if (!QFile::exists("/sys/block/" + name + "/loop")) {
            writeFile("/sys/block/" + name + "/queue/read_ahead_kb", "128");
        }
    }
    const QString mountPoint = attach(image);
    ASSERT_FALSE(mountPoint.isEmpty());
    struct stat st {};
    ASSERT_EQ(::stat(mountPoint.toUtf8().constData(), &st), 0);
    const QString device = QFileInfo(QStringLiteral("/sys/dev/block/%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev)))
                               .canonicalFilePath();
    const QString readAhead = device + "/queue/read_ahead_kb";
    EXPECT_EQ(readFile(readAhead).trimmed(), "32768");
    detach(mountPoint);
    if (QFile::exists(device + "/loop")) {
        GTEST_SKIP() << "another volume took the loop device at once";
    }
    EXPECT_EQ(readFile(readAhead).trimmed(), "128");
}

// A whole vault on a folder that can only be read is said to be that, not to have a part missing,
// by every command that would write it; a wrong password still reads as one.
TEST_F(DiskImageTools, AVaultOnAReadOnlyFolderIsSaidToBeOneAndNotDamaged) {
    SKIP_WITHOUT_MOUNTS();
    const QString image = s.path("Shelf.sparsebundle");
    createImage(image, "Shelf");
    const QString view = s.path("view");
    QDir().mkpath(view);
    if (::mount(s.path("").toUtf8().constData(), view.toUtf8().constData(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "cannot bind-mount here";
    }
    ASSERT_EQ(::mount(nullptr, view.toUtf8().constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    const QString shown = view + "/Shelf.sparsebundle";
    for (const QStringList& command : {QStringList{"attach", "-plist", "-stdinpass", shown},
                                       QStringList{"resize", "-size", "128m", "-stdinpass", shown},
                                       QStringList{"compact", "-stdinpass", shown}}) {
        Outcome r = hdiutil(command, kPassword);
        EXPECT_EQ(r.status, 95) << command.first().toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("can only be read")) << r.err.toStdString();
    }
    EXPECT_EQ(hdiutil({"attach", "-plist", "-stdinpass", shown}, "not the password").status, 80);
    ::umount2(view.toUtf8().constData(), MNT_DETACH);
}
