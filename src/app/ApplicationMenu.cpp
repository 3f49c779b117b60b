#include "ApplicationMenu.h"

#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

namespace larkhold {

namespace {

// Hands the application's commands to every window of ours as it is shown, so that their shortcuts work
// whichever window has the keyboard: a shortcut of the main window's menu alone is dead while another window
// is active or the main window is closed.
class CommandsInEveryWindow : public QObject {
public:
    CommandsInEveryWindow(const QList<QAction*>& commands, QObject* parent) : QObject(parent) {
        for (QAction* command : commands)
            commands_.append(command);
        qApp->installEventFilter(this);
        for (QWidget* window : QApplication::topLevelWidgets())
            adopt(window);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType())
            adopt(static_cast<QWidget*>(watched));
        return false;
    }

private:
    void adopt(QWidget* widget) {
        if (!widget->isWindow())
            return;
        const Qt::WindowType type = widget->windowType();
        if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::SplashScreen)
            return;
        for (QAction* command : commands_) {
            if (command && !widget->actions().contains(command))
                widget->addAction(command);
        }
    }

    QList<QPointer<QAction>> commands_;
};

} // namespace

QMenu* installApplicationMenu(QMainWindow& window, const ShellActions& actions) {
    QMenu* menu = window.menuBar()->addMenu(QStringLiteral("Larkhold"));
    menu->setObjectName(QStringLiteral("applicationMenu"));
    QList<QAction*> commands;
    const auto add = [&](const QString& title, std::function<void()> action, QKeySequence shortcut = {}) {
        QAction* item = menu->addAction(title);
        item->setShortcut(shortcut);
        // Each window the commands are handed to answers them while it is the active one, also while the
        // menu bar is hidden by a style.
        item->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(item, &QAction::triggered, &window, [action] { callIfSet(action); });
        if (!shortcut.isEmpty())
            commands.append(item);
        return item;
    };
    add(QStringLiteral("About…"), actions.showAbout);
    add(QStringLiteral("What’s New…"), actions.showChangelog);
    menu->addSeparator();
    add(QStringLiteral("Settings…"), actions.showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    add(QStringLiteral("Quit"), actions.quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    new CommandsInEveryWindow(commands, menu);
    return menu;
}

} // namespace larkhold
