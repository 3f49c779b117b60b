#pragma once

#include "SettingsKeys.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace larkhold {

enum class AppTheme;
class Defaults;
class LoginItem;
class PanicHotKey;
class UpdateChecker;

// The decisions of the settings window: its texts, which controls are enabled or shown, and the three
// controls with effects beyond their setting (the panic switch, the taskbar entry, the login item). The
// window binds its controls to the settings table through this class and paints nothing itself.
class SettingsModel : public QObject {
    Q_OBJECT

public:
    struct Choice {
        QString title;
        QVariant value;
    };

    struct Deps {
        Defaults* defaults = nullptr;
        PanicHotKey* panicHotKey = nullptr;
        UpdateChecker* updateChecker = nullptr;
        LoginItem* loginItem = nullptr;
        // Shows the settings window on the desktop the user is looking at, in front and active; without
        // it the window is only shown, raised and activated. The application follows the taskbar setting
        // itself, as it changes.
        std::function<void(QWidget* window)> present;
    };

    explicit SettingsModel(Deps deps, QObject* parent = nullptr);

    // The settings shown by plain switches and pickers: their stored value and a write.
    bool flag(const SettingKey& key) const;
    void setFlag(const SettingKey& key, bool value);

    // "Design": the four designs in their order, by title, valued by their stored name.
    static QList<Choice> designChoices();
    static QString designTitle(AppTheme theme);
    // The stored design's row; any text that names no design reads as Classic.
    int designIndex() const;
    void setDesign(int index);

    // "After": 1, 5, 15, 30 and 60 minutes. A stored number outside these gets a row of its own, so
    // that showing the window never changes it.
    QList<Choice> lockChoices() const;
    int lockChoiceIndex() const;
    void setLockMinutes(int minutes);
    static QString minutesTitle(qint64 minutes);

    // "Tray click shows".
    static QList<Choice> trayChoices();

    bool afterPickerEnabled() const;
    bool showInTrayEnabled() const;
    bool trayClickEnabled() const;
    bool taskbarCaptionVisible() const;

    void setPanicEnabled(bool enabled);
    // Hiding the taskbar entry turns the tray icon on first: otherwise nothing could bring a window back.
    void setHideTaskbarEntry(bool hidden);

    // Read once, when the window is made; set again only after a failed change.
    bool launchAtLogin() const { return launchAtLogin_; }
    // Empty unless the last change of the login item failed.
    const QString& loginItemError() const { return loginItemError_; }
    void setLaunchAtLogin(bool enabled);

    bool checkingUpdate() const { return checkingUpdate_; }
    // Empty until the first manual check has returned.
    const QString& updateResult() const { return updateResult_; }
    QString checkButtonTitle() const;
    QCoro::Task<> checkNow();

    Defaults& defaults() const { return *deps_.defaults; }
    PanicHotKey& panicHotKey() const { return *deps_.panicHotKey; }

signals:
    // Any shown state changed: a setting, the login item, the update check.
    void changed();

private:
    Deps deps_;
    bool launchAtLogin_ = false;
    QString loginItemError_;
    bool checkingUpdate_ = false;
    QString updateResult_;
};

namespace SettingsTexts {
inline const QString title = QStringLiteral("Settings");
inline const QString subtitle = QStringLiteral("Applies to all vaults");
inline const QString design = QStringLiteral("Design");
inline const QString designCaption =
    QStringLiteral("Same features in every design — pick the look you like. Switches instantly.");
inline const QString lockAutomatically = QStringLiteral("Lock vaults automatically");
inline const QString after = QStringLiteral("After");
inline const QString autoLockCaption =
    QStringLiteral("A vault with files still open is never interrupted — Larkhold simply tries again later. "
                   "Opening a vault from the app resets its timer.");
inline const QString lockOnScreenLock = QStringLiteral("Lock when the screen locks");
QString lockOnSleep();
inline const QString lockOnQuit = QStringLiteral("Lock all vaults when quitting Larkhold");
inline const QString triggersCaption =
    QStringLiteral("Locking is always graceful: a vault with files in use stays open rather than risking your data.");
inline const QString panicEnabled = QStringLiteral("Panic shortcut: lock everything instantly");
inline const QString shortcut = QStringLiteral("Shortcut");
inline const QString panicCaption = QStringLiteral("Works system-wide, even while another app is in front.");
QString showInTray();
QString trayClickShows();
inline const QString compactPanel = QStringLiteral("Compact panel");
inline const QString plainMenu = QStringLiteral("Plain menu");
QString hideTaskbarEntry();
QString taskbarCaption();
inline const QString launchAtLogin = QStringLiteral("Launch Larkhold at login");
inline const QString loginItemFailure = QStringLiteral("Could not update the login item: ");
inline const QString updateCheck = QStringLiteral("Tell me when an update is available");
inline const QString updateCaption =
    QStringLiteral("Check Now asks the update server whether a newer version exists. It is Larkhold’s only "
                   "network access, and nothing about you or your vaults is sent.");
inline const QString checkNow = QStringLiteral("Check Now");
inline const QString checking = QStringLiteral("Checking…");
} // namespace SettingsTexts

} // namespace larkhold
