#define FUSE_USE_VERSION 312

#include "DiskServer.h"

#include "Util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <linux/falloc.h>
#include <new>
#include <unistd.h>
#include <vector>

namespace larkhold::diskimage {

namespace {

// Worker threads serving requests. They stay for the service's life: each keeps its cipher
// contexts and buffers, which a thread started for a burst of requests would have to build anew.
constexpr unsigned kWorkers = 16;

// The folder holds a fixed set of files, so each has a fixed inode number and no lookup needs a
// table: requests name the file by number, with no path to resolve and no lock to take.
constexpr fuse_ino_t kRootIno = FUSE_ROOT_ID;
constexpr fuse_ino_t kDiskIno = 2;
constexpr fuse_ino_t kNameIno = 3;
constexpr fuse_ino_t kCheckIno = 4;
constexpr fuse_ino_t kWriteOutIno = 5;
// The files never change, so the kernel may keep what it learnt about them.
constexpr double kAttrTimeout = 3600;

DiskServer& server(fuse_req_t req) {
    return *static_cast<DiskServer*>(fuse_req_userdata(req));
}

// The file an inode number stands for, or 0 when this service offers no such file.
fuse_ino_t offered(DiskServer& s, fuse_ino_t ino) {
    switch (ino) {
    case kRootIno:
    case kDiskIno:
        return ino;
    case kNameIno:
        return s.offersName() ? ino : 0;
    case kCheckIno:
        return s.offersCheck() ? ino : 0;
    case kWriteOutIno:
        return s.offersWriteOut() ? ino : 0;
    default:
        return 0;
    }
}

bool attributes(DiskServer& s, fuse_ino_t ino, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_nlink = 1;
    switch (offered(s, ino)) {
    case kRootIno:
        st->st_mode = S_IFDIR | 0700;
        st->st_nlink = 2;
        return true;
    case kDiskIno:
        st->st_mode = S_IFREG | 0600;
        st->st_size = static_cast<off_t>(s.store().size());
        st->st_blksize = kSectorSize;
        return true;
    case kNameIno:
        st->st_mode = S_IFREG | 0200;
        return true;
    case kCheckIno:
    case kWriteOutIno:
        st->st_mode = S_IFREG | 0400;
        return true;
    default:
        return false;
    }
}

void replyAttr(fuse_req_t req, fuse_ino_t ino) {
    struct stat st {};
    if (attributes(server(req), ino, &st)) {
        fuse_reply_attr(req, &st, kAttrTimeout);
    } else {
        fuse_reply_err(req, ENOENT);
    }
}

void opInit(void*, fuse_conn_info* conn) {
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
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_entry_param e{};
    e.attr_timeout = kAttrTimeout;
    e.entry_timeout = kAttrTimeout;
    fuse_ino_t ino = 0;
    if (parent == kRootIno) {
        if (std::strcmp(name, "disk") == 0) {
            ino = kDiskIno;
        } else if (std::strcmp(name, "name") == 0) {
            ino = kNameIno;
        } else if (std::strcmp(name, "check") == 0) {
            ino = kCheckIno;
        } else if (std::strcmp(name, "write-out") == 0) {
            ino = kWriteOutIno;
        }
    }
    if (ino != 0 && attributes(server(req), ino, &e.attr)) {
        e.ino = ino;
        fuse_reply_entry(req, &e);
    } else if (parent == kRootIno) {
        fuse_reply_entry(req, &e); // no such file, which the kernel may remember as long as the others
    } else {
        fuse_reply_err(req, ENOTDIR);
    }
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    replyAttr(req, ino);
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info*) {
    DiskServer& s = server(req);
    ino = offered(s, ino);
    if (ino == 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if (valid & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    if (valid & FUSE_SET_ATTR_SIZE) {
        // The disk never changes its size; the name file is filled in by writes alone.
        const bool same = ino == kDiskIno && static_cast<std::uint64_t>(attr->st_size) == s.store().size();
        if (!same && ino != kNameIno) {
            fuse_reply_err(req, ino == kDiskIno ? EINVAL : EACCES);
            return;
        }
    }
    // The files have no times to keep; refusing to set them would fail tools that touch them.
    if ((valid & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW)) &&
        (ino == kCheckIno || ino == kWriteOutIno)) {
        fuse_reply_err(req, EACCES);
        return;
    }
    replyAttr(req, ino);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    DiskServer& s = server(req);
    if (ino != kRootIno) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    struct Entry {
        const char* name;
        fuse_ino_t ino;
        mode_t mode;
    };
    std::vector<Entry> entries{{".", kRootIno, S_IFDIR}, {"..", kRootIno, S_IFDIR}, {"disk", kDiskIno, S_IFREG}};
    if (s.offersName()) {
        entries.push_back({"name", kNameIno, S_IFREG});
    }
    if (s.offersCheck()) {
        entries.push_back({"check", kCheckIno, S_IFREG});
    }
    if (s.offersWriteOut()) {
        entries.push_back({"write-out", kWriteOutIno, S_IFREG});
    }
    std::vector<char> buf(size);
    std::size_t used = 0;
    for (auto i = static_cast<std::size_t>(std::max<off_t>(offset, 0)); i < entries.size(); ++i) {
        struct stat st {};
        st.st_ino = entries[i].ino;
        st.st_mode = entries[i].mode;
        const std::size_t need = fuse_add_direntry(req, buf.data() + used, size - used, entries[i].name, &st,
                                                   static_cast<off_t>(i + 1));
        if (need > size - used) {
            break;
        }
        used += need;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    DiskServer& s = server(req);
    int rc = 0;
    switch (offered(s, ino)) {
    case kDiskIno:
        fi->direct_io = 1;
        s.diskOpened();
        break;
    case kNameIno:
        if ((fi->flags & O_ACCMODE) == O_RDONLY) {
            rc = -EACCES;
            break;
        }
        fi->direct_io = 1;
        s.beginName();
        break;
    case kCheckIno:
        fi->direct_io = 1;
        rc = s.runCheck();
        break;
    case kWriteOutIno:
        fi->direct_io = 1;
        rc = s.runWriteOut();
        break;
    case kRootIno:
        rc = -EISDIR;
        break;
    default:
        rc = -ENOENT;
    }
    if (rc != 0) {
        fuse_reply_err(req, -rc);
    } else if (fuse_reply_open(req, fi) == -ENOENT && ino == kDiskIno) {
        s.diskClosed(); // the opener was interrupted and will never release it
    }
}

// Each worker reads into a buffer of its own that lives as long as it does: no allocation per
// request, and the pages stay mapped from one request to the next. Null when memory ran out.
std::uint8_t* readBuffer(std::size_t size) {
    thread_local std::vector<std::uint8_t> buffer;
    if (buffer.size() < size) {
        try {
            buffer.resize(size);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return buffer.data();
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    DiskServer& s = server(req);
    if (offset < 0) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    long n = 0;
    std::uint8_t* buf = nullptr;
    switch (offered(s, ino)) {
    case kNameIno:
        break; // nothing to read back; the page cache may still ask before a write
    case kCheckIno:
        buf = readBuffer(size);
        n = buf ? s.readReport(reinterpret_cast<char*>(buf), size, static_cast<std::uint64_t>(offset)) : -ENOMEM;
        break;
    case kDiskIno:
        buf = readBuffer(size);
        n = buf ? s.store().read(buf, size, static_cast<std::uint64_t>(offset)) : -ENOMEM;
        break;
    default:
        n = -EACCES;
    }
    if (n < 0) {
        fuse_reply_err(req, static_cast<int>(-n));
    } else {
        fuse_reply_buf(req, reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    }
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset, fuse_file_info*) {
    DiskServer& s = server(req);
    long n = -EACCES;
    if (ino == kDiskIno) {
        n = s.store().write(reinterpret_cast<const std::uint8_t*>(buf), size, static_cast<std::uint64_t>(offset));
    } else if (offered(s, ino) == kNameIno && offset >= 0) {
        n = s.writeName(buf, size, static_cast<std::uint64_t>(offset));
    }
    if (n < 0) {
        fuse_reply_err(req, static_cast<int>(-n));
    } else {
        fuse_reply_write(req, static_cast<std::size_t>(n));
    }
}

void opFlush(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    DiskServer& s = server(req);
    fuse_reply_err(req, offered(s, ino) == kNameIno ? -s.commitName() : 0);
}

void opRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    DiskServer& s = server(req);
    int rc = 0;
    if (ino == kDiskIno) {
        s.diskClosed();
    } else if (fi->flush && offered(s, ino) == kNameIno) {
        rc = s.commitName(); // the kernel folds the last close's flush into the release
    }
    fuse_reply_err(req, -rc);
}

void opFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
    fuse_reply_err(req, -server(req).store().sync());
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

int fallocateDisk(BandStore& store, int mode, off_t offset, off_t length) {
    if (offset < 0 || length <= 0) {
        return -EINVAL;
    }
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

void opFallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length, fuse_file_info*) {
    const int rc = ino == kDiskIno ? fallocateDisk(server(req).store(), mode, offset, length) : -EOPNOTSUPP;
    fuse_reply_err(req, -rc);
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs st {};
    st.f_bsize = kSectorSize;
    st.f_frsize = kSectorSize;
    st.f_blocks = server(req).store().size() / kSectorSize;
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops ops{};
    ops.init = opInit;
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.setattr = opSetattr;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.read = opRead;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.release = opRelease;
    ops.fsync = opFsync;
    ops.fallocate = opFallocate;
    ops.statfs = opStatfs;
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

DiskServer::DiskServer(BandStore& store, RenameHandler onRename, CheckHandler onCheck, WriteOutHandler onWriteOut)
    : store_(store), onRename_(std::move(onRename)), onCheck_(std::move(onCheck)),
      onWriteOut_(std::move(onWriteOut)) {}

DiskServer::~DiskServer() {
    stop();
}

void DiskServer::start(const std::string& folder) {
    folder_ = folder;
    static const fuse_lowlevel_ops ops = makeOperations();
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "larkhold-disk");
    fuse_opt_add_arg(&args, "-o");
    std::string options = "fsname=larkhold-disk,subtype=larkhold,default_permissions";
    if (fuseAdmitsRoot()) {
        options += ",allow_root";
    }
    fuse_opt_add_arg(&args, options.c_str());
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args);
    if (!session_) {
        throw ToolError("cannot start the disk server");
    }
    if (fuse_session_mount(session_, folder.c_str()) != 0) {
        fuse_session_destroy(session_);
        session_ = nullptr;
        throw ToolError("cannot mount the disk server at " + folder);
    }
    loop_ = std::thread([this] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, kWorkers);
        fuse_loop_cfg_set_idle_threads(config, kWorkers);
        fuse_session_loop_mt(session_, config);
        fuse_loop_cfg_destroy(config);
    });
}

void DiskServer::stop() {
    if (!session_) {
        return;
    }
    if (fuseUnmount(folder_, false)) {
        fuseUnmount(folder_, true);
    }
    if (loop_.joinable()) {
        loop_.join();
    }
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
    store_.sync();
}

} // namespace larkhold::diskimage
