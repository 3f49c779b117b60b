#include "WindowPresenting.h"

#include "WindowPresenter.h"

#include <QApplication>
#include <QWidget>

namespace larkhold {

void presentWindow(QWidget* window, WindowPresenter* presenter) {
    if (!window)
        return;
    if (window->isMinimized())
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    if (presenter)
        presenter->moveToCurrentDesktop(window->winId());
    window->show();
    window->raise();
    window->activateWindow();
}

void presentWindowsTitledLarkhold(WindowPresenter* presenter) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->windowTitle() == QStringLiteral("Larkhold"))
            presentWindow(window, presenter);
    }
}

} // namespace larkhold
