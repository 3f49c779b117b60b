#include "Startup.h"

#include "CloudExclusion.h"
#include "Defaults.h"
#include "PocketSelfTest.h"
#include "SettingsKeys.h"
#include "VaultList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPromise>
#include <QSettings>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace larkhold::Startup {

namespace {

const QString kPocketSelfTestSwitch = QStringLiteral("--selftest-pocket");
const QString kSelfTestSwitch = QStringLiteral("--selftest");

// The predecessor kept its preferences under this organisation and application name.
const QString kPredecessorName = QStringLiteral("TarnFolder");

void printLine(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

Mode modeFor(const QStringList& arguments) {
    // arguments[0] is the program itself.
    const QStringList switches = arguments.mid(1);
    if (switches.contains(kPocketSelfTestSwitch))
        return Mode::pocketSelfTest;
    if (switches.contains(kSelfTestSwitch))
        return Mode::standardSelfTest;
    return Mode::application;
}

QStringList filePathsFrom(const QStringList& arguments, const QString& workingFolder) {
    QStringList paths;
    for (const QString& argument : arguments.mid(1)) {
        if (argument.isEmpty() || argument.startsWith(QLatin1Char('-')))
            continue;
        paths.append(QDir::cleanPath(QDir(workingFolder).absoluteFilePath(argument)));
    }
    return paths;
}

QList<QUrl> existingFiles(const QStringList& paths) {
    QList<QUrl> files;
    for (const QString& path : paths)
        if (QFileInfo::exists(path))
            files.append(QUrl::fromLocalFile(path));
    return files;
}

QList<QUrl> filesFrom(const QStringList& arguments, const QString& workingFolder) {
    return existingFiles(filePathsFrom(arguments, workingFolder));
}

QFuture<QList<QUrl>> existingFilesLater(const QStringList& paths) {
    QPromise<QList<QUrl>> promise;
    QFuture<QList<QUrl>> future = promise.future();
    promise.start();
    if (paths.isEmpty()) {
        promise.addResult(QList<QUrl>());
        promise.finish();
        return future;
    }
    // Detached: a thread stuck in the kernel on a dead share must not keep the process from ending.
    std::thread([paths, promise = std::move(promise)]() mutable {
        promise.addResult(existingFiles(paths));
        promise.finish();
    }).detach();
    return future;
}

int runSelfTest(const std::function<void()>& body) {
    QString failure;
    bool failed = false;
    // The test runs on a thread of its own and must never need this one, which only waits.
    std::thread worker([&] {
        try {
            body();
        } catch (const std::exception& e) {
            failed = true;
            failure = QString::fromUtf8(e.what());
        } catch (...) {
            failed = true;
            failure = QStringLiteral("unexpected error");
        }
    });
    worker.join();
    printLine(failed ? QStringLiteral("SELFTEST FAIL: ") + failure : QStringLiteral("SELFTEST OK"));
    return failed ? 1 : 0;
}

void runPocketChecks() {
    PocketSelfTest::run([](const QString& path) { return CloudExclusion::thirdPartySyncService(path); });
}

int runPocketSelfTest() {
    return runSelfTest(&runPocketChecks);
}

void takeOverPredecessorPreferences(Defaults& own, QSettings& predecessor) {
    if (own.contains(SettingsKeys::migratedFromTarnFolder))
        return;
    for (const QString& key : predecessor.allKeys())
        own.setValue(key, predecessor.value(key));
    // Set also when there was nothing to copy, so the take-over is tried on the first start only.
    own.setValue(SettingsKeys::migratedFromTarnFolder, true);
}

void prepareApplication() {
    Defaults& own = Defaults::shared();
    // After the first start the predecessor's file is not even looked for.
    if (!own.contains(SettingsKeys::migratedFromTarnFolder)) {
        QSettings predecessor(QSettings::NativeFormat, QSettings::UserScope, kPredecessorName, kPredecessorName);
        takeOverPredecessorPreferences(own, predecessor);
    }
    own.sync();
    SettingsKeys::registerDefaults(own);
}

FolderClaim claimDataFolder(const QString& folder) {
    VaultList(folder).prepareFolder();
    // Held, and never closed, for the life of the process; the kernel lets it go however it ends. A lock
    // on a file inside could be bypassed by deleting or replacing that file.
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return FolderClaim::failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return FolderClaim::claimed;
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? FolderClaim::heldElsewhere : FolderClaim::failed;
}

AlertSpec refusalAlert(FolderClaim claim) {
    AlertSpec alert;
    alert.objectName = QStringLiteral("alreadyRunningAlert");
    alert.buttons = {QStringLiteral("OK")};
    alert.cancelButton = 0;
    alert.icon = QMessageBox::Information;
    if (claim == FolderClaim::heldElsewhere) {
        alert.title = QStringLiteral("Larkhold is already running");
        alert.text = QStringLiteral("Larkhold is already running for this user, in another session.");
        alert.informativeText = QStringLiteral("Use it there, or quit it there first. Only one Larkhold at a time "
                                               "may keep your vault list.");
    } else {
        alert.title = QStringLiteral("Larkhold cannot start");
        alert.icon = QMessageBox::Warning;
        alert.text = QStringLiteral("Larkhold cannot start, because the folder that keeps your vault list cannot "
                                    "be used.");
        alert.informativeText = QStringLiteral("Whether another Larkhold keeps it cannot be told, and two must "
                                               "never keep it at once. Check that your home folder can be "
                                               "written to, then start Larkhold again.");
    }
    return alert;
}

} // namespace larkhold::Startup
