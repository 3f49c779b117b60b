#include "UpdateTransport.h"

#include "ModuleFile.h"

#include <QCoroSignal>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <sys/prctl.h>

namespace larkhold {

namespace {

// The transfer timeout only counts silence, and a loaded machine may take a while to start the program:
// the child is given this much on top before it is killed.
constexpr std::chrono::seconds kKillMargin{30};
// Room for the frame's header and an error text beyond the largest body.
constexpr qint64 kFrameSlack = 64 * 1024;

// One request: the child that makes it and what it wrote. Destroying the run kills the child.
class FetchRun : public QObject {
    Q_OBJECT

public:
    FetchRun(const QString& program, const QUrl& url, std::chrono::milliseconds timeout, qint64 maximumBytes,
             QObject* parent)
        : QObject(parent), maximumBytes_(maximumBytes) {
        process_.setProgram(program);
        process_.setArguments(
            {url.toString(QUrl::FullyEncoded), QString::number(timeout.count()), QString::number(maximumBytes)});
        process_.setStandardInputFile(QProcess::nullDevice());
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A child outliving this process (killed, crashed) would only wait for its own timeout: it goes too.
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        connect(&process_, &QProcess::readyReadStandardOutput, this, [this] { read(); });
        connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                finish(UpdateTransport::Answer{std::nullopt, UpdateTransport::missingText()});
        });
        connect(&process_, &QProcess::finished, this,
                [this](int code, QProcess::ExitStatus status) { ended(code, status); });
        deadline_.setSingleShot(true);
        deadline_.setInterval(timeout + kKillMargin);
        connect(&deadline_, &QTimer::timeout, this, [this] { stop(UpdateTransport::timedOutText()); });
    }

    ~FetchRun() override {
        // QProcess's destructor waits for a child still running; killed first, the child is gone at once.
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    void start() {
        deadline_.start();
        process_.start();
    }

    const UpdateTransport::Answer& answer() const { return answer_; }

signals:
    void done();

private:
    void read() {
        const QByteArray chunk = process_.readAllStandardOutput();
        if (failure_ || done_)
            return;
        output_ += chunk;
        if (output_.size() > maximumBytes_ + kFrameSlack)
            stop(UpdateTransport::tooLargeText());
    }

    // Kills the child; its end reports `failure`.
    void stop(const QString& failure) {
        if (failure_ || done_)
            return;
        failure_ = failure;
        output_.clear();
        process_.kill();
    }

    void ended(int code, QProcess::ExitStatus status) {
        read();
        if (failure_)
            finish(UpdateTransport::Answer{std::nullopt, *failure_});
        else if (status != QProcess::NormalExit || code != 0)
            finish(UpdateTransport::Answer{std::nullopt, UpdateTransport::missingText()});
        else
            finish(parse());
    }

    // "body N\n" or "error N\n", then exactly N bytes.
    UpdateTransport::Answer parse() const {
        const UpdateTransport::Answer garbled{std::nullopt, UpdateTransport::missingText()};
        const qsizetype newline = output_.indexOf('\n');
        const qsizetype space = output_.indexOf(' ');
        if (newline < 0 || space < 0 || space > newline)
            return garbled;
        bool ok = false;
        const qint64 length = output_.mid(space + 1, newline - space - 1).toLongLong(&ok);
        const QByteArray payload = output_.mid(newline + 1);
        if (!ok || length != payload.size())
            return garbled;
        const QByteArray tag = output_.left(space);
        if (tag == "body")
            return payload.size() > maximumBytes_
                       ? UpdateTransport::Answer{std::nullopt, UpdateTransport::tooLargeText()}
                       : UpdateTransport::Answer{payload, QString()};
        if (tag == "error" && !payload.isEmpty())
            return UpdateTransport::Answer{std::nullopt, QString::fromUtf8(payload)};
        return garbled;
    }

    void finish(UpdateTransport::Answer answer) {
        if (done_)
            return;
        done_ = true;
        deadline_.stop();
        answer_ = std::move(answer);
        emit done();
    }

    qint64 maximumBytes_;
    QProcess process_;
    QTimer deadline_;
    QByteArray output_;
    std::optional<QString> failure_;
    bool done_ = false;
    UpdateTransport::Answer answer_;
};

class ProcessTransport : public UpdateTransport {
public:
    QCoro::Task<Answer> get(QUrl url, std::chrono::milliseconds timeout, qint64 maximumBytes) override {
        static const QString program = QString::fromStdString(moduleFile("larkhold-update-fetch"));
        // The run is the holder's child: if the transport goes, the run and its child go with it and this
        // request simply never resumes.
        auto* run = new FetchRun(program, url, timeout, maximumBytes, &runs_);
        auto finishing = qCoro(run, &FetchRun::done);
        run->start();
        co_await finishing;
        const Answer answer = run->answer();
        run->deleteLater();
        co_return answer;
    }

private:
    QObject runs_;
};

} // namespace

std::unique_ptr<UpdateTransport> UpdateTransport::load() {
    return std::make_unique<ProcessTransport>();
}

} // namespace larkhold

#include "UpdateTransport.moc"
