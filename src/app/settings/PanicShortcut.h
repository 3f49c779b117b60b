#pragma once

#include "GlobalHotKey.h"

#include <QString>

namespace larkhold {

class Defaults;

// The modifier bits the stored panic shortcut uses (the settings format's own encoding).
namespace CarbonModifier {
inline constexpr qint64 command = 0x100;
inline constexpr qint64 shift = 0x200;
inline constexpr qint64 option = 0x800;
inline constexpr qint64 control = 0x1000;
inline constexpr qint64 all = command | shift | option | control;
} // namespace CarbonModifier

// ⌘ is Super, ⌥ is Alt, ⌃ is Control, ⇧ is Shift. Bits outside CarbonModifier::all are dropped.
qint64 carbonModifiers(HotKeyModifiers modifiers);
HotKeyModifiers hotKeyModifiers(qint64 carbonMask);

// "⌃⌥⇧⌘" order; 6400 gives "⌃⌥⌘". The stored encoding's own symbols; windows show modifierLabels.
QString modifierSymbols(qint64 carbonMask);
// The same keys by this desktop's names, each followed by "+": 6400 gives "Ctrl+Alt+Super+".
QString modifierLabels(qint64 carbonMask);

// The panic shortcut as the settings hold it.
struct PanicShortcut {
    enum class Problem {
        none,
        // None of Control, Alt and Super: a grab would take a bare (or shifted) key from every program.
        noModifier,
        // Bits that are no modifier of the encoding.
        unknownModifier,
        // A key code the key table does not know.
        unknownKey,
    };

    qint64 keyCode = 0;
    qint64 modifiers = 0;
    QString label;

    static PanicShortcut read(const Defaults& defaults);
    void write(Defaults& defaults) const;

    Problem problem() const;
    bool isValid() const { return problem() == Problem::none; }
    // "Ctrl+Alt+Super+L"; a missing label reads "?".
    QString text() const;
};

} // namespace larkhold
