#include "KeyCodes.h"

#include <X11/keysym.h>
#include <array>

namespace larkhold::KeyCodes {

namespace {

// clang-format off
constexpr std::array kKeys{
    Key{0x00, XK_a, "A"}, Key{0x01, XK_s, "S"}, Key{0x02, XK_d, "D"}, Key{0x03, XK_f, "F"},
    Key{0x04, XK_h, "H"}, Key{0x05, XK_g, "G"}, Key{0x06, XK_z, "Z"}, Key{0x07, XK_x, "X"},
    Key{0x08, XK_c, "C"}, Key{0x09, XK_v, "V"}, Key{0x0A, XK_less, "<"}, Key{0x0B, XK_b, "B"},
    Key{0x0C, XK_q, "Q"}, Key{0x0D, XK_w, "W"}, Key{0x0E, XK_e, "E"}, Key{0x0F, XK_r, "R"},
    Key{0x10, XK_y, "Y"}, Key{0x11, XK_t, "T"}, Key{0x12, XK_1, "1"}, Key{0x13, XK_2, "2"},
    Key{0x14, XK_3, "3"}, Key{0x15, XK_4, "4"}, Key{0x16, XK_6, "6"}, Key{0x17, XK_5, "5"},
    Key{0x18, XK_equal, "="}, Key{0x19, XK_9, "9"}, Key{0x1A, XK_7, "7"}, Key{0x1B, XK_minus, "-"},
    Key{0x1C, XK_8, "8"}, Key{0x1D, XK_0, "0"}, Key{0x1E, XK_bracketright, "]"}, Key{0x1F, XK_o, "O"},
    Key{0x20, XK_u, "U"}, Key{0x21, XK_bracketleft, "["}, Key{0x22, XK_i, "I"}, Key{0x23, XK_p, "P"},
    Key{0x24, XK_Return, "Return"}, Key{0x25, XK_l, "L"}, Key{0x26, XK_j, "J"}, Key{0x27, XK_apostrophe, "'"},
    Key{0x28, XK_k, "K"}, Key{0x29, XK_semicolon, ";"}, Key{0x2A, XK_backslash, "\\"}, Key{0x2B, XK_comma, ","},
    Key{0x2C, XK_slash, "/"}, Key{0x2D, XK_n, "N"}, Key{0x2E, XK_m, "M"}, Key{0x2F, XK_period, "."},
    Key{0x30, XK_Tab, "Tab"}, Key{0x31, XK_space, "Space"}, Key{0x32, XK_grave, "`"},
    Key{0x33, XK_BackSpace, "Backspace"},
    Key{0x40, XK_F17, "F17"}, Key{0x41, XK_KP_Decimal, "Keypad ."}, Key{0x43, XK_KP_Multiply, "Keypad *"},
    Key{0x45, XK_KP_Add, "Keypad +"}, Key{0x4B, XK_KP_Divide, "Keypad /"}, Key{0x4C, XK_KP_Enter, "Enter"},
    Key{0x4E, XK_KP_Subtract, "Keypad -"}, Key{0x4F, XK_F18, "F18"}, Key{0x50, XK_F19, "F19"},
    Key{0x51, XK_KP_Equal, "Keypad ="}, Key{0x52, XK_KP_0, "Keypad 0"}, Key{0x53, XK_KP_1, "Keypad 1"},
    Key{0x54, XK_KP_2, "Keypad 2"}, Key{0x55, XK_KP_3, "Keypad 3"}, Key{0x56, XK_KP_4, "Keypad 4"},
    Key{0x57, XK_KP_5, "Keypad 5"}, Key{0x58, XK_KP_6, "Keypad 6"}, Key{0x59, XK_KP_7, "Keypad 7"},
    Key{0x5A, XK_F20, "F20"}, Key{0x5B, XK_KP_8, "Keypad 8"}, Key{0x5C, XK_KP_9, "Keypad 9"},
    Key{0x60, XK_F5, "F5"}, Key{0x61, XK_F6, "F6"}, Key{0x62, XK_F7, "F7"}, Key{0x63, XK_F3, "F3"},
    Key{0x64, XK_F8, "F8"}, Key{0x65, XK_F9, "F9"}, Key{0x67, XK_F11, "F11"}, Key{0x69, XK_F13, "F13"},
    Key{0x6A, XK_F16, "F16"}, Key{0x6B, XK_F14, "F14"}, Key{0x6D, XK_F10, "F10"}, Key{0x6F, XK_F12, "F12"},
    Key{0x71, XK_F15, "F15"}, Key{0x72, XK_Insert, "Insert"}, Key{0x73, XK_Home, "Home"},
    Key{0x74, XK_Prior, "Page Up"}, Key{0x75, XK_Delete, "Delete"}, Key{0x76, XK_F4, "F4"},
    Key{0x77, XK_End, "End"}, Key{0x78, XK_F2, "F2"}, Key{0x79, XK_Next, "Page Down"}, Key{0x7A, XK_F1, "F1"},
    Key{0x7B, XK_Left, "Left"}, Key{0x7C, XK_Right, "Right"}, Key{0x7D, XK_Down, "Down"}, Key{0x7E, XK_Up, "Up"},
};

// What the keypad's keys report while NumLock is off.
struct Alias {
    quint32 keysym;
    quint32 canonical;
};
constexpr std::array kKeypadAliases{
    Alias{XK_KP_Insert, XK_KP_0}, Alias{XK_KP_End, XK_KP_1},   Alias{XK_KP_Down, XK_KP_2},
    Alias{XK_KP_Next, XK_KP_3},   Alias{XK_KP_Left, XK_KP_4},  Alias{XK_KP_Begin, XK_KP_5},
    Alias{XK_KP_Right, XK_KP_6},  Alias{XK_KP_Home, XK_KP_7},  Alias{XK_KP_Up, XK_KP_8},
    Alias{XK_KP_Prior, XK_KP_9},  Alias{XK_KP_Delete, XK_KP_Decimal},
};
// clang-format on

const Key* findCode(qint64 keyCode) {
    for (const Key& key : kKeys) {
        if (key.keyCode == keyCode)
            return &key;
    }
    return nullptr;
}

quint32 canonicalKeysym(quint32 keysym) {
    if (keysym >= XK_A && keysym <= XK_Z)
        return keysym - XK_A + XK_a;
    for (const Alias& alias : kKeypadAliases) {
        if (alias.keysym == keysym)
            return alias.canonical;
    }
    return keysym;
}

} // namespace

std::span<const Key> all() {
    return kKeys;
}

std::optional<quint32> keysymFor(qint64 keyCode) {
    if (const Key* key = findCode(keyCode))
        return key->keysym;
    return std::nullopt;
}

std::optional<int> keyCodeFor(quint32 keysym) {
    const quint32 wanted = canonicalKeysym(keysym);
    for (const Key& key : kKeys) {
        if (key.keysym == wanted)
            return key.keyCode;
    }
    return std::nullopt;
}

QString labelFor(qint64 keyCode) {
    const Key* key = findCode(keyCode);
    return key ? QString::fromUtf8(key->label) : QString();
}

quint32 keysymForQtKey(int qtKey) {
    // Printable Latin-1 keys share their values with their keysyms.
    if (qtKey >= 0x20 && qtKey <= 0xff)
        return static_cast<quint32>(qtKey);
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return XK_F1 + static_cast<quint32>(qtKey - Qt::Key_F1);
    struct Pair {
        int qtKey;
        quint32 keysym;
    };
    static constexpr Pair kPairs[] = {
        {Qt::Key_Escape, XK_Escape},
        {Qt::Key_Tab, XK_Tab},
        {Qt::Key_Backtab, XK_Tab},
        {Qt::Key_Backspace, XK_BackSpace},
        {Qt::Key_Return, XK_Return},
        {Qt::Key_Enter, XK_KP_Enter},
        {Qt::Key_Insert, XK_Insert},
        {Qt::Key_Delete, XK_Delete},
        {Qt::Key_Home, XK_Home},
        {Qt::Key_End, XK_End},
        {Qt::Key_Left, XK_Left},
        {Qt::Key_Up, XK_Up},
        {Qt::Key_Right, XK_Right},
        {Qt::Key_Down, XK_Down},
        {Qt::Key_PageUp, XK_Prior},
        {Qt::Key_PageDown, XK_Next},
        {Qt::Key_Shift, XK_Shift_L},
        {Qt::Key_Control, XK_Control_L},
        {Qt::Key_Meta, XK_Super_L},
        {Qt::Key_Alt, XK_Alt_L},
        {Qt::Key_Super_L, XK_Super_L},
        {Qt::Key_Super_R, XK_Super_R},
        {Qt::Key_CapsLock, XK_Caps_Lock},
        {Qt::Key_NumLock, XK_Num_Lock},
        {Qt::Key_AltGr, XK_ISO_Level3_Shift},
    };
    for (const Pair& pair : kPairs) {
        if (pair.qtKey == qtKey)
            return pair.keysym;
    }
    return 0;
}

} // namespace larkhold::KeyCodes
