#include "FakeGlobalHotKey.h"

namespace larkhold {

FakeGlobalHotKey::FakeGlobalHotKey(Session session, QObject* parent) : GlobalHotKey(parent), session_(session) {}

GlobalHotKey::GrabResult FakeGlobalHotKey::grab(quint32 keysym, HotKeyModifiers modifiers) {
    release();
    if (session_ == Session::none)
        return GrabResult::unavailable;
    const Combination combination{keysym, modifiers};
    if (keysym == 0)
        return GrabResult::noSuchKey;
    if (taken_.contains(combination))
        return GrabResult::taken;
    held_ = combination;
    grabs_.append(combination);
    return GrabResult::grabbed;
}

void FakeGlobalHotKey::release() {
    if (!held_)
        return;
    held_.reset();
    ++releases_;
}

bool FakeGlobalHotKey::press(Combination combination) {
    if (!held_ || *held_ != combination)
        return false;
    emit activated();
    return true;
}

void FakeGlobalHotKey::loseGrab() {
    if (!held_)
        return;
    held_.reset();
    emit grabLost();
}

} // namespace larkhold
