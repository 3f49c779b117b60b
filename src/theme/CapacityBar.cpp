#include "CapacityBar.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace larkhold {

CapacityBar::CapacityBar(QWidget* parent) : CapacityBar(0, false, parent) {}

CapacityBar::CapacityBar(double fraction, bool sealed, QWidget* parent)
    : QWidget(parent), fraction_(fraction), shown_(fraction), sealed_(sealed),
      animation_(this, Theme::kFractionAnimationMs, Tween::Curve::easeOut, [this](qreal value) {
          shown_ = value;
          update();
      }) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(kHeight);
}

void CapacityBar::setFraction(double fraction) {
    if (fraction == fraction_ || (std::isnan(fraction) && std::isnan(fraction_)))
        return;
    animation_.stop();
    const double from = std::isnan(shown_) ? 0.0 : std::clamp(shown_, 0.0, 1.0);
    fraction_ = fraction;
    if (!isVisible()) {
        shown_ = fraction;
        update();
        return;
    }
    animation_.run(from, std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0));
}

bool CapacityBar::isAnimating() const {
    return animation_.isRunning();
}

void CapacityBar::setSealed(bool sealed) {
    sealed_ = sealed;
    update();
}

QSize CapacityBar::sizeHint() const {
    return {170, kHeight};
}
QSize CapacityBar::minimumSizeHint() const {
    return {8, kHeight};
}

void CapacityBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, width(), kHeight);
    painter.fillPath(Theme::capsule(track), Theme::quaternaryFill(palette()));
    if (sealed_)
        return;
    const double shown = isAnimating() ? shown_ : fraction_;
    const QRectF fill(0, 0, Capacity::barFillWidth(shown, track.width()), kHeight);
    // The colour follows the target fraction at once; only the length moves.
    painter.fillPath(Theme::capsule(fill), Theme::gradient(Capacity::barGradient(fraction_), fill));
}

} // namespace larkhold
