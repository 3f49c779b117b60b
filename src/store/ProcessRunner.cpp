#include "ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace larkhold {

ProcessLaunchError::ProcessLaunchError(const QString& message) : std::runtime_error(message.toStdString()) {}

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

ProcessLaunchError launchError(const QString& program, int error) {
    return ProcessLaunchError(
        QStringLiteral("Could not start “%1”: %2").arg(program, QString::fromLocal8Bit(std::strerror(error))));
}

void makePipe(Pipe& p, const QString& program) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw launchError(program, errno);
    p.read.reset(fds[0]);
    p.write.reset(fds[1]);
}

// A child that exits without reading its input makes our write fail with EPIPE and raise SIGPIPE,
// whose default action would end the whole application. SIGPIPE is blocked for this thread while
// the input is written; one raised by our own write is then taken off the pending set again, so
// it never reaches the process once the mask is restored.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    ~SigpipeGuard() {
        if (raised_ && !alreadyPending_) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    void noteBrokenPipe() { raised_ = true; }

private:
    sigset_t pipeSet_;
    sigset_t oldMask_;
    bool alreadyPending_ = false;
    bool raised_ = false;
};

// Waits for the child on every way out of the runner, so that none is left behind as a zombie.
// Made before the pipes, so that on an early way out they are closed (and a child blocked on one
// of them ends) before it is waited for.
class Child {
public:
    Child() = default;
    void adopt(pid_t pid) { pid_ = pid; }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0)
            (void)wait();
    }
    // The raw wait status; nullopt when the child could not be waited for.
    std::optional<int> wait() {
        int waitStatus = 0;
        const pid_t pid = std::exchange(pid_, -1);
        while (::waitpid(pid, &waitStatus, 0) < 0)
            if (errno != EINTR)
                return std::nullopt;
        return waitStatus;
    }

private:
    pid_t pid_ = -1;
};

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

} // namespace

ProcessResult runProcess(const QString& program, const QStringList& arguments, std::optional<ByteView> standardInput) {
    if (program.isEmpty() || !QDir::isAbsolutePath(program))
        throw ProcessLaunchError(QStringLiteral("Could not start “%1”: not an absolute path").arg(program));

    const QByteArray path = QFile::encodeName(program);
    std::vector<QByteArray> argBytes;
    argBytes.reserve(static_cast<std::size_t>(arguments.size()) + 1);
    argBytes.push_back(path);
    for (const QString& a : arguments)
        argBytes.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Child child;
    Pipe in, out, err;
    makePipe(in, program);
    makePipe(out, program);
    makePipe(err, program);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto 0, 1, 2 clears close-on-exec there; everything else above 2 is closed so that no
    // other descriptor of the application (vault files, sockets) leaks into the tool.
    posix_spawn_file_actions_adddup2(&actions, in.read.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The child starts with default signal handling and an empty mask, whatever this thread uses:
    // an ignored SIGCHLD or SIGPIPE would otherwise survive the exec and change how the tool runs.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int spawnError = posix_spawn(&pid, path.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0)
        throw launchError(program, spawnError);
    child.adopt(pid);

    in.read.reset();
    out.write.reset();
    err.write.reset();

    ProcessResult result;
    const std::uint8_t* pending = nullptr;
    std::size_t remaining = 0;
    if (standardInput && !standardInput->empty()) {
        pending = standardInput->data();
        remaining = standardInput->size();
        // Non-blocking, so that a child busy writing output before it reads its input cannot
        // hold us in write() while its output pipes fill up.
        ::fcntl(in.write.get(), F_SETFL, ::fcntl(in.write.get(), F_GETFL) | O_NONBLOCK);
    } else {
        in.write.reset();
    }

    {
        SigpipeGuard guard;
        char buffer[16384];
        while (in.write.get() >= 0 || out.read.get() >= 0 || err.read.get() >= 0) {
            pollfd fds[3];
            nfds_t count = 0;
            auto add = [&](const Fd& fd, short events) {
                if (fd.get() >= 0)
                    fds[count++] = pollfd{fd.get(), events, 0};
            };
            add(in.write, POLLOUT);
            add(out.read, POLLIN);
            add(err.read, POLLIN);
            if (::poll(fds, count, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            for (nfds_t i = 0; i < count; ++i) {
                if (fds[i].revents == 0)
                    continue;
                if (fds[i].fd == in.write.get()) {
                    const ssize_t n = ::write(in.write.get(), pending, remaining);
                    if (n > 0) {
                        pending += n;
                        remaining -= static_cast<std::size_t>(n);
                        if (remaining == 0)
                            in.write.reset();
                    } else if (n < 0 && errno == EPIPE) {
                        // The child is gone or closed its input; what it did is in its status.
                        guard.noteBrokenPipe();
                        in.write.reset();
                    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                        in.write.reset();
                    }
                    continue;
                }
                Fd& source = fds[i].fd == out.read.get() ? out.read : err.read;
                QByteArray& sink = fds[i].fd == out.read.get() ? result.standardOutput : result.standardError;
                const ssize_t n = ::read(source.get(), buffer, sizeof buffer);
                if (n > 0)
                    sink.append(buffer, n);
                else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                    source.reset();
            }
        }
        in.write.reset();
        out.read.reset();
        err.read.reset();
    }

    const std::optional<int> waitStatus = child.wait();
    result.status = waitStatus ? statusOf(*waitStatus) : -1;
    return result;
}

} // namespace larkhold
