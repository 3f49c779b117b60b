#include "NativeProDetailPane.h"

#include "Clock.h"
#include "NativeProDetailPaneText.h"
#include "NativeProHomeState.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QHBoxLayout>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace larkhold {

namespace {

using namespace NativeProDetailPaneText;

DesignButton::Look filled(const QString& symbol, int padV) {
    DesignButton::Look look;
    look.font = Theme::font(13, QFont::Medium);
    look.text = Qt::white;
    look.pill.fill = NativeProColors::accent;
    look.pill.radius = 8;
    look.padH = 18;
    look.padV = padV;
    look.symbol = symbol;
    look.symbolPx = 13;
    look.gap = 8;
    return look;
}

QColor chipColor(Chip::Tone tone, const QPalette& palette) {
    switch (tone) {
    case Chip::Tone::green:
        return Theme::systemGreen(palette);
    case Chip::Tone::orange:
        return Theme::systemOrange(palette);
    case Chip::Tone::secondary:
        break;
    }
    return Theme::secondary(palette);
}

} // namespace

NativeProDetailPane::NativeProDetailPane(HomeContext context, const Clock& clock, QWidget* parent)
    : QWidget(parent), context_(std::move(context)), clock_(clock) {
    setObjectName(QStringLiteral("nativeProDetail"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    stack_ = new QStackedWidget(this);
    empty_ = buildEmptyState();
    detail_ = buildDetail();
    stack_->addWidget(empty_);
    stack_->addWidget(detail_);
    column->addWidget(stack_);
    showVault(std::nullopt);
}

NativeProDetailPane::~NativeProDetailPane() = default;

QWidget* NativeProDetailPane::buildEmptyState() {
    auto* empty = new QWidget;
    empty->setObjectName(QStringLiteral("emptyState"));
    auto* column = new QVBoxLayout(empty);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(new AppIconImage(96, empty), 0, Qt::AlignHCenter);
    column->addWidget(
        toneLabel(kEmptyTitle, Theme::font(20, QFont::Bold, Theme::FontDesign::rounded), ThemeLabel::Tone::primary), 0,
        Qt::AlignHCenter);
    auto* text = toneLabel(kEmptyText, Theme::font(13), ThemeLabel::Tone::secondary);
    text->setAlignment(Qt::AlignCenter);
    column->addWidget(text, 0, Qt::AlignHCenter);
    createFirst_ = new ProminentButton(kCreateFirst, GradientKind::accent, empty);
    createFirst_->setObjectName(QStringLiteral("createFirstButton"));
    column->addWidget(createFirst_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(createFirst_, &QPushButton::clicked, this, [this] { act(context_.actions.newVault); });
    return empty;
}

QWidget* NativeProDetailPane::buildDetail() {
    auto* detail = new QWidget;
    detail->setObjectName(QStringLiteral("vaultDetail"));
    auto* column = new QVBoxLayout(detail);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(20, 8, 20, 12);
    header->setSpacing(12);
    name_ = toneLabel(QString(), Theme::font(15, QFont::DemiBold), ThemeLabel::Tone::primary, detail);
    name_->setObjectName(QStringLiteral("vaultName"));
    name_->setElideMode(Qt::ElideRight);
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    chips_ = new ChipRow(12, name_, detail);
    header->addWidget(chips_, 0, Qt::AlignVCenter);
    header->addStretch(1);
    settings_ = new QuietButton(kSettings, detail);
    settings_->setObjectName(QStringLiteral("settingsButton"));
    settings_->setFont(Theme::font(12, QFont::Medium));
    header->addWidget(settings_, 0, Qt::AlignVCenter);
    column->addLayout(header);
    column->addWidget(new Rule(Qt::Horizontal, 0.5, detail));
    column->addStretch(1);

    ring_ = new RingGauge(0, 124, 11, NativeProColors::accent, QColor(0, 0, 0, qRound(255 * 0.08)), false, detail);
    ring_->setObjectName(QStringLiteral("ring"));
    auto* center = new QWidget;
    auto* centerColumn = new QVBoxLayout(center);
    centerColumn->setContentsMargins(0, 0, 0, 0);
    centerColumn->setSpacing(3);
    ringSymbol_ = new SymbolView(QStringLiteral("lock.fill"), 20, Theme::secondary(palette()), center);
    centerColumn->addWidget(ringSymbol_, 0, Qt::AlignHCenter);
    figure_ = toneLabel(QString(), Theme::font(13, QFont::DemiBold), ThemeLabel::Tone::primary, center);
    figure_->setObjectName(QStringLiteral("ringFigure"));
    figure_->setAlignment(Qt::AlignCenter);
    centerColumn->addWidget(figure_, 0, Qt::AlignHCenter);
    caption_ = toneLabel(QString(), Theme::font(10), ThemeLabel::Tone::secondary, center);
    caption_->setObjectName(QStringLiteral("ringCaption"));
    caption_->setAlignment(Qt::AlignCenter);
    centerColumn->addWidget(caption_, 0, Qt::AlignHCenter);
    ring_->setCenterWidget(center);
    column->addWidget(ring_, 0, Qt::AlignHCenter);

    state_ = toneLabel(QString(), Theme::font(16, QFont::DemiBold), ThemeLabel::Tone::primary, detail);
    state_->setObjectName(QStringLiteral("stateLine"));
    state_->setAlignment(Qt::AlignCenter);
    state_->setElideMode(Qt::ElideMiddle);
    state_->setContentsMargins(20, 14, 20, 0);
    column->addWidget(state_);
    lastOpened_ = toneLabel(QString(), Theme::font(13), ThemeLabel::Tone::secondary, detail);
    lastOpened_->setObjectName(QStringLiteral("lastOpened"));
    lastOpened_->setAlignment(Qt::AlignCenter);
    lastOpened_->setContentsMargins(0, 2, 0, 0);
    column->addWidget(lastOpened_, 0, Qt::AlignHCenter);

    auto* actions = new QHBoxLayout;
    actions->setContentsMargins(20, 16, 20, 0);
    actions->setSpacing(10);
    actions->addStretch(1);
    spinner_ = new BusyIndicator(16, detail);
    actions->addWidget(spinner_, 0, Qt::AlignVCenter);
    open_ = new QuietButton(QString(), detail);
    open_->setObjectName(QStringLiteral("openButton"));
    actions->addWidget(open_, 0, Qt::AlignVCenter);
    lock_ = new DesignButton(kLock, filled(QStringLiteral("lock.fill"), 9), detail);
    lock_->setObjectName(QStringLiteral("lockButton"));
    actions->addWidget(lock_, 0, Qt::AlignVCenter);
    locate_ = new DesignButton(kLocate, filled(QStringLiteral("folder.badge.questionmark"), 10), detail);
    locate_->setObjectName(QStringLiteral("locateButton"));
    actions->addWidget(locate_, 0, Qt::AlignVCenter);
    unlock_ = new DesignButton(QString(), filled(QStringLiteral("touchid"), 10), detail);
    unlock_->setObjectName(QStringLiteral("unlockButton"));
    actions->addWidget(unlock_, 0, Qt::AlignVCenter);
    DesignButton::Look link;
    link.font = Theme::font(12);
    link.text = NativeProColors::accent;
    usePassword_ = new DesignButton(kUsePassword, link, detail);
    usePassword_->setObjectName(QStringLiteral("usePasswordButton"));
    actions->addWidget(usePassword_, 0, Qt::AlignVCenter);
    actions->addStretch(1);
    column->addLayout(actions);

    column->addStretch(1);
    column->addWidget(new Rule(Qt::Horizontal, 0.5, detail));
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(20, 9, 20, 9);
    autoLock_ = toneLabel(QString(), Theme::font(11), ThemeLabel::Tone::secondary, detail);
    autoLock_->setObjectName(QStringLiteral("autoLockCaption"));
    footer->addWidget(autoLock_, 0, Qt::AlignVCenter);
    footer->addStretch(1);
    lockAll_ = new QuietButton(kLockAll, detail);
    lockAll_->setObjectName(QStringLiteral("lockAllButton"));
    footer->addWidget(lockAll_, 0, Qt::AlignVCenter);
    column->addLayout(footer);

    auto vaultAction = [this](VaultActions::VaultAction VaultActions::*slot) {
        return [this, slot] {
            if (vault_)
                act(context_.actions.*slot, *vault_);
        };
    };
    connect(settings_, &QPushButton::clicked, this, &NativeProDetailPane::settingsRequested);
    connect(open_, &QPushButton::clicked, this, vaultAction(&VaultActions::openInFinder));
    connect(lock_, &QPushButton::clicked, this, vaultAction(&VaultActions::lock));
    connect(locate_, &QPushButton::clicked, this, vaultAction(&VaultActions::locate));
    connect(unlock_, &QPushButton::clicked, this, vaultAction(&VaultActions::unlock));
    connect(usePassword_, &QPushButton::clicked, this, vaultAction(&VaultActions::usePassword));
    connect(lockAll_, &QPushButton::clicked, this, [this] { act(context_.actions.lockAll); });
    return detail;
}

void NativeProDetailPane::showVault(const std::optional<Vault>& vault) {
    vault_ = vault;
    refresh();
}

bool NativeProDetailPane::showsEmptyState() const {
    return stack_->currentWidget() == empty_;
}

QStringList NativeProDetailPane::chipTexts() const {
    return chips_->texts();
}

void NativeProDetailPane::refresh() {
    if (!vault_) {
        stack_->setCurrentWidget(empty_);
        return;
    }
    stack_->setCurrentWidget(detail_);
    const Vault& v = *vault_;
    const DesignVault read = readVault(v, context_, clock_.now());
    const VaultCardModel& m = read.model;
    const QPalette pal = palette();

    name_->setText(v.name);
    name_->setToolTip(v.name);
    QList<DesignChip*> widgets;
    for (const Chip& chip : headerChips(m.unlocked, m.fileState, v.excludedFromCloud, v.requireTouchID)) {
        PillLook look;
        look.fill = QColor(0, 0, 0, qRound(255 * 0.06));
        look.radius = 5;
        widgets.append(
            new DesignChip(chip.text, Theme::font(11, QFont::Medium), chipColor(chip.tone, pal), look, 8, 4));
    }
    if (m.fileState != VaultFileState::present)
        widgets.first()->setToolTip(CardText::lastKnownPath + v.bundlePath);
    chips_->setChips(widgets);

    ring_->setColor(m.unlocked ? Theme::systemGreen(pal) : NativeProColors::accent);
    ring_->setSealed(m.sealed);
    ring_->setFraction(m.fraction);
    ringSymbol_->setSymbol(ringSymbol(m.unlocked));
    ringSymbol_->setColor(Theme::secondary(pal));
    figure_->setText(ringFigure(v, m.unlocked, formatFileSize(read.usedBytes)));
    caption_->setText(ringCaption(v, m.unlocked));
    // Places the centre again for its new size.
    ring_->setDiameter(ring_->diameter());

    state_->setText(stateLine(v.name, m.unlocked));
    state_->setToolTip(state_->text());
    const std::optional<QString> opened =
        lastOpenedLine(v.lastOpenedAt ? relativeTimeText(*v.lastOpenedAt, clock_.now()) : QString());
    lastOpened_->setVisible(opened.has_value());
    lastOpened_->setText(opened.value_or(QString()));

    showCommands(m.controls, spinner_, open_, lock_, locate_, unlock_);
    open_->setText(openTitle(v.kind));
    const bool saved = context_.status && context_.status->hasSavedPassword(v.id);
    unlock_->setText(unlockTitle(saved));
    unlock_->updateGeometry();
    usePassword_->setVisible(m.controls == VaultCardModel::Controls::unlock && showsUsePassword(m.fileState));

    const AutoLockSetting autoLock = autoLockSetting(context_);
    autoLock_->setText(autoLockCaption(autoLock.enabled, autoLock.minutes));
    lockAll_->setEnabled(lockAllEnabled(context_.store ? context_.store->openCount() : 0));
}

} // namespace larkhold
