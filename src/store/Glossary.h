#pragma once

#include <QString>

namespace larkhold {

// Words of this desktop for the parts of the system a message names. Every text a window, alert, menu or
// the activity list shows takes these words from here, so that a message never names a part this
// desktop does not have. Settings keys, stored fields and the self-tests' console lines keep their own
// names.
namespace glossary {

// "this computer", "when your computer sleeps"
inline const QString computer = QStringLiteral("computer");
// "Open in File Manager"; "Show in File Manager" is the reveal command's title.
inline const QString fileManager = QStringLiteral("file manager");
inline const QString fileManagerTitle = QStringLiteral("File Manager");
inline const QString openInFileManager = QStringLiteral("Open in File Manager");
inline const QString revealInFileManager = QStringLiteral("Show in File Manager");
// Where saved passwords live: "Remember in keyring", "the login keyring".
inline const QString keyring = QStringLiteral("keyring");
inline const QString keyringTitle = QStringLiteral("Keyring");
inline const QString loginKeyring = QStringLiteral("login keyring");
// The owner check; its prompt is the desktop's own.
inline const QString ownerCheck = QStringLiteral("system authentication");
inline const QString ownerCheckTitle = QStringLiteral("System authentication");
inline const QString taskbar = QStringLiteral("taskbar");
inline const QString taskbarEntry = QStringLiteral("taskbar entry");
inline const QString tray = QStringLiteral("tray");
inline const QString trayIcon = QStringLiteral("tray icon");
// The platform's own cloud drive; a named third-party sync service keeps its name.
inline const QString cloudSync = QStringLiteral("cloud sync");
inline const QString keepOutOfCloudSync = QStringLiteral("Keep out of cloud sync");
inline const QString searchIndexing = QStringLiteral("search indexing");
// The desktop's backup tool: "kept out of backups".
inline const QString backups = QStringLiteral("backups");
// Menu shortcuts are written with Ctrl; the panic shortcut with its X11 names.
inline const QString commandKey = QStringLiteral("Ctrl+");
// Where this build came from, in the update alert.
inline const QString installLocation = QStringLiteral("the package or install location this build came from");

} // namespace glossary
} // namespace larkhold
