#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>
#include <vector>

namespace larkhold {

class Defaults;

// One preference: the name it is stored under, its value type and the value a read gives
// when the user has not set it. Views bind to these objects, never to retyped strings, so a
// setting reads the same everywhere.
struct SettingKey {
    QString name;
    QMetaType::Type type;
    // What a read gives when the user never set the key; invalid when absence itself means
    // something (no version skipped, no check yet, …).
    QVariant defaultValue;
    // Part of the registered defaults rather than a default applied at the point of use.
    bool registered = false;

    operator const QString&() const { return name; }
};

namespace SettingsKeys {

// Registered at every start.
inline const SettingKey autoLockEnabled{QStringLiteral("autoLockEnabled"), QMetaType::Bool, true, true};
// The store treats anything below 1 as 1.
inline const SettingKey autoLockMinutes{QStringLiteral("autoLockMinutes"), QMetaType::Int, 15, true};
inline const SettingKey lockOnQuit{QStringLiteral("lockOnQuit"), QMetaType::Bool, true, true};
inline const SettingKey menuBarIcon{QStringLiteral("menuBarIcon"), QMetaType::Bool, true, true};
inline const SettingKey lockOnScreenLock{QStringLiteral("lockOnScreenLock"), QMetaType::Bool, true, true};
inline const SettingKey lockOnSleep{QStringLiteral("lockOnSleep"), QMetaType::Bool, true, true};
inline const SettingKey panicEnabled{QStringLiteral("panicEnabled"), QMetaType::Bool, true, true};
// 37 is the L key.
inline const SettingKey panicKeyCode{QStringLiteral("panicKeyCode"), QMetaType::Int, 37, true};
// Control (4096) + option (2048) + command (256), in the bits the hot-key recorder stores.
inline const SettingKey panicModifiers{QStringLiteral("panicModifiers"), QMetaType::Int, 6400, true};
inline const SettingKey panicKeyLabel{QStringLiteral("panicKeyLabel"), QMetaType::QString, QStringLiteral("L"), true};
inline const SettingKey hideDockIcon{QStringLiteral("hideDockIcon"), QMetaType::Bool, false, true};
// True: the menu-bar extra is the compact panel; false: the plain menu.
inline const SettingKey menuBarPanel{QStringLiteral("menuBarPanel"), QMetaType::Bool, true, true};
inline const SettingKey updateCheckEnabled{QStringLiteral("updateCheckEnabled"), QMetaType::Bool, true, true};

// Read with a default of their own, or holding state rather than a preference.

// "classic", "nativePro", "nightWatch" or "softFocus"; any other text means classic.
inline const SettingKey appTheme{QStringLiteral("appTheme"), QMetaType::QString, QStringLiteral("classic")};
inline const SettingKey pocketOptimizePhotos{QStringLiteral("pocketOptimizePhotos"), QMetaType::Bool, true};
// Compact JSON of the activity log, newest first.
inline const SettingKey activityLog{QStringLiteral("activityLog"), QMetaType::QByteArray, {}};
inline const SettingKey skippedVersion{QStringLiteral("skippedVersion"), QMetaType::QString, {}};
// Seconds since 2001-01-01 UTC.
inline const SettingKey lastUpdateCheck{QStringLiteral("lastUpdateCheck"), QMetaType::Double, {}};
inline const SettingKey lastLaunchedVersion{QStringLiteral("lastLaunchedVersion"), QMetaType::QString, {}};
// Only its presence matters.
inline const SettingKey migratedFromTarnFolder{QStringLiteral("migratedFromTarnFolder"), QMetaType::Bool, {}};

// Every key, registered ones first in the order they are registered.
const std::vector<const SettingKey*>& all();

// Registers the defaults of the registered keys; values the user has set keep winning.
void registerDefaults(Defaults& defaults);
void registerDefaults();

} // namespace SettingsKeys

} // namespace larkhold
