#include "Defaults.h"
#include "KeyCodes.h"
#include "PanicShortcut.h"
#include "QtPrinters.h"
#include "SettingsKeys.h"

#include <QSet>
#include <QTemporaryDir>
#include <X11/keysym.h>
#include <gtest/gtest.h>

using namespace larkhold;

TEST(KeyCodes, EveryRowRoundTripsAndNoKeyOrKeysymIsListedTwice) {
    QSet<int> codes;
    QSet<quint32> keysyms;
    for (const KeyCodes::Key& key : KeyCodes::all()) {
        EXPECT_FALSE(codes.contains(key.keyCode)) << key.keyCode;
        EXPECT_FALSE(keysyms.contains(key.keysym)) << key.keysym;
        codes.insert(key.keyCode);
        keysyms.insert(key.keysym);
        EXPECT_EQ(KeyCodes::keysymFor(key.keyCode), key.keysym);
        EXPECT_EQ(KeyCodes::keyCodeFor(key.keysym), key.keyCode);
        EXPECT_FALSE(KeyCodes::labelFor(key.keyCode).isEmpty());
    }
}

TEST(KeyCodes, StoredCodesNameKeysNotXKeyCodes) {
    // 37 is L in the stored encoding, though X key code 37 is Left Control; 40 is K.
    EXPECT_EQ(KeyCodes::keysymFor(37), quint32(XK_l));
    EXPECT_EQ(KeyCodes::labelFor(37), QStringLiteral("L"));
    EXPECT_EQ(KeyCodes::keysymFor(40), quint32(XK_k));
    EXPECT_EQ(KeyCodes::keyCodeFor(XK_K), 40);
    EXPECT_EQ(KeyCodes::keyCodeFor(XK_KP_End), KeyCodes::keyCodeFor(XK_KP_1));
    EXPECT_EQ(KeyCodes::keyCodeFor(XK_F5), 0x60);
}

TEST(KeyCodes, UnknownCodesAndKeysymsHaveNoRow) {
    for (qint64 code :
         {qint64(-1), qint64(0x35) /* Escape */, qint64(0x37) /* a modifier */, qint64(128), qint64(1) << 40})
        EXPECT_FALSE(KeyCodes::keysymFor(code)) << code;
    EXPECT_TRUE(KeyCodes::labelFor(999).isEmpty());
    for (quint32 keysym : {quint32(XK_Escape), quint32(XK_Control_L), quint32(XK_odiaeresis), quint32(0)})
        EXPECT_FALSE(KeyCodes::keyCodeFor(keysym)) << keysym;
}

TEST(PanicShortcut, ModifierSymbolsAndLabelsFollowOneOrder) {
    EXPECT_EQ(modifierSymbols(6400), QStringLiteral("⌃⌥⌘"));
    EXPECT_EQ(modifierSymbols(0x1B00), QStringLiteral("⌃⌥⇧⌘"));
    EXPECT_EQ(modifierSymbols(0x300), QStringLiteral("⇧⌘"));
    EXPECT_EQ(modifierSymbols(0x1), QString());
    EXPECT_EQ(modifierSymbols(6400) + KeyCodes::labelFor(37), QStringLiteral("⌃⌥⌘L"));
    EXPECT_EQ(modifierLabels(6400), QStringLiteral("Ctrl+Alt+Super+"));
    EXPECT_EQ(modifierLabels(0x1B00), QStringLiteral("Ctrl+Alt+Shift+Super+"));
}

TEST(PanicShortcut, ModifierMasksTranslateBothWays) {
    const HotKeyModifiers defaults = HotKeyModifier::control | HotKeyModifier::alt | HotKeyModifier::super;
    EXPECT_EQ(hotKeyModifiers(6400), defaults);
    EXPECT_EQ(carbonModifiers(defaults), 6400);
    EXPECT_EQ(carbonModifiers(HotKeyModifier::shift | HotKeyModifier::super), 0x300);
    for (qint64 mask = 0; mask <= CarbonModifier::all; mask += 0x100) {
        if ((mask & CarbonModifier::all) == mask) {
            EXPECT_EQ(carbonModifiers(hotKeyModifiers(mask)), mask) << mask;
        }
    }
}

TEST(PanicShortcut, StoredValuesAreCheckedBeforeUse) {
    using Problem = PanicShortcut::Problem;
    const auto problem = [](qint64 code, qint64 mask) {
        return PanicShortcut{code, mask, QStringLiteral("L")}.problem();
    };
    EXPECT_EQ(problem(37, 6400), Problem::none);
    EXPECT_EQ(problem(40, 0x300), Problem::none);
    EXPECT_EQ(problem(37, 0x1000), Problem::none);
    // Never a grab on a bare or merely shifted key.
    EXPECT_EQ(problem(37, 0), Problem::noModifier);
    EXPECT_EQ(problem(37, 0x200), Problem::noModifier);
    // Bits that are no modifier, also beyond 32 bits or negative.
    EXPECT_EQ(problem(37, 6400 | 0x1), Problem::unknownModifier);
    EXPECT_EQ(problem(37, 6400 | 0x400), Problem::unknownModifier);
    EXPECT_EQ(problem(37, 6400 | (qint64(1) << 32)), Problem::unknownModifier);
    EXPECT_EQ(problem(37, -1), Problem::unknownModifier);
    EXPECT_EQ(problem(53, 6400), Problem::unknownKey);
    EXPECT_EQ(problem(37 + (qint64(1) << 32), 6400), Problem::unknownKey);
    EXPECT_EQ(problem(-37, 6400), Problem::unknownKey);
}

TEST(PanicShortcut, ReadsTheSettingsTableAndShowsTheDesktopsNames) {
    QTemporaryDir dir;
    Defaults defaults(dir.filePath(QStringLiteral("settings.ini")));
    SettingsKeys::registerDefaults(defaults);
    const PanicShortcut stored = PanicShortcut::read(defaults);
    EXPECT_EQ(stored.keyCode, 37);
    EXPECT_EQ(stored.modifiers, 6400);
    EXPECT_EQ(stored.text(), QStringLiteral("Ctrl+Alt+Super+L"));

    PanicShortcut{40, 0x300, QStringLiteral("K")}.write(defaults);
    EXPECT_EQ(PanicShortcut::read(defaults).text(), QStringLiteral("Shift+Super+K"));
    EXPECT_EQ((PanicShortcut{40, 0x1000, QString()}.text()), QStringLiteral("Ctrl+?"));
}

TEST(KeyCodes, QtKeysReachTheSameRows) {
    EXPECT_EQ(KeyCodes::keyCodeFor(KeyCodes::keysymForQtKey(Qt::Key_L)), 37);
    EXPECT_EQ(KeyCodes::keyCodeFor(KeyCodes::keysymForQtKey(Qt::Key_K)), 40);
    EXPECT_EQ(KeyCodes::keyCodeFor(KeyCodes::keysymForQtKey(Qt::Key_5)), 0x17);
    EXPECT_EQ(KeyCodes::keyCodeFor(KeyCodes::keysymForQtKey(Qt::Key_F12)), 0x6F);
    EXPECT_EQ(KeyCodes::keyCodeFor(KeyCodes::keysymForQtKey(Qt::Key_PageDown)), 0x79);
    EXPECT_EQ(KeyCodes::keysymForQtKey(Qt::Key_Escape), quint32(XK_Escape));
    EXPECT_EQ(KeyCodes::keysymForQtKey(Qt::Key_Meta), quint32(XK_Super_L));
    EXPECT_EQ(KeyCodes::keysymForQtKey(Qt::Key_unknown), 0u);
}
