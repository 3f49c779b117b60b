#include "FileWrite.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace larkhold::fileio {

namespace {

// Leaves room for the dot and ".tmp-XXXXXX" within a 255-byte file name.
constexpr std::size_t kTempStemBytes = 200;

// How many times a temporary file removed by a cleaner before it was locked is made again.
constexpr int kCreateAttempts = 8;
// mkostemp's random part.
constexpr std::size_t kTempRandomBytes = 6;

struct Split {
    std::string folder;
    std::string name;
};

Split split(const std::string& path) {
    const auto slash = path.rfind('/');
    return {slash == std::string::npos ? "."
            : slash == 0               ? "/"
                                       : path.substr(0, slash),
            slash == std::string::npos ? path : path.substr(slash + 1)};
}

// The temporary files of writes to `name` are this followed by kTempRandomBytes letters and digits.
std::string tempPrefix(const std::string& name) {
    return "." + name.substr(0, kTempStemBytes) + ".tmp-";
}

// Removes the temporary file unless it has been moved into place. The writer holds an exclusive
// flock on it from creation until it is moved or removed, through `lockFd`: a file of this name
// that nobody holds is a copy a killed write left behind (removeStaleTemporaries).
struct TempFile {
    std::string path;
    int fd = -1;
    int lockFd = -1;
    bool keep = false;
    ~TempFile() {
        if (fd >= 0)
            ::close(fd);
        if (!keep)
            ::unlink(path.c_str());
        if (lockFd >= 0)
            ::close(lockFd);
    }
};

int lockExclusively(int fd, int flags) {
    while (::flock(fd, LOCK_EX | flags) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Makes the temporary file and takes its lock. A cleaner may remove the new name between the
// two; the file then has no name any more and another is made.
int createTemporary(TempFile& temp, const std::string& pattern) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        temp.path = pattern;
        temp.fd = ::mkostemp(temp.path.data(), O_CLOEXEC);
        if (temp.fd < 0) {
            temp.keep = true; // nothing was created
            return errno;
        }
        // File systems without locks still get their writes; a cleaner never removes what it
        // cannot lock.
        if (lockExclusively(temp.fd, 0) != 0)
            return 0;
        struct stat st {};
        if (::fstat(temp.fd, &st) != 0)
            return errno;
        if (st.st_nlink > 0) {
            temp.lockFd = ::fcntl(temp.fd, F_DUPFD_CLOEXEC, 0);
            return temp.lockFd < 0 ? errno : 0;
        }
        ::close(temp.fd);
        temp.fd = -1;
    }
    temp.keep = true;
    return EEXIST;
}

// Writes the pieces of a new file one after the other, counting the bytes for the fault plan.
class ContentWriter {
public:
    explicit ContentWriter(int fd) : fd_(fd), plan_(faultPlan()) {}

    // write(2) until every byte is out, retrying interrupted and short writes.
    int write(ByteView bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            std::size_t chunk = std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30);
            if (plan_ && plan_->failAfterBytes >= 0) {
                const auto limit = static_cast<std::size_t>(plan_->failAfterBytes);
                if (written_ >= limit)
                    return plan_->writeError;
                chunk = std::min(chunk, limit - written_);
            }
            const ssize_t n = ::write(fd_, bytes.data() + done, chunk);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            if (n == 0)
                return EIO;
            done += static_cast<std::size_t>(n);
            written_ += static_cast<std::size_t>(n);
        }
        return 0;
    }

    // `length` bytes of `from` at `offset`: in the kernel when the file system can, else through a
    // small buffer. Under a fault plan always through the buffer, so that the plan counts every byte.
    int copy(int from, std::int64_t offset, std::int64_t length) {
        auto in = static_cast<off_t>(offset);
        auto left = static_cast<std::size_t>(length);
        bool kernelCopies = plan_ == nullptr;
        while (kernelCopies && left > 0) {
            const ssize_t n = ::copy_file_range(from, &in, fd_, nullptr, left, 0);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                // Not between these two files: nothing was copied by this call, so the buffer takes over.
                if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP ||
                    errno == EBADF) {
                    kernelCopies = false;
                    break;
                }
                return errno;
            }
            if (n == 0)
                return EIO; // the file is shorter than it should be
            left -= static_cast<std::size_t>(n);
            written_ += static_cast<std::size_t>(n);
        }
        std::vector<std::uint8_t> buffer(std::min<std::size_t>(left, std::size_t{1} << 20));
        while (left > 0) {
            const ssize_t n = ::pread(from, buffer.data(), std::min(left, buffer.size()), in);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            if (n == 0)
                return EIO;
            if (const int error = write(ByteView(buffer.data(), static_cast<std::size_t>(n))))
                return error;
            in += n;
            left -= static_cast<std::size_t>(n);
        }
        return 0;
    }

private:
    int fd_;
    const WriteFaultPlan* plan_;
    std::size_t written_ = 0;
};

int syncData(int fd) {
    if (const WriteFaultPlan* plan = faultPlan(); plan && plan->failSync)
        return EIO;
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Moves the temporary file to its name. For a new file the move must fail rather than replace
// something that appeared there meanwhile.
int moveIntoPlace(const std::string& from, const std::string& to, WriteMode mode) {
    if (mode == WriteMode::replace)
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without RENAME_NOREPLACE: link() never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// The file that came out of a swap is the one that was read: the same file, its size and content
// time as they were (the swap itself moves its change time on).
bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

constexpr int kNotTheFileRead = -1;

// Moves the new file to `to` only in place of the file that was read. Returns 0, kNotTheFileRead or
// errno; `keepFrom` says whether what is left at `from` must stay (it is no longer our new file or
// the old one).
int swapForTheFileRead(const std::string& from, const std::string& to, const ReplaceOnly& guard, bool& keepFrom) {
    keepFrom = false;
    struct stat read {};
    if (::fstat(guard.fd, &read) != 0)
        return errno;
    if (guard.unchanged && !guard.unchanged(read))
        return kNotTheFileRead;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno == ENOENT)
            return kNotTheFileRead; // moved or deleted meanwhile: nothing is put in its place
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP)
            return errno;
        // No exchange here: a last look just before the rename is as close as this file system allows.
        struct stat named {};
        if (::lstat(to.c_str(), &named) != 0)
            return errno == ENOENT ? kNotTheFileRead : errno;
        if (!sameFile(named, read))
            return kNotTheFileRead;
        if (::rename(from.c_str(), to.c_str()) != 0)
            return errno;
        keepFrom = true;
        return 0;
    }
    // The old file is now at `from`, to be removed; unless it is another program's, which goes back.
    struct stat out {};
    if (::lstat(from.c_str(), &out) == 0 && sameFile(out, read))
        return 0;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) != 0) {
        // Theirs stays under the temporary name rather than being removed with it.
        keepFrom = true;
        return errno;
    }
    return kNotTheFileRead;
}

} // namespace

int syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = 0;
    while (::fsync(fd) != 0) {
        if (errno == EINTR)
            continue;
        // Some file systems cannot sync a folder at all; the rename is then as durable as it gets.
        if (errno != EINVAL && errno != ENOTSUP)
            result = errno;
        break;
    }
    ::close(fd);
    return result;
}

std::optional<WriteFailure> writeAtomically(const std::string& path, ByteView bytes, WriteMode mode) {
    const Piece whole{bytes};
    return writeAtomically(path, std::span(&whole, 1), mode);
}

std::optional<WriteFailure> writeAtomically(const std::string& path, std::span<const Piece> pieces, WriteMode mode,
                                            const WriteOptions& options) {
    const auto [folder, name] = split(path);

    // Same folder, so the rename stays on one file system; mkostemp creates it exclusively
    // with mode 0600 before any byte is written. The name is shortened so that a file whose
    // own name is near the 255-byte limit can still be saved.
    TempFile temp;
    if (const int error = createTemporary(temp, (folder == "/" ? std::string() : folder) + "/" + tempPrefix(name) +
                                                    std::string(kTempRandomBytes, 'X')))
        return WriteFailure{WriteStep::createTemporary, error};
    ContentWriter content(temp.fd);
    for (const Piece& piece : pieces) {
        if (const int error =
                piece.fd < 0 ? content.write(piece.bytes) : content.copy(piece.fd, piece.offset, piece.length))
            return WriteFailure{WriteStep::write, error};
    }
    if (options.prepare)
        options.prepare(temp.fd);
    if (const int error = syncData(temp.fd))
        return WriteFailure{WriteStep::flush, error};
    // The new file's status is taken from the file itself once it has its name, never from the name,
    // which another program may have taken by then.
    const int statFd = options.written ? ::fcntl(temp.fd, F_DUPFD_CLOEXEC, 0) : -1;
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0)
                ::close(fd);
        }
    } const closeStat{statFd};
    if (options.written && statFd < 0)
        return WriteFailure{WriteStep::write, errno};
    const int fd = temp.fd;
    temp.fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return WriteFailure{WriteStep::write, errno};

    if (options.replaceOnly && mode == WriteMode::replace) {
        bool keepFrom = false;
        const int error = swapForTheFileRead(temp.path, path, *options.replaceOnly, keepFrom);
        temp.keep = keepFrom;
        if (error == kNotTheFileRead)
            return WriteFailure{WriteStep::notTheFileRead, 0};
        if (error)
            return WriteFailure{WriteStep::moveIntoPlace, error};
    } else {
        if (const int error = moveIntoPlace(temp.path, path, mode))
            return WriteFailure{WriteStep::moveIntoPlace, error};
        temp.keep = true;
    }
    if (options.written && ::fstat(statFd, options.written) != 0)
        *options.written = {};
    if (const int error = syncFolder(folder))
        return WriteFailure{WriteStep::flushFolder, error};
    return std::nullopt;
}

int removeStaleTemporaries(const std::string& path) {
    const auto [folder, name] = split(path);
    const std::string prefix = tempPrefix(name);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    const int dirFd = ::dirfd(dir);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName.size() != prefix.size() + kTempRandomBytes || entryName.compare(0, prefix.size(), prefix) != 0 ||
            !std::all_of(entryName.begin() + std::ptrdiff_t(prefix.size()), entryName.end(),
                         [](unsigned char c) { return std::isalnum(c) != 0; }))
            continue;
        const int fd = ::openat(dirFd, entryName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat opened {};
        struct stat named {};
        // Only our own plain files, only when no write holds them, and only the file that was looked at.
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
            lockExclusively(fd, LOCK_NB) == 0 &&
            ::fstatat(dirFd, entryName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino && ::unlinkat(dirFd, entryName.c_str(), 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

} // namespace larkhold::fileio
