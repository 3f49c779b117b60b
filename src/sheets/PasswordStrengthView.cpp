#include "PasswordStrengthView.h"

#include "SheetDialog.h"
#include "Theme.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace larkhold {

namespace {

constexpr int kSegments = 4;
constexpr int kSegmentHeight = 4;
constexpr int kSegmentSpacing = 3;
constexpr int kLabelWidth = 46;
constexpr int kRowSpacing = 6;
constexpr int kAnimationMs = 200;

QColor blend(const QColor& a, const QColor& b, double t) {
    const auto mix = [t](double x, double y) { return x + (y - x) * t; };
    QColor c;
    c.setRgbF(static_cast<float>(mix(a.redF(), b.redF())), static_cast<float>(mix(a.greenF(), b.greenF())),
              static_cast<float>(mix(a.blueF(), b.blueF())), static_cast<float>(mix(a.alphaF(), b.alphaF())));
    return c;
}

QColor emptySegment(const QPalette& palette) {
    return Theme::withAlpha(Theme::primary(palette), 0.12);
}

} // namespace

// The segments and the level's name, in one row. A level change fades each segment from its old
// colour to its new one.
class PasswordStrengthView::Bar : public QWidget {
public:
    explicit Bar(QWidget* parent) : QWidget(parent), animation_(new QVariantAnimation(this)) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        animation_->setStartValue(0.0);
        animation_->setEndValue(1.0);
        animation_->setDuration(kAnimationMs);
        animation_->setEasingCurve(Theme::easeOut());
        connect(animation_, &QVariantAnimation::valueChanged, this, [this] { update(); });
        from_.fill(QColor());
        to_.fill(QColor());
    }

    void display(std::optional<PasswordStrength::Level> level) {
        const bool changed = level != level_;
        level_ = level;
        const std::array<QColor, kSegments> target = colours();
        if (!changed) {
            to_ = target;
            update();
            return;
        }
        for (int i = 0; i < kSegments; ++i)
            from_[i] = current(i);
        to_ = target;
        animation_->stop();
        if (from_[0].isValid() && isVisible())
            animation_->start();
        update();
    }

    void finish() {
        animation_->stop();
        from_ = to_;
        update();
    }

    void restyle() {
        to_ = colours();
        from_ = to_;
        update();
    }

    QSize sizeHint() const override { return {160, labelHeight()}; }
    QSize minimumSizeHint() const override { return {kLabelWidth + 4 * 12, labelHeight()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!level_)
            return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const int barWidth = width() - kLabelWidth - kRowSpacing;
        const double segment = (barWidth - kSegmentSpacing * (kSegments - 1)) / double(kSegments);
        const double top = (height() - kSegmentHeight) / 2.0;
        p.setPen(Qt::NoPen);
        for (int i = 0; i < kSegments; ++i) {
            p.setBrush(current(i));
            const QRectF r(i * (segment + kSegmentSpacing), top, segment, kSegmentHeight);
            p.drawRoundedRect(r, kSegmentHeight / 2.0, kSegmentHeight / 2.0);
        }
        p.setFont(labelFont());
        p.setPen(color(*level_, palette()));
        const QRect text(barWidth + kRowSpacing, 0, kLabelWidth, height());
        p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, label(*level_));
    }

private:
    static QFont labelFont() { return Theme::font(11, QFont::DemiBold); }
    int labelHeight() const { return QFontMetrics(labelFont()).height() + 2; }

    std::array<QColor, kSegments> colours() const {
        std::array<QColor, kSegments> out;
        for (int i = 0; i < kSegments; ++i)
            out[i] = level_ && i < filledSegments(*level_) ? color(*level_, palette()) : emptySegment(palette());
        return out;
    }

    QColor current(int i) const {
        if (!from_[i].isValid() || animation_->state() != QAbstractAnimation::Running)
            return to_[i];
        return blend(from_[i], to_[i], animation_->currentValue().toDouble());
    }

    QVariantAnimation* animation_;
    std::optional<PasswordStrength::Level> level_;
    std::array<QColor, kSegments> from_;
    std::array<QColor, kSegments> to_;
};

PasswordStrengthView::PasswordStrengthView(QWidget* parent)
    : QWidget(parent), bar_(new Bar(this)), tipLabel_(new ThemeLabel(QString(), this)) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(4);
    stack->addWidget(bar_);
    stack->addWidget(tipLabel_);
    tipLabel_->setWordWrap(true);
    static_cast<ThemeLabel*>(tipLabel_)->setTone(ThemeLabel::Tone::secondary);
    tipLabel_->setFont(Theme::font(11));
    tipLabel_->hide();
    restyle();
    QWidget::setVisible(false);
}

PasswordStrengthView::~PasswordStrengthView() = default;

void PasswordStrengthView::setPassword(const QString& password) {
    if (password.isEmpty()) {
        level_.reset();
        tip_.reset();
    } else {
        const PasswordStrength rating(password);
        level_ = rating.level;
        tip_ = rating.tip;
    }
    bar_->display(level_);
    tipLabel_->setText(tip_.value_or(QString()));
    tipLabel_->setVisible(tip_.has_value());
    setVisible(level_.has_value());
}

QString PasswordStrengthView::label(PasswordStrength::Level level) {
    switch (level) {
    case PasswordStrength::Level::weak:
        return QStringLiteral("Weak");
    case PasswordStrength::Level::fair:
        return QStringLiteral("Fair");
    case PasswordStrength::Level::good:
        return QStringLiteral("Good");
    case PasswordStrength::Level::strong:
        return QStringLiteral("Strong");
    }
    return {};
}

QColor PasswordStrengthView::color(PasswordStrength::Level level, const QPalette& palette) {
    switch (level) {
    case PasswordStrength::Level::weak:
        return SheetDialog::toneColor(SheetDialog::Tone::error, palette);
    case PasswordStrength::Level::fair:
        return Theme::systemOrange(palette);
    case PasswordStrength::Level::good:
        // sRGB 0.8, 0.6, 0.0: a dark yellow that reads on light and dark backgrounds alike.
        return QColor::fromRgbF(0.8f, 0.6f, 0.0f);
    case PasswordStrength::Level::strong:
        return Theme::systemGreen(palette);
    }
    return Theme::primary(palette);
}

void PasswordStrengthView::finishAnimation() {
    bar_->finish();
}

void PasswordStrengthView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        restyle();
}

void PasswordStrengthView::restyle() {
    bar_->restyle();
}

} // namespace larkhold
