#pragma once

#include "GlobalHotKey.h"

#include <QList>
#include <QMap>
#include <QPair>
#include <optional>

namespace larkhold {

// A global hot key for tests: remembers what it holds, refuses combinations marked as taken by "another
// program", and fires when the held combination is pressed.
class FakeGlobalHotKey final : public GlobalHotKey {
    Q_OBJECT

public:
    struct Combination {
        quint32 keysym = 0;
        HotKeyModifiers modifiers;
        friend bool operator==(const Combination&, const Combination&) = default;
    };

    explicit FakeGlobalHotKey(Session session = Session::x11, QObject* parent = nullptr);

    Session session() const override { return session_; }
    GrabResult grab(quint32 keysym, HotKeyModifiers modifiers) override;
    void release() override;
    bool isGrabbed() const override { return held_.has_value(); }
    quint32 baseKeysym(quint32 nativeKeyCode) const override { return baseKeysyms_.value(nativeKeyCode, 0); }

    void setSession(Session session) { session_ = session; }
    void markTaken(Combination combination) { taken_.append(combination); }
    void setBaseKeysym(quint32 nativeKeyCode, quint32 keysym) { baseKeysyms_.insert(nativeKeyCode, keysym); }

    const std::optional<Combination>& held() const { return held_; }
    // Every successful grab so far, oldest first.
    const QList<Combination>& grabs() const { return grabs_; }
    int releaseCount() const { return releases_; }

    // The user presses the combination: fires only when it is the one held.
    bool press(Combination combination);
    // The keyboard layout changed under the grab and the combination could not be taken again.
    void loseGrab();

private:
    Session session_;
    std::optional<Combination> held_;
    QList<Combination> taken_;
    QList<Combination> grabs_;
    QMap<quint32, quint32> baseKeysyms_;
    int releases_ = 0;
};

} // namespace larkhold
