#include "ApplicationMenu.h"

#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace larkhold {

QMenu* installApplicationMenu(QMainWindow& window, const ShellActions& actions) {
    QMenu* menu = window.menuBar()->addMenu(QStringLiteral("Larkhold"));
    menu->setObjectName(QStringLiteral("applicationMenu"));
    const auto add = [&](const QString& title, std::function<void()> action, QKeySequence shortcut = {}) {
        QAction* item = menu->addAction(title);
        item->setShortcut(shortcut);
        // The shortcuts work wherever focus is in the window, also while the menu bar is hidden by a style.
        item->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(item, &QAction::triggered, &window, [action] { callIfSet(action); });
        return item;
    };
    add(QStringLiteral("About…"), actions.showAbout);
    add(QStringLiteral("What’s New…"), actions.showChangelog);
    menu->addSeparator();
    add(QStringLiteral("Settings…"), actions.showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    add(QStringLiteral("Quit"), actions.quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    return menu;
}

} // namespace larkhold
