#pragma once

#include "SecureBytes.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace larkhold::diskimage {

// What kind of failure a tool reports, for the program that runs it: the tools exit with this
// status, and the last line of standard error says the same for the user. The numbers are a
// contract with the application (README.md, "Failures"): never renumber one.
enum class Failure : int {
    other = 1,                   // anything else; the sentence says what
    busy = 16,                   // in use, or another operation holds the image
    wrongPassword = 80,          // the password does not open the image
    hostDiskFull = 81,           // the disk that holds the image has no room left
    missingPart = 82,            // a band the image has written is missing, cut short or unreadable
    storageFailed = 83,          // the image could not be written for another reason
    unsafeMountRoot = 84,        // the folder volumes are mounted in is not safe to use
    damagedFileSystem = 85,      // the file system is damaged and could not be repaired
    needsRepair = 86,            // the file system has errors that only an unlock repairs
    notAuthorized = 87,          // the system (polkit) does not allow the user this
    authorizationCancelled = 88, // the user cancelled the request for permission
    fuseRefusesSystem = 89,      // /etc/fuse.conf lacks user_allow_other, so udisks cannot read the disk
    loopDeviceUnseen = 90,       // the loop device's file system can never appear (udev missing or skipping it)
    limitBelowUse = 91,          // a new size below what the files inside need
    invalidName = 92,            // a volume name the tools do not accept
    notFound = 93,               // no image, or no attached volume, where the caller said
    notPermitted = 94,           // the system refuses the user a file or folder the command needs
    readOnlyDisk = 95,           // a file the command must write is on a disk that can only be read
    diskServiceFailed = 96,      // udisks failed for a reason of its own; its words may name a device
    diskServiceNotRunning = 97,  // udisksd is not running, so nothing can set the disk up
};

// A failure the user should read. The message is printed after the tool's own prefix
// ("hdiutil: attach failed - "), so it names the cause without repeating the command.
struct ToolError : std::runtime_error {
    explicit ToolError(const std::string& message) : ToolError(Failure::other, message) {}
    ToolError(Failure kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
    // The failures that always read the same.
    explicit ToolError(Failure kind);
    Failure kind;
    int exitCode() const { return static_cast<int>(kind); }
};

// The wrong password.
struct AuthenticationError : ToolError {
    AuthenticationError() : ToolError(Failure::wrongPassword, "Authentication error") {}
};

// The sentence of a failure that always reads the same.
const char* sentenceOf(Failure kind);
// What the user reads whenever the size recorded in Info.plist is smaller than the file system inside.
inline constexpr const char* kSizeMismatchMessage = "The size recorded in the vault is smaller than its contents.";

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
// password, so the stack buffer they pass through is wiped, by the C library rather than libcrypto:
// the hdiutil front program reads its registry through here and never loads libcrypto for that.
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
    ::explicit_bzero(buf, sizeof buf);
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

// Whether the disk is served to root as well as to its owner (only where this user may allow it).
bool fuseAdmitsRoot();

// The sbin folders added to PATH after the user's own folders: the ext4 programs live there, and a
// desktop user's PATH often leaves them out.
void findSystemPrograms();

// Unmounts a FUSE mount owned by this user; lazy detaches it even while files are open.
// Returns what went wrong on failure, std::nullopt on success.
std::optional<std::string> fuseUnmount(const std::string& path, bool lazy);

} // namespace larkhold::diskimage
