#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <mutex>
#include <optional>
#include <poll.h>
#include <vector>

namespace larkhold {

// Tells when a folder of vault files on a local disk may have changed, so that a folder that did not need not be
// looked at every few seconds: an idle list then wakes nothing. The kernel tells (inotify) of entries made, removed
// or renamed in the folder, and of each folder on its path being renamed, removed or having its permissions
// changed; the mount table tells of a file system mounted or unmounted anywhere, which may hide any folder.
//
// A folder is quiet once a look found it as it was since the watch began, and stops being quiet with the first
// word of a change. Folders reached through a link are not watched (a link changes what a path reaches without a
// word to the folders on it). Thread-safe; adding a watch looks the path up, so call `after` off the GUI thread.
class FolderWatch {
public:
    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // What to poll for a word of change: none when the kernel gave no watch. A poll of the mount table itself
    // takes its word, so whoever polls these hands what it found to readChanges.
    std::vector<pollfd> files() const;
    // Takes in what a poll of files() found; never waits.
    void readChanges(const std::vector<pollfd>& polled);
    // Polls them without waiting and takes in what came.
    void readChanges();

    // Before a look at the folder: where its watch stood, if it is watched.
    std::optional<quint64> before(const QString& folder);
    // After that look. `asItWas`: the look found the folder on a trusted file system and kept its answer. The
    // folder turns quiet if it was watched since `mark` and no change came since; otherwise it is watched from now.
    void after(const QString& folder, std::optional<quint64> mark, bool asItWas);
    bool quiet(const QString& folder) const;
    // Stops watching every other folder: one no longer looked at would still wake whoever waits for a word.
    void keepOnly(const QSet<QString>& folders);

private:
    struct Watched {
        std::vector<int> watches; // the folder's own, then those of the folders on its path
        quint64 changes = 0;
        bool quiet = false;
        bool starting = false; // its watches are being set, with the lock released
    };
    // The watches for the folder and those on its path, set without the lock held; none if one was refused.
    std::vector<int> watch(const QString& folder);
    void stopWatching(const QString& folder);
    void changed(const QString& folder, bool lost);

    bool watching() const { return inotify_ >= 0 && mounts_ >= 0; }

    int inotify_ = -1;
    int mounts_ = -1;
    mutable std::mutex mutex_;
    std::mutex settingWatches_;
    QHash<QString, Watched> folders_;
    QHash<int, QList<QString>> byWatch_;
};

} // namespace larkhold
