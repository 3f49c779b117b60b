#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <span>

namespace larkhold::KeyCodes {

// The stored panic shortcut names its key by the virtual key code of the keyboard the settings format
// was made for (37 is L); an X server knows keys by keysym. One row per key that a shortcut may use:
// the stored code, the keysym of the unshifted key, and the text the settings window shows for it.
// Stored codes are never handed to X as they are: X key code 37 is Left Control.
struct Key {
    int keyCode;
    quint32 keysym;
    const char* label;
};

std::span<const Key> all();

std::optional<quint32> keysymFor(qint64 keyCode);
// Letters count in either case; a keypad key counts with NumLock on or off.
std::optional<int> keyCodeFor(quint32 keysym);
// Empty for a code outside the table.
QString labelFor(qint64 keyCode);

// The keysym of a Qt key, for key events that carry no native symbol (a platform other than xcb);
// 0 when there is none.
quint32 keysymForQtKey(int qtKey);

} // namespace larkhold::KeyCodes
