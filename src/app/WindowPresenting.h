#pragma once

class QWidget;

namespace larkhold {

class WindowPresenter;

// Shows a window on the desktop the user is looking at, in front, and active. A minimised window is restored.
void presentWindow(QWidget* window, WindowPresenter* presenter);

// Every visible top-level window titled exactly "Larkhold", presented; the tray finds the main window this way.
void presentWindowsTitledLarkhold(WindowPresenter* presenter);

} // namespace larkhold
