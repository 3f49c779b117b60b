#pragma once

#include "ShellActions.h"
#include "ShellRules.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <optional>

class QImage;
class QSystemTrayIcon;

namespace larkhold {

class Defaults;
class MenuBarPanel;
class TrayMenu;
class VaultStatusCache;
class VaultStore;

// The tray extra: an icon that opens the compact panel or the plain menu, or nothing, as the settings say. A change
// of `menuBarIcon` or `menuBarPanel` swaps or removes it at once; the icon follows whether any vault is open.
class TrayController : public QObject {
    Q_OBJECT

public:
    TrayController(VaultStore& store, Defaults& defaults, ShellActions actions, QObject* parent = nullptr);
    ~TrayController() override;

    // Puts the extra in the tray as the settings say, its panel made ready while a tray shows it: none
    // of it is needed by the first window, which does not wait for it.
    void start();

    TrayExtraKind kind() const { return kind_; }
    // Whether a tray host is there to show the icon.
    static bool isTrayAvailable();

    QSystemTrayIcon* icon() const { return icon_; }
    TrayMenu* menu() const { return menu_; }
    MenuBarPanel* panel() const { return panel_; }

    // Opens the extra next to the icon, as a click on the icon does.
    void openExtra();

    // Whether the tray is dark, from the top row of pixels where the icon sits; nothing when they do not
    // show the tray's own colour.
    static std::optional<bool> backgroundIsDark(const QImage& topRow);

signals:
    void kindChanged(TrayExtraKind kind);

private:
    void apply();
    void updateIcon();
    // Looks at the tray's own background behind the icon, which may be light in a dark desktop and the
    // other way round; tries again while the tray has not placed the icon yet.
    void lookAtTray();
    void prepareExtra();
    VaultStatusCache* statusCache();

    VaultStore& store_;
    Defaults& defaults_;
    ShellActions actions_;
    TrayExtraKind kind_ = TrayExtraKind::none;
    QSystemTrayIcon* icon_ = nullptr;
    TrayMenu* menu_ = nullptr;
    MenuBarPanel* panel_ = nullptr;
    // Whether the tray behind the icon is dark, once seen; until then (and for good with a tray that draws the
    // icon itself or a translucent one) the desktop's scheme guesses, and the icon is drawn to read on either.
    std::optional<bool> trayDark_;
    QRect lastLook_;
    int looks_ = 0;
    // Where each vault's file is, for the menu and the panel alike; made with the first of them.
    VaultStatusCache* status_ = nullptr;
};

} // namespace larkhold
