#pragma once

#include "Confinement.h"
#include "SecureBytes.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QSize>
#include <QSizeF>
#include <QTimer>
#include <chrono>
#include <deque>

namespace larkhold {

// PDFs are read and drawn only by larkhold-pdf-render, a process of the program's own: a PDF that
// sends the PDF library into an endless loop or crashes it costs that process, never this one. The
// bytes reach it through a memory file, never a file on disk. A process that does not answer in
// time is ended and the PDF counts as unreadable. The process seals itself off first (Confinement.h);
// where it cannot, the PDF is not read at all.
class PdfRenderer : public QObject {
    Q_OBJECT

public:
    enum class State { empty, loading, ready, unreadable, unconfined };
    // How long one answer (the document, or one page) may take on a loaded machine.
    static constexpr std::chrono::milliseconds kDeadline{20000};

    explicit PdfRenderer(std::chrono::milliseconds deadline = kDeadline, QObject* parent = nullptr);
    ~PdfRenderer() override;

    // Starts reading the PDF; stateChanged() tells when it is ready or unreadable.
    void load(ByteView bytes);
    // Ends the process and forgets the document.
    void close();
    State state() const { return state_; }
    // The pages' sizes in points, once ready.
    const QList<QSizeF>& pageSizes() const { return pageSizes_; }
    // The pages to draw, in order, at the given pixel sizes; replaces the ones not yet begun.
    void request(const QList<std::pair<int, QSize>>& pages);

    enum class Check { readable, locked, unreadable, unconfined };
    // Whether the bytes load as a PDF, waiting at most `deadline`; for threads other than the GUI's.
    static Check check(ByteView bytes, std::chrono::milliseconds deadline = kDeadline);
    // The deadline of the checks an import makes: kDeadline, or a longer one a test set.
    static std::chrono::milliseconds importCheckDeadline();
    static void setImportCheckDeadlineForTesting(std::chrono::milliseconds deadline);

    // Smaller caps for the renderers started from now on; zero caps put back the real ones.
    static void setLimitsForTesting(const confinement::Limits& limits);

signals:
    void stateChanged();
    void rendered(int page, const QImage& image);

private:
    void read();
    void sendNext();
    void fail(State outcome = State::unreadable);

    const std::chrono::milliseconds deadline_;
    QProcess* process_ = nullptr;
    QTimer timer_;
    State state_ = State::empty;
    QList<QSizeF> pageSizes_;
    QByteArray input_;
    std::deque<std::pair<int, QSize>> queue_;
    // The page being drawn and its size; page -1 when none is.
    int drawing_ = -1;
    QSize drawingSize_;
    bool imageHeaderRead_ = false;
};

} // namespace larkhold
