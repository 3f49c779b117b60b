#pragma once

#include <QFlags>
#include <QObject>

namespace larkhold {

// The modifier keys a system-wide shortcut can hold, by the names this desktop gives them.
enum class HotKeyModifier : quint8 {
    control = 0x1,
    alt = 0x2,
    shift = 0x4,
    super = 0x8,
};
Q_DECLARE_FLAGS(HotKeyModifiers, HotKeyModifier)
Q_DECLARE_OPERATORS_FOR_FLAGS(HotKeyModifiers)

// One key combination taken from the whole desktop: while it is held, the combination reaches this
// application whichever program is in front, and no other program sees it. Keys are named by X keysym
// (the unshifted symbol on the key cap, e.g. XK_l), so that the combination follows the keyboard layout.
//
// One grab at a time: a new grab replaces the previous one.
class GlobalHotKey : public QObject {
    Q_OBJECT

public:
    // What kind of desktop session the grab lives in.
    enum class Session {
        // A grab sees the keys whatever program is in front.
        x11,
        // X through a Wayland compositor: the grab sees the keys only while one of our windows has focus.
        waylandLimited,
        // No X display to grab keys on.
        none,
    };

    enum class GrabResult {
        grabbed,
        // Another program holds the combination (or part of it); nothing is grabbed.
        taken,
        // No key of the current keyboard layout produces the keysym.
        noSuchKey,
        // The session has no display to grab keys on.
        unavailable,
    };

    ~GlobalHotKey() override = default;

    virtual Session session() const = 0;
    virtual GrabResult grab(quint32 keysym, HotKeyModifiers modifiers) = 0;
    // Gives the combination back to the desktop; nothing happens when none is held.
    virtual void release() = 0;
    virtual bool isGrabbed() const = 0;

    // The keysym a hardware key code gives with no modifier held, or 0 when it is not known. A key event
    // reports the symbol its modifiers produce (Shift+1 gives "!"); a shortcut stores the key itself.
    virtual quint32 baseKeysym(quint32 nativeKeyCode) const = 0;

signals:
    // The grabbed combination was pressed.
    void activated();
    // The grab was given up without being asked: the keyboard layout changed and the combination could not
    // be taken again. isGrabbed() is false from now on.
    void grabLost();

protected:
    explicit GlobalHotKey(QObject* parent = nullptr) : QObject(parent) {}
};

} // namespace larkhold
