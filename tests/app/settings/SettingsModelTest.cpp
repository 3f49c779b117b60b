#include "SettingsModel.h"

#include "FakeGlobalHotKey.h"
#include "LoginItem.h"
#include "LoopbackServer.h"
#include "PanicHotKey.h"
#include "QtPrinters.h"
#include "ShortcutRecorderModel.h"
#include "StoreFixture.h"
#include "UpdateChecker.h"

#include <QNetworkProxy>
#include <X11/keysym.h>

using namespace larkhold;
using namespace larkhold::test;
using KeyResult = ShortcutRecorderModel::KeyResult;

namespace {

constexpr HotKeyModifiers kCtrlAltSuper = HotKeyModifier::control | HotKeyModifier::alt | HotKeyModifier::super;
constexpr HotKeyModifiers kShiftSuper = HotKeyModifier::shift | HotKeyModifier::super;

class SettingsModelTest : public StoreFixture {
protected:
    SettingsModelTest() : loginItem(dir.filePath(QStringLiteral("autostart")), QStringLiteral("/usr/bin/larkhold")) {
        startStore();
        panic = std::make_unique<PanicHotKey>(keys, defaults, *store);
        panic->update();
    }

    SettingsModel::Deps deps() {
        SettingsModel::Deps d;
        d.defaults = &defaults;
        d.panicHotKey = panic.get();
        d.updateChecker = checker.get();
        d.loginItem = &loginItem;
        return d;
    }

    FakeGlobalHotKey keys;
    std::unique_ptr<PanicHotKey> panic;
    std::unique_ptr<UpdateChecker> checker;
    LoginItem loginItem;
};

} // namespace

TEST_F(SettingsModelTest, TheRecorderShowsTheStoredCombination) {
    ShortcutRecorderModel recorder(defaults, *panic);
    EXPECT_EQ(recorder.title(), QStringLiteral("Ctrl+Alt+Super+L"));
    EXPECT_TRUE(recorder.note().isEmpty());
    recorder.toggle();
    EXPECT_EQ(recorder.title(), QStringLiteral("Press keys…"));
    recorder.toggle();
    EXPECT_EQ(recorder.title(), QStringLiteral("Ctrl+Alt+Super+L"));
}

TEST_F(SettingsModelTest, RecordingGivesTheGrabUpAndStoresTheNextRealCombination) {
    ShortcutRecorderModel recorder(defaults, *panic);
    recorder.start();
    EXPECT_FALSE(keys.isGrabbed());
    // Modifiers on their own, plain letters and Shift+letter are swallowed and ignored.
    EXPECT_EQ(recorder.keyPressed(XK_Control_L, HotKeyModifier::control), KeyResult::ignored);
    EXPECT_EQ(recorder.keyPressed(XK_Super_L, HotKeyModifier::control | HotKeyModifier::super), KeyResult::ignored);
    EXPECT_EQ(recorder.keyPressed(XK_k, {}), KeyResult::ignored);
    EXPECT_EQ(recorder.keyPressed(XK_k, HotKeyModifier::shift), KeyResult::ignored);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_FALSE(keys.isGrabbed());

    // Super+Shift+K: key code 40, mask 0x300, label K, live at once.
    EXPECT_EQ(recorder.keyPressed(XK_k, kShiftSuper), KeyResult::saved);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(defaults.intValue(SettingsKeys::panicKeyCode), 40);
    EXPECT_EQ(defaults.intValue(SettingsKeys::panicModifiers), 0x300);
    EXPECT_EQ(defaults.stringValue(SettingsKeys::panicKeyLabel), QStringLiteral("K"));
    EXPECT_EQ(recorder.title(), QStringLiteral("Shift+Super+K"));
    ASSERT_TRUE(keys.held());
    EXPECT_EQ(*keys.held(), (FakeGlobalHotKey::Combination{XK_k, kShiftSuper}));
    EXPECT_EQ(panic->state(), PanicHotKey::State::active);
    // After recording, key presses are no longer taken.
    EXPECT_EQ(recorder.keyPressed(XK_j, kCtrlAltSuper), KeyResult::ignored);
}

TEST_F(SettingsModelTest, EscapeEndsRecordingWithoutStoringAndTheOldGrabReturns) {
    ShortcutRecorderModel recorder(defaults, *panic);
    for (HotKeyModifiers modifiers : {HotKeyModifiers(), kCtrlAltSuper}) {
        recorder.start();
        EXPECT_EQ(recorder.keyPressed(XK_Escape, modifiers), KeyResult::cancelled);
        EXPECT_FALSE(recorder.isRecording());
        EXPECT_FALSE(defaults.contains(SettingsKeys::panicKeyCode));
        ASSERT_TRUE(keys.held());
        EXPECT_EQ(keys.held()->keysym, quint32(XK_l));
    }
}

TEST_F(SettingsModelTest, AKeyTheShortcutCannotNameIsSaidSoAndRecordingGoesOn) {
    ShortcutRecorderModel recorder(defaults, *panic);
    recorder.start();
    EXPECT_EQ(recorder.keyPressed(XK_odiaeresis, kCtrlAltSuper), KeyResult::unusable);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_TRUE(recorder.noteIsProblem());
    EXPECT_EQ(recorder.note(), QStringLiteral("That key can’t be part of the shortcut. Esc cancels."));
    EXPECT_EQ(recorder.keyPressed(XK_F5, HotKeyModifier::control | HotKeyModifier::shift), KeyResult::saved);
    EXPECT_EQ(recorder.title(), QStringLiteral("Ctrl+Shift+F5"));
    EXPECT_TRUE(recorder.note().isEmpty());
}

TEST_F(SettingsModelTest, ClosingTheWindowWhileRecordingTakesTheGrabBack) {
    {
        ShortcutRecorderModel recorder(defaults, *panic);
        recorder.start();
        EXPECT_FALSE(keys.isGrabbed());
    }
    EXPECT_TRUE(keys.isGrabbed());
    EXPECT_EQ(panic->state(), PanicHotKey::State::active);
}

TEST_F(SettingsModelTest, ThePanicSwitchDisablesTheRecorderAndRemovesTheGrab) {
    SettingsModel model(deps());
    ShortcutRecorderModel recorder(defaults, *panic);
    recorder.start();
    model.setPanicEnabled(false);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(recorder.isEnabled());
    EXPECT_FALSE(keys.isGrabbed());
    recorder.start();
    EXPECT_FALSE(recorder.isRecording());
    model.setPanicEnabled(true);
    EXPECT_TRUE(recorder.isEnabled());
    EXPECT_TRUE(keys.isGrabbed());
}

TEST_F(SettingsModelTest, TheRecorderSaysWhatStandsInTheShortcutsWay) {
    ShortcutRecorderModel recorder(defaults, *panic);
    defaults.setValue(SettingsKeys::panicModifiers, 0);
    panic->update();
    EXPECT_EQ(recorder.title(), QStringLiteral("L"));
    EXPECT_EQ(recorder.note(), QStringLiteral("The stored shortcut is not valid — record a new one."));
    EXPECT_TRUE(recorder.noteIsProblem());

    defaults.setValue(SettingsKeys::panicModifiers, 6400);
    keys.markTaken({XK_l, kCtrlAltSuper});
    panic->update();
    EXPECT_EQ(recorder.note(), QStringLiteral("Another program already uses this shortcut — record a different one."));

    // Switched off, a held-elsewhere combination is nobody's concern.
    defaults.setValue(SettingsKeys::panicEnabled, false);
    panic->update();
    EXPECT_TRUE(recorder.note().isEmpty());

    keys.setSession(GlobalHotKey::Session::waylandLimited);
    EXPECT_EQ(recorder.note(), QStringLiteral("In this session the shortcut works only while a Larkhold window is "
                                              "active; system-wide it needs an X11 session."));
    EXPECT_FALSE(recorder.noteIsProblem());
    keys.setSession(GlobalHotKey::Session::none);
    EXPECT_EQ(recorder.note(),
              QStringLiteral("The shortcut is not available in this session — it needs an X11 session."));
}

TEST_F(SettingsModelTest, PickersOfferTheirRowsAndKeepTheStoredValue) {
    SettingsModel model(deps());
    QStringList titles;
    for (const SettingsModel::Choice& choice : model.lockChoices())
        titles << choice.title;
    EXPECT_EQ(titles, (QStringList{"1 minute", "5 minutes", "15 minutes", "30 minutes", "1 hour"}));
    EXPECT_EQ(model.lockChoiceIndex(), 2);

    defaults.setValue(SettingsKeys::autoLockEnabled, false);
    EXPECT_FALSE(model.afterPickerEnabled());
    EXPECT_EQ(model.lockChoiceIndex(), 2);
    defaults.setValue(SettingsKeys::autoLockEnabled, true);
    EXPECT_TRUE(model.afterPickerEnabled());

    // A value written elsewhere is shown, not replaced.
    defaults.setValue(SettingsKeys::autoLockMinutes, 7);
    ASSERT_EQ(model.lockChoices().size(), 6);
    EXPECT_EQ(model.lockChoices()[model.lockChoiceIndex()].title, QStringLiteral("7 minutes"));
    EXPECT_EQ(defaults.intValue(SettingsKeys::autoLockMinutes), 7);

    EXPECT_EQ(model.designIndex(), 0);
    model.setDesign(2);
    EXPECT_EQ(defaults.stringValue(SettingsKeys::appTheme), QStringLiteral("nightWatch"));
    defaults.setValue(SettingsKeys::appTheme, QStringLiteral("Neon"));
    EXPECT_EQ(model.designIndex(), 0);
}

TEST_F(SettingsModelTest, HidingTheTaskbarEntryKeepsTheTrayIconOn) {
    SettingsModel model(deps());
    defaults.setValue(SettingsKeys::menuBarIcon, false);
    EXPECT_FALSE(model.trayClickEnabled());
    EXPECT_TRUE(model.showInTrayEnabled());
    EXPECT_FALSE(model.taskbarCaptionVisible());

    model.setHideTaskbarEntry(true);
    EXPECT_TRUE(model.flag(SettingsKeys::menuBarIcon));
    EXPECT_FALSE(model.showInTrayEnabled());
    EXPECT_TRUE(model.trayClickEnabled());
    EXPECT_TRUE(model.taskbarCaptionVisible());

    model.setHideTaskbarEntry(false);
    EXPECT_TRUE(model.flag(SettingsKeys::menuBarIcon));
    EXPECT_TRUE(model.showInTrayEnabled());
    EXPECT_EQ(SettingsTexts::taskbarCaption(),
              QStringLiteral("Larkhold won’t appear in the taskbar or the Alt+Tab switcher — reach it from the tray "
                             "icon (kept on while the taskbar entry is hidden)."));
}

TEST_F(SettingsModelTest, ARefusedLoginItemChangeIsShownAndTheSwitchShowsTheTruth) {
    SettingsModel model(deps());
    EXPECT_FALSE(model.launchAtLogin());
    model.setLaunchAtLogin(true);
    EXPECT_TRUE(model.launchAtLogin());
    EXPECT_TRUE(model.loginItemError().isEmpty());
    EXPECT_TRUE(loginItem.isEnabled());
    // A new window reads the state from the file.
    EXPECT_TRUE(SettingsModel(deps()).launchAtLogin());

    // The entry turns into something that cannot be removed as a file.
    QFile::remove(loginItem.filePath());
    ASSERT_TRUE(QDir().mkpath(loginItem.filePath() + QStringLiteral("/x")));
    model.setLaunchAtLogin(false);
    EXPECT_TRUE(model.loginItemError().startsWith(QStringLiteral("Could not update the login item: “")))
        << model.loginItemError().toStdString();
    EXPECT_TRUE(model.launchAtLogin());

    // The next change that works clears the line.
    ASSERT_TRUE(QDir(loginItem.filePath()).removeRecursively());
    model.setLaunchAtLogin(true);
    EXPECT_TRUE(model.loginItemError().isEmpty());
    EXPECT_TRUE(model.launchAtLogin());
}

TEST_F(SettingsModelTest, CheckNowShowsCheckingUntilTheLineArrives) {
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    LoopbackServer server;
    server.stayQuiet();
    UpdateChecker::Config config;
    config.documentUrl = server.url();
    config.homePage = QUrl(QStringLiteral("https://larkhold.test"));
    config.currentVersion = QStringLiteral("2.0");
    config.timeout = std::chrono::milliseconds(100);
    checker = std::make_unique<UpdateChecker>(defaults, clock, config);
    SettingsModel model(deps());
    EXPECT_EQ(model.checkButtonTitle(), QStringLiteral("Check Now"));
    auto checking = model.checkNow();
    EXPECT_TRUE(model.checkingUpdate());
    EXPECT_EQ(model.checkButtonTitle(), QStringLiteral("Checking…"));
    ASSERT_TRUE(waitUntil([&] { return !model.checkingUpdate(); }, 60000));
    EXPECT_EQ(model.updateResult(), QStringLiteral("Could not check: The request timed out."));
    EXPECT_EQ(model.checkButtonTitle(), QStringLiteral("Check Now"));

    // An answer that must arrive gets a generous timeout: the fetch may start slowly on a loaded machine.
    server.answerJson(R"({"version": "2.0"})");
    config.timeout = std::chrono::seconds(60);
    UpdateChecker patient(defaults, clock, config);
    SettingsModel::Deps answering = deps();
    answering.updateChecker = &patient;
    SettingsModel answered(answering);
    QCoro::waitFor(answered.checkNow());
    EXPECT_EQ(answered.updateResult(), QStringLiteral("You're up to date — 2.0 is the latest version."));
}
