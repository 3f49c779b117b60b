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
    bool anythingMounted() const { return hdiutil({"info", "-plist"}).out.contains(scratch.mountRoot()); }

    // The stand-in tools with one command of hdiutil or diskutil answered by a shell snippet
    // (which sees the command's arguments as "$@"); everything else goes to the real tools.
    QString toolsWhere(const QString& tool, const QString& verb, const QByteArray& snippet) const {
        const QString dir = scratch.path("broken-" + tool + "-" + verb);
        QDir().mkpath(dir);
        for (const char* name : {"hdiutil", "diskutil", "mdutil"}) {
            if (tool != name) {
                QFile::link(toolsDir() + "/" + name, dir + "/" + name);
            }
        }
        QFile script(dir + "/" + tool);
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nreal='" + toolsDir().toUtf8() + "/" + tool.toUtf8() +
                     "'\nif [ \"$1\" = " + verb.toUtf8() + " ]; then " + snippet + "; fi\nexec \"$real\" \"$@\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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

// Each broken tool ends the run at a different step, with volumes attached at that moment: the
// ending names what went wrong, and no decrypted volume nor the work folder outlives the run.
TEST_F(StandardSelfTestRun, EveryFailedEndingDetachesWhatTheRunAttachedAndRemovesTheFolder) {
    SKIP_WITHOUT_MOUNTS();
    struct Case {
        const char* tool;
        const char* verb;
        QByteArray snippet;
        QString ending;
    };
    const Case cases[] = {
        // Any password opens the image: the check of the wrong password fails, volume attached.
        {"hdiutil", "attach", "cat >/dev/null; printf trialrun-code | \"$real\" \"$@\"; exit $?",
         "wrong password was accepted"},
        // Renaming fails while the hidden volume is attached: an error naming the volume, not the tool's text.
        {"diskutil", "rename", "echo 'rename refused' >&2; exit 1", "“TarnSelfTest” could not be renamed."},
        // The password change does nothing: the old password opens the volume again.
        {"hdiutil", "chpass", "cat >/dev/null; exit 0", "old password still accepted after change"},
        // The rename reports success but keeps the old name.
        {"diskutil", "rename", "exit 0", "volume rename did not stick"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ending.toStdString());
        DiskImage engine(DiskImageTools::inFolder(toolsWhere(c.tool, c.verb, c.snippet)));
        QString ending;
        try {
            StandardSelfTest::run(engine);
        } catch (const std::exception& e) {
            ending = QString::fromUtf8(e.what());
        }
        EXPECT_EQ(ending, c.ending);
        EXPECT_FALSE(anythingMounted());
        EXPECT_TRUE(workFolders().isEmpty());
    }
}

TEST_F(StandardSelfTestRun, MissingToolEndsWithTheLaunchErrorAndNoFolder) {
    DiskImage engine(DiskImageTools::inFolder(scratch.path("no-such-folder")));
    EXPECT_THROW(StandardSelfTest::run(engine), ProcessLaunchError);
    EXPECT_TRUE(workFolders().isEmpty());
}
