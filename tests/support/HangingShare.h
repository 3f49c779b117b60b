#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace larkhold::test {

// A folder mounted through a FUSE file system whose lookups hang on command, as those of a network
// share that stopped answering. Needs /dev/fuse and the right to mount: without them isMounted()
// is false and the test skips.
class HangingShare {
public:
    HangingShare();
    // Answers every waiting look, unmounts and waits for the file system to end.
    ~HangingShare();
    HangingShare(const HangingShare&) = delete;
    HangingShare& operator=(const HangingShare&) = delete;

    bool isMounted() const { return mounted_; }
    // Where files are made (not through the mount), and the mount itself.
    QString backing() const { return dir_.filePath(QStringLiteral("backing")); }
    QString path() const { return dir_.filePath(QStringLiteral("share")); }

    // From now on every look below the mount waits until answer().
    void hang();
    // From now on every open and read below the mount waits until answer(); lookups still answer.
    void hangOpens();
    void answer();
    // Waits (up to a minute) until a look is stuck; true when one is. Blocks the event loop.
    bool waitStalled();
    // Whether a look is stuck, from what the event loop has read so far.
    bool hasStalled();

private:
    void send(const char* line);
    bool waitForLine(const QByteArray& prefix);
    // Consumes read lines up to and including the first one starting with `prefix`.
    bool takeLine(const QByteArray& prefix);

    QTemporaryDir dir_;
    QProcess fs_;
    QByteArray output_;
    bool mounted_ = false;
};

// Starts this test program's child job `job` on `path`, waits until the share holds one of its
// calls, closes the child's input and tells whether the child's end ("ended" on its output) came
// while the share still hung. Then lets the share answer; false also when the child does not exit
// cleanly after that.
bool childEndsWhileTheShareHangs(HangingShare& share, const QString& job, const QString& path);

} // namespace larkhold::test
