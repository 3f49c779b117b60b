#include "ShellRules.h"

#include "Defaults.h"
#include "SettingsKeys.h"

namespace larkhold::ShellRules {

bool panelStyleInserted(const Defaults& defaults) {
    return defaults.boolValue(SettingsKeys::menuBarIcon) && defaults.boolValue(SettingsKeys::menuBarPanel);
}

bool menuStyleInserted(const Defaults& defaults) {
    return defaults.boolValue(SettingsKeys::menuBarIcon) && !defaults.boolValue(SettingsKeys::menuBarPanel);
}

TrayExtraKind insertedExtra(const Defaults& defaults) {
    if (panelStyleInserted(defaults))
        return TrayExtraKind::panel;
    if (menuStyleInserted(defaults))
        return TrayExtraKind::menu;
    return TrayExtraKind::none;
}

bool skipTaskbar(const Defaults& defaults, bool trayAvailable) {
    return defaults.boolValue(SettingsKeys::hideDockIcon) && trayAvailable &&
           insertedExtra(defaults) != TrayExtraKind::none;
}

} // namespace larkhold::ShellRules
