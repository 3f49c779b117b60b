#include "X11WindowPresenter.h"

#include <QGuiApplication>
#include <QList>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace larkhold {

namespace {

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_intern_atom_cookie_t askForAtom(xcb_connection_t* c, const char* name) {
    return xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name);
}

xcb_atom_t atomFrom(xcb_connection_t* c, xcb_intern_atom_cookie_t cookie) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

xcb_window_t rootOf(xcb_connection_t* c, xcb_window_t window) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
    xcb_window_t root = tree ? tree->root : xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    std::free(tree);
    return root;
}

bool isMapped(xcb_connection_t* c, xcb_window_t window) {
    xcb_get_window_attributes_reply_t* attributes =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
    const bool mapped = attributes && attributes->map_state != XCB_MAP_STATE_UNMAPPED;
    std::free(attributes);
    return mapped;
}

bool isManaged(xcb_connection_t* c, xcb_window_t window, xcb_atom_t icccmState) {
    if (icccmState == XCB_ATOM_NONE)
        return false;
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, icccmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr);
    const bool managed = reply && reply->type != XCB_ATOM_NONE;
    std::free(reply);
    return managed;
}

// Values of a 32-bit property asked for with `cookie`, empty when it is not set.
QList<uint32_t> property32(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    QList<uint32_t> values;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr);
    if (reply && reply->format == 32) {
        const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / 4;
        for (int i = 0; i < count; ++i)
            values.append(data[i]);
    }
    std::free(reply);
    return values;
}

void sendToRoot(xcb_connection_t* c, xcb_window_t root, xcb_window_t window, xcb_atom_t type,
                std::initializer_list<uint32_t> data) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    int i = 0;
    for (uint32_t value : data)
        event.data.data32[i++] = value;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

// The source indication of EWMH requests: a normal application.
constexpr uint32_t sourceApplication = 1;

} // namespace

struct X11WindowPresenter::Atoms {
    xcb_atom_t currentDesktop = XCB_ATOM_NONE;
    xcb_atom_t wmDesktop = XCB_ATOM_NONE;
    xcb_atom_t wmState = XCB_ATOM_NONE;
    xcb_atom_t skipTaskbar = XCB_ATOM_NONE;
    xcb_atom_t icccmState = XCB_ATOM_NONE;
};

X11WindowPresenter::X11WindowPresenter() {
    xcb_connection_t* c = x11Connection();
    if (!c)
        return;
    // All asked for before any answer is awaited: one round trip to the server instead of four.
    const xcb_intern_atom_cookie_t currentDesktop = askForAtom(c, "_NET_CURRENT_DESKTOP");
    const xcb_intern_atom_cookie_t wmDesktop = askForAtom(c, "_NET_WM_DESKTOP");
    const xcb_intern_atom_cookie_t wmState = askForAtom(c, "_NET_WM_STATE");
    const xcb_intern_atom_cookie_t skipTaskbar = askForAtom(c, "_NET_WM_STATE_SKIP_TASKBAR");
    const xcb_intern_atom_cookie_t icccmState = askForAtom(c, "WM_STATE");
    atoms_ = std::make_unique<Atoms>();
    atoms_->currentDesktop = atomFrom(c, currentDesktop);
    atoms_->wmDesktop = atomFrom(c, wmDesktop);
    atoms_->wmState = atomFrom(c, wmState);
    atoms_->skipTaskbar = atomFrom(c, skipTaskbar);
    atoms_->icccmState = atomFrom(c, icccmState);
}

X11WindowPresenter::~X11WindowPresenter() = default;

void X11WindowPresenter::moveToCurrentDesktop(quintptr windowId) {
    xcb_connection_t* c = x11Connection();
    if (!c || !atoms_ || !windowId)
        return;
    const auto window = static_cast<xcb_window_t>(windowId);
    const xcb_window_t root = rootOf(c, window);
    const QList<uint32_t> current =
        property32(c, xcb_get_property(c, 0, root, atoms_->currentDesktop, XCB_ATOM_CARDINAL, 0, 1024));
    if (current.isEmpty())
        return; // no desktops to choose from
    // A window the window manager manages (it sets WM_STATE) is moved by asking it; one on another desktop is
    // unmapped but still managed, and the manager ignores the property written on it.
    if (isMapped(c, window) || isManaged(c, window, atoms_->icccmState))
        sendToRoot(c, root, window, atoms_->wmDesktop, {current.first(), sourceApplication});
    else
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atoms_->wmDesktop, XCB_ATOM_CARDINAL, 32, 1,
                            &current.first());
    xcb_flush(c);
}

void X11WindowPresenter::setSkipTaskbar(quintptr windowId, bool skip) {
    xcb_connection_t* c = x11Connection();
    if (!c || !atoms_ || !windowId)
        return;
    const auto window = static_cast<xcb_window_t>(windowId);
    // The states are asked for with the window's attributes, in the same round trip.
    const xcb_get_property_cookie_t stateCookie =
        xcb_get_property(c, 0, window, atoms_->wmState, XCB_ATOM_ATOM, 0, 1024);
    if (isMapped(c, window)) {
        xcb_discard_reply(c, stateCookie.sequence);
        constexpr uint32_t remove = 0, add = 1;
        sendToRoot(c, rootOf(c, window), window, atoms_->wmState,
                   {skip ? add : remove, atoms_->skipTaskbar, 0, sourceApplication});
    } else {
        // Qt merges its own states into what it finds here when it maps the window.
        QList<uint32_t> states = property32(c, stateCookie);
        states.removeAll(atoms_->skipTaskbar);
        if (skip)
            states.append(atoms_->skipTaskbar);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atoms_->wmState, XCB_ATOM_ATOM, 32,
                            static_cast<uint32_t>(states.size()), states.constData());
    }
    xcb_flush(c);
}

} // namespace larkhold
