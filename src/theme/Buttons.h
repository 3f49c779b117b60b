#pragma once

#include "Look.h"

#include <QFont>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include "Tween.h"

class QPainter;
class QMouseEvent;

namespace larkhold {

// Shared by the two button styles: a capsule button that paints itself, shrinks to 0.97 while held
// and keeps its whole label on one line.
class CapsuleButton : public QPushButton {
    Q_OBJECT

public:
    // An optional symbol before the text; a symbol alone makes an icon button.
    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    // Draws a pull-down arrow at the trailing end; a click there opens `menu`, a click elsewhere
    // is the primary action (clicked()).
    void setPullDownMenu(QMenu* menu);
    QMenu* pullDownMenu() const { return pullDown_; }
    // Whether the capsule is filled with a colour, on which the focus ring needs a line of its own.
    virtual bool filled() const { return false; }
    // 0 at rest, 1 fully pressed; follows the press animation.
    qreal pressProgress() const { return press_; }
    // The size of a label drawn whole: the button never goes below it.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Where a click opens the pull-down menu.
    QRect pullDownArea() const;
    // Symbol size in pixels (font-relative by default).
    void setSymbolPixelSize(int px);
    // Opacity of the whole button for the current press state.
    virtual qreal contentOpacity() const { return 1.0; }

protected:
    CapsuleButton(const QString& text, int horizontalPadding, QFont font, QWidget* parent);

    // The capsule's fill; `pressed` follows pressProgress().
    virtual void paintBackground(QPainter& painter, const QRectF& capsule) = 0;
    virtual QColor labelColor() const = 0;

    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    void animatePress(bool down);
    int arrowWidth() const;

    QString symbol_;
    int symbolPx_ = 0;
    int hPad_;
    QPointer<QMenu> pullDown_;
    qreal press_ = 0;
    Tween pressAnimation_;
};

// The filled call-to-action button: white semibold text on a gradient capsule; fades to 0.75 while held.
class ProminentButton : public CapsuleButton {
    Q_OBJECT

public:
    explicit ProminentButton(const QString& text, GradientKind gradient = GradientKind::accent,
                             QWidget* parent = nullptr);

    void setGradient(GradientKind gradient);
    GradientKind gradient() const { return gradient_; }
    qreal contentOpacity() const override;
    bool filled() const override { return true; }

protected:
    void paintBackground(QPainter& painter, const QRectF& capsule) override;
    QColor labelColor() const override;

private:
    GradientKind gradient_;
};

// The secondary button: text in the surrounding colour on a faint capsule that darkens while held.
class QuietButton : public CapsuleButton {
    Q_OBJECT

public:
    explicit QuietButton(const QString& text, QWidget* parent = nullptr);

    // The capsule's fill opacity over the quaternary fill: 0.6 at rest, 1 pressed.
    qreal fillOpacity() const;

protected:
    void paintBackground(QPainter& painter, const QRectF& capsule) override;
    QColor labelColor() const override;
};

} // namespace larkhold
