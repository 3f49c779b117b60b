#include "Theme.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHash>
#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace larkhold {

// ---- designs ----

namespace {
struct ThemeName {
    AppTheme theme;
    const char* raw;
};
constexpr ThemeName kThemeNames[] = {
    {AppTheme::classic, "classic"},
    {AppTheme::nativePro, "nativePro"},
    {AppTheme::nightWatch, "nightWatch"},
    {AppTheme::softFocus, "softFocus"},
};
} // namespace

std::optional<AppTheme> appThemeFromRaw(const QString& raw) {
    for (const ThemeName& entry : kThemeNames) {
        if (raw == QLatin1String(entry.raw))
            return entry.theme;
    }
    return std::nullopt;
}

AppTheme appThemeOrClassic(const QString& raw) {
    return appThemeFromRaw(raw).value_or(AppTheme::classic);
}

QString rawValue(AppTheme theme) {
    for (const ThemeName& entry : kThemeNames) {
        if (entry.theme == theme)
            return QString::fromLatin1(entry.raw);
    }
    return QStringLiteral("classic");
}

const std::vector<AppTheme>& allAppThemes() {
    static const std::vector<AppTheme> all{AppTheme::classic, AppTheme::nativePro, AppTheme::nightWatch,
                                           AppTheme::softFocus};
    return all;
}

// ---- gradients and colours ----

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
    static QHash<QString, qreal> scales;
    const QString key = desktop.family() + QLatin1Char('/') + desktop.styleName();
    const auto known = scales.constFind(key);
    if (known != scales.cend())
        return *known;
    QFont probe = desktop;
    probe.setPixelSize(100);
    probe.setWeight(QFont::Normal);
    const qreal width = QFontMetricsF(probe).horizontalAdvance(sample);
    const qreal scale = width > 0 ? std::clamp(kDesignedWidth / width, 0.85, 1.0) : 1.0;
    scales.insert(key, scale);
    return scale;
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

// ---- capacity ----

namespace Capacity {

double usedFraction(qint64 usedBytes, qint64 maxSizeMB) {
    const double limit = double(qMax<qint64>(maxSizeMB, 1)) * double(kBytesPerMB);
    return double(usedBytes) / limit;
}

GradientKind barGradient(double fraction) {
    if (fraction >= 0.95)
        return GradientKind::critical;
    if (fraction >= 0.8)
        return GradientKind::warning;
    return GradientKind::accent; // NaN compares false above
}

qreal barFillWidth(double fraction, qreal width) {
    qreal fill = 0;
    if (fraction > 1)
        fill = width;
    else if (fraction > 0) // NaN and negatives fall to the minimum
        fill = qreal(fraction) * width;
    return qMax<qreal>(fill, 4.0);
}

double ringArcFraction(double fraction) {
    if (std::isnan(fraction))
        return 0.02;
    return std::max(std::min(fraction, 1.0), 0.02);
}

std::optional<GradientKind> nearlyFullBadge(double fraction) {
    if (fraction >= 0.95)
        return GradientKind::critical;
    if (fraction >= 0.9)
        return GradientKind::warning;
    return std::nullopt;
}

} // namespace Capacity

// ---- ThemeLabel ----

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

// ---- RingGauge ----

RingGauge::RingGauge(QWidget* parent) : RingGauge(0, 40, 4, QColor(), QColor(), false, parent) {}

RingGauge::RingGauge(double fraction, qreal size, qreal thickness, QColor color, QColor track, bool sealed,
                     QWidget* parent)
    : QWidget(parent), fraction_(fraction), shown_(fraction), size_(size), thickness_(thickness),
      color_(std::move(color)), track_(std::move(track)), sealed_(sealed) {
    // A child of the widget it moves, where whoever waits for the widget to come to rest finds it.
    animation_.setParent(this);
    animation_.setDuration(Theme::kFractionAnimationMs);
    animation_.setEasingCurve(Theme::easeOut());
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        shown_ = value.toDouble();
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void RingGauge::setFraction(double fraction) {
    if (fraction == fraction_ || (std::isnan(fraction) && std::isnan(fraction_)))
        return;
    fraction_ = fraction;
    animation_.stop();
    // The arc only ever shows a clamped value, so animate between clamped values (NaN included).
    const double from = Capacity::ringArcFraction(shown_);
    const double to = Capacity::ringArcFraction(fraction);
    if (!isVisible()) {
        shown_ = fraction;
        update();
        return;
    }
    animation_.setStartValue(from);
    animation_.setEndValue(to);
    animation_.start();
}

bool RingGauge::isAnimating() const {
    return animation_.state() == QAbstractAnimation::Running;
}

void RingGauge::setDiameter(qreal size) {
    size_ = size;
    updateGeometry();
    placeCenter();
    update();
}

void RingGauge::setThickness(qreal thickness) {
    thickness_ = thickness;
    updateGeometry();
    update();
}

void RingGauge::setColor(const QColor& color) {
    color_ = color;
    update();
}

void RingGauge::setTrack(const QColor& track) {
    track_ = track;
    update();
}

void RingGauge::setSealed(bool sealed) {
    sealed_ = sealed;
    update();
}

void RingGauge::setCenterWidget(QWidget* widget) {
    if (center_)
        center_->deleteLater();
    center_ = widget;
    if (widget) {
        widget->setParent(this);
        widget->show();
    }
    placeCenter();
}

QSize RingGauge::sizeHint() const {
    // The stroke is centred on the circle, so half of it lies outside the square of `size`.
    const int side = int(std::ceil(size_ + thickness_));
    return {side, side};
}

void RingGauge::resizeEvent(QResizeEvent*) {
    placeCenter();
}

void RingGauge::placeCenter() {
    if (!center_)
        return;
    const QSize hint = center_->sizeHint().boundedTo(size());
    center_->setGeometry(QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, hint, rect()));
}

void RingGauge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF c = QRectF(rect()).center();
    const QRectF circle(c.x() - size_ / 2, c.y() - size_ / 2, size_, size_);
    const QColor track = track_.isValid() ? track_ : Theme::quaternaryFill(palette());
    QPen pen(track, thickness_, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawEllipse(circle);
    if (sealed_)
        return;
    const double arc = Capacity::ringArcFraction(isAnimating() ? shown_ : fraction_);
    pen.setColor(color_.isValid() ? color_ : Theme::stops(GradientKind::accent).first().second);
    painter.setPen(pen);
    if (arc >= 1.0) {
        painter.drawEllipse(circle);
        return;
    }
    // From 12 o'clock, clockwise (Qt angles are counter-clockwise, in 1/16 degree).
    painter.drawArc(circle, 90 * 16, -qRound(arc * 360.0 * 16));
}

// ---- CapacityBar ----

CapacityBar::CapacityBar(QWidget* parent) : CapacityBar(0, false, parent) {}

CapacityBar::CapacityBar(double fraction, bool sealed, QWidget* parent)
    : QWidget(parent), fraction_(fraction), shown_(fraction), sealed_(sealed) {
    animation_.setParent(this);
    animation_.setDuration(Theme::kFractionAnimationMs);
    animation_.setEasingCurve(Theme::easeOut());
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        shown_ = value.toDouble();
        update();
    });
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(kHeight);
}

void CapacityBar::setFraction(double fraction) {
    if (fraction == fraction_ || (std::isnan(fraction) && std::isnan(fraction_)))
        return;
    animation_.stop();
    const double from = std::isnan(shown_) ? 0.0 : std::clamp(shown_, 0.0, 1.0);
    fraction_ = fraction;
    if (!isVisible()) {
        shown_ = fraction;
        update();
        return;
    }
    animation_.setStartValue(from);
    animation_.setEndValue(std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0));
    animation_.start();
}

bool CapacityBar::isAnimating() const {
    return animation_.state() == QAbstractAnimation::Running;
}

void CapacityBar::setSealed(bool sealed) {
    sealed_ = sealed;
    update();
}

QSize CapacityBar::sizeHint() const {
    return {170, kHeight};
}
QSize CapacityBar::minimumSizeHint() const {
    return {8, kHeight};
}

void CapacityBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, width(), kHeight);
    painter.fillPath(Theme::capsule(track), Theme::quaternaryFill(palette()));
    if (sealed_)
        return;
    const double shown = isAnimating() ? shown_ : fraction_;
    const QRectF fill(0, 0, Capacity::barFillWidth(shown, track.width()), kHeight);
    // The colour follows the target fraction at once; only the length moves.
    painter.fillPath(Theme::capsule(fill), Theme::gradient(Capacity::barGradient(fraction_), fill));
}

// ---- IconTile ----

namespace {
// Room around a tile for its shadow (blur 3, one pixel down).
constexpr int kTileShadowPad = 4;
} // namespace

IconTile::IconTile(const QString& symbol, GradientKind gradient, qreal size, QWidget* parent)
    : QWidget(parent), symbol_(symbol), gradient_(gradient), size_(size) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
}

void IconTile::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    update();
}

void IconTile::setGradient(GradientKind gradient) {
    gradient_ = gradient;
    update();
}

QSize IconTile::sizeHint() const {
    const int side = int(std::ceil(size_)) + 2 * kTileShadowPad;
    return {side, side};
}

void IconTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF tile(QRectF(rect()).center() - QPointF(size_ / 2, size_ / 2), QSizeF(size_, size_));
    const QPainterPath shape = Theme::roundedRect(tile, cornerRadius());
    Theme::paintShadow(painter, shape, QColor(0, 0, 0, 46), 3, QPointF(0, 1));
    painter.fillPath(shape, Theme::gradient(gradient_, tile));
    const int px = qRound(symbolSize());
    const QPixmap glyph = Symbols::pixmap(symbol_, px, Qt::white, devicePixelRatioF());
    const QRectF glyphRect(tile.center() - QPointF(px / 2.0, px / 2.0), QSizeF(px, px));
    painter.drawPixmap(glyphRect, glyph, QRectF(glyph.rect()));
}

// ---- SheetHeader ----

SheetHeader::SheetHeader(const QString& icon, const QString& title, std::optional<QString> subtitle, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    tile_ = new IconTile(icon, GradientKind::accent, 38, this);
    row->addWidget(tile_, 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    column->setContentsMargins(0, 0, 0, 0);
    title_ = new ThemeLabel(title, this);
    title_->setObjectName(QStringLiteral("sheetTitle"));
    title_->setFont(Theme::font(17, QFont::Bold, Theme::FontDesign::rounded));
    column->addWidget(title_);
    if (subtitle) {
        subtitle_ = new ThemeLabel(*subtitle, this);
        subtitle_->setObjectName(QStringLiteral("sheetSubtitle"));
        subtitle_->setFont(Theme::font(12));
        subtitle_->setTone(ThemeLabel::Tone::secondary);
        column->addWidget(subtitle_);
    }
    row->addLayout(column, 0);
    row->addStretch(1);
    row->setAlignment(column, Qt::AlignVCenter);
}

// ---- FieldGroup ----

FieldGroup::FieldGroup(QWidget* parent) : QFrame(parent) {
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(14, 14, 14, 14);
    layout_->setSpacing(12);
    layout_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void FieldGroup::addRow(QWidget* row) {
    layout_->addWidget(row);
}
void FieldGroup::addRow(QLayout* row) {
    layout_->addLayout(row);
}

void FieldGroup::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath shape = Theme::roundedRect(area, 12);
    painter.fillPath(shape, Theme::withAlpha(Theme::controlBackground(palette()), 0.6));
    painter.setPen(QPen(Theme::withAlpha(Theme::primary(palette()), 0.07), 1));
    painter.drawPath(shape);
}

// ---- AppIconImage ----

AppIconImage::AppIconImage(qreal size, QWidget* parent) : QWidget(parent), size_(size) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(sizeHint());
}

QIcon AppIconImage::applicationIcon() {
    const QIcon window = QApplication::windowIcon();
    if (!window.isNull() && !window.availableSizes().isEmpty())
        return window;
    Symbols::loadBundledResources();
    return QIcon(QStringLiteral(":/larkhold/larkhold.svg"));
}

QSize AppIconImage::sizeHint() const {
    // Room for the shadow's blur below and beside the icon.
    const int pad = int(std::ceil(0.06 * size_)) + 2;
    const int side = int(std::ceil(size_)) + 2 * pad;
    return {side, side};
}

void AppIconImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF square(QRectF(rect()).center() - QPointF(size_ / 2, size_ / 2), QSizeF(size_, size_));
    const qreal dpr = devicePixelRatioF();
    const QPixmap image = applicationIcon().pixmap(QSize(qRound(size_), qRound(size_)), dpr);
    if (image.isNull())
        return;
    // Fit, aspect ratio kept.
    QSizeF drawn = image.deviceIndependentSize();
    drawn.scale(square.size(), Qt::KeepAspectRatio);
    const QRectF target(square.center() - QPointF(drawn.width() / 2, drawn.height() / 2), drawn);
    // The shadow follows the icon's own outline: its alpha, blurred.
    QImage alpha = image.toImage().convertToFormat(QImage::Format_ARGB32);
    QPainterPath outline;
    outline.addRoundedRect(
        target.adjusted(target.width() * 0.06, target.height() * 0.06, -target.width() * 0.06, -target.height() * 0.06),
        target.width() * 0.2, target.width() * 0.2);
    Theme::paintShadow(painter, outline, QColor(0, 0, 0, 51), 0.06 * size_, QPointF(0, 1));
    painter.drawPixmap(target, image, QRectF(image.rect()));
}

// ---- CapsuleButton ----

namespace {
constexpr int kVerticalPadding = 7;
constexpr int kSymbolGap = 5;
constexpr int kArrowWidth = 22;
} // namespace

CapsuleButton::CapsuleButton(const QString& text, int horizontalPadding, QFont font, QWidget* parent)
    : QPushButton(text, parent), hPad_(horizontalPadding) {
    setFont(font);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::ArrowCursor);
    setAttribute(Qt::WA_Hover);
    pressAnimation_.setParent(this);
    pressAnimation_.setDuration(Theme::kPressAnimationMs);
    pressAnimation_.setEasingCurve(Theme::easeOut());
    connect(&pressAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        press_ = value.toReal();
        update();
    });
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
    pressAnimation_.setStartValue(press_);
    pressAnimation_.setEndValue(down ? 1.0 : 0.0);
    if (!isVisible()) {
        press_ = down ? 1.0 : 0.0;
        return;
    }
    pressAnimation_.start();
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

// ---- CapsuleBadge ----

CapsuleBadge::CapsuleBadge(const QString& text, GradientKind gradient, QWidget* parent)
    : QWidget(parent), text_(text), gradient_(gradient) {
    setFont(Theme::font(9, QFont::Bold));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CapsuleBadge::setGradient(GradientKind gradient) {
    gradient_ = gradient;
    update();
}

QSize CapsuleBadge::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text_) + 12, fm.height() + 4};
}

void CapsuleBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect());
    painter.fillPath(Theme::capsule(area), Theme::gradient(gradient_, area));
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, text_);
}

// ---- BusyIndicator ----

BusyIndicator::BusyIndicator(int size, QWidget* parent) : QWidget(parent), size_(size) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    spin_.setStartValue(0.0);
    spin_.setEndValue(360.0);
    spin_.setDuration(900);
    spin_.setLoopCount(-1);
    connect(&spin_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        angle_ = value.toReal();
        update();
    });
}

QSize BusyIndicator::sizeHint() const {
    return {size_, size_};
}

void BusyIndicator::showEvent(QShowEvent*) {
    spin_.start();
}
void BusyIndicator::hideEvent(QHideEvent*) {
    spin_.stop();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = qMax<qreal>(2.0, size_ / 8.0);
    const QRectF circle = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    painter.setPen(QPen(Theme::quaternaryFill(palette()), pen));
    painter.drawEllipse(circle);
    painter.setPen(QPen(Theme::secondary(palette()), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, qRound((90 - angle_) * 16), -100 * 16);
}

} // namespace larkhold
