#define FUSE_USE_VERSION 312

#include "DiskServer.h"

#include "Util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <linux/falloc.h>
#include <unistd.h>

namespace larkhold::diskimage {

namespace {

constexpr const char* kDisk = "/disk";

// Worker threads serving requests. They stay for the service's life: each keeps its cipher
// contexts and buffers, which a thread started for a burst of requests would have to build anew.
constexpr unsigned kWorkers = 16;
constexpr const char* kName = "/name";
constexpr const char* kCheck = "/check";

DiskServer& server() {
    return *static_cast<DiskServer*>(fuse_get_context()->private_data);
}

bool isName(const char* path) {
    return std::strcmp(path, kName) == 0 && server().offersName();
}

bool isCheck(const char* path) {
    return std::strcmp(path, kCheck) == 0 && server().offersCheck();
}

void* opInit(fuse_conn_info* conn, fuse_config* cfg) {
    // Large requests keep the per-request cost low. The disk is opened for direct I/O: the file
    // system above it caches what it needs, a second copy in this folder's page cache would only
    // cost memory, and the ext4 tools that read the disk beside the loop device always see what
    // the loop device wrote.
    conn->max_write = 1u << 20;
    conn->max_readahead = 1u << 20;
    if (conn->capable & FUSE_CAP_ASYNC_DIO) {
        conn->want |= FUSE_CAP_ASYNC_DIO;
    }
    // The loop device's direct I/O arrives as asynchronous requests; the kernel lets only this many
    // be outstanding at once, and the default (12) leaves workers idle while a queue of reads waits.
    conn->max_background = kWorkers * 4;
    conn->congestion_threshold = kWorkers * 3;
    cfg->attr_timeout = 3600;
    cfg->entry_timeout = 3600;
    cfg->negative_timeout = 3600;
    return fuse_get_context()->private_data;
}

int opGetattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_nlink = 1;
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0700;
        st->st_nlink = 2;
    } else if (std::strcmp(path, kDisk) == 0) {
        st->st_mode = S_IFREG | 0600;
        st->st_size = static_cast<off_t>(server().store().size());
        st->st_blksize = kSectorSize;
    } else if (isName(path)) {
        st->st_mode = S_IFREG | 0200;
    } else if (isCheck(path)) {
        st->st_mode = S_IFREG | 0400;
    } else {
        return -ENOENT;
    }
    return 0;
}

int opReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOTDIR;
    }
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
    fill(buf, kDisk + 1, nullptr, 0, fuse_fill_dir_flags{});
    if (server().offersName()) {
        fill(buf, kName + 1, nullptr, 0, fuse_fill_dir_flags{});
    }
    if (server().offersCheck()) {
        fill(buf, kCheck + 1, nullptr, 0, fuse_fill_dir_flags{});
    }
    return 0;
}

int opOpen(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, kDisk) == 0) {
        fi->direct_io = 1;
        server().diskOpened();
        return 0;
    }
    if (isName(path)) {
        if ((fi->flags & O_ACCMODE) == O_RDONLY) {
            return -EACCES;
        }
        fi->direct_io = 1;
        server().beginName();
        return 0;
    }
    if (isCheck(path)) {
        fi->direct_io = 1;
        return server().runCheck();
    }
    return -ENOENT;
}

int opRead(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (isName(path)) {
        return 0; // nothing to read back; the page cache may still ask before a write
    }
    if (isCheck(path)) {
        return offset < 0 ? -EINVAL : server().readReport(buf, size, static_cast<std::uint64_t>(offset));
    }
    if (std::strcmp(path, kDisk) != 0) {
        return -EACCES;
    }
    return static_cast<int>(
        server().store().read(reinterpret_cast<std::uint8_t*>(buf), size, static_cast<std::uint64_t>(offset)));
}

int opWrite(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (std::strcmp(path, kDisk) == 0) {
        return static_cast<int>(server().store().write(reinterpret_cast<const std::uint8_t*>(buf), size,
                                                       static_cast<std::uint64_t>(offset)));
    }
    if (isName(path) && offset >= 0) {
        return server().writeName(buf, size, static_cast<std::uint64_t>(offset));
    }
    return -EACCES;
}

int opFlush(const char* path, fuse_file_info*) {
    return isName(path) ? server().commitName() : 0;
}

int opRelease(const char* path, fuse_file_info*) {
    if (std::strcmp(path, kDisk) == 0) {
        server().diskClosed();
    }
    return 0;
}

int opFsync(const char*, int, fuse_file_info*) {
    return server().store().sync();
}

int opTruncate(const char* path, off_t size, fuse_file_info*) {
    if (std::strcmp(path, kDisk) == 0) {
        return static_cast<std::uint64_t>(size) == server().store().size() ? 0 : -EINVAL;
    }
    return isName(path) ? 0 : -EACCES;
}

// Writes zeros over [from, to), one sector's worth at a time.
int zeroRange(BandStore& store, std::uint64_t from, std::uint64_t to) {
    static const std::uint8_t zeros[kSectorSize] = {};
    while (from < to) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, kSectorSize));
        if (long r = store.write(zeros, n, from); r < 0) {
            return static_cast<int>(r);
        }
        from += n;
    }
    return 0;
}

int opFallocate(const char* path, int mode, off_t offset, off_t length, fuse_file_info*) {
    if (std::strcmp(path, kDisk) != 0) {
        return -EOPNOTSUPP;
    }
    if (offset < 0 || length <= 0) {
        return -EINVAL;
    }
    BandStore& store = server().store();
    auto start = static_cast<std::uint64_t>(offset);
    auto len = static_cast<std::uint64_t>(length);
    if (mode == 0 || mode == FALLOC_FL_KEEP_SIZE) {
        return start + len <= store.size() ? 0 : -ENOSPC; // the disk never changes its size
    }
    if (mode != (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE)) {
        return -EOPNOTSUPP;
    }
    if (start >= store.size()) {
        return 0; // nothing of the disk lies there
    }
    // Pieces of sectors at either end are zeroed by writing; whole sectors become holes.
    const std::uint64_t end = std::min(start + len, store.size());
    const std::uint64_t innerStart = (start + kSectorSize - 1) / kSectorSize * kSectorSize;
    const std::uint64_t innerEnd = end / kSectorSize * kSectorSize;
    if (innerStart >= innerEnd) {
        return zeroRange(store, start, end); // no whole sector inside (up to two pieces of sectors)
    }
    if (int rc = zeroRange(store, start, innerStart); rc != 0) {
        return rc;
    }
    if (int rc = zeroRange(store, innerEnd, end); rc != 0) {
        return rc;
    }
    return store.discard(innerStart, innerEnd - innerStart);
}

// The disk has no times to keep; refusing to set them would fail tools that touch the file.
int opUtimens(const char* path, const struct timespec[2], fuse_file_info*) {
    return std::strcmp(path, kDisk) == 0 || std::strcmp(path, "/") == 0 || isName(path) ? 0 : -EACCES;
}

int opStatfs(const char*, struct statvfs* st) {
    std::memset(st, 0, sizeof *st);
    st->f_bsize = kSectorSize;
    st->f_frsize = kSectorSize;
    st->f_blocks = server().store().size() / kSectorSize;
    st->f_namemax = 255;
    return 0;
}

fuse_operations makeOperations() {
    fuse_operations ops{};
    ops.init = opInit;
    ops.getattr = opGetattr;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.read = opRead;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.release = opRelease;
    ops.fsync = opFsync;
    ops.truncate = opTruncate;
    ops.fallocate = opFallocate;
    ops.statfs = opStatfs;
    ops.utimens = opUtimens;
    return ops;
}

} // namespace

void DiskServer::beginName() {
    std::lock_guard lock(nameMutex_);
    name_.clear();
}

int DiskServer::writeName(const char* data, std::size_t size, std::uint64_t offset) {
    std::lock_guard lock(nameMutex_);
    if (offset + size > kMaxVolumeNameBytes) {
        return -ENAMETOOLONG;
    }
    if (name_.size() < offset + size) {
        name_.resize(offset + size);
    }
    std::memcpy(name_.data() + offset, data, size);
    return static_cast<int>(size);
}

int DiskServer::commitName() {
    std::string name;
    {
        std::lock_guard lock(nameMutex_);
        name.swap(name_);
    }
    return name.empty() ? 0 : onRename_(name);
}

int DiskServer::runCheck() {
    std::string report = onCheck_();
    if (report.empty()) {
        return -EBUSY;
    }
    std::lock_guard lock(reportMutex_);
    report_ = std::move(report);
    return 0;
}

int DiskServer::readReport(char* out, std::size_t size, std::uint64_t offset) {
    std::lock_guard lock(reportMutex_);
    if (offset >= report_.size()) {
        return 0;
    }
    std::size_t n = std::min<std::size_t>(size, report_.size() - offset);
    std::memcpy(out, report_.data() + offset, n);
    return static_cast<int>(n);
}

void requireFuse() {
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throw ToolError(std::string("FUSE is not available on this system (/dev/fuse: ") + errnoText(errno) +
                        "); install fuse3 and make sure the fuse module is loaded");
    }
    ::close(fd);
}

void DiskServer::diskOpened() {
    std::lock_guard lock(openMutex_);
    ++openDisks_;
}

void DiskServer::diskClosed() {
    std::function<void()> handler;
    {
        std::lock_guard lock(openMutex_);
        if (openDisks_ > 0 && --openDisks_ == 0) {
            handler = onIdle_;
            closed_.notify_all();
        }
    }
    if (handler) {
        handler();
    }
}

int DiskServer::openDisks() {
    std::lock_guard lock(openMutex_);
    return openDisks_;
}

bool DiskServer::waitUntilIdle(std::chrono::milliseconds patience) {
    std::unique_lock lock(openMutex_);
    return closed_.wait_for(lock, patience, [this] { return openDisks_ == 0; });
}

void DiskServer::onIdle(std::function<void()> handler) {
    std::lock_guard lock(openMutex_);
    onIdle_ = std::move(handler);
}

DiskServer::DiskServer(BandStore& store, RenameHandler onRename, CheckHandler onCheck)
    : store_(store), onRename_(std::move(onRename)), onCheck_(std::move(onCheck)) {}

DiskServer::~DiskServer() {
    stop();
}

// udisks, which sets up the loop device for a desktop user, runs as root, and the kernel sizes a
// loop device by asking the disk file as the process that set it up. FUSE refuses every other user
// (root too) unless the mount admits them, which fusermount allows a user only where the
// administrator has put user_allow_other in /etc/fuse.conf; without it the mount would fail.
bool fuseAdmitsRoot() {
    if (::geteuid() == 0) {
        return false; // root owns the mount
    }
    int fd = ::open("/etc/fuse.conf", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string conf;
    readToEnd(fd, conf, 1 << 16);
    ::close(fd);
    for (std::size_t at = 0; at < conf.size();) {
        std::size_t end = std::min(conf.find('\n', at), conf.size());
        std::string line = conf.substr(at, end - at);
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line == "user_allow_other") {
            return true;
        }
        at = end + 1;
    }
    return false;
}

void DiskServer::start(const std::string& folder) {
    folder_ = folder;
    static const fuse_operations ops = makeOperations();
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "larkhold-disk");
    fuse_opt_add_arg(&args, "-o");
    std::string options = "fsname=larkhold-disk,subtype=larkhold,default_permissions";
    if (fuseAdmitsRoot()) {
        options += ",allow_root";
    }
    fuse_opt_add_arg(&args, options.c_str());
    fuse_ = fuse_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args);
    if (!fuse_) {
        throw ToolError("cannot start the disk server");
    }
    if (fuse_mount(fuse_, folder.c_str()) != 0) {
        fuse_destroy(fuse_);
        fuse_ = nullptr;
        throw ToolError("cannot mount the disk server at " + folder);
    }
    loop_ = std::thread([this] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, kWorkers);
        fuse_loop_cfg_set_idle_threads(config, kWorkers);
        fuse_loop_mt(fuse_, config);
        fuse_loop_cfg_destroy(config);
    });
}

void DiskServer::stop() {
    if (!fuse_) {
        return;
    }
    if (fuseUnmount(folder_, false)) {
        fuseUnmount(folder_, true);
    }
    if (loop_.joinable()) {
        loop_.join();
    }
    fuse_unmount(fuse_);
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    store_.sync();
}

} // namespace larkhold::diskimage
