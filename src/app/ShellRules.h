#pragma once

namespace larkhold {

class Defaults;

// Which tray extra is inserted: the compact panel, the plain menu, or none. Only the two settings decide; nothing
// writes them from here, so a tray host that drops the icon leaves the settings as they are.
enum class TrayExtraKind { none, panel, menu };

namespace ShellRules {

bool panelStyleInserted(const Defaults& defaults);
bool menuStyleInserted(const Defaults& defaults);
TrayExtraKind insertedExtra(const Defaults& defaults);

// Whether the main window stays off the taskbar. `hideDockIcon` asks for it, but only while a tray icon is there to
// bring the window back: with no tray host, or with the tray icon switched off, the taskbar entry is the only way
// back to a closed window, so it stays.
bool skipTaskbar(const Defaults& defaults, bool trayAvailable);

} // namespace ShellRules
} // namespace larkhold
