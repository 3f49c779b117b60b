#include "PocketWidgets.h"

#include "Theme.h"

#include <QPainter>

namespace larkhold {

Band::Band(std::function<QColor(const QPalette&)> color, QWidget* parent) : QWidget(parent), color_(std::move(color)) {}

void Band::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), color_(palette()));
}

} // namespace larkhold
