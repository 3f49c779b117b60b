#include "PanicShortcut.h"

#include "Defaults.h"
#include "KeyCodes.h"
#include "SettingsKeys.h"

namespace larkhold {

qint64 carbonModifiers(HotKeyModifiers modifiers) {
    qint64 mask = 0;
    if (modifiers.testFlag(HotKeyModifier::super))
        mask |= CarbonModifier::command;
    if (modifiers.testFlag(HotKeyModifier::shift))
        mask |= CarbonModifier::shift;
    if (modifiers.testFlag(HotKeyModifier::alt))
        mask |= CarbonModifier::option;
    if (modifiers.testFlag(HotKeyModifier::control))
        mask |= CarbonModifier::control;
    return mask;
}

HotKeyModifiers hotKeyModifiers(qint64 carbonMask) {
    HotKeyModifiers modifiers;
    modifiers.setFlag(HotKeyModifier::super, carbonMask & CarbonModifier::command);
    modifiers.setFlag(HotKeyModifier::shift, carbonMask & CarbonModifier::shift);
    modifiers.setFlag(HotKeyModifier::alt, carbonMask & CarbonModifier::option);
    modifiers.setFlag(HotKeyModifier::control, carbonMask & CarbonModifier::control);
    return modifiers;
}

QString modifierSymbols(qint64 carbonMask) {
    QString symbols;
    if (carbonMask & CarbonModifier::control)
        symbols += u'⌃';
    if (carbonMask & CarbonModifier::option)
        symbols += u'⌥';
    if (carbonMask & CarbonModifier::shift)
        symbols += u'⇧';
    if (carbonMask & CarbonModifier::command)
        symbols += u'⌘';
    return symbols;
}

QString modifierLabels(qint64 carbonMask) {
    QString labels;
    if (carbonMask & CarbonModifier::control)
        labels += QStringLiteral("Ctrl+");
    if (carbonMask & CarbonModifier::option)
        labels += QStringLiteral("Alt+");
    if (carbonMask & CarbonModifier::shift)
        labels += QStringLiteral("Shift+");
    if (carbonMask & CarbonModifier::command)
        labels += QStringLiteral("Super+");
    return labels;
}

PanicShortcut PanicShortcut::read(const Defaults& defaults) {
    return PanicShortcut{defaults.intValue(SettingsKeys::panicKeyCode), defaults.intValue(SettingsKeys::panicModifiers),
                         defaults.stringValue(SettingsKeys::panicKeyLabel)};
}

void PanicShortcut::write(Defaults& defaults) const {
    defaults.setValue(SettingsKeys::panicKeyCode, keyCode);
    defaults.setValue(SettingsKeys::panicModifiers, modifiers);
    defaults.setValue(SettingsKeys::panicKeyLabel, label);
}

PanicShortcut::Problem PanicShortcut::problem() const {
    if (modifiers & ~CarbonModifier::all)
        return Problem::unknownModifier;
    if (!(modifiers & (CarbonModifier::control | CarbonModifier::option | CarbonModifier::command)))
        return Problem::noModifier;
    if (!KeyCodes::keysymFor(keyCode))
        return Problem::unknownKey;
    return Problem::none;
}

QString PanicShortcut::text() const {
    return modifierLabels(modifiers) + (label.isEmpty() ? QStringLiteral("?") : label);
}

} // namespace larkhold
