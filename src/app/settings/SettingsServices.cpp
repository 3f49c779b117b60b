#include "SettingsServices.h"

#include "SettingsWindow.h"

namespace larkhold {

SettingsServices::SettingsServices(std::unique_ptr<GlobalHotKey> hotKey, Defaults& defaults, VaultStore& store)
    : defaults_(defaults), hotKey_(std::move(hotKey)), panic_(*hotKey_, defaults, store), updates_(defaults, clock_) {}

SettingsServices::~SettingsServices() {
    // The window refers to everything here.
    delete SettingsWindow::instance();
}

SettingsWindow* SettingsServices::showWindow(std::function<void(QWidget*)> present) {
    SettingsModel::Deps deps;
    deps.defaults = &defaults_;
    deps.panicHotKey = &panic_;
    deps.updateChecker = &updates_;
    deps.loginItem = &loginItem_;
    deps.present = std::move(present);
    return SettingsWindow::show(deps);
}

} // namespace larkhold
