// Runs on its own X server (xvfb-run), where the test plays the window manager: it takes the requests sent to
// the root window, as a manager does.
#include "X11WindowPresenter.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace larkhold;

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return found;
}

} // namespace

TEST(X11WindowPresenter, AManagedWindowOnAnotherDesktopIsBroughtByAskingTheWindowManager) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "no X server";
    xcb_connection_t* manager = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(manager));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(manager)).data->root;
    const uint32_t redirect = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    xcb_generic_error_t* refused =
        xcb_request_check(manager, xcb_change_window_attributes_checked(manager, root, XCB_CW_EVENT_MASK, &redirect));
    if (refused) {
        std::free(refused);
        xcb_disconnect(manager);
        GTEST_SKIP() << "another window manager runs on this X server";
    }
    const xcb_atom_t currentDesktop = atom(manager, "_NET_CURRENT_DESKTOP");
    const xcb_atom_t wmDesktop = atom(manager, "_NET_WM_DESKTOP");
    const xcb_atom_t icccmState = atom(manager, "WM_STATE");
    const uint32_t userDesktop = 2;
    xcb_change_property(manager, XCB_PROP_MODE_REPLACE, root, currentDesktop, XCB_ATOM_CARDINAL, 32, 1, &userDesktop);

    // The window sits on desktop 0: managed, and unmapped while another desktop shows.
    QWidget window;
    const auto id = static_cast<xcb_window_t>(window.winId());
    const uint32_t state[] = {1, XCB_WINDOW_NONE};
    xcb_change_property(manager, XCB_PROP_MODE_REPLACE, id, icccmState, icccmState, 32, 2, state);
    const uint32_t oldDesktop = 0;
    xcb_change_property(manager, XCB_PROP_MODE_REPLACE, id, wmDesktop, XCB_ATOM_CARDINAL, 32, 1, &oldDesktop);
    std::free(xcb_get_input_focus_reply(manager, xcb_get_input_focus(manager), nullptr));

    X11WindowPresenter presenter;
    presenter.moveToCurrentDesktop(window.winId());

    bool asked = false;
    const QDeadlineTimer ceiling(std::chrono::minutes(1));
    while (!asked && !ceiling.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        while (xcb_generic_event_t* event = xcb_poll_for_event(manager)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                asked = asked || (message->type == wmDesktop && message->window == id &&
                                  message->data.data32[0] == userDesktop);
            }
            std::free(event);
        }
    }
    EXPECT_TRUE(asked) << "the window manager was not asked to bring the window to the user's desktop";
    xcb_disconnect(manager);
}
