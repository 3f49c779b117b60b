#include "Mounter.h"
#include "Runtime.h"
#include "Util.h"
#include "Verbs.h"

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/stat.h>
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
    if (o.force) {
        // The service writes everything out and detaches the volume even while files are open.
        ::kill(a->daemonPid, SIGTERM);
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
