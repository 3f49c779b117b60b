// The standard-vault self-test against the real stand-in tools, and its endings: whatever the
// outcome, nothing stays mounted and the work folder is gone.
#include "StandardSelfTest.h"

#include "Startup.h"
#include "ToolHarness.h"

#include <QFile>

using namespace larkhold;
using namespace tooltest;

namespace {

struct SelfTestFixture : ::testing::Test {
    Scratch scratch;
    QTemporaryDir temp; // stands in for the system's temporary folder

    void SetUp() override { qputenv("TMPDIR", temp.path().toUtf8()); }
    void TearDown() override { qunsetenv("TMPDIR"); }

    QStringList workFolders() const {
        return QDir(temp.path()).entryList({StandardSelfTest::folderPrefix() + "*"}, QDir::Dirs | QDir::Hidden);
    }
    bool anythingMounted() const { return hdiutil({"info", "-plist"}).out.contains(temp.path()); }

    // Tools whose hdiutil opens the image whatever password it is given.
    QString permissiveTools() const {
        const QString dir = scratch.path("permissive");
        QDir().mkpath(dir);
        QFile script(dir + "/hdiutil");
        script.open(QIODevice::WriteOnly);
        script.write(
            "#!/bin/sh\n"
            "real='" +
            toolsDir().toUtf8() +
            "/hdiutil'\n"
            "if [ \"$1\" = attach ]; then cat >/dev/null; printf trialrun-code | \"$real\" \"$@\"; exit $?; fi\n"
            "exec \"$real\" \"$@\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        for (const char* tool : {"diskutil", "mdutil"}) {
            QFile::link(toolsDir() + "/" + tool, dir + "/" + tool);
        }
        return dir;
    }
};

using StandardSelfTestRun = SelfTestFixture;

} // namespace

TEST_F(StandardSelfTestRun, PassesWithTheStandInToolsAndLeavesNothingBehind) {
    SKIP_WITHOUT_MOUNTS();
    DiskImage engine(DiskImageTools::inFolder(toolsDir()));
    // As the command line runs it: on a worker thread of its own while this one only waits.
    EXPECT_EQ(Startup::runSelfTest([&] { StandardSelfTest::run(engine); }), 0);
    EXPECT_TRUE(workFolders().isEmpty());
    EXPECT_FALSE(anythingMounted());
}

TEST_F(StandardSelfTestRun, AcceptedWrongPasswordFailsTheRunAndDetachesTheVolume) {
    SKIP_WITHOUT_MOUNTS();
    DiskImage engine(DiskImageTools::inFolder(permissiveTools()));
    try {
        StandardSelfTest::run(engine);
        FAIL() << "the run passed";
    } catch (const StandardSelfTest::Failure& e) {
        EXPECT_STREQ(e.what(), "wrong password was accepted");
    }
    // The volume opened by the wrong password must not outlive the run, nor may its folder.
    EXPECT_FALSE(anythingMounted());
    EXPECT_TRUE(workFolders().isEmpty());
}

TEST_F(StandardSelfTestRun, MissingToolEndsWithTheLaunchErrorAndNoFolder) {
    DiskImage engine(DiskImageTools::inFolder(scratch.path("no-such-folder")));
    EXPECT_THROW(StandardSelfTest::run(engine), ProcessLaunchError);
    EXPECT_TRUE(workFolders().isEmpty());
}
