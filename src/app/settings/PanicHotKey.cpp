#include "PanicHotKey.h"

#include "Defaults.h"
#include "KeyCodes.h"
#include "PanicShortcut.h"
#include "SettingsKeys.h"
#include "VaultStore.h"

#include <QPointer>

namespace larkhold {

PanicHotKey::PanicHotKey(GlobalHotKey& hotKey, Defaults& defaults, VaultStore& store, QObject* parent)
    : QObject(parent), hotKey_(hotKey), defaults_(defaults), store_(store) {
    connect(&hotKey_, &GlobalHotKey::activated, this, &PanicHotKey::pressed);
    // Taken again, to find out and show why it cannot be held now.
    connect(&hotKey_, &GlobalHotKey::grabLost, this, &PanicHotKey::update);
}

PanicHotKey::~PanicHotKey() {
    hotKey_.release();
}

void PanicHotKey::update() {
    hotKey_.release();
    if (suspended_) {
        setState(State::suspended);
        return;
    }
    if (!defaults_.boolValue(SettingsKeys::panicEnabled)) {
        setState(State::off);
        return;
    }
    const PanicShortcut shortcut = PanicShortcut::read(defaults_);
    if (!shortcut.isValid()) {
        setState(State::invalid);
        return;
    }
    const quint32 keysym = *KeyCodes::keysymFor(shortcut.keyCode);
    switch (hotKey_.grab(keysym, hotKeyModifiers(shortcut.modifiers))) {
    case GlobalHotKey::GrabResult::grabbed:
        setState(State::active);
        break;
    case GlobalHotKey::GrabResult::taken:
        setState(State::taken);
        break;
    case GlobalHotKey::GrabResult::noSuchKey:
        setState(State::noSuchKey);
        break;
    case GlobalHotKey::GrabResult::unavailable:
        setState(State::unavailable);
        break;
    }
}

void PanicHotKey::suspend() {
    suspended_ = true;
    update();
}

void PanicHotKey::resume() {
    suspended_ = false;
    update();
}

void PanicHotKey::setState(State state) {
    if (state_ == state)
        return;
    state_ = state;
    emit stateChanged(state);
}

void PanicHotKey::pressed() {
    // A grab given up a moment ago may still deliver a press that was already queued.
    if (state_ != State::active)
        return;
    if (locking_) {
        pressedAgain_ = true;
        return;
    }
    lockEverything();
}

QCoro::Task<> PanicHotKey::lockEverything() {
    const QPointer<PanicHotKey> self(this);
    locking_ = true;
    do {
        pressedAgain_ = false;
        auto locking = store_.lockAll(true, LockReason::panicShortcut);
        co_await locking;
        if (!self)
            co_return;
    } while (pressedAgain_);
    locking_ = false;
    emit panicFinished();
}

} // namespace larkhold
