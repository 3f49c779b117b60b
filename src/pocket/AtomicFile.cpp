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
    case fileio::WriteStep::notTheFileRead:
        return "another program changed, moved or deleted it meanwhile";
    }
    return "could not write";
}

} // namespace

void writeFileAtomically(const QString& path, ByteView bytes, WriteMode mode) {
    const fileio::Piece whole{bytes};
    writeFileAtomically(path, std::span(&whole, 1), mode);
}

void writeFileAtomically(const QString& path, std::span<const fileio::Piece> pieces, WriteMode mode,
                         const fileio::WriteOptions& options) {
    const std::string target = QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString();
    const std::optional<fileio::WriteFailure> failure = fileio::writeAtomically(target, pieces, mode, options);
    if (!failure)
        return;
    if (failure->step == fileio::WriteStep::moveIntoPlace && failure->error == EEXIST)
        throw FileWriteError("Couldn’t create “" + displayName(path) + "”: a file with that name already exists.");
    if (failure->step == fileio::WriteStep::notTheFileRead)
        throw FileWriteError("Couldn’t save “" + displayName(path) + "”: " + stepText(failure->step) + ".", false,
                             true);
    throw FileWriteError("Couldn’t save “" + displayName(path) + "”: " + stepText(failure->step) + " (" +
                             describe(failure->error) + ").",
                         failure->step == fileio::WriteStep::flushFolder);
}

static FileReadError readError(const QString& path, int error) {
    return FileReadError("Couldn’t read “" + displayName(path) + "” (" + describe(error) + ").", error);
}

FileReader::FileReader(const QString& path) : path_(path) {
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking open: a FIFO at the path would otherwise hang the caller until some other
    // program opened it for writing. It is refused as not a regular file just below.
    fd_ = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0)
        throw readError(path, errno);
    try {
        if (::fstat(fd_, &status_) != 0)
            throw readError(path, errno);
        if (!S_ISREG(status_.st_mode))
            throw readError(path, S_ISDIR(status_.st_mode) ? EISDIR : EINVAL);
        if (const int flags = ::fcntl(fd_, F_GETFL); flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)
            throw readError(path, errno);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

FileReader::~FileReader() {
    ::close(fd_);
}

void FileReader::readAt(std::int64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + std::int64_t(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw readError(path_, errno);
        }
        if (n == 0)
            throw readError(path_, EIO);
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> readWholeFile(const QString& path) {
    const FileReader file(path);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(file.status().st_size));
    std::uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(file.fd(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw readError(path, errno);
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

} // namespace larkhold
