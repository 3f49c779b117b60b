#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace larkhold::test {

// Work a test runs in a fresh process of its own test executable, for what a fork cannot give: a
// peak memory figure of its own, and Qt's thread pool (which does not survive a fork). The job
// writes what it found to standard output and returns the process's exit status.
using ChildJob = std::function<int(const QStringList& arguments)>;

// Registers a job under a name, at static initialisation: `static const bool r = registerChildJob(…);`.
bool registerChildJob(const QString& name, ChildJob job);

struct ChildOutcome {
    bool finished = false; // ended by itself, within the ceiling
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};

// Runs the job in a new process of this executable and waits for it, up to `ceilingMs` (only a
// hang should reach it).
ChildOutcome runChildJob(const QString& name, const QStringList& arguments, int ceilingMs = 20 * 60 * 1000);

// For main(): runs the job named on the command line, if any.
std::optional<int> runChildJobFromCommandLine(int argc, char** argv);

} // namespace larkhold::test
