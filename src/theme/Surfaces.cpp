#include "Surfaces.h"

#include "Labels.h"
#include "Look.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <algorithm>

namespace larkhold {

// ---- shadows ----

namespace {
const char* const kHostProperty = "larkholdShadowHost";

bool isHost(const QWidget* widget) {
    return widget->property(kHostProperty).toBool();
}
} // namespace

ShadowHost::ShadowHost(QWidget* parent) : QWidget(parent) {
    markAsHost(this);
}

void ShadowHost::markAsHost(QWidget* host) {
    host->setProperty(kHostProperty, true);
}

void ShadowHost::paintShadows(QWidget* host, QPainter& painter) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QList<QWidget*> children = host->findChildren<QWidget*>();
    for (QWidget* child : children) {
        const auto* caster = dynamic_cast<const ShadowCaster*>(child);
        if (!caster || !child->isVisibleTo(host))
            continue;
        const QWidget* nearest = child->parentWidget();
        while (nearest && nearest != host && !isHost(nearest))
            nearest = nearest->parentWidget();
        if (nearest != host)
            continue;
        const std::optional<ShadowLook> shadow = caster->shadowLook();
        if (!shadow)
            continue;
        const QPainterPath shape = caster->shadowShape().translated(child->mapTo(host, QPoint(0, 0)));
        Theme::paintShadow(painter, shape, shadow->color, shadow->blur, shadow->offset);
    }
    painter.restore();
}

void ShadowHost::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintShadows(this, painter);
}

// ---- pills ----

QPainterPath pillPath(const QRectF& rect, const PillLook& look) {
    return look.radius < 0 ? Theme::capsule(rect) : Theme::roundedRect(rect, look.radius);
}

void paintPill(QPainter& painter, const QRectF& rect, const PillLook& look) {
    if (look.fill.isValid() && look.fill.alpha() > 0)
        painter.fillPath(pillPath(rect, look), look.fill);
    if (look.border.isValid() && look.border.alpha() > 0 && look.borderWidth > 0) {
        // An inner border: the line lies wholly inside the outline.
        const qreal half = look.borderWidth / 2;
        PillLook inner = look;
        if (inner.radius >= 0)
            inner.radius = std::max<qreal>(0, look.radius - half);
        QPen pen(look.border, look.borderWidth);
        if (look.dashed) {
            pen.setCapStyle(Qt::FlatCap);
            pen.setJoinStyle(Qt::MiterJoin);
            // Dash lengths are in units of the line width.
            pen.setDashPattern({6.0 / look.borderWidth, 5.0 / look.borderWidth});
        }
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(pillPath(rect.adjusted(half, half, -half, -half), inner));
    }
}

// ---- surface ----

Surface::Surface(PillLook look, QWidget* parent) : QFrame(parent), look_(std::move(look)) {
    ShadowHost::markAsHost(this);
}

void Surface::setLook(const PillLook& look) {
    look_ = look;
    update();
}

void Surface::setShadow(std::optional<ShadowLook> shadow) {
    shadow_ = std::move(shadow);
    if (parentWidget())
        parentWidget()->update();
}

QPainterPath Surface::shadowShape() const {
    return pillPath(QRectF(rect()), look_);
}

void Surface::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paintPill(painter, QRectF(rect()), look_);
    ShadowHost::paintShadows(this, painter);
}

// ---- chip ----

DesignChip::DesignChip(const QString& text, const QFont& font, const QColor& textColor, PillLook look, int padH,
                       int padV, QWidget* parent)
    : QLabel(text, parent), textColor_(textColor), look_(std::move(look)) {
    setTextFormat(Qt::PlainText);
    setFont(font);
    setContentsMargins(padH, padV, padH, padV);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void DesignChip::setColors(const QColor& textColor, const PillLook& look) {
    textColor_ = textColor;
    look_ = look;
    update();
}

void DesignChip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paintPill(painter, QRectF(rect()), look_);
    painter.setPen(textColor_);
    painter.setFont(font());
    painter.drawText(contentsRect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

// ---- chip row ----

ChipRow::ChipRow(int spacing, QLabel* lead, QWidget* parent) : QWidget(parent), spacing_(spacing), lead_(lead) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    if (lead_)
        lead_->setParent(this);
}

void ChipRow::setChips(const QList<DesignChip*>& chips) {
    qDeleteAll(chips_);
    chips_ = chips;
    for (DesignChip* chip : chips_) {
        chip->setParent(this);
        chip->resize(chip->sizeHint());
    }
    updateGeometry();
    place();
}

QStringList ChipRow::texts() const {
    QStringList list;
    for (const DesignChip* chip : chips_)
        list.append(chip->text());
    return list;
}

QStringList ChipRow::shownTexts() const {
    QStringList list;
    for (const DesignChip* chip : chips_) {
        if (!chip->isHidden())
            list.append(chip->text());
    }
    return list;
}

int ChipRow::leadMinimum() const {
    if (!lead_)
        return 0;
    return std::min(lead_->sizeHint().width(), lead_->minimumSizeHint().width());
}

QSize ChipRow::sizeHint() const {
    int width = lead_ ? lead_->sizeHint().width() : 0;
    int height = lead_ ? lead_->sizeHint().height() : 0;
    for (const DesignChip* chip : chips_) {
        const QSize hint = chip->sizeHint();
        width += hint.width() + (width > 0 ? spacing_ : 0);
        height = std::max(height, hint.height());
    }
    return {width, height};
}

QSize ChipRow::minimumSizeHint() const {
    return {leadMinimum(), sizeHint().height()};
}

void ChipRow::resizeEvent(QResizeEvent*) {
    place();
}

void ChipRow::place() {
    int chipsWidth = 0;
    for (const DesignChip* chip : chips_)
        chipsWidth += chip->sizeHint().width() + spacing_;
    int x = 0;
    if (lead_) {
        // The name gives way to the chips, but never below its few letters.
        const int wanted = lead_->sizeHint().width();
        int leadWidth = std::clamp(width() - chipsWidth, std::min(leadMinimum(), width()), wanted);
        if (leadWidth < wanted) {
            // The chips follow the cut name, not the room it was given.
            const QFontMetrics fm(lead_->font());
            const auto* themed = qobject_cast<const ThemeLabel*>(lead_);
            const Qt::TextElideMode mode = themed ? themed->elideMode() : Qt::ElideRight;
            leadWidth = std::min(leadWidth, fm.horizontalAdvance(fm.elidedText(lead_->text(), mode, leadWidth)) + 1);
        }
        const int h = lead_->sizeHint().height();
        lead_->setGeometry(0, (height() - h) / 2, leadWidth, h);
        x = leadWidth + spacing_;
    }
    bool fits = true;
    QStringList left;
    for (DesignChip* chip : chips_) {
        const QSize hint = chip->sizeHint();
        fits = fits && x + hint.width() <= width();
        if (fits) {
            chip->setGeometry(x, (height() - hint.height()) / 2, hint.width(), hint.height());
            x += hint.width() + spacing_;
        } else {
            left.append(chip->text());
        }
        chip->setVisible(fits);
    }
    setToolTip(left.join(QStringLiteral(", ")));
}

} // namespace larkhold
