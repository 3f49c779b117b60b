#include "ShortcutRecorderModel.h"

#include "Defaults.h"
#include "KeyCodes.h"
#include "PanicHotKey.h"
#include "PanicShortcut.h"
#include "SettingsKeys.h"

#include <X11/keysym.h>

namespace larkhold {

namespace {

bool isModifierKey(quint32 keysym) {
    return (keysym >= XK_Shift_L && keysym <= XK_Hyper_R) || keysym == XK_Mode_switch || keysym == XK_Num_Lock ||
           (keysym >= XK_ISO_Lock && keysym <= XK_ISO_Level5_Lock);
}

} // namespace

ShortcutRecorderModel::ShortcutRecorderModel(Defaults& defaults, PanicHotKey& panic, QObject* parent)
    : QObject(parent), defaults_(defaults), panic_(panic) {
    connect(&panic_, &PanicHotKey::stateChanged, this, &ShortcutRecorderModel::changed);
    connect(&defaults_, &Defaults::changed, this, [this](const QString& key) {
        if (key == SettingsKeys::panicEnabled.name && !isEnabled())
            stop();
        if (key == SettingsKeys::panicEnabled.name || key == SettingsKeys::panicKeyCode.name ||
            key == SettingsKeys::panicModifiers.name || key == SettingsKeys::panicKeyLabel.name)
            emit changed();
    });
}

ShortcutRecorderModel::~ShortcutRecorderModel() {
    // A window closed while recording must not leave the shortcut given up.
    if (recording_)
        panic_.resume();
}

bool ShortcutRecorderModel::isEnabled() const {
    return defaults_.boolValue(SettingsKeys::panicEnabled);
}

QString ShortcutRecorderModel::title() const {
    if (recording_)
        return pressKeysTitle();
    return PanicShortcut::read(defaults_).text();
}

QString ShortcutRecorderModel::note() const {
    if (recording_ && unusableKey_)
        return QStringLiteral("That key can’t be part of the shortcut. Esc cancels.");
    if (panic_.session() == GlobalHotKey::Session::none)
        return QStringLiteral("The shortcut is not available in this session — it needs an X11 session.");
    if (!recording_ && isEnabled()) {
        switch (panic_.state()) {
        case PanicHotKey::State::invalid:
            return QStringLiteral("The stored shortcut is not valid — record a new one.");
        case PanicHotKey::State::taken:
            return QStringLiteral("Another program already uses this shortcut — record a different one.");
        case PanicHotKey::State::noSuchKey:
            return QStringLiteral("No key of this keyboard layout gives this shortcut — record a different one.");
        default:
            break;
        }
    }
    if (panic_.session() == GlobalHotKey::Session::waylandLimited)
        return QStringLiteral("In this session the shortcut works only while a Larkhold window is active; "
                              "system-wide it needs an X11 session.");
    return QString();
}

bool ShortcutRecorderModel::noteIsProblem() const {
    if (recording_)
        return unusableKey_;
    if (!isEnabled())
        return false;
    const PanicHotKey::State state = panic_.state();
    return state == PanicHotKey::State::invalid || state == PanicHotKey::State::taken ||
           state == PanicHotKey::State::noSuchKey;
}

void ShortcutRecorderModel::toggle() {
    if (recording_)
        stop();
    else
        start();
}

void ShortcutRecorderModel::start() {
    if (recording_ || !isEnabled())
        return;
    recording_ = true;
    unusableKey_ = false;
    panic_.suspend();
    emit changed();
}

void ShortcutRecorderModel::stop() {
    if (!recording_)
        return;
    recording_ = false;
    unusableKey_ = false;
    panic_.resume();
    emit changed();
}

ShortcutRecorderModel::KeyResult ShortcutRecorderModel::keyPressed(quint32 keysym, HotKeyModifiers modifiers) {
    if (!recording_)
        return KeyResult::ignored;
    if (keysym == XK_Escape) {
        stop();
        return KeyResult::cancelled;
    }
    const qint64 mask = carbonModifiers(modifiers);
    if (isModifierKey(keysym) || !(mask & (CarbonModifier::control | CarbonModifier::option | CarbonModifier::command)))
        return KeyResult::ignored;
    const std::optional<int> keyCode = KeyCodes::keyCodeFor(keysym);
    if (!keyCode) {
        unusableKey_ = true;
        emit changed();
        return KeyResult::unusable;
    }
    // Recording ends only once the new combination is stored, so that resuming takes the new one.
    recording_ = false;
    unusableKey_ = false;
    PanicShortcut{*keyCode, mask, KeyCodes::labelFor(*keyCode)}.write(defaults_);
    panic_.resume();
    emit changed();
    return KeyResult::saved;
}

} // namespace larkhold
