#include "SegmentedControl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace larkhold {

namespace {

constexpr int kHeight = 24;
constexpr int kInset = 2;
constexpr int kPadding = 12;

} // namespace

SegmentedControl::SegmentedControl(QStringList labels, QWidget* parent)
    : QWidget(parent), labels_(std::move(labels)), enabled_(labels_.size(), true) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(labels_.join(QLatin1Char('/')));
}

void SegmentedControl::setCurrentIndex(int index) {
    if (index < 0 || index >= count() || index == current_)
        return;
    current_ = index;
    update();
}

void SegmentedControl::setSegmentEnabled(int index, bool enabled) {
    if (index < 0 || index >= count() || enabled_[index] == enabled)
        return;
    enabled_[index] = enabled;
    update();
}

bool SegmentedControl::isSegmentEnabled(int index) const {
    return index >= 0 && index < count() && enabled_[index];
}

QRect SegmentedControl::segmentRect(int index) const {
    if (count() == 0)
        return {};
    const QRect inner = rect().adjusted(kInset, kInset, -kInset, -kInset);
    const int left = inner.left() + inner.width() * index / count();
    const int right = inner.left() + inner.width() * (index + 1) / count();
    return QRect(left, inner.top(), right - left, inner.height());
}

QSize SegmentedControl::sizeHint() const {
    int widest = 0;
    for (const QString& label : labels_)
        widest = std::max(widest, fontMetrics().horizontalAdvance(label));
    return {(widest + 2 * kPadding) * std::max(count(), 1) + 2 * kInset, kHeight};
}

QSize SegmentedControl::minimumSizeHint() const {
    return sizeHint();
}

void SegmentedControl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const bool dark = pal.color(QPalette::Window).lightness() < 128;

    QColor track = pal.color(QPalette::WindowText);
    track.setAlphaF(dark ? 0.14 : 0.08);
    const QRectF outer = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(track);
    p.drawRoundedRect(outer, 7, 7);

    for (int i = 0; i < count(); ++i) {
        const QRect r = segmentRect(i);
        const bool selected = i == current_;
        if (selected) {
            QColor knob = dark ? QColor(0x63, 0x63, 0x66) : QColor(Qt::white);
            p.setBrush(knob);
            QColor edge = pal.color(QPalette::WindowText);
            edge.setAlphaF(0.12);
            p.setPen(QPen(edge, 0.5));
            p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 5.5, 5.5);
            if (hasFocus()) {
                QColor ring = pal.color(QPalette::Highlight);
                p.setPen(QPen(ring, 1.5));
                p.setBrush(Qt::NoBrush);
                p.drawRoundedRect(QRectF(r).adjusted(1, 1, -1, -1), 5, 5);
            }
        } else if (i > 0 && i - 1 != current_) {
            QColor divider = pal.color(QPalette::WindowText);
            divider.setAlphaF(0.18);
            p.setPen(QPen(divider, 1));
            p.drawLine(QPointF(r.left(), r.top() + 5), QPointF(r.left(), r.bottom() - 5));
        }
        QColor text = pal.color(QPalette::WindowText);
        if (!enabled_[i] || !isEnabled())
            text.setAlphaF(0.35);
        QFont f = font();
        f.setWeight(selected ? QFont::DemiBold : QFont::Normal);
        p.setFont(f);
        p.setPen(text);
        p.drawText(r, Qt::AlignCenter, labels_[i]);
    }
}

void SegmentedControl::mousePressEvent(QMouseEvent* event) {
    for (int i = 0; i < count(); ++i) {
        if (segmentRect(i).contains(event->position().toPoint())) {
            pick(i);
            return;
        }
    }
}

void SegmentedControl::keyPressEvent(QKeyEvent* event) {
    int step = 0;
    if (event->key() == Qt::Key_Left)
        step = layoutDirection() == Qt::RightToLeft ? 1 : -1;
    else if (event->key() == Qt::Key_Right)
        step = layoutDirection() == Qt::RightToLeft ? -1 : 1;
    if (step == 0) {
        QWidget::keyPressEvent(event);
        return;
    }
    for (int i = current_ + step; i >= 0 && i < count(); i += step) {
        if (enabled_[i]) {
            pick(i);
            break;
        }
    }
}

void SegmentedControl::pick(int index) {
    if (!isEnabled() || !isSegmentEnabled(index) || index == current_)
        return;
    current_ = index;
    update();
    emit activated(index);
}

} // namespace larkhold
