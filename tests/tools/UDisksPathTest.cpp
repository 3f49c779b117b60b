// The desktop user's way to a mounted volume: the tools ask udisks over the system bus to set up
// a loop device from the open disk and to mount it, and report where udisks put it. Here a
// stand-in answers on a private bus (tests/tools/udisks_standin.py) with real loop devices and
// mounts, as root; DesktopUserVolumeTest.cpp goes through the real udisks2 as a desktop user.
#include "ToolHarness.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <csignal>
#include <sys/mount.h>

using namespace tooltest;

namespace {

constexpr const char* kPython = "/usr/bin/python3"; // the one dbusmock is installed for

QString standInReason() {
    if (::geteuid() != 0) {
        return QStringLiteral("the udisks stand-in makes real loop devices and mounts, which takes root");
    }
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
        return QStringLiteral("dbus-daemon is not installed");
    }
    QProcess probe;
    probe.start(QLatin1String(kPython), {"-c", "import dbusmock"});
    probe.waitForFinished(-1);
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
        return QStringLiteral("python3-dbusmock is not installed");
    }
    return {};
}

class UDisksPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (QString reason = mountUnavailableReason(); !reason.isEmpty()) {
            GTEST_SKIP() << reason.toStdString();
        }
        if (QString reason = standInReason(); !reason.isEmpty()) {
            GTEST_SKIP() << reason.toStdString();
        }
        QDir().mkpath(udisksRoot());
        const QString address = "unix:path=" + s.path("system_bus_socket");
        bus_.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address});
        ASSERT_TRUE(bus_.waitForStarted(-1));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
        qputenv("LARKHOLD_VOLUME_BACKEND", "udisks");
        standIn_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        standIn_.start(QLatin1String(kPython), {"-m", "dbusmock", "--system", "--template",
                                                QStringLiteral(LARKHOLD_TEST_SOURCE_DIR) + "/udisks_standin.py",
                                                "--parameters", "{\"mount_root\": \"" + udisksRoot() + "\"}"});
        ASSERT_TRUE(standIn_.waitForStarted(-1));
        // Ready once it owns its name on the bus.
        QDeadlineTimer ceiling(60000);
        bool ready = false;
        while (!ready && !ceiling.hasExpired()) {
            QProcess ask;
            ask.start("dbus-send",
                      {"--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.UDisks2"});
            ask.waitForFinished(-1);
            ready = ask.readAllStandardOutput().contains("boolean true");
        }
        ASSERT_TRUE(ready) << "the udisks stand-in did not come up";
    }

    // Everything attached is detached while the stand-in still answers; whatever a failed test
    // left mounted below the stand-in's folder is unmounted after.
    void TearDown() override {
        if (standIn_.state() == QProcess::Running) {
            QString plist = hdiutil({"info", "-plist"}).out;
            QRegularExpression re(QStringLiteral("<key>mount-point</key>\\s*<string>([^<]*)</string>"));
            for (auto it = re.globalMatch(plist); it.hasNext();) {
                hdiutil({"detach", it.next().captured(1), "-force"});
            }
            standIn_.terminate();
            standIn_.waitForFinished(-1);
        }
        if (bus_.state() == QProcess::Running) {
            bus_.terminate();
            bus_.waitForFinished(-1);
        }
        QFile mounts("/proc/self/mounts");
        if (mounts.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : mounts.readAll().split('\n')) {
                const QList<QByteArray> fields = line.split(' ');
                if (fields.size() > 1 && fields[1].startsWith(udisksRoot().toUtf8())) {
                    ::umount2(fields[1].constData(), MNT_DETACH);
                }
            }
        }
        qunsetenv("LARKHOLD_VOLUME_BACKEND");
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    QString udisksRoot() const { return s.path("media"); }

    Scratch s;
    QProcess bus_;
    QProcess standIn_;
};

} // namespace

TEST_F(UDisksPath, VolumeLivesThroughUDisksWhereItChoosesToMountIt) {
    const QString image = s.path("Desk.sparsebundle");
    createImage(image, "Desk Vault");
    QString mountPoint = attach(image);
    // udisks names the folder after the label, and the tool reports what udisks chose.
    ASSERT_EQ(mountPoint, udisksRoot() + "/Desk Vault");
    EXPECT_TRUE(listed(mountPoint));
    const QByteArray data = randomBytes(2 << 20);
    writeFile(mountPoint + "/data.bin", data);

    // Renaming sets the label and has udisks mount the volume again under it.
    Outcome renamed = runTool("diskutil", {"rename", mountPoint, "Renamed"});
    ASSERT_EQ(renamed.status, 0) << renamed.err.toStdString();
    mountPoint = udisksRoot() + "/Renamed";
    EXPECT_TRUE(listed(mountPoint));
    EXPECT_EQ(readFile(mountPoint + "/data.bin"), data);

    // Checked unmounted when it can be, and in place while a file is open.
    EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
    EXPECT_TRUE(listed(mountPoint));
    {
        QFile open(mountPoint + "/data.bin");
        ASSERT_TRUE(open.open(QIODevice::ReadOnly));
        EXPECT_TRUE(runTool("diskutil", {"verifyVolume", mountPoint}).out.contains("exit code is 0"));
        Outcome busy = hdiutil({"detach", mountPoint});
        EXPECT_EQ(busy.status, 16);
        EXPECT_TRUE(busy.err.contains("Resource busy")) << busy.err.toStdString();
    }
    detach(mountPoint);
    EXPECT_FALSE(listed(mountPoint));
    EXPECT_FALSE(QFile::exists(mountPoint)); // udisks removed its folder

    mountPoint = attach(image);
    EXPECT_EQ(mountPoint, udisksRoot() + "/Renamed");
    EXPECT_EQ(readFile(mountPoint + "/data.bin"), data);
    writeFile(mountPoint + "/late.txt", "written before a forced detach");
    {
        QFile open(mountPoint + "/late.txt");
        ASSERT_TRUE(open.open(QIODevice::ReadOnly));
        detach(mountPoint, true);
    }
    mountPoint = attach(image);
    EXPECT_EQ(readFile(mountPoint + "/late.txt"), "written before a forced detach");
    detach(mountPoint);
}

// polkit's refusals, which the real daemon shows only with an agent a person answers: the user
// reads why in plain words, never "authentication" (the application's sign of a wrong password),
// and nothing stays mounted. The first refusal keeps the disk's descriptor open, which must not
// keep the next attach waiting for the failed one's service.
TEST_F(UDisksPath, RefusedPermissionIsToldInPlainWords) {
    const QString image = s.path("Shut.sparsebundle");
    createImage(image, "Shut");
    const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    for (const char* refusal : {"NotAuthorizedDismissed", "NotAuthorizedCanObtain"}) {
        const bool keepsDescriptor = refusal == std::string("NotAuthorizedDismissed");
        QProcess refuse;
        refuse.start("dbus-send",
                     {"--bus=" + address, "--print-reply", "--dest=org.freedesktop.UDisks2",
                      "/org/freedesktop/UDisks2/Manager", "org.freedesktop.DBus.Mock.AddMethod",
                      "string:org.freedesktop.UDisks2.Manager", "string:LoopSetup", "string:ha{sv}", "string:o",
                      QStringLiteral("string:%1\n"
                                     "raise dbus.exceptions.DBusException('Not authorized to perform "
                                     "operation', name='org.freedesktop.UDisks2.Error.%2')")
                          .arg(keepsDescriptor ? QLatin1String("__import__('builtins').kept = args[0].take()")
                                               : QLatin1String("__import__('os').close(args[0].take())"),
                               QLatin1String(refusal))});
        refuse.waitForFinished(-1);
        ASSERT_EQ(refuse.exitCode(), 0) << refuse.readAllStandardError().toStdString();
        Outcome r = hdiutil({"attach", "-plist", "-stdinpass", image}, kPassword);
        EXPECT_NE(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(refusal == std::string("NotAuthorizedDismissed")
                                       ? "request for permission was cancelled"
                                       : "does not allow you"))
            << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("uthentication")) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("org.freedesktop")) << r.err.toStdString();
        EXPECT_TRUE(hdiutil({"info", "-plist"}).out.indexOf("mount-point") < 0);
    }
}
