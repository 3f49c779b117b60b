#include "Startup.h"

#include "Defaults.h"
#include "SettingsKeys.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace larkhold;
using Startup::Mode;

namespace {

Mode modeOf(std::initializer_list<const char*> switches) {
    QStringList arguments{QStringLiteral("/usr/bin/larkhold")};
    for (const char* s : switches)
        arguments << QString::fromUtf8(s);
    return Startup::modeFor(arguments);
}

} // namespace

TEST(Startup, switchesCountOnlyAsWholeArguments) {
    EXPECT_EQ(modeOf({}), Mode::application);
    EXPECT_EQ(modeOf({"--selftest-pocket"}), Mode::pocketSelfTest);
    EXPECT_EQ(modeOf({"--selftest"}), Mode::standardSelfTest);
    // Both given: the Pocket self-test alone, whatever the order.
    EXPECT_EQ(modeOf({"--selftest", "--selftest-pocket"}), Mode::pocketSelfTest);
    EXPECT_EQ(modeOf({"--selftest-pocket", "--selftest"}), Mode::pocketSelfTest);
    // Prefixes, values and other spellings are not switches.
    EXPECT_EQ(modeOf({"--selftest-pocket=1"}), Mode::application);
    EXPECT_EQ(modeOf({"--selftest-pockets"}), Mode::application);
    EXPECT_EQ(modeOf({"--selftest=yes"}), Mode::application);
    EXPECT_EQ(modeOf({"--SELFTEST"}), Mode::application);
    EXPECT_EQ(modeOf({"-selftest"}), Mode::application);
}

TEST(Startup, onlyExistingFilesAndFoldersAreHandedOverNeverSwitches) {
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("Photos"));
    QFile file(dir.filePath(QStringLiteral("notes.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    QFile dashed(dir.filePath(QStringLiteral("--help")));
    ASSERT_TRUE(dashed.open(QIODevice::WriteOnly));
    dashed.close();
    const QStringList arguments{QStringLiteral("/usr/bin/larkhold"),
                                QStringLiteral("--help"),
                                QStringLiteral("Photos/"),
                                QStringLiteral("-x"),
                                QStringLiteral("gone.txt"),
                                dir.filePath(QStringLiteral("notes.txt")),
                                QString()};
    const QList<QUrl> files = Startup::filesFrom(arguments, dir.path());
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0], QUrl::fromLocalFile(dir.filePath(QStringLiteral("Photos"))));
    EXPECT_EQ(files[0].fileName(), QStringLiteral("Photos")) << "a trailing slash as shells complete folders";
    EXPECT_EQ(files[1].fileName(), QStringLiteral("notes.txt"));
    EXPECT_EQ(Startup::existingFilesLater(Startup::filePathsFrom(arguments, dir.path())).result(), files);
}

TEST(Startup, selfTestVerdictAndExitStatus) {
    std::thread::id bodyThread;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Startup::runSelfTest([&] { bodyThread = std::this_thread::get_id(); }), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SELFTEST OK\n");
    EXPECT_NE(bodyThread, std::this_thread::get_id());

    testing::internal::CaptureStdout();
    EXPECT_EQ(Startup::runSelfTest([] { throw std::runtime_error("POCKET: something broke — badly"); }), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SELFTEST FAIL: POCKET: something broke — badly\n");
}

class TakeOver : public ::testing::Test {
protected:
    QString file(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

    QTemporaryDir dir_;
    Defaults own{file("own.ini")};
    QSettings predecessor{file("predecessor.ini"), QSettings::IniFormat};
};

TEST_F(TakeOver, firstStartCopiesEverythingAndOverridesDefaults) {
    predecessor.setValue(QStringLiteral("autoLockMinutes"), 42);
    predecessor.setValue(QStringLiteral("appTheme"), QStringLiteral("nightWatch"));
    predecessor.setValue(QStringLiteral("somethingOnlyItKnew"), QStringLiteral("kept"));
    own.setValue(QStringLiteral("appTheme"), QStringLiteral("classic"));

    Startup::takeOverPredecessorPreferences(own, predecessor);
    SettingsKeys::registerDefaults(own);

    EXPECT_EQ(own.intValue(SettingsKeys::autoLockMinutes), 42);
    EXPECT_EQ(own.stringValue(SettingsKeys::appTheme), QStringLiteral("nightWatch"));
    EXPECT_EQ(own.value(QStringLiteral("somethingOnlyItKnew")).toString(), QStringLiteral("kept"));
    EXPECT_TRUE(own.boolValue(SettingsKeys::lockOnQuit)); // untouched keys read their defaults
    EXPECT_TRUE(own.contains(SettingsKeys::migratedFromTarnFolder));
    // The predecessor's preferences are only read.
    EXPECT_EQ(predecessor.allKeys().size(), 3);
}

TEST_F(TakeOver, happensOnceEvenWithoutPredecessor) {
    Startup::takeOverPredecessorPreferences(own, predecessor);
    EXPECT_TRUE(own.boolValue(SettingsKeys::migratedFromTarnFolder.name));
    EXPECT_EQ(own.settings().allKeys(), QStringList{QStringLiteral("migratedFromTarnFolder")});

    // A predecessor that shows up later is not taken over again.
    predecessor.setValue(QStringLiteral("autoLockMinutes"), 5);
    Startup::takeOverPredecessorPreferences(own, predecessor);
    EXPECT_FALSE(own.contains(SettingsKeys::autoLockMinutes));
}

TEST_F(TakeOver, flagStoredAsFalseStillCountsAsDone) {
    own.setValue(SettingsKeys::migratedFromTarnFolder, false);
    predecessor.setValue(QStringLiteral("lockOnSleep"), false);
    Startup::takeOverPredecessorPreferences(own, predecessor);
    EXPECT_FALSE(own.contains(SettingsKeys::lockOnSleep));
}

// The claim is on the folder itself: nothing a cleaner or a restore does inside it lets a second start in,
// and a folder that cannot be claimed refuses the start rather than letting it go ahead unclaimed.
TEST(Startup, theDataFolderClaimCannotBeBypassedAndAFailureRefusesTheStart) {
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("Larkhold"));
    EXPECT_EQ(Startup::claimDataFolder(folder), Startup::FolderClaim::claimed);
    EXPECT_EQ(Startup::claimDataFolder(folder), Startup::FolderClaim::heldElsewhere);
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(folder + QLatin1Char('/') + name);
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent"), folder + QStringLiteral("/running.lock")));
    EXPECT_EQ(Startup::claimDataFolder(folder), Startup::FolderClaim::heldElsewhere);

    QFile blocker(home.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_EQ(Startup::claimDataFolder(blocker.fileName() + QStringLiteral("/Larkhold")), Startup::FolderClaim::failed);

    const AlertSpec held = Startup::refusalAlert(Startup::FolderClaim::heldElsewhere);
    EXPECT_EQ(held.text, QStringLiteral("Larkhold is already running for this user, in another session."));
    const AlertSpec failed = Startup::refusalAlert(Startup::FolderClaim::failed);
    EXPECT_TRUE(failed.text.startsWith(QStringLiteral("Larkhold cannot start")));
    EXPECT_FALSE(failed.informativeText.contains(folder)) << "no internal path";
}
