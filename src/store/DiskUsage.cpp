#include "DiskUsage.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <ftw.h>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace larkhold {

namespace {

// nftw has no user argument; each walk runs on one thread and keeps its tally here.
struct Tally {
    unsigned long long blocks = 0;
    std::set<std::pair<dev_t, ino_t>> linked;
    bool failed = false;
};
thread_local Tally* tally = nullptr;

int visit(const char*, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_NS || type == FTW_DNR) {
        tally->failed = true;
        return FTW_STOP;
    }
    if (!S_ISDIR(st->st_mode) && st->st_nlink > 1 && !tally->linked.emplace(st->st_dev, st->st_ino).second)
        return FTW_CONTINUE;
    tally->blocks += static_cast<unsigned long long>(st->st_blocks);
    return FTW_CONTINUE;
}

} // namespace

std::optional<qint64> diskUsageBytes(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty())
        return std::nullopt;
    Tally mine;
    tally = &mine;
    // FTW_PHYS: links are counted as links, never followed, as du does by default. Enough
    // descriptors for a deep tree without running out in a busy process.
    const int status = ::nftw(name.constData(), visit, 32, FTW_PHYS | FTW_ACTIONRETVAL);
    tally = nullptr;
    if (status != 0 || mine.failed)
        return std::nullopt;
    // st_blocks counts 512-byte units; du reports whole KiB, rounded up.
    const unsigned long long kib = (mine.blocks + 1) / 2;
    if (kib > static_cast<unsigned long long>(std::numeric_limits<qint64>::max() / 1024))
        return std::nullopt;
    return static_cast<qint64>(kib) * 1024;
}

} // namespace larkhold
