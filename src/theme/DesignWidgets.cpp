#include "DesignWidgets.h"

#include "Symbols.h"

#include <QLayout>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QScrollBar>

namespace larkhold {

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

    // Where the keyboard is, for those who move it with Tab.
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        painter.setOpacity(1.0);
        painter.setPen(QPen(Theme::withAlpha(look_.text, 0.6), 1.5));
        painter.setBrush(Qt::NoBrush);
        PillLook ring = look_.pill;
        ring.radius = ring.radius < 0 ? -1 : std::max<qreal>(ring.radius, 4);
        painter.drawPath(pillPath(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), ring));
    }
}

// ---- labels and symbols ----

void setLabelColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

ThemeLabel* toneLabel(const QString& text, const QFont& font, ThemeLabel::Tone tone, QWidget* parent) {
    auto* label = new ThemeLabel(text, parent);
    label->setFont(font);
    label->setTone(tone);
    return label;
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

// ---- glowing ring ----

GlowRing::GlowRing(qreal size, qreal thickness, QWidget* parent)
    : RingGauge(0, size, thickness, QColor(), QColor(), false, parent), ringThickness_(thickness) {}

void GlowRing::setGlow(std::optional<ShadowLook> glow) {
    glow_ = std::move(glow);
    if (parentWidget())
        parentWidget()->update();
}

QPainterPath GlowRing::shadowShape() const {
    // The ring's stroke: an annulus of the gauge's thickness around its circle.
    const QPointF c = QRectF(rect()).center();
    const qreal outer = diameter() / 2 + ringThickness_ / 2;
    const qreal inner = std::max<qreal>(0, diameter() / 2 - ringThickness_ / 2);
    QPainterPath path;
    path.addEllipse(c, outer, outer);
    path.addEllipse(c, inner, inner);
    path.setFillRule(Qt::OddEvenFill);
    return path;
}

// ---- rule ----

Rule::Rule(Qt::Orientation orientation, qreal opacity, QWidget* parent)
    : QWidget(parent), orientation_(orientation), opacity_(opacity) {
    if (orientation == Qt::Horizontal) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    } else {
        setFixedWidth(1);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    }
}

void Rule::setColor(const QColor& color) {
    color_ = color;
    update();
}

QSize Rule::sizeHint() const {
    return orientation_ == Qt::Horizontal ? QSize(1, 1) : QSize(1, 1);
}

void Rule::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // The desktop's separator: a faint line of the text colour.
    const QColor line = color_.isValid() ? color_ : Theme::withAlpha(Theme::primary(palette()), 0.12);
    painter.setOpacity(opacity_);
    painter.fillRect(rect(), line);
}

QScrollArea* designScrollArea(const QColor& handle, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setAutoFillBackground(false);
    area->viewport()->setAutoFillBackground(false);
    // The desktop style's scroll bar is drawn for its own window colour; over a design's own
    // background a slim handle in the design's colour reads better in light and dark alike.
    const QString rgba = QStringLiteral("rgba(%1, %2, %3, %4)")
                             .arg(handle.red())
                             .arg(handle.green())
                             .arg(handle.blue())
                             .arg(handle.alphaF(), 0, 'f', 2);
    area->verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 10px; margin: 2px 2px 2px 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 28px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(rgba));
    return area;
}

void setScrollContent(QScrollArea* area, QWidget* content) {
    area->setWidget(content);
    // setWidget() makes the content paint the window colour; the design's background must show.
    content->setAutoFillBackground(false);
}

void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget())
            delete widget;
        else if (QLayout* inner = item->layout())
            clearLayout(inner);
        delete item;
    }
}

} // namespace larkhold
