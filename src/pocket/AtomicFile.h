#pragma once

#include "SecureBytes.h"

#include <QString>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace larkhold {

enum class WriteMode {
    replace,   // put the new bytes in place of whatever is at the path
    createNew, // fail if anything exists at the path, even if it appeared while we were writing
};

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
void writeFileAtomically(const QString& path, ByteView bytes, WriteMode mode = WriteMode::replace);

// Reads a whole regular file; throws FileReadError with a message for the user.
std::vector<std::uint8_t> readWholeFile(const QString& path);

// Test-only fault injection: when a test build defines this and points it at a plan, writes
// made by writeFileAtomically fail as the plan says. The product never defines it.
struct WriteFaultPlan {
    std::int64_t failAfterBytes = -1; // a write reaching past this many bytes fails; -1 = never
    int writeError = 28;              // errno of the failing write (ENOSPC)
    bool failSync = false;            // the data flush fails with EIO
};

} // namespace larkhold

extern "C" larkhold::WriteFaultPlan* larkholdTestWriteFault __attribute__((weak));
