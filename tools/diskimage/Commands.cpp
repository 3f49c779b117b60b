#include "Commands.h"

#include "BandStore.h"
#include "Bundle.h"
#include "Crypto.h"
#include "Daemon.h"
#include "DiskServer.h"
#include "Mounter.h"
#include "Runtime.h"
#include "Util.h"
#include "Verbs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace larkhold::diskimage {

namespace {

std::string onePath(const Options& o) {
    if (o.positional.size() != 1) {
        throw ToolError("expected exactly one image path");
    }
    return o.positional[0];
}

// The password: standard input to its end. A zero byte is refused rather than taken as the end:
// cutting there once made "\0secret" an empty password.
SecureBytes passwordFromStdin(const Options& o) {
    if (!o.stdinpass) {
        throw ToolError("this tool reads passwords only from standard input; pass -stdinpass");
    }
    SecureBytes password = readStandardInput();
    if (std::find(password.begin(), password.end(), std::uint8_t{0}) != password.end()) {
        throw ToolError("a password cannot contain a zero byte");
    }
    return password;
}

// The password of a new image, or a new password for one: also never empty.
SecureBytes newPasswordFromStdin(const Options& o) {
    SecureBytes password = passwordFromStdin(o);
    if (password.empty()) {
        throw ToolError("the password cannot be empty");
    }
    return password;
}

// An image opened with the password from standard input; a wrong one throws AuthenticationError
// before anything is changed.
struct UnlockedImage {
    std::string path;
    Bundle bundle;
    MasterKey key;
};

// An image whose folder this user cannot write would read, once at work, as one with a part
// missing: said as what it is before anything is opened for writing.
void requireWritableImage(const std::string& path) {
    for (const std::string& folder : {path, path + "/bands"}) {
        if (::access(folder.c_str(), W_OK) != 0 && (errno == EROFS || errno == EACCES || errno == EPERM)) {
            throw ToolError(errno == EROFS ? Failure::readOnlyDisk : Failure::notPermitted,
                            "The folder that holds this vault can only be read.");
        }
    }
}

UnlockedImage unlockImage(const Options& o) {
    std::string path = realPath(onePath(o));
    Bundle bundle = Bundle::open(path);
    SecureBytes password = passwordFromStdin(o);
    MasterKey key = bundle.unlock(password);
    requireWritableImage(path);
    return {std::move(path), std::move(bundle), std::move(key)};
}

void refuseIfAttached(const std::string& imagePath, const ImageLock& lock) {
    if (auto a = runtime::findByImage(imagePath); a && a->alive()) {
        throw ToolError(Failure::busy, "Resource busy (the image is attached at " + a->mountPoint + ")");
    }
    if (!lock.held()) {
        throw ToolError(Failure::busy, "Resource busy (another operation is using the image)");
    }
}

// Serves the image's disk in this process for the duration of fn(disk path, server), for the ext4
// tools to work on. A full host disk or a missing band is reported as such, whatever the tool said
// about it; an image with a band missing, or whose band 0 does not hold its own file system, is not
// touched at all. A new image (made) has no file system yet.
template <bool made = false, class F> void withDisk(const Bundle& bundle, const MasterKey& key, F fn) {
    requireFuse();
    runtime::WorkFolder folder;
    BandStore store(bundle.bandsPath(), bundle.sizeBytes(), key);
    store.keepRecord(bundle.bandRecordPath(), key.nameKey(), bundle.keepsBandRecord());
    if (!store.missingBands().empty()) {
        throw ToolError(Failure::missingPart);
    }
    if constexpr (!made) {
        requireOwnFileSystem(store);
        carryOnWithKeptBands(bundle, store);
    }
    DiskServer server(store);
    listenForDeviceEvents();
    try {
        server.start(folder.path());
        fn(server.diskPath(), server, folder);
        server.stop();
    } catch (...) {
        server.stop();
        if (const std::optional<Failure> failure = storageFailure(store)) {
            throw ToolError(*failure);
        }
        throw;
    }
    if (int rc = store.sync(); rc != 0) {
        throw ToolError(store.ranOutOfSpace() ? Failure::hostDiskFull : Failure::storageFailed);
    }
}

// Mounts the served disk's file system for fn(device, mount point) in a private folder (as root)
// or where udisks puts it, and unmounts it after; returns once the loop device has let the disk go.
template <class F> void withMountedVolume(DiskServer& server, runtime::WorkFolder& work, F fn) {
    auto mounter = makeMounter();
    LoopDevice device = setUpLoopDevice(*mounter, server.diskPath());
    std::string wanted;
    if (mounter->choosesMountPoint()) {
        wanted = work.path() + ".mnt";
        if (::mkdir(wanted.c_str(), 0700) != 0) {
            int err = errno;
            mounter->release(device);
            throwErrno(wanted, err);
        }
    }
    std::string mountPoint;
    try {
        mountPoint = mounter->mount(device, wanted);
    } catch (...) {
        if (!wanted.empty()) {
            ::rmdir(wanted.c_str());
        }
        throw;
    }
    work.noteMountPoint(mountPoint);
    auto unmount = [&] {
        if (!mounter->unmount(device, mountPoint, false)) {
            mounter->unmount(device, mountPoint, true);
        }
        if (!wanted.empty()) {
            ::rmdir(wanted.c_str());
        }
        server.waitUntilIdle(std::chrono::seconds(60));
        work.noteMountPoint({});
    };
    try {
        fn(device, mountPoint);
    } catch (...) {
        unmount();
        throw;
    }
    unmount();
}

// e2fsck: 0 clean, 1 errors corrected, 2 corrected and a reboot advised; 4 and above mean
// problems were left or the check could not run.
void checkFileSystem(const std::string& disk, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{"e2fsck", "-f", "-p"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(disk);
    ChildResult r = runChild(argv);
    if (r.status >= 4) {
        runtime::log("e2fsck -f -p (status " + std::to_string(r.status) + ")", r.out);
        throw ToolError(Failure::needsRepair,
                        "The vault's file system has errors; unlock the vault once to have them repaired.");
    }
}

// The read-only check after a resize: anything but a clean result is reported.
void requireClean(const std::string& disk, const char* what) {
    ChildResult r = runChild({"e2fsck", "-f", "-n", disk});
    if (r.status != 0) {
        runtime::log(std::string("e2fsck -f -n after ") + what + " (status " + std::to_string(r.status) + ")", r.out);
        throw ToolError(std::string("The vault's file system is not clean after ") + what + ".");
    }
}

// The size the file system on the disk says it has, or nothing when its superblock is unreadable.
std::optional<std::uint64_t> fileSystemBytes(const std::string& disk) {
    ChildResult d = runChild({"dumpe2fs", "-h", disk});
    auto count = d.out.find("\nBlock count:");
    auto size = d.out.find("\nBlock size:");
    if (d.status != 0 || count == std::string::npos || size == std::string::npos) {
        return std::nullopt;
    }
    return std::strtoull(d.out.c_str() + count + 13, nullptr, 10) *
           std::strtoull(d.out.c_str() + size + 12, nullptr, 10);
}

// ---- Room on the host disk for a resize ----
//
// resize2fs stopped by a full host disk halfway leaves a damaged file system, so a resize starts only
// where the host disk has room for what it may write, with some to spare for the journal and the
// limit. Only blocks never written before take room: the bands keep them as holes.
constexpr std::uint64_t kResizeSpare = 16ull << 20;
constexpr std::uint64_t kGroupBytes = 128ull << 20; // 32768 blocks of 4 KiB, as the volumes are made

std::uint64_t hostRoom(const Bundle& bundle) {
    struct statvfs fs {};
    if (::statvfs(bundle.bandsPath().c_str(), &fs) != 0) {
        throwErrno(bundle.bandsPath(), errno);
    }
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

// Growing writes the superblock and all group descriptors (64 bytes each) to the first group and
// to every group keeping a copy of them: group 1 and the powers of 3, 5 and 7. New groups' bitmaps
// and inode tables stay unwritten until they are used.
std::uint64_t roomToGrow(std::uint64_t newSize) {
    const std::uint64_t groups = (newSize + kGroupBytes - 1) / kGroupBytes;
    std::uint64_t copies = groups > 1 ? 2 : 1;
    for (std::uint64_t base : {3, 5, 7}) {
        for (std::uint64_t g = base; g < groups; g *= base) {
            ++copies;
        }
    }
    return copies * (4096 + (groups * 64 + 4095) / 4096 * 4096) + kResizeSpare;
}

// Shrinking moves the blocks and inodes in use in the groups that end past the new size to the
// ones before it, each block and each inode's table block at most once.
std::uint64_t roomToShrink(const std::string& disk, std::uint64_t newSize) {
    ChildResult d = runChild({"dumpe2fs", disk});
    if (d.status != 0) {
        throw ToolError("cannot measure the file system: " + withoutTrailingSpace(d.out));
    }
    auto header = [&](const char* field) -> std::uint64_t {
        auto at = d.out.find(std::string("\n") + field + ":");
        return at == std::string::npos ? 0 : std::strtoull(d.out.c_str() + at + std::strlen(field) + 2, nullptr, 10);
    };
    const std::uint64_t blockSize = header("Block size") ? header("Block size") : 4096;
    const std::uint64_t inodesPerGroup = header("Inodes per group");
    const std::uint64_t newBlocks = newSize / blockSize;
    std::uint64_t moved = 0;
    std::istringstream lines(d.out);
    bool pastEnd = false;
    std::uint64_t groupBlocks = 0;
    for (std::string line; std::getline(lines, line);) {
        unsigned long long first = 0, last = 0, freeBlocks = 0, freeInodes = 0;
        if (std::sscanf(line.c_str(), "Group %*u: (Blocks %llu-%llu)", &first, &last) == 2) {
            pastEnd = last >= newBlocks;
            groupBlocks = last - first + 1;
        } else if (pastEnd &&
                   std::sscanf(line.c_str(), " %llu free blocks, %llu free inodes", &freeBlocks, &freeInodes) == 2) {
            moved += (groupBlocks - std::min<std::uint64_t>(freeBlocks, groupBlocks)) * blockSize;
            moved += (inodesPerGroup - std::min<std::uint64_t>(freeInodes, inodesPerGroup)) * blockSize;
            pastEnd = false;
        }
    }
    return moved + kResizeSpare;
}

std::uint64_t minimumFileSystemBytes(const std::string& disk) {
    ChildResult r = runChild({"resize2fs", "-P", disk});
    auto at = r.out.find("minimum size of the filesystem:");
    if (r.status != 0 || at == std::string::npos) {
        throw ToolError("cannot measure the file system: " + withoutTrailingSpace(r.out));
    }
    std::uint64_t blocks = std::strtoull(r.out.c_str() + at + 31, nullptr, 10);
    ChildResult d = runChild({"dumpe2fs", "-h", disk});
    auto bs = d.out.find("Block size:");
    std::uint64_t blockSize = bs == std::string::npos ? 4096 : std::strtoull(d.out.c_str() + bs + 11, nullptr, 10);
    return blocks * blockSize;
}

// A create that was killed leaves its hidden work folder beside the image it was making. The
// creator holds a lock on that folder while it works, so one nobody holds is a leftover.
void removeStaleCreations(const std::string& parent) {
    std::vector<std::string> stale;
    if (DIR* d = ::opendir(parent.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            auto at = name.rfind(".creating-");
            if (name[0] == '.' && at != std::string::npos && at > 0 && name.size() == at + 10 + 12) {
                stale.push_back(parent + "/" + name);
            }
        }
        ::closedir(d);
    }
    for (const std::string& path : stale) {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            removeTree(path);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

int create(const Options& o) {
    std::string path = onePath(o);
    if (o.encryption.empty()) {
        throw ToolError("only encrypted images can be created; pass -encryption AES-256");
    }
    if (o.encryption != "AES-256") {
        throw ToolError("unsupported encryption \"" + o.encryption + "\"");
    }
    if (!o.type.empty() && o.type != "SPARSEBUNDLE") {
        throw ToolError("unsupported image type \"" + o.type + "\"");
    }
    if (o.size.empty()) {
        throw ToolError("a size is required (-size)");
    }
    std::uint64_t size = parseSizeArgument(o.size);
    if (size < kMinimumSize || size > kMaximumSize || size % kSectorSize != 0) {
        throw ToolError("invalid size \"" + o.size + "\": Invalid argument");
    }
    std::string name = o.volname.empty() ? "untitled" : o.volname;
    if (!Bundle::acceptableNewVolumeName(name)) {
        throw ToolError(Failure::invalidName,
                        "invalid volume name \"" + xmlSafeText(name) +
                            "\" (names are UTF-8 text without control characters and do not begin with \".\")");
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        throw ToolError(path + ": File exists");
    }
    SecureBytes password = newPasswordFromStdin(o);
    requireFuse();
    runtime::sweepStaleWork();

    // Built under a temporary name and renamed at the end, so a crash never leaves a half-made
    // image under the requested name.
    std::string parent = dirName(path);
    removeStaleCreations(parent);
    std::array<std::uint8_t, 6> r{};
    crypto::randomFill(r);
    std::string work = parent + "/." + baseName(path) + ".creating-" + hex(r);
    if (::mkdir(work.c_str(), 0700) != 0) {
        throwErrno(work, errno);
    }
    int workLock = ::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (workLock >= 0) {
        ::flock(workLock, LOCK_EX);
    }
    try {
        MasterKey key = MasterKey::generate();
        FileSystemId id{};
        crypto::randomFill(id);
        id[6] = static_cast<std::uint8_t>((id[6] & 0x0f) | 0x40); // a random UUID, as mkfs.ext4 would make
        id[8] = static_cast<std::uint8_t>((id[8] & 0x3f) | 0x80);
        Bundle bundle = Bundle::initialise(work, size, name, password, key, kDefaultKdf, id);
        const std::string uuid = "-U" + fileSystemIdText(id); // the one the vault's identity names
        withDisk<true>(bundle, key, [&](const std::string& disk, DiskServer&, runtime::WorkFolder&) {
            std::string owner = std::to_string(::getuid()) + ":" + std::to_string(::getgid());
            // ext4 with a journal and metadata checksums, read-only on errors; the top folder
            // belongs to the user, so a volume that udisks mounts is the user's to write.
            ChildResult made = runChild({"mkfs.ext4", "-q", "-F", "-b", "4096", "-i", "16384", "-m", "0", "-O",
                                         "metadata_csum", "-e", "remount-ro", "-L", labelFor(name), uuid, "-E",
                                         "lazy_itable_init=1,lazy_journal_init=1,nodiscard,root_owner=" + owner, disk});
            if (made.status != 0) {
                throw ToolError("the file system could not be made: " + withoutTrailingSpace(made.out));
            }
        });
        if (::renameat2(AT_FDCWD, work.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
            throwErrno(path, errno);
        }
        fsyncDirectory(parent);
    } catch (...) {
        removeTree(work);
        if (workLock >= 0) {
            ::close(workLock);
        }
        throw;
    }
    if (workLock >= 0) {
        ::close(workLock);
    }
    std::printf("created: %s\n", path.c_str());
    return 0;
}

int attach(const Options& o) {
    std::string given = onePath(o);
    SecureBytes password = passwordFromStdin(o);
    std::string path = realPath(given);
    Bundle bundle = Bundle::open(path);
    requireFuse();
    MasterKey key = bundle.unlock(password);
    requireWritableImage(path);
    // The service that the attach starts must not carry the password in its memory.
    SecureBytes().swap(password);
    runtime::sweepStaleWork();
    auto report = [&](const AttachedImage& a) {
        std::fputs((o.plist ? attachPlist(a) : a.diskFolder + "/disk\t" + a.mountPoint + "\n").c_str(), stdout);
    };
    // Another attach of the same image may be at work: wait for it (up to two minutes) and show
    // its volume, or take over once it gave up.
    ImageLock lock(path);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (;;) {
        auto a = runtime::findByImage(path);
        if (a && a->alive() && a->mountedInItsFolder()) {
            report(*a);
            return 0;
        }
        if (lock.tryAgain()) {
            if (a && a->alive()) {
                throw ToolError(Failure::busy, "Resource busy (the image's disk service is ending; try again)");
            }
            if (a) {
                // Only the holder of the image's lock clears up after its dead service: another
                // attach that holds it may already be starting a new service in the same folder.
                runtime::cleanUpAfterDeadDaemon(*a);
            }
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw ToolError(Failure::busy, "Resource busy (another operation is using the image)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string name = bundle.volumeName(key);
    StartedVolume started = startDaemon(bundle, std::move(key), path, name, o.nobrowse, lock.fd());
    report(started.image);
    if (!started.note.empty()) {
        std::fprintf(stderr, "hdiutil: attach: %s\n", started.note.c_str());
    }
    return 0;
}

int info(const Options& o) {
    std::vector<AttachedImage> live;
    for (auto& a : runtime::attachedImages()) {
        if (a.alive() && a.stillInItsFolder()) {
            live.push_back(a);
        }
    }
    if (o.plist) {
        std::fputs(infoPlist(live).c_str(), stdout);
        return 0;
    }
    for (auto& a : live) {
        std::printf("================================================\nimage-path      : %s\n%s\t%s\n",
                    a.imagePath.c_str(), (a.diskFolder + "/disk").c_str(), a.mountPoint.c_str());
    }
    return 0;
}

int chpass(const Options& o) {
    std::string path = realPath(onePath(o));
    if (!o.oldStdinpass || !o.newStdinpass) {
        throw ToolError("this tool reads passwords only from standard input; pass -oldstdinpass -newstdinpass");
    }
    Bundle bundle = Bundle::open(path);
    SecureBytes input = readStandardInput();
    auto first = std::find(input.begin(), input.end(), std::uint8_t{0});
    if (first == input.end()) {
        throw ToolError("expected the old and the new password, each followed by a zero byte");
    }
    auto second = std::find(first + 1, input.end(), std::uint8_t{0});
    if (second == input.end() || second + 1 != input.end()) {
        throw ToolError("expected the old and the new password, each followed by a zero byte");
    }
    SecureBytes oldPassword(input.begin(), first);
    SecureBytes newPassword(first + 1, second);
    if (newPassword.empty()) {
        throw ToolError("the password cannot be empty");
    }
    MasterKey key = bundle.unlock(oldPassword);
    bundle.rewrap(key, newPassword);
    return 0;
}

int imageinfo(const Options& o) {
    const Bundle bundle = unlockImage(o).bundle;
    std::printf("Format: sparse bundle\nEncryption: AES-256-XTS\nSize: %llu\nBand size: %llu\n",
                static_cast<unsigned long long>(bundle.sizeBytes()), static_cast<unsigned long long>(kBandSize));
    return 0;
}

int resize(const Options& o) {
    if (o.size.empty()) {
        throw ToolError("a size is required (-size)");
    }
    std::uint64_t size = parseSizeArgument(o.size);
    auto [path, bundle, key] = unlockImage(o);
    if (size < kMinimumSize || size > kMaximumSize || size % kSectorSize != 0) {
        throw ToolError("invalid size \"" + o.size + "\": Invalid argument");
    }
    ImageLock lock(path);
    refuseIfAttached(path, lock);
    requireFuse();
    runtime::sweepStaleWork();
    const std::uint64_t old = bundle.sizeBytes();
    if (size > old && hostRoom(bundle) < roomToGrow(size)) {
        throw ToolError(Failure::hostDiskFull);
    }
    if (size >= old) {
        // The limit grows first, then the file system: an interruption leaves a smaller file
        // system on a larger disk, which the next resize (to the same size, too) grows to the
        // recorded size. A grow that fails puts the old limit back, unless the file system had
        // grown past it already. The file system grows while mounted, by the kernel; offline
        // growth after a shrink has damaged volumes before.
        if (size > old) {
            bundle.setSize(size);
        }
        std::optional<std::uint64_t> reached; // the file system's size after a failure
        try {
            withDisk(bundle, key, [&](const std::string& disk, DiskServer& server, runtime::WorkFolder& work) {
                reached = fileSystemBytes(disk);
                if (reached && *reached >= size) {
                    return; // nothing to grow
                }
                const std::optional<std::uint64_t> before = reached;
                try {
                    checkFileSystem(disk);
                    auto mounter = makeMounter();
                    if (mounter->growsOnline()) {
                        withMountedVolume(server, work, [&](const LoopDevice& device, const std::string& mountPoint) {
                            mounter->grow(device, mountPoint, size);
                        });
                    } else {
                        // Without CAP_SYS_RESOURCE the kernel refuses to resize; resize2fs grows the
                        // file system offline, and the check below reports any damage that did.
                        ChildResult r = runChild({"resize2fs", disk});
                        if (r.status != 0) {
                            runtime::log("resize2fs (status " + std::to_string(r.status) + ")", r.out);
                            throw ToolError("the file system could not grow");
                        }
                    }
                    requireClean(disk, "growing");
                    reached = fileSystemBytes(disk); // what stays if the last sync fails
                } catch (...) {
                    reached = fileSystemBytes(disk);
                    // The kernel grows a group at a time and may stop part of the way. The groups
                    // it added are empty, so the file system goes back to its old size, unless it
                    // is damaged or its storage failed.
                    if (before && reached && *reached > *before && !storageFailure(server.store()) &&
                        runChild({"e2fsck", "-f", "-n", disk}).status == 0) {
                        ChildResult r = runChild({"resize2fs", disk, std::to_string(*before / 1024) + "K"});
                        if (r.status != 0) {
                            runtime::log("resize2fs back to the old size (status " + std::to_string(r.status) + ")",
                                         r.out);
                        }
                        reached = fileSystemBytes(disk);
                    }
                    throw;
                }
            });
        } catch (const std::exception& e) {
            const bool keepsItsSize = reached && *reached <= old;
            if (size > old && keepsItsSize) {
                bundle.setSize(old);
            }
            // A failure of a kind of its own (the host disk, the image's storage, a refusal) says
            // why by itself; the others are told as the grow's outcome.
            if (const auto* failure = dynamic_cast<const ToolError*>(&e); failure && failure->kind != Failure::other) {
                throw;
            }
            runtime::log("growing", e.what());
            throw ToolError(keepsItsSize ? "The vault could not grow, so it keeps its size."
                                         : "The vault could not grow all the way; resizing it again finishes it.");
        }
    } else if (size < old) {
        // The file system shrinks first, the limit after it, so the disk never ends inside it.
        std::string newSize = std::to_string(size / 1024) + "K";
        withDisk(bundle, key, [&](const std::string& disk, DiskServer&, runtime::WorkFolder&) {
            checkFileSystem(disk);
            if (minimumFileSystemBytes(disk) > size) {
                throw ToolError(Failure::limitBelowUse, "the new size is smaller than the data inside needs");
            }
            if (hostRoom(bundle) < roomToShrink(disk, size)) {
                throw ToolError(Failure::hostDiskFull);
            }
            ChildResult r = runChild({"resize2fs", disk, newSize});
            if (r.status != 0) {
                runtime::log("resize2fs (status " + std::to_string(r.status) + ")", r.out);
                throw ToolError("The file system could not shrink.");
            }
            requireClean(disk, "shrinking");
        });
        bundle.setSize(size);
        BandStore store(bundle.bandsPath(), size, key);
        store.keepRecord(bundle.bandRecordPath(), key.nameKey(), bundle.keepsBandRecord());
        carryOnWithKeptBands(bundle, store);
        store.removeBeyond(size);
    }
    return 0;
}

int compact(const Options& o) {
    auto [path, bundle, key] = unlockImage(o);
    ImageLock lock(path);
    refuseIfAttached(path, lock);
    runtime::sweepStaleWork();
    // The offline check hands every free block to the disk as a discard, which leaves holes in
    // the bands where the freed data was.
    withDisk(bundle, key, [&](const std::string& disk, DiskServer&, runtime::WorkFolder&) {
        checkFileSystem(disk, {"-E", "discard"});
    });
    std::printf("Reclaimed free space in %s.\n", path.c_str());
    return 0;
}

// Takes back the repair an attach made: the disk goes back to what it was before the repair, and
// loses what was written since. While the image is not attached, until it is attached again after
// the repaired volume was shown.
int undorepair(const Options& o) {
    auto [path, bundle, key] = unlockImage(o);
    ImageLock lock(path);
    refuseIfAttached(path, lock);
    struct stat st {};
    if (::lstat(bundle.repairKeepPath().c_str(), &st) != 0) {
        throw ToolError("this vault has no repair to take back");
    }
    BandStore store(bundle.bandsPath(), bundle.sizeBytes(), key);
    store.keepRecord(bundle.bandRecordPath(), key.nameKey(), bundle.keepsBandRecord());
    takeBackRepair(bundle, store);
    std::printf("The repair of %s was taken back.\n", path.c_str());
    return 0;
}

AttachedImage attachedVolume(const std::string& mountPoint) {
    auto a = findVolume(mountPoint);
    if (!a || !a->alive()) {
        throw ToolError(Failure::notFound, "Could not find disk: " + mountPoint);
    }
    return *a;
}

int rename(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        throw ToolError("usage: diskutil rename <mount point> <new name>");
    }
    AttachedImage a = attachedVolume(args[1]);
    const std::string& name = args[2];
    if (!Bundle::acceptableNewVolumeName(name)) {
        throw ToolError(Failure::invalidName,
                        "invalid volume name \"" + xmlSafeText(name) +
                            "\" (names are UTF-8 text without control characters and do not begin with \".\")");
    }
    // The service stores the name and moves the volume to its new folder when the control file
    // is closed; what close() reports is the outcome.
    int fd = ::open((a.diskFolder + "/name").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        throwErrno("the volume's disk service", errno);
    }
    bool written = ::write(fd, name.data(), name.size()) == static_cast<ssize_t>(name.size());
    int err = written ? 0 : errno;
    if (::close(fd) != 0 && written) {
        err = errno;
    }
    if (err == EBUSY) {
        throw ToolError(Failure::busy, "the volume is busy, so it keeps its name: Resource busy");
    }
    if (err == EPERM) {
        throw ToolError(Failure::notAuthorized, "This computer does not allow you to rename the vault’s disk. An "
                                                "administrator can allow it in the polkit rules for udisks2.");
    }
    if (err == ECANCELED) {
        throw ToolError(Failure::authorizationCancelled,
                        "The request for permission was cancelled, so the vault keeps its name.");
    }
    if (err != 0) {
        auto now = runtime::findByImage(a.imagePath);
        if (!now || !now->alive() || !isMountPoint(now->mountPoint)) {
            throw ToolError("the volume could not be mounted under its new name and was detached");
        }
        throwErrno("the new name could not be stored", err);
    }
    std::printf("Volume on %s renamed to %s\n", a.mountPoint.c_str(), name.c_str());
    return 0;
}

int verifyVolume(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        throw ToolError("usage: diskutil verifyVolume <mount point>");
    }
    AttachedImage a = attachedVolume(args[1]);
    std::printf("Started file system verification on %s\n", a.mountPoint.c_str());
    std::fflush(stdout);
    // The image's service checks the volume while nothing can change it. A service busy with
    // another check or a rename is asked again.
    ChildResult r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        int fd = ::open((a.diskFolder + "/check").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            std::string report;
            readToEnd(fd, report);
            ::close(fd);
            auto newline = report.find('\n');
            if (report.rfind("status ", 0) != 0 || newline == std::string::npos) {
                throw ToolError("the volume's disk service gave no report");
            }
            r.status = std::atoi(report.c_str() + 7);
            r.out = report.substr(newline + 1);
            break;
        }
        if (errno != EBUSY || std::chrono::steady_clock::now() > deadline) {
            throwErrno("the volume's disk service", errno);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fputs(r.out.c_str(), stdout);
    if (!r.out.empty() && r.out.back() != '\n') {
        std::fputc('\n', stdout);
    }
    std::printf("File system check exit code is %d.\n", r.status);
    if (r.status == 0) {
        std::printf("Finished file system verification on %s\n", a.mountPoint.c_str());
        return 0;
    }
    std::printf("The volume %s was found corrupt and needs to be repaired.\n", a.mountPoint.c_str());
    return 1;
}

} // namespace

int hdiutil(const std::vector<std::string>& args) {
    static const std::pair<const char*, int (*)(const Options&)> verbs[] = {
        {"attach", attach},       {"chpass", chpass}, {"compact", compact},
        {"create", create},       {"detach", detach}, {"info", info},
        {"imageinfo", imageinfo}, {"resize", resize}, {"undorepair", undorepair}};
    std::string verb = args.empty() ? "" : args[0];
    auto found = std::find_if(std::begin(verbs), std::end(verbs), [&](const auto& v) { return verb == v.first; });
    if (found == std::end(verbs)) {
        std::fprintf(stderr, "Usage: hdiutil <verb> <options>\nverbs: attach, chpass, compact, create, detach, "
                             "imageinfo, info, resize, undorepair\n");
        return 1;
    }
    return runVerb("hdiutil", verb, [&] { return found->second(parse(args, 1)); });
}

int diskutil(const std::vector<std::string>& args) {
    std::string verb = args.empty() ? "" : args[0];
    if (verb != "rename" && verb != "verifyVolume") {
        std::fprintf(stderr, "Usage: diskutil rename <mount point> <name> | verifyVolume <mount point>\n");
        return 1;
    }
    return runVerb("diskutil", verb, [&] { return verb == "rename" ? rename(args) : verifyVolume(args); });
}

int mdutil(const std::vector<std::string>& args) {
    if (args.size() != 3 || args[0] != "-i" || args[1] != "off") {
        std::fprintf(stderr, "Usage: mdutil -i off <mount point>\n");
        return 1;
    }
    // Desktop indexers (Tracker and friends) skip folders that hold this marker.
    std::string marker = args[2] + "/.trackerignore";
    int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "mdutil: %s: %s\n", args[2].c_str(), errnoText(errno).c_str());
        return 1;
    }
    ::close(fd);
    std::printf("%s:\n\tIndexing disabled.\n", args[2].c_str());
    return 0;
}

} // namespace larkhold::diskimage
