#include "Mounter.h"
#include "Runtime.h"

#include "Util.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <linux/netlink.h>
#include <mutex>
#include <poll.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace larkhold::diskimage {

namespace {

constexpr auto kPatience = std::chrono::seconds(60);

// What the user reads when udisks cannot read the disk because the disk service may not admit it.
constexpr const char* kRootRefusedMessage =
    "The system’s disk service is not allowed to read this vault’s disk, so the vault cannot be opened. "
    "An administrator can allow it by adding the line “user_allow_other” to /etc/fuse.conf.";

// What the user reads when udev, which tells udisks what a device holds, will never say it.
constexpr const char* kNoUdevMessage =
    "The system’s device manager (udev) is not running, so the system’s disk service cannot open this vault’s "
    "disk. An administrator can start it (systemd-udevd).";
constexpr const char* kUnprobedMessage =
    "The system’s device manager (udev) does not look into loop devices here, so the system’s disk service cannot "
    "open this vault’s disk. An administrator can allow it in udev’s rules (blkid for loop devices).";

std::string fileText(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        readToEnd(fd, text, 1 << 16);
        ::close(fd);
    }
    return text;
}

// What the kernel and udev have told of devices since this process began to listen. udev passes
// each of the kernel's device events on once it has handled it, to the listeners in its network
// namespace, where udisks hears them too; so an event the kernel told of that udev did not pass
// on says that no udev serves this system, whatever other udev processes the machine runs (a
// container's, another test's). The kernel tells of the disk folder as it is mounted (its
// backing device), before any loop device is asked for.
class DeviceEvents {
public:
    DeviceEvents() {
        fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        if (fd_ < 0) {
            return;
        }
        const int size = 1 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = kKernelGroup | kUdevGroup;
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    DeviceEvents(const DeviceEvents&) = delete;
    DeviceEvents& operator=(const DeviceEvents&) = delete;

    // true once udev has passed an event on; false when an event the kernel told of was not passed
    // on within `patience`; nothing where nothing was heard, or events were lost.
    std::optional<bool> udevPassesOn(std::chrono::steady_clock::duration patience) {
        std::lock_guard lock(mutex_);
        for (;;) {
            take();
            if (udevHeard_) {
                return true;
            }
            if (fd_ < 0 || lost_ || !kernelHeardAt_) {
                return std::nullopt;
            }
            const auto left = *kernelHeardAt_ + patience - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return false;
            }
            pollfd ready{fd_, POLLIN, 0};
            ::poll(&ready, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        }
    }

private:
    static constexpr unsigned kKernelGroup = 1;
    static constexpr unsigned kUdevGroup = 2;

    void take() {
        char buffer[8192];
        for (;;) {
            sockaddr_nl sender{};
            socklen_t length = sizeof sender;
            const ssize_t n =
                ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                lost_ = lost_ || errno == ENOBUFS;
                if (errno == ENOBUFS) {
                    continue;
                }
                return;
            }
            // Only the kernel (port 0) and root may send to these groups.
            if (sender.nl_groups == kUdevGroup && sender.nl_pid != 0 && n >= 8 &&
                std::memcmp(buffer, "libudev", 8) == 0) {
                udevHeard_ = true;
            } else if (sender.nl_groups == kKernelGroup && sender.nl_pid == 0 && !kernelHeardAt_) {
                kernelHeardAt_ = std::chrono::steady_clock::now();
            }
        }
    }

    std::mutex mutex_;
    int fd_ = -1;
    bool udevHeard_ = false;
    bool lost_ = false;
    std::optional<std::chrono::steady_clock::time_point> kernelHeardAt_;
};

DeviceEvents* deviceEvents = nullptr;

// How long udev may take to pass on an event before it counts as not running: a busy udev handles
// an event in far less, and only a machine without udev waits this long.
constexpr auto kUdevPatience = std::chrono::seconds(20);

// Whether the udev that serves this system runs. Its control socket answers root alone, and stays
// behind when the daemon stops; for anyone else what udev passed on of the kernel's device events
// tells. Unknown where nothing was heard.
std::optional<bool> udevRunning() {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, "/run/udev/control", sizeof address.sun_path - 1);
        const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const int err = rc == 0 ? 0 : errno;
        ::close(fd);
        if (rc == 0) {
            return true;
        }
        if (err == ENOENT || err == ECONNREFUSED) {
            return false;
        }
    }
    return deviceEvents ? deviceEvents->udevPassesOn(kUdevPatience) : std::nullopt;
}

// Bit 24 of the effective set in /proc/<pid>/status: CAP_SYS_RESOURCE, which the kernel requires
// for growing a mounted ext4 and some containers withhold from root.
bool hasResourceCapability(const std::string& status) {
    auto at = status.find("CapEff:");
    return at != std::string::npos && (std::strtoull(status.c_str() + at + 7, nullptr, 16) >> 24 & 1) != 0;
}

std::string backendChoice() {
    const char* env = std::getenv("LARKHOLD_VOLUME_BACKEND");
    if (env && *env) {
        return env;
    }
    return ::geteuid() == 0 ? "kernel" : "udisks";
}

// ---- As root: the kernel's loop driver and mount(2) ----

class KernelMounter final : public Mounter {
public:
    bool choosesMountPoint() const override { return true; }
    bool privileged() const override { return true; }

    LoopDevice setUp(int diskFd) override {
        int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (control < 0) {
            throwErrno("/dev/loop-control", errno);
        }
        // Another process may take the free device between asking and configuring it; the
        // configure call then fails with EBUSY and the next free one is tried.
        for (int attempt = 0; attempt < 64; ++attempt) {
            int number = ::ioctl(control, LOOP_CTL_GET_FREE);
            if (number < 0) {
                int err = errno;
                ::close(control);
                throwErrno("no free loop device", err);
            }
            std::string path = "/dev/loop" + std::to_string(number);
            int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            loop_config config{};
            config.fd = static_cast<std::uint32_t>(diskFd);
            config.block_size = 4096;
            // Direct I/O: the decrypted disk is cached once, by the file system above, and a write
            // counts as done only when the disk service has taken it.
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_DIRECT_IO;
            std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), "larkhold-disk", LO_NAME_SIZE - 1);
            int rc = ::ioctl(fd, LOOP_CONFIGURE, &config);
            if (rc != 0 && errno == EINVAL) {
                config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
                rc = ::ioctl(fd, LOOP_CONFIGURE, &config);
            }
            if (rc == 0) {
                ::close(control);
                return {path, {}, fd};
            }
            int err = errno;
            ::close(fd);
            if (err != EBUSY) {
                ::close(control);
                throwErrno("the loop device could not be set up", err);
            }
        }
        ::close(control);
        throw ToolError("no free loop device");
    }

    std::string mount(const LoopDevice& device, const std::string& wanted) override {
        int rc = ::mount(device.path.c_str(), wanted.c_str(), "ext4", MS_NOSUID | MS_NODEV, "errors=remount-ro");
        int err = errno;
        releaseHold(device); // the mount now holds the device, or nothing does and it clears itself
        if (rc != 0) {
            throw ToolError("the file system could not be mounted: " + errnoText(err));
        }
        return wanted;
    }

    bool unmount(const LoopDevice& device, const std::string& mountPoint, bool lazy) override {
        // Only the volume's own file system is unmounted, never one mounted over its folder.
        if (!device.path.empty()) {
            if (const DeviceAtFolder at = deviceAtFolder(device.path, mountPoint); at != DeviceAtFolder::shown) {
                return at == DeviceAtFolder::absent;
            }
        }
        if (::umount2(mountPoint.c_str(), UMOUNT_NOFOLLOW | (lazy ? MNT_DETACH : 0)) == 0) {
            return true;
        }
        return errno == EINVAL || errno == ENOENT; // not (or no longer) mounted
    }

    void release(const LoopDevice& device) override { releaseHold(device); }

    bool growsOnline() const override { return hasResourceCapability(fileText("/proc/self/status")); }

    void grow(const LoopDevice& device, const std::string&, unsigned long long) override {
        ChildResult r = runChild({"resize2fs", device.path});
        if (r.status != 0) {
            throw ToolError("the file system could not grow: " + withoutTrailingSpace(r.out));
        }
    }

    void setLabel(const LoopDevice&, const std::string&) override {}

private:
    static void releaseHold(const LoopDevice& device) {
        if (device.hold >= 0) {
            ::close(device.hold);
            device.hold = -1;
        }
    }
};

// ---- As a desktop user: udisks over the system bus ----

constexpr const char* kUDisks = "org.freedesktop.UDisks2";

struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&e); }
    std::string text() const { return e.message ? e.message : (e.name ? e.name : "unknown error"); }
    bool is(const char* name) const { return sd_bus_error_has_name(&e, name); }
};

struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

class UDisksMounter final : public Mounter {
public:
    UDisksMounter() {
        listenForDeviceEvents();
        int rc = sd_bus_open_system(&bus_);
        if (rc < 0) {
            throw ToolError("the system bus is not reachable, so udisks cannot mount the volume: " + errnoText(-rc));
        }
    }
    ~UDisksMounter() override { sd_bus_flush_close_unref(bus_); }

    bool choosesMountPoint() const override { return false; }
    bool privileged() const override { return false; }

    LoopDevice setUp(int diskFd) override {
        // A udev that stopped leaves its control socket behind; without it a loop device never
        // appears to udisks, which says so only after a long wait.
        if (::access("/run/udev/control", F_OK) == 0 && udevRunning() == false) {
            throw ToolError(Failure::loopDeviceUnseen, kNoUdevMessage);
        }
        Message call;
        newCall(call, "/org/freedesktop/UDisks2/Manager", "Manager", "LoopSetup");
        check(sd_bus_message_append(call.m, "h", diskFd));
        check(sd_bus_message_append(call.m, "a{sv}", 1, "no-part-scan", "b", 1));
        BusError error;
        Message reply;
        if (sd_bus_call(bus_, call.m, timeout(), &error.e, &reply.m) < 0) {
            // udisks may have set the device up and then given up waiting to see it (udev slow, or
            // gone): it stays bound to the disk unless let go of here.
            letGoOfLoopDevicesOver(diskFd);
            refused("udisks could not set up the disk: ", error);
        }
        const char* object = nullptr;
        check(sd_bus_message_read(reply.m, "o", &object));
        LoopDevice device{{}, object, -1};
        try {
            device.path = devicePath(device.object);
            requireWholeDisk(device, diskFd);
        } catch (...) {
            release(device);
            throw;
        }
        return device;
    }

    std::string mount(const LoopDevice& device, const std::string&) override {
        try {
            return mountOnce(device);
        } catch (...) {
            release(device);
            throw;
        }
    }

    std::string mountOnce(const LoopDevice& device) {
        // udisks probes a new device before it offers it as a file system; until then the
        // interface is missing.
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            Message call;
            newCall(call, device.object, "Filesystem", "Mount");
            check(sd_bus_message_append(call.m, "a{sv}", 0));
            BusError error;
            Message reply;
            if (sd_bus_call(bus_, call.m, timeout(), &error.e, &reply.m) >= 0) {
                const char* where = nullptr;
                check(sd_bus_message_read(reply.m, "s", &where));
                std::string mountPoint = where;
                // Cleared once unmounted; set only now, since udisks' own probing opens and
                // closes the device before it is mounted.
                Message autoclear;
                newCall(autoclear, device.object, "Loop", "SetAutoclear");
                check(sd_bus_message_append(autoclear.m, "ba{sv}", 1, 0));
                BusError ignored;
                sd_bus_call(bus_, autoclear.m, timeout(), &ignored.e, nullptr);
                return mountPoint;
            }
            bool notYet = error.is(SD_BUS_ERROR_UNKNOWN_METHOD) || error.is(SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
                          error.is(SD_BUS_ERROR_UNKNOWN_OBJECT);
            if (const char* never = notYet ? udevVerdict(device) : nullptr) {
                throw ToolError(Failure::loopDeviceUnseen, never);
            }
            if (!notYet || std::chrono::steady_clock::now() > deadline) {
                refused("the file system could not be mounted: ", error);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    bool unmount(const LoopDevice& device, const std::string&, bool lazy) override {
        Message call;
        newCall(call, device.object, "Filesystem", "Unmount");
        check(sd_bus_message_append(call.m, "a{sv}", 1, "force", "b", lazy ? 1 : 0));
        BusError error;
        if (sd_bus_call(bus_, call.m, timeout(), &error.e, nullptr) >= 0) {
            return true;
        }
        return error.is("org.freedesktop.UDisks2.Error.NotMounted");
    }

    void release(const LoopDevice& device) override {
        if (!device.object.empty()) {
            deleteLoop(device);
        }
    }

    // Whether udisks let the device go (or never had it).
    bool deleteLoop(const LoopDevice& device) {
        Message call;
        if (sd_bus_message_new_method_call(bus_, &call.m, kUDisks, device.object.c_str(),
                                           "org.freedesktop.UDisks2.Loop", "Delete") < 0 ||
            sd_bus_message_append(call.m, "a{sv}", 0) < 0) {
            return false;
        }
        BusError error;
        return sd_bus_call(bus_, call.m, timeout(), &error.e, nullptr) >= 0;
    }

    // The kernel grows a mounted ext4 only for a process with CAP_SYS_RESOURCE, which udisksd lacks
    // where its service manager or container withholds it; udisks then reports the failure only
    // after the limit has changed. Where the daemon cannot be seen, the file system grows offline.
    bool growsOnline() const override {
        BusError error;
        Message reply;
        if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetConnectionUnixProcessID", &error.e, &reply.m, "s", kUDisks) < 0) {
            return false;
        }
        std::uint32_t pid = 0;
        if (sd_bus_message_read(reply.m, "u", &pid) < 0 || pid == 0) {
            return false;
        }
        // A daemon in another process namespace has a different number here.
        const std::string proc = "/proc/" + std::to_string(pid);
        if (withoutTrailingSpace(fileText(proc + "/comm")) != "udisksd") {
            return false;
        }
        return hasResourceCapability(fileText(proc + "/status"));
    }

    void grow(const LoopDevice& device, const std::string&, unsigned long long bytes) override {
        Message call;
        newCall(call, device.object, "Filesystem", "Resize");
        check(sd_bus_message_append(call.m, "ta{sv}", static_cast<std::uint64_t>(bytes), 0));
        BusError error;
        if (sd_bus_call(bus_, call.m, timeout(), &error.e, nullptr) < 0) {
            refused("the file system could not grow: ", error);
        }
    }

    void setLabel(const LoopDevice& device, const std::string& label) override {
        Message call;
        newCall(call, device.object, "Filesystem", "SetLabel");
        check(sd_bus_message_append(call.m, "sa{sv}", label.c_str(), 0));
        BusError error;
        if (sd_bus_call(bus_, call.m, timeout(), &error.e, nullptr) < 0) {
            refused("the new name could not be given to the file system: ", error);
        }
    }

private:
    // polkit's refusals in the user's words (never "authentication", which reads as a wrong
    // password); anything else in udisks' own, of a kind of its own: they may name a device.
    [[noreturn]] static void refused(const std::string& what, const BusError& error) {
        if (error.is("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")) {
            throw ToolError(Failure::authorizationCancelled,
                            "The request for permission was cancelled, so the vault’s disk was left as it was.");
        }
        if (error.is("org.freedesktop.UDisks2.Error.NotAuthorized") ||
            error.is("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")) {
            throw ToolError(Failure::notAuthorized,
                            "This computer does not allow you to use the vault’s disk. An administrator can allow "
                            "it in the polkit rules for udisks2.");
        }
        if (error.is(SD_BUS_ERROR_SERVICE_UNKNOWN) || error.is(SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            throw ToolError(Failure::diskServiceNotRunning,
                            "The system’s disk service is not running. An administrator must start udisks2.");
        }
        throw ToolError(Failure::diskServiceFailed, what + error.text());
    }

    static std::uint64_t timeout() { return std::chrono::duration_cast<std::chrono::microseconds>(kPatience).count(); }

    static void check(int rc) {
        if (rc < 0) {
            throw ToolError("cannot talk to udisks: " + errnoText(-rc));
        }
    }

    void newCall(Message& call, const std::string& object, const char* interface, const char* method) {
        std::string name = std::string(kUDisks) + "." + interface;
        check(sd_bus_message_new_method_call(bus_, &call.m, kUDisks, object.c_str(), name.c_str(), method));
        // polkit may ask the user for a password; udisks waits for the answer.
        check(sd_bus_message_set_allow_interactive_authorization(call.m, 1));
    }

    // The loop devices the kernel has bound to the open disk file, let go of through udisks, which
    // alone may: it knows a device once udev has told it of it, so a slow udev is waited for.
    void letGoOfLoopDevicesOver(int diskFd) {
        char link[4096];
        const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(diskFd)).c_str(), link, sizeof link - 1);
        if (n <= 0) {
            return;
        }
        const std::string disk(link, static_cast<std::size_t>(n));
        DIR* blocks = ::opendir("/sys/block");
        if (!blocks) {
            return;
        }
        std::vector<std::string> bound;
        while (const dirent* entry = ::readdir(blocks)) {
            const std::string name = entry->d_name;
            if (name.rfind("loop", 0) == 0 &&
                withoutTrailingSpace(fileText("/sys/block/" + name + "/loop/backing_file")) == disk) {
                bound.push_back(name);
            }
        }
        ::closedir(blocks);
        for (const std::string& name : bound) {
            const LoopDevice device{"/dev/" + name, "/org/freedesktop/UDisks2/block_devices/" + name, -1};
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!deleteLoop(device) && std::chrono::steady_clock::now() < deadline &&
                   withoutTrailingSpace(fileText("/sys/block/" + name + "/loop/backing_file")) == disk) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    // The kernel may size a loop device at 0 bytes when the one who set it up cannot read the disk
    // file's attributes: udisks (root) is refused by a FUSE mount that admits only its owner. Such a
    // device holds no file system, and udisks would never offer to mount it.
    static void requireWholeDisk(const LoopDevice& device, int diskFd) {
        struct stat disk {};
        if (::fstat(diskFd, &disk) != 0) {
            throwErrno("the vault's disk", errno);
        }
        const std::string name = device.path.substr(device.path.rfind('/') + 1);
        const std::string sectors = withoutTrailingSpace(fileText("/sys/class/block/" + name + "/size"));
        if (sectors.empty() ||
            std::strtoull(sectors.c_str(), nullptr, 10) * 512 == static_cast<std::uint64_t>(disk.st_size)) {
            return;
        }
        if (!fuseAdmitsRoot()) {
            throw ToolError(Failure::fuseRefusesSystem, kRootRefusedMessage);
        }
        throw ToolError("The system’s disk service could not read this vault’s disk, so the vault cannot be opened.");
    }

    // udisks offers a device's file system once udev's blkid has found it, and LoopSetup returns
    // only after udisks has seen udev's look at the new device. A device set up without the offer
    // gets it soon when udev found the file system, and never when udev is not running or its rules
    // do not look into loop devices: udev's record of the device tells which once its queue is
    // empty. Where udev's folder cannot be seen, nothing is known and the caller waits.
    static const char* udevVerdict(const LoopDevice& device) {
        if (::access("/run/udev", F_OK) != 0) {
            return nullptr;
        }
        if (udevRunning() == false) {
            return kNoUdevMessage;
        }
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (::access("/run/udev/queue", F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        struct stat node {};
        if (::stat(device.path.c_str(), &node) != 0 || !S_ISBLK(node.st_mode)) {
            return nullptr;
        }
        const std::string record = fileText("/run/udev/data/b" + std::to_string(major(node.st_rdev)) + ":" +
                                            std::to_string(minor(node.st_rdev)));
        return record.find("E:ID_FS_USAGE=filesystem\n") == std::string::npos ? kUnprobedMessage : nullptr;
    }

    std::string devicePath(const std::string& object) {
        BusError error;
        Message reply;
        if (sd_bus_get_property(bus_, kUDisks, object.c_str(), "org.freedesktop.UDisks2.Block", "Device", &error.e,
                                &reply.m, "ay") < 0) {
            throw ToolError("udisks did not say which device it set up: " + error.text());
        }
        const void* bytes = nullptr;
        std::size_t size = 0;
        check(sd_bus_message_read_array(reply.m, 'y', &bytes, &size));
        std::string path(static_cast<const char*>(bytes), size);
        if (auto nul = path.find('\0'); nul != std::string::npos) {
            path.resize(nul);
        }
        return path;
    }

    sd_bus* bus_ = nullptr;
};

} // namespace

void listenForDeviceEvents() {
    if (!deviceEvents && backendChoice() == "udisks") {
        deviceEvents = new DeviceEvents; // for the life of the process
    }
}

std::unique_ptr<Mounter> makeMounter() {
    const std::string backend = backendChoice();
    if (backend == "kernel") {
        return std::make_unique<KernelMounter>();
    }
    if (backend == "udisks") {
        return std::make_unique<UDisksMounter>();
    }
    throw ToolError("unknown volume backend \"" + backend + "\" (LARKHOLD_VOLUME_BACKEND)");
}

LoopDevice setUpLoopDevice(Mounter& mounter, const std::string& diskPath) {
    const int fd = ::open(diskPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throwErrno(diskPath, errno);
    }
    LoopDevice device;
    try {
        device = mounter.setUp(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return device;
}

std::string labelFor(const std::string& volumeName) {
    std::size_t end = std::min<std::size_t>(volumeName.size(), 16);
    while (end > 0 && end < volumeName.size() && (static_cast<unsigned char>(volumeName[end]) & 0xC0) == 0x80) {
        --end; // never cut a character in two
    }
    return volumeName.substr(0, end);
}

void abandonVolume(const LoopDevice& device, const std::string& mountPoint) {
    try {
        auto mounter = makeMounter();
        if (!mountPoint.empty() && isMountPoint(mountPoint)) {
            mounter->unmount(device, mountPoint, true);
        }
    } catch (const std::exception&) {
    }
}

} // namespace larkhold::diskimage
