#include "DiskImage.h"

#include "AttachedRegistry.h"
#include "DiskUsage.h"
#include "FileLook.h"
#include "Plist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QThreadPool>
#include <QVariantList>
#include <QVariantMap>
#include <QtConcurrent/QtConcurrentRun>
#include <limits>
#include <qcoro/qcorofuture.h>
#include <unistd.h>

namespace larkhold {

DiskImageError::DiskImageError(Kind kind, const QString& message)
    : std::runtime_error(message.toStdString()), kind_(kind) {}

DiskImageError DiskImageError::commandFailed(const QString& message) {
    return DiskImageError(Kind::commandFailed, message);
}

DiskImageError DiskImageError::badPassword() {
    return DiskImageError(Kind::badPassword, QStringLiteral("Wrong password."));
}

DiskImageError DiskImageError::notWritten(const QString& message, bool diskFull) {
    return DiskImageError(diskFull ? Kind::diskFull : Kind::notWritten, message);
}

DiskImageError DiskImageError::limitBelowUse() {
    return commandFailed(QStringLiteral("The new limit is smaller than the space the files inside currently use. "
                                        "Delete files first (and reclaim free space), or choose a larger limit."));
}

DiskImageTools DiskImageTools::inFolder(const QString& folder) {
    DiskImageTools tools;
    tools.hdiutil = QDir(folder).filePath(QStringLiteral("hdiutil"));
    tools.diskutil = QDir(folder).filePath(QStringLiteral("diskutil"));
    tools.mdutil = QDir(folder).filePath(QStringLiteral("mdutil"));
    tools.opener = QStringLiteral("/usr/bin/xdg-open");
    return tools;
}

DiskImageTools DiskImageTools::defaults() {
    const QString override = qEnvironmentVariable("LARKHOLD_TOOLS_DIR");
    DiskImageTools tools = inFolder(
        !override.isEmpty() && QDir::isAbsolutePath(override) ? override : QStringLiteral(LARKHOLD_LIBEXEC_DIR));
    tools.listInProcess = true;
    return tools;
}

namespace {

// UTF-8 straight into a wiping buffer, so that no unwiped copy of the password is left behind.
// Stateless: a lone surrogate at the end becomes U+FFFD like one in the middle, instead of being
// held back for a next chunk that never comes (which would make "abc" open a vault of "abc\uD800").
SecureBytes passwordData(const QString& password) {
    QStringEncoder encoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    SecureBytes bytes(static_cast<std::size_t>(encoder.requiredSpace(password.size())));
    char* start = reinterpret_cast<char*>(bytes.data());
    char* end = encoder.appendToBuffer(start, password);
    bytes.resize(static_cast<std::size_t>(end - start));
    return bytes;
}

// Decoded whole and unchanged, line breaks included; bytes that are not UTF-8 give no text at all
// rather than a half-garbled message. Stateless, so that output breaking off inside a character
// counts as not UTF-8 instead of being cut short silently.
QString decodeUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless);
    QString text = decoder(bytes);
    return decoder.hasError() ? QString() : text;
}

QString sizeArgument(qint64 megabytes) {
    return QString::number(megabytes) + QLatin1Char('m');
}

// What the user was doing when a tool failed, for the sentence that tells them.
enum class Step { create, unlock, lock, rename, changePassword, resize, compact, checkPassword };

QString quoted(const QString& name) {
    return QStringLiteral("“") + name + QStringLiteral("”");
}

// The vault a bundle path belongs to, as the user named it.
QString vaultNameAt(const QString& path) {
    return QFileInfo(QDir::cleanPath(path)).completeBaseName();
}

// What a volume's folder says of its vault's name, for callers that do not know the vault: the
// folder may carry only the first 16 bytes of it (a file system label).
QString vaultNameMountedAt(const QString& mountPoint) {
    return QFileInfo(QDir::cleanPath(mountPoint)).fileName();
}

QString couldNot(Step step, const QString& name) {
    const QString vault = quoted(name);
    switch (step) {
    case Step::create:
        return QStringLiteral("%1 could not be created.").arg(vault);
    case Step::unlock:
        return QStringLiteral("%1 could not be unlocked.").arg(vault);
    case Step::lock:
        return QStringLiteral("%1 could not be locked.").arg(vault);
    case Step::rename:
        return QStringLiteral("%1 could not be renamed.").arg(vault);
    case Step::changePassword:
        return QStringLiteral("The password of %1 could not be changed.").arg(vault);
    case Step::resize:
        return QStringLiteral("The size limit of %1 could not be changed.").arg(vault);
    case Step::compact:
        return QStringLiteral("Free space in %1 could not be reclaimed.").arg(vault);
    case Step::checkPassword:
        return QStringLiteral("The password of %1 could not be checked.").arg(vault);
    }
    return {};
}

// The kinds of failure the tools report as their exit status (tools/diskimage/README.md,
// "Failures"). Any other status is a failure of no kind this system knows.
enum class ToolFailure : int {
    busy = 16,
    wrongPassword = 80,
    hostDiskFull = 81,
    missingPart = 82,
    storageFailed = 83,
    unsafeMountRoot = 84,
    damagedFileSystem = 85,
    needsRepair = 86,
    notAuthorized = 87,
    authorizationCancelled = 88,
    fuseRefusesSystem = 89,
    loopDeviceUnseen = 90,
    limitBelowUse = 91,
    invalidName = 92,
    notFound = 93,
    notPermitted = 94,
    readOnlyDisk = 95,
    diskServiceFailed = 96,
    diskServiceNotRunning = 97,
};

// The tool's own sentence, from the last line of the form "<tool>: <verb> failed - <sentence>";
// empty when there is none or it is not fit for the user: more than one line, not UTF-8, or
// naming a path.
QString toolSentence(const QByteArray& standardError) {
    const QStringList lines = decodeUtf8(standardError).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QLatin1String marker(" failed - ");
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        const QString& line = lines[i];
        const qsizetype at = line.indexOf(marker);
        if (at < 0 || !(line.startsWith(QLatin1String("hdiutil: ")) || line.startsWith(QLatin1String("diskutil: "))))
            continue;
        const QString sentence = line.mid(at + marker.size()).trimmed();
        if (sentence.isEmpty() || sentence.contains(QLatin1Char('/')) || sentence.contains(QLatin1Char('\r')))
            return {};
        return sentence;
    }
    return {};
}

// The one place where a tool's failure becomes what the user reads: which vault, what happened,
// what to do, in this system's words. Only a failure of no known kind shows the tool's sentence,
// and only when it names no path.
QString userSentence(Step step, const QString& name, int status, const QString& sentence) {
    const QString vault = quoted(name);
    const QString failed = couldNot(step, name);
    switch (static_cast<ToolFailure>(status)) {
    case ToolFailure::busy:
        return step == Step::lock
                   ? QStringLiteral("%1 is in use — close the files open in it, then lock again.").arg(vault)
                   : QStringLiteral("%1 is in use — close the files open in it, then try again.").arg(vault);
    case ToolFailure::wrongPassword:
        return QStringLiteral("Wrong password for %1.").arg(vault);
    case ToolFailure::hostDiskFull:
        return step == Step::lock ? QStringLiteral("%1 could not be locked because the disk that holds it is full — "
                                                   "make room on it, then lock it again.")
                                        .arg(vault)
                                  : failed + QStringLiteral(" The disk is full — make room on it, then try again.");
    case ToolFailure::missingPart:
        return failed + QStringLiteral(" A part of its file is missing or cannot be read.");
    case ToolFailure::storageFailed:
        return failed + QStringLiteral(" Its file could not be written to its disk.");
    case ToolFailure::unsafeMountRoot:
        return failed + QStringLiteral(" The folder where unlocked vaults appear is not safe to use: it must belong "
                                       "to you, and nobody else may be able to change it.");
    case ToolFailure::damagedFileSystem:
        return failed + QStringLiteral(" Its file system is damaged and could not be repaired.");
    case ToolFailure::needsRepair:
        return failed + QStringLiteral(" Its file system has errors — unlock it once to have them repaired, then "
                                       "try again.");
    case ToolFailure::notAuthorized:
        return failed + QStringLiteral(" This computer does not allow you to use its disk. An administrator can "
                                       "allow it in the polkit rules for udisks2.");
    case ToolFailure::authorizationCancelled:
        return failed + QStringLiteral(" The request for permission was cancelled.");
    case ToolFailure::fuseRefusesSystem:
        return failed + QStringLiteral(" The system’s disk service may not read it: an administrator must add the "
                                       "line “user_allow_other” to /etc/fuse.conf.");
    case ToolFailure::loopDeviceUnseen:
        return failed + QStringLiteral(" This computer does not look into the vault’s disk (udev is not running, or "
                                       "its rules skip loop devices); an administrator must change that.");
    case ToolFailure::limitBelowUse:
        return DiskImageError::limitBelowUse().message();
    case ToolFailure::invalidName:
        return QStringLiteral("%1 can’t be used as a vault name.").arg(vault);
    case ToolFailure::notPermitted:
        return failed + QStringLiteral(" Larkhold may not change its file.");
    case ToolFailure::readOnlyDisk:
        return failed + QStringLiteral(" Its disk can only be read.");
    case ToolFailure::diskServiceFailed:
        return failed + QStringLiteral(" The system’s disk service (udisks2) ran into a problem with its disk.");
    case ToolFailure::diskServiceNotRunning:
        return failed + QStringLiteral(" The system’s disk service is not running; an administrator must start "
                                       "udisks2.");
    case ToolFailure::notFound:
        return failed + (step == Step::lock || step == Step::rename ? QStringLiteral(" It is not open.")
                                                                    : QStringLiteral(" Its file is not where it was."));
    }
    return sentence.isEmpty() ? failed : failed + QLatin1Char(' ') + sentence;
}

// The tool ran and failed: a wrong password where the operation can recognise one, otherwise this
// system's sentence for what went wrong.
void throwIfFailed(const ProcessResult& result, Step step, const QString& name, bool recognisesBadPassword) {
    if (result.status == 0)
        return;
    if (recognisesBadPassword && result.status == static_cast<int>(ToolFailure::wrongPassword))
        throw DiskImageError::badPassword();
    throw DiskImageError::commandFailed(userSentence(step, name, result.status, toolSentence(result.standardError)));
}

// Every text "mount-point" of an array of entity dictionaries, in order; nullopt when the value
// is not such an array.
std::optional<QStringList> entityMountPoints(const QVariant& entities) {
    if (entities.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    QStringList mountPoints;
    for (const QVariant& entity : entities.toList()) {
        if (entity.typeId() != QMetaType::QVariantMap)
            return std::nullopt;
        const QVariant mountPoint = entity.toMap().value(QStringLiteral("mount-point"));
        if (mountPoint.typeId() == QMetaType::QString)
            mountPoints.append(mountPoint.toString());
    }
    return mountPoints;
}

struct RunOutcome {
    std::optional<ProcessResult> result;
    QString launchError;
};

} // namespace

DiskImage::DiskImage(DiskImageTools tools) : tools_(std::move(tools)) {}

namespace {

// The threads that wait for children. A child occupies its thread until it exits, and there is no
// time-out, so the runs get threads of their own: a few hung tools must not hold up the shared
// pool, which derives keys and saves Pocket Vaults. Never destroyed, so that quitting does not
// wait for a hung tool either. A burst (a long list's sizes at launch takes a few dozen threads) is
// let go soon after it, not half a minute into the idle time that follows.
QThreadPool& toolThreads() {
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(256);
        threads->setExpiryTimeout(2000);
        return threads;
    }();
    return *pool;
}

QCoro::Task<ProcessResult> awaitOutcome(QFuture<RunOutcome> future) {
    const RunOutcome outcome = co_await future;
    if (!outcome.result)
        throw ProcessLaunchError(outcome.launchError);
    co_return *outcome.result;
}

} // namespace

// Deliberately not a coroutine: g++ 12 destroys the captures of a lambda made inside a coroutine's
// co_await expression twice, so the worker is made here and only its future is awaited.
QCoro::Task<ProcessResult> DiskImage::run(QString program, QStringList arguments,
                                          std::optional<SecureBytes> standardInput) const {
    // The worker owns the only copy of the input and wipes it as soon as the child has it.
    auto worker = [program = std::move(program), arguments = std::move(arguments),
                   input = std::move(standardInput)]() mutable {
        RunOutcome o;
        try {
            o.result = input ? runProcess(program, arguments, ByteView(*input)) : runProcess(program, arguments);
        } catch (const std::exception& e) {
            o.launchError = QString::fromUtf8(e.what());
        }
        if (input)
            wipe(input->data(), input->size());
        return o;
    };
    return awaitOutcome(QtConcurrent::run(&toolThreads(), std::move(worker)));
}

bool DiskImage::hidesVolumes() {
    // The tools' own choice of how to mount (tools/diskimage/README.md).
    const QString backend = qEnvironmentVariable("LARKHOLD_VOLUME_BACKEND");
    return backend.isEmpty() ? ::geteuid() == 0 : backend == QLatin1String("kernel");
}

int DiskImage::runningTools() {
    return toolThreads().activeThreadCount();
}

QCoro::Task<> DiskImage::create(QString path, QString volumeName, qint64 maxSizeMB, QString password) const {
    const QStringList arguments{QStringLiteral("create"),
                                QStringLiteral("-encryption"),
                                QStringLiteral("AES-256"),
                                QStringLiteral("-stdinpass"),
                                QStringLiteral("-type"),
                                QStringLiteral("SPARSEBUNDLE"),
                                QStringLiteral("-fs"),
                                QStringLiteral("APFS"),
                                QStringLiteral("-size"),
                                sizeArgument(maxSizeMB),
                                QStringLiteral("-volname"),
                                volumeName,
                                path};
    auto running = run(tools_.hdiutil, arguments, passwordData(password));
    const ProcessResult result = co_await running;
    throwIfFailed(result, Step::create, volumeName, false);
}

QCoro::Task<QString> DiskImage::attach(QString path, QString password, bool nobrowse) const {
    auto attaching = attachReporting(std::move(path), std::move(password), nobrowse);
    const Attachment attached = co_await attaching;
    co_return attached.mountPoint;
}

QString DiskImage::repairNoteFromAttachError(const QByteArray& standardError) {
    // A successful attach speaks on standard error only of a repair, one "hdiutil: attach: " line.
    const QLatin1String prefix("hdiutil: attach: ");
    QStringList notes;
    for (const QString& line : decodeUtf8(standardError).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(prefix))
            notes.append(line.mid(prefix.size()).trimmed());
    }
    return notes.join(QLatin1Char(' '));
}

QCoro::Task<DiskImage::Attachment> DiskImage::attachReporting(QString path, QString password, bool nobrowse) const {
    QStringList arguments{QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-stdinpass")};
    if (nobrowse)
        arguments.append(QStringLiteral("-nobrowse"));
    arguments.append(path);
    auto running = run(tools_.hdiutil, arguments, passwordData(password));
    const ProcessResult result = co_await running;
    throwIfFailed(result, Step::unlock, vaultNameAt(path), true);
    const std::optional<QString> mountPoint = mountPointFromAttachOutput(result.standardOutput);
    if (!mountPoint)
        throw DiskImageError::commandFailed(QStringLiteral("Vault unlocked but no mount point was reported."));
    co_return Attachment{*mountPoint, repairNoteFromAttachError(result.standardError)};
}

QCoro::Task<> DiskImage::detach(QString mountPoint, bool force, QString vaultName) const {
    QStringList arguments{QStringLiteral("detach"), mountPoint};
    if (force)
        arguments.append(QStringLiteral("-force"));
    auto running = run(tools_.hdiutil, arguments);
    const ProcessResult result = co_await running;
    const QString name = vaultName.isEmpty() ? vaultNameMountedAt(mountPoint) : vaultName;
    if (result.status == static_cast<int>(ToolFailure::hostDiskFull) ||
        result.status == static_cast<int>(ToolFailure::storageFailed))
        throw DiskImageError::notWritten(userSentence(Step::lock, name, result.status, {}),
                                         result.status == static_cast<int>(ToolFailure::hostDiskFull));
    throwIfFailed(result, Step::lock, name, false);
}

QCoro::Task<> DiskImage::renameVolume(QString mountPoint, QString newName, QString vaultName) const {
    const QStringList arguments{QStringLiteral("rename"), mountPoint, newName};
    auto running = run(tools_.diskutil, arguments);
    const ProcessResult result = co_await running;
    // A name the tools refuse is named itself; any other failure names the vault.
    if (result.status == static_cast<int>(ToolFailure::invalidName))
        throwIfFailed(result, Step::rename, newName, false);
    throwIfFailed(result, Step::rename, vaultName.isEmpty() ? vaultNameMountedAt(mountPoint) : vaultName, false);
}

QCoro::Task<> DiskImage::changePassword(QString path, QString oldPassword, QString newPassword) const {
    // Both passwords on one input, each ended by a zero byte.
    SecureBytes input = passwordData(oldPassword);
    input.push_back(0);
    const SecureBytes second = passwordData(newPassword);
    input.insert(input.end(), second.begin(), second.end());
    input.push_back(0);
    const QStringList arguments{QStringLiteral("chpass"), QStringLiteral("-oldstdinpass"),
                                QStringLiteral("-newstdinpass"), path};
    auto running = run(tools_.hdiutil, arguments, std::move(input));
    const ProcessResult result = co_await running;
    throwIfFailed(result, Step::changePassword, vaultNameAt(path), true);
}

QCoro::Task<> DiskImage::resize(QString path, qint64 newSizeMB, QString password) const {
    const QStringList arguments{QStringLiteral("resize"), QStringLiteral("-stdinpass"), QStringLiteral("-size"),
                                sizeArgument(newSizeMB), path};
    auto running = run(tools_.hdiutil, arguments, passwordData(password));
    const ProcessResult result = co_await running;
    throwIfFailed(result, Step::resize, vaultNameAt(path), true);
}

QCoro::Task<> DiskImage::compact(QString path, QString password) const {
    const QStringList arguments{QStringLiteral("compact"), QStringLiteral("-stdinpass"), path};
    auto running = run(tools_.hdiutil, arguments, passwordData(password));
    const ProcessResult result = co_await running;
    throwIfFailed(result, Step::compact, vaultNameAt(path), true);
}

QCoro::Task<QString> DiskImage::verify(QString path, QString password) const {
    auto attaching = attachReporting(path, password, true);
    const Attachment attached = co_await attaching;
    const QString& attachedAt = attached.mountPoint;

    std::optional<ProcessResult> check;
    try {
        const QStringList arguments{QStringLiteral("verifyVolume"), attachedAt};
        auto checking = run(tools_.diskutil, arguments);
        check = co_await checking;
    } catch (const ProcessLaunchError&) {
    }

    // The tool may have remounted the volume elsewhere while checking it.
    auto listing = mountPoint(path);
    const std::optional<QString> current = co_await listing;
    try {
        auto detaching = detach(current.value_or(attachedAt), false, vaultNameAt(path));
        co_await detaching;
    } catch (const std::exception&) {
        // The verdict matters more than an image left attached; a later lock or refresh sees it.
    }

    if (!check)
        throw DiskImageError::commandFailed(QStringLiteral("Verification could not be run."));
    const QString report = decodeUtf8(check->standardOutput) + decodeUtf8(check->standardError);
    const bool clean = check->status == 0 && report.contains(QLatin1String("exit code is 0"));
    // Damage mended while mounting for the check is still damage the user must hear of: files may
    // have lost their place.
    if (clean && attached.repairNote.isEmpty())
        co_return QStringLiteral("healthy");
    QStringList lines;
    if (!clean) {
        lines = report.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (lines.size() > 3)
            lines = lines.mid(lines.size() - 3);
    }
    if (!attached.repairNote.isEmpty())
        lines.prepend(attached.repairNote);
    throw DiskImageError::commandFailed(QStringLiteral("Verification reported problems:\n") +
                                        lines.join(QLatin1Char('\n')));
}

QCoro::Task<> DiskImage::verifyPassword(QString path, QString password) const {
    const QStringList arguments{QStringLiteral("imageinfo"), QStringLiteral("-stdinpass"), path};
    auto running = run(tools_.hdiutil, arguments, passwordData(password));
    const ProcessResult result = co_await running;
    throwIfFailed(result, Step::checkPassword, vaultNameAt(path), true);
}

QCoro::Task<std::optional<AttachedImages>> DiskImage::attachedImages() const {
    if (tools_.listInProcess) {
        // No program to start at every refresh, the first one at launch included.
        QFuture<std::optional<AttachedImages>> reading = QtConcurrent::run(&toolThreads(), &readAttachedRegistry);
        co_return co_await reading;
    }
    std::optional<ProcessResult> result;
    try {
        const QStringList arguments{QStringLiteral("info"), QStringLiteral("-plist")};
        auto running = run(tools_.hdiutil, arguments);
        result = co_await running;
    } catch (const ProcessLaunchError&) {
        co_return std::nullopt;
    }
    if (result->status != 0)
        co_return std::nullopt;
    co_return attachedImagesFromInfoOutput(result->standardOutput);
}

QCoro::Task<std::optional<QString>> DiskImage::mountPoint(QString path) const {
    auto running = attachedImages();
    const std::optional<AttachedImages> images = co_await running;
    if (!images)
        co_return std::nullopt;
    // Paths as written first. Resolving links reads the file system, which on a share that stopped
    // answering could hold a lock-all: it runs on a thread of its own, and a look that has not
    // answered in time finds nothing.
    const QString clean = QDir::cleanPath(path);
    for (auto it = images->cbegin(); it != images->cend(); ++it)
        if (QDir::cleanPath(it.key()) == clean)
            co_return it.value();
    constexpr std::chrono::milliseconds deadline{3000};
    auto resolving = lookInThread<std::optional<QString>>(
        [path, images = *images]() -> std::optional<QString> {
            const QString wanted = resolvedImagePath(path);
            for (auto it = images.cbegin(); it != images.cend(); ++it)
                if (resolvedImagePath(it.key()) == wanted)
                    return it.value();
            return std::nullopt;
        },
        deadline, std::nullopt);
    co_return co_await resolving;
}

QCoro::Task<qint64> DiskImage::sizeOnDisk(QString path) const {
    if (tools_.du.isEmpty()) {
        // Counted here, on the tools' threads: no program to start for each vault.
        QFuture<std::optional<qint64>> measuring =
            QtConcurrent::run(&toolThreads(), [path] { return diskUsageBytes(path); });
        const std::optional<qint64> bytes = co_await measuring;
        co_return bytes.value_or(0);
    }
    try {
        const QStringList arguments{QStringLiteral("-sk"), path};
        auto running = run(tools_.du, arguments);
        const ProcessResult result = co_await running;
        co_return result.status == 0 ? bytesFromDuOutput(result.standardOutput) : 0;
    } catch (const ProcessLaunchError&) {
        co_return 0;
    }
}

QCoro::Task<> DiskImage::excludeFromSpotlight(QString mountPoint) const {
    const QString marker = QDir(mountPoint).filePath(QStringLiteral(".metadata_never_index"));
    // On the tools' threads too: a volume whose file system stopped answering must not hold up
    // the shared pool.
    QFuture<void> marking = QtConcurrent::run(&toolThreads(), [marker] {
        // NewOnly leaves a marker that is already there alone.
        QFile file(marker);
        (void)file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    });
    co_await marking;
    try {
        const QStringList arguments{QStringLiteral("-i"), QStringLiteral("off"), mountPoint};
        auto running = run(tools_.mdutil, arguments);
        co_await running;
    } catch (const ProcessLaunchError&) {
    }
}

QCoro::Task<bool> DiskImage::openFolder(QString path) const {
    try {
        const QStringList arguments{path};
        auto running = run(tools_.opener, arguments);
        const ProcessResult result = co_await running;
        co_return result.status == 0;
    } catch (const ProcessLaunchError&) {
        co_return false;
    }
}

std::optional<QString> DiskImage::mountPointFromAttachOutput(const QByteArray& plist) {
    const std::optional<QVariant> root = Plist::parse(plist);
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const std::optional<QStringList> mountPoints =
        entityMountPoints(root->toMap().value(QStringLiteral("system-entities")));
    if (!mountPoints || mountPoints->isEmpty())
        return std::nullopt;
    return mountPoints->first();
}

namespace {

// The listing with every byte that is not UTF-8, and every control character XML forbids, read
// as U+FFFD: one entry with such a path (written by some other program) then matches no vault
// instead of making the whole listing unreadable and every volume vanish.
QByteArray withReadableText(const QByteArray& plist) {
    QString text = QString::fromUtf8(plist);
    for (QChar& c : text)
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            c = QChar::ReplacementCharacter;
    return text.toUtf8();
}

} // namespace

std::optional<AttachedImages> DiskImage::attachedImagesFromInfoOutput(const QByteArray& plist) {
    std::optional<QVariant> root = Plist::parse(plist);
    if (!root)
        root = Plist::parse(withReadableText(plist));
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariant images = root->toMap().value(QStringLiteral("images"));
    if (images.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    const QVariantList list = images.toList();
    for (const QVariant& image : list)
        if (image.typeId() != QMetaType::QVariantMap)
            return std::nullopt;

    AttachedImages attached;
    for (const QVariant& image : list) {
        const QVariantMap fields = image.toMap();
        const QVariant imagePath = fields.value(QStringLiteral("image-path"));
        if (imagePath.typeId() != QMetaType::QString)
            continue;
        const std::optional<QStringList> mountPoints =
            entityMountPoints(fields.value(QStringLiteral("system-entities")));
        if (!mountPoints || mountPoints->isEmpty())
            continue;
        attached.insert(imagePath.toString(), mountPoints->first());
    }
    return attached;
}

qint64 DiskImage::bytesFromDuOutput(const QByteArray& output) {
    const QStringList pieces = decodeUtf8(output).split(QLatin1Char('\t'), Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return 0;
    bool ok = false;
    const qint64 kilobytes = pieces.first().toLongLong(&ok, 10);
    if (!ok)
        return 0;
    constexpr qint64 limit = std::numeric_limits<qint64>::max() / 1024;
    if (kilobytes > limit || kilobytes < -limit)
        return 0;
    return kilobytes * 1024;
}

QString resolvedImagePath(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

} // namespace larkhold
