#include "RingGauge.h"

#include "Capacity.h"

#include <QPainter>
#include <QPen>
#include <QStyle>
#include <cmath>

namespace larkhold {

RingGauge::RingGauge(QWidget* parent) : RingGauge(0, 40, 4, QColor(), QColor(), false, parent) {}

RingGauge::RingGauge(double fraction, qreal size, qreal thickness, QColor color, QColor track, bool sealed,
                     QWidget* parent)
    : QWidget(parent), fraction_(fraction), shown_(fraction), size_(size), thickness_(thickness),
      color_(std::move(color)), track_(std::move(track)), sealed_(sealed),
      animation_(this, Theme::kFractionAnimationMs, Tween::Curve::easeOut, [this](qreal value) {
          shown_ = value;
          update();
      }) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void RingGauge::setFraction(double fraction) {
    if (fraction == fraction_ || (std::isnan(fraction) && std::isnan(fraction_)))
        return;
    fraction_ = fraction;
    animation_.stop();
    // The arc only ever shows a clamped value, so animate between clamped values (NaN included).
    const double from = Capacity::ringArcFraction(shown_);
    const double to = Capacity::ringArcFraction(fraction);
    if (!isVisible()) {
        shown_ = fraction;
        update();
        return;
    }
    animation_.run(from, to);
}

bool RingGauge::isAnimating() const {
    return animation_.isRunning();
}

void RingGauge::setDiameter(qreal size) {
    size_ = size;
    updateGeometry();
    placeCenter();
    update();
}

void RingGauge::setThickness(qreal thickness) {
    thickness_ = thickness;
    updateGeometry();
    update();
}

void RingGauge::setColor(const QColor& color) {
    color_ = color;
    update();
}

void RingGauge::setTrack(const QColor& track) {
    track_ = track;
    update();
}

void RingGauge::setSealed(bool sealed) {
    sealed_ = sealed;
    update();
}

void RingGauge::setCenterWidget(QWidget* widget) {
    if (center_)
        center_->deleteLater();
    center_ = widget;
    if (widget) {
        widget->setParent(this);
        widget->show();
    }
    placeCenter();
}

QSize RingGauge::sizeHint() const {
    // The stroke is centred on the circle, so half of it lies outside the square of `size`.
    const int side = int(std::ceil(size_ + thickness_));
    return {side, side};
}

void RingGauge::resizeEvent(QResizeEvent*) {
    placeCenter();
}

void RingGauge::placeCenter() {
    if (!center_)
        return;
    const QSize hint = center_->sizeHint().boundedTo(size());
    center_->setGeometry(QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, hint, rect()));
}

void RingGauge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF c = QRectF(rect()).center();
    const QRectF circle(c.x() - size_ / 2, c.y() - size_ / 2, size_, size_);
    const QColor track = track_.isValid() ? track_ : Theme::quaternaryFill(palette());
    QPen pen(track, thickness_, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawEllipse(circle);
    if (sealed_)
        return;
    const double arc = Capacity::ringArcFraction(isAnimating() ? shown_ : fraction_);
    pen.setColor(color_.isValid() ? color_ : Theme::stops(GradientKind::accent).first().second);
    painter.setPen(pen);
    if (arc >= 1.0) {
        painter.drawEllipse(circle);
        return;
    }
    // From 12 o'clock, clockwise (Qt angles are counter-clockwise, in 1/16 degree).
    painter.drawArc(circle, 90 * 16, -qRound(arc * 360.0 * 16));
}

} // namespace larkhold
