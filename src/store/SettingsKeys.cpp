#include "SettingsKeys.h"

#include "Defaults.h"

#include <QVariantMap>

namespace larkhold::SettingsKeys {

const std::vector<const SettingKey*>& all() {
    static const std::vector<const SettingKey*> keys{
        &autoLockEnabled,    &autoLockMinutes, &lockOnQuit,           &menuBarIcon,
        &lockOnScreenLock,   &lockOnSleep,     &panicEnabled,         &panicKeyCode,
        &panicModifiers,     &panicKeyLabel,   &hideDockIcon,         &menuBarPanel,
        &updateCheckEnabled, &appTheme,        &pocketOptimizePhotos, &activityLog,
        &skippedVersion,     &lastUpdateCheck, &lastLaunchedVersion,  &migratedFromTarnFolder,
    };
    return keys;
}

void registerDefaults(Defaults& defaults) {
    QVariantMap values;
    for (const SettingKey* key : all()) {
        if (key->registered)
            values.insert(key->name, key->defaultValue);
    }
    defaults.registerDefaults(values);
}

void registerDefaults() {
    registerDefaults(Defaults::shared());
}

} // namespace larkhold::SettingsKeys
