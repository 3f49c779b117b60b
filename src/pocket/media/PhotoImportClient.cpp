#include "PhotoImportClient.h"

#include "DecoderProcess.h"
#include "PhotoDecodeProtocol.h"

#include <QDeadlineTimer>
#include <csignal>
#include <mutex>
#include <set>
#include <sys/syscall.h>
#include <unistd.h>

namespace larkhold {

namespace {

// The largest photo taken, decoded, scaled and written anew on a slow, loaded machine.
constexpr std::chrono::milliseconds kReencodeDeadline{120000};

std::mutex& runningLock() {
    static std::mutex lock;
    return lock;
}

// Process descriptors, not ids: a process that has ended and been reaped meanwhile is never
// mistaken for another that got its id.
std::set<int>& running() {
    static std::set<int> descriptors;
    return descriptors;
}

} // namespace

RunningDecoder::RunningDecoder(const QProcess& process)
    : pidfd_(process.processId() > 0 ? int(::syscall(SYS_pidfd_open, pid_t(process.processId()), 0)) : -1) {
    if (pidfd_ < 0)
        return;
    const std::lock_guard lock(runningLock());
    running().insert(pidfd_);
}

RunningDecoder::~RunningDecoder() {
    if (pidfd_ < 0)
        return;
    {
        const std::lock_guard lock(runningLock());
        running().erase(pidfd_);
    }
    ::close(pidfd_);
}

void PocketImport::endRunningDecoders() {
    const std::lock_guard lock(runningLock());
    for (const int pidfd : running())
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

PocketImport::Reencoded reencodeInHelper(ByteView bytes, bool optimizePhotos, const QString& name) {
    using Failure = PocketImport::Failure;
    const int fd = decoder::memoryFileOf(bytes, photodecode::kMaxPhotoBytes);
    if (fd < 0)
        throw Failure::unreadable(name);
    QProcess process;
    decoder::start(process, "larkhold-photo-decode", photodecode::limits(), fd);
    if (!process.waitForStarted())
        throw Failure::unreadable(name);
    const RunningDecoder registered(process);
    process.write(optimizePhotos ? "import 1\n" : "import 0\n");
    process.closeWriteChannel();
    const QDeadlineTimer until(kReencodeDeadline);
    QByteArray output;
    const auto wipeOutput = [&output] {
        if (!output.isEmpty())
            wipe(output.data(), std::size_t(output.size()));
    };
    while (process.state() != QProcess::NotRunning && !until.hasExpired()) {
        process.waitForReadyRead(int(std::max<qint64>(1, until.remainingTime())));
        output += process.readAllStandardOutput();
    }
    decoder::end(process);
    output += process.readAllStandardOutput();
    const qsizetype lineEnd = output.indexOf('\n');
    const QList<QByteArray> words = output.left(std::max<qsizetype>(lineEnd, 0)).split(' ');
    if (lineEnd > 0 && decoder::saysUnconfined(output.left(lineEnd))) {
        wipeOutput();
        throw Failure::unconfined(name);
    }
    bool counted = false;
    const qint64 count = words.value(1).toLongLong(&counted);
    if (lineEnd > 0 && words.size() == 2 && words[0] == "toolarge" && counted) {
        wipeOutput();
        throw Failure::tooLarge(name, count, Failure::Content::photo);
    }
    if (lineEnd <= 0 || words.size() != 3 || words[0] != "encoded" || !counted || count < 0 ||
        count > PocketImport::kLimitBytes || output.size() - lineEnd - 1 != count ||
        !(words[2] == ".jpg" || words[2] == ".png" || words[2] == ".heic")) {
        wipeOutput();
        throw Failure::unreadable(name);
    }
    PocketImport::Reencoded out;
    const auto* start = reinterpret_cast<const std::uint8_t*>(output.constData() + lineEnd + 1);
    out.data = SecureBytes(start, start + count);
    out.extension = QString::fromLatin1(words[2]);
    wipeOutput();
    return out;
}

} // namespace larkhold
