#pragma once

#include "WindowPresenter.h"

#include <memory>

namespace larkhold {

// The EWMH way of moving a window to the current desktop (_NET_CURRENT_DESKTOP → _NET_WM_DESKTOP) and of keeping it
// off the taskbar (_NET_WM_STATE_SKIP_TASKBAR), on the application's own X connection. A window that is not mapped
// gets the properties directly, so the window manager finds them when it maps the window; a mapped one is asked
// through the root window, as the window manager owns its state then. Outside X11 every call does nothing.
class X11WindowPresenter final : public WindowPresenter {
public:
    X11WindowPresenter();
    ~X11WindowPresenter() override;

    void moveToCurrentDesktop(quintptr windowId) override;
    void setSkipTaskbar(quintptr windowId, bool skip) override;

private:
    struct Atoms;
    std::unique_ptr<Atoms> atoms_;
};

} // namespace larkhold
