#include "ChildJob.h"

#include <QCoreApplication>
#include <QMap>
#include <QProcess>

namespace larkhold::test {

namespace {

const QString kSwitch = QStringLiteral("--larkhold-child-job=");

QMap<QString, ChildJob>& jobs() {
    static QMap<QString, ChildJob> registered;
    return registered;
}

} // namespace

bool registerChildJob(const QString& name, ChildJob job) {
    jobs().insert(name, std::move(job));
    return true;
}

ChildOutcome runChildJob(const QString& name, const QStringList& arguments, int ceilingMs) {
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), QStringList{kSwitch + name} + arguments);
    ChildOutcome outcome;
    outcome.finished = child.waitForFinished(ceilingMs) && child.exitStatus() == QProcess::NormalExit;
    if (!outcome.finished) {
        child.kill();
        child.waitForFinished();
    }
    outcome.exitCode = child.exitCode();
    outcome.output = child.readAllStandardOutput();
    outcome.errors = child.readAllStandardError();
    return outcome;
}

std::optional<int> runChildJobFromCommandLine(int argc, char** argv) {
    if (argc < 2)
        return std::nullopt;
    const QString first = QString::fromLocal8Bit(argv[1]);
    if (!first.startsWith(kSwitch))
        return std::nullopt;
    const auto job = jobs().constFind(first.mid(kSwitch.size()));
    if (job == jobs().cend())
        return 127;
    QStringList arguments;
    for (int i = 2; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return (*job)(arguments);
}

} // namespace larkhold::test
