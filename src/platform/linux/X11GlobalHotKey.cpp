#include "X11GlobalHotKey.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <X11/keysym.h>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace larkhold {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

bool isWaylandSession() {
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0;
}

quint16 xModifiers(HotKeyModifiers modifiers) {
    quint16 mask = 0;
    if (modifiers.testFlag(HotKeyModifier::control))
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers.testFlag(HotKeyModifier::alt))
        mask |= XCB_MOD_MASK_1;
    if (modifiers.testFlag(HotKeyModifier::shift))
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers.testFlag(HotKeyModifier::super))
        mask |= XCB_MOD_MASK_4;
    return mask;
}

} // namespace

X11GlobalHotKey::X11GlobalHotKey(const QByteArray& display, QObject* parent)
    : GlobalHotKey(parent), display_(display), waylandSession_(isWaylandSession()) {}

xcb_connection_t* X11GlobalHotKey::connection() const {
    // Opening the connection changes nothing a caller can see but the time it takes.
    if (!opened_)
        const_cast<X11GlobalHotKey*>(this)->open();
    return connection_;
}

void X11GlobalHotKey::open() {
    opened_ = true;
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(display_.isEmpty() ? nullptr : display_.constData(), &screenNumber);
    if (!connection)
        return;
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return;
    }
    const xcb_setup_t* setup = xcb_get_setup(connection);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        xcb_disconnect(connection);
        return;
    }
    connection_ = connection;
    root_ = screens.data->root;
    symbols_ = xcb_key_symbols_alloc(connection_);
    refreshKeyboard();
    notifier_ = new QSocketNotifier(xcb_get_file_descriptor(connection_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &X11GlobalHotKey::readEvents);
}

X11GlobalHotKey::~X11GlobalHotKey() {
    if (!connection_)
        return;
    ungrabAll();
    xcb_flush(connection_);
    delete notifier_;
    xcb_key_symbols_free(symbols_);
    xcb_disconnect(connection_);
}

quint16 X11GlobalHotKey::numLockMask() const {
    connection();
    return numLockMask_;
}

GlobalHotKey::Session X11GlobalHotKey::session() const {
    if (!connection())
        return Session::none;
    return waylandSession_ ? Session::waylandLimited : Session::x11;
}

quint32 X11GlobalHotKey::baseKeysym(quint32 nativeKeyCode) const {
    if (!connection() || !symbols_ || nativeKeyCode > 255)
        return 0;
    return xcb_key_symbols_get_keysym(symbols_, static_cast<xcb_keycode_t>(nativeKeyCode), 0);
}

void X11GlobalHotKey::refreshKeyboard() {
    // NumLock's bit is whichever modifier holds a key that gives Num_Lock.
    numLockMask_ = XCB_MOD_MASK_2;
    const auto cookie = xcb_get_modifier_mapping(connection_);
    const XcbReply<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(connection_, cookie, nullptr));
    if (!reply)
        return;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            const xcb_keycode_t code = codes[modifier * perModifier + i];
            if (code == 0)
                continue;
            for (int column = 0; column < 4; ++column) {
                if (xcb_key_symbols_get_keysym(symbols_, code, column) == XK_Num_Lock) {
                    numLockMask_ = static_cast<quint16>(1U << modifier);
                    return;
                }
            }
        }
    }
}

GlobalHotKey::GrabResult X11GlobalHotKey::grab(quint32 keysym, HotKeyModifiers modifiers) {
    release();
    if (!connection())
        return GrabResult::unavailable;
    keysym_ = keysym;
    modifiers_ = xModifiers(modifiers);
    return takeGrab();
}

GlobalHotKey::GrabResult X11GlobalHotKey::takeGrab() {
    const XcbReply<xcb_keycode_t> found(xcb_key_symbols_get_keycode(symbols_, keysym_));
    std::vector<quint8> codes;
    for (const xcb_keycode_t* code = found.get(); code && *code != XCB_NO_SYMBOL; ++code)
        codes.push_back(*code);
    if (codes.empty())
        return GrabResult::noSuchKey;

    const quint16 variants[] = {0, XCB_MOD_MASK_LOCK, numLockMask_,
                                static_cast<quint16>(XCB_MOD_MASK_LOCK | numLockMask_)};
    std::vector<xcb_void_cookie_t> cookies;
    for (const quint8 code : codes) {
        for (const quint16 variant : variants)
            cookies.push_back(xcb_grab_key_checked(connection_, 1, root_, modifiers_ | variant, code,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    bool refused = false;
    for (const xcb_void_cookie_t cookie : cookies) {
        if (XcbReply<xcb_generic_error_t> error{xcb_request_check(connection_, cookie)})
            refused = true;
    }
    keyCodes_ = std::move(codes);
    if (refused) {
        // Only our own grabs are given back; another client's stay its own.
        ungrabAll();
        xcb_flush(connection_);
        return GrabResult::taken;
    }
    // Waiting for the replies may have queued events the socket will not announce again.
    QMetaObject::invokeMethod(this, &X11GlobalHotKey::readEvents, Qt::QueuedConnection);
    return GrabResult::grabbed;
}

void X11GlobalHotKey::ungrabAll() {
    if (!connection_)
        return;
    const quint16 variants[] = {0, XCB_MOD_MASK_LOCK, numLockMask_,
                                static_cast<quint16>(XCB_MOD_MASK_LOCK | numLockMask_)};
    for (const quint8 code : keyCodes_) {
        for (const quint16 variant : variants)
            xcb_ungrab_key(connection_, code, root_, modifiers_ | variant);
    }
    keyCodes_.clear();
}

void X11GlobalHotKey::release() {
    if (keyCodes_.empty())
        return;
    ungrabAll();
    keysym_ = 0;
    modifiers_ = 0;
    // Through the server before returning: a recorder listening next must receive the keys itself.
    const XcbReply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    QMetaObject::invokeMethod(this, &X11GlobalHotKey::readEvents, Qt::QueuedConnection);
}

void X11GlobalHotKey::readEvents() {
    if (!connection_)
        return;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        handle(event);
        std::free(event);
    }
    if (xcb_connection_has_error(connection_)) {
        // The server went away; nothing will be delivered again.
        notifier_->setEnabled(false);
        keyCodes_.clear();
    }
}

void X11GlobalHotKey::handle(void* generic) {
    auto* event = static_cast<xcb_generic_event_t*>(generic);
    const quint8 type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
        xcb_refresh_keyboard_mapping(symbols_, mapping);
        if (mapping->request == XCB_MAPPING_POINTER)
            return;
        const quint32 keysym = keysym_;
        const quint16 modifiers = modifiers_;
        const bool held = !keyCodes_.empty();
        ungrabAll();
        refreshKeyboard();
        if (held) {
            keysym_ = keysym;
            modifiers_ = modifiers;
            if (takeGrab() != GrabResult::grabbed) {
                keyCodes_.clear();
                emit grabLost();
            }
        }
        return;
    }
    if (type != XCB_KEY_PRESS || keyCodes_.empty())
        return;
    const auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
    const quint16 ignored = XCB_MOD_MASK_LOCK | numLockMask_;
    const quint16 state = press->state & 0xff & ~ignored;
    for (const quint8 code : keyCodes_) {
        if (code == press->detail && state == modifiers_) {
            emit activated();
            return;
        }
    }
}

} // namespace larkhold
