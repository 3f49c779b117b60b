#include "FileWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace larkhold::fileio {

namespace {

// Leaves room for the dot and ".tmp-XXXXXX" within a 255-byte file name.
constexpr std::size_t kTempStemBytes = 200;

// Removes the temporary file unless it has been moved into place.
struct TempFile {
    std::string path;
    int fd = -1;
    bool keep = false;
    ~TempFile() {
        if (fd >= 0)
            ::close(fd);
        if (!keep)
            ::unlink(path.c_str());
    }
};

// write(2) until every byte is out, retrying interrupted and short writes.
int writeAll(int fd, ByteView bytes) {
    const WriteFaultPlan* plan = faultPlan();
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t chunk = std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30);
        if (plan && plan->failAfterBytes >= 0) {
            const auto limit = static_cast<std::size_t>(plan->failAfterBytes);
            if (done >= limit)
                return plan->writeError;
            chunk = std::min(chunk, limit - done);
        }
        const ssize_t n = ::write(fd, bytes.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

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
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    // Same folder, so the rename stays on one file system; mkostemp creates it exclusively
    // with mode 0600 before any byte is written. The name is shortened so that a file whose
    // own name is near the 255-byte limit can still be saved.
    TempFile temp;
    temp.path = (folder == "/" ? std::string() : folder) + "/." + name.substr(0, kTempStemBytes) + ".tmp-XXXXXX";
    temp.fd = ::mkostemp(temp.path.data(), O_CLOEXEC);
    if (temp.fd < 0) {
        temp.keep = true; // nothing was created
        return WriteFailure{WriteStep::createTemporary, errno};
    }
    if (const int error = writeAll(temp.fd, bytes))
        return WriteFailure{WriteStep::write, error};
    if (const int error = syncData(temp.fd))
        return WriteFailure{WriteStep::flush, error};
    const int fd = temp.fd;
    temp.fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return WriteFailure{WriteStep::write, errno};

    if (const int error = moveIntoPlace(temp.path, path, mode))
        return WriteFailure{WriteStep::moveIntoPlace, error};
    temp.keep = true;
    if (const int error = syncFolder(folder))
        return WriteFailure{WriteStep::flushFolder, error};
    return std::nullopt;
}

} // namespace larkhold::fileio
