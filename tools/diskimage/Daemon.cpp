#include "Daemon.h"

#include "DiskServer.h"
#include "Mounter.h"
#include "Runtime.h"
#include "Util.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <initializer_list>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace larkhold::diskimage {

namespace {

// ext4's "going down" request; flag 0 writes everything out first, then refuses all further I/O.
constexpr unsigned long kExt4Shutdown = _IOR('X', 125, std::uint32_t);

// Markers in the folder of a repair's kept bands.
constexpr char kTakingBack[] = "/taking-back";

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// What tells one mount namespace from another: the mount of the process's top folder, whose id no
// other namespace shares (a namespace made by copying gets copies with ids of their own). Read from
// mountinfo, which stays readable where the namespace links of other processes (init's in a
// container) do not. Empty when it cannot be read.
std::string mountNamespace(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/mountinfo");
    std::string top;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, mountPoint;
        fields >> id >> parent >> dev >> root >> mountPoint;
        if (mountPoint == "/") {
            top = id;
        }
    }
    return top;
}

// Whether no other process is left in this process's mount namespace: the namespace a volume was
// attached in has ended, and only this service keeps it, and the volume in it, alive.
bool aloneInMountNamespace() {
    const std::string own = mountNamespace("self");
    const std::string self = std::to_string(::getpid());
    DIR* proc = ::opendir("/proc");
    if (own.empty() || !proc) {
        if (proc) {
            ::closedir(proc);
        }
        return false;
    }
    bool alone = true;
    while (dirent* e = ::readdir(proc)) {
        if (alone && e->d_name[0] >= '1' && e->d_name[0] <= '9' && self != e->d_name) {
            alone = mountNamespace(e->d_name) != own;
        }
    }
    ::closedir(proc);
    return alone;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string queuePath(const std::string& device, const char* name) {
    return "/sys/block/" + device.substr(device.rfind('/') + 1) + "/queue/" + name;
}

// Sets one of a block device's queue settings; best effort, since only root may and the defaults work.
void setQueueSetting(const std::string& device, const char* name, const std::string& value) {
    const int fd = ::open(queuePath(device, name).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        writeAll(fd, value);
        ::close(fd);
    }
}

std::string queueSetting(const std::string& device, const char* name) {
    std::string value;
    if (const int fd = ::open(queuePath(device, name).c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        readToEnd(fd, value, 64);
        ::close(fd);
    }
    value.erase(value.find_last_not_of("\n") + 1);
    return value;
}

// A loop device's queue settings as they were before this service changed them.
struct QueueSettings {
    std::string device;
    std::vector<std::pair<const char*, std::string>> found;
};

// The disk service answers a read in the time the band files' disk takes, whatever its length up to
// a FUSE request's limit (1 MiB), and serves many at once: a read-ahead of 32 MiB lets a sequential
// read keep the disk busy. The request size is left as it is: a change to it stops the kernel's queue
// for a moment at every unlock and lock (some 30 ms), for little.
QueueSettings tuneLoopDevice(const std::string& device) {
    QueueSettings before{device, {}};
    if (std::string value = queueSetting(device, "read_ahead_kb"); !value.empty()) {
        before.found.emplace_back("read_ahead_kb", std::move(value));
    }
    setQueueSetting(device, "read_ahead_kb", std::to_string(32 << 10));
    return before;
}

// A loop device keeps its queue settings once it is let go, and whoever takes it next would read
// with this service's read-ahead, which slows a loop device without direct I/O down sixfold. So a
// device that is free again gets back what it had; one already taken again is left alone.
void restoreLoopDevice(const QueueSettings& before) {
    if (before.device.empty() ||
        ::access(("/sys/block/" + before.device.substr(before.device.rfind('/') + 1) + "/loop").c_str(), F_OK) == 0) {
        return;
    }
    for (const auto& [name, value] : before.found) {
        setQueueSetting(before.device, name, value);
    }
}

void closeInheritedFiles(std::initializer_list<int> keep) {
    std::vector<int> open;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            int fd = std::atoi(e->d_name);
            if (fd > 2 && fd != ::dirfd(d) && std::find(keep.begin(), keep.end(), fd) == keep.end()) {
                open.push_back(fd);
            }
        }
        ::closedir(d);
    }
    for (int fd : open) {
        ::close(fd);
    }
}

// The value of one "Name:   value" line of dumpe2fs -h.
std::string superblockField(const std::string& dump, const std::string& name) {
    std::istringstream lines(dump);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            auto start = line.find_first_not_of(' ', name.size() + 1);
            return start == std::string::npos ? std::string() : line.substr(start);
        }
    }
    return {};
}

// mountinfo spells space, tab, newline and backslash in octal.
std::string decodeMountPath(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out.push_back(static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8)));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

// `path` opened for reading, or -1 unless what it leads to lies on the file system of `device`
// (the device number): a path can be taken over by a mount between any look and the open.
int openOnDevice(const std::string& path, dev_t device, int flags) {
    if (device == 0) {
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_dev != device)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The first descriptor `open` gives for a running process (its pid as text), or -1 when it gives
// none for any.
template <class Open> int firstFromAProcess(Open open) {
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return -1;
    }
    int found = -1;
    while (found < 0) {
        const dirent* e = ::readdir(proc);
        if (!e) {
            break;
        }
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9') {
            found = open(std::string(e->d_name));
        }
    }
    ::closedir(proc);
    return found;
}

// The top folder of the file system on `device`, opened through a process of any mount namespace
// that still has it mounted; -1 when there is none.
int openWhereStillMounted(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return -1;
    }
    const std::string wanted = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    return firstFromAProcess([&](const std::string& pid) {
        std::ifstream in("/proc/" + pid + "/mountinfo");
        std::string line;
        int found = -1;
        while (found < 0 && std::getline(in, line)) {
            std::istringstream fields(line);
            std::string id, parent, dev, root, mountPoint;
            fields >> id >> parent >> dev >> root >> mountPoint;
            if (dev == wanted && root == "/") {
                // The path leads to whatever is mounted there last, which may be another file system.
                const std::string path = "/proc/" + pid + "/root" + decodeMountPath(mountPoint);
                found = openOnDevice(path, st.st_rdev, O_DIRECTORY);
            }
        }
        return found;
    });
}

// A file of the file system on `device` that some process still holds open, opened again through
// that process; -1 when there is none. A volume unmounted lazily is mounted nowhere, and its open
// files are the only way left to it. Only regular files and folders are opened, which never block.
int openAFileStillOpenOn(const std::string& device) {
    struct stat dev {};
    if (device.empty() || ::stat(device.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) {
        return -1;
    }
    return firstFromAProcess([&](const std::string& pid) {
        const std::string fds = "/proc/" + pid + "/fd";
        DIR* d = ::opendir(fds.c_str());
        int found = -1;
        while (d && found < 0) {
            dirent* f = ::readdir(d);
            if (!f) {
                break;
            }
            const std::string path = fds + "/" + f->d_name;
            struct stat st {};
            if (f->d_name[0] != '.' && ::stat(path.c_str(), &st) == 0 && st.st_dev == dev.st_rdev &&
                (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
                found = openOnDevice(path, dev.st_rdev, O_NONBLOCK | O_NOCTTY);
            }
        }
        if (d) {
            ::closedir(d);
        }
        return found;
    });
}

// Everything the service process does after it has detached from the attach command.
class Service {
public:
    Service(const Bundle& bundle, MasterKey key, AttachedImage image)
        : bundle_(bundle), key_(std::move(key)), image_(std::move(image)),
          store_(bundle_.bandsPath(), bundle_.sizeBytes(), key_),
          server_(
              store_, [this](const std::string& name) { return rename(name); }, [this] { return check(); },
              [this] { return writeOut(); }) {
        lockInMemory(key_.bytes().data(), key_.bytes().size());
        idle_ = ::eventfd(0, EFD_CLOEXEC);
    }
    ~Service() {
        if (idle_ >= 0) {
            ::close(idle_);
        }
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Returns the process's exit status.
    int run(int statusFd) {
        int signals = blockSignals();
        // This process serves the disk that the kernel writes back to; reclaiming memory for its
        // own I/O must not wait for that very write-back. Needs CAP_SYS_RESOURCE; best effort.
        ::prctl(PR_SET_IO_FLUSHER, 1, 0, 0, 0);
        std::string note;
        bool createdFolder = false;
        try {
            mounter_ = makeMounter();
            makeDirectories(image_.diskFolder, 0700);
            server_.onIdle([this] {
                std::uint64_t one = 1;
                (void)::write(idle_, &one, sizeof one);
            });
            try {
                store_.keepRecord(bundle_.bandRecordPath(), key_.nameKey(), bundle_.keepsBandRecord());
                carryOnWithKeptBands(bundle_, store_);
                server_.start(image_.diskFolder);
                note = prepareFileSystem(server_.diskPath(), store_, bundle_.repairKeepPath());
                std::optional<runtime::MountLock> mounts;
                std::string wanted;
                if (mounter_->choosesMountPoint()) {
                    // Held until the volume is mounted in the folder, so no other volume is given it.
                    mounts.emplace();
                    runtime::forgetVolumesThatLeftTheirFolders();
                    wanted = runtime::createMountPoint(runtime::mountRoot(image_.hidden), image_.volumeName);
                    createdFolder = true;
                }
                mountVolume(wanted);
            } catch (const ToolError& e) {
                if (const std::optional<Failure> failure = storageFailure(store_)) {
                    throw ToolError(*failure);
                }
                throw;
            }
            if (!note.empty()) {
                note += lostAndFoundReport(image_.mountPoint);
                note += " What the repair changed is kept until the vault is next unlocked.";
            }
            // The repaired volume has been shown; the next use of the vault lets what it kept go.
            // Should the note not be written, the keeping goes on until a later attach shows it.
            try {
                store_.markKeptBandsShown();
            } catch (const ToolError&) {
            }
            image_.daemonPid = ::getpid();
            image_.daemonStart = processStartTime(image_.daemonPid);
            runtime::save(image_);
            // A mount this process cannot see (udisks mounting in another namespace) is not watched.
            {
                std::lock_guard lock(stateMutex_);
                watchMount_ = ownMountInFolder();
            }
        } catch (const std::exception& e) {
            // The kind travels with the sentence, so that the attach exits as a failure of that kind.
            const auto* failure = dynamic_cast<const ToolError*>(&e);
            writeAll(statusFd, "error " + std::to_string(failure ? failure->exitCode() : 1) + "\n" + e.what());
            ::close(statusFd);
            if (mounted_) {
                mounter_->unmount(device_, image_.mountPoint, true);
            }
            if (createdFolder) {
                ::rmdir(image_.mountPoint.c_str());
            }
            // A loop device that clears itself lets the disk go a moment later. Whatever keeps it
            // longer (udisks answering a failed LoopSetup with the descriptor still open) is not
            // waited for: this process holds the image's lock, and the next attach would wait.
            if (!server_.waitUntilIdle(std::chrono::seconds(5))) {
                store_.sync();
                if (fuseUnmount(image_.diskFolder, false)) {
                    fuseUnmount(image_.diskFolder, true);
                }
                ::rmdir(image_.diskFolder.c_str());
                _exit(1);
            }
            restoreLoopDevice(tuned_);
            server_.stop();
            ::rmdir(image_.diskFolder.c_str());
            return 1;
        }
        {
            // Whatever failed while the volume was checked and mounted was told by the attach.
            std::lock_guard lock(stateMutex_);
            toldFailures_ = store_.failures();
        }
        writeAll(statusFd, "ok\n" + note);
        ::close(statusFd);
        finishOperation();
        switch (supervise(signals)) {
        case Ending::forced:
            forcedStop(); // does not return
        case Ending::leftBehind:
            endBehindTheVolume(); // does not return
        case Ending::unmounted:
            break;
        }
        shutdown();
        return 0;
    }

private:
    static int blockSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        return ::signalfd(-1, &set, SFD_CLOEXEC);
    }

    // Sets up a loop device over the disk and mounts its file system.
    void mountVolume(const std::string& wanted) {
        restoreLoopDevice(std::exchange(tuned_, {})); // the device of an earlier mount, now free
        const LoopDevice device = setUpLoopDevice(*mounter_, server_.diskPath());
        if (mounter_->privileged()) {
            tuned_ = tuneLoopDevice(device.path);
        }
        std::string mountPoint = mounter_->mount(device, wanted);
        struct stat st {};
        const dev_t number = ::stat(device.path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) ? st.st_rdev : 0;
        std::lock_guard lock(stateMutex_);
        device_ = device;
        deviceNumber_ = number;
        mounted_ = true;
        image_.mountPoint = mountPoint;
        image_.device = device.path;
        image_.deviceObject = device.object;
    }

    enum class Ending {
        forced,     // told to stop (SIGTERM)
        unmounted,  // the file system was unmounted and its loop device released the disk
        leftBehind, // the volume left its folder, but the disk is still in use: files stay open in
                    // a volume unmounted lazily, or another mount namespace still holds a copy
    };

    // Whether this service's own file system is still mounted in its folder, not gone from it with
    // another mount in its place. One that a later mount covers still is: a lock finds it by its
    // device. The caller holds stateMutex_.
    bool ownMountInFolder() const {
        return mounted_ && deviceAtFolder(device_.path, image_.mountPoint) != DeviceAtFolder::absent;
    }

    // Until the volume is gone; changes of this namespace's mounts are watched as well. A volume
    // attached in a mount namespace of its own (unshare -m, a sandbox) is there only while some
    // process is: nothing tells when the last one has gone, so that is asked now and then.
    Ending supervise(int signals) {
        const int mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        const std::string own = mountNamespace("self");
        const std::string init = mountNamespace("1");
        const bool ownNamespace = mounter_->privileged() && !own.empty() && !init.empty() && own != init;
        for (;;) {
            pollfd fds[3] = {{signals, POLLIN, 0}, {idle_, POLLIN, 0}, {mounts, POLLPRI, 0}};
            if (::poll(fds, mounts >= 0 ? 3 : 2, ownNamespace ? 2000 : -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return Ending::forced;
            }
            if (fds[0].revents & POLLIN) {
                return Ending::forced;
            }
            if (fds[1].revents & POLLIN) {
                std::uint64_t count = 0;
                (void)::read(idle_, &count, sizeof count);
            }
            std::unique_lock lock(stateMutex_);
            if (busy_) {
                continue;
            }
            if (server_.openDisks() == 0) {
                return Ending::unmounted;
            }
            if (ownNamespace && aloneInMountNamespace()) {
                return Ending::forced; // the namespace it was attached in has ended
            }
            if (!watchMount_ || ownMountInFolder()) {
                continue;
            }
            // An unmount here ends with the loop device letting the disk go, a moment later. A folder
            // taken by another mount meanwhile does not bring the volume back.
            lock.unlock();
            if (server_.waitUntilIdle(std::chrono::seconds(5))) {
                return Ending::unmounted;
            }
            lock.lock();
            if (!busy_ && !ownMountInFolder()) {
                return Ending::leftBehind;
            }
        }
    }

    // The volume was unmounted here while something else keeps its file system: a lock must still
    // take the key away. What that file system holds in memory is written out first, wherever it
    // is mounted; from then on every request to the disk fails, and the service ends, so the copy
    // that stays turns read-only on its next write instead of taking writes that would be lost.
    [[noreturn]] void endBehindTheVolume() {
        std::lock_guard operation(operationMutex_);
        if (mounter_->privileged()) {
            // As root the file system is reached where it is still mounted, or through a file still
            // open in it, written out, and shut down: from then on it refuses reads as well, also
            // of what it holds in memory.
            int dir = openWhereStillMounted(device_.path);
            if (dir < 0) {
                dir = openAFileStillOpenOn(device_.path);
            }
            if (dir >= 0) {
                ::syncfs(dir);
                std::uint32_t flags = 0;
                ::ioctl(dir, kExt4Shutdown, &flags);
                ::close(dir);
            }
        }
        // sync(2) is the only way left to that file system, and it waits for every other one on
        // the machine too; one that hangs (a dead FUSE server's) must not keep the key alive.
        auto synced = std::make_shared<std::promise<void>>();
        std::future<void> done = synced->get_future();
        std::thread([synced] {
            ::sync();
            synced->set_value();
        }).detach();
        done.wait_for(std::chrono::seconds(60));
        store_.sync();
        endService();
    }

    // The end of a service whose volume is gone from its folder: the key goes, then the records.
    [[noreturn]] void endService() {
        store_.close();
        key_.forget();
        removeMountFolder();
        runtime::forget(image_.imagePath, ::getpid());
        // Never waits for the disk's last user: a loop device that still holds it gets I/O errors
        // once this process is gone, and the kernel clears it when the last open file is closed.
        if (fuseUnmount(image_.diskFolder, false)) {
            fuseUnmount(image_.diskFolder, true);
        }
        ::rmdir(image_.diskFolder.c_str());
        _exit(0);
    }

    void beginOperation() {
        std::lock_guard lock(stateMutex_);
        busy_ = true;
    }

    // Ends a remount or a check; a volume that is gone meanwhile ends the service.
    void finishOperation() {
        {
            std::lock_guard lock(stateMutex_);
            busy_ = false;
        }
        std::uint64_t one = 1;
        (void)::write(idle_, &one, sizeof one);
    }

    // A forced detach: what was written reaches the disk, the volume leaves its folder even while
    // files are open in it, and as root the file system then refuses every further write, so that
    // nothing written after the detach is lost without an error. The service ends at once.
    [[noreturn]] void forcedStop() {
        std::lock_guard operation(operationMutex_);
        if (mounted_) {
            // Reached through its folder only where that shows it; otherwise wherever it is still
            // mounted, or through a file still open in it. What covers the folder is left alone.
            int dir = openOnVolume(image_.mountPoint);
            if (dir < 0 && mounter_->privileged()) {
                dir = openWhereStillMounted(device_.path);
            }
            if (dir < 0 && mounter_->privileged()) {
                dir = openAFileStillOpenOn(device_.path);
            }
            if (dir >= 0) {
                ::syncfs(dir);
            }
            mounter_->unmount(device_, image_.mountPoint, true);
            if (dir >= 0 && mounter_->privileged()) {
                std::uint32_t flags = 0;
                ::ioctl(dir, kExt4Shutdown, &flags);
            }
            if (dir >= 0) {
                ::close(dir);
            }
        }
        store_.sync();
        endService();
    }

    // A folder or file of this volume's own file system, opened by path: -1 when what the path
    // leads to lies on another file system (mounted over the folder, or bound in its place), which
    // nothing of this service may sync, freeze, shut down or unmount.
    int openOnVolume(const std::string& path) const {
        return openOnDevice(path, deviceNumber_, O_DIRECTORY | O_NOFOLLOW);
    }

    // A lock's write-out, while the volume is still mounted: what the file system holds reaches the
    // disk file, the bands are flushed, and a write that failed since the last write-out (the
    // kernel's own write-back may have met a full host disk a while ago) fails this one. A failure
    // is told once: a file system that met one stays failed (ext4 gives up its journal, and every
    // later sync fails), and a lock tried again after room was made goes ahead.
    int writeOut() {
        std::unique_lock operation(operationMutex_, std::try_to_lock);
        if (!operation.owns_lock()) {
            return -EBUSY;
        }
        int rc = 0;
        if (mounted_) {
            int dir = openOnVolume(image_.mountPoint);
            if (dir < 0 && mounter_->privileged()) {
                dir = openAFileStillOpenOn(device_.path); // the folder is covered by another mount
            }
            if (dir >= 0) {
                if (::syncfs(dir) != 0) {
                    rc = -EIO;
                }
                ::close(dir);
            }
        }
        if (const int synced = store_.sync(); synced != 0 && rc == 0) {
            rc = synced == -ENOSPC ? -ENOSPC : -EIO;
        }
        const BandStore::Failures now = store_.failures();
        std::lock_guard lock(stateMutex_);
        if (now.noSpace != toldFailures_.noSpace) {
            rc = -ENOSPC;
        } else if (now != toldFailures_) {
            rc = -EIO;
        } else if (toldAFailure_) {
            rc = 0;
        }
        toldFailures_ = now;
        toldAFailure_ = toldAFailure_ || rc != 0;
        return rc;
    }

    // The file system is only consistent on disk while nothing changes it. As root the volume is
    // frozen for the check and stays mounted; udisks cannot freeze, so the volume is unmounted,
    // checked and mounted again, or, when it is in use, checked where it stands after a sync, and
    // a report of problems may then be stale. Returns an empty report when no check can run now.
    std::string check() {
        std::unique_lock operation(operationMutex_, std::try_to_lock);
        if (!operation.owns_lock() || !mounted_) {
            return {};
        }
        beginOperation();
        ChildResult result;
        std::string remountFailure;
        auto fsck = [&](const std::string& target) {
            try {
                result = runChild({"e2fsck", "-f", "-n", target});
            } catch (const std::exception& e) {
                result.status = 8;
                result.out = e.what();
            }
        };
        int dir = openOnVolume(image_.mountPoint);
        if (mounter_->privileged()) {
            bool frozen = dir >= 0 && ::ioctl(dir, FIFREEZE, 0) == 0;
            if (!frozen && dir >= 0) {
                ::syncfs(dir);
            }
            fsck(device_.path);
            if (frozen) {
                ::ioctl(dir, FITHAW, 0);
            }
        } else if (mounter_->unmount(device_, image_.mountPoint, false)) {
            mounted_ = false;
            fsck(server_.diskPath());
            try {
                mountVolume(image_.mountPoint);
                runtime::save(image_);
            } catch (const std::exception& e) {
                runtime::log("mounting again after the check", e.what());
                remountFailure = "\nThe volume could not be mounted again.";
            }
        } else {
            if (dir >= 0) {
                ::syncfs(dir);
            }
            fsck(server_.diskPath());
        }
        if (dir >= 0) {
            ::close(dir);
        }
        finishOperation();
        // The transcript goes to the log; the report says in one line what was found. A band the
        // image has written and that is gone or cut short is a finding of its own, which the
        // file system may not notice until the blocks in it are read.
        std::string finding;
        if (!store_.missingBands().empty()) {
            finding = sentenceOf(Failure::missingPart);
            result.status = std::max(result.status, 4);
        } else if (result.status != 0) {
            runtime::log("e2fsck -f -n (status " + std::to_string(result.status) + ")", result.out);
            finding = result.status >= 8 ? "The volume's file system could not be checked."
                                         : "The volume's file system has errors that need repair.";
        }
        return "status " + std::to_string(result.status) + "\n" + finding + remountFailure;
    }

    // Called when the "name" control file is closed: stores the name and moves the volume to the
    // folder of that name. A volume in use keeps its name (EBUSY).
    int rename(const std::string& name) {
        if (!Bundle::acceptableNewVolumeName(name)) {
            return -EINVAL;
        }
        std::lock_guard operation(operationMutex_);
        const std::string oldName = image_.volumeName;
        try {
            bundle_.setVolumeName(key_, name);
        } catch (const std::exception&) {
            return -EIO;
        }
        if (name == oldName || !mounted_) {
            image_.volumeName = name;
            return 0;
        }
        beginOperation();
        int rc = moveTo(name);
        if (rc != 0 && rc != -EIO) {
            try {
                bundle_.setVolumeName(key_, oldName);
            } catch (const std::exception&) {
            }
        }
        finishOperation();
        return rc;
    }

    int moveTo(const std::string& name) {
        const std::string old = image_.mountPoint;
        try {
            if (mounter_->choosesMountPoint()) {
                runtime::MountLock mounts;
                const std::string target = runtime::createMountPoint(dirName(old), name);
                // Moving the mount works while files are open; it is refused under a shared mount.
                if (mounter_->privileged() && moveMount(old, target)) {
                    ::rmdir(old.c_str());
                    image_.mountPoint = target;
                } else {
                    if (!mounter_->unmount(device_, old, false)) {
                        ::rmdir(target.c_str());
                        return -EBUSY;
                    }
                    mounted_ = false;
                    ::rmdir(old.c_str());
                    remount(target);
                }
            } else {
                mounter_->setLabel(device_, labelFor(name));
                if (!mounter_->unmount(device_, old, false)) {
                    mounter_->setLabel(device_, labelFor(image_.volumeName));
                    return -EBUSY;
                }
                mounted_ = false;
                remount({});
            }
        } catch (const ToolError& e) {
            // A refusal keeps the volume where it was, and is told as one rather than as "busy".
            if (mounted_ && e.kind == Failure::notAuthorized) {
                return -EPERM;
            }
            if (mounted_ && e.kind == Failure::authorizationCancelled) {
                return -ECANCELED;
            }
            return mounted_ ? -EBUSY : -EIO;
        } catch (const std::exception&) {
            return mounted_ ? -EBUSY : -EIO;
        }
        image_.volumeName = name;
        try {
            runtime::save(image_);
        } catch (const std::exception&) {
        }
        return 0;
    }

    // Moves the volume's own mount, reached through a descriptor of its top folder, so that a mount
    // over the folder is never what moves.
    bool moveMount(const std::string& from, const std::string& to) const {
        const int dir = openOnVolume(from);
        if (dir < 0) {
            return false;
        }
        struct stat st {};
        const std::string self = "/proc/self/fd/" + std::to_string(dir);
        // Only the top of the file system is a mount that can move.
        const bool top = ::fstat(dir, &st) == 0 && st.st_ino == 2;
        const bool moved = top && ::mount(self.c_str(), to.c_str(), nullptr, MS_MOVE, nullptr) == 0;
        ::close(dir);
        return moved;
    }

    // Mounts the volume again after it was unmounted for a new name; when that fails, the volume
    // is gone and the service ends once its disk is released.
    void remount(const std::string& wanted) {
        try {
            mountVolume(wanted);
        } catch (...) {
            if (!wanted.empty()) {
                ::rmdir(wanted.c_str());
            }
            throw;
        }
    }

    void removeMountFolder() {
        if (!mounter_ || !mounter_->choosesMountPoint()) {
            return; // udisks removes the folders it made
        }
        std::optional<runtime::MountLock> mounts;
        try {
            mounts.emplace();
        } catch (const std::exception&) {
        }
        ::rmdir(image_.mountPoint.c_str());
    }

    void shutdown() {
        restoreLoopDevice(tuned_);
        removeMountFolder();
        server_.stop();
        ::rmdir(image_.diskFolder.c_str());
        runtime::forget(image_.imagePath, ::getpid());
    }

    Bundle bundle_;
    MasterKey key_;
    AttachedImage image_;
    BandStore store_;
    DiskServer server_;
    std::unique_ptr<Mounter> mounter_;
    int idle_ = -1;
    std::mutex operationMutex_; // one check, rename or forced stop at a time
    std::mutex stateMutex_;
    bool busy_ = true; // mounting, unmounting or checking: a released disk does not end the service
    bool mounted_ = false;
    bool watchMount_ = false;
    LoopDevice device_;
    dev_t deviceNumber_ = 0; // of device_, while it is mounted
    BandStore::Failures toldFailures_; // as the last write-out found them
    bool toldAFailure_ = false;        // a write-out failed since the volume was mounted
    QueueSettings tuned_;
};

} // namespace

std::optional<Failure> storageFailure(const BandStore& store) {
    if (store.ranOutOfSpace()) {
        return Failure::hostDiskFull;
    }
    return store.failedToReadOrWrite() ? std::optional(Failure::missingPart) : std::nullopt;
}

void requireOwnFileSystem(BandStore& store) {
    // ext4's superblock: 1024 bytes at offset 1024; magic at 0x38, UUID at 0x68, the block count in
    // 0x04 (and 0x150 with the 64bit feature, 0x80 of the incompatible features at 0x60), the
    // block size as 1024 << the value at 0x18.
    std::vector<std::uint8_t> sector(kSectorSize);
    if (store.read(sector.data(), sector.size(), 0) != static_cast<long>(sector.size())) {
        throw ToolError(storageFailure(store).value_or(Failure::missingPart));
    }
    const std::uint8_t* sb = sector.data() + 1024;
    const bool ext4 = sb[0x38] == 0x53 && sb[0x39] == 0xef && le32(sb + 0x18) <= 6;
    FileSystemId found{};
    std::memcpy(found.data(), sb + 0x68, found.size());
    if (knownFileSystem(store.fileSystemId()) && (!ext4 || found != store.fileSystemId())) {
        throw ToolError(Failure::missingPart);
    }
    if (!ext4) {
        return; // an image of earlier tools, whose file system is not known: the check decides
    }
    const std::uint64_t blockSize = 1024ull << le32(sb + 0x18);
    std::uint64_t blocks = le32(sb + 0x04);
    if (le32(sb + 0x60) & 0x80) {
        blocks |= static_cast<std::uint64_t>(le32(sb + 0x150)) << 32;
    }
    // A file system larger than its disk means the size in Info.plist is wrong; a check would only
    // offer to give up on it.
    if (blocks > store.size() / blockSize) {
        throw ToolError(kSizeMismatchMessage);
    }
    if (!knownFileSystem(store.fileSystemId()) && knownFileSystem(found)) {
        store.noteFileSystemId(found);
    }
}

// A folder of kept bands without its list holds nothing to take back: its keeping never began (an
// attach killed before it wrote the list), or its take-back had finished and was removing it. It
// goes, renamed aside first, so that a removal cut short never leaves a folder that looks kept.
bool dropKeptFolderWithoutList(const Bundle& bundle) {
    const std::string folder = bundle.repairKeepPath();
    const std::string aside = folder + ".gone";
    if (exists(aside)) {
        removeTree(aside);
    }
    if (!exists(folder) || exists(folder + "/bands.record")) {
        return false;
    }
    if (::rename(folder.c_str(), aside.c_str()) != 0) {
        throw ToolError(Failure::storageFailed);
    }
    fsyncDirectory(bundle.path());
    removeTree(aside);
    return true;
}

void carryOnWithKeptBands(const Bundle& bundle, BandStore& store) {
    const std::string folder = bundle.repairKeepPath();
    if (dropKeptFolderWithoutList(bundle) || !exists(folder)) {
        return;
    }
    if (exists(folder + kTakingBack)) {
        store.takeBackKeptBands(folder);
    } else if (exists(folder + "/" + kKeptBandsShown)) {
        removeTree(folder);
        fsyncDirectory(bundle.path());
    } else {
        store.keepBandsAsTheyAre(folder);
    }
}

void takeBackRepair(const Bundle& bundle, BandStore& store) {
    const std::string folder = bundle.repairKeepPath();
    if (dropKeptFolderWithoutList(bundle)) {
        throw ToolError("this vault has no repair to take back");
    }
    writeFileAtomically(folder + kTakingBack, {}); // an interrupted take-back is finished, never dropped
    store.takeBackKeptBands(folder);
}

// What every volume is given before it is mounted, from its superblock as `dump` shows it.
void finishFileSystem(const std::string& diskPath, const ChildResult& dump) {
    if (dump.status != 0) {
        return;
    }
    if (superblockField(dump.out, "Errors behavior") != "Remount read-only") {
        runChild({"tune2fs", "-e", "remount-ro", diskPath});
    }
    const std::string features = " " + superblockField(dump.out, "Filesystem features") + " ";
    if (features.find(" has_journal ") == std::string::npos) {
        // Volumes made before the tools used the kernel's ext4 have no journal. One is added
        // when there is room for it; a full volume goes on without one.
        runChild({"tune2fs", "-O", "has_journal", diskPath});
    }
}

std::string prepareFileSystem(const std::string& diskPath, BandStore& store, const std::string& keepFolder) {
    if (!store.missingBands().empty()) {
        throw ToolError(Failure::missingPart);
    }
    requireOwnFileSystem(store);
    // e2fsck: 0 clean, 1 errors corrected, 2 corrected and a reboot advised; 4 and above mean
    // problems were left or the check could not run.
    std::string note;
    // A check that fails to write one block still writes its superblock as it leaves, with only
    // the fields it changed: over a superblock the journal replay just put in place, that leaves
    // one whose checksum matches neither, and the next check would have to repair. Nothing is
    // written after the first failure; what the replay wrote, it writes again next time.
    store.refuseWritesAfterAFailure(true);
    // What the check changes is kept until it has settled: a preen that finds only what a crash
    // leaves lets it go, a repair keeps it (see below).
    const bool carried = store.keepingBands();
    // A volume that was unmounted cleanly is looked at without writing first: a preen of a sound
    // volume still writes its journal's superblock, and keeping the bands it touches costs an unlock
    // most of its time. Anything the read-only look does not pass goes the way of the preen.
    ChildResult dump = runChild({"dumpe2fs", "-h", diskPath});
    const std::string features = " " + superblockField(dump.out, "Filesystem features") + " ";
    const bool cleanlyUnmounted = !carried && dump.status == 0 &&
                                  superblockField(dump.out, "Filesystem state") == "clean" &&
                                  features.find(" needs_recovery ") == std::string::npos;
    if (cleanlyUnmounted && runChild({"e2fsck", "-n", diskPath}).status == 0 && !storageFailure(store)) {
        finishFileSystem(diskPath, dump);
        return note;
    }
    if (!carried) {
        store.keepBandsAsTheyAre(keepFolder);
    }
    struct Unfence {
        BandStore& store;
        ~Unfence() { store.refuseWritesAfterAFailure(false); }
    } unfence{store};
    ChildResult preen = runChild({"e2fsck", "-p", diskPath});
    if (preen.status >= 4 || storageFailure(store)) {
        runtime::log("e2fsck -p (status " + std::to_string(preen.status) + ")", preen.out);
    }
    // A check that could not read or write its disk did not find damage: the journal may be
    // unreplayed and blocks unread, and a forced repair would drop the journal and every file it
    // could not read. The attach stops instead, and the next one, once the disk is sound, finds
    // the volume as it was.
    if (const std::optional<Failure> failure = storageFailure(store)) {
        throw ToolError(*failure);
    }
    if (preen.status < 4 && !carried) {
        store.stopKeepingBands();
    }
    if (preen.status >= 4) {
        // What the repair overwrites stays, so that it can be taken back: it may have taken a
        // damage it could not understand for one it could, and given up on the files it held.
        ChildResult repair = runChild({"e2fsck", "-f", "-y", diskPath});
        runtime::log("e2fsck -f -y (status " + std::to_string(repair.status) + ")", repair.out);
        if (const std::optional<Failure> failure = storageFailure(store)) {
            throw ToolError(*failure);
        }
        if (repair.status >= 4) {
            throw ToolError(Failure::damagedFileSystem,
                            "The vault's file system is damaged and could not be repaired.");
        }
        note = "The volume's file system was damaged and has been repaired.";
    }
    finishFileSystem(diskPath, runChild({"dumpe2fs", "-h", diskPath}));
    return note;
}

std::string lostAndFoundReport(const std::string& mountPoint) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir((mountPoint + "/lost+found").c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    if (names.empty()) {
        return " Nothing was put into the folder lost+found.";
    }
    std::sort(names.begin(), names.end());
    std::string text = " " + std::to_string(names.size()) +
                       (names.size() == 1 ? " item whose place was lost is" : " items whose place was lost are") +
                       " now in the folder lost+found: ";
    for (std::size_t i = 0; i < names.size() && i < 10; ++i) {
        text += (i ? ", " : "") + names[i];
    }
    return text + (names.size() > 10 ? ", …" : "");
}

StartedVolume startDaemon(const Bundle& bundle, MasterKey key, const std::string& imagePath,
                          const std::string& volumeName, bool hidden, int lockFd) {
    AttachedImage image;
    image.imagePath = imagePath;
    image.diskFolder = runtime::diskFolderFor(imagePath);
    image.volumeName = volumeName;
    image.hidden = hidden;

    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) {
        throwErrno("pipe", errno);
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        throwErrno("fork", errno);
    }
    if (pid == 0) {
        ::close(status[0]);
        ::setsid();
        if (::chdir("/") != 0) {
            _exit(1);
        }
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (null > 2) {
            ::close(null);
        }
        // Whatever else the caller let this process inherit (the ends of its output pipes, say)
        // must not stay open for the service's lifetime, or the caller would wait for its end.
        closeInheritedFiles({lockFd, status[1]});
        int rc = 1;
        {
            Service service(bundle, std::move(key), image);
            rc = service.run(status[1]);
        }
        _exit(rc);
    }
    ::close(status[1]);
    std::string reply;
    readToEnd(status[0], reply);
    ::close(status[0]);
    if (reply.rfind("ok\n", 0) == 0) {
        if (auto saved = runtime::findByImage(imagePath)) {
            return {*saved, reply.substr(3)};
        }
        throw ToolError("the volume was mounted but its record is missing");
    }
    ::waitpid(pid, nullptr, WNOHANG);
    if (reply.rfind("error ", 0) == 0 && reply.find('\n') != std::string::npos) {
        const auto newline = reply.find('\n');
        throw ToolError(static_cast<Failure>(std::atoi(reply.c_str() + 6)), reply.substr(newline + 1));
    }
    throw ToolError("the disk service ended unexpectedly");
}

} // namespace larkhold::diskimage
