#include "NativeProHome.h"

#include "Clock.h"
#include "NativeProDetailPane.h"
#include "VaultContextMenu.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

namespace larkhold {

namespace {

using namespace NativeProColors;

QColor black(qreal alpha) {
    return QColor(0, 0, 0, qRound(255 * alpha));
}

} // namespace

// ---- sidebar row ----

NativeProSidebarRow::NativeProSidebarRow(const Vault& vault, HomeContext context, QWidget* parent)
    : QAbstractButton(parent), vault_(vault), context_(std::move(context)) {
    setObjectName(QStringLiteral("sidebarRow"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::TabFocus);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 7, 8, 7);
    row->setSpacing(9);
    ring_ = new RingGauge(0, 16, 3, accent, black(0.12), false, this);
    sealedLock_ = new SymbolView(QStringLiteral("lock.fill"), 6, Theme::secondary(palette()));
    ring_->setCenterWidget(sealedLock_);
    row->addWidget(ring_, 0, Qt::AlignVCenter);
    name_ = toneLabel(vault_.name, Theme::font(13, QFont::Medium), ThemeLabel::Tone::primary, this);
    name_->setObjectName(QStringLiteral("vaultName"));
    name_->setElideMode(Qt::ElideRight);
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    name_->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(name_, 1);
    size_ = toneLabel(QString(), Theme::font(11), ThemeLabel::Tone::secondary, this);
    size_->setObjectName(QStringLiteral("sizeCaption"));
    size_->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(size_, 0, Qt::AlignVCenter);
    ring_->setAttribute(Qt::WA_TransparentForMouseEvents);
    refresh();
}

void NativeProSidebarRow::setVault(const Vault& vault) {
    vault_ = vault;
    refresh();
}

void NativeProSidebarRow::setSelected(bool selected) {
    if (selected_ == selected)
        return;
    selected_ = selected;
    update();
}

void NativeProSidebarRow::refresh() {
    const DesignVault read = readVault(vault_, context_, Date::now());
    const VaultCardModel& m = read.model;
    ring_->setColor(m.unlocked ? Theme::systemGreen(palette()) : accent);
    ring_->setSealed(m.sealed);
    ring_->setFraction(m.fraction);
    sealedLock_->setVisible(m.sealed);
    name_->setText(vault_.name);
    setToolTip(vault_.name);
    setAccessibleName(vault_.name);
    size_->setText(NativeProHomeText::rowSizeCaption(vault_, m.unlocked, formatFileSize(read.usedBytes)));
}

QSize NativeProSidebarRow::sizeHint() const {
    return layout() ? layout()->sizeHint() : QAbstractButton::sizeHint();
}

void NativeProSidebarRow::paintEvent(QPaintEvent*) {
    if (!selected_ && !hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = Theme::roundedRect(QRectF(rect()), 7);
    if (selected_)
        painter.fillPath(shape, Theme::withAlpha(accent, 0.16));
    if (hasFocus()) {
        painter.setPen(QPen(Theme::withAlpha(accent, 0.6), 1));
        painter.drawPath(Theme::roundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6.5));
    }
}

void NativeProSidebarRow::contextMenuEvent(QContextMenuEvent* event) {
    VaultContextMenu::popup(vault_, context_, this, event->globalPos());
    event->accept();
}

// ---- usage bar ----

NativeProUsageBar::NativeProUsageBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("usageBar"));
    setFixedHeight(4);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void NativeProUsageBar::setSizes(QList<qint64> sizes) {
    sizes_ = std::move(sizes);
    update();
}

QList<qreal> NativeProUsageBar::segmentWidths() const {
    return NativeProHomeText::segmentWidths(sizes_, width());
}

QSize NativeProUsageBar::sizeHint() const {
    return {100, 4};
}

void NativeProUsageBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(Theme::capsule(QRectF(rect())));
    // The filler lies under everything and shows where the segments end.
    painter.fillRect(rect(), black(0.09));
    qreal x = 0;
    const QList<qreal> widths = segmentWidths();
    for (qsizetype i = 0; i < widths.size(); ++i) {
        const QColor color = Theme::withAlpha(accent, NativeProHomeText::segmentOpacity(i));
        painter.fillRect(QRectF(x, 0, widths[i], height()), color);
        x += widths[i] + 1;
    }
}

// ---- the design ----

NativeProHome::NativeProHome(HomeContext context, QWidget* parent, const Clock* clock)
    : QWidget(parent), context_(std::move(context)), status_(context_.status), clock_(designClock(clock)) {
    setObjectName(QStringLiteral("nativeProHome"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(buildSidebar());
    row->addWidget(new Rule(Qt::Vertical, 1.0, this));
    detail_ = new NativeProDetailPane(context_, clock_, this);
    row->addWidget(detail_, 1);
    connect(detail_, &NativeProDetailPane::settingsRequested, this, [this] {
        emit settingsRequested();
        openSettings();
    });

    addNewVaultShortcut(this, context_);
    // A new list moves the selection first.
    if (context_.store)
        connect(context_.store, &VaultStore::vaultsChanged, this, &NativeProHome::vaultsChanged);
    DesignSources sources;
    sources.vaultList = false;
    sources.autoLock = true;
    refreshOnChanges(this, context_, sources, [this] { refresh(); });
    // The unlock button says whether a saved password will be used.
    if (context_.status)
        context_.status->setTrackSavedPasswords(true);

    selection_.reset(context_.store ? context_.store->vaults() : QList<Vault>());
    refresh();
}

NativeProHome::~NativeProHome() {
    // Only this design asks the keyring; the next one must not keep it busy.
    if (status_)
        status_->setTrackSavedPasswords(false);
}

QWidget* NativeProHome::buildSidebar() {
    auto* sidebar = new QWidget(this);
    sidebar->setObjectName(QStringLiteral("sidebar"));
    sidebar->setFixedWidth(kSidebarWidth);
    sidebar->setAutoFillBackground(true);
    QPalette palette = sidebar->palette();
    palette.setColor(QPalette::Window, sidebarBG);
    sidebar->setPalette(palette);

    auto* column = new QVBoxLayout(sidebar);
    column->setContentsMargins(12, 0, 12, 14);
    column->setSpacing(2);

    auto* title = new QHBoxLayout;
    title->setContentsMargins(6 - 4, 4, 6, 10);
    title->setSpacing(8);
    title->addWidget(new AppIconImage(36, sidebar), 0, Qt::AlignVCenter);
    title->addWidget(toneLabel(NativeProHomeText::kTitle, Theme::font(14, QFont::Bold, Theme::FontDesign::rounded),
                               ThemeLabel::Tone::primary),
                     0, Qt::AlignVCenter);
    title->addStretch(1);
    column->addLayout(title);

    PillLook well;
    well.fill = black(0.06);
    well.radius = 7;
    auto* searchWell = new Surface(well, sidebar);
    auto* search = new QHBoxLayout(searchWell);
    search->setContentsMargins(9, 6, 9, 6);
    search->setSpacing(6);
    search->addWidget(new SymbolView(QStringLiteral("magnifyingglass"), 10, Theme::secondary(palette), searchWell), 0,
                      Qt::AlignVCenter);
    search_ = new QLineEdit(searchWell);
    search_->setObjectName(QStringLiteral("searchField"));
    search_->setAccessibleName(QStringLiteral("Search"));
    search_->setFrame(false);
    search_->setFont(Theme::font(12));
    search_->setPlaceholderText(NativeProHomeText::kSearchPlaceholder);
    QPalette fieldPalette = search_->palette();
    fieldPalette.setColor(QPalette::Base, Qt::transparent);
    search_->setPalette(fieldPalette);
    search->addWidget(search_, 1);
    column->addWidget(searchWell);
    column->addSpacing(12);

    auto* section =
        toneLabel(NativeProHomeText::kSection, Theme::font(11, QFont::DemiBold), ThemeLabel::Tone::secondary);
    section->setContentsMargins(8, 0, 8, 6);
    column->addWidget(section);

    // Every vault is listed: more rows than fit scroll rather than being cut off.
    scroll_ = designScrollArea(black(0.25), sidebar);
    scroll_->setObjectName(QStringLiteral("vaultRows"));
    scroll_->setAccessibleName(QStringLiteral("Vaults"));
    auto* rows = new QWidget;
    rowList_ = new QVBoxLayout(rows);
    rowList_->setContentsMargins(0, 0, 0, 0);
    rowList_->setSpacing(2);
    rowList_->addStretch(1);
    setScrollContent(scroll_, rows);
    column->addWidget(scroll_, 1);

    PillLook summaryLook;
    summaryLook.fill = black(0.045);
    summaryLook.radius = 9;
    auto* summary = new Surface(summaryLook, sidebar);
    summary->setObjectName(QStringLiteral("summaryCard"));
    auto* summaryColumn = new QVBoxLayout(summary);
    summaryColumn->setContentsMargins(11, 11, 11, 11);
    summaryColumn->setSpacing(6);
    auto* onDisk = new QHBoxLayout;
    onDisk->setContentsMargins(0, 0, 0, 0);
    onDisk->addWidget(
        toneLabel(NativeProHomeText::kOnDisk, Theme::font(11, QFont::Medium), ThemeLabel::Tone::secondary));
    onDisk->addStretch(1);
    total_ = toneLabel(QString(), Theme::font(11, QFont::Medium), ThemeLabel::Tone::primary, summary);
    total_->setObjectName(QStringLiteral("totalOnDisk"));
    onDisk->addWidget(total_);
    summaryColumn->addLayout(onDisk);
    bar_ = new NativeProUsageBar(summary);
    summaryColumn->addWidget(bar_);
    summary_ = toneLabel(QString(), Theme::font(10), ThemeLabel::Tone::secondary, summary);
    summary_->setObjectName(QStringLiteral("summaryCaption"));
    summaryColumn->addWidget(summary_);
    column->addWidget(summary);

    DesignButton::Look look;
    look.font = Theme::font(12, QFont::Medium);
    look.text = Qt::black;
    look.pill.fill = Qt::white;
    look.pill.border = black(0.14);
    look.pill.borderWidth = 1;
    look.pill.radius = 8;
    look.padV = 8;
    look.padH = 8;
    look.symbol = QStringLiteral("plus");
    look.symbolPx = 11;
    look.gap = 7;
    look.stretch = true;
    newVault_ = new DesignButton(NativeProHomeText::kNewVault, look, sidebar);
    newVault_->setObjectName(QStringLiteral("newVaultButton"));
    newVault_->setToolTip(QStringLiteral("New Vault (Ctrl+N)"));
    column->addSpacing(10);
    column->addWidget(newVault_);
    connect(newVault_, &QPushButton::clicked, this, [this] { act(context_.actions.newVault); });
    connect(search_, &QLineEdit::textChanged, this, &NativeProHome::refresh);
    return sidebar;
}

QList<NativeProSidebarRow*> NativeProHome::rows() const {
    return rows_.inOrder(true);
}

void NativeProHome::openSettings() {
    // The window's own "Settings…" command (Ctrl+,) opens the settings window; the link takes the
    // same road rather than a second one.
    const QKeySequence settingsKey(Qt::CTRL | Qt::Key_Comma);
    const QList<QAction*> actions = window()->findChildren<QAction*>();
    for (QAction* action : actions) {
        if (action->isEnabled() && action->shortcuts().contains(settingsKey)) {
            action->trigger();
            return;
        }
    }
}

void NativeProHome::vaultsChanged() {
    selection_.vaultsChanged(context_.store ? context_.store->vaults() : QList<Vault>());
    refresh();
}

void NativeProHome::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    // Coming on screen starts afresh: the first vault, no search.
    search_->blockSignals(true);
    search_->clear();
    search_->blockSignals(false);
    selection_.reset(context_.store ? context_.store->vaults() : QList<Vault>());
    refresh();
}

void NativeProHome::refresh() {
    syncRows();
    updateSummary();
}

void NativeProHome::syncRows() {
    const QList<Vault> vaults = context_.store ? context_.store->vaults() : QList<Vault>();
    const QList<Vault> filtered = DesignText::filterByName(vaults, search_->text());
    const std::optional<Vault> selected = selection_.selectedVault(vaults, filtered);
    QWidget* content = scroll_->widget();
    rows_.sync(
        vaults, rowList_, 0,
        [&](const Vault& vault) {
            auto* row = new NativeProSidebarRow(vault, context_, content);
            connect(row, &QAbstractButton::clicked, this, [this, id = vault.id] {
                selection_.select(id);
                refresh();
            });
            return row;
        },
        [&](NativeProSidebarRow* row, const Vault& vault, qsizetype) {
            row->setVault(vault);
            row->setVisible(listsVault(filtered, vault.id));
            row->setSelected(selected && selected->id == vault.id);
        });
    detail_->showVault(selected);
}

void NativeProHome::updateSummary() {
    const VaultStore* store = context_.store;
    const QList<Vault> vaults = store ? store->vaults() : QList<Vault>();
    QList<qint64> sizes;
    for (const Vault& vault : vaults)
        sizes.append(store->sizesOnDisk().value(vault.id, 0));
    bar_->setSizes(sizes);
    total_->setText(formatFileSize(store ? totalUsedBytes(vaults, store->sizesOnDisk()) : 0));
    summary_->setText(NativeProHomeText::summaryCaption(int(vaults.size()), store ? store->openCount() : 0));
}

void NativeProHome::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), paneBG);
}

} // namespace larkhold
