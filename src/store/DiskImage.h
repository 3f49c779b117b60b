#pragma once

#include "ProcessRunner.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>
#include <qcoro/qcorotask.h>
#include <stdexcept>

namespace larkhold {

// The disk-image engine's failures. what() (UTF-8) and message() are the text the user sees.
class DiskImageError : public std::runtime_error {
public:
    // notWritten, diskFull: a lock refused because what the volume holds could not be written to
    // its file (diskFull: for want of room on the disk that holds it).
    enum class Kind { commandFailed, badPassword, notWritten, diskFull };

    static DiskImageError commandFailed(const QString& message);
    static DiskImageError badPassword();
    static DiskImageError notWritten(const QString& message, bool diskFull);
    // A new size limit below the space the vault already takes.
    static DiskImageError limitBelowUse();

    Kind kind() const { return kind_; }
    bool isBadPassword() const { return kind_ == Kind::badPassword; }
    bool isNotWritten() const { return kind_ == Kind::notWritten || kind_ == Kind::diskFull; }
    QString message() const { return QString::fromUtf8(what()); }

private:
    DiskImageError(Kind kind, const QString& message);
    Kind kind_;
};

// Absolute paths of the programs the engine runs. They are configuration, never looked up on PATH.
struct DiskImageTools {
    QString hdiutil;  // creates, attaches, detaches, re-keys, resizes, compacts, lists images
    QString diskutil; // renames and verifies volumes
    QString du;       // measures sizes on disk instead of this process (tests); empty: counted here
    QString mdutil;   // switches off search indexing of a volume
    QString opener;   // shows a folder in the desktop's file manager
    // The attached images are read from the tools' registry in this process instead of running
    // `hdiutil info`; only for the real tools.
    bool listInProcess = false;

    // The installed stand-in tools in LARKHOLD_LIBEXEC_DIR and /usr/bin/xdg-open; sizes counted and
    // attached images listed here.
    // When the environment variable LARKHOLD_TOOLS_DIR holds an absolute folder, hdiutil, diskutil
    // and mdutil are taken from there instead: this lets the self-test and development runs use
    // the tools of a build tree without installing them.
    static DiskImageTools defaults();
    // hdiutil, diskutil and mdutil in `folder`; the opener as in defaults().
    static DiskImageTools inFolder(const QString& folder);
};

// Image path → first mount point of every attached disk image.
using AttachedImages = QMap<QString, QString>;

// An image path in the form attached images are matched by, so that a vault and the listing agree:
// links resolved, or the path only cleaned when nothing is there.
QString resolvedImagePath(const QString& path);

// Runs the disk-image tools as child processes. Each operation runs its tool on a worker thread of
// its own and suspends its caller meanwhile. Stateless apart from the tool paths; operations may run side
// by side. Passwords are given to the tools only on standard input.
//
// Throwing operations throw DiskImageError for a tool that failed, and ProcessLaunchError when the
// tool cannot be started at all.
class DiskImage {
public:
    explicit DiskImage(DiskImageTools tools = DiskImageTools::defaults());

    const DiskImageTools& tools() const { return tools_; }

    // Runs any program by absolute path. Throws only ProcessLaunchError.
    QCoro::Task<ProcessResult> run(QString program, QStringList arguments,
                                   std::optional<SecureBytes> standardInput = std::nullopt) const;

    QCoro::Task<> create(QString path, QString volumeName, qint64 maxSizeMB, QString password) const;
    // Where an attached volume is, and what the tool says it had to repair before mounting it
    // (empty when the file system was sound).
    struct Attachment {
        QString mountPoint;
        QString repairNote;
    };
    // With `nobrowse` the volume is not shown in the file manager.
    QCoro::Task<Attachment> attachReporting(QString path, QString password, bool nobrowse) const;
    // The mount point alone, for callers that have nobody to tell about a repair.
    QCoro::Task<QString> attach(QString path, QString password, bool nobrowse) const;
    // `vaultName` is the name the user's messages give the vault; empty: the volume's folder name.
    // A volume whose contents could not all be written to its file stays attached (notWritten),
    // unless `force`.
    QCoro::Task<> detach(QString mountPoint, bool force, QString vaultName = {}) const;
    QCoro::Task<> renameVolume(QString mountPoint, QString newName, QString vaultName = {}) const;
    QCoro::Task<> changePassword(QString path, QString oldPassword, QString newPassword) const;
    QCoro::Task<> resize(QString path, qint64 newSizeMB, QString password) const;
    QCoro::Task<> compact(QString path, QString password) const;
    // Mounts the image hidden, checks its file system and unmounts it. Returns "healthy".
    QCoro::Task<QString> verify(QString path, QString password) const;
    // Returns normally when `password` opens the image.
    QCoro::Task<> verifyPassword(QString path, QString password) const;

    // Never throw. nullopt means the list could not be obtained, which is not the same as
    // "nothing attached": callers must not take it as every image being detached.
    QCoro::Task<std::optional<AttachedImages>> attachedImages() const;
    // The mount point of the image at `path` (symbolic links resolved on both sides); nullopt
    // when it is not attached or the list could not be obtained.
    QCoro::Task<std::optional<QString>> mountPoint(QString path) const;
    // Bytes that a file or bundle occupies on disk; 0 on any failure.
    QCoro::Task<qint64> sizeOnDisk(QString path) const;
    // Leaves a ".metadata_never_index" marker and switches indexing off; failures are ignored.
    QCoro::Task<> excludeFromSpotlight(QString mountPoint) const;
    // Shows a folder in the file manager; false when the opener failed or could not be started.
    QCoro::Task<bool> openFolder(QString path) const;

    // Whether a volume attached with `nobrowse` stays out of the file manager's sight: only where the
    // tools mount with the kernel (as root). Through udisks every volume shows under /media.
    static bool hidesVolumes();

    // How many tools are running now, in this process. Lets a caller wait for runs that nobody
    // awaits (the refresh that adding a vault starts) before it tears their store down.
    static int runningTools();

    // Output readers, public so that they can be checked without running a tool.
    static std::optional<QString> mountPointFromAttachOutput(const QByteArray& plist);
    static QString repairNoteFromAttachError(const QByteArray& standardError);
    static std::optional<AttachedImages> attachedImagesFromInfoOutput(const QByteArray& plist);
    static qint64 bytesFromDuOutput(const QByteArray& output);

private:
    DiskImageTools tools_;
};

} // namespace larkhold
