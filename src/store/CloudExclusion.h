#pragma once

#include "SyncAttributes.h"

#include <QString>
#include <optional>
#include <stdexcept>

namespace larkhold {

// A move that did not happen. The message is meant for the user; the file kept its old name.
class FileMoveError : public std::runtime_error {
public:
    FileMoveError(const QString& message, int errorCode);
    QString message() const { return QString::fromUtf8(what()); }
    int errorCode() const { return errorCode_; } // errno of the failing call

private:
    int errorCode_;
};

// Moves a file or folder to `to` without ever replacing what is already there; POSIX rename()
// would silently overwrite another vault of the same name. Throws FileMoveError (EEXIST when
// the target exists).
void noReplaceRename(const QString& from, const QString& to);

// The same with both names inside the open folder `folder` (a descriptor), so that the move cannot
// land elsewhere when the folder's path changes meanwhile, e.g. when a volume is unmounted.
void noReplaceRenameAt(int folder, const QString& from, const QString& to);

namespace detail {
// The path taken when the file system cannot rename without replacing; reachable for tests.
void noReplaceRenameFallback(const QString& from, const QString& to);
} // namespace detail

// Keeping vault files out of cloud sync: the "nosync" extension (which iCloud Drive skips)
// plus the attribute that tells file-provider sync to ignore the file.
namespace CloudExclusion {

inline constexpr const char* kExtension = "nosync";
// The same attribute the Pocket Vault storage keeps on its file.
inline constexpr const char* kIgnoreAttribute = SyncAttributes::kCloudIgnore;
// The attribute the Linux Dropbox client honours.
inline constexpr const char* kDropboxIgnoreAttribute = "user.com.dropbox.ignored";

// Renames the vault to "<name>.nosync" (unless it already ends so) and sets the ignore
// attribute. Returns the vault's path afterwards. Throws FileMoveError; the file then keeps
// its name and the attribute is untouched.
QString exclude(const QString& path);

// Renames "<name>.nosync" back to "<name>.<restoredExtension>" and removes the ignore
// attribute. Any other name stays. Returns the vault's path afterwards; throws FileMoveError.
QString include(const QString& path, const QString& restoredExtension);

// The display name of a third-party sync service whose folder holds the path ("Dropbox",
// "Google Drive", …, or "a cloud service" for an unknown provider), or nothing. Also the folders
// the Nextcloud, ownCloud and Syncthing clients are configured to sync, and rclone mounts.
std::optional<QString> thirdPartySyncService(const QString& path, const QString& homeFolder = {});

// Whether the path lies inside the desktop's own cloud sync (iCloud Drive's folder, or a GVfs
// mount of the online accounts).
bool isInsideICloudDrive(const QString& path);

} // namespace CloudExclusion

} // namespace larkhold
