// Sequential write and read of 1 GiB through a mounted standard vault, through gocryptfs, through
// the kernel's ext4 on a loop device over a plain file (the limit a vault, which is such a file
// system over its decrypted disk, can reach) and on the bare disk, in one run. Writes end with
// fdatasync; before each read the volume is mounted afresh and the caches are dropped (all of them
// as root, else the pages of the files beneath), the same way for every contender, so every read
// comes from the disk and through the whole decryption path. Each figure is the median of five
// rounds, the contenders taking turns in each round, each round starting with the next one. Then
// random 4 KiB reads and writes with O_DIRECT at queue depth 16 (fio) in the vault and on the loop
// device's ext4, and reads through the page cache, on a file laid out and then dropped from the
// caches, median of three rounds. Last, unlocking and locking the vault (hdiutil attach and detach)
// against mounting and unmounting gocryptfs, median of five rounds, with the password hash alone
// beside them (the image's own parameters), the step an unlock cannot leave out.
//
// The loop device under the ext4 anchor is set up as the vault's own: direct I/O, 4 KiB sectors,
// requests of at most 1 MiB and a read-ahead of 32 MiB, all set explicitly (a loop device keeps
// the queue settings of its last user), with the file system made with the vault's options. Both
// devices' settings are printed as read back from the kernel.
//
// Environment: LARKHOLD_TOOLS_DIR (the stand-in tools; default: this build's), LARKHOLD_BENCH_DIR
// (where to work; default $TMPDIR or /var/tmp). Needs /dev/fuse, loop devices (root) or udisks,
// gocryptfs and fio; the ext4 anchor needs root and is left out without it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "Argon2id.h"
#include "Bundle.h"

extern char** environ;

namespace {

constexpr std::size_t kTotal = 1u << 30;
constexpr std::size_t kChunk = 1u << 20;
constexpr int kRounds = 5;
constexpr int kRandomRounds = 3;
const std::string kPassword = "benchmark password";

// What a run has mounted and made, undone in reverse order when it gives up half-way, so that a
// failed benchmark leaves no volume mounted and no 256 MiB files behind.
std::vector<std::function<void()>> undo;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_vaultio: %s\n", what.c_str());
    auto steps = std::move(undo);
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        (*it)();
    }
    std::exit(1);
}

// Runs a program with `input` on its standard input; its output is dropped, or kept in `out`.
int run(const std::vector<std::string>& argv, const std::string& input = {}, std::string* out = nullptr) {
    int in[2], res[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(res, O_CLOEXEC) != 0) {
        die("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    // Daemons (gocryptfs) keep their inherited output open, so only a caller that wants the output
    // gets a pipe; reading one to its end would wait for the daemon.
    if (out) {
        posix_spawn_file_actions_adddup2(&actions, res[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, res[0]);
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        die("cannot run " + argv[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(res[1]);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
        die("cannot write to " + argv[0]);
    }
    ::close(in[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(res[0], buf, sizeof buf)) > 0;) {
        text.append(buf, std::size_t(n));
    }
    ::close(res[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (out) {
        *out = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void must(int status, const std::string& what) {
    if (status != 0) {
        die(what + " failed");
    }
}

double seconds(const std::function<void()>& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        die("cannot create " + path);
    }
    for (std::size_t done = 0; done < data.size(); done += kChunk) {
        if (::write(fd, data.data() + done, kChunk) != ssize_t(kChunk)) {
            die("write to " + path + " failed");
        }
    }
    if (::fdatasync(fd) != 0 || ::close(fd) != 0) {
        die("fdatasync of " + path + " failed");
    }
}

void readFile(const std::string& path, std::vector<std::uint8_t>& buffer) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        die("cannot open " + path);
    }
    std::size_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), std::min(buffer.size(), kChunk))) > 0;) {
        total += std::size_t(n);
    }
    ::close(fd);
    if (total != kTotal) {
        die("short read from " + path);
    }
}

// Drops the page cache: all of it when allowed, else the pages of every file below `root` (all
// clean after the sync).
void evict(const std::string& root) {
    if (int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC); fd >= 0) {
        bool dropped = ::write(fd, "3", 1) == 1;
        ::close(fd);
        if (dropped) {
            return;
        }
    }
    std::error_code ec;
    auto drop = [](const std::string& file) {
        int fd = ::open(file.c_str(), O_RDONLY);
        if (fd >= 0) {
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    };
    if (std::filesystem::is_regular_file(root, ec)) {
        drop(root);
        return;
    }
    for (auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (entry.is_regular_file(ec)) {
            drop(entry.path().string());
        }
    }
}

struct Result {
    double writeMBs = 0, readMBs = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One contender: `file` is where the test file lives, `remount` makes the next read cold, `beneath`
// is what to evict when the whole cache cannot be dropped.
struct Contender {
    std::string name;
    std::function<std::string()> file;
    std::function<void()> remount;
    std::string beneath;
    std::vector<double> writes, reads;
    Result result() const { return {median(writes), median(reads)}; }
};

// Every round lets each contender write and then read cold, in turn, so that a noisy neighbour
// slows all of them alike.
void measure(const std::vector<std::uint8_t>& data, std::vector<Contender*> contenders) {
    std::vector<std::uint8_t> buffer(kChunk * 4);
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t turn = 0; turn < contenders.size(); ++turn) {
            Contender* c = contenders[(turn + std::size_t(round)) % contenders.size()];
            std::string path = c->file();
            ::unlink(path.c_str());
            ::sync();
            c->writes.push_back(kTotal / 1048576.0 / seconds([&] { writeFile(path, data); }));
            c->remount();
            ::sync();
            evict(c->beneath);
            path = c->file();
            c->reads.push_back(kTotal / 1048576.0 / seconds([&] { readFile(path, buffer); }));
            ::unlink(path.c_str());
            std::printf("round %d %-10s write %8.1f MB/s   read %8.1f MB/s\n", round + 1, c->name.c_str(),
                        c->writes.back(), c->reads.back());
            std::fflush(stdout);
        }
    }
}

// Random 4 KiB requests at queue depth 16, with O_DIRECT or through the page cache, as fio reports
// them: IOPS. The file is laid out first and dropped from the caches with everything beneath it, so
// that neither contender starts with it in memory.
double randomIops(const std::string& folder, const std::string& beneath, const char* mode, bool direct = true) {
    const std::string file = folder + "/fio.bin";
    const std::vector<std::string> job{"fio",         "--name=random", "--filename=" + file,
                                       "--size=256m", "--bs=4k",       std::string("--rw=") + mode};
    auto layOut = job;
    layOut.push_back("--create_only=1");
    if (run(layOut) != 0) {
        ::unlink(file.c_str());
        die(std::string("fio could not lay out its file in ") + folder);
    }
    ::sync();
    evict(beneath);
    auto timed = job;
    timed.push_back(direct ? "--direct=1" : "--direct=0");
    for (const char* option : {"--iodepth=16", "--ioengine=libaio", "--runtime=8", "--time_based",
                               "--ramp_time=1", "--group_reporting", "--output-format=terse", "--terse-version=3"}) {
        timed.push_back(option);
    }
    std::string out;
    const int status = run(timed, {}, &out);
    ::unlink(file.c_str());
    if (status != 0) {
        die(std::string("fio ") + mode + " in " + folder + " failed");
    }
    // Terse version 3: field 8 is the read IOPS, field 49 the write IOPS (1-based).
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find(';', start)) != std::string::npos; start = end + 1) {
        fields.push_back(out.substr(start, end - start));
    }
    const std::size_t at = std::string(mode) == "randread" ? 7 : 48;
    if (fields.size() <= at) {
        die("fio gave no figures");
    }
    return std::strtod(fields[at].c_str(), nullptr);
}

std::string readText(const std::string& path) {
    std::string text;
    if (int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        char buf[256];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
            text.append(buf, std::size_t(n));
        }
        ::close(fd);
    }
    text.erase(text.find_last_not_of("\n") + 1);
    return text;
}

// The settings of the block device a folder's file system is mounted from, as the kernel has them.
std::string deviceSettings(const std::string& folder) {
    struct stat st {};
    std::error_code ec;
    if (::stat(folder.c_str(), &st) != 0) {
        return "?";
    }
    const std::string dev =
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    const std::string name = std::filesystem::canonical(dev, ec).filename().string();
    return name + ": direct I/O " + readText(dev + "/loop/dio") + ", sector " + readText(dev + "/queue/logical_block_size") +
           " B, requests <= " + readText(dev + "/queue/max_sectors_kb") + " KiB, read-ahead " +
           readText(dev + "/queue/read_ahead_kb") + " KiB";
}

std::string loadAverage() {
    const std::string text = readText("/proc/loadavg");
    std::size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) {
        end = text.find(' ', end + (field ? 1 : 0));
    }
    return text.substr(0, end);
}

std::string queuePath(const std::string& device, const char* name) {
    return "/sys/block/" + device.substr(device.rfind('/') + 1) + "/queue/" + name;
}

// Sets one of a block device's queue settings, as the disk service does for its own loop device;
// returns the value it had.
std::string setQueue(const std::string& device, const char* name, const char* value) {
    const std::string path = queuePath(device, name);
    std::string before = readText(path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool set = fd >= 0 && ::write(fd, value, std::strlen(value)) == ssize_t(std::strlen(value));
    if (fd >= 0) {
        ::close(fd);
    }
    if (!set) {
        die(std::string("cannot set ") + path);
    }
    return before;
}

// Lets a loop device go with the queue settings it had, which it would otherwise keep for its next user.
void releaseLoopDevice(const std::string& device, const std::vector<std::pair<const char*, std::string>>& before) {
    run({"losetup", "-d", device});
    for (const auto& [name, value] : before) {
        if (int fd = ::open(queuePath(device, name).c_str(), O_WRONLY | O_CLOEXEC); fd >= 0) {
            (void)!::write(fd, value.data(), value.size());
            ::close(fd);
        }
    }
}

std::string mountPointIn(const std::string& plist) {
    auto key = plist.find("<key>mount-point</key>");
    auto open = plist.find("<string>", key);
    auto close = plist.find("</string>", open);
    if (key == std::string::npos || open == std::string::npos || close == std::string::npos) {
        die("attach reported no mount point");
    }
    return plist.substr(open + 8, close - open - 8);
}

} // namespace

int main() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        die("/dev/fuse is not available");
    }
    const char* toolsEnv = std::getenv("LARKHOLD_TOOLS_DIR");
    const std::string tools = toolsEnv && *toolsEnv ? toolsEnv : LARKHOLD_BENCH_TOOLS_DIR;
    const char* dirEnv = std::getenv("LARKHOLD_BENCH_DIR");
    const char* tmpEnv = std::getenv("TMPDIR");
    std::string base = dirEnv && *dirEnv ? dirEnv : (tmpEnv && *tmpEnv ? tmpEnv : "/var/tmp");
    std::string work = base + "/larkhold-vaultio-XXXXXX";
    if (!::mkdtemp(work.data())) {
        die("cannot create a folder in " + base);
    }
    ::setenv("LARKHOLD_MOUNT_ROOT", (work + "/volumes").c_str(), 1);
    undo.push_back([work] {
        std::error_code ec;
        std::filesystem::remove_all(work, ec);
    });

    std::vector<std::uint8_t> data(kTotal);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < kTotal; i += 8) { // incompressible, and no all-zero sector
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&data[i], &x, 8);
    }

    const bool root = ::geteuid() == 0;
    const std::string bareFile = work + "/bare.bin";
    Contender bare{"bare", [&] { return bareFile; }, [] {}, bareFile, {}, {}};

    // gocryptfs with its defaults.
    const std::string cipher = work + "/gocryptfs-cipher", plain = work + "/gocryptfs-plain";
    std::filesystem::create_directories(cipher);
    std::filesystem::create_directories(plain);
    must(run({"gocryptfs", "-init", "-q", cipher}, kPassword + "\n"), "gocryptfs -init");
    must(run({"gocryptfs", "-q", cipher, plain}, kPassword + "\n"), "gocryptfs mount");
    undo.push_back([plain] { run({"fusermount3", "-u", "-z", plain}); });
    Contender goc{"gocryptfs",
                  [&] { return plain + "/test.bin"; },
                  [&] {
                      must(run({"fusermount3", "-u", plain}), "gocryptfs unmount");
                      must(run({"gocryptfs", "-q", cipher, plain}, kPassword + "\n"), "gocryptfs mount");
                  },
                  cipher,
                  {},
                  {}};

    // The kernel's ext4 on a loop device over a plain file of the vault's size.
    const std::string loopImage = work + "/ext4.img", loopMount = work + "/ext4";
    std::string loopDevice;
    std::vector<std::pair<const char*, std::string>> loopBefore;
    if (root) {
        std::filesystem::create_directories(loopMount);
        must(run({"truncate", "-s", "2G", loopImage}), "truncate");
        must(run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-i", "16384", "-m", "0", "-O", "metadata_csum", "-E",
                  "lazy_itable_init=1,lazy_journal_init=1,nodiscard", loopImage}),
             "mkfs.ext4");
        must(
            run({"losetup", "--find", "--show", "--direct-io=on", "--sector-size", "4096", loopImage}, {}, &loopDevice),
            "losetup");
        loopDevice.erase(loopDevice.find_last_not_of("\n") + 1);
        undo.push_back([&loopDevice, &loopBefore] { releaseLoopDevice(loopDevice, loopBefore); });
        loopBefore.emplace_back("max_sectors_kb", setQueue(loopDevice, "max_sectors_kb", "1024"));
        loopBefore.emplace_back("read_ahead_kb", setQueue(loopDevice, "read_ahead_kb", "32768"));
        must(run({"mount", "-o", "nosuid,nodev,errors=remount-ro", loopDevice, loopMount}), "mount");
        undo.push_back([loopMount] { run({"umount", "-l", loopMount}); });
    }
    Contender ext4{"ext4-loop",
                   [&] { return loopMount + "/test.bin"; },
                   [&] {
                       must(run({"umount", loopMount}), "umount");
                       must(run({"mount", "-o", "nosuid,nodev,errors=remount-ro", loopDevice, loopMount}), "mount");
                   },
                   loopImage,
                   {},
                   {}};

    // A standard vault through the stand-in tools.
    const std::string image = work + "/Bench.sparsebundle";
    const std::string hdiutil = tools + "/hdiutil";
    must(run({hdiutil, "create", "-encryption", "AES-256", "-stdinpass", "-type", "SPARSEBUNDLE", "-fs", "APFS",
              "-size", "2g", "-volname", "Bench", image},
             kPassword),
         "hdiutil create");
    std::string plist;
    must(run({hdiutil, "attach", "-plist", "-stdinpass", image}, kPassword, &plist), "hdiutil attach");
    std::string mountPoint = mountPointIn(plist);
    undo.push_back([&hdiutil, &mountPoint] { run({hdiutil, "detach", mountPoint, "-force"}); });
    Contender vault{
        "vault",
        [&] { return mountPoint + "/test.bin"; },
        [&] {
            must(run({hdiutil, "detach", mountPoint}), "hdiutil detach");
            must(run({hdiutil, "attach", "-plist", "-stdinpass", image}, kPassword, &plist), "hdiutil attach");
            mountPoint = mountPointIn(plist);
        },
        image + "/bands",
        {},
        {}};

    std::vector<Contender*> all{&bare, &goc, &vault};
    if (root) {
        all.insert(all.begin() + 1, &ext4);
    }
    const std::string loadBefore = loadAverage();
    std::printf("vault io: load average %s at the start\n", loadBefore.c_str());
    std::printf("vault loop device: %s\n", deviceSettings(mountPoint).c_str());
    if (root) {
        std::printf("ext4-loop device:  %s\n", deviceSettings(loopMount).c_str());
    }
    measure(data, all);
    ::unlink(bareFile.c_str());
    run({"fusermount3", "-u", plain});

    // Random I/O, alternating between the two that share a design, each round starting with the other.
    std::vector<double> vaultRandRead, vaultRandWrite, ext4RandRead, ext4RandWrite, vaultBuffered, ext4Buffered;
    for (int round = 0; round < (root ? kRandomRounds : 1); ++round) {
        auto vaultTurn = [&] {
            vaultRandRead.push_back(randomIops(mountPoint, image + "/bands", "randread"));
            vaultRandWrite.push_back(randomIops(mountPoint, image + "/bands", "randwrite"));
            vaultBuffered.push_back(randomIops(mountPoint, image + "/bands", "randread", false));
        };
        auto ext4Turn = [&] {
            ext4RandRead.push_back(randomIops(loopMount, loopImage, "randread"));
            ext4RandWrite.push_back(randomIops(loopMount, loopImage, "randwrite"));
            ext4Buffered.push_back(randomIops(loopMount, loopImage, "randread", false));
        };
        if (round % 2 == 0 || !root) {
            vaultTurn();
        }
        if (root) {
            ext4Turn();
            if (round % 2 != 0) {
                vaultTurn();
            }
        }
    }
    must(run({hdiutil, "detach", mountPoint}), "hdiutil detach");

    // Unlock and lock, the two taking turns, each round starting with the other.
    std::vector<double> unlocks, locks, mounts, unmounts, hashes;
    for (int round = 0; round < kRounds; ++round) {
        auto vaultTurn = [&] {
            unlocks.push_back(seconds([&] {
                must(run({hdiutil, "attach", "-plist", "-stdinpass", image}, kPassword, &plist), "hdiutil attach");
            }));
            mountPoint = mountPointIn(plist);
            locks.push_back(seconds([&] { must(run({hdiutil, "detach", mountPoint}), "hdiutil detach"); }));
        };
        auto gocryptfsTurn = [&] {
            mounts.push_back(seconds(
                [&] { must(run({"gocryptfs", "-q", cipher, plain}, kPassword + "\n"), "gocryptfs mount"); }));
            unmounts.push_back(seconds([&] { must(run({"fusermount3", "-u", plain}), "gocryptfs unmount"); }));
        };
        if (round % 2 == 0) {
            vaultTurn();
            gocryptfsTurn();
        } else {
            gocryptfsTurn();
            vaultTurn();
        }
        hashes.push_back(seconds([] {
            const std::vector<std::uint8_t> salt(32, 7);
            using larkhold::diskimage::kDefaultKdf;
            (void)larkhold::Argon2id::hash(
                larkhold::ByteView(reinterpret_cast<const std::uint8_t*>(kPassword.data()), kPassword.size()),
                larkhold::ByteView(salt.data(), salt.size()), {}, {}, kDefaultKdf.iterations, kDefaultKdf.memoryKiB,
                kDefaultKdf.lanes, 32);
        }));
    }
    if (root) {
        run({"umount", loopMount});
        releaseLoopDevice(loopDevice, loopBefore);
    }
    undo.clear();
    std::filesystem::remove_all(work);

    std::printf("vault io: %zu MiB sequential in %zu KiB requests, fdatasync after writing, cold reads; "
                "median of %d rounds; load average %s at the start, %s at the end\n",
                kTotal >> 20, kChunk >> 10, kRounds, loadBefore.c_str(), loadAverage().c_str());
    for (const Contender* c : all) {
        const Result r = c->result();
        std::printf("%-10s write %8.1f MB/s   read %8.1f MB/s\n", c->name.c_str(), r.writeMBs, r.readMBs);
    }
    const Result v = vault.result(), g = goc.result();
    std::printf("random 4 KiB, queue depth 16, O_DIRECT, cold file, median of %zu:\n", vaultRandRead.size());

    std::printf("%-10s randread %8.0f IOPS   randwrite %8.0f IOPS   randread buffered %8.0f IOPS\n", "vault",
                median(vaultRandRead), median(vaultRandWrite), median(vaultBuffered));
    std::printf("ratio vault-write/gocryptfs: %.2f (%.0f / %.0f MB/s)\n", v.writeMBs / g.writeMBs, v.writeMBs,
                g.writeMBs);
    std::printf("ratio vault-read/gocryptfs: %.2f (%.0f / %.0f MB/s)\n", v.readMBs / g.readMBs, v.readMBs, g.readMBs);
    if (root) {
        const Result e = ext4.result();
        std::printf("%-10s randread %8.0f IOPS   randwrite %8.0f IOPS   randread buffered %8.0f IOPS\n",
                    "ext4-loop", median(ext4RandRead), median(ext4RandWrite), median(ext4Buffered));
        std::printf("ratio vault-write/ext4-loop: %.2f (%.0f / %.0f MB/s)\n", v.writeMBs / e.writeMBs, v.writeMBs,
                    e.writeMBs);
        std::printf("ratio vault-read/ext4-loop: %.2f (%.0f / %.0f MB/s)\n", v.readMBs / e.readMBs, v.readMBs,
                    e.readMBs);
        std::printf("ratio vault-randread/ext4-loop: %.2f (%.0f / %.0f IOPS)\n",
                    median(vaultRandRead) / median(ext4RandRead), median(vaultRandRead), median(ext4RandRead));
        std::printf("ratio vault-randwrite/ext4-loop: %.2f (%.0f / %.0f IOPS)\n",
                    median(vaultRandWrite) / median(ext4RandWrite), median(vaultRandWrite), median(ext4RandWrite));
        std::printf("ratio randread-buffered/ext4-loop: %.2f (%.0f / %.0f IOPS)\n",
                    median(vaultBuffered) / median(ext4Buffered), median(vaultBuffered), median(ext4Buffered));
    }
    std::printf("unlock and lock, median of %d: password hash alone %.3f s\n", kRounds, median(hashes));
    std::printf("ratio unlock/gocryptfs-mount: %.2f (%.3f / %.3f s)\n", median(unlocks) / median(mounts),
                median(unlocks), median(mounts));
    std::printf("ratio lock/gocryptfs-unmount: %.2f (%.3f / %.3f s)\n", median(locks) / median(unmounts),
                median(locks), median(unmounts));
    return 0;
}
