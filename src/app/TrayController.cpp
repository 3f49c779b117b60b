#include "TrayController.h"

#include "ColorScheme.h"
#include "Defaults.h"
#include "MenuBarIcon.h"
#include "MenuBarPanel.h"
#include "SettingsKeys.h"
#include "TrayMenu.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

namespace larkhold {

namespace {

constexpr int kTrayLooks = 40;
constexpr int kTrayLookIntervalMs = 250;

// Qt's own window for an icon embedded in an XEmbed tray. Grabbed, it shows the tray's background behind the
// icon, and keeps its alpha where the tray is translucent; 0 when Qt made none (a tray that draws the icon itself).
WId embeddedIconWindow() {
    for (QWindow* window : QGuiApplication::allWindows())
        if (window->handle() && window->objectName() == QLatin1String("QSystemTrayIconSysWindow"))
            return window->winId();
    return 0;
}

// The tray's background where the icon sits: the icon's corners, which the lock symbol leaves clear and
// an embedding tray fills with its own background. Nothing when the tray tells no place (a tray that
// draws the icon itself) or the screen cannot be read.
std::optional<bool> trayBackgroundIsDark(const QRect& icon) {
    if (!icon.isValid() || icon.width() < 4 || icon.height() < 4)
        return std::nullopt;
    QScreen* screen = QGuiApplication::screenAt(icon.center());
    if (!screen)
        return std::nullopt;
    if (const WId window = embeddedIconWindow())
        return TrayController::backgroundIsDark(screen->grabWindow(window, 0, 0, icon.width(), 2).toImage());
    const QRect on = icon.translated(-screen->geometry().topLeft());
    return TrayController::backgroundIsDark(screen->grabWindow(0, on.x(), on.y(), on.width(), 2).toImage());
}

} // namespace

TrayController::TrayController(VaultStore& store, Defaults& defaults, ShellActions actions, QObject* parent)
    : QObject(parent), store_(store), defaults_(defaults), actions_(std::move(actions)) {
    connect(&defaults_, &Defaults::changed, this, [this](const QString& key) {
        if (key == SettingsKeys::menuBarIcon.name || key == SettingsKeys::menuBarPanel.name)
            apply();
    });
    connect(&store_, &VaultStore::mountPointsChanged, this, &TrayController::updateIcon);
    connect(&store_, &VaultStore::pocketSessionsChanged, this, &TrayController::updateIcon);
    // A desktop that changes its scheme may change its tray's with it.
    connect(&ColorScheme::instance(), &ColorScheme::changed, this, [this] {
        looks_ = 0;
        lookAtTray();
        updateIcon();
    });
    // A quiet lock (screen lock, sleep, panic, auto-lock) that left a vault open puts up no alert; the tray says it.
    connect(&store_, &VaultStore::lockFailed, this, [this](const QString& vaultName, const QString& text) {
        if (icon_)
            icon_->showMessage(QStringLiteral("“%1” is still unlocked").arg(vaultName), text, QSystemTrayIcon::Warning);
    });
}

void TrayController::start() {
    apply();
    // Made ready only where a tray shows the icon: without one nobody can open it, and should a tray
    // come later the first click makes it.
    if (isTrayAvailable())
        prepareExtra();
}

TrayController::~TrayController() {
    delete menu_;
    delete panel_;
}

bool TrayController::isTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayController::apply() {
    const TrayExtraKind wanted = ShellRules::insertedExtra(defaults_);
    if (wanted == kind_)
        return;
    kind_ = wanted;

    delete icon_;
    icon_ = nullptr;
    delete menu_;
    menu_ = nullptr;
    delete panel_;
    panel_ = nullptr;

    if (kind_ != TrayExtraKind::none) {
        icon_ = new QSystemTrayIcon(this);
        icon_->setToolTip(QStringLiteral("Larkhold"));
        // The panel is made by start() while a tray is there, or when it is first opened.
        if (kind_ == TrayExtraKind::menu) {
            menu_ = new TrayMenu(store_, actions_, statusCache());
            icon_->setContextMenu(menu_);
        }
        connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            // The menu opens by itself on a right click; every other click opens the extra.
            if (kind_ == TrayExtraKind::menu && reason == QSystemTrayIcon::Context)
                return;
            openExtra();
        });
        updateIcon();
        icon_->show();
        looks_ = 0;
        lookAtTray();
    }
    emit kindChanged(kind_);
}

VaultStatusCache* TrayController::statusCache() {
    if (!status_)
        status_ = new VaultStatusCache(store_, nullptr, this);
    return status_;
}

void TrayController::prepareExtra() {
    if (kind_ == TrayExtraKind::panel && !panel_)
        panel_ = new MenuBarPanel(store_, defaults_, actions_, statusCache());
}

std::optional<bool> TrayController::backgroundIsDark(const QImage& topRow) {
    if (topRow.width() < 4 || topRow.height() < 1)
        return std::nullopt;
    const QRgb left = topRow.pixel(1, 0);
    const QRgb right = topRow.pixel(topRow.width() - 2, 0);
    // A translucent tray's pixels are not its colour: whatever lies behind shows through them where a
    // compositor runs, and a transparent pixel reads as black where none does.
    if (qAlpha(left) < 255 || qAlpha(right) < 255)
        return std::nullopt;
    return (qGray(left) + qGray(right)) / 2 < 128;
}

void TrayController::updateIcon() {
    if (icon_)
        icon_->setIcon(MenuBarIcon::image(store_.openCount() >= 1, trayDark_.value_or(ColorScheme::isDark()),
                                          trayDark_.has_value()));
}

void TrayController::lookAtTray() {
    if (!icon_ || !icon_->isVisible())
        return;
    // Until the tray has taken the icon in, the icon stands at the screen's corner; the tray's place is the
    // one seen twice in a row.
    const QRect at = icon_->geometry();
    const std::optional<bool> dark = at.topLeft().isNull() ? std::nullopt : trayBackgroundIsDark(at);
    if (dark && dark != trayDark_) {
        trayDark_ = dark;
        updateIcon();
    }
    const bool settled = dark && at == lastLook_;
    lastLook_ = dark ? at : QRect();
    if (!settled && ++looks_ < kTrayLooks)
        QTimer::singleShot(kTrayLookIntervalMs, this, &TrayController::lookAtTray);
}

void TrayController::openExtra() {
    if (!icon_)
        return;
    const QRect anchor = icon_->geometry();
    prepareExtra();
    if (menu_) {
        menu_->popup(anchor.isValid() ? anchor.bottomLeft() : QCursor::pos());
    } else if (panel_) {
        panel_->showNextTo(anchor);
    }
}

} // namespace larkhold
