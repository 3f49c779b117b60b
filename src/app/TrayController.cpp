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
#include <QPalette>
#include <QSystemTrayIcon>

namespace larkhold {

namespace {

// The tray's own background is unknown; the desktop's colour scheme is the best guess of whether it is dark.
bool darkPanel() {
    return ColorScheme::isDark();
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
    connect(&ColorScheme::instance(), &ColorScheme::changed, this, &TrayController::updateIcon);
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

void TrayController::updateIcon() {
    if (icon_)
        icon_->setIcon(MenuBarIcon::image(store_.openCount() >= 1, darkPanel()));
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
