#include "DesignParts.h"

#include "Symbols.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPen>

namespace larkhold {

// ---- shadows ----

ShadowHost::ShadowHost(QWidget* parent) : QWidget(parent) {}

void ShadowHost::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QList<QWidget*> children = findChildren<QWidget*>();
    for (QWidget* child : children) {
        const auto* caster = dynamic_cast<const ShadowCaster*>(child);
        if (!caster || !child->isVisibleTo(this))
            continue;
        const std::optional<ShadowLook> shadow = caster->shadowLook();
        if (!shadow)
            continue;
        const QPainterPath shape = caster->shadowShape().translated(child->mapTo(this, QPoint(0, 0)));
        Theme::paintShadow(painter, shape, shadow->color, shadow->blur, shadow->offset);
    }
}

// ---- pills ----

QPainterPath pillPath(const QRectF& rect, const PillLook& look) {
    return look.radius < 0 ? Theme::capsule(rect) : Theme::roundedRect(rect, look.radius);
}

void paintPill(QPainter& painter, const QRectF& rect, const PillLook& look) {
    if (look.fill.isValid() && look.fill.alpha() > 0)
        painter.fillPath(pillPath(rect, look), look.fill);
    if (look.border.isValid() && look.border.alpha() > 0 && look.borderWidth > 0) {
        // An inner border: the line lies wholly inside the outline.
        const qreal half = look.borderWidth / 2;
        PillLook inner = look;
        if (inner.radius >= 0)
            inner.radius = std::max<qreal>(0, look.radius - half);
        QPen pen(look.border, look.borderWidth);
        if (look.dashed) {
            pen.setCapStyle(Qt::FlatCap);
            pen.setJoinStyle(Qt::MiterJoin);
            // Dash lengths are in units of the line width.
            pen.setDashPattern({6.0 / look.borderWidth, 5.0 / look.borderWidth});
        }
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(pillPath(rect.adjusted(half, half, -half, -half), inner));
    }
}

// ---- surface ----

Surface::Surface(PillLook look, QWidget* parent) : QFrame(parent), look_(std::move(look)) {}

void Surface::setLook(const PillLook& look) {
    look_ = look;
    update();
}

void Surface::setShadow(std::optional<ShadowLook> shadow) {
    shadow_ = std::move(shadow);
    if (parentWidget())
        parentWidget()->update();
}

QPainterPath Surface::shadowShape() const {
    return pillPath(QRectF(rect()), look_);
}

void Surface::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paintPill(painter, QRectF(rect()), look_);
}

// ---- chip ----

DesignChip::DesignChip(const QString& text, const QFont& font, const QColor& textColor, PillLook look, int padH,
                       int padV, QWidget* parent)
    : QLabel(text, parent), textColor_(textColor), look_(std::move(look)) {
    setTextFormat(Qt::PlainText);
    setFont(font);
    setContentsMargins(padH, padV, padH, padV);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void DesignChip::setColors(const QColor& textColor, const PillLook& look) {
    textColor_ = textColor;
    look_ = look;
    update();
}

void DesignChip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paintPill(painter, QRectF(rect()), look_);
    painter.setPen(textColor_);
    painter.setFont(font());
    painter.drawText(contentsRect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

// ---- button ----

DesignButton::DesignButton(const QString& text, Look look, QWidget* parent) : QPushButton(text, parent) {
    setFlat(true);
    setCursor(Qt::ArrowCursor);
    setLook(std::move(look));
}

void DesignButton::setLook(const Look& look) {
    look_ = look;
    setFont(look_.font);
    setSizePolicy(look_.stretch ? QSizePolicy::Expanding : QSizePolicy::Fixed, QSizePolicy::Fixed);
    updateGeometry();
    update();
}

int DesignButton::leadWidth() const {
    int width = 0;
    if (!look_.symbol.isEmpty())
        width = look_.symbolPx;
    else if (!look_.glyph.isEmpty())
        width = QFontMetrics(look_.glyphFont).horizontalAdvance(look_.glyph);
    if (width > 0 && !text().isEmpty())
        width += look_.gap;
    return width;
}

QSize DesignButton::sizeHint() const {
    const QFontMetrics fm(font());
    int height = fm.height();
    if (!look_.symbol.isEmpty())
        height = std::max(height, look_.symbolPx);
    if (!look_.glyph.isEmpty())
        height = std::max(height, QFontMetrics(look_.glyphFont).height());
    return {fm.horizontalAdvance(text()) + leadWidth() + 2 * look_.padH, height + 2 * look_.padV};
}

QSize DesignButton::minimumSizeHint() const {
    return sizeHint();
}

std::optional<ShadowLook> DesignButton::shadowLook() const {
    return look_.shadow;
}

QPainterPath DesignButton::shadowShape() const {
    return pillPath(QRectF(rect()), look_.pill);
}

void DesignButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    qreal opacity = isDown() ? 0.7 : 1.0;
    if (!isEnabled())
        opacity *= look_.disabledOpacity;
    painter.setOpacity(opacity);
    paintPill(painter, QRectF(rect()), look_.pill);

    const QFontMetrics fm(font());
    const int textWidth = fm.horizontalAdvance(text());
    qreal x = (width() - (textWidth + leadWidth())) / 2.0;
    if (!look_.symbol.isEmpty()) {
        const QPixmap glyph = Symbols::pixmap(look_.symbol, look_.symbolPx, look_.text, devicePixelRatioF());
        painter.drawPixmap(QRectF(x, (height() - look_.symbolPx) / 2.0, look_.symbolPx, look_.symbolPx), glyph,
                           QRectF(glyph.rect()));
        x += leadWidth();
    } else if (!look_.glyph.isEmpty()) {
        painter.setPen(look_.text);
        painter.setFont(look_.glyphFont);
        const int glyphWidth = QFontMetrics(look_.glyphFont).horizontalAdvance(look_.glyph);
        painter.drawText(QRectF(x, 0, glyphWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, look_.glyph);
        x += leadWidth();
    }
    painter.setPen(look_.text);
    painter.setFont(font());
    painter.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                     text());
}

// ---- labels and symbols ----

void setLabelColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

ThemeLabel* designLabel(const QString& text, const QFont& font, const QColor& color, Qt::TextElideMode elide,
                        QWidget* parent) {
    auto* label = new ThemeLabel(text, parent);
    label->setFont(font);
    setLabelColor(label, color);
    if (elide != Qt::ElideNone)
        label->setElideMode(elide);
    return label;
}

SymbolView::SymbolView(const QString& symbol, int pixelSize, const QColor& color, QWidget* parent)
    : QWidget(parent), symbol_(symbol), px_(pixelSize), color_(color) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SymbolView::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    update();
}

void SymbolView::setColor(const QColor& color) {
    color_ = color;
    update();
}

QSize SymbolView::sizeHint() const {
    return {px_, px_};
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap glyph = Symbols::pixmap(symbol_, px_, color_, devicePixelRatioF());
    const QRectF target((width() - px_) / 2.0, (height() - px_) / 2.0, px_, px_);
    painter.drawPixmap(target, glyph, QRectF(glyph.rect()));
}

} // namespace larkhold
