#pragma once

#include "GlobalHotKey.h"

#include <QByteArray>
#include <vector>

class QSocketNotifier;
struct xcb_connection_t;
struct _XCBKeySymbols;

namespace larkhold {

// The global hot key on an X server: a passive grab of the combination on the root window through a
// connection of its own, so that it works whatever toolkit platform the windows use.
//
// The combination is grabbed four times, with and without CapsLock and NumLock, since X matches the
// modifier state exactly and a lit lock key would otherwise disable the shortcut. The grabs are checked:
// when another client holds any of them, none is kept and grab() says the combination is taken. When the
// keyboard mapping changes, the grab follows the keysym to its new key.
class X11GlobalHotKey final : public GlobalHotKey {
    Q_OBJECT

public:
    // Connects to `display`, or to $DISPLAY when empty, when first asked for anything: the program's start does
    // not wait for a connection of its own. Without a reachable X server the session is none.
    explicit X11GlobalHotKey(const QByteArray& display = {}, QObject* parent = nullptr);
    ~X11GlobalHotKey() override;

    Session session() const override;
    GrabResult grab(quint32 keysym, HotKeyModifiers modifiers) override;
    void release() override;
    bool isGrabbed() const override { return !keyCodes_.empty(); }
    quint32 baseKeysym(quint32 nativeKeyCode) const override;

    // The modifier bit NumLock sets on this server (usually Mod2).
    quint16 numLockMask() const;

private:
    // The connection, made on the first call; null without a reachable X server.
    xcb_connection_t* connection() const;
    void open();
    void readEvents();
    // One event from the server (an xcb_generic_event_t).
    void handle(void* event);
    void refreshKeyboard();
    // Takes the grab for keysym_/modifiers_; false when any variant was refused.
    GrabResult takeGrab();
    void ungrabAll();

    QByteArray display_;
    bool opened_ = false;
    xcb_connection_t* connection_ = nullptr;
    _XCBKeySymbols* symbols_ = nullptr;
    quint32 root_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    bool waylandSession_ = false;
    quint16 numLockMask_ = 0;

    quint32 keysym_ = 0;
    quint16 modifiers_ = 0;
    std::vector<quint8> keyCodes_;
};

} // namespace larkhold
