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

VaultFileLooks::VaultFileLooks(Probe probe, std::chrono::milliseconds folderKept, std::chrono::milliseconds settled,
                               std::shared_ptr<FolderWatch> watch)
    : probe_(std::move(probe)), folderKept_(folderKept), settled_(settled), watch_(std::move(watch)) {}

VaultFileLooks::SeenFolder VaultFileLooks::folderNow(const QString& path, bool fresh) {
    const auto now = std::chrono::steady_clock::now();
    std::optional<Folder> before;
    {
        const std::lock_guard lock(mutex_);
        const auto seen = folders_.constFind(path);
        if (seen != folders_.cend()) {
            if (!fresh && now - seen->at < folderKept_)
                return *seen;
            before = seen->folder;
        }
    }
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info {};
    SeenFolder seen;
    seen.at = now;
    if (::stat(encoded.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        const Folder folder{info.st_dev, info.st_ino, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
        // The same folder of the same device with the same times is on the file system it was on: only a folder
        // that changed costs a second call.
        struct statfs system {};
        if (before == folder)
            seen.folder = folder;
        else if (::statfs(encoded.constData(), &system) == 0) {
            seen.untrusted = !keepsFolderTimes(system);
            timespec wall {};
            ::clock_gettime(CLOCK_REALTIME, &wall);
            const qint64 age = nanoseconds(wall) - nanoseconds(info.st_mtim);
            if (!seen.untrusted && age >= std::chrono::nanoseconds(settled_).count())
                seen.folder = folder;
        }
    }
    const std::lock_guard lock(mutex_);
    folders_.insert(path, seen);
    return seen;
}

VaultFileState VaultFileLooks::operator()(const QString& bundlePath) {
    return lookAt(bundlePath).state;
}

VaultFileLooks::Found VaultFileLooks::lookAt(const QString& bundlePath) {
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
                return {known->state, false};
            folderPath = known->folderPath;
        }
    }
    if (folderPath.isNull()) {
        const qsizetype slash = bundlePath.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            folderPath = bundlePath.left(slash);
    }
    const std::optional<Folder> folder = folderPath.isNull() ? std::nullopt : folderNow(folderPath).folder;
    if (folder) {
        const std::lock_guard lock(mutex_);
        const auto known = files_.constFind(bundlePath);
        if (known != files_.cend() && known->folder == *folder)
            return {known->state, false};
    }
    const VaultFileState state = probe_(bundlePath);
    // A link may point anywhere: what it reaches can change while its folder stays as it was.
    struct stat entry {};
    const QByteArray encoded = QFile::encodeName(bundlePath);
    const int looked = ::lstat(encoded.constData(), &entry);
    const bool link = looked == 0 && S_ISLNK(entry.st_mode);
    if (!folder || link || (looked != 0 && errno != ENOENT))
        return {state, link};
    // A folder that changes while the file is looked at has another time by the next look: nothing stale is kept.
    const std::lock_guard lock(mutex_);
    files_.insert(bundlePath, {folderPath, *folder, state});
    return {state, false};
}

FolderLook VaultFileLooks::look(const FolderOfVaults& subject) {
    const bool watched = watch_ && !subject.folder.isEmpty();
    // Where the folder's watch stood before it is looked at: a change it tells from then on is not missed.
    const std::optional<quint64> mark = watched ? watch_->before(subject.folder) : std::nullopt;
    // Read before the files: a folder that changes while they are looked at has another time by the next round.
    // Read now, not as a look at one of its files found it a moment ago, which may be from before that mark.
    const SeenFolder seen = subject.folder.isEmpty() ? SeenFolder{} : folderNow(subject.folder, true);
    if (seen.folder) {
        std::unique_lock lock(mutex_);
        const auto kept = kept_.find(subject.folder);
        if (kept != kept_.end() && kept->folder == *seen.folder && kept->files == subject.files) {
            // The subject's own copy from now on, which the next round finds equal without comparing each file.
            kept->files = subject.files;
            // The very answer given last time, which its receiver finds equal at no cost either.
            FolderLook answer = kept->look;
            lock.unlock();
            if (watched)
                watch_->after(subject.folder, mark, true);
            return answer;
        }
    }
    FolderLook found;
    bool keep = seen.folder.has_value();
    for (auto it = subject.files.cbegin(); it != subject.files.cend(); ++it) {
        const Found file = lookAt(it.value());
        found.states.insert(it.key(), file.state);
        if (file.link || seen.untrusted) {
            found.alone.insert(it.key());
            keep = false;
        }
    }
    if (keep) {
        const std::lock_guard lock(mutex_);
        kept_.insert(subject.folder, {*seen.folder, subject.files, found});
    }
    if (watched)
        watch_->after(subject.folder, mark, keep);
    return found;
}

bool VaultFileLooks::unchanged(const FolderOfVaults& subject) {
    if (!watch_ || subject.folder.isEmpty())
        return false;
    {
        const std::lock_guard lock(mutex_);
        const auto kept = kept_.constFind(subject.folder);
        if (kept == kept_.cend() || !(kept->files == subject.files))
            return false;
    }
    return watch_->quiet(subject.folder);
}
} // namespace larkhold
