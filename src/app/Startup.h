#pragma once

#include "Dialogs.h"

#include <QFuture>
#include <QList>
#include <QStringList>
#include <QUrl>
#include <functional>

class QSettings;

namespace larkhold {
class Defaults;
}

namespace larkhold::Startup {

// What the process was started to do. A switch counts only as a whole argument equal to it;
// the Pocket self-test wins when both are given.
enum class Mode { pocketSelfTest, standardSelfTest, application };
Mode modeFor(const QStringList& arguments);

// The files and folders the command line names, in order: every argument (relative ones from
// `workingFolder`) as a clean absolute path, so that its last component is its name ("~/Photos/"
// is "Photos"). Arguments starting with "-" are switches, never files. Looks at nothing.
QStringList filePathsFrom(const QStringList& arguments, const QString& workingFolder);
// Those of `paths` that name something existing, as file URLs: what the command line hands to the
// import window. Looks at the file system.
QList<QUrl> existingFiles(const QStringList& paths);
QList<QUrl> filesFrom(const QStringList& arguments, const QString& workingFolder);
// existingFiles() on a thread of its own that nothing waits for, not even the end of the process:
// a file on a share that stopped answering holds up neither the windows nor the quit.
QFuture<QList<QUrl>> existingFilesLater(const QStringList& paths);

// Runs a self-test body on a worker thread while the calling thread blocks without an event
// loop, then prints the one verdict line: "SELFTEST OK" when the body returns, or
// "SELFTEST FAIL: " and the error's message when it throws. Returns the exit status (0 or 1).
int runSelfTest(const std::function<void()>& body);

// The Pocket self-test's checks with the product's own sync-folder detection; throws at the first
// failure. Also the first half of the full self-test.
void runPocketChecks();

// The Pocket self-test as the command line runs it: runSelfTest(runPocketChecks).
int runPocketSelfTest();

// First start only (while `migratedFromTarnFolder` is absent): copies every value of the
// predecessor's preferences into `own`, replacing values of the same key, then sets the flag,
// also when the predecessor left nothing behind.
void takeOverPredecessorPreferences(Defaults& own, QSettings& predecessor);

// Claims the user's data folder (the vault list's) for this process until it ends: a lock on the
// folder itself, which nothing inside it can take away, whatever session, runtime folder or bus the
// process has. The folder is prepared as the vault list's loading does.
enum class FolderClaim {
    claimed,
    heldElsewhere, // another Larkhold of this user runs
    failed,        // the folder cannot be opened or locked: whether another runs is not known
};
FolderClaim claimDataFolder(const QString& folder);

// The alert that says why Larkhold does not start, for a claim that was not `claimed`.
AlertSpec refusalAlert(FolderClaim claim);

// The application's start before its windows: the take-over on the application's own and the
// predecessor's settings, then the registration of the default settings.
void prepareApplication();

} // namespace larkhold::Startup
