#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace larkhold::test {

void writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(data), data.size());
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QList<int> childrenNamed(const QByteArray& name) {
    QList<int> found;
    for (const QFileInfo& task :
         QDir(QStringLiteral("/proc/self/task")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(task.filePath() + QStringLiteral("/children"));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& pid : children.readAll().split(' ')) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid.trimmed())));
            if (!pid.trimmed().isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith(name))
                found << pid.trimmed().toInt();
        }
    }
    return found;
}

} // namespace larkhold::test
