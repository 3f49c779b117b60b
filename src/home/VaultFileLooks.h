#pragma once

#include "FolderWatch.h"
#include "HomeModels.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QUuid>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>

namespace larkhold {

// The vaults of one folder, looked at every few seconds as one: a round over a folder that did not change costs a
// look at the folder, whatever the number of its vaults.
struct FolderOfVaults {
    QString folder;
    QHash<QUuid, QString> files; // vault → its file
    bool operator==(const FolderOfVaults&) const = default;
};

struct FolderLook {
    QHash<QUuid, VaultFileState> states;
    // Files better looked at on their own: one reached through a link, or any in a folder whose times are not
    // trusted (a share that stops answering then holds up its own files' looks, not its neighbours').
    QSet<QUuid> alone;
    bool operator==(const FolderLook&) const = default;
};

// Looks at vault files every few seconds for what a folder already tells: a file whose folder has not changed
// since its last look (the same folder, not modified) is as it was, and is not looked at again. A list of
// hundreds of vaults in a few folders costs a few looks a round, not hundreds.
//
// Only folders on local file systems that keep a folder's modification time are trusted so, and only once that
// time is older than `settled` (a change within the same clock tick could leave it as it was); a file reached
// through a symbolic link, a folder that cannot be looked at, and every other file system are looked at each
// time. Looks at the file system: call it off the GUI thread (a share may hang), from as many threads as need be.
class VaultFileLooks {
public:
    using Probe = std::function<VaultFileState(const QString& bundlePath)>;

    explicit VaultFileLooks(Probe probe = &probeVaultFile, std::chrono::milliseconds folderKept = std::chrono::seconds(1),
                            std::chrono::milliseconds settled = std::chrono::seconds(1),
                            std::shared_ptr<FolderWatch> watch = nullptr);

    VaultFileState operator()(const QString& bundlePath);
    // The files of one folder. The answer of the last look is given again, as it was, while the folder is the same
    // folder and was not modified since: nothing is looked at for each file.
    FolderLook look(const FolderOfVaults& subject);
    // True when a look at the subject now would give the answer of its last one, for certain, without looking:
    // its folder is watched and quiet since (see FolderWatch).
    bool unchanged(const FolderOfVaults& subject);

private:
    struct Folder {
        dev_t device = 0;
        ino_t inode = 0;
        qint64 modified = 0; // nanoseconds
        qint64 changed = 0;
        bool operator==(const Folder&) const = default;
    };
    struct SeenFolder {
        std::optional<Folder> folder;
        // Its file system does not keep folder times: its files are never taken as they were.
        bool untrusted = false;
        std::chrono::steady_clock::time_point at;
    };
    struct Found {
        VaultFileState state = VaultFileState::present;
        bool link = false;
    };
    struct KeptLook {
        Folder folder;
        QHash<QUuid, QString> files;
        FolderLook look;
    };
    struct Known {
        QString folderPath;
        Folder folder;
        VaultFileState state = VaultFileState::present;
    };
    // The folder as it is now, looked at no more than once within `folderKept_`; none where it is not to be trusted.
    SeenFolder folderNow(const QString& path, bool fresh = false);
    Found lookAt(const QString& bundlePath);

    Probe probe_;
    std::chrono::milliseconds folderKept_;
    std::chrono::milliseconds settled_;
    std::mutex mutex_;
    QHash<QString, SeenFolder> folders_;
    QHash<QString, Known> files_;
    QHash<QString, KeptLook> kept_; // by folder
    std::shared_ptr<FolderWatch> watch_;
};

} // namespace larkhold
