#include "Buttons.h"

#include "Symbols.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPen>

namespace larkhold {

namespace {
constexpr int kVerticalPadding = 7;
constexpr int kSymbolGap = 5;
constexpr int kArrowWidth = 22;
} // namespace

CapsuleButton::CapsuleButton(const QString& text, int horizontalPadding, QFont font, QWidget* parent)
    : QPushButton(text, parent), hPad_(horizontalPadding),
      pressAnimation_(this, Theme::kPressAnimationMs, Tween::Curve::easeOut, [this](qreal value) {
          press_ = value;
          update();
      }) {
    setFont(font);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::ArrowCursor);
    setAttribute(Qt::WA_Hover);
    connect(this, &QPushButton::pressed, this, [this] { animatePress(true); });
    connect(this, &QPushButton::released, this, [this] { animatePress(false); });
}

void CapsuleButton::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    updateGeometry();
    update();
}

void CapsuleButton::setSymbolPixelSize(int px) {
    symbolPx_ = px;
    updateGeometry();
    update();
}

void CapsuleButton::setPullDownMenu(QMenu* menu) {
    pullDown_ = menu;
    updateGeometry();
    update();
}

int CapsuleButton::arrowWidth() const {
    return pullDown_ ? kArrowWidth : 0;
}

QRect CapsuleButton::pullDownArea() const {
    if (!pullDown_)
        return {};
    const int w = arrowWidth() + hPad_ / 2;
    return {width() - w, 0, w, height()};
}

QSize CapsuleButton::sizeHint() const {
    const QFontMetrics fm(font());
    const int symbolPx = symbolPx_ > 0 ? symbolPx_ : fm.height() - 2;
    int content = fm.horizontalAdvance(text());
    if (!symbol_.isEmpty())
        content += symbolPx + (text().isEmpty() ? 0 : kSymbolGap);
    int w = content + 2 * hPad_ + arrowWidth();
    int h = qMax(fm.height(), symbolPx) + 2 * kVerticalPadding;
    if (text().isEmpty())
        w = qMax(w, h); // an icon button is at least round
    return {w, h};
}

QSize CapsuleButton::minimumSizeHint() const {
    return sizeHint();
}

void CapsuleButton::animatePress(bool down) {
    pressAnimation_.stop();
    if (!isVisible()) {
        press_ = down ? 1.0 : 0.0;
        return;
    }
    pressAnimation_.run(press_, down ? 1.0 : 0.0);
}

void CapsuleButton::mousePressEvent(QMouseEvent* event) {
    if (pullDown_ && event->button() == Qt::LeftButton && pullDownArea().contains(event->position().toPoint())) {
        pullDown_->popup(mapToGlobal(QPoint(0, height() + 2)));
        event->accept();
        return;
    }
    QPushButton::mousePressEvent(event);
}

bool CapsuleButton::hitButton(const QPoint& pos) const {
    if (pullDown_ && pullDownArea().contains(pos))
        return false;
    return rect().contains(pos);
}

void CapsuleButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateGeometry();
}

void CapsuleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    qreal opacity = contentOpacity();
    if (!isEnabled())
        opacity *= 0.5;
    painter.setOpacity(opacity);

    // Shrinks to 0.97 about the centre while held.
    const qreal scale = 1.0 - 0.03 * press_;
    const QPointF c = QRectF(rect()).center();
    painter.translate(c);
    painter.scale(scale, scale);
    painter.translate(-c);

    const QRectF capsuleRect = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    paintBackground(painter, capsuleRect);

    const QColor ink = labelColor();
    const QFontMetrics fm(font());
    const int symbolPx = symbolPx_ > 0 ? symbolPx_ : fm.height() - 2;
    const int textWidth = fm.horizontalAdvance(text());
    const int contentWidth = textWidth + (symbol_.isEmpty() ? 0 : symbolPx + (text().isEmpty() ? 0 : kSymbolGap));
    const qreal labelArea = width() - arrowWidth();
    qreal x = (labelArea - contentWidth) / 2.0;
    if (pullDown_)
        x = hPad_;
    if (!symbol_.isEmpty()) {
        const QPixmap glyph = Symbols::pixmap(symbol_, symbolPx, ink, devicePixelRatioF());
        const QRectF glyphRect(x, (height() - symbolPx) / 2.0, symbolPx, symbolPx);
        painter.drawPixmap(glyphRect, glyph, QRectF(glyph.rect()));
        x += symbolPx + kSymbolGap;
    }
    if (!text().isEmpty()) {
        painter.setPen(ink);
        painter.setFont(font());
        painter.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                         text());
    }
    if (pullDown_) {
        const qreal ax = width() - arrowWidth() - hPad_ / 4.0;
        painter.setPen(QPen(Theme::withAlpha(ink, 0.35), 1));
        painter.drawLine(QPointF(ax, 6), QPointF(ax, height() - 6));
        const int arrowPx = 10;
        const QPixmap arrow = Symbols::pixmap(QStringLiteral("chevron.down"), arrowPx, ink, devicePixelRatioF());
        const qreal arrowLeft = ax + (width() - ax - arrowPx) / 2.0 - 1;
        painter.drawPixmap(QRectF(arrowLeft, (height() - arrowPx) / 2.0, arrowPx, arrowPx), arrow,
                           QRectF(arrow.rect()));
    }
    // A focus ring only for keyboard focus, as the desktop draws it.
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        painter.setOpacity(1.0);
        QPen ring(Theme::withAlpha(palette().color(QPalette::Highlight), 0.55), 2);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(Theme::capsule(QRectF(rect()).adjusted(1, 1, -1, -1)));
        // The highlight colour all but vanishes on a filled capsule: a white line inside the edge shows it.
        if (filled()) {
            painter.setPen(QPen(QColor(255, 255, 255, 235), 2));
            painter.drawPath(Theme::capsule(QRectF(rect()).adjusted(3.5, 3.5, -3.5, -3.5)));
        }
    }
}

// ---- ProminentButton ----

ProminentButton::ProminentButton(const QString& text, GradientKind gradient, QWidget* parent)
    : CapsuleButton(text, 16, Theme::font(13, QFont::DemiBold), parent), gradient_(gradient) {
    setAutoDefault(false);
}

void ProminentButton::setGradient(GradientKind gradient) {
    gradient_ = gradient;
    update();
}

void ProminentButton::paintBackground(QPainter& painter, const QRectF& capsule) {
    painter.fillPath(Theme::capsule(capsule), Theme::gradient(gradient_, capsule));
}

QColor ProminentButton::labelColor() const {
    return Qt::white;
}

qreal ProminentButton::contentOpacity() const {
    return 1.0 - 0.25 * pressProgress();
}

// ---- QuietButton ----

QuietButton::QuietButton(const QString& text, QWidget* parent)
    : CapsuleButton(text, 14, Theme::font(13, QFont::Medium), parent) {
    setAutoDefault(false);
}

qreal QuietButton::fillOpacity() const {
    return 0.6 + 0.4 * pressProgress();
}

void QuietButton::paintBackground(QPainter& painter, const QRectF& capsule) {
    painter.fillPath(Theme::capsule(capsule), Theme::withAlpha(Theme::quaternaryFill(palette()), fillOpacity()));
}

QColor QuietButton::labelColor() const {
    return Theme::primary(palette());
}

} // namespace larkhold
