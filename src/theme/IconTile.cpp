#include "IconTile.h"

#include "Symbols.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cmath>

namespace larkhold {

namespace {
// Room around a tile for its shadow (blur 3, one pixel down).
constexpr int kTileShadowPad = 4;
} // namespace

IconTile::IconTile(const QString& symbol, GradientKind gradient, qreal size, QWidget* parent)
    : QWidget(parent), symbol_(symbol), gradient_(gradient), size_(size) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
}

void IconTile::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    update();
}

void IconTile::setGradient(GradientKind gradient) {
    gradient_ = gradient;
    update();
}

int IconTile::sideFor(qreal size) {
    return int(std::ceil(size)) + 2 * kTileShadowPad;
}

QSize IconTile::sizeHint() const {
    const int side = sideFor(size_);
    return {side, side};
}

void IconTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF tile(QRectF(rect()).center() - QPointF(size_ / 2, size_ / 2), QSizeF(size_, size_));
    const QPainterPath shape = Theme::roundedRect(tile, cornerRadius());
    Theme::paintShadow(painter, shape, QColor(0, 0, 0, 46), 3, QPointF(0, 1));
    painter.fillPath(shape, Theme::gradient(gradient_, tile));
    const int px = qRound(symbolSize());
    const QPixmap glyph = Symbols::pixmap(symbol_, px, Qt::white, devicePixelRatioF());
    const QRectF glyphRect(tile.center() - QPointF(px / 2.0, px / 2.0), QSizeF(px, px));
    painter.drawPixmap(glyphRect, glyph, QRectF(glyph.rect()));
}

// ---- AppIconImage ----

AppIconImage::AppIconImage(qreal size, QWidget* parent) : QWidget(parent), size_(size) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
}

QIcon AppIconImage::applicationIcon() {
    const QIcon window = QApplication::windowIcon();
    if (!window.isNull() && !window.availableSizes().isEmpty())
        return window;
    Symbols::loadBundledResources();
    return QIcon(QStringLiteral(":/larkhold/larkhold.svg"));
}

QSize AppIconImage::sizeHint() const {
    // Room for the shadow's blur below and beside the icon.
    const int pad = int(std::ceil(0.06 * size_)) + 2;
    const int side = int(std::ceil(size_)) + 2 * pad;
    return {side, side};
}

void AppIconImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF square(QRectF(rect()).center() - QPointF(size_ / 2, size_ / 2), QSizeF(size_, size_));
    const qreal dpr = devicePixelRatioF();
    const QPixmap image = applicationIcon().pixmap(QSize(qRound(size_), qRound(size_)), dpr);
    if (image.isNull())
        return;
    // Fit, aspect ratio kept.
    QSizeF drawn = image.deviceIndependentSize();
    drawn.scale(square.size(), Qt::KeepAspectRatio);
    const QRectF target(square.center() - QPointF(drawn.width() / 2, drawn.height() / 2), drawn);
    // The shadow follows the icon's own outline: its alpha, blurred.
    QImage alpha = image.toImage().convertToFormat(QImage::Format_ARGB32);
    QPainterPath outline;
    outline.addRoundedRect(
        target.adjusted(target.width() * 0.06, target.height() * 0.06, -target.width() * 0.06, -target.height() * 0.06),
        target.width() * 0.2, target.width() * 0.2);
    Theme::paintShadow(painter, outline, QColor(0, 0, 0, 51), 0.06 * size_, QPointF(0, 1));
    painter.drawPixmap(target, image, QRectF(image.rect()));
}

} // namespace larkhold
