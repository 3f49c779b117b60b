#include "Util.h"

#include "FileWrite.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace larkhold::diskimage {

const char* sentenceOf(Failure kind) {
    switch (kind) {
    case Failure::hostDiskFull:
        return "There is not enough space on the disk that holds this vault.";
    case Failure::missingPart:
        return "A part of the vault file is missing or unreadable.";
    case Failure::storageFailed:
        return "The vault file could not be written to its disk.";
    default:
        return "The operation failed.";
    }
}

ToolError::ToolError(Failure kind) : ToolError(kind, sentenceOf(kind)) {}

std::string errnoText(int err) {
    return std::strerror(err);
}

void throwErrno(const std::string& what, int err) {
    if (err == ENOSPC || err == EDQUOT) {
        throw ToolError(Failure::hostDiskFull);
    }
    if (err == EACCES || err == EPERM) {
        throw ToolError(Failure::notPermitted, what + ": " + errnoText(err));
    }
    if (err == EROFS) {
        throw ToolError(Failure::readOnlyDisk, what + ": " + errnoText(err));
    }
    throw ToolError(what + ": " + errnoText(err));
}

void lockInMemory(const void* p, std::size_t n) {
    if (n == 0) {
        return;
    }
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(p) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + n + page - 1) / page * page;
    ::mlock(reinterpret_cast<void*>(start), end - start);
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTDUMP);
}

namespace {

// The length of the well-formed UTF-8 character at text[i], or 0.
std::size_t utf8Length(const std::string& text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

} // namespace

std::string xmlSafeText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8Length(text, i);
        if (length == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
            out += "\xEF\xBF\xBD";
            i += length == 0 ? 1 : length;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

bool validUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8Length(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    // Non-blocking open: a FIFO planted in an image folder would otherwise hang the tool, and the
    // application waits for its tools without a time-out. Anything but a plain file is refused.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        throwErrno(path, errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ToolError(path + ": not a regular file");
    }
    std::vector<std::uint8_t> bytes;
    int err = readToEnd(fd, bytes, 16u << 20); // none of the bundle's small files is ever this large
    ::close(fd);
    if (err == EFBIG) {
        throw ToolError(path + ": file is too large");
    }
    if (err != 0) {
        throwErrno(path, err);
    }
    return bytes;
}

void fsyncDirectory(const std::string& path) {
    if (int err = fileio::syncFolder(path)) {
        throwErrno(path, err);
    }
}

void writeFileAtomically(const std::string& path, ByteView bytes) {
    if (auto failure = fileio::writeAtomically(path, bytes, WriteMode::replace)) {
        throwErrno(path, failure->error);
    }
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void makeDirectories(const std::string& path, unsigned mode) {
    if (path.empty() || path == "/") {
        return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            throw ToolError(path + ": not a folder");
        }
        return;
    }
    makeDirectories(dirName(path), mode);
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        throwErrno(path, errno);
    }
}

namespace {

// The folder part and the last component of a path, as dirname(1) and basename(1) give them.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return {"/", "/"};
    }
    const auto slash = path.rfind('/', end);
    const auto start = slash == std::string::npos ? 0 : slash + 1;
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return {std::move(folder), path.substr(start, end - start + 1)};
}

} // namespace

std::string dirName(const std::string& path) {
    return splitPath(path).first;
}

std::string baseName(const std::string& path) {
    return splitPath(path).second;
}

std::string realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved && (errno == ENOENT || errno == ENOTDIR)) {
        throw ToolError(Failure::notFound, path + ": " + errnoText(errno));
    }
    if (!resolved) {
        throwErrno(path, errno);
    }
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string hex(ByteView bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string withoutTrailingSpace(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

SecureBytes readStandardInput() {
    SecureBytes out;
    out.reserve(4096); // grows rarely, and every old buffer is wiped by the allocator anyway
    // A failed read ends the input like its end does; the password check then decides.
    if (readToEnd(STDIN_FILENO, out, 1u << 20) == EFBIG) {
        throw ToolError("standard input is too long for a password");
    }
    return out;
}

namespace {

std::vector<char*> cArgs(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (auto& a : argv) {
        out.push_back(const_cast<char*>(a.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

// Children start with no signal blocked and default dispositions, whatever the service blocks
// or ignores for itself.
struct SpawnAttributes {
    posix_spawnattr_t attr;
    SpawnAttributes() {
        posix_spawnattr_init(&attr);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
};

int waitStatus(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

} // namespace

int spawnChild(const std::vector<std::string>& argv, int outFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    auto args = cArgs(argv);
    pid_t pid = -1;
    SpawnAttributes attributes;
    int rc = ::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes.attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw ToolError("cannot run " + argv[0] + ": " + errnoText(rc));
    }
    return pid;
}

ChildResult runChild(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throwErrno("pipe", errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    auto args = cArgs(argv);
    pid_t pid = -1;
    SpawnAttributes attributes;
    int rc = ::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes.attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        throw ToolError("cannot run " + argv[0] + ": " + errnoText(rc));
    }
    ChildResult result;
    readToEnd(fds[0], result.out);
    ::close(fds[0]);
    result.status = waitStatus(pid);
    return result;
}

namespace {

// /proc/<pid>/stat from the state field on, or nothing when there is no such process. The command
// name before it, in parentheses, may hold spaces, so fields are counted after its last ')'.
std::string statFields(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return {};
    }
    return text.substr(close + 2);
}

// Field 22 of the stat line, the start time; the state is field 3.
std::uint64_t startTimeOf(const std::string& fields) {
    std::istringstream in(fields);
    std::string field;
    for (int i = 3; i <= 22 && in >> field; ++i) {
        if (i == 22) {
            return std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return 0;
}

} // namespace

std::uint64_t processStartTime(int pid) {
    return startTimeOf(statFields(pid));
}

bool processAlive(int pid, std::uint64_t startTime) {
    if (pid <= 0) {
        return false;
    }
    const std::string fields = statFields(pid);
    const std::uint64_t now = startTimeOf(fields);
    // A zombie has ended its work even though its entry still exists.
    return now != 0 && now == startTime && fields[0] != 'Z';
}

bool waitForExit(int pid, std::uint64_t startTime, int timeoutMs) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (processAlive(pid, startTime)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (pidfd >= 0) {
                ::close(pidfd);
            }
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 200)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (pidfd >= 0) {
        ::close(pidfd);
    }
    return true;
}

bool isMountPoint(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, mountPoint;
        fields >> id >> parent >> dev >> root >> mountPoint;
        // mountinfo escapes space, tab, newline and backslash as octal.
        std::string decoded;
        for (std::size_t i = 0; i < mountPoint.size(); ++i) {
            if (mountPoint[i] == '\\' && i + 3 < mountPoint.size()) {
                decoded.push_back(static_cast<char>(std::stoi(mountPoint.substr(i + 1, 3), nullptr, 8)));
                i += 3;
            } else {
                decoded.push_back(mountPoint[i]);
            }
        }
        if (decoded == path) {
            return true;
        }
    }
    return false;
}

// udisks, which sets up the loop device for a desktop user, runs as root, and the kernel sizes a
// loop device by asking the disk file as the process that set it up. FUSE refuses every other user
// (root too) unless the mount admits them, which fusermount allows a user only where the
// administrator has put user_allow_other in /etc/fuse.conf; without it the mount would fail.
bool fuseAdmitsRoot() {
    if (::geteuid() == 0) {
        return false; // root owns the mount
    }
    int fd = ::open("/etc/fuse.conf", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string conf;
    readToEnd(fd, conf, 1 << 16);
    ::close(fd);
    for (std::size_t at = 0; at < conf.size();) {
        std::size_t end = std::min(conf.find('\n', at), conf.size());
        std::string line = conf.substr(at, end - at);
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line == "user_allow_other") {
            return true;
        }
        at = end + 1;
    }
    return false;
}

void findSystemPrograms() {
    const char* current = std::getenv("PATH");
    std::string path = current && *current ? current : "/usr/local/bin:/usr/bin:/bin";
    for (const char* folder : {"/usr/sbin", "/sbin"}) {
        if ((":" + path + ":").find(std::string(":") + folder + ":") == std::string::npos) {
            path += std::string(":") + folder;
        }
    }
    ::setenv("PATH", path.c_str(), 1);
}

std::optional<std::string> fuseUnmount(const std::string& path, bool lazy) {
    // Root may unmount the folder itself, as libfuse does for root; fusermount3 would cost a
    // program's start on every lock. Where the kernel refuses root that (root in a user namespace
    // that does not own the mount), fusermount3 may still be allowed.
    if (::geteuid() == 0) {
        if (::umount2(path.c_str(), UMOUNT_NOFOLLOW | (lazy ? MNT_DETACH : 0)) == 0) {
            return std::nullopt;
        }
        if (errno != EPERM) {
            return path + ": " + errnoText(errno);
        }
    }
    std::vector<std::string> argv{"fusermount3", "-u", "-q"};
    if (lazy) {
        argv.push_back("-z");
    }
    argv.push_back(path);
    ChildResult r = runChild(argv);
    if (r.status == 0) {
        return std::nullopt;
    }
    return r.out.empty() ? std::string("unmount failed") : r.out;
}

} // namespace larkhold::diskimage
