#include "SettingsWindow.h"

#include "FakeGlobalHotKey.h"
#include "LoginItem.h"
#include "LoopbackServer.h"
#include "PanicHotKey.h"
#include "QtPrinters.h"
#include "Screens.h"
#include "SettingsServices.h"
#include "ShortcutRecorderModel.h"
#include "StoreFixture.h"
#include "UpdateAlert.h"
#include "UpdateChecker.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <X11/keysym.h>

using namespace larkhold;
using namespace larkhold::test;

namespace {

class SettingsWindowTest : public StoreFixture {
protected:
    SettingsWindowTest() : loginItem(dir.filePath(QStringLiteral("autostart")), QStringLiteral("/usr/bin/larkhold")) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        startStore();
        panic = std::make_unique<PanicHotKey>(keys, defaults, *store);
        panic->update();
        UpdateChecker::Config config;
        config.documentUrl = server.url();
        config.homePage = QUrl(QStringLiteral("https://larkhold.test"));
        config.currentVersion = QStringLiteral("1.4");
        config.timeout = std::chrono::milliseconds(100);
        checker = std::make_unique<UpdateChecker>(defaults, clock, config);
        checker->setAlertPresenter(
            [](const UpdateRelease&, const QString&, std::function<void(UpdateChecker::AlertChoice)> answer) {
                answer(UpdateChecker::AlertChoice::later);
            });
        server.answerJson(R"({"version": "1.4"})");
    }

    std::unique_ptr<SettingsWindow> makeWindow() {
        SettingsModel::Deps deps;
        deps.defaults = &defaults;
        deps.panicHotKey = panic.get();
        deps.updateChecker = checker.get();
        deps.loginItem = &loginItem;
        auto window = std::make_unique<SettingsWindow>(deps);
        // The test screen is short; these tests look at the whole column.
        window->setHeightLimit(100000);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get(), 60000));
        return window;
    }

    template <typename T> static T* child(QWidget* window, const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_TRUE(found) << name;
        return found;
    }

    FakeGlobalHotKey keys;
    std::unique_ptr<PanicHotKey> panic;
    LoopbackServer server;
    std::unique_ptr<UpdateChecker> checker;
    LoginItem loginItem;
};

QStringList shownTexts(QWidget* window) {
    QStringList texts;
    for (const QLabel* label : window->findChildren<QLabel*>())
        texts << label->text();
    for (const QAbstractButton* button : window->findChildren<QAbstractButton*>())
        texts << button->text();
    for (const QComboBox* box : window->findChildren<QComboBox*>()) {
        for (int i = 0; i < box->count(); ++i)
            texts << box->itemText(i);
    }
    return texts;
}

} // namespace

TEST_F(SettingsWindowTest, OneFixedColumnInThisDesktopsWords) {
    auto window = makeWindow();
    EXPECT_EQ(window->width(), 440);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Settings"));
    const QStringList texts = shownTexts(window.get());
    for (const char* expected : {"Settings",
                                 "Applies to all vaults",
                                 "Design",
                                 "Lock vaults automatically",
                                 "After",
                                 "Lock when the screen locks",
                                 "Lock when the computer goes to sleep",
                                 "Lock all vaults when quitting Larkhold",
                                 "Panic shortcut: lock everything instantly",
                                 "Shortcut",
                                 "Ctrl+Alt+Super+L",
                                 "Show Larkhold in the tray",
                                 "Tray click shows",
                                 "Compact panel",
                                 "Plain menu",
                                 "Hide Larkhold in the taskbar",
                                 "Launch Larkhold at login",
                                 "Tell me when an update is available",
                                 "Check Now",
                                 "Classic",
                                 "Native Pro",
                                 "Night Watch",
                                 "Soft Focus",
                                 "1 minute",
                                 "15 minutes",
                                 "1 hour"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(expected))) << expected;
    for (const QString& text : texts) {
        for (const char* foreign : {"Dock", "menu bar", "Mac", "Finder", "⌘", "⌃", "⌥", "Keychain"})
            EXPECT_FALSE(text.contains(QString::fromUtf8(foreign))) << text.toStdString();
    }
    EXPECT_FALSE(child<QLabel>(window.get(), "taskbarCaption")->isVisible());
    EXPECT_FALSE(child<QLabel>(window.get(), "loginError")->isVisible());
}

TEST_F(SettingsWindowTest, AScreenTooShortForTheColumnScrollsIt) {
    auto window = makeWindow();
    const int full = window->height();
    window->setHeightLimit(full - 200);
    EXPECT_EQ(window->height(), full - 200);
    auto* scroll = window->findChild<QScrollArea*>();
    ASSERT_TRUE(scroll);
    EXPECT_TRUE(waitUntil([&] { return scroll->verticalScrollBar()->isVisible(); }, 60000));
    // The column keeps its width beside the scroll bar.
    EXPECT_EQ(scroll->widget()->width(), 440);
    EXPECT_GT(window->width(), 440);
    window->setHeightLimit(full + 50);
    EXPECT_EQ(window->height(), full);
    EXPECT_EQ(window->width(), 440);
}

TEST_F(SettingsWindowTest, ControlsWriteTheirSettingsAndFollowEachOther) {
    auto window = makeWindow();
    auto* autoLock = child<QCheckBox>(window.get(), "autoLockToggle");
    auto* after = child<QComboBox>(window.get(), "afterPicker");
    EXPECT_EQ(after->currentText(), QStringLiteral("15 minutes"));
    after->activated(after->findText(QStringLiteral("5 minutes")));
    EXPECT_EQ(defaults.intValue(SettingsKeys::autoLockMinutes), 5);
    autoLock->click();
    EXPECT_FALSE(defaults.boolValue(SettingsKeys::autoLockEnabled));
    EXPECT_FALSE(after->isEnabled());
    EXPECT_EQ(after->currentText(), QStringLiteral("5 minutes"));
    autoLock->click();
    EXPECT_TRUE(after->isEnabled());

    child<QCheckBox>(window.get(), "sleepToggle")->click();
    EXPECT_FALSE(defaults.boolValue(SettingsKeys::lockOnSleep));

    auto* design = child<QComboBox>(window.get(), "designPicker");
    design->activated(3);
    EXPECT_EQ(defaults.stringValue(SettingsKeys::appTheme), QStringLiteral("softFocus"));

    auto* showInTray = child<QCheckBox>(window.get(), "showInTrayToggle");
    auto* trayClick = child<QComboBox>(window.get(), "trayClickPicker");
    showInTray->click();
    EXPECT_FALSE(defaults.boolValue(SettingsKeys::menuBarIcon));
    EXPECT_FALSE(trayClick->isEnabled());
    child<QCheckBox>(window.get(), "hideTaskbarToggle")->click();
    EXPECT_TRUE(defaults.boolValue(SettingsKeys::menuBarIcon));
    EXPECT_TRUE(showInTray->isChecked());
    EXPECT_FALSE(showInTray->isEnabled());
    EXPECT_TRUE(trayClick->isEnabled());
    EXPECT_TRUE(child<QLabel>(window.get(), "taskbarCaption")->isVisible());
    trayClick->activated(1);
    EXPECT_FALSE(defaults.boolValue(SettingsKeys::menuBarPanel));

    // A change made elsewhere shows at once.
    defaults.setValue(SettingsKeys::lockOnQuit, false);
    EXPECT_FALSE(child<QCheckBox>(window.get(), "quitToggle")->isChecked());
}

TEST_F(SettingsWindowTest, RecordingTakesRealKeysAndReplacesTheShortcut) {
    auto window = makeWindow();
    auto* recorder = child<QPushButton>(window.get(), "shortcutRecorder");
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+Alt+Super+L"));
    QTest::mouseClick(recorder, Qt::LeftButton);
    EXPECT_EQ(recorder->text(), QStringLiteral("Press keys…"));
    EXPECT_FALSE(keys.isGrabbed());
    EXPECT_EQ(QWidget::keyboardGrabber(), nullptr) << "keys typed into other programs stay theirs";
    // Tab and a plain letter are swallowed, not used to move the focus or as a shortcut.
    QTest::keyClick(recorder, Qt::Key_Tab);
    QTest::keyClick(recorder, Qt::Key_K);
    EXPECT_TRUE(recorder->hasFocus());
    EXPECT_EQ(recorder->text(), QStringLiteral("Press keys…"));
    QTest::keyClick(recorder, Qt::Key_K, Qt::ShiftModifier | Qt::MetaModifier);
    EXPECT_EQ(recorder->text(), QStringLiteral("Shift+Super+K"));
    EXPECT_EQ(defaults.intValue(SettingsKeys::panicKeyCode), 40);
    EXPECT_EQ(defaults.intValue(SettingsKeys::panicModifiers), 0x300);
    ASSERT_TRUE(keys.held());
    EXPECT_EQ(keys.held()->keysym, quint32(XK_k));

    // Esc ends a recording without storing; the button toggles too.
    QTest::mouseClick(recorder, Qt::LeftButton);
    QTest::keyClick(recorder, Qt::Key_Escape, Qt::ControlModifier);
    EXPECT_EQ(recorder->text(), QStringLiteral("Shift+Super+K"));
    QTest::mouseClick(recorder, Qt::LeftButton);
    QTest::mouseClick(recorder, Qt::LeftButton);
    EXPECT_EQ(recorder->text(), QStringLiteral("Shift+Super+K"));
    EXPECT_TRUE(keys.isGrabbed());
}

TEST_F(SettingsWindowTest, ClosingTheWindowWhileRecordingRestoresTheShortcut) {
    auto window = makeWindow();
    QTest::mouseClick(child<QPushButton>(window.get(), "shortcutRecorder"), Qt::LeftButton);
    EXPECT_FALSE(keys.isGrabbed());
    window->close();
    EXPECT_FALSE(window->recorderModel().isRecording());
    EXPECT_TRUE(keys.isGrabbed());
}

TEST_F(SettingsWindowTest, ThePanicSwitchGreysTheRecorderAndDropsTheGrab) {
    auto window = makeWindow();
    auto* recorder = child<QPushButton>(window.get(), "shortcutRecorder");
    child<QCheckBox>(window.get(), "panicToggle")->click();
    EXPECT_FALSE(recorder->isEnabled());
    EXPECT_FALSE(keys.isGrabbed());
    child<QCheckBox>(window.get(), "panicToggle")->click();
    EXPECT_TRUE(recorder->isEnabled());
    EXPECT_TRUE(keys.isGrabbed());
}

TEST_F(SettingsWindowTest, AnUnusableStoredShortcutAndAHeldOneAreShown) {
    defaults.setValue(SettingsKeys::panicModifiers, 0x200);
    panic->update();
    auto window = makeWindow();
    auto* note = child<QLabel>(window.get(), "recorderNote");
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), QStringLiteral("The stored shortcut is not valid — record a new one."));
    EXPECT_FALSE(keys.isGrabbed());

    keys.markTaken({XK_j, HotKeyModifier::control | HotKeyModifier::alt});
    auto* recorder = child<QPushButton>(window.get(), "shortcutRecorder");
    QTest::mouseClick(recorder, Qt::LeftButton);
    QTest::keyClick(recorder, Qt::Key_J, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+Alt+J"));
    EXPECT_EQ(note->text(), QStringLiteral("Another program already uses this shortcut — record a different one."));
}

TEST_F(SettingsWindowTest, ARefusedLoginItemShowsTheErrorLine) {
    auto window = makeWindow();
    auto* login = child<QCheckBox>(window.get(), "loginToggle");
    login->click();
    EXPECT_TRUE(loginItem.isEnabled());
    EXPECT_TRUE(login->isChecked());

    QFile::remove(loginItem.filePath());
    ASSERT_TRUE(QDir().mkpath(loginItem.filePath() + QStringLiteral("/x")));
    login->click();
    auto* error = child<QLabel>(window.get(), "loginError");
    EXPECT_TRUE(error->isVisible());
    EXPECT_TRUE(error->text().startsWith(QStringLiteral("Could not update the login item: ")));
    EXPECT_TRUE(login->isChecked());
}

TEST_F(SettingsWindowTest, CheckNowShowsCheckingThenTheLine) {
    server.stayQuiet();
    auto window = makeWindow();
    auto* button = child<QPushButton>(window.get(), "checkNowButton");
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), QStringLiteral("Checking…"));
    EXPECT_FALSE(button->isEnabled());
    auto* status = child<QLabel>(window.get(), "updateStatus");
    ASSERT_TRUE(waitUntil([&] { return button->isEnabled(); }, 60000));
    EXPECT_EQ(button->text(), QStringLiteral("Check Now"));
    EXPECT_EQ(status->text(), QStringLiteral("Could not check: The request timed out."));
}

TEST_F(SettingsWindowTest, ShowMakesOneWindowAndReusesIt) {
    SettingsModel::Deps deps;
    deps.defaults = &defaults;
    deps.panicHotKey = panic.get();
    deps.updateChecker = checker.get();
    deps.loginItem = &loginItem;
    SettingsWindow* first = SettingsWindow::show(deps);
    EXPECT_TRUE(first->isVisible());
    first->close();
    // Shown again through the application's presenter, which puts it on the current desktop.
    QList<QWidget*> presented;
    deps.present = [&](QWidget* window) {
        presented.append(window);
        window->show();
    };
    EXPECT_EQ(SettingsWindow::show(deps), first);
    EXPECT_EQ(SettingsWindow::instance(), first);
    EXPECT_EQ(presented, QList<QWidget*>{first});
    EXPECT_TRUE(first->isVisible());
    delete first;
    EXPECT_EQ(SettingsWindow::instance(), nullptr);
}

TEST(UpdateAlertTest, ThreeButtonsInOrderAndEscMeansLater) {
    std::optional<UpdateChecker::AlertChoice> chosen;
    QMessageBox* box = UpdateAlert::present(UpdateRelease{QStringLiteral("2.1"), {}, {}}, QStringLiteral("2.0"),
                                            [&](UpdateChecker::AlertChoice choice) { chosen = choice; });
    EXPECT_EQ(box->text(), QStringLiteral("Larkhold 2.1 is available"));
    EXPECT_EQ(box->informativeText(), QStringLiteral("You have 2.0. The update is a download — install it from the "
                                                     "package or install location this build came from."));
    QList<QAbstractButton*> buttons = box->buttons();
    std::sort(buttons.begin(), buttons.end(), [](QAbstractButton* a, QAbstractButton* b) { return a->x() < b->x(); });
    QStringList titles;
    for (QAbstractButton* button : buttons)
        titles << button->text();
    EXPECT_EQ(titles, (QStringList{"View Download", "Skip This Version", "Later"}));
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("View Download"));
    QTest::keyClick(box, Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return chosen.has_value(); }, 60000));
    EXPECT_EQ(*chosen, UpdateChecker::AlertChoice::later);

    chosen.reset();
    box = UpdateAlert::present(UpdateRelease{QStringLiteral("2.1"), {}, {}}, QStringLiteral("2.0"),
                               [&](UpdateChecker::AlertChoice choice) { chosen = choice; });
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == QStringLiteral("Skip This Version"))
            button->click();
    }
    ASSERT_TRUE(waitUntil([&] { return chosen.has_value(); }, 60000));
    EXPECT_EQ(*chosen, UpdateChecker::AlertChoice::skipVersion);
}

TEST_F(SettingsWindowTest, TheServicesBundleWhatTheApplicationCalls) {
    auto owned = std::make_unique<FakeGlobalHotKey>();
    FakeGlobalHotKey* fake = owned.get();
    {
        SettingsServices services(std::move(owned), defaults, *store);
        services.panicHotKey().update();
        EXPECT_TRUE(fake->isGrabbed());
        SettingsWindow* window = services.showWindow();
        EXPECT_EQ(services.showWindow(), window);
        EXPECT_EQ(child<QPushButton>(window, "shortcutRecorder")->text(), QStringLiteral("Ctrl+Alt+Super+L"));
    }
    EXPECT_EQ(SettingsWindow::instance(), nullptr);
}
