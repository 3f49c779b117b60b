#pragma once

#include "Confinement.h"
#include "PhotoDecodeProtocol.h"
#include "SecureBytes.h"

#include <QImage>
#include <QObject>
#include <QProcess>
#include <QTimer>
#include <chrono>

namespace larkhold {

// The pixels of a photo item (JPEG, PNG, HEIC), decoded by larkhold-photo-decode, a sealed-off
// process of the program's own (Confinement.h), never in this one: a photo that hangs a decoder or
// takes it over holds or reaches nothing here. Upright, in sRGB, and at most kShownLongSide pixels
// on the long side. A photo that is not decoded within the deadline counts as unreadable.
inline constexpr int kShownLongSide = photodecode::kShownLongSide;

class PhotoDecoder : public QObject {
    Q_OBJECT

public:
    enum class State { empty, decoding, decoded, unreadable, unconfined };
    static constexpr std::chrono::milliseconds kDeadline{20000};

    explicit PhotoDecoder(std::chrono::milliseconds deadline = kDeadline, QObject* parent = nullptr);
    ~PhotoDecoder() override;

    // Starts decoding; finished() tells when the state is no longer `decoding`.
    void decode(ByteView bytes);
    // Ends the process at once and forgets the photo.
    void cancel();
    State state() const { return state_; }
    // The photo once decoded; wiped and let go by cancel().
    const QImage& image() const { return image_; }

signals:
    void finished();

private:
    void read();
    // Ends the helper and wipes what was handed to it.
    void endDecode();
    void finish(State outcome);

    const std::chrono::milliseconds deadline_;
    QProcess* process_ = nullptr;
    QTimer timer_;
    State state_ = State::empty;
    QByteArray input_;
    QImage image_;
};

} // namespace larkhold
