#include "Confinement.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <malloc.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace larkhold::confinement {

namespace {

bool closeAllBut(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned from = 0;
    for (const int fd : keep) {
        if (fd < 0 || unsigned(fd) < from)
            continue;
        if (unsigned(fd) > from && ::syscall(SYS_close_range, from, unsigned(fd) - 1, 0) != 0)
            return false;
        from = unsigned(fd) + 1;
    }
    return ::syscall(SYS_close_range, from, ~0U, 0) == 0;
}

bool setLimit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    return ::setrlimit(resource, &limit) == 0;
}

// A namespace of each kind the kernel lets us make: no network but an unconfigured loopback, no
// mount or IPC object shared with the session. Without a new user namespace an unprivileged process
// may make none of the others; the filter below holds all the same.
void enterNewNamespaces() {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWIPC) == 0)
        return;
    for (const int kind : {CLONE_NEWNET, CLONE_NEWNS, CLONE_NEWIPC})
        ::unshare(kind);
}

// What a decoder needs once its libraries are loaded: memory, threads, its own pipes and signals,
// the time. Everything else fails with EPERM: in particular every way to a file by its path, to a
// socket, to another process (ptrace, signals to others) and to a new program.
bool loadFilter() {
    scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return false;
    bool ok = ::seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    const auto allow = [&](int call) { ok = ok && ::seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0; };
    for (const int call :
         {SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(pread64), SCMP_SYS(close),
          SCMP_SYS(lseek), SCMP_SYS(fstat), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mprotect), SCMP_SYS(mremap),
          SCMP_SYS(madvise), SCMP_SYS(brk), SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq),
          SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask),
          SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(restart_syscall), SCMP_SYS(getpid),
          SCMP_SYS(gettid), SCMP_SYS(getppid), SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid),
          SCMP_SYS(getegid), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
          SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity),
          SCMP_SYS(getrandom), SCMP_SYS(getrusage), SCMP_SYS(uname), SCMP_SYS(poll), SCMP_SYS(ppoll),
          // Each thread Qt starts gets an event loop, woken through a descriptor of its own that
          // leads nowhere.
          SCMP_SYS(eventfd2), SCMP_SYS(pipe2)})
        allow(call);
    const auto allowIf = [&](int call, std::initializer_list<scmp_arg_cmp> conditions) {
        ok = ok && ::seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, unsigned(conditions.size()),
                                            conditions.begin()) == 0;
    };
    // fstat() goes through fstatat() with an empty path. The path itself is out of the filter's
    // reach; a name looked up this way tells a file's size and times, never what it holds.
    allowIf(SCMP_SYS(newfstatat), {SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)});
    // Threads (Qt scales large images on several), never new processes. clone3's flags sit behind a
    // pointer the filter cannot read: refused as unknown, the C library then falls back to clone.
    allowIf(SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    ok = ok && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
    // Signals to this process only (abort() raises one).
    const auto self = scmp_datum_t(::getpid());
    allowIf(SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)});
    allowIf(SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, self)});
    for (const int command : {F_GETFD, F_SETFD, F_GETFL})
        allowIf(SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(command))});
    // Limits may be read, never raised.
    allowIf(SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)});
    for (const int option : {PR_SET_NAME, PR_GET_NAME})
        allowIf(SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(option))});
    ok = ok && ::seccomp_load(filter) == 0;
    ::seccomp_release(filter);
    return ok;
}

bool parseNumber(const char* text, long maximum, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && out >= 0 && out <= maximum;
}

const char* errorName(bool failed, int error) {
    if (!failed)
        return "ok";
    switch (error) {
    case EPERM:
        return "EPERM";
    case EACCES:
        return "EACCES";
    case ENOSYS:
        return "ENOSYS";
    default:
        return "other";
    }
}

} // namespace

// AddressSanitizer's shadow memory is terabytes of reserved address space: a build made with it
// cannot live under the cap at all, so there the cap is left off (the CPU cap still holds).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCapAddressSpace = false;
#else
constexpr bool kCapAddressSpace = true;
#endif

bool confine(const Limits& limits, std::initializer_list<int> keep, const std::function<void()>& prepare) {
    // Nothing of the session reaches the decoder; the parent starts it with no environment, and
    // whatever an older parent passed is dropped here.
    if (::clearenv() != 0)
        return false;
    // Set by the parent before the exec as well, so that a parent gone in between is not missed.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return false;
    enterNewNamespaces();
    // One arena for all threads: every arena reserves 64 MiB of address space, which the cap counts.
    ::mallopt(M_ARENA_MAX, 1);
    if (limits.addressSpaceBytes == 0 || limits.cpuSeconds == 0 ||
        (kCapAddressSpace && !setLimit(RLIMIT_AS, rlim_t(limits.addressSpaceBytes))) ||
        !setLimit(RLIMIT_CPU, rlim_t(limits.cpuSeconds)) || !setLimit(RLIMIT_CORE, 0) || !setLimit(RLIMIT_FSIZE, 0))
        return false;
    if (prepare)
        prepare();
    std::vector<int> kept{STDIN_FILENO, STDOUT_FILENO};
    kept.insert(kept.end(), keep.begin(), keep.end());
    if (!closeAllBut(kept))
        return false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return loadFilter();
}

bool parseArguments(int argc, char** argv, Arguments& out) {
    int at = 1;
    if (at < argc && std::strcmp(argv[at], kProbeOption) == 0)
        out.probe = true, ++at;
    if (at + 2 < argc && std::strcmp(argv[at], kLimitsOption) == 0) {
        long mib = 0;
        long seconds = 0;
        if (!parseNumber(argv[at + 1], 1L << 20, mib) || !parseNumber(argv[at + 2], 1L << 20, seconds))
            return false;
        out.limits = {std::uint64_t(mib) << 20, unsigned(seconds)};
        at += 3;
    }
    long fd = 0;
    if (at + 1 != argc || !parseNumber(argv[at], INT_MAX, fd))
        return false;
    out.fd = int(fd);
    return true;
}

void probe(int fd) {
    std::string line = "probe";
    const auto report = [&](const char* what, bool failed) {
        line += std::string(" ") + what + "=" + errorName(failed, errno);
    };
    errno = 0;
    const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    report("socket", socketFd < 0);
    const int fileFd = ::open("/etc/passwd", O_RDONLY);
    report("open", fileFd < 0);
    char* const arguments[] = {const_cast<char*>("/bin/true"), nullptr};
    report("execve", ::execve("/bin/true", arguments, arguments + 1) != 0);
    report("ptrace", ::ptrace(PTRACE_ATTACH, ::getppid(), nullptr, nullptr) != 0);
    report("kill", ::kill(::getppid(), 0) != 0);
    int variables = 0;
    for (char** at = environ; at && *at; ++at)
        ++variables;
    line += " environment=" + std::to_string(variables);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    line += " fds=";
    const rlim_t last = std::min<rlim_t>(files.rlim_cur, 1 << 20);
    bool first = true;
    for (rlim_t candidate = 0; candidate < last; ++candidate) {
        if (::fcntl(int(candidate), F_GETFD) < 0)
            continue;
        line += (first ? "" : ",") + (candidate == rlim_t(fd) ? std::string("input") : std::to_string(candidate));
        first = false;
    }
    rlimit memory{};
    rlimit cpu{};
    ::getrlimit(RLIMIT_AS, &memory);
    ::getrlimit(RLIMIT_CPU, &cpu);
    line += " as=" + std::to_string(memory.rlim_max) + " cpu=" + std::to_string(cpu.rlim_max) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0)
        return;
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
}

} // namespace larkhold::confinement
