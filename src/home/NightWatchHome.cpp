#include "NightWatchHome.h"

#include "Clock.h"
#include "NightWatchHomeText.h"
#include "VaultStore.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>

namespace larkhold {

namespace {

using namespace NightWatchColors;

QFont mono(int px, QFont::Weight weight) {
    return Theme::font(px, weight, Theme::FontDesign::monospaced);
}

DesignButton::Look filled(int px, int padV) {
    DesignButton::Look look;
    look.font = Theme::font(px, QFont::Bold);
    look.text = bg;
    look.pill.fill = green;
    look.pill.radius = 8;
    look.padH = 16;
    look.padV = padV;
    return look;
}

DesignButton::Look outlined() {
    DesignButton::Look look;
    look.font = Theme::font(12, QFont::Bold);
    look.text = green;
    look.pill.border = Theme::withAlpha(green, 0.5);
    look.pill.borderWidth = 1.5;
    look.pill.radius = 8;
    look.padH = 16;
    look.padV = 9;
    return look;
}

DesignButton::Look plain(int px, const QColor& color) {
    DesignButton::Look look;
    look.font = Theme::font(px, QFont::Bold);
    look.text = color;
    return look;
}

} // namespace

// ---- card ----

NightWatchCard::NightWatchCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent)
    : DesignCard(vault, std::move(context), clock, parent) {
    setObjectName(QStringLiteral("nightWatchCard"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    build();
}

void NightWatchCard::build() {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(18, 14, 18, 14);
    row->setSpacing(16);

    ring_ = new GlowRing(52, 6, this);
    ring_->setObjectName(QStringLiteral("ring"));
    ring_->setTrack(cardBorder);
    ringCenter_ = new QWidget;
    auto* center = new QVBoxLayout(ringCenter_);
    center->setContentsMargins(0, 0, 0, 0);
    center->setSpacing(0);
    sealedLock_ = new SymbolView(QStringLiteral("lock.fill"), 13, Theme::withAlpha(Qt::white, 0.45), ringCenter_);
    center->addWidget(sealedLock_, 0, Qt::AlignCenter);
    percent_ = designLabel(QString(), mono(10, QFont::DemiBold), green);
    percent_->setObjectName(QStringLiteral("percent"));
    percent_->setAlignment(Qt::AlignCenter);
    center->addWidget(percent_, 0, Qt::AlignCenter);
    ring_->setCenterWidget(ringCenter_);
    row->addWidget(ring_, 0, Qt::AlignVCenter);

    row->addLayout(buildTexts({Theme::font(16, QFont::Bold), Qt::white, 10, mono(11, QFont::Medium), dim}), 1);
    // The whole line, on a second line when the row is short of room, rather than cut.
    meta_->setElideMode(Qt::ElideNone);
    meta_->setWordWrap(true);
    meta_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    addCommands(row, {plain(14, dim), plain(12, dim), filled(12, 9), outlined()});
}

void NightWatchCard::setVault(const Vault& vault) {
    vault_ = vault;
    refresh();
}

void NightWatchCard::refresh() {
    const DesignVault read = readAgain();
    const QColor ringColor = NightWatchHomeText::ringColor(model_.fraction);

    PillLook look;
    look.fill = card;
    look.border = model_.unlocked ? Theme::withAlpha(green, 0.4) : cardBorder;
    look.borderWidth = 1;
    look.radius = 12;
    setLook(look);

    ring_->setColor(ringColor);
    ring_->setSealed(model_.sealed);
    ring_->setFraction(model_.fraction);
    ring_->setGlow(model_.sealed ? std::nullopt
                                 : std::optional<ShadowLook>(ShadowLook{Theme::withAlpha(ringColor, 0.25), 7, {}}));
    sealedLock_->setVisible(model_.sealed);
    percent_->setVisible(!model_.sealed);
    percent_->setText(NightWatchHomeText::ringPercent(model_.fraction));
    setLabelColor(percent_, ringColor);
    // Places the centre again for its new size.
    ring_->setDiameter(ring_->diameter());

    QList<DesignChip*> widgets;
    for (const auto& chip : NightWatchHomeText::chips(model_.unlocked, model_.fileState, vault_.excludedFromCloud,
                                                      model_.fraction, vault_.requireTouchID)) {
        PillLook chipLook;
        chipLook.border = Theme::withAlpha(chip.color, 0.4);
        chipLook.borderWidth = 1;
        chipLook.radius = 4;
        widgets.append(new DesignChip(chip.text, mono(10, QFont::Medium), chip.color, chipLook, 6, 3));
    }
    chips_->setChips(widgets);

    const AutoLockSetting autoLock = autoLockSetting(context_);
    // Each part keeps together; a line breaks only after a separator.
    QString line = NightWatchHomeText::metaLine(model_.fileState,
                                                capacityCaption(read.usedBytes, vault_, model_.unlocked), openedAgo(),
                                                autoLock.enabled, autoLock.minutes);
    QStringList parts = line.split(kStatusSeparator);
    constexpr QChar kWordJoiner(0x2060);
    for (QString& part : parts)
        part.replace(QLatin1Char(' '), QChar::Nbsp).replace(QLatin1Char('-'), QStringLiteral("-") + kWordJoiner);
    meta_->setText(parts.join(QString(QChar::Nbsp) + QStringLiteral("· ")));
}

// ---- the design ----

NightWatchHome::NightWatchHome(HomeContext context, QWidget* parent, const Clock* clock)
    : QWidget(parent), context_(std::move(context)), clock_(designClock(clock)) {
    setObjectName(QStringLiteral("nightWatchHome"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* title = designLabel(NightWatchHomeText::kTitle, mono(11, QFont::DemiBold), dim);
    QFont titleFont = title->font();
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    title->setContentsMargins(0, 0, 0, 10);
    column->addWidget(title);
    column->addWidget(buildHeader());
    column->addWidget(buildList(), 1);
    column->addWidget(buildCommandBar());

    addNewVaultShortcut(this, context_);
    auto* searchShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_K), this);
    searchShortcut->setContext(Qt::WindowShortcut);
    connect(searchShortcut, &QShortcut::activated, this, [this] { search_->setFocus(Qt::ShortcutFocusReason); });

    DesignSources sources;
    sources.activity = true;
    sources.autoLock = true;
    refreshOnChanges(this, context_, sources, [this] { refresh(); });
    refresh();
}

NightWatchHome::~NightWatchHome() = default;

QWidget* NightWatchHome::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(26 - 5, 0, 26, 18);
    row->setSpacing(14);
    row->addWidget(new AppIconImage(56, header), 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(5);
    headline_ = designLabel(QString(), Theme::font(22, QFont::ExtraBold), Qt::white);
    headline_->setObjectName(QStringLiteral("headline"));
    texts->addWidget(headline_);
    summary_ = designLabel(QString(), mono(12, QFont::Medium), green, Qt::ElideRight);
    summary_->setObjectName(QStringLiteral("summaryLine"));
    summary_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    texts->addWidget(summary_);
    row->addLayout(texts, 1);
    row->setAlignment(texts, Qt::AlignVCenter);

    DesignButton::Look lockAll = plain(13, dim);
    lockAll.pill.border = cardBorder;
    lockAll.pill.borderWidth = 1;
    lockAll.pill.radius = 8;
    lockAll.padH = 14;
    lockAll.padV = 10;
    lockAll_ = new DesignButton(NightWatchHomeText::kLockAll, lockAll, header);
    lockAll_->setObjectName(QStringLiteral("lockAllButton"));
    row->addWidget(lockAll_, 0, Qt::AlignVCenter);
    newVault_ = new DesignButton(NightWatchHomeText::kNewVault, filled(13, 10), header);
    newVault_->setObjectName(QStringLiteral("newVaultButton"));
    newVault_->setToolTip(QStringLiteral("New Vault (Ctrl+N)"));
    row->addWidget(newVault_, 0, Qt::AlignVCenter);
    connect(lockAll_, &QPushButton::clicked, this, [this] { act(context_.actions.lockAll); });
    connect(newVault_, &QPushButton::clicked, this, [this] { act(context_.actions.newVault); });
    return header;
}

QWidget* NightWatchHome::buildList() {
    scroll_ = designScrollArea(Theme::withAlpha(dim, 0.45), this);
    scroll_->setObjectName(QStringLiteral("vaultList"));
    scroll_->setAccessibleName(QStringLiteral("Vaults"));

    auto* content = new QWidget;
    list_ = new QVBoxLayout(content);
    // One pixel above so that the first card's outline is not cut by the list's edge.
    list_->setContentsMargins(26, 1, 26, 16);
    list_->setSpacing(10);

    empty_ = new QWidget(content);
    empty_->setObjectName(QStringLiteral("emptyState"));
    auto* empty = new QVBoxLayout(empty_);
    empty->setContentsMargins(0, 40, 0, 40);
    empty->setSpacing(12);
    empty->addWidget(new AppIconImage(84, empty_), 0, Qt::AlignHCenter);
    auto* emptyTitle = designLabel(NightWatchHomeText::kEmptyTitle, Theme::font(16, QFont::ExtraBold), Qt::white);
    empty->addWidget(emptyTitle, 0, Qt::AlignHCenter);
    auto* emptyText = designLabel(NightWatchHomeText::kEmptySubtitle, mono(12, QFont::Normal), dim);
    empty->addWidget(emptyText, 0, Qt::AlignHCenter);
    list_->addWidget(empty_);

    PillLook panel;
    panel.fill = logBG;
    panel.border = Theme::withAlpha(cardBorder, 0.7);
    panel.borderWidth = 1;
    panel.radius = 10;
    activity_ = new Surface(panel, content);
    activity_->setObjectName(QStringLiteral("activityPanel"));
    activityLines_ = new QVBoxLayout(activity_);
    activityLines_->setContentsMargins(16, 12, 16, 12);
    activityLines_->setSpacing(7);
    list_->addWidget(activity_);
    list_->addStretch(1);

    setScrollContent(scroll_, content);
    return scroll_;
}

QWidget* NightWatchHome::buildCommandBar() {
    auto* bar = new QWidget(this);
    auto* column = new QVBoxLayout(bar);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* divider = new Rule(Qt::Horizontal, 1.0, bar);
    divider->setColor(cardBorder);
    column->addWidget(divider);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(26, 11, 26, 11);
    row->setSpacing(10);
    row->addWidget(designLabel(NightWatchHomeText::kPrompt, mono(11, QFont::Medium), green));
    search_ = new QLineEdit(bar);
    search_->setObjectName(QStringLiteral("searchField"));
    search_->setAccessibleName(QStringLiteral("Search"));
    search_->setFrame(false);
    search_->setFont(mono(11, QFont::Medium));
    search_->setPlaceholderText(NightWatchHomeText::kSearchPlaceholder);
    QPalette palette = search_->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::PlaceholderText, dim);
    search_->setPalette(palette);
    search_->setAttribute(Qt::WA_MacShowFocusRect, false);
    row->addWidget(search_, 1);
    PillLook hint;
    hint.border = cardBorder;
    hint.borderWidth = 1;
    hint.radius = 4;
    auto* shortcut =
        new DesignChip(NightWatchHomeText::searchShortcutHint(), mono(11, QFont::Medium), dim, hint, 6, 3, bar);
    shortcut->setObjectName(QStringLiteral("searchShortcut"));
    row->addWidget(shortcut, 0, Qt::AlignVCenter);
    column->addLayout(row);

    connect(search_, &QLineEdit::textChanged, this, &NightWatchHome::syncCards);
    return bar;
}

QList<NightWatchCard*> NightWatchHome::cards() const {
    return cards_.inOrder(true);
}

QStringList NightWatchHome::activityLines() const {
    QStringList lines;
    for (int i = 0; i < activityLines_->count(); ++i) {
        if (auto* label = qobject_cast<QLabel*>(activityLines_->itemAt(i)->widget()); label && i > 0)
            lines.append(label->text());
    }
    return lines;
}

void NightWatchHome::refresh() {
    syncCards();
    updateHeader();
    updateActivity();
}

void NightWatchHome::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Reopening the window starts without the last search, so no vault stays hidden by it.
    if (!event->spontaneous())
        search_->clear();
}

void NightWatchHome::syncCards() {
    const QList<Vault> vaults = context_.store ? context_.store->vaults() : QList<Vault>();
    const QList<Vault> shown = DesignText::filterByName(vaults, search_->text());
    QWidget* content = scroll_->widget();
    // Cards stand after the empty state.
    cards_.sync(
        vaults, list_, 1, [&](const Vault& vault) { return new NightWatchCard(vault, context_, clock_, content); },
        [&](NightWatchCard* card, const Vault& vault, qsizetype) {
            card->setVault(vault);
            card->setVisible(listsVault(shown, vault.id));
        });
    // The empty state answers an empty list, not a search that finds nothing.
    empty_->setVisible(vaults.isEmpty());
    content->update();
}

void NightWatchHome::updateHeader() {
    const VaultStore* store = context_.store;
    const QList<Vault> vaults = store ? store->vaults() : QList<Vault>();
    const int openCount = store ? store->openCount() : 0;
    headline_->setText(NightWatchHomeText::headline(openCount));
    const qint64 total = store ? totalUsedBytes(vaults, store->sizesOnDisk()) : 0;
    summary_->setText(NightWatchHomeText::summaryLine(int(vaults.size()), openCount, formatFileSize(total)));
    summary_->setToolTip(summary_->text());
    setLabelColor(summary_, NightWatchHomeText::summaryColor(openCount));
    lockAll_->setEnabled(NightWatchHomeText::lockAllEnabled(openCount));
}

void NightWatchHome::updateActivity() {
    const QList<ActivityEvent> events = context_.store ? context_.store->activity() : QList<ActivityEvent>();
    clearLayout(activityLines_);
    auto* heading =
        designLabel(NightWatchHomeText::kActivityHeading, mono(9, QFont::DemiBold), Theme::withAlpha(dim, 0.8));
    QFont headingFont = heading->font();
    headingFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    heading->setFont(headingFont);
    activityLines_->addWidget(heading);
    for (const QString& line : NightWatchHomeText::activityLines(events)) {
        auto* label = designLabel(line, mono(11, QFont::Medium), dim, Qt::ElideRight);
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        label->setToolTip(line);
        activityLines_->addWidget(label);
    }
    activity_->setVisible(!events.isEmpty());
}

void NightWatchHome::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), bg);
}

} // namespace larkhold
