#include "BusyIndicator.h"

#include "Look.h"

#include <QPainter>
#include <QPen>

namespace larkhold {

BusyIndicator::BusyIndicator(int size, QWidget* parent)
    : QWidget(parent), size_(size), spin_(this, 900, Tween::Curve::linear, [this](qreal value) {
          angle_ = value;
          update();
      }) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize BusyIndicator::sizeHint() const {
    return {size_, size_};
}

void BusyIndicator::showEvent(QShowEvent*) {
    spin_.run(0.0, 360.0, -1);
}
void BusyIndicator::hideEvent(QHideEvent*) {
    spin_.stop();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = qMax<qreal>(2.0, size_ / 8.0);
    const QRectF circle = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    painter.setPen(QPen(Theme::quaternaryFill(palette()), pen));
    painter.drawEllipse(circle);
    painter.setPen(QPen(Theme::secondary(palette()), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, qRound((90 - angle_) * 16), -100 * 16);
}

} // namespace larkhold
