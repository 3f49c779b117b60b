#pragma once

#include "BandStore.h"
#include "Bundle.h"
#include "Runtime.h"
#include "Util.h"

#include <optional>
#include <string>

namespace larkhold::diskimage {

// An attached volume and what the attach has to tell beside it (a repair that was made).
struct StartedVolume {
    AttachedImage image;
    std::string note;
};

// Starts the background service of one attached image: a detached process that serves the
// decrypted disk, mounts its ext4 through a loop device and stays until that file system is
// unmounted and its loop device gone (or it is told to stop with SIGTERM). Returns once the volume
// is mounted; throws ToolError with the reason when it could not be mounted. lockFd is the image's
// lock, which the service keeps for its lifetime.
StartedVolume startDaemon(const Bundle& bundle, MasterKey key, const std::string& imagePath,
                          const std::string& volumeName, bool hidden, int lockFd);

// Checks a file system on an unmounted disk before it is mounted. Preening settles what a crash
// leaves; damage it will not touch unattended is repaired with e2fsck -fy, since a volume that
// never mounts again helps nobody, and the repair is then reported instead of passing in silence.
// A repair runs only on storage that reads and writes normally: a missing band, a full host disk
// or a failed read or write stops the attach before anything is repaired, with a ToolError in the
// user's words. What the check tools said goes to the log. Volumes made before the file system had
// a journal get one, and every volume turns read-only on errors. The bands a repair changes are
// kept as they were before it in keepFolder, so that it can be taken back. Returns the report of
// a repair, or an empty text.
std::string prepareFileSystem(const std::string& diskPath, BandStore& store, const std::string& keepFolder);

// Reads the superblock on the disk, before any check: band 0 must hold the file system the
// vault's identity names (a band of another vault, put there by a sync conflict or a restore,
// decrypts to noise under this key), and the file system must fit into the size in Info.plist.
// Throws ToolError in the user's words. A vault that names no file system yet learns the one it has.
void requireOwnFileSystem(BandStore& store);

// What a repair kept: once the repaired volume has been shown, the next use of the vault lets it
// go; until then every change keeps its band as it was before the repair too. A take-back that was
// interrupted is finished first. Throws ToolError.
void carryOnWithKeptBands(const Bundle& bundle, BandStore& store);
// Puts the disk back as it was before the repair. Throws ToolError.
void takeBackRepair(const Bundle& bundle, BandStore& store);

// The user's words for a failure of the image's storage beneath a tool, or nullptr when it did
// not fail.
std::optional<Failure> storageFailure(const BandStore& store);

// What a repair moved into lost+found, as a sentence for the user.
std::string lostAndFoundReport(const std::string& mountPoint);

} // namespace larkhold::diskimage
