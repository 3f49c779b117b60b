#include "PanicHotKey.h"

#include "FakeGlobalHotKey.h"
#include "QtPrinters.h"
#include "StoreFixture.h"

#include <QSignalSpy>
#include <X11/keysym.h>

using namespace larkhold;
using namespace larkhold::test;

namespace {

constexpr HotKeyModifiers kDefaultModifiers = HotKeyModifier::control | HotKeyModifier::alt | HotKeyModifier::super;
const FakeGlobalHotKey::Combination kDefault{XK_l, kDefaultModifiers};

class PanicHotKeyTest : public StoreFixture {
protected:
    PanicHotKeyTest() { startStore(); }

    FakeGlobalHotKey keys;
};

} // namespace

TEST_F(PanicHotKeyTest, DefaultsGrabCtrlAltSuperL) {
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    EXPECT_EQ(panic.state(), PanicHotKey::State::active);
    ASSERT_TRUE(keys.held());
    EXPECT_EQ(*keys.held(), kDefault);
}

TEST_F(PanicHotKeyTest, TheSwitchRemovesAndRestoresTheGrab) {
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    defaults.setValue(SettingsKeys::panicEnabled, false);
    panic.update();
    EXPECT_EQ(panic.state(), PanicHotKey::State::off);
    EXPECT_FALSE(keys.isGrabbed());
    defaults.setValue(SettingsKeys::panicEnabled, true);
    panic.update();
    EXPECT_EQ(panic.state(), PanicHotKey::State::active);
    EXPECT_EQ(keys.grabs().size(), 2);
    // update() is idempotent: one grab held, the old one given back first.
    panic.update();
    EXPECT_EQ(keys.grabs().size(), 3);
    EXPECT_TRUE(keys.isGrabbed());
}

TEST_F(PanicHotKeyTest, UnsoundStoredValuesGrabNothing) {
    PanicHotKey panic(keys, defaults, *store);
    struct Case {
        qint64 keyCode;
        qint64 modifiers;
    };
    for (const Case c : {Case{37, 0}, Case{37, 0x200}, Case{37, 6400 | 0x2}, Case{37, qint64(6400) << 32},
                         Case{200, 6400}, Case{-1, 6400}}) {
        defaults.setValue(SettingsKeys::panicKeyCode, c.keyCode);
        defaults.setValue(SettingsKeys::panicModifiers, c.modifiers);
        panic.update();
        EXPECT_EQ(panic.state(), PanicHotKey::State::invalid) << c.keyCode << " " << c.modifiers;
        EXPECT_FALSE(keys.isGrabbed());
    }
    EXPECT_TRUE(keys.grabs().isEmpty());
}

TEST_F(PanicHotKeyTest, ACombinationAnotherProgramHoldsIsReported) {
    keys.markTaken(kDefault);
    PanicHotKey panic(keys, defaults, *store);
    QSignalSpy changes(&panic, &PanicHotKey::stateChanged);
    panic.update();
    EXPECT_EQ(panic.state(), PanicHotKey::State::taken);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_FALSE(keys.isGrabbed());

    keys.setSession(GlobalHotKey::Session::none);
    panic.update();
    EXPECT_EQ(panic.state(), PanicHotKey::State::unavailable);
}

TEST_F(PanicHotKeyTest, AGrabLostToALayoutChangeIsReported) {
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    keys.markTaken(kDefault);
    keys.loseGrab();
    EXPECT_EQ(panic.state(), PanicHotKey::State::taken);
    EXPECT_FALSE(keys.isGrabbed());
}

TEST_F(PanicHotKeyTest, SuspendedWhileRecordingAndTakenAgainAfter) {
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    panic.suspend();
    EXPECT_EQ(panic.state(), PanicHotKey::State::suspended);
    EXPECT_FALSE(keys.isGrabbed());
    // A settings change meanwhile does not take the grab back early.
    panic.update();
    EXPECT_FALSE(keys.isGrabbed());
    EXPECT_FALSE(keys.press(kDefault));
    panic.resume();
    EXPECT_EQ(panic.state(), PanicHotKey::State::active);
    EXPECT_TRUE(keys.isGrabbed());
}

TEST_F(PanicHotKeyTest, PressingLocksEveryOpenVaultQuietly) {
    store.reset();
    const Vault a = standardVault(QStringLiteral("A"));
    const Vault b = standardVault(QStringLiteral("B"));
    standardVault(QStringLiteral("Closed"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    ASSERT_TRUE(unlockWith(b, QStringLiteral("pw")));
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    QSignalSpy finished(&panic, &PanicHotKey::panicFinished);
    ASSERT_TRUE(keys.press(kDefault));
    // Pressed again while locking (a held key repeats): one more pass, not a second concurrent one.
    keys.press(kDefault);
    ASSERT_TRUE(waitUntil([&] { return finished.count() >= 1; }, 60000));
    EXPECT_EQ(store->openCount(), 0);
    const QStringList texts = activityTexts();
    EXPECT_TRUE(texts.contains(QStringLiteral("A locked (panic shortcut)"))) << texts.join(u'\n').toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("B locked (panic shortcut)")));
    EXPECT_EQ(texts.count(QStringLiteral("A locked (panic shortcut)")), 1);
    EXPECT_TRUE(store->errorMessage().isEmpty());
}

TEST_F(PanicHotKeyTest, AFailedLockStaysQuietAndNothingOpenDoesNothing) {
    store.reset();
    const Vault a = standardVault(QStringLiteral("A"));
    startStore();
    ASSERT_TRUE(unlockWith(a, QStringLiteral("pw")));
    setToolFile(QStringLiteral("detach.err"), "hdiutil: couldn't unmount - Resource busy\n");
    PanicHotKey panic(keys, defaults, *store);
    panic.update();
    QSignalSpy finished(&panic, &PanicHotKey::panicFinished);
    keys.press(kDefault);
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 60000));
    EXPECT_EQ(store->openCount(), 1);
    EXPECT_TRUE(store->errorMessage().isEmpty());

    removeToolFile(QStringLiteral("detach.err"));
    keys.press(kDefault);
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 2; }, 60000));
    keys.press(kDefault);
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 3; }, 60000));
    EXPECT_EQ(store->openCount(), 0);
    EXPECT_TRUE(store->errorMessage().isEmpty());
}
