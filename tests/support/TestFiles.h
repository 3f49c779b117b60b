#pragma once

#include <QByteArray>
#include <QString>

namespace larkhold::test {

// Writes a whole file, replacing it; a test that cannot set up its file fails here.
void writeFile(const QString& path, const QByteArray& data);

// A whole file's bytes; empty when it cannot be opened (missing counts as empty).
QByteArray readFile(const QString& path);

} // namespace larkhold::test
