#include "Labels.h"

#include "Symbols.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace larkhold {

namespace {
QColor toneColor(ThemeLabel::Tone tone, const QPalette& pal) {
    switch (tone) {
    case ThemeLabel::Tone::primary:
        return Theme::primary(pal);
    case ThemeLabel::Tone::secondary:
        return Theme::secondary(pal);
    case ThemeLabel::Tone::green:
        return Theme::systemGreen(pal);
    case ThemeLabel::Tone::orange:
        return Theme::systemOrange(pal);
    case ThemeLabel::Tone::white:
        return Qt::white;
    }
    return Theme::primary(pal);
}
} // namespace

ThemeLabel::ThemeLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
}

void ThemeLabel::setTone(Tone tone) {
    tone_ = tone;
    update();
}

void ThemeLabel::setElideMode(Qt::TextElideMode mode) {
    elideMode_ = mode;
    if (mode != Qt::ElideNone)
        setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
    updateGeometry();
    update();
}

bool ThemeLabel::event(QEvent* event) {
    // A text cut short is shown whole where the pointer rests on it.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty() && elideMode_ != Qt::ElideNone) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (isElided())
            QToolTip::showText(help->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

bool ThemeLabel::isElided() const {
    if (wordWrap())
        return false;
    const QFontMetrics fm(font());
    const int available = contentsRect().width();
    for (const QString& line : text().split(QLatin1Char('\n'))) {
        if (fm.horizontalAdvance(line) > available)
            return true;
    }
    return false;
}

QSize ThemeLabel::sizeHint() const {
    return QLabel::sizeHint();
}

QSize ThemeLabel::minimumSizeHint() const {
    if (elideMode_ == Qt::ElideNone)
        return QLabel::minimumSizeHint();
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(QStringLiteral("W…W")), QLabel::minimumSizeHint().height()};
}

void ThemeLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange)
        update();
}

void ThemeLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    QColor color = toneColor(tone_, pal);
    if (!isEnabled())
        color = Theme::withAlpha(color, 0.45);
    painter.setPen(color);
    painter.setFont(font());
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const Qt::Alignment align = alignment();
    if (elideMode_ != Qt::ElideNone && !wordWrap()) {
        const QString shown = fontMetrics().elidedText(text(), elideMode_, area.width());
        painter.drawText(area, int(align | Qt::TextSingleLine), shown);
    } else {
        painter.drawText(area, int(align) | (wordWrap() ? Qt::TextWordWrap : 0), text());
    }
}

// ---- SymbolView ----

SymbolView::SymbolView(const QString& symbol, int pixelSize, ThemeLabel::Tone tone, QWidget* parent)
    : QWidget(parent), symbol_(symbol), px_(pixelSize), tone_(tone) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
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
    const QColor color = color_ ? *color_ : toneColor(tone_, palette());
    const QPixmap glyph = Symbols::pixmap(symbol_, px_, color, devicePixelRatioF());
    const QRectF target(QRectF(rect()).center() - QPointF(px_ / 2.0, px_ / 2.0), QSizeF(px_, px_));
    painter.drawPixmap(target, glyph, QRectF(glyph.rect()));
}

} // namespace larkhold
