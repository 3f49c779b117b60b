#pragma once

#include <QPointer>
#include <QVariantAnimation>
#include <functional>
#include <memory>

namespace larkhold {

// One number moved from a value to another over a fixed time, each step handed to `step`. The
// animation behind it is made the first time it runs: a window of many cards, each with a handful
// of buttons, bars and spinners, keeps none of them until something actually moves.
class Tween {
public:
    enum class Curve { easeOut, linear };

    // A tween of `owner`'s, made its child when it first runs (where whoever waits for the widget to
    // come to rest finds it) unless `loops` is endless: a spinner never comes to rest, and is nobody's
    // child to wait for.
    Tween(QObject* owner, int durationMs, Curve curve, std::function<void(qreal)> step);
    ~Tween();
    Tween(const Tween&) = delete;
    Tween& operator=(const Tween&) = delete;

    // Stops where it is and runs from `from` to `to`, `loops` times (-1: until stopped).
    void run(qreal from, qreal to, int loops = 1);
    void stop();
    bool isRunning() const;

private:
    QVariantAnimation* animation(bool endless);

    QObject* owner_;
    int durationMs_;
    Curve curve_;
    std::function<void(qreal)> step_;
    QPointer<QVariantAnimation> child_;
    std::unique_ptr<QVariantAnimation> own_;
};

} // namespace larkhold
