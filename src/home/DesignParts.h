#pragma once

// Painted pieces the Native Pro, Night Watch and Soft Focus designs build their screens from: each
// design gives them its own fixed colours and sizes. Surfaces and buttons that cast a shadow leave
// the painting of it to the ShadowHost they sit in, so that a shadow never needs room inside the
// widget that casts it and spacing stays what the design gives.

#include "Theme.h"

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPainterPath>
#include <QPushButton>
#include <QWidget>
#include <optional>

namespace larkhold {

struct ShadowLook {
    QColor color; // with its opacity
    qreal blur = 0;
    QPointF offset;
};

// What casts a shadow onto its ShadowHost.
class ShadowCaster {
public:
    virtual ~ShadowCaster() = default;
    virtual std::optional<ShadowLook> shadowLook() const = 0;
    // The outline in the caster's own coordinates.
    virtual QPainterPath shadowShape() const = 0;

protected:
    ShadowCaster() = default;
    ShadowCaster(const ShadowCaster&) = default;
    ShadowCaster& operator=(const ShadowCaster&) = default;
};

// Paints, behind its children, the shadows of the visible ShadowCasters inside it whose nearest
// host it is (a host inside a host paints its own).
class ShadowHost : public QWidget {
    Q_OBJECT

public:
    explicit ShadowHost(QWidget* parent = nullptr);

    // For any widget that hosts shadows: marks it, and paints its casters' shadows.
    static void markAsHost(QWidget* host);
    static void paintShadows(QWidget* host, QPainter& painter);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// How a pill, chip, button or surface is drawn. An invalid colour draws nothing.
struct PillLook {
    QColor fill;
    QColor border;
    qreal borderWidth = 1;
    // Below zero: a capsule (radius half the height).
    qreal radius = -1;
    bool dashed = false; // 6 on, 5 off
};

// The outline of a pill in `rect`, and the painting of its fill and inner border.
QPainterPath pillPath(const QRectF& rect, const PillLook& look);
void paintPill(QPainter& painter, const QRectF& rect, const PillLook& look);

// A rounded surface that holds a layout: cards, panels, the search field's well. It hosts the
// shadows of what it holds (a glowing ring on a card).
class Surface : public QFrame, public ShadowCaster {
    Q_OBJECT

public:
    explicit Surface(PillLook look = {}, QWidget* parent = nullptr);

    void setLook(const PillLook& look);
    const PillLook& look() const { return look_; }
    void setShadow(std::optional<ShadowLook> shadow);

    std::optional<ShadowLook> shadowLook() const override { return shadow_; }
    QPainterPath shadowShape() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    PillLook look_;
    std::optional<ShadowLook> shadow_;
};

// A text on a pill that always shows whole (chips, footer chips, the shortcut hint).
class DesignChip : public QLabel {
    Q_OBJECT

public:
    DesignChip(const QString& text, const QFont& font, const QColor& textColor, PillLook look, int padH, int padV,
               QWidget* parent = nullptr);

    QColor textColor() const { return textColor_; }
    void setColors(const QColor& textColor, const PillLook& look);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor textColor_;
    PillLook look_;
};

// A plain-style button that draws its own look: an optional leading symbol or glyph, the title, a
// pill behind them, and optionally a shadow. It keeps its whole label on one line; a stretching
// button takes the width it is given and centres its label. Fades while held and when disabled.
class DesignButton : public QPushButton, public ShadowCaster {
    Q_OBJECT

public:
    struct Look {
        QFont font;
        QColor text;
        PillLook pill;
        int padH = 0;
        int padV = 0;
        QString symbol; // a symbol name before the title
        int symbolPx = 0;
        QString glyph; // or a text before the title, in its own font
        QFont glyphFont;
        int gap = 8;
        std::optional<ShadowLook> shadow;
        bool stretch = false;
        qreal disabledOpacity = 0.4;
    };

    DesignButton(const QString& text, Look look, QWidget* parent = nullptr);

    void setLook(const Look& look);
    const Look& look() const { return look_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    std::optional<ShadowLook> shadowLook() const override;
    QPainterPath shadowShape() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int leadWidth() const;

    Look look_;
};

// A label in a fixed colour of a design: one line, cut at the end (or wherever `elide` says) only
// when it may be.
ThemeLabel* designLabel(const QString& text, const QFont& font, const QColor& color,
                        Qt::TextElideMode elide = Qt::ElideNone, QWidget* parent = nullptr);
// Gives a label a fixed colour.
void setLabelColor(QLabel* label, const QColor& color);

// A widget that shows `symbol` in one colour at a pixel size.
class TintedSymbol : public QWidget {
    Q_OBJECT

public:
    TintedSymbol(const QString& symbol, int pixelSize, const QColor& color, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);
    void setColor(const QColor& color);
    QString symbol() const { return symbol_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int px_;
    QColor color_;
};

// A ring gauge with a soft glow of a colour around its ring.
class GlowRing : public RingGauge, public ShadowCaster {
    Q_OBJECT

public:
    GlowRing(qreal size, qreal thickness, QWidget* parent = nullptr);

    void setGlow(std::optional<ShadowLook> glow);
    std::optional<ShadowLook> shadowLook() const override { return glow_; }
    QPainterPath shadowShape() const override;

private:
    qreal ringThickness_;
    std::optional<ShadowLook> glow_;
};

// A hairline divider, horizontal or vertical, in the desktop's separator colour.
class Rule : public QWidget {
    Q_OBJECT

public:
    explicit Rule(Qt::Orientation orientation, qreal opacity = 1.0, QWidget* parent = nullptr);
    // A fixed colour in place of the separator colour.
    void setColor(const QColor& color);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::Orientation orientation_;
    qreal opacity_;
    QColor color_;
};

// Removes and deletes every item of a layout (the chips of a row rebuilt at each refresh).
void clearLayout(QLayout* layout);

} // namespace larkhold
