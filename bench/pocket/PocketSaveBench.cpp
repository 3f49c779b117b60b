// The save of a 50 MB Pocket Vault after one edit, against the least any save of that file must
// do: seal one area, write the whole file to a temporary name, fdatasync it and rename it over the
// old one. Both run on the same disk, interleaved, median of several rounds.
//
// Environment: LARKHOLD_BENCH_DIR (where to work; default $TMPDIR or /var/tmp).
#include "Crypto.h"
#include "PocketFormat.h"
#include "PocketStorage.h"

#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace larkhold;

namespace {

constexpr int kTierMB = 50;
constexpr int kRounds = 9;

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

// The anchor: what a save cannot avoid for a file of these bytes.
void sealWriteRename(const std::string& path, std::vector<std::uint8_t>& file, ByteView key, ByteView plaintext) {
    const std::size_t boxSize = plaintext.size() + crypto::kGcmOverhead;
    crypto::aesGcmSeal(key, plaintext, asBytes("area"), std::span(file).subspan(PocketFormat::kSlotsSize, boxSize));
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

} // namespace

int main() {
    const char* dirEnv = std::getenv("LARKHOLD_BENCH_DIR");
    const char* tmpEnv = std::getenv("TMPDIR");
    const std::string base = dirEnv && *dirEnv ? dirEnv : (tmpEnv && *tmpEnv ? tmpEnv : "/var/tmp");
    std::string work = base + "/larkhold-pocket-XXXXXX";
    if (!::mkdtemp(work.data()))
        fail("cannot create a folder in " + base);

    // A nearly full vault: photos and PDFs, and the note that every round edits.
    PocketItems items;
    items.push_back(item(PocketItem::Kind::note, "Note", 2000));
    for (int i = 0; i < 8; ++i)
        items.push_back(item(PocketItem::Kind::image, QString("Photo %1.jpg").arg(i), 5'500'000));
    items.push_back(item(PocketItem::Kind::pdf, "Scan.pdf", 3'000'000));

    const QString vaultPath = QString::fromStdString(work + "/Bench.pocketvault");
    std::shared_ptr<PocketStorage> storage;
    try {
        storage = PocketStorage::create(vaultPath, kTierMB, "benchmark password", false).storage;
    } catch (const std::exception& e) {
        fail(std::string("cannot create the vault: ") + e.what());
    }

    const std::int64_t capacity = PocketFormat::capacityOfTier(kTierMB);
    std::vector<std::uint8_t> anchorFile(static_cast<std::size_t>(PocketFormat::fileSizeForCapacity(capacity)));
    crypto::randomFill(anchorFile);
    std::vector<std::uint8_t> anchorPlain(static_cast<std::size_t>(capacity));
    crypto::randomFill(anchorPlain);
    const SecureBytes anchorKey = crypto::randomBytes(crypto::kKeySize);
    const std::string anchorPath = work + "/anchor.bin";

    std::vector<double> saves, anchors;
    std::int64_t generation = 0;
    for (int round = 0; round < kRounds + 1; ++round) {
        items[0].data[std::size_t(round) % items[0].data.size()] ^= 1;
        const double s = seconds([&] {
            try {
                storage->save(items, ++generation);
            } catch (const std::exception& e) {
                fail(std::string("save failed: ") + e.what());
            }
        });
        const double a = seconds([&] { sealWriteRename(anchorPath, anchorFile, anchorKey, anchorPlain); });
        if (round > 0) { // the first round warms up both
            saves.push_back(s);
            anchors.push_back(a);
        }
    }
    storage.reset();
    std::error_code ec;
    std::filesystem::remove_all(work, ec);

    const double save = median(saves), anchor = median(anchors);
    std::printf("pocket save of a %d MB vault after one edit, median of %d:\n", kTierMB, kRounds);
    std::printf("  save                              %7.1f ms\n", save * 1e3);
    std::printf("  seal + write + fdatasync + rename %7.1f ms\n", anchor * 1e3);
    std::printf("ratio pocket-save/seal-write: %.2f (%.0f ms / %.0f ms)\n", save / anchor, save * 1e3, anchor * 1e3);
    return 0;
}
