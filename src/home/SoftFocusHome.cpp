#include "SoftFocusHome.h"

#include "Clock.h"
#include "SoftFocusHomeText.h"
#include "VaultStore.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace larkhold {

namespace {

using namespace SoftFocusColors;

QColor faded(const QColor& color, qreal alpha) {
    return Theme::withAlpha(color, alpha);
}

DesignButton::Look filledCapsule(int textPx, int padV) {
    DesignButton::Look look;
    look.font = Theme::font(textPx, QFont::Bold);
    look.text = Qt::white;
    look.pill.fill = purple;
    look.padH = 18;
    look.padV = padV;
    return look;
}

DesignButton::Look outlinedCapsule() {
    DesignButton::Look look;
    look.font = Theme::font(13, QFont::Bold);
    look.text = purple;
    look.pill.fill = Qt::white;
    look.pill.border = faded(purple, 0.35);
    look.pill.borderWidth = 1.5;
    look.padH = 18;
    look.padV = 10;
    return look;
}

DesignButton::Look plainText(int px, const QColor& color) {
    DesignButton::Look look;
    look.font = Theme::font(px, QFont::Bold);
    look.text = color;
    return look;
}

QColor chipColor(SoftFocusHomeText::Chip::Tone tone, const QPalette& palette) {
    switch (tone) {
    case SoftFocusHomeText::Chip::Tone::green:
        return Theme::systemGreen(palette);
    case SoftFocusHomeText::Chip::Tone::amber:
        return amber;
    case SoftFocusHomeText::Chip::Tone::sub:
        break;
    }
    return sub;
}

} // namespace

// ---- card ----

SoftFocusCard::SoftFocusCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent)
    : DesignCard(vault, std::move(context), clock, parent) {
    setObjectName(QStringLiteral("softFocusCard"));
    PillLook look;
    look.fill = faded(Qt::white, 0.65);
    look.border = faded(Qt::white, 0.9);
    look.borderWidth = 1;
    look.radius = 20;
    setLook(look);
    setShadow(ShadowLook{cardShadow, 12, QPointF(0, 4)});
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    build();
}

void SoftFocusCard::build() {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(20, 16, 20, 16);
    row->setSpacing(18);

    ring_ = new RingGauge(0, 56, 7, purple, faded(purple, 0.15), false, this);
    ring_->setObjectName(QStringLiteral("ring"));
    ringCenter_ = new QWidget;
    auto* center = new QVBoxLayout(ringCenter_);
    center->setContentsMargins(0, 0, 0, 0);
    center->setSpacing(0);
    sealedLock_ = new SymbolView(QStringLiteral("lock.fill"), 15, sub, ringCenter_);
    center->addWidget(sealedLock_, 0, Qt::AlignCenter);
    ringFigures_ = new QWidget(ringCenter_);
    auto* figures = new QVBoxLayout(ringFigures_);
    figures->setContentsMargins(0, 0, 0, 0);
    figures->setSpacing(0);
    percent_ = designLabel(QString(), Theme::font(11, QFont::ExtraBold, Theme::FontDesign::rounded), purple);
    percent_->setObjectName(QStringLiteral("percent"));
    percent_->setAlignment(Qt::AlignCenter);
    figures->addWidget(percent_, 0, Qt::AlignHCenter);
    auto* full = designLabel(SoftFocusHomeText::kRingCaption, Theme::font(7, QFont::DemiBold), sub);
    full->setAlignment(Qt::AlignCenter);
    figures->addWidget(full, 0, Qt::AlignHCenter);
    center->addWidget(ringFigures_, 0, Qt::AlignCenter);
    ring_->setCenterWidget(ringCenter_);
    row->addWidget(ring_, 0, Qt::AlignVCenter);

    row->addLayout(buildTexts({Theme::font(16, QFont::ExtraBold, Theme::FontDesign::rounded), ink, 8,
                               Theme::font(12, QFont::DemiBold), sub}),
                   1);
    addCommands(row, {plainText(16, sub), plainText(12, sub), filledCapsule(13, 10), outlinedCapsule()});
}

void SoftFocusCard::setVault(const Vault& vault, qsizetype position) {
    vault_ = vault;
    position_ = position;
    refresh();
}

void SoftFocusCard::refresh() {
    const DesignVault read = readAgain();
    const QColor positionColor = SoftFocusHomeText::positionColor(position_);

    ring_->setColor(model_.unlocked ? Theme::systemGreen(palette()) : positionColor);
    ring_->setTrack(faded(positionColor, 0.15));
    ring_->setSealed(model_.sealed);
    ring_->setFraction(model_.fraction);
    sealedLock_->setVisible(model_.sealed);
    ringFigures_->setVisible(!model_.sealed);
    percent_->setText(SoftFocusHomeText::ringPercent(model_.fraction));
    setLabelColor(percent_, positionColor);
    // Places the centre again for its new size.
    ring_->setDiameter(ring_->diameter());

    const QList<SoftFocusHomeText::Chip> chips = SoftFocusHomeText::chips(
        model_.unlocked, model_.fileState, vault_.excludedFromCloud, model_.fraction, vault_.requireTouchID);
    QList<DesignChip*> widgets;
    for (const auto& chip : chips) {
        const QColor color = chipColor(chip.tone, palette());
        PillLook look;
        look.fill = faded(color, 0.12);
        widgets.append(new DesignChip(chip.text, Theme::font(10, QFont::DemiBold), color, look, 8, 3));
    }
    chips_->setChips(widgets);

    meta_->setText(SoftFocusHomeText::metaLine(model_.fileState,
                                               capacityCaption(read.usedBytes, vault_, model_.unlocked), openedAgo()));
}

// ---- the design ----

SoftFocusHome::SoftFocusHome(HomeContext context, QWidget* parent, const Clock* clock)
    : QWidget(parent), context_(std::move(context)), clock_(designClock(clock)) {
    setObjectName(QStringLiteral("softFocusHome"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(buildList(), 1);
    column->addWidget(buildFooter());

    addNewVaultShortcut(this, context_);
    // The greeting and the relative times age with the clock.
    refreshOnChanges(this, context_, {}, [this] { refresh(); });
    refresh();
}

SoftFocusHome::~SoftFocusHome() = default;

QWidget* SoftFocusHome::buildHeader() {
    auto* header = new ShadowHost(this);
    auto* row = new QHBoxLayout(header);
    // The icon brings a few pixels of room for its shadow; the margins give them back.
    row->setContentsMargins(30 - 5, 6, 30, 4);
    row->setSpacing(14);
    row->addWidget(new AppIconImage(60, header), 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(4);
    greeting_ = designLabel(QString(), Theme::font(24, QFont::ExtraBold, Theme::FontDesign::rounded), ink);
    greeting_->setObjectName(QStringLiteral("greeting"));
    texts->addWidget(greeting_);
    status_ = designLabel(QString(), Theme::font(12, QFont::DemiBold), sub);
    status_->setObjectName(QStringLiteral("statusLine"));
    texts->addWidget(status_);
    row->addLayout(texts, 0);
    row->setAlignment(texts, Qt::AlignVCenter);
    row->addStretch(1);

    DesignButton::Look look = filledCapsule(13, 11);
    look.shadow = ShadowLook{faded(purple, 0.35), 8, QPointF(0, 4)};
    newVault_ = new DesignButton(SoftFocusHomeText::kNewVault, look, header);
    newVault_->setObjectName(QStringLiteral("newVaultButton"));
    newVault_->setToolTip(QStringLiteral("New Vault (Ctrl+N)"));
    row->addWidget(newVault_, 0, Qt::AlignVCenter);
    connect(newVault_, &QPushButton::clicked, this, [this] { act(context_.actions.newVault); });
    return header;
}

QWidget* SoftFocusHome::buildList() {
    scroll_ = designScrollArea(faded(sub, 0.35), this);
    scroll_->setObjectName(QStringLiteral("vaultList"));
    scroll_->setAccessibleName(QStringLiteral("Vaults"));

    auto* content = new ShadowHost;
    list_ = new QVBoxLayout(content);
    list_->setContentsMargins(30, 16, 30, 0);
    list_->setSpacing(12);

    DesignButton::Look zone;
    zone.font = Theme::font(12, QFont::Bold);
    zone.text = faded(purple, 0.85);
    zone.glyph = QStringLiteral("+");
    zone.glyphFont = Theme::font(15, QFont::Bold);
    zone.gap = 8;
    zone.padV = 14;
    zone.padH = 14;
    zone.pill.border = faded(purple, 0.35);
    zone.pill.borderWidth = 1.5;
    zone.pill.radius = 20;
    zone.pill.dashed = true;
    zone.stretch = true;
    zone_ = new DesignButton(SoftFocusHomeText::kNewVaultZone, zone, content);
    zone_->setObjectName(QStringLiteral("newVaultZone"));
    list_->addWidget(zone_);
    list_->addStretch(1);
    connect(zone_, &QPushButton::clicked, this, [this] { act(context_.actions.newVault); });

    setScrollContent(scroll_, content);
    return scroll_;
}

QWidget* SoftFocusHome::buildFooter() {
    auto* footer = new QWidget(this);
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(30, 16, 30, 16);
    row->setSpacing(8);
    PillLook chip;
    chip.fill = faded(Qt::white, 0.55);
    const QFont font = Theme::font(10, QFont::Bold);
    openChip_ = new DesignChip(QString(), font, sub, chip, 11, 6, footer);
    openChip_->setObjectName(QStringLiteral("openChip"));
    totalChip_ = new DesignChip(QString(), font, sub, chip, 11, 6, footer);
    totalChip_->setObjectName(QStringLiteral("totalChip"));
    cloudChip_ = new DesignChip(SoftFocusHomeText::cloudSyncOffChip(), font, sub, chip, 11, 6, footer);
    cloudChip_->setObjectName(QStringLiteral("cloudChip"));
    row->addWidget(openChip_);
    row->addWidget(totalChip_);
    row->addWidget(cloudChip_);
    row->addStretch(1);
    DesignButton::Look look = plainText(10, purple);
    lockAll_ = new DesignButton(SoftFocusHomeText::kLockAllNow, look, footer);
    lockAll_->setObjectName(QStringLiteral("lockAllButton"));
    row->addWidget(lockAll_);
    connect(lockAll_, &QPushButton::clicked, this, [this] { act(context_.actions.lockAll); });
    return footer;
}

QList<DesignChip*> SoftFocusHome::footerChips() const {
    QList<DesignChip*> chips;
    for (DesignChip* chip : {openChip_, totalChip_, cloudChip_}) {
        if (!chip->isHidden())
            chips.append(chip);
    }
    return chips;
}

QList<SoftFocusCard*> SoftFocusHome::cards() const {
    return cards_.inOrder(false);
}

void SoftFocusHome::refresh() {
    syncCards();
    updateTexts();
}

void SoftFocusHome::syncCards() {
    const QList<Vault> vaults = context_.store ? context_.store->vaults() : QList<Vault>();
    QWidget* content = scroll_->widget();
    // Cards stand in list order above the new-vault zone.
    cards_.sync(
        vaults, list_, 0, [&](const Vault& vault) { return new SoftFocusCard(vault, context_, clock_, content); },
        [](SoftFocusCard* card, const Vault& vault, qsizetype position) { card->setVault(vault, position); });
    content->update();
}

void SoftFocusHome::updateTexts() {
    const VaultStore* store = context_.store;
    const QList<Vault> vaults = store ? store->vaults() : QList<Vault>();
    const int openCount = store ? store->openCount() : 0;
    greeting_->setText(SoftFocusHomeText::greeting(clock_));
    status_->setText(SoftFocusHomeText::statusLine(int(vaults.size()), openCount));
    openChip_->setText(SoftFocusHomeText::openChip(openCount));
    const qint64 total = store ? totalUsedBytes(vaults, store->sizesOnDisk()) : 0;
    totalChip_->setText(SoftFocusHomeText::totalChip(formatFileSize(total)));
    cloudChip_->setVisible(SoftFocusHomeText::showsCloudSyncOff(vaults));
    lockAll_->setEnabled(SoftFocusHomeText::lockAllEnabled(openCount));
}

void SoftFocusHome::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient wash(QPointF(0, 0), QPointF(width(), height()));
    wash.setColorAt(0.0, washStart);
    wash.setColorAt(0.5, washMiddle);
    wash.setColorAt(1.0, washEnd);
    painter.fillRect(rect(), wash);
}

} // namespace larkhold
