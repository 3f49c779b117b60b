#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace larkhold::diskimage {

// One attached image as the registry remembers it. Holds no secret: the daemon keeps the key.
struct AttachedImage {
    std::string imagePath; // resolved path of the image folder
    int daemonPid = 0;
    std::uint64_t daemonStart = 0;
    std::string mountPoint;   // where the volume's file system is mounted
    std::string diskFolder;   // private FUSE folder with the decrypted disk
    std::string volumeName;   // the name the volume is mounted under
    std::string device;       // the loop device, /dev/loopN
    std::string deviceObject; // its udisks object, when udisks set it up
    bool hidden = false;

    bool alive() const;
    // Whether this volume's own device is what its folder shows (the last mount there); any
    // mount counts for a volume whose device is not known.
    bool mountedInItsFolder() const;
    // Whether it is still mounted in its folder, also beneath another mount that covers it.
    bool stillInItsFolder() const;
};

// Whether the block device is the file system mounted last at mountPoint, in this mount namespace.
bool deviceMountedAt(const std::string& device, const std::string& mountPoint);
// Where the block device's file system is at mountPoint, in this mount namespace: what the folder
// shows, mounted there beneath another mount, or not mounted there at all.
enum class DeviceAtFolder { shown, covered, absent };
DeviceAtFolder deviceAtFolder(const std::string& device, const std::string& mountPoint);

// Per-user state, kept in a folder only the user can enter: $XDG_RUNTIME_DIR/larkhold, or
// /run/user/<uid>/larkhold, or /tmp/larkhold-<uid> when neither exists.
namespace runtime {

std::string folder();
// Appends what a check or repair tool said to the log in the state folder, for whoever looks into
// a failure; the user reads one line instead. The log stays below 1 MiB. Errors are ignored.
void log(const std::string& what, const std::string& transcript);
std::string imageId(const std::string& imagePath);
std::string diskFolderFor(const std::string& imagePath);
// A fresh private folder for the short-lived disk server of create, resize or compact, marked as
// in use for as long as the object lives. A tool that is killed leaves its folder (and maybe a
// dead FUSE mount on it, and a volume mounted from it); the next run of any tool clears such
// leftovers (sweepStaleWork).
class WorkFolder {
public:
    WorkFolder();
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    const std::string& path() const { return path_; }
    // Remembers where a volume of this work is mounted, for the clean-up after a crash.
    void noteMountPoint(const std::string& mountPoint);

private:
    std::string path_;
    int lock_ = -1;
};
void sweepStaleWork();

// Visible volumes are mounted where the desktop's file manager lists them: LARKHOLD_MOUNT_ROOT
// when set, else /media/<user> when the user may create folders there, else ~/Vaults. Hidden
// volumes go to ".larkhold-hidden" below that root; file managers skip dot folders.
std::string mountRoot(bool hidden);
// A free folder <root>/<name>, or "<name> 1", "<name> 2" … when that is taken. An empty folder
// that nothing is mounted on counts as free, so the caller must hold the MountLock.
std::string createMountPoint(const std::string& root, const std::string& name);

// Serialises the mount points of all this user's tools and services. Whoever takes a folder for a
// volume holds it until the volume is mounted there (or the folder is given up again), and so
// does whoever unmounts a volume only to mount it again in the same folder, or removes a folder
// that was a mount point. So while nobody holds it, an empty folder with nothing mounted on it
// is one that nobody is about to use, and two volumes can never be given the same folder.
// Waits up to two minutes for the lock, then throws ToolError (busy). Never take it twice in one
// process: the second would wait for the first.
class MountLock {
public:
    MountLock();
    ~MountLock();
    MountLock(const MountLock&) = delete;
    MountLock& operator=(const MountLock&) = delete;

private:
    int fd_ = -1;
};

// Drops the entries of running services whose volume has left its folder (unmounted behind the
// tools' back), so that the folder is never given to a second volume while the registry still
// gives it to the first. The caller holds the MountLock.
void forgetVolumesThatLeftTheirFolders();

std::vector<AttachedImage> attachedImages();
std::optional<AttachedImage> findByImage(const std::string& imagePath);
std::optional<AttachedImage> findByMountPoint(const std::string& mountPoint);
void save(const AttachedImage& image);
void forget(const std::string& imagePath, int daemonPid);
// Clears what a daemon that died left behind: its mounts, folders and registry entry. Takes the
// MountLock; the caller must hold the image's own lock, so that no new service of the image,
// which would use the same disk folder, is starting meanwhile.
void cleanUpAfterDeadDaemon(const AttachedImage& image);

} // namespace runtime

// Property-list output that the application reads.
std::string xmlEscape(const std::string& text);
std::string attachPlist(const AttachedImage& image);
std::string infoPlist(const std::vector<AttachedImage>& images);

} // namespace larkhold::diskimage
