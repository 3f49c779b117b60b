#include "VaultCard.h"

#include "VaultContextMenu.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace larkhold {

namespace {

constexpr qreal kTileSize = 46;
// Above and below the row; the tile brings its own shadow room, which the margins give back.
constexpr int kRowMarginY = VaultCard::kShadowPad + 10 - 4;

// Shows or hides `part` only when that changes it. A part of a card not yet shown is shown with the card;
// asking it to show before then would polish it and lay it out on its own first.
void showPart(QWidget* part, bool shown) {
    if (part->isHidden() == shown)
        part->setVisible(shown);
}

} // namespace

int VaultCard::leastHeight() {
    return IconTile::sideFor(kTileSize) + 2 * kRowMarginY;
}

VaultCard::VaultCard(const Vault& vault, HomeContext context, QWidget* parent)
    : QWidget(parent), vault_(vault), context_(std::move(context)),
      hoverAnimation_(this, Theme::kHoverAnimationMs, Tween::Curve::easeOut,
                      [this](qreal value) {
                          hover_ = value;
                          update();
                      }),
      stateAnimation_(this, Theme::kStateAnimationMs, Tween::Curve::easeOut, [this](qreal value) {
          openness_ = value;
          update();
      }) {
    setObjectName(QStringLiteral("vaultCard"));
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    build();
    // The list tells each card of its own vault's changes (ClassicHome): a card that followed the
    // store's whole-list signals would read itself again for every other vault's change too.
    read(true);
    openness_ = model_.unlocked ? 1 : 0;
}

void VaultCard::setVault(const Vault& vault) {
    if (vault == vault_)
        return;
    vault_ = vault;
    read(true);
}

void VaultCard::refresh() {
    read(false);
}

void VaultCard::build() {
    auto* row = new QHBoxLayout(this);
    // The tile brings its own shadow room, so the left and vertical margins give that back.
    row->setContentsMargins(kShadowPad + 12 - 4, kRowMarginY, kShadowPad + 12, kRowMarginY);
    row->setSpacing(14);

    tile_ = new IconTile(QStringLiteral("lock.fill"), GradientKind::locked, kTileSize, this);
    row->addWidget(tile_, 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(5);
    column->setContentsMargins(0, 0, 0, 0);

    auto* title = new QHBoxLayout;
    title->setSpacing(6);
    title->setContentsMargins(0, 0, 0, 0);
    name_ = new ThemeLabel(vault_.name, this);
    name_->setObjectName(QStringLiteral("vaultName"));
    name_->setFont(Theme::font(15, QFont::DemiBold));
    name_->setElideMode(Qt::ElideMiddle);
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    title->addWidget(name_, 0);
    openIcon_ = new SymbolView(QStringLiteral("lock.open.fill"), 11, ThemeLabel::Tone::green, this);
    openIcon_->setToolTip(CardText::vaultIsOpen);
    title->addWidget(openIcon_, 0, Qt::AlignVCenter);
    cloudIcon_ = new SymbolView(QStringLiteral("icloud.slash"), 11, ThemeLabel::Tone::secondary, this);
    cloudIcon_->setToolTip(CardText::keptOutOfCloud());
    title->addWidget(cloudIcon_, 0, Qt::AlignVCenter);
    ownerIcon_ = new SymbolView(QStringLiteral("touchid"), 11, ThemeLabel::Tone::secondary, this);
    ownerIcon_->setToolTip(CardText::ownerCheckRequired());
    title->addWidget(ownerIcon_, 0, Qt::AlignVCenter);
    badge_ = new CapsuleBadge(CardText::nearlyFull, GradientKind::warning, this);
    badge_->setObjectName(QStringLiteral("nearlyFull"));
    title->addWidget(badge_, 0, Qt::AlignVCenter);
    title->addStretch(1);
    column->addLayout(title);

    usage_ = new QWidget(this);
    auto* usage = new QVBoxLayout(usage_);
    usage->setContentsMargins(0, 1, 0, 0);
    usage->setSpacing(5);
    bar_ = new CapacityBar(0, false, usage_);
    bar_->setMaximumWidth(170);
    usage->addWidget(bar_);
    caption_ = new ThemeLabel(QString(), usage_);
    caption_->setObjectName(QStringLiteral("usageCaption"));
    caption_->setFont(Theme::font(11));
    caption_->setTone(ThemeLabel::Tone::secondary);
    caption_->setElideMode(Qt::ElideRight);
    usage->addWidget(caption_);
    column->addWidget(usage_);

    missing_ = new QWidget(this);
    missing_->setObjectName(QStringLiteral("missingFile"));
    auto* missing = new QHBoxLayout(missing_);
    missing->setContentsMargins(0, 0, 0, 0);
    missing->setSpacing(4);
    missingIcon_ =
        new SymbolView(QStringLiteral("exclamationmark.triangle.fill"), 12, ThemeLabel::Tone::orange, missing_);
    missing->addWidget(missingIcon_, 0, Qt::AlignVCenter);
    missingText_ = new ThemeLabel(QString(), missing_);
    missingText_->setFont(Theme::font(11));
    missingText_->setTone(ThemeLabel::Tone::orange);
    missingText_->setElideMode(Qt::ElideRight);
    missing->addWidget(missingText_, 1);
    column->addWidget(missing_);

    row->addLayout(column, 1);

    spinner_ = new BusyIndicator(16, this);
    row->addWidget(spinner_, 0, Qt::AlignVCenter);

    settingsButton_ = new QuietButton(QString(), this);
    settingsButton_->setObjectName(QStringLiteral("vaultSettingsButton"));
    settingsButton_->setSymbol(QStringLiteral("gearshape"));
    settingsButton_->setSymbolPixelSize(13);
    settingsButton_->setToolTip(CardText::vaultSettings);
    settingsButton_->setAccessibleName(CardText::vaultSettings);
    row->addWidget(settingsButton_, 0, Qt::AlignVCenter);

    openButton_ = new QuietButton(CardText::open, this);
    openButton_->setObjectName(QStringLiteral("openButton"));
    row->addWidget(openButton_, 0, Qt::AlignVCenter);

    lockButton_ = new ProminentButton(CardText::lock, GradientKind::unlocked, this);
    lockButton_->setObjectName(QStringLiteral("lockButton"));
    lockButton_->setSymbol(QStringLiteral("lock.fill"));
    row->addWidget(lockButton_, 0, Qt::AlignVCenter);

    locateButton_ = new ProminentButton(CardText::locate, GradientKind::accent, this);
    locateButton_->setObjectName(QStringLiteral("locateButton"));
    locateButton_->setSymbol(QStringLiteral("folder.badge.questionmark"));
    row->addWidget(locateButton_, 0, Qt::AlignVCenter);

    unlockButton_ = new ProminentButton(CardText::unlock, GradientKind::accent, this);
    unlockButton_->setObjectName(QStringLiteral("unlockButton"));
    unlockButton_->setSymbol(QStringLiteral("key.fill"));
    row->addWidget(unlockButton_, 0, Qt::AlignVCenter);

    auto act = [this](VaultActions::VaultAction VaultActions::*slot) {
        return [this, slot] {
            const VaultActions::VaultAction& action = context_.actions.*slot;
            if (action)
                action(vault_);
        };
    };
    connect(settingsButton_, &QPushButton::clicked, this, act(&VaultActions::vaultSettings));
    connect(openButton_, &QPushButton::clicked, this, act(&VaultActions::openInFinder));
    connect(lockButton_, &QPushButton::clicked, this, act(&VaultActions::lock));
    connect(locateButton_, &QPushButton::clicked, this, act(&VaultActions::locate));
    connect(unlockButton_, &QPushButton::clicked, this, act(&VaultActions::unlock));
}

void VaultCard::read(bool vaultChanged) {
    ++reads_;
    VaultCardInput input;
    input.vault = vault_;
    input.now = Date::now();
    if (VaultStore* store = context_.store) {
        input.unlocked = store->isUnlocked(vault_.id);
        input.busy = store->isBusy(vault_.id);
        input.askingKeyring = store->isAskingKeyring(vault_.id);
        input.usedBytes = store->sizesOnDisk().value(vault_.id, 0);
    }
    if (context_.status)
        input.fileState = context_.status->fileState(vault_.id);
    VaultCardModel model = VaultCardModel::make(input);
    if (!vaultChanged && model == model_)
        return;
    const bool wasUnlocked = model_.unlocked;
    model_ = std::move(model);
    ++changesShown_;
    if (wasUnlocked != model_.unlocked && isVisible()) {
        stateAnimation_.run(openness_, model_.unlocked ? 1.0 : 0.0);
    } else if (!isVisible()) {
        openness_ = model_.unlocked ? 1 : 0;
    }
    apply();
}

void VaultCard::apply() {
    const VaultCardModel& m = model_;
    tile_->setSymbol(m.tileSymbol);
    tile_->setGradient(m.tileGradient);
    name_->setText(vault_.name);
    name_->setToolTip(vault_.name);
    showPart(openIcon_, m.showOpenIcon);
    showPart(cloudIcon_, m.showCloudIcon);
    showPart(ownerIcon_, m.showOwnerCheckIcon);
    showPart(badge_, m.badge.has_value());
    if (m.badge)
        badge_->setGradient(*m.badge);
    badge_->setToolTip(m.badgeTooltip);

    showPart(usage_, m.showUsage);
    bar_->setSealed(m.sealed);
    bar_->setFraction(m.fraction);
    caption_->setText(m.caption);
    caption_->setToolTip(m.caption);
    showPart(missing_, !m.showUsage);
    missingText_->setText(m.missingText);
    missing_->setToolTip(m.missingTooltip);
    missingText_->setToolTip(m.missingTooltip);
    if (!m.missingSymbol.isEmpty() && missingIcon_->symbol() != m.missingSymbol) {
        auto* replacement = new SymbolView(m.missingSymbol, 12, ThemeLabel::Tone::orange, missing_);
        missing_->layout()->replaceWidget(missingIcon_, replacement);
        missingIcon_->deleteLater();
        missingIcon_ = replacement;
    }

    using C = VaultCardModel::Controls;
    showPart(spinner_, m.controls == C::progress);
    showPart(settingsButton_, m.controls == C::openVault);
    showPart(openButton_, m.controls == C::openVault);
    showPart(lockButton_, m.controls == C::openVault);
    showPart(locateButton_, m.controls == C::locate);
    showPart(unlockButton_, m.controls == C::unlock);
    update();
}

void VaultCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(kShadowPad, kShadowPad, -kShadowPad, -kShadowPad);
    const QPainterPath shape = Theme::roundedRect(card, 14);
    const qreal shadowAlpha = 0.05 + 0.05 * hover_;
    const qreal blur = 4 + 4 * hover_;
    Theme::paintShadow(painter, shape, QColor(0, 0, 0, qRound(255 * shadowAlpha)), blur, QPointF(0, 2));
    painter.fillPath(shape, Theme::withAlpha(Theme::controlBackground(palette()), 0.65 + 0.35 * hover_));
    // An inner border: green while open, a hairline of the text colour while locked.
    const QColor locked = Theme::withAlpha(Theme::primary(palette()), 0.07);
    const QColor open = Theme::withAlpha(Theme::systemGreen(palette()), 0.35);
    const qreal t = openness_;
    const QColor border = QColor::fromRgbF(float(locked.redF() + (open.redF() - locked.redF()) * t),
                                           float(locked.greenF() + (open.greenF() - locked.greenF()) * t),
                                           float(locked.blueF() + (open.blueF() - locked.blueF()) * t),
                                           float(locked.alphaF() + (open.alphaF() - locked.alphaF()) * t));
    painter.setPen(QPen(border, 1));
    painter.drawPath(Theme::roundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), 13.5));
}

void VaultCard::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    hoverAnimation_.run(hover_, 1.0);
}

void VaultCard::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    hoverAnimation_.run(hover_, 0.0);
}

void VaultCard::contextMenuEvent(QContextMenuEvent* event) {
    VaultContextMenu::popup(vault_, context_, this, event->globalPos());
    event->accept();
}

} // namespace larkhold
