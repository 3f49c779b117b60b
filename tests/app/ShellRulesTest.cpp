#include "ShellRules.h"

#include "Changelog.h"
#include "Defaults.h"
#include "SettingsKeys.h"
#include "Symbols.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace larkhold {
namespace {

class Settings : public ::testing::Test {
protected:
    Settings() : defaults(dir.filePath(QStringLiteral("settings.ini"))) { SettingsKeys::registerDefaults(defaults); }
    QTemporaryDir dir;
    Defaults defaults;
};

using TrayExtraInsertion = Settings;

TEST_F(TrayExtraInsertion, FollowsTheTwoSettingsOnly) {
    struct Case {
        bool icon, panel;
        TrayExtraKind kind;
    } const cases[] = {
        {true, true, TrayExtraKind::panel},
        {true, false, TrayExtraKind::menu},
        {false, true, TrayExtraKind::none},
        {false, false, TrayExtraKind::none},
    };
    for (const Case& c : cases) {
        defaults.setValue(SettingsKeys::menuBarIcon, c.icon);
        defaults.setValue(SettingsKeys::menuBarPanel, c.panel);
        EXPECT_EQ(ShellRules::insertedExtra(defaults), c.kind) << c.icon << c.panel;
        EXPECT_EQ(ShellRules::panelStyleInserted(defaults), c.kind == TrayExtraKind::panel);
        EXPECT_EQ(ShellRules::menuStyleInserted(defaults), c.kind == TrayExtraKind::menu);
    }
}

TEST_F(TrayExtraInsertion, DefaultsInsertThePanel) {
    EXPECT_EQ(ShellRules::insertedExtra(defaults), TrayExtraKind::panel);
}

using TaskbarPolicy = Settings;

TEST_F(TaskbarPolicy, HidesTheEntryOnlyWhileATrayIconCanBringTheWindowBack) {
    EXPECT_FALSE(ShellRules::skipTaskbar(defaults, true)); // hideDockIcon defaults to off

    defaults.setValue(SettingsKeys::hideDockIcon, true);
    EXPECT_TRUE(ShellRules::skipTaskbar(defaults, true));
    EXPECT_FALSE(ShellRules::skipTaskbar(defaults, false)) << "no tray host: the taskbar is the only way back";

    defaults.setValue(SettingsKeys::menuBarIcon, false);
    EXPECT_FALSE(ShellRules::skipTaskbar(defaults, true)) << "tray icon switched off: keep the taskbar entry";
    defaults.setValue(SettingsKeys::menuBarIcon, true);
    defaults.setValue(SettingsKeys::menuBarPanel, false);
    EXPECT_TRUE(ShellRules::skipTaskbar(defaults, true)) << "the plain menu brings the window back too";
}

using WhatsNewAtLaunch = Settings;

TEST_F(WhatsNewAtLaunch, FirstLaunchRecordsTheVersionAndShowsNothing) {
    EXPECT_FALSE(Changelog::recordLaunch(defaults, QStringLiteral("2.0.1")));
    EXPECT_EQ(defaults.stringValue(SettingsKeys::lastLaunchedVersion), QStringLiteral("2.0.1"));
}

TEST_F(WhatsNewAtLaunch, ShowsOnceAfterAnUpdate) {
    defaults.setValue(SettingsKeys::lastLaunchedVersion, QStringLiteral("1.9.2"));
    EXPECT_TRUE(Changelog::recordLaunch(defaults, QStringLiteral("2.0.1")));
    EXPECT_FALSE(Changelog::recordLaunch(defaults, QStringLiteral("2.0.1")));
}

TEST_F(WhatsNewAtLaunch, AVersionWithoutEntryIsRecordedAndShowsNothingLater) {
    defaults.setValue(SettingsKeys::lastLaunchedVersion, QStringLiteral("2.0.1"));
    EXPECT_FALSE(Changelog::recordLaunch(defaults, QStringLiteral("2.0.2")));
    EXPECT_EQ(defaults.stringValue(SettingsKeys::lastLaunchedVersion), QStringLiteral("2.0.2"));
    EXPECT_FALSE(Changelog::recordLaunch(defaults, QStringLiteral("2.0.2")));
}

TEST_F(WhatsNewAtLaunch, AnyChangeCountsAlsoAnOlderVersion) {
    defaults.setValue(SettingsKeys::lastLaunchedVersion, QStringLiteral("2.0.1"));
    EXPECT_TRUE(Changelog::recordLaunch(defaults, QStringLiteral("1.9.3")));
}

TEST_F(WhatsNewAtLaunch, TheRangeEntryAndVersionZeroNeverOpenIt) {
    defaults.setValue(SettingsKeys::lastLaunchedVersion, QStringLiteral("1.0"));
    EXPECT_FALSE(Changelog::recordLaunch(defaults, QStringLiteral("1.1")));
    EXPECT_FALSE(Changelog::recordLaunch(defaults, QStringLiteral("0")));
    ASSERT_NE(Changelog::entryFor(QStringLiteral("1.1 – 1.2")), nullptr);
}

TEST(ChangelogTable, VersionsAndPointNamesAreUniqueNewestFirst) {
    const QList<ChangelogEntry>& entries = Changelog::entries();
    ASSERT_EQ(entries.size(), 8);
    EXPECT_EQ(entries.first().version, QStringLiteral("2.0.1"));
    EXPECT_EQ(entries.last().version, QStringLiteral("1.0"));
    QStringList versions;
    for (const ChangelogEntry& entry : entries) {
        EXPECT_FALSE(versions.contains(entry.version)) << entry.version.toStdString();
        versions.append(entry.version);
        QStringList names;
        for (const ChangelogEntry::Point& point : entry.points) {
            EXPECT_FALSE(names.contains(point.name));
            names.append(point.name);
            EXPECT_FALSE(point.detail.isEmpty());
            // A symbol nobody drew would show as the question-mark placeholder.
            EXPECT_TRUE(Symbols::knownSymbols().contains(point.icon)) << point.icon.toStdString();
            for (const char* word : {"Mac", "Finder", "Dock", "iCloud", "Touch ID", "menu bar", "Keychain"})
                EXPECT_FALSE((point.name + point.detail + entry.title).contains(QLatin1String(word)))
                    << word << " in " << point.name.toStdString();
        }
    }
    EXPECT_EQ(Changelog::entryFor(QStringLiteral("1.3"))->points.first().detail,
              QStringLiteral("Classic · Native Pro · Night Watch · Soft Focus"));
    EXPECT_EQ(Changelog::entryFor(QStringLiteral("1.9"))->title, QStringLiteral("The catch-up — everything since 1.4"));
}

} // namespace
} // namespace larkhold
