#pragma once

#include "SecureBytes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <sys/stat.h>

namespace larkhold {

enum class WriteMode {
    replace,   // put the new bytes in place of whatever is at the path
    createNew, // fail if anything exists at the path, even if it appeared while we were writing
};

// Test-only fault injection: crash-safe writes fail as the plan in effect says. The shipped program
// links FileWriteFaults.cpp, which has none and no way to set one; test executables link their own.
struct WriteFaultPlan {
    std::int64_t failAfterBytes = -1; // a write reaching past this many bytes fails; -1 = never
    int writeError = 28;              // errno of the failing write (ENOSPC)
    bool failSync = false;            // the data flush fails with EIO
};

// Crash-safe whole-file writing on plain POSIX calls, shared by the Qt side (AtomicFile) and the
// disk-image tools, which have no Qt. Each caller words its own messages from the failure.
namespace fileio {

enum class WriteStep {
    createTemporary, // the temporary file could not be made
    write,           // a write or the close failed
    flush,           // fdatasync of the new content failed
    moveIntoPlace,   // the rename failed; EEXIST for createNew means the name was taken
    flushFolder,     // the new name is in place but the folder could not be flushed
    notTheFileRead,  // a guarded replace found another file at the path (or none) and left it alone
};

struct WriteFailure {
    WriteStep step;
    int error; // errno
};

// One part of a file being written, in order: bytes in memory, or `length` bytes of the open file
// `fd` from `offset` on (copied by the kernel where it can, so they never pass through memory).
struct Piece {
    ByteView bytes;
    int fd = -1;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

// A replace that only ever replaces the file that was read, open at `fd`: `unchanged` looks at that
// file's status just before the swap, and the swap itself (an exchange of the two names where the
// file system has one) puts back whatever came out that is not that file. A file moved, deleted or
// replaced meanwhile is left as it is: WriteStep::notTheFileRead.
struct ReplaceOnly {
    int fd = -1;
    std::function<bool(const struct stat&)> unchanged;
};

struct WriteOptions {
    // Runs on the new file, complete, before its flush and before it takes the name.
    std::function<void(int fd)> prepare;
    const ReplaceOnly* replaceOnly = nullptr; // mode replace only
    // Receives the new file's own status once it has its name.
    struct stat* written = nullptr;
};

// Leaves either the old file or the new one at `path` after a crash, a full disk or a failing
// device, never a mixture: a temporary file in the same folder, created exclusively with
// owner-only permissions before any byte is written, every write and the flush checked, a rename
// over the target (for createNew one that never replaces), then a flush of the folder. On failure
// before the rename the temporary file is removed. Returns the failure, or nothing on success.
std::optional<WriteFailure> writeAtomically(const std::string& path, ByteView bytes, WriteMode mode);
// The same for a file made of pieces. A piece of a file that holds fewer bytes than it names
// fails the write (EIO), as does a failing read of it.
std::optional<WriteFailure> writeAtomically(const std::string& path, std::span<const Piece> pieces, WriteMode mode,
                                            const WriteOptions& options = {});

// Removes the temporary files that writes to `path` left behind when they were killed: our own
// files of exactly their pattern that no write is using now. A write under way keeps its file.
// Returns how many were removed.
int removeStaleTemporaries(const std::string& path);

// fsync of a folder, so that names created or renamed in it survive a crash. File systems that
// cannot sync a folder count as success. Returns 0 or errno.
int syncFolder(const std::string& folder);

// The fault plan in effect; always none outside tests.
const WriteFaultPlan* faultPlan();

} // namespace fileio

} // namespace larkhold
