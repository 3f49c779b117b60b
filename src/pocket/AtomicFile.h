#pragma once

#include "FileWrite.h" // WriteMode
#include "SecureBytes.h"

#include <QString>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace larkhold {

// A write that did not reach the disk; the message is for the user and names the cause.
struct FileWriteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct FileReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes the whole file so that a crash, a full disk or a failing device leaves either the old
// file or the new one at `path`, never a mixture: a temporary file in the same folder with
// owner-only permissions, every write and the flush checked, a rename over the target, then a
// flush of the folder. On failure the temporary file is removed and FileWriteError is thrown.
// A test executable can make these writes fail (fileio::faultPlan, FileWrite.h).
void writeFileAtomically(const QString& path, ByteView bytes, WriteMode mode = WriteMode::replace);

// Reads a whole regular file; throws FileReadError with a message for the user.
std::vector<std::uint8_t> readWholeFile(const QString& path);

} // namespace larkhold
