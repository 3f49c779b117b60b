#pragma once

#include <QtGlobal>

namespace larkhold {

// What the window system must do for a window beyond showing it: put it on the desktop (workspace) the user is
// looking at, and keep it off the taskbar. Windows are named by their native id. Calls the window system does not
// support do nothing.
class WindowPresenter {
public:
    virtual ~WindowPresenter() = default;

    // Moves the window to the current desktop; for a window that is not shown yet, makes it appear there.
    virtual void moveToCurrentDesktop(quintptr windowId) = 0;
    // Adds or removes the window's taskbar entry.
    virtual void setSkipTaskbar(quintptr windowId, bool skip) = 0;

protected:
    WindowPresenter() = default;
    WindowPresenter(const WindowPresenter&) = default;
    WindowPresenter& operator=(const WindowPresenter&) = default;
};

} // namespace larkhold
