#include "CloudExclusion.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>

namespace larkhold {

namespace {

QString describe(const QString& path, const QString& other) {
    // Names alone read better when both sides share a folder, as in a rename.
    const QFileInfo a(path), b(other);
    return a.absolutePath() == b.absolutePath() ? a.fileName() : a.absoluteFilePath();
}

[[noreturn]] void throwMoveError(const QString& from, const QString& to, int error) {
    const QString source = describe(from, to);
    const QString target = describe(to, from);
    if (error == EEXIST || error == ENOTEMPTY)
        throw FileMoveError(QStringLiteral("“%1” could not be moved to “%2” because an item with that name already "
                                           "exists.")
                                .arg(source, target),
                            EEXIST);
    throw FileMoveError(QStringLiteral("“%1” could not be moved to “%2”: %3.")
                            .arg(source, target, QString::fromStdString(std::generic_category().message(error))),
                        error);
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// File systems without hard links (FAT, some network shares): claim the name with an empty
// placeholder, then rename over it. The rename can only replace the placeholder, unless another
// process deletes it and puts a file of its own there in the moment between the two calls; this
// window is the price of a file system that offers no atomic way.
void renameOverPlaceholderFile(int folder, const QByteArray& f, const QByteArray& t, const QString& from,
                               const QString& to) {
    const int fd = ::openat(folder, t.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throwMoveError(from, to, errno);
    struct stat placeholder {};
    const bool statted = ::fstat(fd, &placeholder) == 0;
    ::close(fd);
    if (::renameat(folder, f.constData(), folder, t.constData()) == 0)
        return;
    const int error = errno;
    struct stat now {};
    if (statted && ::fstatat(folder, t.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, placeholder))
        ::unlinkat(folder, t.constData(), 0);
    throwMoveError(from, to, error);
}

void noReplaceRenameFallbackAt(int folder, const QString& from, const QString& to) {
    const QByteArray f = QFile::encodeName(from);
    const QByteArray t = QFile::encodeName(to);
    struct stat source {};
    if (::fstatat(folder, f.constData(), &source, AT_SYMLINK_NOFOLLOW) != 0)
        throwMoveError(from, to, errno);

    if (S_ISDIR(source.st_mode)) {
        // A folder cannot be hard-linked. Claiming the name with mkdir() is atomic, and rename()
        // replaces a folder only while it is empty, so nothing that holds data can be lost: at
        // worst an empty folder that another process made in place of ours.
        if (::mkdirat(folder, t.constData(), 0700) != 0)
            throwMoveError(from, to, errno);
        if (::renameat(folder, f.constData(), folder, t.constData()) == 0)
            return;
        const int error = errno;
        ::unlinkat(folder, t.constData(), AT_REMOVEDIR); // only succeeds while it is still our empty placeholder
        throwMoveError(from, to, error);
    }

    // link() refuses an existing target atomically; the old name is dropped only afterwards.
    if (::linkat(folder, f.constData(), folder, t.constData(), 0) == 0) {
        if (::unlinkat(folder, f.constData(), 0) == 0)
            return;
        const int error = errno;
        ::unlinkat(folder, t.constData(), 0);
        throwMoveError(from, to, error);
    }
    const int error = errno;
    if (error == EPERM || error == EOPNOTSUPP || error == EMLINK || error == ENOSYS) {
        renameOverPlaceholderFile(folder, f, t, from, to);
        return;
    }
    throwMoveError(from, to, error);
}

QString withoutTrailingSlashes(const QString& path) {
    QString p = path;
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p;
}

// The extension is what follows the last dot of the name, as long as the dot neither starts
// nor ends the name.
struct SplitName {
    QString withoutExtension; // full path
    QString extension;
};

SplitName splitExtension(const QString& path) {
    const QString p = withoutTrailingSlashes(path);
    const qsizetype slash = p.lastIndexOf(u'/');
    const qsizetype dot = p.lastIndexOf(u'.');
    if (dot > slash + 1 && dot < p.size() - 1)
        return {p.left(dot), p.mid(dot + 1)};
    return {p, {}};
}

QString withExtension(const QString& base, const QString& extension) {
    return extension.isEmpty() ? base : base + u'.' + extension;
}

// Follows symbolic links as far as the path exists and keeps the rest as written, so that a
// vault that is not there yet still resolves through a linked parent folder.
QString resolveSymlinks(const QString& path) {
    const QString absolute =
        QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    QString existing = absolute;
    QStringList rest;
    while (true) {
        const QString canonical = QFileInfo(existing).canonicalFilePath();
        if (!canonical.isEmpty()) {
            if (rest.isEmpty())
                return canonical;
            return (canonical == u"/" ? QString() : canonical) + u'/' + rest.join(u'/');
        }
        const qsizetype slash = existing.lastIndexOf(u'/');
        if (slash < 0)
            return absolute;
        rest.prepend(existing.mid(slash + 1));
        existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
    }
}

struct SyncFolder {
    const char16_t* folder;
    const char16_t* displayName;
};

constexpr SyncFolder kSyncFolders[] = {
    {u"Dropbox", u"Dropbox"},
    {u"GoogleDrive", u"Google Drive"},
    {u"Google Drive", u"Google Drive"},
    {u"OneDrive", u"OneDrive"},
    {u"Box", u"Box"},
    {u"ProtonDrive", u"Proton Drive"},
    // The folders the Linux clients make by default.
    {u"Nextcloud", u"Nextcloud"},
    {u"ownCloud", u"ownCloud"},
    {u"Insync", u"Insync"},
    {u"pCloudDrive", u"pCloud"},
    {u"MEGA", u"MEGA"},
    {u"MEGAsync", u"MEGA"},
    {u"Seafile", u"Seafile"},
    {u"Sync", u"Syncthing"},
};

bool inside(const QString& path, const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    return !clean.isEmpty() && clean != u"/" && (path == clean || path.startsWith(clean + u'/'));
}

// The local folders a Nextcloud or ownCloud client syncs, from its configuration
// ("0\Folders\1\localPath=/home/me/Work/").
QStringList desktopClientFolders(const QString& configFile) {
    QStringList folders;
    QFile file(configFile);
    if (!file.open(QIODevice::ReadOnly))
        return folders;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine(64 * 1024)).trimmed();
        const qsizetype equals = line.indexOf(u'=');
        if (equals > 0 && line.left(equals).endsWith(QLatin1String("localPath")))
            folders.append(line.mid(equals + 1));
    }
    return folders;
}

// The folders Syncthing shares, from the path attributes of its configuration's folder elements.
QStringList syncthingFolders(const QString& configFile, const QString& home) {
    QStringList folders;
    QFile file(configFile);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 16 * 1024 * 1024)
        return folders;
    const QString text = QString::fromUtf8(file.readAll());
    static const QRegularExpression folder(QStringLiteral(R"re(<folder\b[^>]*\bpath="([^"]*)")re"));
    for (auto it = folder.globalMatch(text); it.hasNext();) {
        QString path = it.next().captured(1);
        path.replace(QLatin1String("&amp;"), QLatin1String("&")).replace(QLatin1String("&quot;"), QLatin1String("\""));
        if (path.startsWith(QLatin1String("~/")))
            path = home + path.mid(1);
        folders.append(path);
    }
    return folders;
}

// The file system type of the mount holding the path, from the mount table.
QString mountTypeOf(const QString& path) {
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return {};
    QString bestPoint;
    QString bestType;
    while (!mounts.atEnd()) {
        const QList<QByteArray> fields = mounts.readLine().split(' ');
        if (fields.size() < 3)
            continue;
        // Spaces and other characters in mount points are written as octal escapes.
        QString point = QString::fromUtf8(fields[1]);
        point.replace(QLatin1String("\\040"), QLatin1String(" "));
        if ((path == point || path.startsWith(point == u"/" ? point : point + u'/')) &&
            point.size() >= bestPoint.size()) {
            bestPoint = point;
            bestType = QString::fromUtf8(fields[2]);
        }
    }
    return bestType;
}

} // namespace

FileMoveError::FileMoveError(const QString& message, int errorCode)
    : std::runtime_error(message.toStdString()), errorCode_(errorCode) {}

void noReplaceRename(const QString& from, const QString& to) {
    noReplaceRenameAt(AT_FDCWD, from, to);
}

void noReplaceRenameAt(int folder, const QString& from, const QString& to) {
    const QByteArray f = QFile::encodeName(from);
    const QByteArray t = QFile::encodeName(to);
    if (::renameat2(folder, f.constData(), folder, t.constData(), RENAME_NOREPLACE) == 0)
        return;
    const int error = errno;
    // EINVAL: the file system does not know the flag; ENOSYS: neither does the kernel.
    if (error == EINVAL || error == ENOSYS) {
        noReplaceRenameFallbackAt(folder, from, to);
        return;
    }
    throwMoveError(from, to, error);
}

namespace detail {

void noReplaceRenameFallback(const QString& from, const QString& to) {
    noReplaceRenameFallbackAt(AT_FDCWD, from, to);
}

} // namespace detail

namespace CloudExclusion {

QString exclude(const QString& path) {
    const SplitName name = splitExtension(path);
    QString result = withoutTrailingSlashes(path);
    if (name.extension != QLatin1String(kExtension)) {
        result = withExtension(name.withoutExtension, QString::fromLatin1(kExtension));
        noReplaceRename(path, result);
    }
    // Best effort: a file system without user attributes still has the extension.
    ::setxattr(QFile::encodeName(result).constData(), kIgnoreAttribute, "1", 1, 0);
    // The Linux Dropbox client skips what carries its own attribute.
    ::setxattr(QFile::encodeName(result).constData(), kDropboxIgnoreAttribute, "1", 1, 0);
    return result;
}

QString include(const QString& path, const QString& restoredExtension) {
    const SplitName name = splitExtension(path);
    QString result = withoutTrailingSlashes(path);
    if (name.extension == QLatin1String(kExtension)) {
        result = withExtension(name.withoutExtension, restoredExtension);
        noReplaceRename(path, result);
    }
    ::removexattr(QFile::encodeName(result).constData(), kIgnoreAttribute);
    ::removexattr(QFile::encodeName(result).constData(), kDropboxIgnoreAttribute);
    return result;
}

std::optional<QString> thirdPartySyncService(const QString& path, const QString& homeFolder) {
    const QString resolved = resolveSymlinks(path);
    const QString home = resolveSymlinks(homeFolder.isEmpty() ? QDir::homePath() : homeFolder);

    const QString cloudStorage = home + QStringLiteral("/Library/CloudStorage/");
    if (resolved.startsWith(cloudStorage)) {
        const QString rest = resolved.mid(cloudStorage.size());
        const QString component = rest.split(u'/', Qt::SkipEmptyParts).value(0);
        const QString provider = component.split(u'-', Qt::SkipEmptyParts).value(0);
        for (const SyncFolder& row : kSyncFolders) {
            if (provider == QStringView(row.folder))
                return QString::fromUtf16(row.displayName);
        }
        return QStringLiteral("a cloud service");
    }

    for (const SyncFolder& row : kSyncFolders) {
        const QString folder = home + u'/' + QString::fromUtf16(row.folder);
        if (resolved == folder || resolved.startsWith(folder + u'/'))
            return QString::fromUtf16(row.displayName);
    }
    const QString config = home + QStringLiteral("/.config");
    for (const QString& folder : desktopClientFolders(config + QStringLiteral("/Nextcloud/nextcloud.cfg")))
        if (inside(resolved, resolveSymlinks(folder)))
            return QStringLiteral("Nextcloud");
    for (const QString& folder : desktopClientFolders(config + QStringLiteral("/ownCloud/owncloud.cfg")))
        if (inside(resolved, resolveSymlinks(folder)))
            return QStringLiteral("ownCloud");
    for (const QString& file : {config + QStringLiteral("/syncthing/config.xml"),
                                home + QStringLiteral("/.local/state/syncthing/config.xml")})
        for (const QString& folder : syncthingFolders(file, home))
            if (inside(resolved, resolveSymlinks(folder)))
                return QStringLiteral("Syncthing");
    if (mountTypeOf(resolved) == u"fuse.rclone")
        return QStringLiteral("rclone");
    return std::nullopt;
}

bool isInsideICloudDrive(const QString& path) {
    // Linux has no ubiquitous-item flag to ask; the path is all there is. The desktop's own online
    // accounts (GVfs) upload what is written to their folders.
    return path.contains(QStringLiteral("/Library/Mobile Documents/")) ||
           mountTypeOf(resolveSymlinks(path)) == u"fuse.gvfsd-fuse";
}

} // namespace CloudExclusion

} // namespace larkhold
