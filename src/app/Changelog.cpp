#include "Changelog.h"

#include "Defaults.h"
#include "Glossary.h"
#include "SettingsKeys.h"

#include <QCoreApplication>

namespace larkhold::Changelog {

namespace {

QString capitalized(const QString& word) {
    return word.left(1).toUpper() + word.mid(1);
}

} // namespace

const QList<ChangelogEntry>& entries() {
    static const QList<ChangelogEntry> list{
        {QStringLiteral("2.0.1"),
         QStringLiteral("Pocket Vaults"),
         {{QStringLiteral("lock.doc.fill"), QStringLiteral("A Second Kind of Vault"),
           QStringLiteral("Small encrypted files for notes, photos and PDFs.")},
          {QStringLiteral("macwindow"), QStringLiteral("Opens Inside Larkhold"),
           QStringLiteral("A Pocket Vault opens in its own window, not as a folder.")},
          {QStringLiteral("location.slash.fill"), QStringLiteral("Private Photos"),
           QStringLiteral("Imported photos lose their location and camera details.")}}},
        {QStringLiteral("1.9.3"),
         QStringLiteral("Hints for the vaults you already have"),
         {{QStringLiteral("square.and.pencil"), QStringLiteral("Edit Any Hint"),
           QStringLiteral("Add or change a password hint in a vault’s settings.")},
          {QStringLiteral("lock.rotation"), QStringLiteral("On Password Change"),
           QStringLiteral("Set a new hint together with a new password.")},
          {QStringLiteral("eye.fill"), QStringLiteral("Same Honest Rules"),
           QStringLiteral("A hint may never contain the password itself.")}}},
        {QStringLiteral("1.9.2"),
         QStringLiteral("Password reminder at unlock"),
         {{QStringLiteral("text.bubble.fill"), QStringLiteral("Optional Hint"),
           QStringLiteral("Leave yourself a reminder when you create a vault.")},
          {QStringLiteral("eye.fill"), QStringLiteral("Honest Disclosure"),
           QStringLiteral("Hints are stored unencrypted, and Larkhold says so.")},
          {QStringLiteral("lock.open.fill"), QStringLiteral("Shows on Unlock"),
           QStringLiteral("Your hint appears right under the password field.")}}},
        {QStringLiteral("1.9"),
         QStringLiteral("The catch-up — everything since 1.4"),
         {{QStringLiteral("desktopcomputer"), QStringLiteral("Every %1 Welcome").arg(capitalized(glossary::computer)),
           QStringLiteral("Runs on older and newer systems alike.")},
          {QStringLiteral("hare.fill"), QStringLiteral("Faster Launch"),
           QStringLiteral("The vault list appears sooner after start.")}}},
        {QStringLiteral("1.4"),
         QStringLiteral("The %1 grows up").arg(glossary::tray),
         {{QStringLiteral("menubar.rectangle"), capitalized(glossary::tray) + QStringLiteral(" Panel"),
           QStringLiteral("Every vault at a glance, one click from the %1.").arg(glossary::tray)},
          {QStringLiteral("checkmark.seal.fill"), QStringLiteral("Verify Vault"),
           QStringLiteral("Check a vault’s password and file system at any time.")},
          {QStringLiteral("chart.pie.fill"), QStringLiteral("Live Capacity"),
           QStringLiteral("Gauges show how full each vault is as you work.")},
          {QStringLiteral("arrow.down.circle.fill"), QStringLiteral("Update Alerts"),
           QStringLiteral("Hear about new versions without looking for them.")}}},
        {QStringLiteral("1.3"),
         QStringLiteral("Your Larkhold, your look"),
         {{QStringLiteral("paintpalette.fill"), QStringLiteral("Four Designs"),
           QStringLiteral("Classic · Native Pro · Night Watch · Soft Focus")},
          {QStringLiteral("plus.rectangle.on.folder.fill"), QStringLiteral("Add Existing Vault"),
           QStringLiteral("Bring vaults made elsewhere into the list.")},
          {QStringLiteral("trash.slash.fill"), QStringLiteral("Safer Deletion"),
           QStringLiteral("Deleting a vault asks for its password first.")},
          {QStringLiteral("dock.rectangle"), QStringLiteral("Taskbar-Free Mode"),
           QStringLiteral("Keep Larkhold in the %1 only.").arg(glossary::tray)}}},
        {QStringLiteral("1.1 – 1.2"),
         QStringLiteral("Fine tuning"),
         {{QStringLiteral("ruler.fill"), QStringLiteral("Flexible Sizes"),
           QStringLiteral("Choose any size limit from 16 MB to 4 TB.")},
          {QStringLiteral("building.2.fill"), QStringLiteral("Packaged Downloads"),
           QStringLiteral("Each release comes as a package for a clean install.")}}},
        {QStringLiteral("1.0"),
         QStringLiteral("The Larkhold opens"),
         {{QStringLiteral("lock.shield.fill"), QStringLiteral("Growing Vaults"),
           QStringLiteral("Encrypted vaults take only the space their files need.")},
          {QStringLiteral("touchid"), QStringLiteral("%1 Everywhere").arg(glossary::ownerCheckTitle),
           QStringLiteral("Saved passwords unlock after %1.").arg(glossary::ownerCheck)},
          {QStringLiteral("moon.zzz.fill"), QStringLiteral("Auto-Lock & Panic Key"),
           QStringLiteral("Vaults lock when idle, on sleep, or with one shortcut.")},
          {QStringLiteral("icloud.slash.fill"), QStringLiteral("Private by Default"),
           QStringLiteral("New vaults stay out of %1.").arg(glossary::cloudSync)}}},
    };
    return list;
}

const ChangelogEntry* entryFor(const QString& version) {
    for (const ChangelogEntry& entry : entries()) {
        if (entry.version == version)
            return &entry;
    }
    return nullptr;
}

QString currentVersion() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("0") : version;
}

bool recordLaunch(Defaults& defaults, const QString& current) {
    const bool firstLaunch = !defaults.contains(SettingsKeys::lastLaunchedVersion);
    const QString previous = defaults.stringValue(SettingsKeys::lastLaunchedVersion);
    defaults.setValue(SettingsKeys::lastLaunchedVersion, current);
    if (firstLaunch || previous == current)
        return false;
    return entryFor(current) != nullptr;
}

} // namespace larkhold::Changelog
