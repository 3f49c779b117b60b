#pragma once

#include <QObject>

class QSocketNotifier;

namespace larkhold {

// SIGTERM, SIGINT and SIGHUP (the terminal or session that started it ended) as a Qt signal on the main thread.
// The handler only writes a byte into a pipe (the one thing a signal handler may safely do); the event loop reads
// it and emits terminationRequested(). One instance at a time.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the pipe or the handlers could not be set up; the signals then keep their default action.
    bool isActive() const { return notifier_ != nullptr; }

signals:
    void terminationRequested();

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace larkhold
