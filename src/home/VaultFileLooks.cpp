#include "VaultFileLooks.h"

#include <QFile>
#include <cerrno>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>

namespace larkhold {

namespace {

qint64 nanoseconds(const timespec& time) {
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// Local file systems that set a folder's modification time on every entry made, removed or renamed in it. Network
// and FUSE file systems may not, or may show a cached one.
bool keepsFolderTimes(const struct statfs& system) {
    switch (static_cast<unsigned long>(system.f_type)) {
    case EXT4_SUPER_MAGIC: // ext2, ext3 and ext4 alike
    case BTRFS_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

} // namespace

VaultFileLooks::VaultFileLooks(Probe probe, std::chrono::milliseconds folderKept, std::chrono::milliseconds settled)
    : probe_(std::move(probe)), folderKept_(folderKept), settled_(settled) {}

std::optional<VaultFileLooks::Folder> VaultFileLooks::folderNow(const QString& path) {
    const auto now = std::chrono::steady_clock::now();
    {
        const std::lock_guard lock(mutex_);
        const auto seen = folders_.constFind(path);
        if (seen != folders_.cend() && now - seen->at < folderKept_)
            return seen->folder;
    }
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    struct statfs system {};
    std::optional<Folder> folder;
    if (::stat(encoded.constData(), &info) == 0 && S_ISDIR(info.st_mode) && ::statfs(encoded.constData(), &system) == 0 &&
        keepsFolderTimes(system)) {
        timespec wall {};
        ::clock_gettime(CLOCK_REALTIME, &wall);
        const qint64 age = nanoseconds(wall) - nanoseconds(info.st_mtim);
        if (age >= std::chrono::nanoseconds(settled_).count())
            folder = Folder{info.st_dev, info.st_ino, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
    }
    const std::lock_guard lock(mutex_);
    folders_.insert(path, {folder, now});
    return folder;
}

VaultFileState VaultFileLooks::operator()(const QString& bundlePath) {
    // A file looked at before knows its folder's path, and a folder looked at a moment ago is taken as it was: the
    // round over a long list of unchanged folders costs two lookups a vault and no call into the system.
    QString folderPath;
    {
        const std::lock_guard lock(mutex_);
        const auto known = files_.constFind(bundlePath);
        if (known != files_.cend()) {
            const auto seen = folders_.constFind(known->folderPath);
            if (seen != folders_.cend() && std::chrono::steady_clock::now() - seen->at < folderKept_ &&
                seen->folder == known->folder)
                return known->state;
            folderPath = known->folderPath;
        }
    }
    if (folderPath.isNull()) {
        const qsizetype slash = bundlePath.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            folderPath = bundlePath.left(slash);
    }
    const std::optional<Folder> folder = folderPath.isNull() ? std::nullopt : folderNow(folderPath);
    if (folder) {
        const std::lock_guard lock(mutex_);
        const auto known = files_.constFind(bundlePath);
        if (known != files_.cend() && known->folder == *folder)
            return known->state;
    }
    const VaultFileState state = probe_(bundlePath);
    if (!folder)
        return state;
    // A link may point anywhere: what it reaches can change while its folder stays as it was.
    struct stat entry {};
    const QByteArray encoded = QFile::encodeName(bundlePath);
    if (::lstat(encoded.constData(), &entry) == 0 ? S_ISLNK(entry.st_mode) : errno != ENOENT)
        return state;
    // A folder that changes while the file is looked at has another time by the next look: nothing stale is kept.
    const std::lock_guard lock(mutex_);
    files_.insert(bundlePath, {folderPath, *folder, state});
    return state;
}

} // namespace larkhold
