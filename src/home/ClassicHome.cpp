#include "ClassicHome.h"

#include "HomeModels.h"
#include "VaultCard.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QAccessible>
#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

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

struct ClassicHome::ReaderWatch : QAccessible::ActivationObserver {
    explicit ReaderWatch(ClassicHome& home) : home(home) { QAccessible::installActivationObserver(this); }
    ~ReaderWatch() override { QAccessible::removeActivationObserver(this); }
    void accessibilityActiveChanged(bool active) override {
        if (active)
            home.viewMoved();
    }
    ClassicHome& home;
};

ClassicHome::~ClassicHome() = default;

ClassicHome::ClassicHome(HomeContext context, QWidget* parent)
    : QWidget(parent), context_(std::move(context)), readerWatch_(std::make_unique<ReaderWatch>(*this)) {
    setObjectName(QStringLiteral("classicHome"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(new Divider(this));
    // The welcome panel joins the list only when there is no vault to show.
    body_ = new QStackedWidget(this);
    body_->addWidget(buildList());
    column->addWidget(body_, 1);

    // New Vault is always a Ctrl+N away.
    auto* newShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), this);
    newShortcut->setContext(Qt::WindowShortcut);
    connect(newShortcut, &QShortcut::activated, this, [this] {
        if (context_.actions.newVault)
            context_.actions.newVault();
    });

    if (VaultStore* store = context_.store) {
        connect(store, &VaultStore::vaultsChanged, this, [this] {
            syncCards();
            updateHeader();
        });
        for (auto signal :
             {&VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged, &VaultStore::sizesOnDiskChanged})
            connect(store, signal, this, &ClassicHome::updateHeader);
        connect(store, &VaultStore::vaultStateChanged, this, &ClassicHome::refreshCard);
    }
    if (context_.status)
        connect(context_.status, &VaultStatusCache::vaultChanged, this, &ClassicHome::refreshCard);
    ageTimer_.setInterval(30'000);
    // Only a card that says when its vault was last opened changes with the time.
    connect(&ageTimer_, &QTimer::timeout, this, [this] {
        for (VaultCard* card : std::as_const(cards_))
            if (card->vault().lastOpenedAt)
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
    auto* icon = new AppIconImage(50, header);
    grid->addWidget(icon, 0, 0, 4, 1, Qt::AlignVCenter);
    // The header is at least as tall as its icon: the list's room is less by that much.
    headerLeast_ = grid->contentsMargins().top() + icon->height() + grid->contentsMargins().bottom();
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

    // Return creates the first vault while the welcome shows.
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* returnShortcut = new QShortcut(QKeySequence(key), panel);
        returnShortcut->setContext(Qt::WindowShortcut);
        connect(returnShortcut, &QShortcut::activated, createFirst_, &QPushButton::click);
    }
    return panel;
}

QWidget* ClassicHome::buildList() {
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("vaultList"));
    scroll_->setAccessibleName(QStringLiteral("Vaults"));
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
    connect(scroll_->verticalScrollBar(), &QScrollBar::valueChanged, this, &ClassicHome::viewMoved);
    return scroll_;
}

void ClassicHome::syncCards() {
    const QList<Vault> vaults = context_.store ? context_.store->vaults() : QList<Vault>();
    QList<Vault> listed;
    QSet<QUuid> seen;
    for (const Vault& vault : vaults) {
        if (seen.contains(vault.id))
            continue; // a duplicated row shows once
        seen.insert(vault.id);
        listed.append(vault);
    }

    // Only the cards wanted now; a card once built stays, and the built ones lead the list.
    qsizetype built = std::min(listed.size(), cardsWanted());
    for (qsizetype i = built; i < listed.size(); ++i)
        if (cards_.contains(listed.at(i).id))
            built = i + 1;

    QHash<QUuid, VaultCard*> kept;
    QList<QUuid> order;
    for (qsizetype i = 0; i < built; ++i) {
        const Vault& vault = listed.at(i);
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

    // The waiting cards' place, at their least height: the list scrolls as far from the first frame on.
    waiting_ = listed.mid(built);
    if (!waiting_.isEmpty() && !waitingRoom_) {
        waitingRoom_ = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
        listLayout_->insertItem(int(order_.size()), waitingRoom_);
    }
    if (waitingRoom_) {
        if (waiting_.isEmpty()) {
            listLayout_->removeItem(waitingRoom_);
            delete waitingRoom_;
            waitingRoom_ = nullptr;
        } else {
            waitingRoom_->changeSize(0, int(waiting_.size()) * (VaultCard::leastHeight() + listLayout_->spacing()),
                                     QSizePolicy::Minimum, QSizePolicy::Fixed);
            listLayout_->invalidate();
        }
    }

    if (listed.isEmpty() && !emptyState_) {
        emptyState_ = buildEmptyState();
        body_->addWidget(emptyState_);
    }
    body_->setCurrentWidget(listed.isEmpty() ? emptyState_ : scroll_);
}

qsizetype ClassicHome::cardsForRoom() const {
    // The list never shows more than the window's height less the header's; before the first show that is
    // the size the window will take.
    const int room = std::max(window()->height(), height()) - headerLeast_;
    const int least = VaultCard::leastHeight() + listLayout_->spacing();
    return std::max(0, room + least - 1) / least;
}

qsizetype ClassicHome::cardsForView() const {
    const int least = VaultCard::leastHeight() + listLayout_->spacing();
    const int ahead = scroll_->verticalScrollBar()->value() + 2 * scroll_->viewport()->height();
    return std::max(cardsForRoom(), qsizetype(ahead / least + 1));
}

qsizetype ClassicHome::cardsWanted() const {
    if (allWanted_ || QAccessible::isActive())
        return std::numeric_limits<qsizetype>::max();
    return firstFrameOut_ ? cardsForView() : cardsForRoom();
}

void ClassicHome::buildWaitingCards() {
    firstFrameOut_ = true;
    allWanted_ = true;
    if (!waiting_.isEmpty())
        syncCards();
}

void ClassicHome::viewMoved() {
    if (firstFrameOut_ && !waiting_.isEmpty() && qsizetype(order_.size()) < cardsWanted())
        syncCards();
}


void ClassicHome::refreshCard(const QUuid& id) {
    // A card still waiting for the first frame reads everything when it is built.
    if (VaultCard* card = cards_.value(id))
        card->refresh();
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
    return emptyState_ && body_->currentWidget() == emptyState_;
}

QList<VaultCard*> ClassicHome::cards() {
    buildWaitingCards();
    QList<VaultCard*> list;
    for (const QUuid& id : order_)
        list.append(cards_.value(id));
    return list;
}

VaultCard* ClassicHome::card(const QUuid& id) {
    buildWaitingCards();
    return cards_.value(id);
}

void ClassicHome::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient background(0, 0, 0, height());
    background.setColorAt(0, Theme::windowBackground(palette()));
    background.setColorAt(1, Theme::underPageBackground(palette()));
    painter.fillRect(rect(), background);
    // The first frame is out: the cards a page below it are built next.
    if (!firstFrameOut_) {
        firstFrameOut_ = true;
        QTimer::singleShot(0, this, &ClassicHome::viewMoved);
    }
}

void ClassicHome::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Taller than the room the cards were built for: those that now show are built before they are seen.
    if (!firstFrameOut_ && !waiting_.isEmpty() && qsizetype(order_.size()) < cardsForRoom())
        syncCards();
    viewMoved();
}

} // namespace larkhold
