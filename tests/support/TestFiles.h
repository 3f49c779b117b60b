#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace larkhold::test {

// Writes a whole file, replacing it; a test that cannot set up its file fails here.
void writeFile(const QString& path, const QByteArray& data);

// A whole file's bytes; empty when it cannot be opened (missing counts as empty).
QByteArray readFile(const QString& path);

// The pids of this process's running children whose name begins with `name` (the kernel keeps 15
// characters of it).
QList<int> childrenNamed(const QByteArray& name);

} // namespace larkhold::test
