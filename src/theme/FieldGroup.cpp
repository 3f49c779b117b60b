#include "FieldGroup.h"

#include "Look.h"

#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QVBoxLayout>

namespace larkhold {

FieldGroup::FieldGroup(QWidget* parent) : QFrame(parent) {
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(14, 14, 14, 14);
    layout_->setSpacing(12);
    layout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void FieldGroup::addRow(QWidget* row) {
    layout_->addWidget(row);
}
void FieldGroup::addRow(QLayout* row) {
    layout_->addLayout(row);
}

void FieldGroup::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath shape = Theme::roundedRect(area, 12);
    painter.fillPath(shape, Theme::withAlpha(Theme::controlBackground(palette()), 0.6));
    painter.setPen(QPen(Theme::withAlpha(Theme::primary(palette()), 0.07), 1));
    painter.drawPath(shape);
}

} // namespace larkhold
