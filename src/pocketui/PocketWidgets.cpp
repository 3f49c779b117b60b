#include "PocketWidgets.h"

#include "Theme.h"

#include <QPainter>

namespace larkhold {

Band::Band(std::function<QColor(const QPalette&)> color, QWidget* parent) : QWidget(parent), color_(std::move(color)) {}

void Band::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), color_(palette()));
}

SymbolIcon::SymbolIcon(const QString& symbol, int size, std::function<QColor(const QPalette&)> color, QWidget* parent)
    : QWidget(parent), symbol_(symbol), size_(size), color_(std::move(color)) {
    setFixedSize(size, size);
}

void SymbolIcon::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, Symbols::pixmap(symbol_, size_, color_(palette()), devicePixelRatioF()));
}

QWidget* divider(QWidget* parent) {
    auto* line = new Band([](const QPalette& p) { return Theme::withAlpha(Theme::primary(p), 0.12); }, parent);
    line->setFixedHeight(1);
    return line;
}

} // namespace larkhold
