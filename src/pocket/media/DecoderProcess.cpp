#include "DecoderProcess.h"

#include "ModuleFile.h"
#include "PhotoDecodeProtocol.h"

#include <QProcessEnvironment>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace larkhold::photodecode {

namespace {
confinement::Limits limitsForTesting{};
}

confinement::Limits limits() {
    return limitsForTesting.addressSpaceBytes ? limitsForTesting : kLimits;
}

void setLimitsForTesting(const confinement::Limits& limits) {
    limitsForTesting = limits;
}

} // namespace larkhold::photodecode

namespace larkhold::decoder {

int memoryFileOf(ByteView bytes, std::int64_t maxBytes) {
    if (std::int64_t(bytes.size()) > maxBytes)
        return -1;
    const int fd = ::memfd_create("larkhold-decode", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += std::size_t(n);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void start(QProcess& process, const char* program, const confinement::Limits& limits, int fd, bool probe) {
    process.setProgram(QString::fromStdString(moduleFile(program)));
    QStringList arguments;
    if (probe)
        arguments << QString::fromLatin1(confinement::kProbeOption);
    arguments << QString::fromLatin1(confinement::kLimitsOption)
              << QString::number((limits.addressSpaceBytes + (1 << 20) - 1) >> 20)
              << QString::number(limits.cpuSeconds) << QString::number(fd);
    process.setArguments(arguments);
    // Not even the session's variables: the display, the session bus, the home folder.
    process.setProcessEnvironment(QProcessEnvironment());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setChildProcessModifier([fd] {
        ::fcntl(fd, F_SETFD, 0);
        // A decoder outliving this process would hold decrypted bytes for nothing.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process.start();
    ::close(fd);
}

void end(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

} // namespace larkhold::decoder
