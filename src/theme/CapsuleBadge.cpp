#include "CapsuleBadge.h"

#include <QPainter>

namespace larkhold {

CapsuleBadge::CapsuleBadge(const QString& text, GradientKind gradient, QWidget* parent)
    : QWidget(parent), text_(text), gradient_(gradient) {
    setFont(Theme::font(9, QFont::Bold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CapsuleBadge::setGradient(GradientKind gradient) {
    gradient_ = gradient;
    update();
}

QSize CapsuleBadge::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text_) + 12, fm.height() + 4};
}

void CapsuleBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect());
    painter.fillPath(Theme::capsule(area), Theme::gradient(gradient_, area));
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, text_);
}

} // namespace larkhold
