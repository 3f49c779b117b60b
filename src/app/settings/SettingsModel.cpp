#include "SettingsModel.h"

#include "Defaults.h"
#include "Glossary.h"
#include "LoginItem.h"
#include "PanicHotKey.h"
#include "Theme.h"
#include "UpdateChecker.h"

#include <QPointer>

namespace larkhold {

namespace SettingsTexts {

QString lockOnSleep() {
    return QStringLiteral("Lock when the %1 goes to sleep").arg(glossary::computer);
}
QString showInTray() {
    return QStringLiteral("Show Larkhold in the %1").arg(glossary::tray);
}
QString trayClickShows() {
    QString tray = glossary::tray;
    tray[0] = tray[0].toUpper();
    return QStringLiteral("%1 click shows").arg(tray);
}
QString hideTaskbarEntry() {
    return QStringLiteral("Hide Larkhold in the %1").arg(glossary::taskbar);
}
QString taskbarCaption() {
    return QStringLiteral("Larkhold won’t appear in the %1 or the Alt+Tab switcher — reach it from the %2 "
                          "(kept on while the %3 is hidden).")
        .arg(glossary::taskbar, glossary::trayIcon, glossary::taskbarEntry);
}

} // namespace SettingsTexts

namespace {

const QList<qint64> kLockChoices{1, 5, 15, 30, 60};

} // namespace

SettingsModel::SettingsModel(Deps deps, QObject* parent) : QObject(parent), deps_(std::move(deps)) {
    launchAtLogin_ = deps_.loginItem && deps_.loginItem->isEnabled();
    connect(deps_.defaults, &Defaults::changed, this, &SettingsModel::changed);
}

bool SettingsModel::flag(const SettingKey& key) const {
    return defaults().boolValue(key);
}

void SettingsModel::setFlag(const SettingKey& key, bool value) {
    if (flag(key) != value)
        defaults().setValue(key, value);
}

QString SettingsModel::designTitle(AppTheme theme) {
    switch (theme) {
    case AppTheme::classic:
        return QStringLiteral("Classic");
    case AppTheme::nativePro:
        return QStringLiteral("Native Pro");
    case AppTheme::nightWatch:
        return QStringLiteral("Night Watch");
    case AppTheme::softFocus:
        return QStringLiteral("Soft Focus");
    }
    return QString();
}

QList<SettingsModel::Choice> SettingsModel::designChoices() {
    QList<Choice> choices;
    for (const AppTheme theme : allAppThemes())
        choices.append({designTitle(theme), rawValue(theme)});
    return choices;
}

int SettingsModel::designIndex() const {
    const AppTheme stored = appThemeOrClassic(defaults().stringValue(SettingsKeys::appTheme));
    const std::vector<AppTheme>& themes = allAppThemes();
    return static_cast<int>(std::find(themes.begin(), themes.end(), stored) - themes.begin());
}

void SettingsModel::setDesign(int index) {
    const QList<Choice> choices = designChoices();
    if (index < 0 || index >= choices.size() || index == designIndex())
        return;
    defaults().setValue(SettingsKeys::appTheme, choices[index].value);
}

QString SettingsModel::minutesTitle(qint64 minutes) {
    if (minutes == 60)
        return QStringLiteral("1 hour");
    if (minutes == 1)
        return QStringLiteral("1 minute");
    return QStringLiteral("%1 minutes").arg(minutes);
}

QList<SettingsModel::Choice> SettingsModel::lockChoices() const {
    QList<qint64> values = kLockChoices;
    const qint64 stored = defaults().intValue(SettingsKeys::autoLockMinutes);
    if (!values.contains(stored)) {
        values.append(stored);
        std::sort(values.begin(), values.end());
    }
    QList<Choice> choices;
    for (const qint64 minutes : values)
        choices.append({minutesTitle(minutes), minutes});
    return choices;
}

int SettingsModel::lockChoiceIndex() const {
    const qint64 stored = defaults().intValue(SettingsKeys::autoLockMinutes);
    const QList<Choice> choices = lockChoices();
    for (int i = 0; i < choices.size(); ++i) {
        if (choices[i].value.toLongLong() == stored)
            return i;
    }
    return -1;
}

void SettingsModel::setLockMinutes(int minutes) {
    if (defaults().intValue(SettingsKeys::autoLockMinutes) != minutes)
        defaults().setValue(SettingsKeys::autoLockMinutes, minutes);
}

QList<SettingsModel::Choice> SettingsModel::trayChoices() {
    return {{SettingsTexts::compactPanel, true}, {SettingsTexts::plainMenu, false}};
}

bool SettingsModel::afterPickerEnabled() const {
    return flag(SettingsKeys::autoLockEnabled);
}

bool SettingsModel::showInTrayEnabled() const {
    return !flag(SettingsKeys::hideDockIcon);
}

bool SettingsModel::trayClickEnabled() const {
    return flag(SettingsKeys::menuBarIcon);
}

bool SettingsModel::taskbarCaptionVisible() const {
    return flag(SettingsKeys::hideDockIcon);
}

void SettingsModel::setPanicEnabled(bool enabled) {
    if (flag(SettingsKeys::panicEnabled) == enabled)
        return;
    defaults().setValue(SettingsKeys::panicEnabled, enabled);
    panicHotKey().update();
}

void SettingsModel::setHideTaskbarEntry(bool hidden) {
    if (flag(SettingsKeys::hideDockIcon) == hidden)
        return;
    if (hidden)
        setFlag(SettingsKeys::menuBarIcon, true);
    defaults().setValue(SettingsKeys::hideDockIcon, hidden);
}

void SettingsModel::setLaunchAtLogin(bool enabled) {
    loginItemError_.clear();
    launchAtLogin_ = enabled;
    if (deps_.loginItem) {
        if (const std::optional<QString> failure = deps_.loginItem->setEnabled(enabled)) {
            loginItemError_ = SettingsTexts::loginItemFailure + *failure;
            launchAtLogin_ = deps_.loginItem->isEnabled();
        }
    }
    emit changed();
}

QString SettingsModel::checkButtonTitle() const {
    return checkingUpdate_ ? SettingsTexts::checking : SettingsTexts::checkNow;
}

QCoro::Task<> SettingsModel::checkNow() {
    if (checkingUpdate_ || !deps_.updateChecker)
        co_return;
    const QPointer<SettingsModel> self(this);
    checkingUpdate_ = true;
    emit changed();
    auto checking = deps_.updateChecker->manualCheck();
    const QString line = co_await checking;
    if (!self)
        co_return;
    updateResult_ = line;
    checkingUpdate_ = false;
    emit changed();
}

} // namespace larkhold
