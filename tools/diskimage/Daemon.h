#pragma once

#include "Bundle.h"
#include "Runtime.h"

namespace larkhold::diskimage {

// Starts the background service of one attached image: a detached process that serves the
// decrypted disk, mounts its file system with fuse2fs and stays until that file system is
// unmounted (or it is told to stop with SIGTERM). Returns once the volume is mounted, with its
// registry entry; throws ToolError with the reason when it could not be mounted.
// lockFd is the image's lock, which the service keeps for its lifetime.
AttachedImage startDaemon(const Bundle& bundle, MasterKey key, const std::string& imagePath,
                          const std::string& volumeName, bool hidden, int lockFd);

// Runs fuse2fs -f on a disk file and waits until the mount is in place. Returns its pid; throws
// ToolError with fuse2fs's own words when the mount did not come up.
int mountFileSystem(const std::string& diskPath, const std::string& mountPoint);

} // namespace larkhold::diskimage
