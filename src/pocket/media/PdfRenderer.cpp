#include "PdfRenderer.h"

#include "DecoderProcess.h"
#include "PhotoImportClient.h"
#include "PdfRenderProtocol.h"

#include <QDeadlineTimer>
#include <cstring>

namespace larkhold {

namespace {

// The most pages a document's first answer may list.
constexpr int kMaxPages = 100000;

confinement::Limits limitsForTesting{};
std::chrono::milliseconds importCheckDeadlineForTesting{0};

confinement::Limits limits() {
    return limitsForTesting.addressSpaceBytes ? limitsForTesting : pdfrender::kLimits;
}

int memoryFileOf(ByteView bytes) {
    return decoder::memoryFileOf(bytes, pdfrender::kMaxDocumentBytes);
}

void start(QProcess& process, int fd) {
    decoder::start(process, "larkhold-pdf-render", limits(), fd);
}

using decoder::end;

} // namespace

PdfRenderer::PdfRenderer(std::chrono::milliseconds deadline, QObject* parent) : QObject(parent), deadline_(deadline) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { fail(); });
}

PdfRenderer::~PdfRenderer() {
    close();
}

void PdfRenderer::load(ByteView bytes) {
    close();
    const int fd = memoryFileOf(bytes);
    if (fd < 0) {
        state_ = State::unreadable;
        emit stateChanged();
        return;
    }
    process_ = new QProcess(this);
    connect(process_, &QProcess::readyReadStandardOutput, this, [this] { read(); });
    connect(process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        fail(status == QProcess::NormalExit && code == confinement::kUnconfinedExitCode ? State::unconfined
                                                                                         : State::unreadable);
    });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail();
    });
    state_ = State::loading;
    timer_.start(deadline_);
    start(*process_, fd);
    emit stateChanged();
}

void PdfRenderer::close() {
    timer_.stop();
    if (process_) {
        process_->disconnect(this);
        end(*process_);
        // Later: this may run inside one of the process's own signals.
        process_->deleteLater();
        process_ = nullptr;
    }
    if (!input_.isEmpty())
        wipe(input_.data(), std::size_t(input_.size()));
    input_.clear();
    queue_.clear();
    pageSizes_.clear();
    drawing_ = -1;
    imageHeaderRead_ = false;
    if (state_ != State::empty) {
        state_ = State::empty;
        emit stateChanged();
    }
}

void PdfRenderer::fail(State outcome) {
    const bool wasEmpty = state_ == State::empty;
    close();
    if (wasEmpty)
        return;
    state_ = outcome;
    emit stateChanged();
}

std::chrono::milliseconds PdfRenderer::importCheckDeadline() {
    return importCheckDeadlineForTesting.count() > 0 ? importCheckDeadlineForTesting : kDeadline;
}

void PdfRenderer::setImportCheckDeadlineForTesting(std::chrono::milliseconds deadline) {
    importCheckDeadlineForTesting = deadline;
}

void PdfRenderer::setLimitsForTesting(const confinement::Limits& limits) {
    limitsForTesting = limits;
}

void PdfRenderer::request(const QList<std::pair<int, QSize>>& pages) {
    queue_.clear();
    for (const auto& [page, size] : pages) {
        if (page < 0 || page >= pageSizes_.size() || !pdfrender::sizeAllowed(size.width(), size.height()))
            continue;
        if (page == drawing_ && size == drawingSize_)
            continue;
        queue_.emplace_back(page, size);
    }
    sendNext();
}

void PdfRenderer::sendNext() {
    if (state_ != State::ready || drawing_ >= 0 || queue_.empty())
        return;
    std::tie(drawing_, drawingSize_) = queue_.front();
    queue_.pop_front();
    imageHeaderRead_ = false;
    timer_.start(deadline_);
    process_->write("page " + QByteArray::number(drawing_) + ' ' + QByteArray::number(drawingSize_.width()) + ' ' +
                    QByteArray::number(drawingSize_.height()) + '\n');
}

void PdfRenderer::read() {
    input_ += process_->readAllStandardOutput();
    if (state_ == State::loading) {
        const qsizetype firstEnd = input_.indexOf('\n');
        if (firstEnd < 0)
            return;
        if (decoder::saysUnconfined(input_.left(firstEnd)))
            return fail(State::unconfined);
        const QList<QByteArray> first = input_.left(firstEnd).split(' ');
        bool ok = first.size() == 2 && first[0] == "ready";
        const int pages = ok ? first[1].toInt(&ok) : 0;
        if (!ok || pages < 0 || pages > kMaxPages)
            return fail();
        QList<QSizeF> sizes;
        qsizetype at = firstEnd + 1;
        for (int page = 0; page < pages; ++page) {
            const qsizetype lineEnd = input_.indexOf('\n', at);
            if (lineEnd < 0)
                return; // the rest is still on its way
            const QList<QByteArray> numbers = input_.mid(at, lineEnd - at).split(' ');
            bool wide = false;
            bool high = false;
            const double width = numbers.value(0).toDouble(&wide);
            const double height = numbers.value(1).toDouble(&high);
            if (numbers.size() != 2 || !wide || !high || !(width > 0 && width < 1e6) || !(height > 0 && height < 1e6))
                return fail();
            sizes.append(QSizeF(width, height));
            at = lineEnd + 1;
        }
        input_.remove(0, at);
        pageSizes_ = std::move(sizes);
        timer_.stop();
        state_ = State::ready;
        emit stateChanged();
        sendNext();
        return;
    }
    while (state_ == State::ready && !input_.isEmpty()) {
        if (drawing_ < 0)
            return fail();
        if (!imageHeaderRead_) {
            const qsizetype lineEnd = input_.indexOf('\n');
            if (lineEnd < 0)
                return;
            const QByteArray expected = "image " + QByteArray::number(drawing_) + ' ' +
                                        QByteArray::number(drawingSize_.width()) + ' ' +
                                        QByteArray::number(drawingSize_.height());
            if (input_.left(lineEnd) != expected)
                return fail();
            input_.remove(0, lineEnd + 1);
            imageHeaderRead_ = true;
        }
        const qsizetype rowBytes = qsizetype(drawingSize_.width()) * 4;
        if (input_.size() < rowBytes * drawingSize_.height())
            return;
        QImage image(drawingSize_, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < drawingSize_.height(); ++y)
            std::memcpy(image.scanLine(y), input_.constData() + y * rowBytes, std::size_t(rowBytes));
        wipe(input_.data(), std::size_t(rowBytes * drawingSize_.height()));
        input_.remove(0, rowBytes * drawingSize_.height());
        const int page = drawing_;
        drawing_ = -1;
        timer_.stop();
        emit rendered(page, image);
        sendNext();
    }
}

PdfRenderer::Check PdfRenderer::check(ByteView bytes, std::chrono::milliseconds deadline) {
    const int fd = memoryFileOf(bytes);
    if (fd < 0)
        return Check::unreadable;
    QProcess process;
    const QDeadlineTimer until(deadline);
    start(process, fd);
    const RunningDecoder registered(process);
    QByteArray output;
    while (!output.contains('\n')) {
        const bool more = process.waitForReadyRead(int(std::max<qint64>(1, until.remainingTime())));
        output += process.readAllStandardOutput();
        if (!more || until.hasExpired())
            break;
    }
    end(process);
    const QByteArray first = output.left(output.indexOf('\n'));
    if (!output.contains('\n'))
        return Check::unreadable;
    if (first.startsWith("ready "))
        return Check::readable;
    if (decoder::saysUnconfined(first))
        return Check::unconfined;
    return first == "locked" ? Check::locked : Check::unreadable;
}

} // namespace larkhold
