#include "FakeGlobalHotKey.h"
#include "LoginItem.h"
#include "PanicHotKey.h"
#include "Screens.h"
#include "SettingsWindow.h"
#include "ShortcutRecorderModel.h"
#include "StoreFixture.h"
#include "UpdateChecker.h"

#include <QDir>

using namespace larkhold;
using namespace larkhold::test;

namespace {

class SettingsScreensTest : public StoreFixture {
protected:
    SettingsScreensTest() : loginItem(dir.filePath(QStringLiteral("autostart")), QStringLiteral("/usr/bin/larkhold")) {
        startStore();
        panic = std::make_unique<PanicHotKey>(keys, defaults, *store);
        panic->update();
        checker = std::make_unique<UpdateChecker>(defaults, clock);
    }

    std::unique_ptr<SettingsWindow> makeWindow() {
        SettingsModel::Deps deps;
        deps.defaults = &defaults;
        deps.panicHotKey = panic.get();
        deps.updateChecker = checker.get();
        deps.loginItem = &loginItem;
        auto window = std::make_unique<SettingsWindow>(deps);
        window->setHeightLimit(100000);
        return window;
    }

    void render(QWidget* window, const QString& name) {
        const ScreenReport report = renderScreen(window, QStringLiteral("settings"), name);
        EXPECT_TRUE(report.ok()) << report.problems.join(u'\n').toStdString();
    }

    FakeGlobalHotKey keys;
    std::unique_ptr<PanicHotKey> panic;
    std::unique_ptr<UpdateChecker> checker;
    LoginItem loginItem;
};

} // namespace

TEST_F(SettingsScreensTest, Settings) {
    auto window = makeWindow();
    render(window.get(), QStringLiteral("settings"));
}

TEST_F(SettingsScreensTest, Recording) {
    auto window = makeWindow();
    window->show();
    window->recorderModel().start();
    render(window.get(), QStringLiteral("recording"));
}

TEST_F(SettingsScreensTest, LoginItemErrorTaskbarHiddenAndACheckResult) {
    ASSERT_TRUE(QDir().mkpath(loginItem.filePath() + QStringLiteral("/x")));
    defaults.setValue(SettingsKeys::hideDockIcon, true);
    keys.markTaken({0x6c, HotKeyModifier::control | HotKeyModifier::alt | HotKeyModifier::super});
    panic->update();
    auto window = makeWindow();
    window->model().setLaunchAtLogin(false);
    render(window.get(), QStringLiteral("login-error"));
}

TEST_F(SettingsScreensTest, OnAShortScreen) {
    auto window = makeWindow();
    window->setHeightLimit(560);
    render(window.get(), QStringLiteral("short-screen"));
}
