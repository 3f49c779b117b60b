#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>

namespace larkhold {

// Moves a file or folder to the desktop's trash; false with the reason when it could not.
using TrashFunction = std::function<bool(const QString& path, QString* reason)>;
// The desktop's trash (freedesktop Trash).
bool moveToTrash(const QString& path, QString* reason);

// The name a file is given in a folder that already holds its name: "report.pdf", then
// "report 2.pdf", "report 3.pdf"; "notes 2" for a name without extension. `taken` says whether a
// name is in use in the folder (a file or a folder of that name exists).
QString freeName(const QString& fileName, const std::function<bool(const QString&)>& taken);

// What copying files into a standard vault's folder did.
struct FolderCopyResult {
    int copied = 0;
    int trashed = 0;
    // Why it stopped, naming the file; nothing when every file went in.
    std::optional<QString> failure;
    // A lock of the vault stopped the copy, or its volume was no longer there: the files after
    // `copied` did not go in (and `failure` is empty).
    bool stopped = false;
};

// How the target folder is checked before each file.
enum class TargetFolder {
    // A vault's volume: the root of a mount, still the one opened when the copy began and still at
    // its path. A folder an unmount left behind on the host disk is never written.
    mountedVolume,
    // Any folder, as long as it is still the one opened at the start.
    plainFolder,
};

// Copies the files (a folder with its contents) into `folder`, one after another, each under a
// free name. The folder is opened once and every file is written through that open folder, never
// by a path an unmount would turn into a host folder. Each is first written under a hidden
// temporary name and renamed into place only when complete, so a copy that fails (a full vault, an
// unreadable file) or is stopped leaves nothing under the final name. With `moveOriginals` each
// original goes to the trash once its copy is in place. The first failure stops the run; what was
// done before stays. `stop`, when given, is read between files and between chunks: once set, the
// file under way is dropped and the run ends. Blocking: call it off the GUI thread.
FolderCopyResult copyIntoFolder(const QString& folder, const QStringList& sources, bool moveOriginals,
                                const TrashFunction& trash, const std::atomic_bool* stop = nullptr,
                                TargetFolder target = TargetFolder::plainFolder);

// Whether a folder holds a vault file or bundle anywhere below it (by name: ".pocketvault",
// ".sparsebundle"). Blocking.
bool holdsVaultByName(const QString& folder);
bool looksLikeVaultByName(const QString& path);

} // namespace larkhold
