#pragma once

#include "ShellActions.h"

class QMainWindow;
class QMenu;

namespace larkhold {

// The main window's one menu, "Larkhold": About…, What’s New…, Settings… (Ctrl+,), Quit (Ctrl+Q). It keeps the
// settings and quitting reachable when the tray icon is off. Its two shortcuts work from every window of the
// application, the main window closed or not.
QMenu* installApplicationMenu(QMainWindow& window, const ShellActions& actions);

} // namespace larkhold
