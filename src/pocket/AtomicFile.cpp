#include "AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace larkhold {

namespace {

std::string describe(int error) {
    return std::strerror(error);
}

std::string displayName(const QString& path) {
    return QFileInfo(path).fileName().toStdString();
}

const char* stepText(fileio::WriteStep step) {
    switch (step) {
    case fileio::WriteStep::createTemporary:
        return "could not create a temporary file";
    case fileio::WriteStep::write:
        return "could not write";
    case fileio::WriteStep::flush:
        return "could not flush to disk";
    case fileio::WriteStep::moveIntoPlace:
        return "could not move the new file into place";
    case fileio::WriteStep::flushFolder:
        return "could not flush the folder to disk";
    }
    return "could not write";
}

} // namespace

void writeFileAtomically(const QString& path, ByteView bytes, WriteMode mode) {
    const std::string target = QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString();
    const std::optional<fileio::WriteFailure> failure = fileio::writeAtomically(target, bytes, mode);
    if (!failure)
        return;
    if (failure->step == fileio::WriteStep::moveIntoPlace && failure->error == EEXIST)
        throw FileWriteError("Couldn’t create “" + displayName(path) + "”: a file with that name already exists.");
    throw FileWriteError("Couldn’t save “" + displayName(path) + "”: " + stepText(failure->step) + " (" +
                         describe(failure->error) + ").");
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
