#pragma once

// Painted pieces the Native Pro, Night Watch and Soft Focus designs build their screens from: each
// design gives them its own fixed colours and sizes. Surfaces and buttons that cast a shadow leave
// the painting of it to the ShadowHost they sit in, so that a shadow never needs room inside the
// widget that casts it and spacing stays what the design gives.

#include "HomeContext.h"
#include "HomeModels.h"
#include "Theme.h"

#include <QBoxLayout>
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QHash>
#include <QLabel>
#include <QList>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QUuid>
#include <QWidget>
#include <functional>
#include <optional>

namespace larkhold {

class Clock;

// The clock a design reads: the one given, else the wall clock.
const Clock& designClock(const Clock* given);

// What the designs read of one vault at one moment: the shared card decisions (open, busy, file
// state, used fraction, sealed, caption, controls) and the bytes used.
struct DesignVault {
    VaultCardModel model;
    qint64 usedBytes = 0;
};
DesignVault readVault(const Vault& vault, const HomeContext& context, Date now);

// Calls one vault slot of the action table, when it is set.
void act(const VaultActions::VaultAction& action, const Vault& vault);
void act(const VaultActions::Action& action);

// The auto-lock setting as the designs show it (the registered default without settings).
struct AutoLockSetting {
    bool enabled = false;
    qint64 minutes = 0;
};
AutoLockSetting autoLockSetting(const HomeContext& context);

// What a design reads again on besides the store's open, busy and size changes, the cached file
// states and the clock.
struct DesignSources {
    // The vault list; off where the design follows the list itself.
    bool vaultList = true;
    bool activity = false;
    bool autoLock = false;
};

// Calls `refresh` whenever what `design` shows may have changed: the sources above, and every 30
// seconds so that relative times and greetings age while nothing else changes.
void refreshOnChanges(QWidget* design, const HomeContext& context, DesignSources sources,
                      std::function<void()> refresh);
// Ctrl+N anywhere in the design's window starts a new vault.
void addNewVaultShortcut(QWidget* design, const HomeContext& context);

// Shows the commands for a vault's state and hides the others: the spinner while busy, Open and
// Lock while open, Locate for a missing file, else Unlock.
void showCommands(VaultCardModel::Controls controls, QWidget* progress, QWidget* open, QWidget* lock, QWidget* locate,
                  QWidget* unlock);

// Whether `vaults` holds a record of the vault `id`.
bool listsVault(const QList<Vault>& vaults, const QUuid& id);

// One widget per listed vault, kept across refreshes so that a card keeps its state: a record of an
// id already seen shows once, and the widget of a vault that left the list is deleted.
template <class W> class VaultWidgets {
public:
    // Brings the widgets in line with `vaults`, in list order in `layout` from index `first`.
    // `make(vault)` builds a missing widget; `show(widget, vault, position)` updates each.
    template <class Make, class Show>
    void sync(const QList<Vault>& vaults, QBoxLayout* layout, int first, Make make, Show show) {
        QList<QUuid> order;
        for (const Vault& vault : vaults) {
            if (!order.contains(vault.id))
                order.append(vault.id);
        }
        for (auto it = widgets_.begin(); it != widgets_.end();) {
            if (!order.contains(it.key())) {
                delete it.value();
                it = widgets_.erase(it);
            } else {
                ++it;
            }
        }
        qsizetype position = 0;
        for (const Vault& vault : vaults) {
            if (order.indexOf(vault.id) != position)
                continue;
            W* widget = widgets_.value(vault.id);
            if (!widget) {
                widget = make(vault);
                widgets_.insert(vault.id, widget);
            }
            layout->removeWidget(widget);
            layout->insertWidget(first + int(position), widget);
            show(widget, vault, position);
            ++position;
        }
        order_ = std::move(order);
    }

    W* value(const QUuid& id) const { return widgets_.value(id); }
    // In list order; with `shownOnly`, only those not hidden (a search lets the others through).
    QList<W*> inOrder(bool shownOnly) const {
        QList<W*> widgets;
        for (const QUuid& id : order_) {
            W* widget = widgets_.value(id);
            if (widget && (!shownOnly || !widget->isHidden()))
                widgets.append(widget);
        }
        return widgets;
    }

private:
    QHash<QUuid, W*> widgets_;
    QList<QUuid> order_;
};

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
