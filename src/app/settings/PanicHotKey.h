#pragma once

#include "GlobalHotKey.h"

#include <QCoroTask>
#include <QObject>

namespace larkhold {

class Defaults;
class VaultStore;

// The system-wide shortcut that locks every open vault at once, quietly. It follows the panic settings:
// update() gives up the current grab and takes the stored combination again when the shortcut is on and
// its stored values are sound. The application calls update() at launch; the settings window calls it
// when the switch or the combination changes.
class PanicHotKey : public QObject {
    Q_OBJECT

public:
    enum class State {
        // Switched off in the settings.
        off,
        // The combination is held.
        active,
        // The stored combination is not one that may be grabbed; nothing is held.
        invalid,
        // Another program holds the combination.
        taken,
        // No key of the keyboard layout gives the combination's key.
        noSuchKey,
        // The session has no display to grab keys on.
        unavailable,
        // Given up while a new combination is being recorded.
        suspended,
    };

    PanicHotKey(GlobalHotKey& hotKey, Defaults& defaults, VaultStore& store, QObject* parent = nullptr);
    ~PanicHotKey() override;

    void update();
    // While the settings window records a new combination the old one must reach the window, not the
    // grab: suspend() gives it up until resume(), which is update() again.
    void suspend();
    void resume();

    State state() const { return state_; }
    GlobalHotKey::Session session() const { return hotKey_.session(); }
    // The unshifted symbol of a hardware key, for the recorder.
    quint32 baseKeysym(quint32 nativeKeyCode) const { return hotKey_.baseKeysym(nativeKeyCode); }

signals:
    void stateChanged(larkhold::PanicHotKey::State state);
    // Emitted after each lock-all the shortcut started has finished.
    void panicFinished();

private:
    void setState(State state);
    void pressed();
    QCoro::Task<> lockEverything();

    GlobalHotKey& hotKey_;
    Defaults& defaults_;
    VaultStore& store_;
    State state_ = State::off;
    bool suspended_ = false;
    bool locking_ = false;
    // A press while a lock-all runs: vaults opened meanwhile are locked by one more pass.
    bool pressedAgain_ = false;
};

} // namespace larkhold
