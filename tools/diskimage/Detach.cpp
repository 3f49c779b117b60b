#include "Mounter.h"
#include "Runtime.h"
#include "Util.h"
#include "Verbs.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace larkhold::diskimage {

std::optional<AttachedImage> findVolume(const std::string& mountPoint) {
    if (auto a = runtime::findByMountPoint(mountPoint)) {
        return a;
    }
    if (!mountPoint.empty() && mountPoint[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) {
            std::string absolute = std::string(cwd) + "/" + mountPoint;
            while (absolute.rfind("/./") != std::string::npos) {
                absolute.erase(absolute.rfind("/./"), 2);
            }
            if (auto a = runtime::findByMountPoint(absolute)) {
                return a;
            }
        }
    }
    struct stat st {};
    if (::stat(mountPoint.c_str(), &st) == 0) {
        return runtime::findByMountPoint(realPath(mountPoint));
    }
    return std::nullopt;
}

namespace {

// Has what the volume holds written out while it is still mounted, and says what kept that from
// reaching the disk, if anything. The folder is synced here, where it is seen (udisks may mount
// where the service cannot look), and only when it shows the volume's own device; the service then
// writes out what it sees, flushes the bands and tells whether a write failed since it was last
// asked: its word decides. A service of earlier tools, which cannot be asked, is taken at the
// folder's.
std::optional<Failure> writeOut(const AttachedImage& a) {
    bool folderFailed = false;
    struct stat device {};
    if (!a.device.empty() && ::stat(a.device.c_str(), &device) == 0 && S_ISBLK(device.st_mode)) {
        const int dir = ::open(a.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st {};
        if (dir >= 0 && ::fstat(dir, &st) == 0 && st.st_dev == device.st_rdev) {
            folderFailed = ::syncfs(dir) != 0;
        }
        if (dir >= 0) {
            ::close(dir);
        }
    }
    // The service is busy while it checks or renames the volume.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const int fd = ::open((a.diskFolder + "/write-out").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (errno == ENOSPC) {
            return Failure::hostDiskFull;
        }
        if (errno == EIO) {
            return Failure::storageFailed;
        }
        if (errno != EBUSY || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return folderFailed ? std::optional(Failure::storageFailed) : std::nullopt;
}

} // namespace

int detach(const Options& o) {
    if (o.positional.size() != 1) {
        throw ToolError("expected one mount point");
    }
    std::string mountPoint = o.positional[0];
    std::optional<AttachedImage> a = findVolume(mountPoint);
    if (!a) {
        throw ToolError(Failure::notFound, mountPoint + ": No such file or directory (not an attached volume)");
    }
    if (!a->alive()) {
        // As in attach, only the holder of the image's lock clears up after a dead service. An
        // image that is gone cannot be starting a new one.
        std::optional<ImageLock> imageLock;
        try {
            imageLock.emplace(a->imagePath);
        } catch (const ToolError&) {
        }
        if (imageLock && !imageLock->held()) {
            throw ToolError(Failure::busy, "Resource busy (another operation is using the image)");
        }
        runtime::cleanUpAfterDeadDaemon(*a);
        std::printf("\"%s\" ejected.\n", a->mountPoint.c_str());
        return 0;
    }
    const bool covered =
        !a->device.empty() && deviceAtFolder(a->device, a->mountPoint) == DeviceAtFolder::covered;
    if (o.force) {
        // The service writes everything out and detaches the volume even while files are open.
        ::kill(a->daemonPid, SIGTERM);
    } else if (covered) {
        // Another mount covers the folder, and unmounting by its path would take that one away.
        // The service reaches the volume by its device, writes it out, shuts it down and ends,
        // and the key goes with it.
        if (const std::optional<Failure> unwritten = writeOut(*a)) {
            throw ToolError(*unwritten);
        }
        ::kill(a->daemonPid, SIGTERM);
    } else if (const std::optional<Failure> unwritten = writeOut(*a)) {
        // The volume stays mounted: what could not be written is still in memory, where it can
        // be read (and copied elsewhere) before the vault is locked.
        throw ToolError(*unwritten);
    } else if (!makeMounter()->unmount({a->device, a->deviceObject}, a->mountPoint, false)) {
        throw ToolError(Failure::busy, "couldn't unmount \"" + a->mountPoint + "\" - Resource busy");
    }
    if (!waitForExit(a->daemonPid, a->daemonStart, 120000)) {
        throw ToolError("the volume was unmounted but its disk service does not end");
    }
    std::printf("\"%s\" ejected.\n", a->mountPoint.c_str());
    return 0;
}

} // namespace larkhold::diskimage
