#pragma once

// More of the designs' painted pieces: their buttons, labels, glowing ring, rules and scroll areas.

#include "Labels.h"
#include "RingGauge.h"
#include "Surfaces.h"

#include <QPushButton>
#include <QScrollArea>

namespace larkhold {

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
// A label in one of the kit's tones, which follow the light or dark palette.
ThemeLabel* toneLabel(const QString& text, const QFont& font, ThemeLabel::Tone tone, QWidget* parent = nullptr);

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

// A scroll area that lets the design's background show through, with a slim scroll bar whose
// handle is drawn in `handle`.
QScrollArea* designScrollArea(const QColor& handle, QWidget* parent = nullptr);
// Puts `content` in the scroll area, keeping it see-through.
void setScrollContent(QScrollArea* area, QWidget* content);

// Removes and deletes every item of a layout (the chips of a row rebuilt at each refresh).
void clearLayout(QLayout* layout);

} // namespace larkhold
