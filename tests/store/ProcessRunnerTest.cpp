#include "ProcessRunner.h"

#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace larkhold;

namespace {

const QString sh = QStringLiteral("/bin/sh");

ProcessResult shell(const char* script, std::optional<ByteView> input = std::nullopt) {
    return runProcess(sh, {QStringLiteral("-c"), QString::fromLatin1(script)}, input);
}

} // namespace

TEST(ProcessRunner, ReturnsStatusAndBothOutputsApart) {
    const ProcessResult r = shell("printf out; printf err >&2; exit 7");
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.standardOutput, "out");
    EXPECT_EQ(r.standardError, "err");

    EXPECT_EQ(shell("kill -9 $$").status, 128 + SIGKILL);

    // Every child has been waited for: none is left behind as a zombie.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessRunner, ChildStartsWithDefaultSignalHandlingWhateverTheCallerUses) {
    // An ignored SIGCHLD or SIGPIPE survives an exec; a tool that waits for helpers of its own or
    // relies on dying of a broken pipe would then misbehave.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldChld {};
    struct sigaction oldInt {};
    sigaction(SIGCHLD, &ignore, &oldChld);
    sigaction(SIGINT, &ignore, &oldInt);
    sigset_t blocked, oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);

    const ProcessResult r = shell("exec grep -E '^Sig(Ign|Blk)' /proc/self/status");

    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGCHLD, &oldChld, nullptr);
    // Masks of signals 1 to 64, lowest bit first; the C library may keep its own signals above 31
    // ignored, which is none of the tool's business.
    const QList<QByteArray> lines = r.standardOutput.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2) << r.standardOutput.toStdString();
    const auto mask = [](const QByteArray& line) { return line.mid(line.indexOf('\t') + 1).toULongLong(nullptr, 16); };
    EXPECT_EQ(mask(lines[0]) & 0x7fffffffu, 0u) << "blocked: " << lines[0].toStdString();
    EXPECT_EQ(mask(lines[1]) & 0x7fffffffu, 0u) << "ignored: " << lines[1].toStdString();
}

TEST(ProcessRunner, InputIsWrittenWholeAndThenClosed) {
    const std::string bytes("old\0new\0", 8);
    const ProcessResult r = shell("od -An -c | tr -s ' '", asBytes(bytes));
    EXPECT_EQ(r.standardOutput.simplified(), "o l d \\0 n e w \\0");

    // Without input the child reads end of input at once instead of waiting for it.
    EXPECT_EQ(shell("wc -c").standardOutput.trimmed(), "0");
}

TEST(ProcessRunner, RefusesWhatItCannotStart) {
    EXPECT_THROW(runProcess(QStringLiteral("sh"), {}), ProcessLaunchError);
    EXPECT_THROW(runProcess(QStringLiteral("bin/sh"), {}), ProcessLaunchError);
    EXPECT_THROW(runProcess(QStringLiteral("/nonexistent/hdiutil"), {}), ProcessLaunchError);

    QTemporaryDir dir;
    const QString notExecutable = dir.filePath(QStringLiteral("tool"));
    QFile f(notExecutable);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    EXPECT_THROW(runProcess(notExecutable, {}), ProcessLaunchError);
}

TEST(ProcessRunner, ArgumentsReachTheChildUnchanged) {
    const QStringList args{QStringLiteral("-c"),
                           QStringLiteral("printf '%s|' \"$@\""),
                           QStringLiteral("x"),
                           QStringLiteral("with space"),
                           QStringLiteral("$HOME;`id`"),
                           QStringLiteral("Zürich"),
                           QString()};
    EXPECT_EQ(runProcess(sh, args).standardOutput, QStringLiteral("with space|$HOME;`id`|Zürich||").toUtf8());
}

TEST(ProcessRunner, LargeErrorOutputWhileStandardOutputStaysOpenDoesNotHang) {
    const ProcessResult r = shell("head -c 1048576 /dev/zero >&2; printf done");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.standardError.size(), 1048576);
    EXPECT_EQ(r.standardOutput, "done");
}

TEST(ProcessRunner, ChildThatWritesBeforeReadingItsLargeInputDoesNotHang) {
    const std::string input(1 << 20, 'x');
    const ProcessResult r = shell("head -c 1048576 /dev/zero; wc -c >&2", asBytes(input));
    EXPECT_EQ(r.standardOutput.size(), 1048576);
    EXPECT_EQ(r.standardError.trimmed(), "1048576");
}

TEST(ProcessRunner, ChildThatNeverReadsItsInputDoesNotBringUsDown) {
    // Far more than a pipe holds, so the write certainly meets a closed pipe.
    const std::string input(4 << 20, 'p');
    for (int i = 0; i < 5; ++i) {
        const ProcessResult r = shell("exec 0<&-; exit 3", asBytes(input));
        EXPECT_EQ(r.status, 3);
    }
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    // Still here: the broken pipe did not end the test process.
}

TEST(ProcessRunner, ChildInheritsNoOtherDescriptors) {
    const int leaky = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 3);
    const ProcessResult r = shell("for fd in /proc/self/fd/*; do n=${fd##*/}; [ \"$n\" -gt 2 ] && "
                                  "[ \"$(readlink $fd)\" = /dev/null ] && echo leaked; done; true");
    ::close(leaky);
    EXPECT_EQ(r.standardOutput, "");
}
