#pragma once

#include "SecureBytes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>

namespace larkhold {

// The outcome of one child process.
struct ProcessResult {
    // Exit code of a child that exited; 128 + the signal number for one that was killed.
    int status = 0;
    // Not named stdout/stderr: the C library may define those as macros.
    QByteArray standardOutput;
    QByteArray standardError;
};

// The child could not be started (relative path, missing or non-executable program, no pipes).
// what() is a user-readable sentence in UTF-8.
class ProcessLaunchError : public std::runtime_error {
public:
    explicit ProcessLaunchError(const QString& message);
    QString message() const { return QString::fromUtf8(what()); }
};

// Runs `program` (an absolute path; a relative one is refused, never looked up on PATH) with
// `arguments`, three pipes and the inherited environment. `standardInput`, when given, is written
// in full and the child's input is then closed; without it the child reads end of input at once.
// Both outputs are collected whole. Blocks the calling thread until the child has exited, so call
// it from a worker thread. Throws ProcessLaunchError only when the child cannot be started; a child
// that exits without reading its input is not an error.
ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         std::optional<ByteView> standardInput = std::nullopt);

} // namespace larkhold
