#include "DesignParts.h"

#include "Clock.h"
#include "Defaults.h"
#include "SettingsKeys.h"
#include "Symbols.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QLayout>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>

namespace larkhold {

const Clock& designClock(const Clock* given) {
    static const SystemClock wall;
    return given ? *given : wall;
}

DesignVault readVault(const Vault& vault, const HomeContext& context, Date now) {
    VaultCardInput input;
    input.vault = vault;
    input.now = now;
    if (const VaultStore* store = context.store) {
        input.unlocked = store->isUnlocked(vault.id);
        input.busy = store->isBusy(vault.id);
        input.usedBytes = store->sizesOnDisk().value(vault.id, 0);
    }
    if (context.status)
        input.fileState = context.status->fileState(vault.id);
    return {VaultCardModel::make(input), input.usedBytes};
}

void act(const VaultActions::VaultAction& action, const Vault& vault) {
    if (action)
        action(vault);
}

void act(const VaultActions::Action& action) {
    if (action)
        action();
}

AutoLockSetting autoLockSetting(const HomeContext& context) {
    if (!context.defaults)
        return {SettingsKeys::autoLockEnabled.defaultValue.toBool(),
                SettingsKeys::autoLockMinutes.defaultValue.toLongLong()};
    return {context.defaults->boolValue(SettingsKeys::autoLockEnabled),
            context.defaults->intValue(SettingsKeys::autoLockMinutes)};
}

void refreshOnChanges(QWidget* design, const HomeContext& context, DesignSources sources,
                      std::function<void()> refresh) {
    if (VaultStore* store = context.store) {
        QList<void (VaultStore::*)()> changes = {&VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged,
                                                 &VaultStore::busyVaultsChanged, &VaultStore::sizesOnDiskChanged};
        if (sources.vaultList)
            changes.prepend(&VaultStore::vaultsChanged);
        if (sources.activity)
            changes.append(&VaultStore::activityChanged);
        for (auto signal : std::as_const(changes))
            QObject::connect(store, signal, design, refresh);
    }
    if (context.status)
        QObject::connect(context.status, &VaultStatusCache::changed, design, refresh);
    if (sources.autoLock && context.defaults) {
        QObject::connect(context.defaults, &Defaults::changed, design, [refresh](const QString& key) {
            if (key == SettingsKeys::autoLockEnabled.name || key == SettingsKeys::autoLockMinutes.name)
                refresh();
        });
    }
    auto* ageTimer = new QTimer(design);
    ageTimer->setInterval(30'000);
    QObject::connect(ageTimer, &QTimer::timeout, design, refresh);
    ageTimer->start();
}

void addNewVaultShortcut(QWidget* design, const HomeContext& context) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), design);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, design, [newVault = context.actions.newVault] { act(newVault); });
}

void showCommands(VaultCardModel::Controls controls, QWidget* progress, QWidget* open, QWidget* lock, QWidget* locate,
                  QWidget* unlock) {
    using C = VaultCardModel::Controls;
    progress->setVisible(controls == C::progress);
    open->setVisible(controls == C::openVault);
    lock->setVisible(controls == C::openVault);
    locate->setVisible(controls == C::locate);
    unlock->setVisible(controls == C::unlock);
}

bool listsVault(const QList<Vault>& vaults, const QUuid& id) {
    return std::any_of(vaults.cbegin(), vaults.cend(), [&](const Vault& vault) { return vault.id == id; });
}

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

// ---- button ----

DesignButton::DesignButton(const QString& text, Look look, QWidget* parent) : QPushButton(text, parent) {
    setFlat(true);
    setCursor(Qt::ArrowCursor);
    setLook(std::move(look));
}

void DesignButton::setLook(const Look& look) {
    look_ = look;
    setFont(look_.font);
    setSizePolicy(look_.stretch ? QSizePolicy::Expanding : QSizePolicy::Fixed, QSizePolicy::Fixed);
    updateGeometry();
    update();
}

int DesignButton::leadWidth() const {
    int width = 0;
    if (!look_.symbol.isEmpty())
        width = look_.symbolPx;
    else if (!look_.glyph.isEmpty())
        width = QFontMetrics(look_.glyphFont).horizontalAdvance(look_.glyph);
    if (width > 0 && !text().isEmpty())
        width += look_.gap;
    return width;
}

QSize DesignButton::sizeHint() const {
    const QFontMetrics fm(font());
    int height = fm.height();
    if (!look_.symbol.isEmpty())
        height = std::max(height, look_.symbolPx);
    if (!look_.glyph.isEmpty())
        height = std::max(height, QFontMetrics(look_.glyphFont).height());
    return {fm.horizontalAdvance(text()) + leadWidth() + 2 * look_.padH, height + 2 * look_.padV};
}

QSize DesignButton::minimumSizeHint() const {
    return sizeHint();
}

std::optional<ShadowLook> DesignButton::shadowLook() const {
    return look_.shadow;
}

QPainterPath DesignButton::shadowShape() const {
    return pillPath(QRectF(rect()), look_.pill);
}

void DesignButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    qreal opacity = isDown() ? 0.7 : 1.0;
    if (!isEnabled())
        opacity *= look_.disabledOpacity;
    painter.setOpacity(opacity);
    paintPill(painter, QRectF(rect()), look_.pill);

    const QFontMetrics fm(font());
    const int textWidth = fm.horizontalAdvance(text());
    qreal x = (width() - (textWidth + leadWidth())) / 2.0;
    if (!look_.symbol.isEmpty()) {
        const QPixmap glyph = Symbols::pixmap(look_.symbol, look_.symbolPx, look_.text, devicePixelRatioF());
        painter.drawPixmap(QRectF(x, (height() - look_.symbolPx) / 2.0, look_.symbolPx, look_.symbolPx), glyph,
                           QRectF(glyph.rect()));
        x += leadWidth();
    } else if (!look_.glyph.isEmpty()) {
        painter.setPen(look_.text);
        painter.setFont(look_.glyphFont);
        const int glyphWidth = QFontMetrics(look_.glyphFont).horizontalAdvance(look_.glyph);
        painter.drawText(QRectF(x, 0, glyphWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, look_.glyph);
        x += leadWidth();
    }
    painter.setPen(look_.text);
    painter.setFont(font());
    painter.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                     text());

    // Where the keyboard is, for those who move it with Tab.
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        painter.setOpacity(1.0);
        painter.setPen(QPen(Theme::withAlpha(look_.text, 0.6), 1.5));
        painter.setBrush(Qt::NoBrush);
        PillLook ring = look_.pill;
        ring.radius = ring.radius < 0 ? -1 : std::max<qreal>(ring.radius, 4);
        painter.drawPath(pillPath(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), ring));
    }
}

// ---- labels and symbols ----

void setLabelColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

ThemeLabel* toneLabel(const QString& text, const QFont& font, ThemeLabel::Tone tone, QWidget* parent) {
    auto* label = new ThemeLabel(text, parent);
    label->setFont(font);
    label->setTone(tone);
    return label;
}

ThemeLabel* designLabel(const QString& text, const QFont& font, const QColor& color, Qt::TextElideMode elide,
                        QWidget* parent) {
    auto* label = new ThemeLabel(text, parent);
    label->setFont(font);
    setLabelColor(label, color);
    if (elide != Qt::ElideNone)
        label->setElideMode(elide);
    return label;
}

// ---- glowing ring ----

GlowRing::GlowRing(qreal size, qreal thickness, QWidget* parent)
    : RingGauge(0, size, thickness, QColor(), QColor(), false, parent), ringThickness_(thickness) {}

void GlowRing::setGlow(std::optional<ShadowLook> glow) {
    glow_ = std::move(glow);
    if (parentWidget())
        parentWidget()->update();
}

QPainterPath GlowRing::shadowShape() const {
    // The ring's stroke: an annulus of the gauge's thickness around its circle.
    const QPointF c = QRectF(rect()).center();
    const qreal outer = diameter() / 2 + ringThickness_ / 2;
    const qreal inner = std::max<qreal>(0, diameter() / 2 - ringThickness_ / 2);
    QPainterPath path;
    path.addEllipse(c, outer, outer);
    path.addEllipse(c, inner, inner);
    path.setFillRule(Qt::OddEvenFill);
    return path;
}

// ---- rule ----

Rule::Rule(Qt::Orientation orientation, qreal opacity, QWidget* parent)
    : QWidget(parent), orientation_(orientation), opacity_(opacity) {
    if (orientation == Qt::Horizontal) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    } else {
        setFixedWidth(1);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    }
}

void Rule::setColor(const QColor& color) {
    color_ = color;
    update();
}

QSize Rule::sizeHint() const {
    return orientation_ == Qt::Horizontal ? QSize(1, 1) : QSize(1, 1);
}

void Rule::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // The desktop's separator: a faint line of the text colour.
    const QColor line = color_.isValid() ? color_ : Theme::withAlpha(Theme::primary(palette()), 0.12);
    painter.setOpacity(opacity_);
    painter.fillRect(rect(), line);
}

QScrollArea* designScrollArea(const QColor& handle, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setAutoFillBackground(false);
    area->viewport()->setAutoFillBackground(false);
    // The desktop style's scroll bar is drawn for its own window colour; over a design's own
    // background a slim handle in the design's colour reads better in light and dark alike.
    const QString rgba = QStringLiteral("rgba(%1, %2, %3, %4)")
                             .arg(handle.red())
                             .arg(handle.green())
                             .arg(handle.blue())
                             .arg(handle.alphaF(), 0, 'f', 2);
    area->verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 10px; margin: 2px 2px 2px 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 28px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(rgba));
    return area;
}

void setScrollContent(QScrollArea* area, QWidget* content) {
    area->setWidget(content);
    // setWidget() makes the content paint the window colour; the design's background must show.
    content->setAutoFillBackground(false);
}

void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget())
            delete widget;
        else if (QLayout* inner = item->layout())
            clearLayout(inner);
        delete item;
    }
}

} // namespace larkhold
