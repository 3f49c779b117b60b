#pragma once

// How the kit looks: the five gradients, the animations' timings, colours read from a widget's
// palette, fonts at the designs' sizes and a few painting helpers.

#include <QColor>
#include <QEasingCurve>
#include <QFont>
#include <QGradientStops>
#include <QLinearGradient>
#include <QPainterPath>
#include <QPalette>
#include <QPointF>
#include <QRectF>

class QPainter;

namespace larkhold {

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
// Reads the desktop's font configuration on a thread of its own, so that the first window's first font
// does not wait for it. Meant for the start, before the application object; later calls do nothing.
void loadFontConfigurationEarly();
// Lists the desktop's faces and measures the width scale of its face `desktop`: what the first window asks
// for first. Meant for a thread of its own at the start, once the application object is made; the window's
// thread then finds both done.
void prepareFonts(const QFont& desktop);

// ---- painting helpers ----

// A rounded rectangle with the gentle corners of the designs (radius in pixels).
QPainterPath roundedRect(const QRectF& rect, qreal radius);
QPainterPath capsule(const QRectF& rect);
// A soft shadow of `shape`: colour, blur radius and offset as the designs give them.
void paintShadow(QPainter& painter, const QPainterPath& shape, const QColor& color, qreal blur, QPointF offset);

} // namespace Theme

} // namespace larkhold
