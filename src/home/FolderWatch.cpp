#include "FolderWatch.h"

#include <QFile>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace larkhold {

namespace {

// What changes a folder's entries, and so its modification time: the very changes a look would find.
constexpr std::uint32_t kFolderChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// What makes a path lead elsewhere or nowhere: a folder on it renamed, removed, or closed to its owner.
constexpr std::uint32_t kPathChanges = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// After these the watch no longer stands for the folder the path names.
constexpr std::uint32_t kWatchLost = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

} // namespace

FolderWatch::FolderWatch() {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    mounts_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
}

FolderWatch::~FolderWatch() {
    for (int fd : {mounts_, inotify_})
        if (fd >= 0)
            ::close(fd);
}

std::vector<pollfd> FolderWatch::files() const {
    // Without either word a folder cannot be known quiet: every folder is looked at every few seconds.
    if (!watching())
        return {};
    // The mount table is always readable; a change to it is told as an exceptional condition.
    return {{inotify_, POLLIN, 0}, {mounts_, POLLPRI, 0}};
}

void FolderWatch::readChanges() {
    std::vector<pollfd> polled = files();
    if (!polled.empty() && ::poll(polled.data(), nfds_t(polled.size()), 0) > 0)
        readChanges(polled);
}

void FolderWatch::readChanges(const std::vector<pollfd>& polled) {
    const std::lock_guard lock(mutex_);
    for (const pollfd& file : polled) {
        if (file.fd == mounts_ && (file.revents & (POLLPRI | POLLERR))) {
            // Anything may be hidden or shown by a mount: every path is looked up again.
            for (const QString& folder : folders_.keys())
                changed(folder, true);
        }
        if (file.fd != inotify_ || !(file.revents & POLLIN))
            continue;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t got = ::read(inotify_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    for (const QString& folder : folders_.keys())
                        changed(folder, true);
                    continue;
                }
                // A copy: a lost watch leaves the table while its folders are told.
                const QList<QString> folders = byWatch_.value(event->wd);
                for (const QString& folder : folders)
                    changed(folder, (event->mask & kWatchLost) != 0);
            }
        }
    }
}

void FolderWatch::changed(const QString& folder, bool lost) {
    const auto it = folders_.find(folder);
    if (it == folders_.end())
        return;
    it->quiet = false;
    ++it->changes;
    if (lost)
        stopWatching(folder);
}

std::optional<quint64> FolderWatch::before(const QString& folder) {
    const std::lock_guard lock(mutex_);
    const auto it = folders_.constFind(folder);
    if (it == folders_.cend() || it->watches.empty())
        return std::nullopt;
    return it->changes;
}

void FolderWatch::after(const QString& folder, std::optional<quint64> mark, bool asItWas) {
    const std::lock_guard lock(mutex_);
    auto it = folders_.find(folder);
    if (!asItWas) {
        if (it != folders_.end())
            it->quiet = false;
        return;
    }
    if (it == folders_.end())
        it = folders_.insert(folder, {});
    if (mark && !it->watches.empty() && it->changes == *mark) {
        it->quiet = true;
        return;
    }
    it->quiet = false;
    // Watched from now on, and found quiet by the next look: a change between this look and the watch would
    // otherwise go untold.
    if (it->watches.empty() && watching())
        watch(folder, *it);
}

bool FolderWatch::quiet(const QString& folder) const {
    const std::lock_guard lock(mutex_);
    const auto it = folders_.constFind(folder);
    return it != folders_.cend() && it->quiet;
}

bool FolderWatch::watch(const QString& folder, Watched& watched) {
    const QByteArray path = QFile::encodeName(folder);
    char real[PATH_MAX];
    if (!::realpath(path.constData(), real) || path != real || path == "/")
        return false;
    QByteArray on = path;
    std::uint32_t mask = kFolderChanges | IN_ONLYDIR | IN_DONT_FOLLOW;
    for (;;) {
        const int wd = ::inotify_add_watch(inotify_, on.constData(), mask | IN_MASK_ADD);
        if (wd < 0) {
            // Out of watches, or the path changed meanwhile: looked at every few seconds as before.
            stopWatching(folder);
            return false;
        }
        watched.watches.push_back(wd);
        QList<QString>& folders = byWatch_[wd];
        if (!folders.contains(folder))
            folders.append(folder);
        if (on == "/")
            return true;
        const qsizetype slash = on.lastIndexOf('/');
        on = slash > 0 ? on.left(slash) : QByteArray("/");
        mask = kPathChanges | IN_ONLYDIR;
    }
}

void FolderWatch::stopWatching(const QString& folder) {
    const auto it = folders_.find(folder);
    if (it == folders_.end())
        return;
    for (int wd : std::exchange(it->watches, {})) {
        const auto users = byWatch_.find(wd);
        if (users == byWatch_.end())
            continue;
        users->removeAll(folder);
        if (users->isEmpty()) {
            byWatch_.erase(users);
            // Its own end is told later (IN_IGNORED) and finds nobody.
            ::inotify_rm_watch(inotify_, wd);
        }
    }
}

} // namespace larkhold
