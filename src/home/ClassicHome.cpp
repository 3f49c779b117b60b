#include "ClassicHome.h"

#include "HomeModels.h"
#include "VaultCard.h"
#include "VaultStore.h"

#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace larkhold {

namespace {

// A hairline across the window at reduced strength.
class Divider : public QWidget {
public:
    explicit Divider(QWidget* parent) : QWidget(parent) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QColor separator = Theme::withAlpha(Theme::primary(palette()), 0.25);
        painter.fillRect(rect(), Theme::withAlpha(separator, 0.4));
    }
};

} // namespace

ClassicHome::ClassicHome(HomeContext context, QWidget* parent) : QWidget(parent), context_(std::move(context)) {
    setObjectName(QStringLiteral("classicHome"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(new Divider(this));
    body_ = new QStackedWidget(this);
    emptyState_ = buildEmptyState();
    body_->addWidget(emptyState_);
    body_->addWidget(buildList());
    column->addWidget(body_, 1);

    // New Vault is always a Ctrl+N away; Return creates the first vault while the welcome shows.
    auto* newShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), this);
    newShortcut->setContext(Qt::WindowShortcut);
    connect(newShortcut, &QShortcut::activated, this, [this] {
        if (context_.actions.newVault)
            context_.actions.newVault();
    });
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* returnShortcut = new QShortcut(QKeySequence(key), emptyState_);
        returnShortcut->setContext(Qt::WindowShortcut);
        connect(returnShortcut, &QShortcut::activated, createFirst_, &QPushButton::click);
    }

    if (VaultStore* store = context_.store) {
        connect(store, &VaultStore::vaultsChanged, this, [this] {
            syncCards();
            updateHeader();
        });
        for (auto signal :
             {&VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged, &VaultStore::sizesOnDiskChanged})
            connect(store, signal, this, &ClassicHome::updateHeader);
    }
    ageTimer_.setInterval(30'000);
    connect(&ageTimer_, &QTimer::timeout, this, [this] {
        for (VaultCard* card : std::as_const(cards_))
            card->refresh();
    });
    ageTimer_.start();
    syncCards();
    updateHeader();
}

QWidget* ClassicHome::buildHeader() {
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("classicHeader"));
    // The title shares its line with the buttons and the status line runs beneath them all, so that
    // the buttons never take the status line's width.
    auto* grid = new QGridLayout(header);
    // AppIconImage carries a few pixels of shadow room; the margins give them back.
    grid->setContentsMargins(16 - 4, 12 - 4, 16, 10 - 4);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    // Rows 0 and 3 take what the icon leaves over, so that the two lines sit in the middle beside it.
    grid->addWidget(new AppIconImage(50, header), 0, 0, 4, 1, Qt::AlignVCenter);
    grid->setRowStretch(0, 1);
    grid->setRowStretch(3, 1);

    auto* title = new ThemeLabel(QStringLiteral("Larkhold"), header);
    title->setObjectName(QStringLiteral("homeTitle"));
    title->setFont(Theme::font(19, QFont::Bold, Theme::FontDesign::rounded));
    grid->addWidget(title, 1, 1, Qt::AlignLeft | Qt::AlignVCenter);
    subtitle_ = new ThemeLabel(QString(), header);
    subtitle_->setObjectName(QStringLiteral("homeSubtitle"));
    subtitle_->setFont(Theme::font(12));
    subtitle_->setTone(ThemeLabel::Tone::secondary);
    subtitle_->setElideMode(Qt::ElideRight);
    grid->addWidget(subtitle_, 2, 1, 1, 3);
    grid->setColumnStretch(1, 1);

    lockAll_ = new QuietButton(QStringLiteral("Lock All"), header);
    lockAll_->setObjectName(QStringLiteral("lockAllButton"));
    lockAll_->setSymbol(QStringLiteral("lock.fill"));
    connect(lockAll_, &QPushButton::clicked, this, [this] {
        if (context_.actions.lockAll)
            context_.actions.lockAll();
    });
    grid->addWidget(lockAll_, 1, 2, Qt::AlignVCenter);

    newVault_ = new ProminentButton(QStringLiteral("New Vault"), GradientKind::accent, header);
    newVault_->setObjectName(QStringLiteral("newVaultButton"));
    newVault_->setSymbol(QStringLiteral("plus"));
    newVault_->setToolTip(QStringLiteral("New Vault (%1N)").arg(QStringLiteral("Ctrl+")));
    newVaultMenu_ = new QMenu(newVault_);
    newVaultMenu_->setObjectName(QStringLiteral("newVaultMenu"));
    QAction* addExisting = newVaultMenu_->addAction(QStringLiteral("Add Existing Vault…"));
    connect(addExisting, &QAction::triggered, this, [this] {
        if (context_.actions.addExisting)
            context_.actions.addExisting();
    });
    newVault_->setPullDownMenu(newVaultMenu_);
    connect(newVault_, &QPushButton::clicked, this, [this] {
        if (context_.actions.newVault)
            context_.actions.newVault();
    });
    grid->addWidget(newVault_, 1, 3, Qt::AlignVCenter);
    return header;
}

QWidget* ClassicHome::buildEmptyState() {
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("emptyState"));
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(40, 40, 40, 40);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(new AppIconImage(96, panel), 0, Qt::AlignHCenter);
    auto* title = new ThemeLabel(QStringLiteral("No vaults yet"), panel);
    title->setObjectName(QStringLiteral("emptyTitle"));
    title->setFont(Theme::font(22, QFont::Bold, Theme::FontDesign::rounded));
    title->setAlignment(Qt::AlignHCenter);
    column->addWidget(title, 0, Qt::AlignHCenter);
    auto* text = new ThemeLabel(QStringLiteral("A vault is an encrypted folder that only takes up the space\nof the "
                                               "files inside, up to a limit you choose."),
                                panel);
    text->setObjectName(QStringLiteral("emptyText"));
    text->setTone(ThemeLabel::Tone::secondary);
    text->setFont(Theme::font(13));
    text->setAlignment(Qt::AlignHCenter);
    column->addWidget(text, 0, Qt::AlignHCenter);
    column->addSpacing(8);
    createFirst_ = new ProminentButton(QStringLiteral("Create Your First Vault"), GradientKind::accent, panel);
    createFirst_->setObjectName(QStringLiteral("createFirstVaultButton"));
    connect(createFirst_, &QPushButton::clicked, this, [this] {
        if (context_.actions.newVault)
            context_.actions.newVault();
    });
    column->addWidget(createFirst_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    return panel;
}

QWidget* ClassicHome::buildList() {
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("vaultList"));
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("vaultListContent"));
    content->setAutoFillBackground(false);
    listLayout_ = new QVBoxLayout(content);
    // Cards carry their shadow room: 14 px of padding and 8 px between cards, as seen.
    const int pad = 14 - VaultCard::kShadowPad;
    listLayout_->setContentsMargins(pad, pad, pad, pad);
    listLayout_->setSpacing(8 - 2 * VaultCard::kShadowPad);
    listLayout_->addStretch(1);
    scroll_->setWidget(content);
    return scroll_;
}

void ClassicHome::syncCards() {
    const QList<Vault> vaults = context_.store ? context_.store->vaults() : QList<Vault>();
    QHash<QUuid, VaultCard*> kept;
    QList<QUuid> order;
    for (const Vault& vault : vaults) {
        if (kept.contains(vault.id))
            continue; // a duplicated row shows once
        VaultCard* card = cards_.take(vault.id);
        if (card)
            card->setVault(vault);
        else
            card = new VaultCard(vault, context_, scroll_->widget());
        kept.insert(vault.id, card);
        order.append(vault.id);
    }
    for (VaultCard* gone : std::as_const(cards_)) {
        listLayout_->removeWidget(gone);
        gone->hide();
        gone->deleteLater();
    }
    cards_ = kept;
    if (order != order_) {
        for (const QUuid& id : std::as_const(order))
            listLayout_->removeWidget(cards_.value(id));
        for (int i = 0; i < order.size(); ++i)
            listLayout_->insertWidget(i, cards_.value(order.at(i)));
        order_ = order;
    }
    body_->setCurrentIndex(vaults.isEmpty() ? 0 : 1);
}

void ClassicHome::updateHeader() {
    HomeSummaryInput summary;
    if (VaultStore* store = context_.store) {
        summary.vaultCount = int(store->vaults().size());
        summary.openCount = store->openCount();
        summary.totalUsed = totalUsedBytes(store->vaults(), store->sizesOnDisk());
    }
    subtitle_->setText(homeSubtitle(summary));
    subtitle_->setToolTip(subtitle_->text());
    lockAll_->setVisible(showsLockAll(summary.openCount));
}

bool ClassicHome::showsEmptyState() const {
    return body_->currentWidget() == emptyState_;
}

QList<VaultCard*> ClassicHome::cards() const {
    QList<VaultCard*> list;
    for (const QUuid& id : order_)
        list.append(cards_.value(id));
    return list;
}

void ClassicHome::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient background(0, 0, 0, height());
    background.setColorAt(0, Theme::windowBackground(palette()));
    background.setColorAt(1, Theme::underPageBackground(palette()));
    painter.fillRect(rect(), background);
}

} // namespace larkhold
