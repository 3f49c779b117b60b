#include "MenuBarPanel.h"

#include "Defaults.h"
#include "SettingsKeys.h"
#include "Theme.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace larkhold {

namespace {

QFont panelFont(double size, QFont::Weight weight = QFont::Normal,
                Theme::FontDesign design = Theme::FontDesign::standard) {
    return Theme::font(size, weight, design);
}

QColor platformColour(UsageColor usage, const QColor& accent, const QPalette& palette) {
    switch (usage) {
    case UsageColor::red:
        return Theme::systemRed(palette);
    case UsageColor::orange:
        return Theme::systemOrange(palette);
    case UsageColor::green:
        return Theme::systemGreen(palette);
    case UsageColor::accent:
        break;
    }
    return accent;
}

QToolButton* iconButton(const QString& symbol, const QString& tooltip, int size, const QColor& colour,
                        QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    const qreal ratio = parent ? parent->devicePixelRatioF() : 1.0;
    button->setIcon(QIcon(Symbols::pixmap(symbol, size + 2, colour, ratio)));
    button->setIconSize(QSize(size + 2, size + 2));
    button->setToolTip(tooltip);
    button->setAccessibleName(tooltip);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

QColor panelAccent(const QString& themeRaw) {
    if (themeRaw == u"nativePro")
        return QColor::fromRgbF(0.02f, 0.48f, 0.55f);
    if (themeRaw == u"nightWatch")
        return QColor::fromRgbF(0.24f, 0.72f, 0.53f);
    if (themeRaw == u"softFocus")
        return QColor::fromRgbF(0.48f, 0.25f, 0.68f);
    return QColor::fromRgbF(0.35f, 0.38f, 0.95f);
}

std::optional<bool> panelWantsDark(const QString& themeRaw) {
    if (themeRaw == u"nativePro" || themeRaw == u"softFocus")
        return false;
    if (themeRaw == u"nightWatch")
        return true;
    return std::nullopt;
}

namespace {

// Text in the accent colour: on a dark panel the accent itself is too dim to read at the panel's
// small sizes.
QColor accentText(const QColor& accent, const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128 ? accent.lighter(160) : accent;
}

} // namespace

MiniButton::MiniButton(const QString& title, bool filled, QColor accent, QWidget* parent)
    : QPushButton(title, parent), filled_(filled), accent_(accent) {
    setFont(Theme::font(11, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize MiniButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 20, metrics.height() + 8};
}

void MiniButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill = accent_;
    if (!filled_)
        fill.setAlphaF(0.12f);
    if (isDown())
        fill = fill.darker(115);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    p.setPen(filled_ ? QColor(Qt::white) : accentText(accent_, palette()));
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}

MenuBarPanel::MenuBarPanel(VaultStore& store, Defaults& defaults, ShellActions actions, VaultStatusCache* status,
                           QWidget* parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint), store_(store), defaults_(defaults),
      actions_(std::move(actions)), status_(status ? status : new VaultStatusCache(store, nullptr, this)) {
    setObjectName(QStringLiteral("trayPanel"));
    // Popups have no title bar; the name lets window lists and tests tell the panel apart.
    setWindowTitle(QStringLiteral("Larkhold Panel"));
    setAttribute(Qt::WA_TranslucentBackground, false);
    setFixedWidth(kWidth);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);

    // Only a change of some vault rebuilds the panel, once for a whole batch of them.
    connect(&store_, &VaultStore::vaultsChanged, this, &MenuBarPanel::scheduleRebuild);
    connect(&store_, &VaultStore::vaultStateChanged, this, &MenuBarPanel::scheduleRebuild);
    connect(status_, &VaultStatusCache::vaultChanged, this, &MenuBarPanel::scheduleRebuild);
    connect(&defaults_, &Defaults::changed, this, [this](const QString& key) {
        if (key == SettingsKeys::appTheme.name)
            scheduleRebuild();
    });
    connect(&ColorScheme::instance(), &ColorScheme::changed, this, &MenuBarPanel::scheduleRebuild);
    rebuild();
}

QString MenuBarPanel::themeRaw() const {
    return defaults_.stringValue(SettingsKeys::appTheme);
}

void MenuBarPanel::scheduleRebuild() {
    if (!isVisible() || rebuildPending_)
        return;
    rebuildPending_ = true;
    QTimer::singleShot(0, this, [this] {
        rebuildPending_ = false;
        rebuild();
    });
}

void MenuBarPanel::rebuild() {
    theme_ = themeRaw();
    accent_ = panelAccent(theme_);
    setPalette(ColorScheme::palette(panelWantsDark(theme_).value_or(ColorScheme::isDark())));

    while (QLayoutItem* item = layout_->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }

    const PanelContent content =
        panelContent(store_, [status = status_](const QUuid& id) { return status->fileState(id); });
    layout_->addWidget(header(content));

    auto* list = new QWidget(this);
    auto* rows = new QVBoxLayout(list);
    if (content.rows.isEmpty()) {
        rows->setContentsMargins(0, 14, 0, 14);
        auto* empty = new ThemeLabel(MenuBarTexts::noVaults, list);
        empty->setObjectName(QStringLiteral("noVaults"));
        empty->setFont(panelFont(11));
        empty->setTone(ThemeLabel::Tone::secondary);
        empty->setAlignment(Qt::AlignCenter);
        rows->addWidget(empty);
    } else {
        rows->setContentsMargins(8, 0, 8, 6);
        rows->setSpacing(2);
        for (const PanelRow& r : content.rows)
            rows->addWidget(row(r));
    }
    layout_->addWidget(list);

    auto* divider = new QWidget(this);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette line = divider->palette();
    line.setColor(QPalette::Window, Theme::withAlpha(Theme::primary(palette()), 0.1));
    divider->setPalette(line);
    layout_->addWidget(divider);
    layout_->addWidget(footer());
    // A layout shows widgets added to a visible parent only later; the panel is complete at once.
    for (int i = 0; i < layout_->count(); ++i) {
        if (QWidget* widget = layout_->itemAt(i)->widget())
            widget->setVisible(true);
    }
    layout_->activate();
    adjustSize();
}

QWidget* MenuBarPanel::header(const PanelContent& content) {
    auto* header = new QWidget(this);
    auto* line = new QHBoxLayout(header);
    line->setContentsMargins(12, 9, 12, 9);
    line->setSpacing(8);
    line->addWidget(new AppIconImage(22, header));
    auto* title = new ThemeLabel(QStringLiteral("Larkhold"), header);
    title->setFont(panelFont(13, QFont::Bold, Theme::FontDesign::rounded));
    line->addWidget(title);
    line->addStretch(1);
    if (content.showsLockAll) {
        auto* lockAll = new QToolButton(header);
        lockAll->setObjectName(QStringLiteral("lockAll"));
        lockAll->setAutoRaise(true);
        lockAll->setText(MenuBarTexts::lockAll);
        const QColor lockAllColour = accentText(accent_, palette());
        lockAll->setIcon(QIcon(Symbols::pixmap(QStringLiteral("lock.fill"), 11, lockAllColour, devicePixelRatioF())));
        lockAll->setIconSize(QSize(11, 11));
        lockAll->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        lockAll->setFont(panelFont(11, QFont::DemiBold));
        QPalette tinted = lockAll->palette();
        tinted.setColor(QPalette::ButtonText, lockAllColour);
        lockAll->setPalette(tinted);
        lockAll->setCursor(Qt::PointingHandCursor);
        connect(lockAll, &QToolButton::clicked, this, [this] { store_.lockAll(false, LockReason::manual); });
        line->addWidget(lockAll);
    }
    return header;
}

QWidget* MenuBarPanel::row(const PanelRow& r) {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("vaultRow"));
    row->setProperty("vaultName", r.vault.name);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(6, 5, 6, 5);
    line->setSpacing(8);

    const QColor track = Theme::withAlpha(Theme::primary(palette()), 0.12);
    auto* gauge = new RingGauge(r.fraction, 18, 3.5, platformColour(r.usage, accent_, palette()), track, r.sealed, row);
    if (r.sealed) {
        auto* lock = new QLabel(gauge);
        lock->setPixmap(
            Symbols::pixmap(QStringLiteral("lock.fill"), 7, Theme::secondary(palette()), devicePixelRatioF()));
        gauge->setCenterWidget(lock);
    }
    line->addWidget(gauge);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* name = new ThemeLabel(r.vault.name, row);
    name->setObjectName(QStringLiteral("vaultName"));
    name->setFont(panelFont(12.5, QFont::DemiBold));
    name->setElideMode(Qt::ElideMiddle);
    texts->addWidget(name);
    auto* caption = new ThemeLabel(r.caption, row);
    caption->setObjectName(QStringLiteral("caption"));
    caption->setFont(panelFont(10));
    caption->setTone(r.captionWarning ? ThemeLabel::Tone::orange : ThemeLabel::Tone::secondary);
    caption->setElideMode(Qt::ElideRight);
    texts->addWidget(caption);
    line->addLayout(texts, 1);

    const Vault vault = r.vault;
    switch (r.controls) {
    case VaultCardModel::Controls::progress:
        line->addWidget(new BusyIndicator(16, row));
        break;
    case VaultCardModel::Controls::openVault: {
        QToolButton* open = iconButton(QStringLiteral("folder"), r.openTooltip, 11, Theme::secondary(palette()), row);
        connect(open, &QToolButton::clicked, this, [this, vault] { store_.openVault(vault); });
        line->addWidget(open);
        auto* lock = new MiniButton(MenuBarTexts::lock, true, accent_, row);
        connect(lock, &QPushButton::clicked, this, [this, vault] { store_.lock(vault, false, LockReason::manual); });
        line->addWidget(lock);
        break;
    }
    case VaultCardModel::Controls::locate: {
        auto* locate = new MiniButton(MenuBarTexts::locate, false, accent_, row);
        connect(locate, &QPushButton::clicked, this, [this, vault] { callIfSet(actions_.locate, vault); });
        line->addWidget(locate);
        break;
    }
    case VaultCardModel::Controls::unlock: {
        auto* unlock = new MiniButton(MenuBarTexts::unlock, false, accent_, row);
        connect(unlock, &QPushButton::clicked, this,
                [this, vault] { unlockFromMenuBar(store_, vault, actions_.showUnlockPrompt); });
        line->addWidget(unlock);
        break;
    }
    case VaultCardModel::Controls::none:
        break;
    }

    row->setContextMenuPolicy(Qt::CustomContextMenu);
    const bool offersLocate = r.offersLocate;
    connect(row, &QWidget::customContextMenuRequested, this, [this, row, vault, offersLocate](const QPoint& at) {
        auto* menu = new QMenu(row);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        if (offersLocate)
            menu->addAction(vaultMenuTitle(VaultMenuItem::locate), this,
                            [this, vault] { callIfSet(actions_.locate, vault); });
        menu->addAction(vaultMenuTitle(VaultMenuItem::reveal), this,
                        [this, vault] { callIfSet(actions_.reveal, vault); });
        menu->addAction(MenuBarTexts::moreInLarkhold, this, [this] { callIfSet(actions_.showMainWindow); });
        menu->popup(row->mapToGlobal(at));
    });
    return row;
}

QWidget* MenuBarPanel::footer() {
    auto* footer = new QWidget(this);
    auto* line = new QHBoxLayout(footer);
    line->setContentsMargins(12, 8, 12, 8);
    line->setSpacing(14);

    QToolButton* add =
        iconButton(QStringLiteral("plus.circle.fill"), QStringLiteral("New or existing vault"), 14, accent_, footer);
    add->setObjectName(QStringLiteral("newOrExisting"));
    add->setPopupMode(QToolButton::InstantPopup);
    add->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    auto* addMenu = new QMenu(add);
    addMenu->addAction(MenuBarTexts::newVault, this, [this] {
        // Out of the way first, as for every command that brings a window: the sheet takes the keyboard.
        hide();
        store_.setNewVaultRequested(true);
        callIfSet(actions_.showMainWindow);
    });
    addMenu->addAction(MenuBarTexts::addExisting, this, [this] { callIfSet(actions_.chooseExistingVault); });
    add->setMenu(addMenu);
    line->addWidget(add);
    line->addStretch(1);

    const struct {
        const char* symbol;
        QString tooltip;
        std::function<void()> ShellActions::*action;
    } buttons[] = {
        {"macwindow", QStringLiteral("Open Larkhold"), &ShellActions::showMainWindow},
        {"gearshape", QStringLiteral("Settings"), &ShellActions::showSettings},
        {"sparkles", QStringLiteral("What’s New"), &ShellActions::showChangelog},
        {"info.circle", QStringLiteral("About"), &ShellActions::showAbout},
        {"power", QStringLiteral("Quit Larkhold"), &ShellActions::quit},
    };
    for (const auto& b : buttons) {
        QToolButton* button =
            iconButton(QString::fromLatin1(b.symbol), b.tooltip, 12, Theme::secondary(palette()), footer);
        const auto member = b.action;
        connect(button, &QToolButton::clicked, this, [this, member] {
            hide();
            callIfSet(actions_.*member);
        });
        line->addWidget(button);
    }
    return footer;
}

void MenuBarPanel::showNextTo(const QRect& anchor) {
    rebuild();
    const QPoint cursor = QCursor::pos();
    const QRect around = anchor.isValid() ? anchor : QRect(cursor, QSize(1, 1));
    QScreen* screen = QApplication::screenAt(around.center());
    if (!screen)
        screen = QApplication::primaryScreen();
    const QRect area = screen->availableGeometry();
    // The laid-out size (rebuild() fitted it): the layout's own hint knows nothing of the fixed width.
    const QSize size = this->size();
    QPoint at(around.center().x() - size.width() / 2, around.bottom() + 4);
    if (at.y() + size.height() > area.bottom())
        at.setY(around.top() - 4 - size.height());
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
    move(at);
    show();
    raise();
    activateWindow();
}

void MenuBarPanel::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    // The gauges of open vaults are current when the panel opens.
    store_.refreshUnlockedSizes();
}

void MenuBarPanel::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Window));
    if (theme_ == u"softFocus") {
        QLinearGradient wash(rect().topLeft(), rect().bottomRight());
        wash.setColorAt(0, QColor::fromRgbF(0.95f, 0.92f, 0.97f));
        wash.setColorAt(1, QColor::fromRgbF(0.93f, 0.94f, 0.93f));
        p.fillRect(rect(), wash);
    }
    p.setPen(Theme::withAlpha(Theme::primary(palette()), 0.15));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    QFrame::paintEvent(event);
}

} // namespace larkhold
