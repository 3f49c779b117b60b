#include "DecoderProcess.h"
#include "PdfRenderProtocol.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace larkhold;

namespace {

QByteArray fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The kernel lets this process make a user namespace (root always may).
bool userNamespacesAllowed() {
    const QByteArray clone = fileText(QStringLiteral("/proc/sys/kernel/unprivileged_userns_clone")).trimmed();
    return fileText(QStringLiteral("/proc/sys/user/max_user_namespaces")).trimmed().toLongLong() > 0 &&
           (::geteuid() == 0 || clone.isEmpty() || clone != "0");
}

} // namespace

// What a decoding library that has been taken over could still do from inside the helper: read its
// input and talk down its pipes, nothing else.
TEST(DecoderConfinementTest, AHelperReachesNoFileSocketProgramProcessOrSessionVariable) {
    for (const char* program : {"larkhold-pdf-render", "larkhold-photo-decode"}) {
        SCOPED_TRACE(program);
        qputenv("LARKHOLD_TEST_SECRET", "session");
        QProcess process;
        const QByteArray input = "input";
        const int fd = decoder::memoryFileOf(asBytes(std::string_view(input.constData(), 5)), 5);
        ASSERT_GE(fd, 0);
        decoder::start(process, program, pdfrender::kLimits, fd, true);
        ASSERT_TRUE(process.waitForStarted());
        QByteArray line;
        while (!line.endsWith('\n') && process.waitForReadyRead(120000))
            line += process.readAllStandardOutput();
        EXPECT_EQ(line.trimmed(), "probe socket=EPERM open=EPERM execve=EPERM ptrace=EPERM kill=EPERM environment=0 "
                                  "fds=0,1,input as=" +
                                      QByteArray::number(qulonglong(pdfrender::kLimits.addressSpaceBytes)) +
                                      " cpu=" + QByteArray::number(pdfrender::kLimits.cpuSeconds));

        const QString proc = QStringLiteral("/proc/%1/").arg(process.processId());
        const QByteArray status = fileText(proc + QStringLiteral("status"));
        EXPECT_TRUE(status.contains("\nSeccomp:\t2\n")) << status.constData();
        EXPECT_TRUE(status.contains("\nNoNewPrivs:\t1\n"));
        // Only a process allowed to trace the helper sees these; as root, that is this one.
        if (::geteuid() == 0) {
            EXPECT_TRUE(fileText(proc + QStringLiteral("environ")).isEmpty()) << "nothing from the exec either";
            const QStringList kinds = userNamespacesAllowed()
                                          ? QStringList{"user", "net", "mnt", "ipc"}
                                          : QStringList{"net", "mnt", "ipc"};
            for (const QString& kind : kinds)
                EXPECT_NE(QFileInfo(proc + "ns/" + kind).symLinkTarget(),
                          QFileInfo("/proc/self/ns/" + kind).symLinkTarget())
                    << kind.toStdString();
        }
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(120000));
        EXPECT_EQ(process.exitCode(), 0);
        qunsetenv("LARKHOLD_TEST_SECRET");
    }
}
