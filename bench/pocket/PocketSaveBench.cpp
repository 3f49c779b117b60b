// Pocket Vault saves and memory against what they cannot avoid.
//
// Saves: the save of a Pocket Vault after one edit, against the least any save of that file must
// do: seal one area with libsodium, write the whole file to a temporary name, fdatasync it and
// rename it over the old one. The first save after an unlock, of a file no longer in the system's
// cache, is measured apart from the later ones, and so is the anchor's first write after reading
// its file afresh. Both run on the same
// disk, interleaved, median of several rounds.
//
// Memory: the resident size of a process that opens an empty 50 MB vault, against the same
// process before the unlock; the growth is given per byte of the open area's capacity.
//
// Environment: LARKHOLD_BENCH_DIR (where to work; default $TMPDIR or /var/tmp).
#include "AtomicFile.h"
#include "Crypto.h"
#include "PocketFormat.h"
#include "PocketStorage.h"

#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sodium.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace larkhold;

namespace {

constexpr int kFullTierMB = 50;
constexpr int kRounds = 9;
constexpr int kFirstSaveRounds = 5;
constexpr int kLaterSavesPerOpen = 3;
constexpr const char* kPassword = "benchmark password";
constexpr const char* kRssChild = "--rss-child";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_pocket: %s\n", what.c_str());
    std::exit(1);
}

double seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double residentMB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    fail("no VmRSS in /proc/self/status");
}

PocketItem item(PocketItem::Kind kind, const QString& name, std::size_t bytes) {
    PocketItem i;
    i.id = QUuid::createUuid();
    i.name = name;
    i.kind = kind;
    i.created = i.modified = Date{1000.0};
    i.data.resize(bytes);
    crypto::randomFill(i.data);
    return i;
}

// About four fifths full: photos and a PDF, and the note that every round edits.
PocketItems itemsFilling(int tierMB) {
    const std::size_t capacity = static_cast<std::size_t>(PocketFormat::capacityOfTier(tierMB));
    PocketItems items;
    items.push_back(item(PocketItem::Kind::note, "Note", 2000));
    const std::size_t photo = capacity / 10;
    for (int i = 0; i < 7; ++i)
        items.push_back(item(PocketItem::Kind::image, QString("Photo %1.jpg").arg(i), photo));
    items.push_back(item(PocketItem::Kind::pdf, "Scan.pdf", capacity / 16));
    return items;
}

void edit(PocketItems& items, int round) {
    items[0].data[std::size_t(round) % items[0].data.size()] ^= 1;
}

// The anchor: what a save cannot avoid for a file of these bytes.
void sealWriteRename(const std::string& path, std::vector<std::uint8_t>& file, ByteView key, ByteView plaintext) {
    const std::span<std::uint8_t> box = std::span(file).subspan(PocketFormat::kSlotsSize, plaintext.size() + 28);
    randombytes_buf(box.data(), crypto_aead_aes256gcm_NPUBBYTES);
    unsigned long long tagBytes = 0;
    crypto_aead_aes256gcm_encrypt_detached(
        box.data() + crypto_aead_aes256gcm_NPUBBYTES, box.data() + crypto_aead_aes256gcm_NPUBBYTES + plaintext.size(),
        &tagBytes, plaintext.data(), plaintext.size(), nullptr, 0, nullptr, box.data(), key.data());
    const std::string temp = path + ".anchor-tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create " + temp);
    for (std::size_t done = 0; done < file.size();) {
        const ssize_t n = ::write(fd, file.data() + done, file.size() - done);
        if (n <= 0)
            fail("write failed");
        done += std::size_t(n);
    }
    if (::fdatasync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0)
        fail("fdatasync or rename failed");
}

struct Anchor {
    std::string path;
    std::vector<std::uint8_t> file;
    std::vector<std::uint8_t> plaintext;
    std::vector<std::uint8_t> key = std::vector<std::uint8_t>(crypto_aead_aes256gcm_KEYBYTES);

    Anchor(const std::string& folder, int tierMB) : path(folder + "/anchor.bin") {
        const std::int64_t capacity = PocketFormat::capacityOfTier(tierMB);
        file.resize(static_cast<std::size_t>(PocketFormat::fileSizeForCapacity(capacity)));
        randombytes_buf(file.data(), file.size());
        plaintext.resize(static_cast<std::size_t>(capacity));
        randombytes_buf(plaintext.data(), plaintext.size());
        crypto_aead_aes256gcm_keygen(key.data());
        save();
    }
    // What an unlock leaves it with: the file read afresh into memory of its own.
    void reopen() {
        file.clear();
        file.shrink_to_fit();
        file = readWholeFile(QString::fromStdString(path));
    }
    double save() {
        return seconds([&] { sealWriteRename(path, file, key, plaintext); });
    }
};

// An unlock comes long after the file was last written: its pages are no longer in the system's cache.
void dropFromCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fdatasync(fd) != 0 || ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
        fail("cannot drop " + path + " from the cache");
    ::close(fd);
}

double timedSave(PocketStorage& storage, const PocketItems& items, std::int64_t generation) {
    return seconds([&] {
        try {
            storage.save(items, generation);
        } catch (const std::exception& e) {
            fail(std::string("save failed: ") + e.what());
        }
    });
}

std::shared_ptr<PocketStorage> openVault(const QString& path) {
    try {
        return PocketStorage::open(path, kPassword, false).storage;
    } catch (const std::exception& e) {
        fail(std::string("cannot open the vault: ") + e.what());
    }
}

std::shared_ptr<PocketStorage> createVault(const QString& path, int tierMB) {
    try {
        return PocketStorage::create(path, tierMB, kPassword, false).storage;
    } catch (const std::exception& e) {
        fail(std::string("cannot create the vault: ") + e.what());
    }
}

// Saves right after an unlock and later ones, each against the anchor in the same state.
void benchFirstSave(const std::string& work, int tierMB) {
    const std::string folder = work + "/first-" + std::to_string(tierMB);
    std::filesystem::create_directory(folder);
    const QString vaultPath = QString::fromStdString(folder + "/Bench.pocketvault");
    PocketItems items = itemsFilling(tierMB);
    createVault(vaultPath, tierMB)->save(items, 0);
    Anchor anchor(folder, tierMB);

    std::vector<double> firsts, laters, anchorFirsts, anchorLaters;
    for (int round = 0; round < kFirstSaveRounds; ++round) {
        dropFromCache(vaultPath.toStdString());
        std::shared_ptr<PocketStorage> storage = openVault(vaultPath);
        dropFromCache(anchor.path);
        anchor.reopen();
        std::int64_t generation = 0;
        edit(items, round);
        firsts.push_back(timedSave(*storage, items, ++generation));
        anchorFirsts.push_back(anchor.save());
        for (int later = 0; later < kLaterSavesPerOpen; ++later) {
            edit(items, round + later);
            laters.push_back(timedSave(*storage, items, ++generation));
            anchorLaters.push_back(anchor.save());
        }
    }

    const double first = median(firsts), later = median(laters);
    const double anchorFirst = median(anchorFirsts), anchorLater = median(anchorLaters);
    std::printf("pocket saves of a %d MB vault, four fifths full, after an unlock (%d unlocks):\n", tierMB,
                kFirstSaveRounds);
    std::printf("  first save                        %7.1f ms   anchor %7.1f ms\n", first * 1e3, anchorFirst * 1e3);
    std::printf("  later saves                       %7.1f ms   anchor %7.1f ms\n", later * 1e3, anchorLater * 1e3);
    std::printf("ratio pocket-first-save-%dmb/seal-write-first: %.2f (%.0f ms / %.0f ms)\n", tierMB,
                first / anchorFirst, first * 1e3, anchorFirst * 1e3);
    std::printf("ratio pocket-later-save-%dmb/seal-write: %.2f (%.0f ms / %.0f ms)\n", tierMB, later / anchorLater,
                later * 1e3, anchorLater * 1e3);
}

// The 50 MB vault nearly full, many saves of one session.
void benchRepeatedSaves(const std::string& work) {
    PocketItems items;
    items.push_back(item(PocketItem::Kind::note, "Note", 2000));
    for (int i = 0; i < 8; ++i)
        items.push_back(item(PocketItem::Kind::image, QString("Photo %1.jpg").arg(i), 5'500'000));
    items.push_back(item(PocketItem::Kind::pdf, "Scan.pdf", 3'000'000));

    const std::string folder = work + "/full";
    std::filesystem::create_directory(folder);
    std::shared_ptr<PocketStorage> storage =
        createVault(QString::fromStdString(folder + "/Bench.pocketvault"), kFullTierMB);
    Anchor anchor(folder, kFullTierMB);

    std::vector<double> saves, anchors;
    std::int64_t generation = 0;
    for (int round = 0; round < kRounds + 1; ++round) {
        edit(items, round);
        const double s = timedSave(*storage, items, ++generation);
        const double a = anchor.save();
        if (round > 0) { // the first round warms up both
            saves.push_back(s);
            anchors.push_back(a);
        }
    }

    const double save = median(saves), anchorSave = median(anchors);
    std::printf("pocket save of a %d MB vault after one edit, median of %d:\n", kFullTierMB, kRounds);
    std::printf("  save                              %7.1f ms\n", save * 1e3);
    std::printf("  seal + write + fdatasync + rename %7.1f ms\n", anchorSave * 1e3);
    std::printf("ratio pocket-save/seal-write: %.2f (%.0f ms / %.0f ms)\n", save / anchorSave, save * 1e3,
                anchorSave * 1e3);
}

// In a process of its own, so that nothing the bench did before weighs on the figures: the
// resident size before the unlock, with the vault open, and after its first save.
int rssChild(const char* path) {
    const double idle = residentMB();
    std::shared_ptr<PocketStorage> storage = openVault(QString::fromUtf8(path));
    const double open = residentMB();
    timedSave(*storage, {}, 0);
    const double saved = residentMB();
    std::printf("%.1f %.1f %.1f\n", idle, open, saved);
    return 0;
}

void benchMemory(const std::string& work) {
    const std::string path = work + "/Empty.pocketvault";
    createVault(QString::fromStdString(path), kFullTierMB);

    int out[2];
    if (::pipe(out) != 0)
        fail("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(kRssChild), const_cast<char*>(path.c_str()),
                    nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ) != 0)
        fail("cannot start the memory probe");
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    double idle = 0, open = 0, saved = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(report.c_str(), "%lf %lf %lf", &idle, &open, &saved) != 3)
        fail("the memory probe failed");

    const double capacityMB = double(PocketFormat::capacityOfTier(kFullTierMB)) / 1048576.0;
    const double worst = std::max(open, saved);
    std::printf("resident MB with an empty %d MB vault: before the unlock %.1f, open %.1f, after a save %.1f\n",
                kFullTierMB, idle, open, saved);
    std::printf("ratio pocket-rss-growth/open-area: %.2f (%.0f MB more than idle %.0f MB, area %.0f MB)\n",
                (worst - idle) / capacityMB, worst - idle, idle, capacityMB);
}

} // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0)
        fail("libsodium does not start");
    if (!crypto_aead_aes256gcm_is_available())
        fail("libsodium has no AES-256-GCM on this processor");
    if (argc == 3 && std::strcmp(argv[1], kRssChild) == 0)
        return rssChild(argv[2]);

    const char* dirEnv = std::getenv("LARKHOLD_BENCH_DIR");
    const char* tmpEnv = std::getenv("TMPDIR");
    const std::string base = dirEnv && *dirEnv ? dirEnv : (tmpEnv && *tmpEnv ? tmpEnv : "/var/tmp");
    std::string work = base + "/larkhold-pocket-XXXXXX";
    if (!::mkdtemp(work.data()))
        fail("cannot create a folder in " + base);

    benchMemory(work);
    benchFirstSave(work, 1);
    benchFirstSave(work, 25);
    benchRepeatedSaves(work);

    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return 0;
}
