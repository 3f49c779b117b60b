#pragma once

// Painted pieces the Native Pro, Night Watch and Soft Focus designs build their screens from: each
// design gives them its own fixed colours and sizes. Surfaces and buttons that cast a shadow leave
// the painting of it to the ShadowHost they sit in, so that a shadow never needs room inside the
// widget that casts it and spacing stays what the design gives.

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QList>
#include <QPainterPath>
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

// A vault's name followed by its chips, each chip at its whole width. Short of room, the name is
// cut first (down to a few letters); then the chips that still do not fit are left out from the
// end rather than pushing the window wider, and the row's tooltip names them.
class ChipRow : public QWidget {
    Q_OBJECT

public:
    // `lead` (the name label, optional) is put first; the row takes ownership.
    explicit ChipRow(int spacing, QLabel* lead = nullptr, QWidget* parent = nullptr);

    // Replaces the chips; the row takes ownership.
    void setChips(const QList<DesignChip*>& chips);
    const QList<DesignChip*>& chips() const { return chips_; }
    QStringList texts() const;
    // The chips shown at the current width.
    QStringList shownTexts() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void place();
    int leadMinimum() const;

    int spacing_;
    QLabel* lead_;
    QList<DesignChip*> chips_;
};

} // namespace larkhold
