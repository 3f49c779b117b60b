#include "HangingShare.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

namespace larkhold::test {

HangingShare::HangingShare() {
    QDir(dir_.path()).mkpath(QStringLiteral("backing"));
    QDir(dir_.path()).mkpath(QStringLiteral("share"));
    if (!QFileInfo(QStringLiteral("/dev/fuse")).isReadable())
        return;
    fs_.setProgram(QStringLiteral(LARKHOLD_HANGFS_PATH));
    fs_.setArguments({backing(), path()});
    fs_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    fs_.start();
    if (!fs_.waitForStarted(60'000))
        return;
    mounted_ = waitForLine("ready");
}

HangingShare::~HangingShare() {
    if (fs_.state() == QProcess::NotRunning)
        return;
    // The file system answers what waits, unmounts and ends when its input closes.
    fs_.closeWriteChannel();
    if (!fs_.waitForFinished(60'000)) {
        fs_.kill();
        fs_.waitForFinished(60'000);
    }
}

void HangingShare::send(const char* line) {
    fs_.write(line);
    fs_.waitForBytesWritten(60'000);
}

// Each returns once the file system holds the hang: a look started afterwards waits.
void HangingShare::hang() {
    send("hang\n");
    waitForLine("hanging");
}

void HangingShare::hangOpens() {
    send("hangopen\n");
    waitForLine("hanging");
}

void HangingShare::answer() {
    send("answer\n");
}

bool HangingShare::waitStalled() {
    return waitForLine("stalled");
}

bool HangingShare::hasStalled() {
    output_ += fs_.readAllStandardOutput();
    return takeLine("stalled");
}

bool HangingShare::takeLine(const QByteArray& prefix) {
    for (qsizetype end = output_.indexOf('\n'); end >= 0; end = output_.indexOf('\n')) {
        const QByteArray line = output_.left(end);
        output_.remove(0, end + 1);
        if (line.startsWith(prefix))
            return true;
    }
    return false;
}

bool HangingShare::waitForLine(const QByteArray& prefix) {
    const QDeadlineTimer deadline(60'000);
    for (;;) {
        if (takeLine(prefix))
            return true;
        if (deadline.hasExpired() || fs_.state() == QProcess::NotRunning)
            return false;
        if (fs_.waitForReadyRead(int(deadline.remainingTime())))
            output_ += fs_.readAllStandardOutput();
    }
}

bool childEndsWhileTheShareHangs(HangingShare& share, const QString& job, const QString& path) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--larkhold-child-job=") + job, path});
    if (!child.waitForStarted(60'000) || !share.waitStalled())
        return false;
    child.closeWriteChannel();
    QByteArray output;
    const QDeadlineTimer deadline(60'000);
    while (!output.contains("ended") && !deadline.hasExpired() && child.waitForReadyRead(int(deadline.remainingTime())))
        output += child.readAllStandardOutput();
    share.answer();
    const bool exited =
        child.waitForFinished(60'000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return output.contains("ended") && exited;
}

} // namespace larkhold::test
