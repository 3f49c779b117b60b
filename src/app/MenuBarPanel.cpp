#include "MenuBarPanel.h"

#include "Defaults.h"
#include "SettingsKeys.h"
#include "SymbolIcons.h"
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
#include <QVariantAnimation>

namespace larkhold {

namespace {

// Sizes below are the panel's own points, one pixel each at normal scale.
QFont panelFont(double size, QFont::Weight weight = QFont::Normal) {
    QFont font = QApplication::font();
    font.setPixelSize(qRound(size));
    font.setWeight(weight);
    return font;
}

QColor platformColour(UsageColor usage, const QColor& accent) {
    switch (usage) {
    case UsageColor::red:
        return QColor(0xff, 0x3b, 0x30);
    case UsageColor::orange:
        return QColor(0xff, 0x95, 0x00);
    case UsageColor::green:
        return QColor(0x34, 0xc7, 0x59);
    case UsageColor::accent:
        break;
    }
    return accent;
}

// A ring of how full a vault is: the track, and unless sealed an arc from twelve o'clock.
class PanelGauge : public QWidget {
public:
    PanelGauge(double fraction, QColor colour, QColor track, bool sealed, QWidget* parent)
        : QWidget(parent), fraction_(fraction), colour_(colour), track_(track), sealed_(sealed) {
        setFixedSize(18, 18);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double thickness = 3.5;
        const QRectF ring = QRectF(rect()).adjusted(thickness / 2, thickness / 2, -thickness / 2, -thickness / 2);
        p.setPen(QPen(track_, thickness));
        p.drawEllipse(ring);
        if (sealed_) {
            // A small padlock in the middle of an empty track.
            const QColor ink = palette().color(QPalette::PlaceholderText);
            p.setPen(Qt::NoPen);
            p.setBrush(ink);
            p.drawRoundedRect(QRectF(6, 8.5, 6, 4.5), 1, 1);
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(ink, 1.2));
            p.drawArc(QRectF(7.2, 5.6, 3.6, 5), 0, 180 * 16);
            return;
        }
        const double shown = std::max(std::min(fraction_, 1.0), 0.02);
        p.setPen(QPen(colour_, thickness, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(ring, 90 * 16, -qRound(shown * 360 * 16));
    }

private:
    double fraction_;
    QColor colour_;
    QColor track_;
    bool sealed_;
};

// The mini spinner of a busy row.
class Spinner : public QWidget {
public:
    explicit Spinner(QWidget* parent) : QWidget(parent) {
        setFixedSize(16, 16);
        auto* turn = new QVariantAnimation(this);
        turn->setStartValue(0);
        turn->setEndValue(360);
        turn->setDuration(900);
        turn->setLoopCount(-1);
        connect(turn, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            angle_ = v.toInt();
            update();
        });
        turn->start();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(palette().color(QPalette::PlaceholderText), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
    }

private:
    int angle_ = 0;
};

QToolButton* iconButton(const QString& symbol, const QString& tooltip, int size, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setIcon(symbolIcon(symbol));
    button->setIconSize(QSize(size + 4, size + 4));
    button->setToolTip(tooltip);
    button->setAccessibleName(tooltip);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QPalette paletteFor(bool dark) {
    QPalette palette = QApplication::palette();
    const QColor window = dark ? QColor(0x2a, 0x2a, 0x2d) : QColor(0xf5, 0xf5, 0xf7);
    const QColor text = dark ? QColor(0xf2, 0xf2, 0xf4) : QColor(0x1d, 0x1d, 0x1f);
    const QColor secondary = dark ? QColor(0xa1, 0xa1, 0xa6) : QColor(0x6e, 0x6e, 0x73);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, window);
        palette.setColor(group, QPalette::Base, window);
        palette.setColor(group, QPalette::WindowText, text);
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::ButtonText, text);
        palette.setColor(group, QPalette::Button, window);
        palette.setColor(group, QPalette::PlaceholderText, secondary);
    }
    palette.setColor(QPalette::Disabled, QPalette::WindowText, secondary);
    return palette;
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

MiniButton::MiniButton(const QString& title, bool filled, QColor accent, QWidget* parent)
    : QPushButton(title, parent), filled_(filled), accent_(accent) {
    setFont(panelFont(11, QFont::DemiBold));
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
    p.setPen(filled_ ? QColor(Qt::white) : accent_);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignCenter, text());
}

MenuBarPanel::MenuBarPanel(VaultStore& store, Defaults& defaults, ShellActions actions, QWidget* parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint), store_(store), defaults_(defaults),
      actions_(std::move(actions)) {
    setObjectName(QStringLiteral("trayPanel"));
    // Popups have no title bar; the name lets window lists and tests tell the panel apart.
    setWindowTitle(QStringLiteral("Larkhold Panel"));
    setAttribute(Qt::WA_TranslucentBackground, false);
    setFixedWidth(kWidth);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);

    for (auto signal : {&VaultStore::vaultsChanged, &VaultStore::mountPointsChanged,
                        &VaultStore::pocketSessionsChanged, &VaultStore::sizesOnDiskChanged,
                        &VaultStore::busyVaultsChanged})
        connect(&store_, signal, this, &MenuBarPanel::scheduleRebuild);
    connect(&defaults_, &Defaults::changed, this, [this](const QString& key) {
        if (key == SettingsKeys::appTheme.name)
            scheduleRebuild();
    });
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
    const QString theme = themeRaw();
    accent_ = panelAccent(theme);
    const std::optional<bool> dark = panelWantsDark(theme);
    setPalette(dark ? paletteFor(*dark) : paletteFor(QApplication::palette().color(QPalette::Window).lightness() < 128));

    while (QLayoutItem* item = layout_->takeAt(0)) {
        if (QWidget* widget = item->widget())
            widget->deleteLater();
        delete item;
    }

    const PanelContent content = panelContent(store_);
    layout_->addWidget(header(content));

    auto* list = new QWidget(this);
    auto* rows = new QVBoxLayout(list);
    if (content.rows.isEmpty()) {
        rows->setContentsMargins(0, 14, 0, 14);
        auto* empty = new QLabel(MenuBarTexts::noVaults, list);
        empty->setObjectName(QStringLiteral("noVaults"));
        empty->setFont(panelFont(11));
        empty->setForegroundRole(QPalette::PlaceholderText);
        empty->setAlignment(Qt::AlignCenter);
        rows->addWidget(empty);
    } else {
        rows->setContentsMargins(8, 0, 8, 6);
        rows->setSpacing(2);
        for (const PanelRow& r : content.rows)
            rows->addWidget(row(r));
    }
    layout_->addWidget(list);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: palette(mid); border: none;"));
    layout_->addWidget(divider);
    layout_->addWidget(footer());
    adjustSize();
}

QWidget* MenuBarPanel::header(const PanelContent& content) {
    auto* header = new QWidget(this);
    auto* line = new QHBoxLayout(header);
    line->setContentsMargins(12, 9, 12, 9);
    line->setSpacing(8);
    auto* icon = new QLabel(header);
    icon->setPixmap(QApplication::windowIcon().pixmap(22, 22));
    icon->setFixedSize(22, 22);
    line->addWidget(icon);
    auto* title = new QLabel(QStringLiteral("Larkhold"), header);
    title->setFont(panelFont(13, QFont::Bold));
    line->addWidget(title);
    line->addStretch(1);
    if (content.showsLockAll) {
        auto* lockAll = new QToolButton(header);
        lockAll->setObjectName(QStringLiteral("lockAll"));
        lockAll->setAutoRaise(true);
        lockAll->setText(MenuBarTexts::lockAll);
        lockAll->setIcon(symbolIcon(QStringLiteral("lock.fill")));
        lockAll->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        lockAll->setFont(panelFont(11, QFont::DemiBold));
        QPalette tinted = lockAll->palette();
        tinted.setColor(QPalette::ButtonText, accent_);
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

    QColor track = palette().color(QPalette::WindowText);
    track.setAlphaF(0.12f);
    line->addWidget(new PanelGauge(r.fraction, platformColour(r.usage, accent_), track, r.sealed, row));

    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    auto* name = new QLabel(r.vault.name, row);
    name->setFont(panelFont(12.5, QFont::DemiBold));
    texts->addWidget(name);
    auto* caption = new QLabel(r.caption, row);
    caption->setObjectName(QStringLiteral("caption"));
    caption->setFont(panelFont(10));
    if (r.captionWarning) {
        QPalette orange = caption->palette();
        orange.setColor(QPalette::WindowText, QColor(0xff, 0x95, 0x00));
        caption->setPalette(orange);
    } else {
        caption->setForegroundRole(QPalette::PlaceholderText);
    }
    texts->addWidget(caption);
    line->addLayout(texts, 1);

    const Vault vault = r.vault;
    switch (r.controls) {
    case PanelRowControls::spinner:
        line->addWidget(new Spinner(row));
        break;
    case PanelRowControls::openAndLock: {
        QToolButton* open = iconButton(QStringLiteral("folder"), r.openTooltip, 11, row);
        connect(open, &QToolButton::clicked, this, [this, vault] { store_.openVault(vault); });
        line->addWidget(open);
        auto* lock = new MiniButton(MenuBarTexts::lock, true, accent_, row);
        connect(lock, &QPushButton::clicked, this, [this, vault] { store_.lock(vault, false, LockReason::manual); });
        line->addWidget(lock);
        break;
    }
    case PanelRowControls::locate: {
        auto* locate = new MiniButton(MenuBarTexts::locate, false, accent_, row);
        connect(locate, &QPushButton::clicked, this, [this, vault] { callIfSet(actions_.locate, vault); });
        line->addWidget(locate);
        break;
    }
    case PanelRowControls::unlock: {
        auto* unlock = new MiniButton(MenuBarTexts::unlock, false, accent_, row);
        connect(unlock, &QPushButton::clicked, this,
                [this, vault] { unlockFromMenuBar(store_, vault, actions_.showUnlockPrompt); });
        line->addWidget(unlock);
        break;
    }
    }

    row->setContextMenuPolicy(Qt::CustomContextMenu);
    const bool offersLocate = r.offersLocate;
    connect(row, &QWidget::customContextMenuRequested, this, [this, row, vault, offersLocate](const QPoint& at) {
        auto* menu = new QMenu(row);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        if (offersLocate)
            menu->addAction(MenuBarTexts::locateVault, this, [this, vault] { callIfSet(actions_.locate, vault); });
        menu->addAction(MenuBarTexts::revealVaultFile(), this, [this, vault] { callIfSet(actions_.reveal, vault); });
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

    QToolButton* add = iconButton(QStringLiteral("plus.circle.fill"), QStringLiteral("New or existing vault"), 14,
                                  footer);
    add->setObjectName(QStringLiteral("newOrExisting"));
    add->setPopupMode(QToolButton::InstantPopup);
    add->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    auto* addMenu = new QMenu(add);
    addMenu->addAction(MenuBarTexts::newVault, this, [this] {
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
        QToolButton* button = iconButton(QString::fromLatin1(b.symbol), b.tooltip, 12, footer);
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
    const QSize size = sizeHint();
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
    if (themeRaw() == u"softFocus") {
        QLinearGradient wash(rect().topLeft(), rect().bottomRight());
        wash.setColorAt(0, QColor::fromRgbF(0.95f, 0.92f, 0.97f));
        wash.setColorAt(1, QColor::fromRgbF(0.93f, 0.94f, 0.93f));
        p.fillRect(rect(), wash);
    }
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    QFrame::paintEvent(event);
}

} // namespace larkhold
