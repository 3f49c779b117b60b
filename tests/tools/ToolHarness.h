#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// Runs the built stand-in tools as the application does: by path, password on standard input.
namespace tooltest {

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

inline QString toolsDir() {
    return QStringLiteral(LARKHOLD_TEST_TOOLS_DIR);
}

inline Outcome runTool(const QString& tool, const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    p.start(toolsDir() + QLatin1Char('/') + tool, args);
    p.waitForStarted(-1);
    if (!input.isEmpty()) {
        p.write(input);
    }
    p.closeWriteChannel();
    p.waitForFinished(-1);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : 128, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

inline Outcome hdiutil(const QStringList& args, const QByteArray& input = {}) {
    return runTool(QStringLiteral("hdiutil"), args, input);
}

inline QString mountPointIn(const QString& plist) {
    QRegularExpression re(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
    auto m = re.match(plist);
    return m.hasMatch() ? m.captured(1).replace(QLatin1String("&amp;"), QLatin1String("&")) : QString();
}

// Volumes made, attached and used as the application would.
inline const QByteArray kPassword = "correct horse";

inline void createImage(const QString& path, const QString& volume, const QString& size = QStringLiteral("64m"),
                        const QByteArray& password = kPassword) {
    Outcome r = hdiutil({"create", "-encryption", "AES-256", "-stdinpass", "-type", "SPARSEBUNDLE", "-fs", "APFS",
                         "-size", size, "-volname", volume, path},
                        password);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
}

inline QString attach(const QString& path, const QByteArray& password = kPassword, bool hidden = false) {
    QStringList args{"attach", "-plist", "-stdinpass"};
    if (hidden) {
        args << "-nobrowse";
    }
    Outcome r = hdiutil(args << path, password);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    return mountPointIn(r.out);
}

inline void detach(const QString& mountPoint, bool force = false) {
    QStringList args{"detach", mountPoint};
    if (force) {
        args << "-force";
    }
    Outcome r = hdiutil(args);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
}

inline QByteArray randomBytes(qsizetype n) {
    QByteArray bytes(n, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), n / 4);
    return bytes;
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
    f.flush();
    ::fsync(f.handle());
}

inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Every file of a bundle, names and contents, in one digest.
inline QByteArray bundleDigest(const QString& bundle) {
    QStringList files;
    for (QDirIterator it(bundle, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        files << it.next();
    }
    files.sort();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString& file : files) {
        hash.addData(file.toUtf8());
        hash.addData(readFile(file));
    }
    return hash.result();
}

// The attached image's service: the process that forked from "hdiutil attach … <image>".
inline int servicePid(const QString& image) {
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const int pid = entry.toInt(&number);
        const QByteArray cmd = readFile("/proc/" + entry + "/cmdline");
        if (number && cmd.contains("attach") && cmd.contains(image.toUtf8()) && pid != ::getpid()) {
            return pid;
        }
    }
    return 0;
}

inline bool listed(const QString& mountPoint) {
    return hdiutil({"info", "-plist"}).out.contains("<string>" + mountPoint + "</string>");
}

// Fills the host disk at `folder` with a ballast file, then gives back `room` bytes of it.
inline void fillLeaving(const QString& folder, qint64 room) {
    QFile ballast(folder + "/ballast");
    ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
    const QByteArray chunk(1 << 20, 'b');
    while (ballast.write(chunk) == chunk.size() && ballast.flush()) {
    }
    ballast.close();
    ASSERT_TRUE(ballast.resize(std::max<qint64>(0, ballast.size() - room)));
}

// A file copied into an open vault as a file manager copies (no fsync), on a host disk with too
// little room left for it, then the lock. "Locked" must mean written: either the lock is refused
// as a full host disk, the volume stays and the file reads whole, or the file is there once the
// host has room and the vault is attached again. Either way the vault ends up locked.
inline void expectALockToKeepAnUnsyncedCopy(const QString& image, const QString& mountPoint, const QString& host,
                                            qint64 room, qint64 copied) {
    fillLeaving(host, room);
    const QByteArray bytes = randomBytes(copied);
    {
        QFile copy(mountPoint + "/copied.bin");
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
        ASSERT_EQ(copy.write(bytes), bytes.size());
    }
    const Outcome locked = hdiutil({"detach", mountPoint});
    if (locked.status != 0) {
        EXPECT_EQ(locked.status, 81) << locked.err.toStdString();
        EXPECT_TRUE(listed(mountPoint));
        EXPECT_TRUE(readFile(mountPoint + "/copied.bin") == bytes);
        ASSERT_TRUE(QFile::remove(host + "/ballast"));
        // Each failed write is told once; the kernel's write-back may still have met the full disk
        // between the refusal and the room made, so a retry may be refused once more, then goes ahead.
        Outcome retried = hdiutil({"detach", mountPoint});
        for (int tries = 0; retried.status == 81 && tries < 3; ++tries)
            retried = hdiutil({"detach", mountPoint});
        EXPECT_EQ(retried.status, 0) << retried.err.toStdString();
        EXPECT_FALSE(listed(mountPoint));
        return;
    }
    EXPECT_FALSE(listed(mountPoint));
    ASSERT_TRUE(QFile::remove(host + "/ballast"));
    const QString again = attach(image);
    ASSERT_FALSE(again.isEmpty());
    EXPECT_TRUE(readFile(again + "/copied.bin") == bytes) << "locked, but the copy is not on disk";
    detach(again);
}

// Why a test that mounts cannot run here, or empty when it can.
inline QString mountUnavailableReason() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        return QStringLiteral("/dev/fuse is not available");
    }
    for (const char* tool : {"/usr/bin/fusermount3", "/usr/sbin/mkfs.ext4", "/usr/sbin/resize2fs"}) {
        if (::access(tool, X_OK) != 0) {
            return QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
        }
    }
    // Volumes are mounted with the kernel's ext4 on loop devices, which takes root here (a
    // desktop user goes through udisks, tested against a stand-in of its own).
    if (::geteuid() != 0 || ::access("/dev/loop-control", R_OK | W_OK) != 0) {
        return QStringLiteral("loop devices need root and /dev/loop-control");
    }
    return {};
}

// A scratch folder whose volumes are mounted inside it, with the tools' state in a runtime folder
// of its own, so tests running side by side never see each other's volumes. Every volume still
// attached from it is detached by force before it is removed, so a failing test leaves no mount
// behind.
class Scratch {
public:
    // The tools report mount points with symbolic links resolved, so the root is kept that way.
    Scratch() : root_(QFileInfo(dir_.path()).canonicalFilePath() + QStringLiteral("/volumes")) {
        QDir().mkpath(root_);
        qputenv("LARKHOLD_MOUNT_ROOT", root_.toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
    }
    ~Scratch() {
        QString plist = hdiutil({QStringLiteral("info"), QStringLiteral("-plist")}).out;
        QRegularExpression re(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
        for (auto it = re.globalMatch(plist); it.hasNext();) {
            QString mountPoint = it.next().captured(1);
            if (mountPoint.startsWith(root_)) {
                hdiutil({QStringLiteral("detach"), mountPoint, QStringLiteral("-force")});
            }
        }
    }
    QString path(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }
    const QString& mountRoot() const { return root_; }

private:
    QTemporaryDir runtime_;
    QTemporaryDir dir_;
    QString root_;
};

} // namespace tooltest

#define SKIP_WITHOUT_MOUNTS()                                                                                          \
    do {                                                                                                               \
        if (QString reason = tooltest::mountUnavailableReason(); !reason.isEmpty()) {                                  \
            GTEST_SKIP() << reason.toStdString();                                                                      \
        }                                                                                                              \
    } while (0)
