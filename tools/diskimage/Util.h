#pragma once

#include "SecureBytes.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace larkhold::diskimage {

// A failure the user should read. The message is printed after the tool's own prefix
// ("hdiutil: attach failed - "), so it names the cause without repeating the command.
struct ToolError : std::runtime_error {
    explicit ToolError(const std::string& message, int exitCode = 1)
        : std::runtime_error(message), exitCode(exitCode) {}
    int exitCode;
};

// The wrong password. Its text is what the application recognises as a refused password.
struct AuthenticationError : ToolError {
    AuthenticationError() : ToolError("Authentication error") {}
};

// What the user reads whenever the disk that holds an image has no room left.
inline constexpr const char* kNoSpaceMessage = "There is not enough space on the disk that holds this vault.";
// ... and whenever a band it has written is missing, cut short or cannot be read.
inline constexpr const char* kMissingPartMessage = "A part of the vault file is missing or unreadable.";
// ... and whenever the size recorded in Info.plist is smaller than the file system inside.
inline constexpr const char* kSizeMismatchMessage = "The size recorded in the vault is smaller than its contents.";
// ... and whenever the vault file cannot be written for another reason.
inline constexpr const char* kStorageFailedMessage = "The vault file could not be written to its disk.";

std::string errnoText(int err);
[[noreturn]] void throwErrno(const std::string& what, int err);

// Whole-file helpers. writeFileAtomically leaves either the old or the new content at path
// after a crash: owner-only temporary file in the same folder, fsync, rename, fsync of the folder.
std::vector<std::uint8_t> readFile(const std::string& path);
void writeFileAtomically(const std::string& path, ByteView bytes);
void fsyncDirectory(const std::string& path);
void removeTree(const std::string& path);
// Creates a folder and its missing parents with the given mode for the folders it creates.
void makeDirectories(const std::string& path, unsigned mode);

std::string dirName(const std::string& path);
std::string baseName(const std::string& path);
std::string realPath(const std::string& path); // throws ToolError when the path does not exist
std::string hex(ByteView bytes);
// The text without the newlines and spaces at its end, for quoting a program's output in a message.
std::string withoutTrailingSpace(std::string text);

// Keeps the pages that hold [p, p + n) in memory and out of core dumps; best effort.
void lockInMemory(const void* p, std::size_t n);

// Standard input read to its end. Passwords come this way only; the buffer wipes itself.
SecureBytes readStandardInput();

// Appends what a descriptor gives until its end, retrying interrupted reads. Returns 0, the errno
// of a failed read, or EFBIG once `out` holds more than `limit` bytes. The bytes may be a
// password, so the stack buffer they pass through is wiped.
template <class Bytes> int readToEnd(int fd, Bytes& out, std::size_t limit = SIZE_MAX) {
    std::uint8_t buf[4096];
    int result = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            result = n < 0 ? errno : 0;
            break;
        }
        out.insert(out.end(), buf, buf + n);
        if (out.size() > limit) {
            result = EFBIG;
            break;
        }
    }
    wipe(buf, sizeof buf);
    return result;
}

struct ChildResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out; // standard output and standard error, interleaved as written
};

// Runs a program (absolute path or a name looked up on PATH) with stdin from /dev/null and both
// outputs captured together. Throws ToolError when it cannot be started.
ChildResult runChild(const std::vector<std::string>& argv);
// Starts a program without waiting; stdin from /dev/null, both outputs into outFd (or /dev/null
// when -1). Returns its pid.
int spawnChild(const std::vector<std::string>& argv, int outFd = -1);

// Process identity that survives pid reuse: the start time from /proc/<pid>/stat.
std::uint64_t processStartTime(int pid);
bool processAlive(int pid, std::uint64_t startTime);
// Waits until the process has ended, up to timeoutMs; true when it ended.
bool waitForExit(int pid, std::uint64_t startTime, int timeoutMs);

bool isMountPoint(const std::string& path);
// Whether text is well-formed UTF-8.
bool validUtf8(const std::string& text);
// The text with every byte that is not part of well-formed UTF-8, and every control character
// XML does not allow, replaced by U+FFFD.
std::string xmlSafeText(const std::string& text);

// Unmounts a FUSE mount owned by this user; lazy detaches it even while files are open.
// Returns the tool's output on failure, std::nullopt on success.
std::optional<std::string> fuseUnmount(const std::string& path, bool lazy);

} // namespace larkhold::diskimage
