#include "AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace larkhold {

namespace {

// Leaves room for the dot and ".tmp-XXXXXX" within a 255-byte file name.
constexpr qsizetype kTempStemBytes = 200;

WriteFaultPlan* activeFaultPlan() {
    if (&larkholdTestWriteFault != nullptr)
        return larkholdTestWriteFault;
    return nullptr;
}

std::string describe(int error) {
    return std::strerror(error);
}

std::string displayName(const QString& path) {
    return QFileInfo(path).fileName().toStdString();
}

[[noreturn]] void fail(const QString& path, const char* what, int error) {
    throw FileWriteError("Couldn’t save “" + displayName(path) + "”: " + what + " (" + describe(error) + ").");
}

// Removes the temporary file unless it has been moved into place.
struct TempFile {
    QByteArray path;
    int fd = -1;
    bool keep = false;
    ~TempFile() {
        if (fd >= 0)
            ::close(fd);
        if (!keep)
            ::unlink(path.constData());
    }
};

// write(2) until every byte is out, retrying interrupted and short writes.
int writeAll(int fd, ByteView bytes) {
    WriteFaultPlan* plan = activeFaultPlan();
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
    if (WriteFaultPlan* plan = activeFaultPlan(); plan && plan->failSync)
        return EIO;
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Moves the temporary file to its name. For a new file the move must fail rather than replace
// something that appeared there meanwhile.
int moveIntoPlace(const QByteArray& from, const QByteArray& to, WriteMode mode) {
    if (mode == WriteMode::replace)
        return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without RENAME_NOREPLACE: link() never replaces either.
    if (::link(from.constData(), to.constData()) != 0)
        return errno;
    ::unlink(from.constData());
    return 0;
}

int syncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

} // namespace

void writeFileAtomically(const QString& path, ByteView bytes, WriteMode mode) {
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());

    // Same folder, so the rename stays on one file system; mkostemp creates it exclusively
    // with mode 0600 before any byte is written. The name is shortened so that a file whose
    // own name is near the 255-byte limit can still be saved.
    TempFile temp;
    temp.path = folder + "/." + QFile::encodeName(info.fileName()).left(kTempStemBytes) + ".tmp-XXXXXX";
    temp.fd = ::mkostemp(temp.path.data(), O_CLOEXEC);
    if (temp.fd < 0) {
        temp.keep = true; // nothing was created
        fail(path, "could not create a temporary file", errno);
    }
    if (const int error = writeAll(temp.fd, bytes))
        fail(path, "could not write", error);
    if (const int error = syncData(temp.fd))
        fail(path, "could not flush to disk", error);
    const int fd = temp.fd;
    temp.fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        fail(path, "could not write", errno);

    if (const int error = moveIntoPlace(temp.path, target, mode)) {
        if (error == EEXIST)
            throw FileWriteError("Couldn’t create “" + displayName(path) + "”: a file with that name already exists.");
        fail(path, "could not move the new file into place", error);
    }
    temp.keep = true;
    if (const int error = syncFolder(folder))
        fail(path, "could not flush the folder to disk", error);
}

std::vector<std::uint8_t> readWholeFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const auto failRead = [&](int error) -> FileReadError {
        return FileReadError("Couldn’t read “" + displayName(path) + "” (" + describe(error) + ").");
    };
    // Non-blocking open: a FIFO at the path would otherwise hang the caller until some other
    // program opened it for writing. It is refused as not a regular file just below.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw failRead(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw failRead(errno);
    if (!S_ISREG(st.st_mode))
        throw failRead(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (const int flags = ::fcntl(fd, F_GETFL); flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw failRead(errno);

    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw failRead(errno);
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

} // namespace larkhold
