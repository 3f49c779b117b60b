#include "Look.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <algorithm>
#include <fontconfig/fontconfig.h>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace larkhold {

namespace Theme {

namespace {
QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(float(r), float(g), float(b));
}
QColor grey(double white) {
    return rgb(white, white, white);
}
// The desktop's standard orange and green, light and dark.
const QColor kOrangeLight = rgb(1.0, 0.584, 0.0);
const QColor kOrangeDark = rgb(1.0, 0.624, 0.039);
const QColor kGreenLight = rgb(0.204, 0.780, 0.349);
const QColor kGreenDark = rgb(0.188, 0.820, 0.345);
} // namespace

const QGradientStops& stops(GradientKind kind) {
    // Built once, on first use; function-local statics are initialised exactly once even when two
    // threads ask at the same time.
    static const QGradientStops accentStops{{0.0, rgb(0.29, 0.44, 0.98)}, {1.0, rgb(0.45, 0.29, 0.92)}};
    static const QGradientStops unlockedStops{{0.0, rgb(0.16, 0.72, 0.45)}, {1.0, rgb(0.10, 0.55, 0.55)}};
    static const QGradientStops lockedStops{{0.0, grey(0.45)}, {1.0, grey(0.28)}};
    static const QGradientStops warningStops{{0.0, kOrangeLight}, {1.0, rgb(0.90, 0.45, 0.10)}};
    static const QGradientStops criticalStops{{0.0, rgb(0.95, 0.35, 0.30)}, {1.0, rgb(0.80, 0.15, 0.25)}};
    switch (kind) {
    case GradientKind::accent:
        return accentStops;
    case GradientKind::unlocked:
        return unlockedStops;
    case GradientKind::locked:
        return lockedStops;
    case GradientKind::warning:
        return warningStops;
    case GradientKind::critical:
        return criticalStops;
    }
    return accentStops;
}

QLinearGradient gradient(GradientKind kind, const QRectF& rect) {
    QLinearGradient g(rect.topLeft(), rect.bottomRight());
    g.setStops(stops(kind));
    return g;
}

QLinearGradient accent(const QRectF& rect) {
    return gradient(GradientKind::accent, rect);
}
QLinearGradient unlocked(const QRectF& rect) {
    return gradient(GradientKind::unlocked, rect);
}
QLinearGradient locked(const QRectF& rect) {
    return gradient(GradientKind::locked, rect);
}
QLinearGradient warning(const QRectF& rect) {
    return gradient(GradientKind::warning, rect);
}
QLinearGradient critical(const QRectF& rect) {
    return gradient(GradientKind::critical, rect);
}

QEasingCurve easeOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.0, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}
QColor systemGreen(const QPalette& palette) {
    return isDark(palette) ? kGreenDark : kGreenLight;
}
QColor systemOrange(const QPalette& palette) {
    return isDark(palette) ? kOrangeDark : kOrangeLight;
}
QColor systemRed(const QPalette& palette) {
    return isDark(palette) ? QColor(0xFF, 0x45, 0x3A) : QColor(0xFF, 0x3B, 0x30);
}
QColor primary(const QPalette& palette) {
    return palette.color(QPalette::WindowText);
}
QColor secondary(const QPalette& palette) {
    return withAlpha(palette.color(QPalette::WindowText), isDark(palette) ? 0.60 : 0.56);
}
QColor quaternaryFill(const QPalette& palette) {
    return withAlpha(palette.color(QPalette::WindowText), isDark(palette) ? 0.18 : 0.12);
}
QColor controlBackground(const QPalette& palette) {
    return palette.color(QPalette::Base);
}
QColor windowBackground(const QPalette& palette) {
    return palette.color(QPalette::Window);
}
QColor underPageBackground(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    return isDark(palette) ? window.darker(135) : window.darker(107);
}
QColor withAlpha(QColor color, qreal alpha) {
    color.setAlphaF(float(color.alphaF() * alpha));
    return color;
}

qreal widthScale(const QFont& desktop) {
    // The designs' sizes were chosen for a face as wide as this line is at 100 px there; a wider desktop
    // face is set smaller by as much (never below 85 %), so that the designs' lines still fit.
    static const QString sample = QStringLiteral("1 vault · 1 open · 29.3 MB on disk · opened 3 sec. ago");
    constexpr qreal kDesignedWidth = 2480;
    // Measured once a face, by whichever thread asks first (prepareFonts's, at the start); a thread asking
    // while it measures waits for its answer.
    static std::mutex mutex;
    static QHash<QString, std::shared_future<qreal>> scales;
    const QString key = desktop.family() + QLatin1Char('/') + desktop.styleName();
    std::promise<qreal> measured;
    std::shared_future<qreal> known;
    {
        const std::lock_guard lock(mutex);
        if (const auto found = scales.constFind(key); found != scales.cend())
            known = *found;
        else
            scales.insert(key, measured.get_future().share());
    }
    if (known.valid())
        return known.get();
    QFont probe = desktop;
    probe.setPixelSize(100);
    probe.setWeight(QFont::Normal);
    const qreal width = QFontMetricsF(probe).horizontalAdvance(sample);
    const qreal scale = width > 0 ? std::clamp(kDesignedWidth / width, 0.85, 1.0) : 1.0;
    measured.set_value(scale);
    return scale;
}

void prepareFonts(const QFont& desktop) {
    QFontDatabase::families();
    widthScale(desktop);
}

void loadFontConfigurationEarly() {
    // Reading the configuration and the caches of every face is the largest piece of the first window's
    // construction. Fontconfig keeps the configuration read first: should the first font come before
    // this thread is done, it reads one of its own and nothing waits. Detached: it must not hold up the end.
    static std::once_flag started;
    std::call_once(started, [] { std::thread([] { FcInit(); }).detach(); });
}

QFont font(qreal pixelSize, QFont::Weight weight, FontDesign design) {
    QFont f;
    if (design == FontDesign::monospaced) {
        f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    } else {
        f = QApplication::font();
        if (design == FontDesign::rounded) {
            static const bool hasInter = QFontDatabase::families().contains(QStringLiteral("Inter"));
            if (hasInter)
                f.setFamily(QStringLiteral("Inter"));
        }
        // Monospaced lines are laid out by the character, and keep their size.
        const qreal scale = widthScale(f);
        if (scale < 1.0) {
            // In points, which take a fraction: a whole pixel less would be more than the face needs.
            f.setPointSizeF(std::max(1.0, pixelSize * scale * 72.0 / 96.0));
            f.setWeight(weight);
            return f;
        }
    }
    f.setPixelSize(qMax(1, qRound(pixelSize)));
    f.setWeight(weight);
    return f;
}

QPainterPath roundedRect(const QRectF& rect, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QPainterPath capsule(const QRectF& rect) {
    const qreal r = qMin(rect.width(), rect.height()) / 2;
    return roundedRect(rect, r);
}

namespace {
// Three box-blur passes each way over the alpha channel approximate a Gaussian of `sigma` pixels.
void blurAlpha(QImage& image, qreal sigma) {
    if (sigma < 0.5)
        return;
    const int radius = qMax(1, qRound(sigma * 0.93));
    const int w = image.width();
    const int h = image.height();
    std::vector<int> line(size_t(qMax(w, h)));
    auto pass = [&](bool horizontal) {
        const int outer = horizontal ? h : w;
        const int inner = horizontal ? w : h;
        for (int o = 0; o < outer; ++o) {
            auto at = [&](int i) -> QRgb& {
                return horizontal ? reinterpret_cast<QRgb*>(image.scanLine(o))[i]
                                  : reinterpret_cast<QRgb*>(image.scanLine(i))[o];
            };
            for (int i = 0; i < inner; ++i)
                line[size_t(i)] = qAlpha(at(i));
            int sum = 0;
            const int window = 2 * radius + 1;
            for (int i = -radius; i <= radius; ++i)
                sum += (i >= 0 && i < inner) ? line[size_t(i)] : 0;
            for (int i = 0; i < inner; ++i) {
                const int a = sum / window;
                const QRgb c = at(i);
                at(i) = qRgba(qRed(c), qGreen(c), qBlue(c), a);
                const int leaving = i - radius;
                const int entering = i + radius + 1;
                sum -= (leaving >= 0) ? line[size_t(leaving)] : 0;
                sum += (entering < inner) ? line[size_t(entering)] : 0;
            }
        }
    };
    for (int i = 0; i < 3; ++i) {
        pass(true);
        pass(false);
    }
}
} // namespace

void paintShadow(QPainter& painter, const QPainterPath& shape, const QColor& color, qreal blur, QPointF offset) {
    if (color.alpha() == 0)
        return;
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const qreal margin = blur * 2 + 2;
    const QRectF bounds = shape.boundingRect().adjusted(-margin, -margin, margin, margin);
    // A shadow is painted whenever anything over it is (a spinner turning on a card repaints the
    // card's host): each outline is blurred once and kept.
    QString key =
        QStringLiteral("larkhold.shadow/%1/%2/%3/").arg(color.rgba(), 8, 16, QLatin1Char('0')).arg(blur).arg(dpr);
    for (int i = 0; i < shape.elementCount(); ++i) {
        const QPainterPath::Element e = shape.elementAt(i);
        key += QStringLiteral("%1:%2,%3;").arg(int(e.type)).arg(e.x - bounds.x()).arg(e.y - bounds.y());
    }
    QPixmap shadow;
    if (!QPixmapCache::find(key, &shadow)) {
        QImage image((bounds.size() * dpr).toSize(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(dpr, dpr);
            p.translate(-bounds.topLeft());
            p.fillPath(shape, QColor(color.red(), color.green(), color.blue()));
        }
        blurAlpha(image, blur / 2 * dpr);
        const int alpha = color.alpha();
        for (int y = 0; y < image.height(); ++y) {
            QRgb* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                row[x] = qRgba(color.red(), color.green(), color.blue(), qAlpha(row[x]) * alpha / 255);
        }
        shadow = QPixmap::fromImage(image);
        shadow.setDevicePixelRatio(dpr);
        QPixmapCache::insert(key, shadow);
    }
    painter.drawPixmap(bounds.topLeft() + offset, shadow);
}

} // namespace Theme

} // namespace larkhold
