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
    std::unique_lock lock(mutex_);
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
    if (!it->watches.empty() || it->starting || !watching())
        return;
    it->starting = true;
    const quint64 since = it->changes;
    lock.unlock();
    // Looking the path up may take a while; nobody waits for it (the GUI thread asks this watch too). One
    // folder's watches at a time: a watch given back as unused must not be one another folder was just given.
    const std::lock_guard setting(settingWatches_);
    std::vector<int> watches = watch(folder);
    lock.lock();
    it = folders_.find(folder);
    if (it != folders_.end())
        it->starting = false;
    // A folder let go meanwhile, or told lost (a mount): these watches may stand for another folder.
    if (it == folders_.end() || it->changes != since || watches.empty()) {
        for (int wd : watches)
            if (!byWatch_.contains(wd))
                ::inotify_rm_watch(inotify_, wd);
        return;
    }
    for (int wd : watches) {
        QList<QString>& folders = byWatch_[wd];
        if (!folders.contains(folder))
            folders.append(folder);
    }
    it->watches = std::move(watches);
}

bool FolderWatch::quiet(const QString& folder) const {
    const std::lock_guard lock(mutex_);
    const auto it = folders_.constFind(folder);
    return it != folders_.cend() && it->quiet;
}

void FolderWatch::keepOnly(const QSet<QString>& folders) {
    const std::lock_guard lock(mutex_);
    for (auto it = folders_.begin(); it != folders_.end();) {
        if (folders.contains(it.key())) {
            ++it;
            continue;
        }
        stopWatching(it.key());
        it = folders_.erase(it);
    }
}

std::vector<int> FolderWatch::watch(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    char real[PATH_MAX];
    if (!::realpath(path.constData(), real) || path != real || path == "/")
        return {};
    std::vector<int> watches;
    QByteArray on = path;
    std::uint32_t mask = kFolderChanges | IN_ONLYDIR | IN_DONT_FOLLOW;
    for (;;) {
        const int wd = ::inotify_add_watch(inotify_, on.constData(), mask | IN_MASK_ADD);
        if (wd < 0) {
            // Out of watches, or the path changed meanwhile: looked at every few seconds as before.
            const std::lock_guard lock(mutex_);
            for (int added : watches)
                if (!byWatch_.contains(added))
                    ::inotify_rm_watch(inotify_, added);
            return {};
        }
        watches.push_back(wd);
        if (on == "/")
            return watches;
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
