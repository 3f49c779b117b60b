#pragma once

#include "FileWrite.h" // WriteMode
#include "SecureBytes.h"

#include <QString>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace larkhold {

// A write that did not reach the disk; the message is for the user and names the cause.
struct FileWriteError : std::runtime_error {
    explicit FileWriteError(const std::string& message, bool newFileInPlace = false, bool notTheFileRead = false)
        : std::runtime_error(message), newFileInPlace(newFileInPlace), notTheFileRead(notTheFileRead) {}
    // Only the folder's flush failed: the new file is at the path all the same.
    bool newFileInPlace;
    // A guarded replace (fileio::ReplaceOnly) found another file at the path, or none: nothing changed there.
    bool notTheFileRead;
};

struct FileReadError : std::runtime_error {
    explicit FileReadError(const std::string& message, int error = 0) : std::runtime_error(message), error(error) {}
    int error; // errno
};

// Writes the whole file so that a crash, a full disk or a failing device leaves either the old
// file or the new one at `path`, never a mixture: a temporary file in the same folder with
// owner-only permissions, every write and the flush checked, a rename over the target, then a
// flush of the folder. On failure the temporary file is removed and FileWriteError is thrown.
// A test executable can make these writes fail (fileio::faultPlan, FileWrite.h).
void writeFileAtomically(const QString& path, ByteView bytes, WriteMode mode = WriteMode::replace);
// The same for a file made of pieces (fileio::Piece).
void writeFileAtomically(const QString& path, std::span<const fileio::Piece> pieces, WriteMode mode,
                         const fileio::WriteOptions& options = {});

// Reads a whole regular file; throws FileReadError with a message for the user.
std::vector<std::uint8_t> readWholeFile(const QString& path);

// A regular file open for reading in parts, all of them from the one file that was opened whatever
// happens at its path meanwhile. Throws FileReadError with a message for the user.
class FileReader {
public:
    explicit FileReader(const QString& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    int fd() const { return fd_; }
    const struct stat& status() const { return status_; }
    // Exactly out.size() bytes from `offset`; a file that ends before is a read error.
    void readAt(std::int64_t offset, std::span<std::uint8_t> out) const;

private:
    QString path_;
    int fd_ = -1;
    struct stat status_ {};
};

} // namespace larkhold
