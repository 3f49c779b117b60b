#include "BandStore.h"

#include "Util.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <openssl/evp.h>
#include <optional>
#include <shared_mutex>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace larkhold::diskimage {

namespace {

constexpr std::uint64_t kSectorsPerBand = kBandSize / kSectorSize;
constexpr std::size_t kMaxOpenBands = 512;
// Requests at least this long are taken for part of a stream (a file copied in or out, a file
// system writing back).
constexpr std::uint64_t kStreamBytes = 256u << 10;

// Ciphertext on its way to a band. Direct writes hand the disk these very pages, and a disk takes
// only so many separate pieces of memory in one request (254 on a virtio disk): a megabyte in
// 4 KiB pages went out as two requests, the second of 8 KiB. Huge pages make it one piece.
constexpr std::size_t kHugePage = 2u << 20;

std::atomic<std::uint64_t> nextGeneration{1};

class Scratch {
public:
    ~Scratch() { std::free(data_); }
    std::uint8_t* reserve(std::size_t bytes) {
        if (bytes > size_) {
            std::free(data_);
            data_ = nullptr;
            size_ = 0;
            const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            void* p = nullptr;
            if (::posix_memalign(&p, kHugePage, rounded) != 0) {
                return nullptr;
            }
            (void)::madvise(p, rounded, MADV_HUGEPAGE); // where the kernel offers none, pages do
            data_ = static_cast<std::uint8_t*>(p);
            size_ = rounded;
        }
        return data_;
    }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// OpenSSL contexts keyed once per thread and per store; only the tweak changes from sector to
// sector, which re-initialising with the IV alone handles cheaply.
struct Ciphers {
    std::uint64_t generation = 0;
    EVP_CIPHER_CTX* enc = nullptr;
    EVP_CIPHER_CTX* dec = nullptr;
    Scratch scratch;
    ~Ciphers() {
        EVP_CIPHER_CTX_free(enc);
        EVP_CIPHER_CTX_free(dec);
    }
};
thread_local Ciphers tls;

// Each thread's queue for asynchronous direct writes, made on its first stream write.
struct AsyncQueue {
    aio_context_t ctx = 0;
    bool failed = false;
    ~AsyncQueue() {
        if (ctx != 0) {
            ::syscall(SYS_io_destroy, ctx);
        }
    }
    aio_context_t get() {
        if (ctx == 0 && !failed && ::syscall(SYS_io_setup, 1, &ctx) != 0) {
            ctx = 0;
            failed = true;
        }
        return ctx;
    }
};
thread_local AsyncQueue asyncQueue;

Ciphers* ciphers(std::uint64_t generation, const std::uint8_t* key) {
    if (tls.generation == generation) {
        return &tls;
    }
    if (!tls.enc) {
        tls.enc = EVP_CIPHER_CTX_new();
        tls.dec = EVP_CIPHER_CTX_new();
    }
    if (!tls.enc || !tls.dec || EVP_EncryptInit_ex(tls.enc, EVP_aes_256_xts(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(tls.dec, EVP_aes_256_xts(), nullptr, key, nullptr) != 1) {
        tls.generation = 0;
        return nullptr;
    }
    tls.generation = generation;
    return &tls;
}

void tweak(std::uint64_t sector, std::uint8_t iv[16]) {
    std::memset(iv, 0, 16);
    for (int i = 0; i < 8; ++i) {
        iv[i] = static_cast<std::uint8_t>(sector >> (8 * i));
    }
}

bool crypt(EVP_CIPHER_CTX* ctx, bool encrypt, std::uint64_t sector, const std::uint8_t* in, std::uint8_t* out) {
    std::uint8_t iv[16];
    tweak(sector, iv);
    int len = 0;
    if (encrypt) {
        return EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
               EVP_EncryptUpdate(ctx, out, &len, in, static_cast<int>(kSectorSize)) == 1;
    }
    return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
           EVP_DecryptUpdate(ctx, out, &len, in, static_cast<int>(kSectorSize)) == 1;
}

bool allZero(const std::uint8_t* p, std::size_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// The longest piece of a sector range that starts at `sector` and stays inside one band.
struct BandRun {
    std::uint64_t sector; // first sector of the piece, on the whole disk
    std::uint64_t index;  // its band
    std::uint64_t within; // its first sector inside the band
    std::uint64_t count;  // sectors in the piece
};

BandRun bandRun(std::uint64_t sector, std::uint64_t sectorsLeft) {
    const std::uint64_t within = sector % kSectorsPerBand;
    return {sector, sector / kSectorsPerBand, within, std::min(sectorsLeft, kSectorsPerBand - within)};
}

#ifndef RWF_DONTCACHE
#define RWF_DONTCACHE 0x00000080
#endif

// A stream's band data passes through this system's page cache only on its way: the file system
// above the disk keeps what it needs, so a second copy here would only double the memory a large
// copy takes, and pages dropped as soon as they are read or written back are the ones the next
// request gets, where new ones cost far more. Short requests stay cached: random reads of a small
// file are served from memory the next time, and small writes still gather before they go to disk.
// Kernels and file systems without the flag refuse it, and get plain I/O.
std::atomic<bool> uncachedStreams{true};

ssize_t bandIo(bool write, int fd, std::uint8_t* data, std::size_t length, off_t offset) {
    if (length >= kStreamBytes && uncachedStreams.load(std::memory_order_relaxed)) {
        iovec v{data, length};
        const ssize_t n =
            write ? ::pwritev2(fd, &v, 1, offset, RWF_DONTCACHE) : ::preadv2(fd, &v, 1, offset, RWF_DONTCACHE);
        if (n >= 0 || errno != EOPNOTSUPP) {
            return n;
        }
        uncachedStreams = false;
    }
    return write ? ::pwrite(fd, data, length, offset) : ::pread(fd, data, length, offset);
}

// A short read that misses this system's page cache brings in the band's ciphertext around it, this
// many bytes aligned, in the same request to the disk: the file system above reads a file it uses at
// random one block at a time, each one waiting for the disk, and its neighbours are then already
// here. Only ciphertext is kept, and only as long as the kernel has the memory to spare.
constexpr std::uint64_t kReadWindow = 128u << 10;

// Whether the band files' file system answers a read from its cache without waiting (RWF_NOWAIT).
std::atomic<bool> cacheProbes{true};

// Reads what of a short request is cached already, without waiting for the disk; starts reading the
// window around the rest. The number of bytes read (0 when the first one is not cached).
std::size_t readCachedOrAhead(int fd, std::uint8_t* out, std::size_t length, std::uint64_t offset) {
    if (length >= kStreamBytes || !cacheProbes.load(std::memory_order_relaxed)) {
        return 0;
    }
    iovec v{out, length};
    ssize_t n = ::preadv2(fd, &v, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    if (n < 0 && errno == EOPNOTSUPP) {
        cacheProbes = false;
        return 0;
    }
    const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (got < length) {
        const std::uint64_t start = (offset + got) / kReadWindow * kReadWindow;
        (void)::posix_fadvise(fd, static_cast<off_t>(start), static_cast<off_t>(kReadWindow), POSIX_FADV_WILLNEED);
    }
    return got;
}

// pread until `length` bytes or the end of the file; the number read, or -1 with errno set.
long readFully(int fd, std::uint8_t* out, std::size_t length, std::uint64_t offset) {
    std::size_t got = readCachedOrAhead(fd, out, length, offset);
    while (got < length) {
        ssize_t r = bandIo(false, fd, out + got, length - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return -1;
        }
        if (r == 0) {
            break;
        }
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

// pwrite of every byte; 0, or -ENOSPC when the folder's disk is full, or -EIO.
int writeFully(int fd, const std::uint8_t* in, std::size_t length, std::uint64_t offset) {
    for (std::size_t put = 0; put < length;) {
        ssize_t w =
            bandIo(true, fd, const_cast<std::uint8_t*>(in + put), length - put, static_cast<off_t>(offset + put));
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return w < 0 && (errno == ENOSPC || errno == EDQUOT) ? -ENOSPC : -EIO;
        }
        put += static_cast<std::size_t>(w);
    }
    return 0;
}

// Whether streams are written to the bands directly; off for good once the folder's file system
// refuses direct or asynchronous writes.
std::atomic<bool> directStreams{true};

// What writeDirect returns when the write is better done through the page cache.
constexpr int kUseCache = 1;

// Writes a stream's ciphertext straight to the band's blocks: submitted asynchronously, then
// waited for. Through the page cache it would be copied once more, and every writer of the band
// would hold the band's inode lock for the whole write, so one 8 MiB band took one request at a
// time. Submitted this way the file system holds that lock only while it finds the blocks, and the
// next request for the band is on its way to the disk while this one still is. Returns 0, -ENOSPC,
// -EIO, or kUseCache with nothing written. `cached` is the same file opened for plain I/O.
int writeDirect(int fd, int cached, const std::uint8_t* data, std::size_t length, std::uint64_t offset) {
    const aio_context_t ctx = asyncQueue.get();
    if (ctx == 0) {
        return kUseCache;
    }
    iocb cb{};
    cb.aio_fildes = static_cast<std::uint32_t>(fd);
    cb.aio_lio_opcode = IOCB_CMD_PWRITE;
    cb.aio_buf = reinterpret_cast<std::uint64_t>(data);
    cb.aio_nbytes = length;
    cb.aio_offset = static_cast<std::int64_t>(offset);
    iocb* list[1] = {&cb};
    long rc = 0;
    do {
        rc = ::syscall(SYS_io_submit, ctx, 1, list);
    } while (rc < 0 && errno == EINTR);
    if (rc != 1) {
        if (errno == EINVAL || errno == EOPNOTSUPP) {
            directStreams = false;
        }
        return kUseCache; // EAGAIN and the like: this one goes through the cache
    }
    io_event event{};
    do {
        rc = ::syscall(SYS_io_getevents, ctx, 1, 1, &event, nullptr);
    } while (rc < 0 && errno == EINTR);
    if (rc != 1) {
        // Not expected; the queue goes, which waits for the write, before the buffer is reused.
        ::syscall(SYS_io_destroy, ctx);
        asyncQueue.ctx = 0;
        return -EIO;
    }
    if (event.res == static_cast<std::int64_t>(length)) {
        return 0;
    }
    if (event.res >= 0) { // short: the rest through the cache
        const auto put = static_cast<std::size_t>(event.res);
        return writeFully(cached, data + put, length - put, offset + put);
    }
    const int error = static_cast<int>(-event.res);
    if (error == ENOSPC || error == EDQUOT) {
        return -ENOSPC;
    }
    if (error == EINVAL || error == EOPNOTSUPP) {
        directStreams = false;
        return kUseCache;
    }
    return -EIO;
}

// Whether there is room for each open band's second descriptor, raising the soft limit many
// desktops start with (1024) where the hard limit allows. Without that room streams go through the
// cache: a direct descriptor taking the last one would make the next band impossible to open.
bool roomForDirectFiles() {
    static const bool room = [] {
        constexpr rlim_t kNeeded = 2 * kMaxOpenBands + 256;
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return false;
        }
        if (limit.rlim_cur < kNeeded && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2 * kNeeded);
            (void)::setrlimit(RLIMIT_NOFILE, &limit);
            (void)::getrlimit(RLIMIT_NOFILE, &limit);
        }
        return limit.rlim_cur >= kNeeded;
    }();
    return room;
}

} // namespace

struct BandStore::Band {
    int fd = -1;
    bool removed = false;        // unlinked by discard; writers must reopen
    std::shared_mutex presence;  // writers share it; removing an empty band takes it alone
    std::atomic<int> direct{-1}; // the same file opened for direct I/O, once a stream is written
    std::atomic<bool> noDirect{false};
    ~Band() {
        if (fd >= 0) {
            ::close(fd);
        }
        if (direct >= 0) {
            ::close(direct);
        }
    }
    // The descriptor for direct writes, or -1 where the file cannot be opened that way. Opened
    // through the open descriptor, so it is the same file whatever happens to its name.
    int directFd() {
        if (int d = direct.load(); d >= 0 || noDirect) {
            return d;
        }
        if (!roomForDirectFiles()) {
            noDirect = true;
            return -1;
        }
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        int d = ::open(self.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
        if (d < 0) {
            noDirect = true;
            return -1;
        }
        int expected = -1;
        if (!direct.compare_exchange_strong(expected, d)) {
            ::close(d);
            return expected;
        }
        return d;
    }
};

BandStore::BandStore(std::string bandsPath, std::uint64_t sizeBytes, const MasterKey& key)
    : bandsPath_(std::move(bandsPath)), size_(sizeBytes), generation_(nextGeneration++) {
    std::memcpy(key_.data(), key.xtsKey().data(), kXtsKeySize);
    lockInMemory(key_.data(), key_.size());
}

BandStore::~BandStore() {
    sync();
    wipe(key_.data(), key_.size());
    wipe(recordKey_.data(), recordKey_.size());
}

namespace {

// The bands present in the folder, by index; names that are not our spelling of an index are
// no bands.
std::set<std::uint64_t> presentBands(const std::string& folder) {
    std::set<std::uint64_t> present;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            char* end = nullptr;
            const unsigned long long index = std::strtoull(e->d_name, &end, 16);
            if (e->d_name[0] != '.' && end && *end == '\0' && bandFileName(index) == e->d_name) {
                present.insert(index);
            }
        }
        ::closedir(d);
    }
    return present;
}

// Makes a band file a whole band long: its missing end is a hole, which reads as zeros as before.
int extendToBand(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return -EIO;
    }
    if (static_cast<std::uint64_t>(st.st_size) < kBandSize && ::ftruncate(fd, static_cast<off_t>(kBandSize)) != 0) {
        return errno == ENOSPC || errno == EDQUOT ? -ENOSPC : -EIO;
    }
    return 0;
}

} // namespace

int BandStore::writeRecord(const std::set<std::uint64_t>& bands) {
    // The record first, then the identity with its number: a crash in between leaves a record
    // newer than the identity, which is whole; only an older one is a record put back.
    try {
        writeBandRecord(recordPath_, ByteView(recordKey_.data(), recordKey_.size()), bands, recordNumber_ + 1);
        ++recordNumber_;
    } catch (const ToolError& e) {
        if (e.kind == Failure::hostDiskFull) {
            ranOutOfSpace_ = true;
            return -ENOSPC;
        }
        return -EIO;
    }
    return writeIdentity();
}

int BandStore::writeIdentity() {
    try {
        writeVolumeIdentity(identityPath_, ByteView(recordKey_.data(), recordKey_.size()),
                            {fileSystem_, recordNumber_});
        return 0;
    } catch (const ToolError& e) {
        if (e.kind == Failure::hostDiskFull) {
            ranOutOfSpace_ = true;
            return -ENOSPC;
        }
        return -EIO;
    }
}

void BandStore::keepRecord(const std::string& recordPath, ByteView sealKey, bool recordExpected) {
    recordPath_ = recordPath;
    identityPath_ = dirName(recordPath) + "/volume-id";
    std::memcpy(recordKey_.data(), sealKey.data(), std::min(sealKey.size(), recordKey_.size()));
    lockInMemory(recordKey_.data(), recordKey_.size());
    const auto listed = readBandRecord(recordPath, sealKey);
    struct stat st {};
    const bool identityThere = ::lstat(identityPath_.c_str(), &st) == 0;
    VolumeIdentity identity{};
    const bool identityOpens = identityThere && [&] {
        auto read = readVolumeIdentity(identityPath_, sealKey);
        identity = read.value_or(VolumeIdentity{});
        return read.has_value();
    }();
    const std::set<std::uint64_t> present = presentBands(bandsPath_);
    // Without its record, or with an older one, the bands present say nothing of the bands that
    // should be: a band lost would read as zeros. Only an image of earlier tools is rebuilt.
    if (!listed && (recordExpected || identityThere || present.count(0) == 0)) {
        throw ToolError(Failure::missingPart);
    }
    if ((identityThere || (listed && listed->number)) &&
        (!identityOpens || !listed || !listed->number || *listed->number < identity.recordNumber)) {
        throw ToolError(Failure::missingPart);
    }
    fileSystem_ = identity.fileSystem;
    std::set<std::uint64_t> bands = listed ? listed->bands : std::set<std::uint64_t>{};
    // Records of earlier tools get a number, and an identity that fell behind its record catches up.
    bool changed = !listed || !listed->number || !identityOpens;
    recordNumber_ = listed && listed->number ? *listed->number : 0;
    const bool identityBehind = identity.recordNumber < recordNumber_;
    // Bands present but not listed: made before the record existed, or just before a crash that
    // kept the record from being written.
    for (std::uint64_t index : present) {
        if (bands.count(index) != 0) {
            continue;
        }
        const std::string path = bandsPath_ + "/" + bandFileName(index);
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        const int rc = fd < 0 ? -EIO : extendToBand(fd);
        if (fd >= 0) {
            ::close(fd);
        }
        if (rc == -ENOSPC) {
            throw ToolError(Failure::hostDiskFull);
        }
        if (rc == 0) {
            bands.insert(index);
            changed = true;
        }
    }
    {
        std::lock_guard lock(bandsMutex_);
        recorded_ = bands;
        record_ = true;
    }
    std::lock_guard recordLock(recordMutex_);
    int rc = changed ? writeRecord(bands) : identityBehind ? writeIdentity() : 0;
    if (rc != 0) {
        throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
    }
}

void BandStore::noteFileSystemId(const FileSystemId& id) {
    std::lock_guard recordLock(recordMutex_);
    fileSystem_ = id;
    if (int rc = writeIdentity(); rc != 0) {
        throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
    }
}

namespace {

constexpr char kKeptPart[] = ".part";

// Copies a band's file as it lies, its holes kept as holes, and makes the copy durable under
// its name. 0, -ENOSPC or -EIO.
int copyBandFile(int from, const std::string& folder, const std::string& name) {
    const std::string part = folder + "/" + name + kKeptPart;
    const int to = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (to < 0) {
        return errno == ENOSPC || errno == EDQUOT ? -ENOSPC : -EIO;
    }
    struct stat st {};
    int rc = ::fstat(from, &st) == 0 ? 0 : -EIO;
    std::vector<std::uint8_t> buffer(1u << 20);
    for (off_t at = 0; rc == 0 && at < st.st_size;) {
        const off_t data = ::lseek(from, at, SEEK_DATA);
        if (data < 0) {
            rc = errno == ENXIO ? 0 : -EIO;
            break;
        }
        const off_t hole = ::lseek(from, data, SEEK_HOLE);
        if (hole < 0) {
            rc = -EIO;
            break;
        }
        for (off_t pos = data; rc == 0 && pos < hole;) {
            const auto n = static_cast<std::size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buffer.size())));
            const ssize_t got = ::pread(from, buffer.data(), n, pos);
            if (got <= 0) {
                rc = got < 0 && errno == EINTR ? 0 : -EIO;
                continue;
            }
            rc = writeFully(to, buffer.data(), static_cast<std::size_t>(got), static_cast<std::uint64_t>(pos));
            pos += got;
        }
        at = hole;
    }
    if (rc == 0 && ::ftruncate(to, st.st_size) != 0) {
        rc = errno == ENOSPC || errno == EDQUOT ? -ENOSPC : -EIO;
    }
    if (rc == 0 && ::fdatasync(to) != 0) {
        rc = errno == ENOSPC || errno == EDQUOT ? -ENOSPC : -EIO;
    }
    ::close(to);
    if (rc == 0 && ::rename(part.c_str(), (folder + "/" + name).c_str()) != 0) {
        rc = -EIO;
    }
    if (rc == 0) {
        try {
            fsyncDirectory(folder);
        } catch (const ToolError&) {
            rc = -EIO;
        }
    }
    if (rc != 0) {
        ::unlink(part.c_str());
    }
    return rc;
}

} // namespace

int BandStore::beginKeptFolder() {
    if (keptBegun_) {
        return 0;
    }
    try {
        removeTree(keptPath_); // a folder without its list was never begun: nothing was kept in it
        makeDirectories(keptPath_ + "/bands", 0700);
        writeBandRecord(keptPath_ + "/bands.record", ByteView(recordKey_.data(), recordKey_.size()), keptBefore_, 0);
        fsyncDirectory(dirName(keptPath_));
    } catch (const ToolError& e) {
        if (e.kind == Failure::hostDiskFull) {
            ranOutOfSpace_ = true;
            return -ENOSPC;
        }
        return -EIO;
    }
    keptBegun_ = true;
    return 0;
}

int BandStore::keepBand(std::uint64_t index, const Band& band) {
    if (!keeping_.load(std::memory_order_acquire)) {
        return 0;
    }
    std::lock_guard lock(keptMutex_);
    if (!keeping_ || keptBefore_.count(index) == 0 || kept_.count(index) != 0) {
        return 0; // made since, or kept already
    }
    int rc = beginKeptFolder();
    if (rc == 0) {
        rc = copyBandFile(band.fd, keptPath_ + "/bands", bandFileName(index));
    }
    if (rc == 0) {
        kept_.insert(index);
    } else if (rc == -ENOSPC) {
        ranOutOfSpace_ = true;
    }
    return rc;
}

void BandStore::keepBandsAsTheyAre(const std::string& folder) {
    std::lock_guard lock(keptMutex_);
    keptPath_ = folder;
    kept_.clear();
    if (auto before = readBandRecord(folder + "/bands.record", ByteView(recordKey_.data(), recordKey_.size()))) {
        keptBefore_ = before->bands;
        kept_ = presentBands(folder + "/bands");
        keptBegun_ = true;
    } else {
        // The folder is made once the first band is kept: a check that changes nothing leaves none.
        std::lock_guard bandsLock(bandsMutex_);
        keptBefore_ = recorded_;
        keptBegun_ = false;
    }
    keeping_ = true;
}

void BandStore::stopKeepingBands() {
    std::lock_guard lock(keptMutex_);
    keeping_ = false;
    if (keptBegun_) {
        removeTree(keptPath_);
        fsyncDirectory(dirName(keptPath_));
    }
    keptBegun_ = false;
}

void BandStore::markKeptBandsShown() {
    std::lock_guard lock(keptMutex_);
    if (!keeping_) {
        return;
    }
    if (int rc = beginKeptFolder(); rc != 0) {
        throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
    }
    writeFileAtomically(keptPath_ + "/" + kKeptBandsShown, {});
}

void BandStore::takeBackKeptBands(const std::string& folder) {
    const ByteView key(recordKey_.data(), recordKey_.size());
    const auto before = readBandRecord(folder + "/bands.record", key);
    if (!before) {
        throw ToolError(Failure::missingPart);
    }
    keeping_ = false;
    std::lock_guard recordLock(recordMutex_);
    std::lock_guard lock(bandsMutex_);
    open_.clear();
    dirty_.clear();
    if (DIR* d = ::opendir((folder + "/bands").c_str())) {
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(d);
        for (const std::string& name : names) {
            const std::string from = folder + "/bands/" + name;
            if (name.size() > sizeof kKeptPart - 1 &&
                name.compare(name.size() - (sizeof kKeptPart - 1), std::string::npos, kKeptPart) == 0) {
                ::unlink(from.c_str()); // a copy that was never finished: its band was not changed
            } else if (::rename(from.c_str(), (bandsPath_ + "/" + name).c_str()) != 0) {
                throw ToolError(Failure::storageFailed);
            }
        }
    }
    for (std::uint64_t index : presentBands(bandsPath_)) {
        if (before->bands.count(index) == 0 && ::unlink((bandsPath_ + "/" + bandFileName(index)).c_str()) != 0) {
            throw ToolError(Failure::storageFailed);
        }
    }
    fsyncDirectory(bandsPath_);
    recorded_ = before->bands;
    recordDirty_ = false;
    if (int rc = writeRecord(recorded_); rc != 0) {
        throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
    }
    // Aside first: removed in directory order, the folder could lose its list before its marker,
    // and look like a take-back that cannot finish.
    const std::string aside = folder + ".gone";
    if (::rename(folder.c_str(), aside.c_str()) != 0) {
        throw ToolError(Failure::storageFailed);
    }
    fsyncDirectory(dirName(folder));
    removeTree(aside);
}

std::vector<std::uint64_t> BandStore::missingBands() {
    std::set<std::uint64_t> bands;
    {
        std::lock_guard lock(bandsMutex_);
        bands = recorded_;
    }
    std::vector<std::uint64_t> missing;
    for (std::uint64_t index : bands) {
        struct stat st {};
        const std::string path = bandsPath_ + "/" + bandFileName(index);
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) < kBandSize) {
            missing.push_back(index);
        }
    }
    return missing;
}

void BandStore::removeBeyond(std::uint64_t newSize) {
    const std::uint64_t keep = (newSize + kBandSize - 1) / kBandSize;
    std::lock_guard recordLock(recordMutex_);
    std::vector<std::uint64_t> beyond;
    for (std::uint64_t index : presentBands(bandsPath_)) {
        if (index >= keep) {
            beyond.push_back(index);
        }
    }
    // Bands that a repair may be taken back to are kept before they go.
    for (std::uint64_t index : beyond) {
        Band doomed;
        doomed.fd = ::open((bandsPath_ + "/" + bandFileName(index)).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (int rc = doomed.fd < 0 ? 0 : keepBand(index, doomed); rc != 0) {
            throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
        }
    }
    if (newSize % kBandSize != 0) {
        Band last;
        last.fd =
            ::open((bandsPath_ + "/" + bandFileName(newSize / kBandSize)).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (int rc = last.fd < 0 ? 0 : keepBand(newSize / kBandSize, last); rc != 0) {
            throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
        }
    }
    if (record_) {
        std::set<std::uint64_t> kept;
        {
            std::lock_guard lock(bandsMutex_);
            kept.insert(recorded_.begin(), recorded_.lower_bound(keep));
        }
        // Out of the record first: a band listed but gone would make the vault unreadable.
        if (int rc = writeRecord(kept); rc != 0) {
            throw ToolError(rc == -ENOSPC ? Failure::hostDiskFull : Failure::storageFailed);
        }
        std::lock_guard lock(bandsMutex_);
        recorded_ = std::move(kept);
    }
    {
        std::lock_guard lock(bandsMutex_);
        for (std::uint64_t index : beyond) {
            open_.erase(index);
            dirty_.erase(index);
            ::unlink((bandsPath_ + "/" + bandFileName(index)).c_str());
        }
    }
    if (newSize % kBandSize != 0) {
        // The last band keeps its length; what lies past the new end becomes a hole.
        Band last;
        last.fd =
            ::open((bandsPath_ + "/" + bandFileName(newSize / kBandSize)).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (last.fd >= 0) {
            (void)punch(last, newSize % kBandSize, kBandSize - newSize % kBandSize);
        }
    }
    fsyncDirectory(bandsPath_);
}

std::shared_ptr<BandStore::Band> BandStore::band(std::uint64_t index, bool create, int& error) {
    error = 0;
    std::lock_guard lock(bandsMutex_);
    if (auto it = open_.find(index); it != open_.end()) {
        return it->second;
    }
    std::string path = bandsPath_ + "/" + bandFileName(index);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT && recorded(index)) {
        // Written once and gone now (a copy or sync not finished): neither a hole to read as
        // zeros nor a band to start afresh, which would lose the rest of it for good.
        error = EIO;
        return nullptr;
    }
    if (fd < 0 && errno == ENOENT && create) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            bandsCreated_ = true;
            if (record_) {
                // A whole band long from the start, so that one cut short later is recognised.
                if (int rc = extendToBand(fd); rc != 0) {
                    ::close(fd);
                    ::unlink(path.c_str());
                    error = -rc;
                    return nullptr;
                }
                recorded_.insert(index);
                recordDirty_ = true;
            }
        } else {
            // A band that cannot be made must fail the write: taking it for a hole would report
            // data as written that is gone (a missing bands folder gives ENOENT here too).
            error = errno == ENOSPC || errno == EDQUOT ? ENOSPC : EIO;
            return nullptr;
        }
    }
    if (fd < 0) {
        error = errno == ENOENT ? 0 : EIO;
        return nullptr;
    }
    if (record_ && recorded_.count(index) == 0) {
        // A band the record does not know yet: it is taken in, a whole band long.
        if (extendToBand(fd) == 0) {
            recorded_.insert(index);
            recordDirty_ = true;
        }
    } else if (record_) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < kBandSize) {
            ::close(fd); // cut short: its end is lost, not a hole
            error = EIO;
            return nullptr;
        }
    }
    if (open_.size() >= kMaxOpenBands) {
        // Close the bands nobody is using; each is flushed first when it holds unsynced writes, so
        // that sync() still covers them. A band in use stays: closing it under a writer would let
        // a second Band for the same file appear, which discard could unlink beneath the writer.
        // Nobody else can take a band without this lock, so a count of one stays one.
        for (auto it = open_.begin(); it != open_.end();) {
            if (it->second.use_count() != 1) {
                ++it;
                continue;
            }
            if (dirty_.erase(it->first) != 0 && ::fdatasync(it->second->fd) != 0) {
                syncFailed_ = true;
            }
            it = open_.erase(it);
        }
    }
    auto b = std::make_shared<Band>();
    b->fd = fd;
    open_[index] = b;
    return b;
}

long BandStore::readSectors(std::uint8_t* out, std::uint64_t firstSector, std::uint64_t count) {
    Ciphers* c = ciphers(generation_, key_.data());
    if (!c) {
        return -EIO;
    }
    for (std::uint64_t done = 0; done < count;) {
        const BandRun run = bandRun(firstSector + done, count - done);
        std::uint8_t* dest = out + done * kSectorSize;
        const std::size_t bytes = run.count * kSectorSize;
        int error = 0;
        auto b = band(run.index, false, error);
        if (error) {
            return -error;
        }
        if (!b) {
            std::memset(dest, 0, bytes);
            done += run.count;
            continue;
        }
        // Read straight into the caller's buffer and decrypted where it lies: a second buffer
        // would only add its size to what passes through the caches.
        const long got = readFully(b->fd, dest, bytes, run.within * kSectorSize);
        if (got < 0 || (static_cast<std::size_t>(got) < bytes && record_)) {
            return -EIO;
        }
        std::memset(dest + got, 0, bytes - static_cast<std::size_t>(got));
        for (std::uint64_t i = 0; i < run.count; ++i) {
            std::uint8_t* sector = dest + i * kSectorSize;
            if (!allZero(sector, kSectorSize) && !crypt(c->dec, false, run.sector + i, sector, sector)) {
                return -EIO;
            }
        }
        done += run.count;
    }
    return static_cast<long>(count * kSectorSize);
}

int BandStore::punch(const Band& b, std::uint64_t offset, std::uint64_t length) {
    if (::fallocate(b.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length)) == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP) {
        return -EIO;
    }
    // A folder on a file system without hole punching still gets zero sectors, which read as holes.
    static const std::vector<std::uint8_t> zeros(kSectorSize * 64, 0);
    for (std::uint64_t done = 0; done < length;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), length - done));
        if (int rc = writeFully(b.fd, zeros.data(), n, offset + done); rc != 0) {
            return rc;
        }
        done += n;
    }
    return 0;
}

long BandStore::writeSectors(const std::uint8_t* in, std::uint64_t firstSector, std::uint64_t count) {
    Ciphers* c = ciphers(generation_, key_.data());
    if (!c) {
        return -EIO;
    }
    for (std::uint64_t done = 0; done < count;) {
        const BandRun run = bandRun(firstSector + done, count - done);
        const std::uint8_t* src = in + done * kSectorSize;
        bool anyData = false;
        for (std::uint64_t i = 0; i < run.count && !anyData; ++i) {
            anyData = !allZero(src + i * kSectorSize, kSectorSize);
        }
        int error = 0;
        auto b = band(run.index, anyData, error);
        if (error) {
            return -error;
        }
        if (!b) { // all zeros into a band that does not exist: already a hole
            done += run.count;
            continue;
        }
        std::shared_lock presence(b->presence);
        if (b->removed) {
            continue; // discarded meanwhile; look the band up again
        }
        if (int rc = keepBand(run.index, *b); rc != 0) {
            return rc;
        }
        std::uint8_t* scratch = c->scratch.reserve(run.count * kSectorSize);
        if (!scratch) {
            return -EIO;
        }
        // Runs of zero and non-zero sectors: the first become holes, the second ciphertext.
        std::uint64_t i = 0;
        while (i < run.count) {
            bool zero = allZero(src + i * kSectorSize, kSectorSize);
            std::uint64_t j = i + 1;
            while (j < run.count && allZero(src + j * kSectorSize, kSectorSize) == zero) {
                ++j;
            }
            std::uint64_t offset = (run.within + i) * kSectorSize;
            std::uint64_t bytes = (j - i) * kSectorSize;
            if (zero) {
                struct stat st {};
                if (::fstat(b->fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > offset) {
                    if (int rc = punch(*b, offset, bytes); rc != 0) {
                        return rc;
                    }
                }
            } else {
                for (std::uint64_t k = i; k < j; ++k) {
                    if (!crypt(c->enc, true, run.sector + k, src + k * kSectorSize, scratch + (k - i) * kSectorSize)) {
                        return -EIO;
                    }
                }
                int rc = kUseCache;
                if (bytes >= kStreamBytes && directStreams.load(std::memory_order_relaxed)) {
                    if (const int d = b->directFd(); d >= 0) {
                        rc = writeDirect(d, b->fd, scratch, bytes, offset);
                    }
                }
                if (rc == kUseCache) {
                    rc = writeFully(b->fd, scratch, bytes, offset);
                    if (rc == 0 && bytes >= kStreamBytes) {
                        // A stream's pages go to the disk now, while the next ones are encrypted, rather
                        // than all at the next sync (an uncached write starts that itself; plain I/O
                        // has to ask).
                        (void)::sync_file_range(b->fd, static_cast<off_t>(offset), static_cast<off_t>(bytes),
                                                SYNC_FILE_RANGE_WRITE);
                    }
                }
                if (rc != 0) {
                    return rc;
                }
            }
            i = j;
        }
        {
            std::lock_guard lock(bandsMutex_);
            dirty_.insert(run.index);
        }
        done += run.count;
    }
    return static_cast<long>(count * kSectorSize);
}

void BandStore::close() {
    closed_ = true;
    wipe(key_.data(), key_.size());
    wipe(recordKey_.data(), recordKey_.size());
}

long BandStore::read(std::uint8_t* out, std::size_t length, std::uint64_t offset) {
    if (closed_) {
        return -EIO;
    }
    if (offset >= size_) {
        return 0;
    }
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    std::uint64_t first = offset / kSectorSize;
    std::uint64_t last = (offset + length + kSectorSize - 1) / kSectorSize;
    if (offset % kSectorSize == 0 && length % kSectorSize == 0) {
        const long r = readSectors(out, first, last - first);
        if (r == -EIO) {
            ioFailed_ = true;
        }
        return r;
    }
    std::vector<std::uint8_t> buffer((last - first) * kSectorSize);
    long r = readSectors(buffer.data(), first, last - first);
    if (r == -EIO) {
        ioFailed_ = true;
    }
    if (r >= 0) {
        std::memcpy(out, buffer.data() + (offset - first * kSectorSize), length);
        r = static_cast<long>(length);
    }
    wipe(buffer.data(), buffer.size());
    return r;
}

long BandStore::write(const std::uint8_t* in, std::size_t length, std::uint64_t offset) {
    if (closed_) {
        return -EIO;
    }
    if (refuseAfterFailure_ && (ranOutOfSpace_ || ioFailed_)) {
        return ranOutOfSpace_ ? -ENOSPC : -EIO;
    }
    if (offset >= size_ || length > size_ - offset) {
        return -ENOSPC;
    }
    long r = writeRange(in, length, offset);
    if (r == -ENOSPC) {
        ranOutOfSpace_ = true;
    } else if (r == -EIO) {
        ioFailed_ = true;
    }
    if (r < 0) {
        countFailure(r);
    }
    return r;
}

long BandStore::writeRange(const std::uint8_t* in, std::size_t length, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < length) {
        std::uint64_t pos = offset + done;
        std::uint64_t sector = pos / kSectorSize;
        std::uint64_t within = pos % kSectorSize;
        if (within == 0 && length - done >= kSectorSize) {
            std::uint64_t whole = (length - done) / kSectorSize;
            long r = writeSectors(in + done, sector, whole);
            if (r < 0) {
                return r;
            }
            done += whole * kSectorSize;
            continue;
        }
        // A piece of one sector: read, patch and write it back under the sector's lock.
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kSectorSize - within, length - done));
        std::array<std::uint8_t, kSectorSize> plain{};
        std::lock_guard lock(sectorLock(sector));
        long r = readSectors(plain.data(), sector, 1);
        if (r >= 0) {
            std::memcpy(plain.data() + within, in + done, n);
            r = writeSectors(plain.data(), sector, 1);
        }
        wipe(plain.data(), plain.size());
        if (r < 0) {
            return r;
        }
        done += n;
    }
    return static_cast<long>(length);
}

int BandStore::discard(std::uint64_t offset, std::uint64_t length) {
    if (closed_ || (refuseAfterFailure_ && (ranOutOfSpace_ || ioFailed_))) {
        return -EIO;
    }
    const int rc = discardRange(offset, length);
    if (rc != 0) {
        countFailure(rc);
    }
    return rc;
}

int BandStore::discardRange(std::uint64_t offset, std::uint64_t length) {
    if (offset >= size_) {
        return 0;
    }
    length = std::min(length, size_ - offset);
    std::uint64_t first = (offset + kSectorSize - 1) / kSectorSize;
    std::uint64_t end = (offset + length) / kSectorSize;
    while (first < end) {
        const BandRun run = bandRun(first, end - first);
        const std::uint64_t index = run.index;
        int error = 0;
        auto b = band(index, false, error);
        if (error) {
            return -error;
        }
        if (b) {
            std::unique_lock presence(b->presence);
            if (!b->removed) {
                if (int rc = keepBand(index, *b); rc != 0) {
                    return rc;
                }
                if (int rc = punch(*b, run.within * kSectorSize, run.count * kSectorSize); rc != 0) {
                    return rc;
                }
                errno = 0;
                if (::lseek(b->fd, 0, SEEK_DATA) < 0 && errno == ENXIO) {
                    std::lock_guard recordLock(recordMutex_);
                    bool unlisted = !record_;
                    if (record_) {
                        // Out of the record before the file goes: a band listed but gone would
                        // make the vault unreadable. Should that fail, the empty band stays.
                        std::set<std::uint64_t> without;
                        {
                            std::lock_guard lock(bandsMutex_);
                            without = recorded_;
                        }
                        without.erase(index);
                        unlisted = writeRecord(without) == 0;
                    }
                    std::lock_guard lock(bandsMutex_);
                    std::string path = bandsPath_ + "/" + bandFileName(index);
                    if (unlisted && ::unlink(path.c_str()) == 0) {
                        b->removed = true;
                        open_.erase(index);
                        dirty_.erase(index);
                        recorded_.erase(index);
                        bandsCreated_ = true; // the folder changed; sync() flushes it
                    } else if (unlisted) {
                        recordDirty_ = true; // still there, so listed again at the next sync
                    }
                }
            }
        }
        first += run.count;
    }
    return 0;
}

int BandStore::sync() {
    if (closed_) {
        return -EIO; // and the record, sealed with the wiped key, must not be written
    }
    // The record lists a new band only once the band and its folder entry are durable; the list
    // is taken before they are flushed, and syncs one at a time.
    std::unique_lock<std::mutex> recordLock;
    if (record_) {
        recordLock = std::unique_lock(recordMutex_);
    }
    std::vector<std::shared_ptr<Band>> bands;
    bool folder = false;
    std::optional<std::set<std::uint64_t>> listed;
    {
        std::lock_guard lock(bandsMutex_);
        if (recordDirty_) {
            listed = recorded_;
            recordDirty_ = false;
        }
        for (auto index : dirty_) {
            if (auto it = open_.find(index); it != open_.end()) {
                bands.push_back(it->second);
            }
        }
        dirty_.clear();
        folder = bandsCreated_;
        bandsCreated_ = false;
    }
    int rc = 0;
    if (syncFailed_.exchange(false)) {
        rc = -EIO; // a band closed since the last sync could not be flushed
    }
    // Every band's write-back starts before the first wait, so the disk gets them all at once
    // instead of one band at a time; the fdatasync that follows still decides what is durable.
    for (auto& b : bands) {
        (void)::sync_file_range(b->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    for (auto& b : bands) {
        if (::fdatasync(b->fd) != 0) {
            rc = errno == ENOSPC || errno == EDQUOT ? -ENOSPC : -EIO;
        }
    }
    if (folder) {
        try {
            fsyncDirectory(bandsPath_);
        } catch (const ToolError&) {
            rc = -EIO;
        }
    }
    if (listed) {
        int recorded = rc == 0 ? writeRecord(*listed) : rc;
        if (recorded != 0) {
            std::lock_guard lock(bandsMutex_);
            recordDirty_ = true;
            rc = recorded;
        }
    }
    if (rc != 0) {
        countFailure(rc);
    }
    return rc;
}

} // namespace larkhold::diskimage
