#include "PhotoDecoder.h"

#include "DecoderProcess.h"

#include <cstring>

namespace larkhold {

namespace {


void wipeBytes(QByteArray& bytes) {
    if (!bytes.isEmpty())
        wipe(bytes.data(), std::size_t(bytes.size()));
    bytes.clear();
}

} // namespace

PhotoDecoder::PhotoDecoder(std::chrono::milliseconds deadline, QObject* parent)
    : QObject(parent), deadline_(deadline) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { finish(State::unreadable); });
}

PhotoDecoder::~PhotoDecoder() {
    cancel();
}

void PhotoDecoder::decode(ByteView bytes) {
    cancel();
    state_ = State::decoding;
    const int fd = bytes.empty() ? -1 : decoder::memoryFileOf(bytes, photodecode::kMaxPhotoBytes);
    if (fd < 0)
        return finish(State::unreadable);
    process_ = new QProcess(this);
    connect(process_, &QProcess::readyReadStandardOutput, this, [this] { read(); });
    connect(process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        read();
        if (state_ == State::decoding)
            finish(status == QProcess::NormalExit && code == confinement::kUnconfinedExitCode ? State::unconfined
                                                                                             : State::unreadable);
    });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(State::unreadable);
    });
    timer_.start(deadline_);
    decoder::start(*process_, "larkhold-photo-decode", photodecode::limits(), fd);
    process_->write("show\n");
    process_->closeWriteChannel();
}

void PhotoDecoder::cancel() {
    endDecode();
    if (!image_.isNull())
        wipe(image_.bits(), std::size_t(image_.sizeInBytes()));
    image_ = QImage();
    state_ = State::empty;
}

void PhotoDecoder::endDecode() {
    timer_.stop();
    if (process_) {
        process_->disconnect(this);
        decoder::end(*process_);
        // Later: this may run inside one of the process's own signals.
        process_->deleteLater();
        process_ = nullptr;
    }
    wipeBytes(input_);
}

void PhotoDecoder::finish(State outcome) {
    endDecode();
    state_ = outcome;
    emit finished();
}

void PhotoDecoder::read() {
    if (!process_ || state_ != State::decoding)
        return;
    input_ += process_->readAllStandardOutput();
    const qsizetype lineEnd = input_.indexOf('\n');
    if (lineEnd < 0)
        return input_.size() > 64 ? finish(State::unreadable) : void();
    const QList<QByteArray> words = input_.left(lineEnd).split(' ');
    if (decoder::saysUnconfined(input_.left(lineEnd)))
        return finish(State::unconfined);
    bool wide = false;
    bool high = false;
    const int width = words.value(1).toInt(&wide);
    const int height = words.value(2).toInt(&high);
    if (words.size() != 3 || words[0] != "image" || !wide || !high || width <= 0 || height <= 0 ||
        width > kShownLongSide || height > kShownLongSide)
        return finish(State::unreadable);
    const qsizetype rowBytes = qsizetype(width) * 4;
    if (input_.size() - (lineEnd + 1) < rowBytes * height)
        return;
    QImage image(width, height, QImage::Format_ARGB32);
    if (image.isNull())
        return finish(State::unreadable);
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), input_.constData() + lineEnd + 1 + y * rowBytes, std::size_t(rowBytes));
    image_ = std::move(image);
    finish(State::decoded);
}

} // namespace larkhold
