#pragma once

#include "Clock.h"
#include "GlobalHotKey.h"
#include "LoginItem.h"
#include "PanicHotKey.h"
#include "UpdateChecker.h"

#include <functional>
#include <memory>

class QWidget;

namespace larkhold {

class Defaults;
class SettingsWindow;
class VaultStore;

// What the application needs of this library, made in one place: the panic hot key over the desktop's
// global hot key, the update checker and the login item, and the settings window bound to them.
//
//   SettingsServices settings(std::make_unique<X11GlobalHotKey>(), defaults, store);
//   at launch:           settings.panicHotKey().update(); settings.updateChecker().startAutomaticChecks();
//   "Settings…" / tray:  settings.showWindow(present);
class SettingsServices {
public:
    SettingsServices(std::unique_ptr<GlobalHotKey> hotKey, Defaults& defaults, VaultStore& store);
    ~SettingsServices();

    PanicHotKey& panicHotKey() { return panic_; }
    UpdateChecker& updateChecker() { return updates_; }
    LoginItem& loginItem() { return loginItem_; }
    GlobalHotKey& globalHotKey() { return *hotKey_; }

    // Shows the one settings window, made on first use. `present` puts a window on the current desktop,
    // in front and active (the application's presenter); without it the window is shown and raised.
    SettingsWindow* showWindow(std::function<void(QWidget*)> present = {});

private:
    Defaults& defaults_;
    std::unique_ptr<GlobalHotKey> hotKey_;
    SystemClock clock_;
    PanicHotKey panic_;
    UpdateChecker updates_;
    LoginItem loginItem_;
};

} // namespace larkhold
