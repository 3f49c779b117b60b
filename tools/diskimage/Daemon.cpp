#include "Daemon.h"

#include "DiskServer.h"
#include "Util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace larkhold::diskimage {

namespace {

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void closeInheritedFiles(std::initializer_list<int> keep) {
    std::vector<int> open;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            int fd = std::atoi(e->d_name);
            if (fd > 2 && fd != ::dirfd(d) && std::find(keep.begin(), keep.end(), fd) == keep.end()) {
                open.push_back(fd);
            }
        }
        ::closedir(d);
    }
    for (int fd : open) {
        ::close(fd);
    }
}

int waitChild(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Everything the service process does after it has detached from the attach command.
class Service {
public:
    Service(const Bundle& bundle, MasterKey key, AttachedImage image)
        : bundle_(bundle), key_(std::move(key)), image_(std::move(image)),
          store_(bundle_.bandsPath(), bundle_.sizeBytes(), key_),
          server_(
              store_, [this](const std::string& name) { return rename(name); }, [this] { return check(); }) {
        pendingName_ = image_.volumeName;
    }

    // Returns the process's exit status.
    int run(int statusFd) {
        int signals = blockSignals();
        int fsPid = -1;
        try {
            makeDirectories(image_.diskFolder, 0700);
            server_.start(image_.diskFolder);
            // A service that was killed leaves a file system that was not cleanly unmounted, and
            // fuse2fs refuses one marked with errors. Preening settles the usual cases; what it
            // will not touch unattended is repaired the way a boot-time check would, since an
            // image that never mounts again helps nobody. A volume marked clean is left alone,
            // so damage that arrived without a crash stays for verifyVolume to report.
            ChildResult preen = runChild({"e2fsck", "-p", server_.diskPath()});
            if (preen.status >= 4) {
                preen = runChild({"e2fsck", "-y", server_.diskPath()});
            }
            try {
                fsPid = mountFileSystem(server_.diskPath(), image_.mountPoint);
            } catch (const ToolError& e) {
                if (preen.status < 4) {
                    throw;
                }
                throw ToolError(std::string(e.what()) + "\n" + preen.out);
            }
            {
                std::lock_guard lock(stateMutex_);
                fsPid_ = fsPid;
            }
            image_.daemonPid = ::getpid();
            image_.daemonStart = processStartTime(image_.daemonPid);
            runtime::save(image_);
        } catch (const std::exception& e) {
            writeAll(statusFd, std::string("error\n") + e.what());
            ::close(statusFd);
            if (fsPid > 0) {
                fuseUnmount(image_.mountPoint, true);
                ::kill(fsPid, SIGTERM);
                waitChild(fsPid);
            }
            shutdown(false);
            return 1;
        }
        writeAll(statusFd, "ok\n");
        ::close(statusFd);
        supervise(fsPid, signals);
        shutdown(true);
        return 0;
    }

private:
    static int blockSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        return ::signalfd(-1, &set, SFD_CLOEXEC);
    }

    // Waits for fuse2fs to end. SIGTERM is passed on so that a forced detach still lets fuse2fs
    // write out what it holds. A changed volume name remounts the file system under that name;
    // a check in progress unmounts it and mounts it again itself.
    void supervise(int fsPid, int signals) {
        bool stopping = false;
        for (;;) {
            int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, fsPid, 0));
            pollfd fds[2] = {{signals, POLLIN, 0}, {pidfd, POLLIN, 0}};
            // Without a pidfd (fuse2fs already reaped, or no descriptor left) the blocking wait
            // below does the waiting.
            while (pidfd >= 0) {
                int rc = ::poll(fds, 2, -1);
                if (rc < 0 && errno == EINTR) {
                    continue;
                }
                if (fds[0].revents & POLLIN) {
                    signalfd_siginfo info{};
                    (void)::read(signals, &info, sizeof info);
                    stopping = true;
                    ::kill(fsPid, SIGTERM);
                }
                if (fds[1].revents & POLLIN || rc < 0) {
                    break;
                }
            }
            if (pidfd >= 0) {
                ::close(pidfd);
            }
            waitChild(fsPid);
            {
                std::unique_lock lock(stateMutex_);
                if (checking_) {
                    fsExited_ = true;
                    stateChanged_.notify_all();
                    stateChanged_.wait(lock, [this] { return !checking_; });
                    fsPid = fsPid_;
                    if (fsPid <= 0) {
                        return;
                    }
                    if (stopping) {
                        ::kill(fsPid, SIGTERM);
                    }
                    continue;
                }
                fsPid_ = 0;
            }
            if (isMountPoint(image_.mountPoint)) { // fuse2fs died without unmounting
                fuseUnmount(image_.mountPoint, true);
            }
            std::string name;
            {
                std::lock_guard lock(nameMutex_);
                name = pendingName_;
            }
            if (stopping || name == image_.volumeName) {
                return;
            }
            std::string old = image_.mountPoint;
            try {
                runtime::MountLock mounts;
                ::rmdir(old.c_str());
                image_.mountPoint = runtime::createMountPoint(dirName(old), name);
                image_.volumeName = name;
                fsPid = mountFileSystem(server_.diskPath(), image_.mountPoint);
                std::lock_guard lock(stateMutex_);
                fsPid_ = fsPid;
                runtime::save(image_);
            } catch (const std::exception&) {
                return;
            }
        }
    }

    // A file system that fuse2fs has mounted is only consistent on disk once fuse2fs has written
    // out what it caches, which it does reliably only when unmounted. So the check unmounts it,
    // runs e2fsck read-only on the disk and mounts it again at the same place. Returns an empty
    // report when the volume is in use and cannot be unmounted now.
    std::string check() {
        // The folder stays empty while the check runs; nobody else may take it meanwhile.
        std::optional<runtime::MountLock> mounts;
        try {
            mounts.emplace();
        } catch (const std::exception&) {
            return {};
        }
        {
            std::lock_guard lock(stateMutex_);
            if (checking_ || fsPid_ <= 0) {
                return {};
            }
            checking_ = true;
            fsExited_ = false;
        }
        auto finish = [this](int newPid) {
            std::lock_guard lock(stateMutex_);
            fsPid_ = newPid;
            checking_ = false;
            fsExited_ = false;
            stateChanged_.notify_all();
        };
        if (fuseUnmount(image_.mountPoint, false)) {
            std::lock_guard lock(stateMutex_);
            if (fsExited_) {
                fsPid_ = 0; // unmounted by someone else (a detach) meanwhile: the service ends
            }
            checking_ = false;
            stateChanged_.notify_all();
            return {};
        }
        {
            std::unique_lock lock(stateMutex_);
            stateChanged_.wait(lock, [this] { return fsExited_; });
        }
        ChildResult result;
        try {
            result = runChild({"e2fsck", "-f", "-n", server_.diskPath()});
        } catch (const std::exception& e) {
            result.status = 8;
            result.out = e.what();
        }
        int newPid = -1;
        try {
            newPid = mountFileSystem(server_.diskPath(), image_.mountPoint);
        } catch (const std::exception& e) {
            result.out += std::string("\nThe volume could not be mounted again: ") + e.what() + "\n";
        }
        finish(newPid);
        return "status " + std::to_string(result.status) + "\n" + result.out;
    }

    int rename(const std::string& name) {
        if (!Bundle::validVolumeName(name)) {
            return -EINVAL;
        }
        try {
            bundle_.setVolumeName(key_, name);
        } catch (const std::exception&) {
            return -EIO;
        }
        std::lock_guard lock(nameMutex_);
        pendingName_ = name;
        return 0;
    }

    // The attach command holds the MountLock while the service starts; a service that fails to
    // start must not wait for it.
    void shutdown(bool takeMountLock) {
        {
            std::optional<runtime::MountLock> mounts;
            if (takeMountLock) {
                try {
                    mounts.emplace();
                } catch (const std::exception&) {
                }
            }
            ::rmdir(image_.mountPoint.c_str());
        }
        server_.stop();
        ::rmdir(image_.diskFolder.c_str());
        runtime::forget(image_.imagePath, ::getpid());
    }

    Bundle bundle_;
    MasterKey key_;
    AttachedImage image_;
    BandStore store_;
    DiskServer server_;
    std::mutex nameMutex_;
    std::string pendingName_;
    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    int fsPid_ = 0;
    bool checking_ = false;
    bool fsExited_ = false;
};

} // namespace

int mountFileSystem(const std::string& diskPath, const std::string& mountPoint) {
    // fuse2fs's complaints go to an unnamed file, read only when the mount fails.
    int log = ::open(dirName(diskPath).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (log < 0) {
        log = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
    // One request at a time: fuse2fs serialises its work anyway, and with several threads a file
    // deleted right after its last close can race with that close and be kept as a hidden
    // ".fuse_hidden…" file that nothing ever removes, taking its space with it.
    int pid = spawnChild({"fuse2fs", "-f", "-s", diskPath, mountPoint, "-o", "big_writes"}, log);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        if (isMountPoint(mountPoint)) {
            if (log >= 0) {
                ::close(log);
            }
            return pid;
        }
        int status = 0;
        bool ended = ::waitpid(pid, &status, WNOHANG) == pid;
        if (ended || std::chrono::steady_clock::now() > deadline) {
            if (!ended) {
                ::kill(pid, SIGTERM);
                waitChild(pid);
            }
            std::string words;
            if (log >= 0) {
                ::lseek(log, 0, SEEK_SET);
                readToEnd(log, words);
                ::close(log);
            }
            words = withoutTrailingSpace(std::move(words));
            throw ToolError("the file system could not be mounted" + (words.empty() ? "" : ": " + words));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

AttachedImage startDaemon(const Bundle& bundle, MasterKey key, const std::string& imagePath,
                          const std::string& volumeName, bool hidden, int lockFd) {
    AttachedImage image;
    image.imagePath = imagePath;
    image.diskFolder = runtime::diskFolderFor(imagePath);
    image.volumeName = volumeName;
    image.hidden = hidden;
    // Held until the service has mounted the volume in the folder or given up, so that no other
    // volume is given the same folder meanwhile.
    runtime::MountLock mounts;
    image.mountPoint = runtime::createMountPoint(runtime::mountRoot(hidden), volumeName);

    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) {
        throwErrno("pipe", errno);
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        int err = errno;
        ::rmdir(image.mountPoint.c_str());
        throwErrno("fork", err);
    }
    if (pid == 0) {
        ::close(status[0]);
        ::setsid();
        if (::chdir("/") != 0) {
            _exit(1);
        }
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (null > 2) {
            ::close(null);
        }
        // Whatever else the caller let this process inherit (the ends of its output pipes, say)
        // must not stay open for the service's lifetime, or the caller would wait for its end.
        closeInheritedFiles({lockFd, status[1]});
        int rc = 1;
        {
            Service service(bundle, std::move(key), image);
            rc = service.run(status[1]);
        }
        _exit(rc);
    }
    ::close(status[1]);
    std::string reply;
    readToEnd(status[0], reply);
    ::close(status[0]);
    if (reply.rfind("ok\n", 0) == 0) {
        if (auto saved = runtime::findByImage(imagePath)) {
            return *saved;
        }
        throw ToolError("the volume was mounted but its record is missing");
    }
    ::waitpid(pid, nullptr, WNOHANG);
    ::rmdir(image.mountPoint.c_str());
    if (reply.rfind("error\n", 0) == 0) {
        throw ToolError(reply.substr(6));
    }
    throw ToolError("the disk service ended unexpectedly");
}

} // namespace larkhold::diskimage
