#pragma once

// The visual vocabulary every window draws with: the four home designs, five gradients, a few
// self-painting widgets and the two button styles. The widgets read their colours from their own
// palette at paint time, so a window that forces a colour scheme on itself (setPalette) gets the
// kit in that scheme, and the application's light/dark switch reaches every widget at once.

#include "ColorScheme.h"
#include "Symbols.h"

#include <QEasingCurve>
#include <QFont>
#include <QFrame>
#include <QGradientStops>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QVariantAnimation>
#include <QWidget>
#include <optional>
#include <vector>

class QMenu;
class QVBoxLayout;

namespace larkhold {

// ---- designs ----

// The home design chosen under the setting "appTheme". The order is the design picker's.
enum class AppTheme { classic, nativePro, nightWatch, softFocus };

// Exact match of a stored raw value; "Classic", "classic " or "" give nothing.
std::optional<AppTheme> appThemeFromRaw(const QString& raw);
// What the main window and the tray panel use: any text that names no design means classic.
AppTheme appThemeOrClassic(const QString& raw);
QString rawValue(AppTheme theme);
const std::vector<AppTheme>& allAppThemes();

// ---- gradients ----

enum class GradientKind { accent, unlocked, locked, warning, critical };

namespace Theme {

// Each runs from the top-left to the bottom-right corner of `rect`. The colour stops are built once
// and shared; only the end points are per call.
QLinearGradient accent(const QRectF& rect);
QLinearGradient unlocked(const QRectF& rect);
QLinearGradient locked(const QRectF& rect);
QLinearGradient warning(const QRectF& rect);
QLinearGradient critical(const QRectF& rect);
QLinearGradient gradient(GradientKind kind, const QRectF& rect);
const QGradientStops& stops(GradientKind kind);

// Timings of the kit's animations, in milliseconds.
inline constexpr int kFractionAnimationMs = 400; // gauges and bars
inline constexpr int kPressAnimationMs = 120;    // button press
inline constexpr int kHoverAnimationMs = 150;    // card hover
inline constexpr int kStateAnimationMs = 250;    // card locked ⇄ unlocked

// The platform's standard ease-out curve (cubic Bézier 0, 0, 0.58, 1).
QEasingCurve easeOut();

// ---- colours, from a widget's palette ----

bool isDark(const QPalette& palette);
// The desktop's standard green, orange and red, a shade brighter in dark mode.
QColor systemGreen(const QPalette& palette);
QColor systemOrange(const QPalette& palette);
QColor systemRed(const QPalette& palette);
QColor primary(const QPalette& palette);
// Secondary text: the text colour at reduced strength.
QColor secondary(const QPalette& palette);
// The faint fourth level of the text colour: bar tracks, quiet button fills.
QColor quaternaryFill(const QPalette& palette);
QColor controlBackground(const QPalette& palette);
QColor windowBackground(const QPalette& palette);
QColor underPageBackground(const QPalette& palette);
QColor withAlpha(QColor color, qreal alpha);

// ---- fonts (sizes in device-independent pixels, as the designs give them) ----

enum class FontDesign { standard, rounded, monospaced };
// The desktop's face (or the rounded one) at the design's size, made smaller by as much as the face is
// wider than the one the designs were drawn with, so that their lines fit at the windows' sizes.
QFont font(qreal pixelSize, QFont::Weight weight = QFont::Normal, FontDesign design = FontDesign::standard);
// The factor `font` applies to a face: 1 for one as narrow as the designs' or narrower, at least 0.85.
qreal widthScale(const QFont& face);

// ---- painting helpers ----

// A rounded rectangle with the gentle corners of the designs (radius in pixels).
QPainterPath roundedRect(const QRectF& rect, qreal radius);
QPainterPath capsule(const QRectF& rect);
// A soft shadow of `shape`: colour, blur radius and offset as the designs give them.
void paintShadow(QPainter& painter, const QPainterPath& shape, const QColor& color, qreal blur, QPointF offset);

} // namespace Theme

// ---- capacity arithmetic, shared by every gauge, bar and badge ----

namespace Capacity {
inline constexpr qint64 kBytesPerMB = 1'048'576;
// Used bytes over max(maxSizeMB, 1) MB, in double precision; may exceed 1.
double usedFraction(qint64 usedBytes, qint64 maxSizeMB);
// The bar's fill: critical from 0.95, warning from 0.8, accent below (and for NaN).
GradientKind barGradient(double fraction);
// The bar's fill width in a track of `width`: all of it above 1, at least 4.
qreal barFillWidth(double fraction, qreal width);
// The ring's arc: clamped to [0.02, 1], NaN giving 0.02.
double ringArcFraction(double fraction);
// The "NEARLY FULL" badge: from 0.9, critical from 0.95; nothing below 0.9 or for NaN.
std::optional<GradientKind> nearlyFullBadge(double fraction);
} // namespace Capacity

// ---- widgets ----

// A label in one of the kit's tones that keeps its colour across scheme changes and can elide
// instead of growing: a name elided in the middle never pushes the controls beside it away.
class ThemeLabel : public QLabel {
    Q_OBJECT

public:
    enum class Tone { primary, secondary, green, orange, white };

    explicit ThemeLabel(const QString& text = {}, QWidget* parent = nullptr);

    void setTone(Tone tone);
    Tone tone() const { return tone_; }
    // Qt::ElideNone (the default) shows the text whole; any other mode lets the label shrink.
    void setElideMode(Qt::TextElideMode mode);
    Qt::TextElideMode elideMode() const { return elideMode_; }
    // Whether the text is cut at the current width. A cut text shows whole in the label's tooltip
    // unless it has a tooltip of its own.
    bool isElided() const;

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Tone tone_ = Tone::primary;
    Qt::TextElideMode elideMode_ = Qt::ElideNone;
};

// A circular progress ring starting at 12 o'clock, growing clockwise, with an optional widget in
// its centre.
class RingGauge : public QWidget {
    Q_OBJECT
    Q_PROPERTY(double fraction READ fraction WRITE setFraction)

public:
    explicit RingGauge(QWidget* parent = nullptr);
    RingGauge(double fraction, qreal size, qreal thickness, QColor color, QColor track, bool sealed,
              QWidget* parent = nullptr);

    double fraction() const { return fraction_; }
    // Animates from the shown value over 0.4 s while the gauge is visible; jumps otherwise.
    void setFraction(double fraction);
    // What is drawn right now (follows the animation).
    double shownFraction() const { return shown_; }
    void setDiameter(qreal size);
    qreal diameter() const { return size_; }
    void setThickness(qreal thickness);
    void setColor(const QColor& color);
    void setTrack(const QColor& track);
    void setSealed(bool sealed);
    bool isSealed() const { return sealed_; }
    // Placed in the middle of the ring; the gauge takes ownership.
    void setCenterWidget(QWidget* widget);
    QWidget* centerWidget() const { return center_; }
    bool isAnimating() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeCenter();

    double fraction_ = 0;
    double shown_ = 0;
    qreal size_ = 40;
    qreal thickness_ = 4;
    QColor color_;
    QColor track_;
    bool sealed_ = false;
    QPointer<QWidget> center_;
    QVariantAnimation animation_;
};

// A thin usage bar: a faint track over the whole width and a fill in the gradient its fraction
// calls for.
class CapacityBar : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 4;

    explicit CapacityBar(QWidget* parent = nullptr);
    CapacityBar(double fraction, bool sealed, QWidget* parent = nullptr);

    double fraction() const { return fraction_; }
    void setFraction(double fraction);
    double shownFraction() const { return shown_; }
    bool isSealed() const { return sealed_; }
    void setSealed(bool sealed);
    GradientKind fillGradient() const { return Capacity::barGradient(fraction_); }
    bool isAnimating() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double fraction_ = 0;
    double shown_ = 0;
    bool sealed_ = false;
    QVariantAnimation animation_;
};

// A white symbol on a gradient rounded square.
class IconTile : public QWidget {
    Q_OBJECT

public:
    IconTile(const QString& symbol, GradientKind gradient, qreal size, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    void setGradient(GradientKind gradient);
    GradientKind gradient() const { return gradient_; }
    qreal tileSize() const { return size_; }
    qreal cornerRadius() const { return 0.28 * size_; }
    qreal symbolSize() const { return 0.42 * size_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    GradientKind gradient_;
    qreal size_;
};

// The title row at the top of sheets and settings: an accent tile, a title and an optional subtitle.
class SheetHeader : public QWidget {
    Q_OBJECT

public:
    SheetHeader(const QString& icon, const QString& title, std::optional<QString> subtitle = std::nullopt,
                QWidget* parent = nullptr);

    IconTile* tile() const { return tile_; }
    ThemeLabel* titleLabel() const { return title_; }
    // Null without a subtitle.
    ThemeLabel* subtitleLabel() const { return subtitle_; }

private:
    IconTile* tile_;
    ThemeLabel* title_;
    ThemeLabel* subtitle_ = nullptr;
};

// A framed group of form rows on a soft background. Add rows to contentLayout().
class FieldGroup : public QFrame {
    Q_OBJECT

public:
    explicit FieldGroup(QWidget* parent = nullptr);

    QVBoxLayout* contentLayout() const { return layout_; }
    void addRow(QWidget* row);
    void addRow(QLayout* row);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* layout_;
};

// The application's icon with a soft shadow, scaled into a square of the given side.
class AppIconImage : public QWidget {
    Q_OBJECT

public:
    explicit AppIconImage(qreal size, QWidget* parent = nullptr);

    // The icon the application shows: the window icon when one is set, else the bundled one.
    static QIcon applicationIcon();
    qreal iconSize() const { return size_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal size_;
};

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
    QVariantAnimation pressAnimation_;
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

// A symbol at a pixel size, in one of the label tones (the small icons after a vault's name) or in a
// fixed colour of a design.
class SymbolView : public QWidget {
    Q_OBJECT

public:
    SymbolView(const QString& symbol, int pixelSize, ThemeLabel::Tone tone, QWidget* parent = nullptr);
    SymbolView(const QString& symbol, int pixelSize, const QColor& color, QWidget* parent = nullptr);

    QString symbol() const { return symbol_; }
    ThemeLabel::Tone tone() const { return tone_; }
    int pixelSize() const { return px_; }
    void setSymbol(const QString& symbol);
    // A fixed colour in place of the tone.
    void setColor(const QColor& color);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int px_;
    ThemeLabel::Tone tone_ = ThemeLabel::Tone::primary;
    std::optional<QColor> color_;
};

// Short white bold text on a gradient capsule ("NEARLY FULL").
class CapsuleBadge : public QWidget {
    Q_OBJECT

public:
    CapsuleBadge(const QString& text, GradientKind gradient, QWidget* parent = nullptr);

    void setGradient(GradientKind gradient);
    GradientKind gradient() const { return gradient_; }
    QString text() const { return text_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    GradientKind gradient_;
};

// A small indeterminate progress spinner; turns only while shown.
class BusyIndicator : public QWidget {
    Q_OBJECT

public:
    explicit BusyIndicator(int size = 16, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int size_;
    qreal angle_ = 0;
    QVariantAnimation spin_;
};

} // namespace larkhold
