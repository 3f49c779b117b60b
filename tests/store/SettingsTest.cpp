#include "Defaults.h"
#include "SettingsKeys.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace larkhold;

namespace {

class Settings : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("prefs.ini"); }
};

} // namespace

TEST_F(Settings, FreshPreferencesReadTheRegisteredDefaults) {
    Defaults d(path());
    SettingsKeys::registerDefaults(d);

    EXPECT_TRUE(d.boolValue(SettingsKeys::autoLockEnabled.name));
    EXPECT_EQ(d.intValue(SettingsKeys::autoLockMinutes.name), 15);
    EXPECT_TRUE(d.boolValue(SettingsKeys::lockOnQuit.name));
    EXPECT_TRUE(d.boolValue(SettingsKeys::menuBarIcon.name));
    EXPECT_TRUE(d.boolValue(SettingsKeys::lockOnScreenLock.name));
    EXPECT_TRUE(d.boolValue(SettingsKeys::lockOnSleep.name));
    EXPECT_TRUE(d.boolValue(SettingsKeys::panicEnabled.name));
    EXPECT_EQ(d.intValue(SettingsKeys::panicKeyCode.name), 37);
    EXPECT_EQ(d.intValue(SettingsKeys::panicModifiers.name), 4096 + 2048 + 256);
    EXPECT_EQ(d.stringValue(SettingsKeys::panicKeyLabel.name), "L");
    EXPECT_FALSE(d.boolValue(SettingsKeys::hideDockIcon.name, true));
    EXPECT_TRUE(d.boolValue(SettingsKeys::menuBarPanel.name));
    EXPECT_TRUE(d.boolValue(SettingsKeys::updateCheckEnabled.name));

    // Keys read with a default at the point of use give that default through the table.
    EXPECT_EQ(d.stringValue(SettingsKeys::appTheme), "classic");
    EXPECT_TRUE(d.boolValue(SettingsKeys::pocketOptimizePhotos));
    EXPECT_TRUE(d.stringValue(SettingsKeys::skippedVersion).isEmpty());
    EXPECT_FALSE(d.dateValue(SettingsKeys::lastUpdateCheck));
    EXPECT_FALSE(d.contains(SettingsKeys::migratedFromTarnFolder));

    // Registering wrote nothing.
    d.sync();
    Defaults reopened(path());
    for (const SettingKey* key : SettingsKeys::all())
        EXPECT_FALSE(reopened.contains(key->name)) << key->name.toStdString();
    EXPECT_FALSE(reopened.value(SettingsKeys::autoLockMinutes).isValid());
}

TEST_F(Settings, TheTableHoldsEveryKeyOnce) {
    const auto& keys = SettingsKeys::all();
    QSet<QString> names;
    int registered = 0;
    for (const SettingKey* key : keys) {
        names.insert(key->name);
        if (key->registered) {
            ++registered;
            EXPECT_TRUE(key->defaultValue.isValid()) << key->name.toStdString();
        }
    }
    EXPECT_EQ(names.size(), qsizetype(keys.size()));
    EXPECT_EQ(keys.size(), 20u);
    EXPECT_EQ(registered, 13);
    EXPECT_EQ(keys.front()->name, "autoLockEnabled");
}

TEST_F(Settings, StoredValueWinsThenRegisteredThenFallback) {
    {
        // A value taken over from the predecessor before registration.
        Defaults d(path());
        d.setValue(SettingsKeys::autoLockMinutes, 5);
        d.setValue(SettingsKeys::lockOnQuit, false);
    }
    Defaults d(path());
    SettingsKeys::registerDefaults(d);
    SettingsKeys::registerDefaults(d); // every start registers again
    EXPECT_EQ(d.intValue(SettingsKeys::autoLockMinutes), 5);
    EXPECT_FALSE(d.boolValue(SettingsKeys::lockOnQuit));
    EXPECT_TRUE(d.boolValue(SettingsKeys::lockOnSleep));

    EXPECT_EQ(d.value("neverRegistered", 42).toInt(), 42);
    EXPECT_EQ(d.intValue("neverRegistered", 42), 42);
    EXPECT_EQ(d.value(SettingsKeys::panicKeyCode, 1).toInt(), 37);

    // Removing a user value brings the registered one back.
    d.remove(SettingsKeys::autoLockMinutes);
    EXPECT_EQ(d.intValue(SettingsKeys::autoLockMinutes), 15);

    // A stored value of the wrong type counts as not set.
    d.setValue(SettingsKeys::autoLockMinutes, "soon");
    EXPECT_EQ(d.intValue(SettingsKeys::autoLockMinutes), 15);
    d.setValue(SettingsKeys::appTheme, "nightWatch");
    EXPECT_EQ(d.stringValue(SettingsKeys::appTheme), "nightWatch");
}

TEST_F(Settings, ValuesSurviveAReopenWithTheirTypes) {
    const QByteArray log("[{\"id\":\"x\"}]\n\x01\xff", 16);
    const Date checked = Date::fromReferenceSeconds(786543210.0123456789);
    {
        Defaults d(path());
        d.setValue(SettingsKeys::panicModifiers, 256);
        d.setValue(SettingsKeys::hideDockIcon, true);
        d.setValue(SettingsKeys::panicKeyLabel, "Ä");
        d.setValue(SettingsKeys::activityLog, log);
        d.setDate(SettingsKeys::lastUpdateCheck, checked);
    }
    Defaults d(path());
    SettingsKeys::registerDefaults(d);
    EXPECT_EQ(d.intValue(SettingsKeys::panicModifiers), 256);
    EXPECT_TRUE(d.boolValue(SettingsKeys::hideDockIcon));
    EXPECT_EQ(d.stringValue(SettingsKeys::panicKeyLabel), "Ä");
    EXPECT_EQ(d.dataValue(SettingsKeys::activityLog), log);
    ASSERT_TRUE(d.dateValue(SettingsKeys::lastUpdateCheck));
    EXPECT_EQ(d.dateValue(SettingsKeys::lastUpdateCheck)->secondsSinceReference, checked.secondsSinceReference);
}

TEST_F(Settings, FlagsInAHandEditedFileReadOnlyWhenTheyParse) {
    // The preferences file is plain text; a value the user mistyped must not switch a setting on.
    QFile file(path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\n"
               "hideDockIcon=flase\n"
               "menuBarPanel=false\n"
               "lockOnQuit=0\n"
               "lockOnSleep=No\n"
               "panicEnabled=maybe\n"
               "updateCheckEnabled=\n"
               "autoLockEnabled=TRUE\n");
    file.close();

    Defaults d(path());
    SettingsKeys::registerDefaults(d);
    EXPECT_FALSE(d.boolValue(SettingsKeys::hideDockIcon)); // unreadable: the registered false
    EXPECT_FALSE(d.boolValue(SettingsKeys::menuBarPanel));
    EXPECT_FALSE(d.boolValue(SettingsKeys::lockOnQuit));
    EXPECT_FALSE(d.boolValue(SettingsKeys::lockOnSleep));
    EXPECT_TRUE(d.boolValue(SettingsKeys::panicEnabled)); // unreadable: the registered true
    EXPECT_TRUE(d.boolValue(SettingsKeys::updateCheckEnabled));
    EXPECT_TRUE(d.boolValue(SettingsKeys::autoLockEnabled));
    EXPECT_TRUE(d.boolValue("notRegistered", true));
}

TEST_F(Settings, ChangesAreAnnouncedByKey) {
    Defaults d(path());
    QStringList seen;
    QObject::connect(&d, &Defaults::changed, [&](const QString& key) { seen.append(key); });
    d.setValue(SettingsKeys::appTheme, "softFocus");
    d.remove(SettingsKeys::appTheme);
    EXPECT_EQ(seen, QStringList({"appTheme", "appTheme"}));

    // Registration announces the keys whose reading it changes, not those the user has set.
    seen.clear();
    d.setValue(SettingsKeys::lockOnSleep, false);
    seen.clear();
    SettingsKeys::registerDefaults(d);
    EXPECT_TRUE(seen.contains("autoLockEnabled"));
    EXPECT_FALSE(seen.contains("lockOnSleep"));
}
