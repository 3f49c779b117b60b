#pragma once

#include "SessionMonitor.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QString>
#include <optional>

namespace larkhold {

// Screen lock and sleep from every D-Bus source: the freedesktop, GNOME and Xfce screen savers' ActiveChanged(true)
// on the session bus, and on the system bus the login manager's Lock of this session and PrepareForSleep.
class DBusSessionMonitor final : public SessionMonitor {
    Q_OBJECT

public:
    // `sessionId` names this login session (XDG_SESSION_ID); when empty or unknown, the session of this process
    // is asked for instead. Nothing is watched before watch().
    explicit DBusSessionMonitor(QString sessionId, QObject* parent = nullptr);

    // Follows the screen savers on `sessionBus` and the login manager on `systemBus` from now on. Called once
    // the first window shows: the match rules and the system bus's connection are round trips it need not
    // wait for, and what they report is acted on only from the end of the launch.
    void watch(QDBusConnection sessionBus, QDBusConnection systemBus);

    // The login session whose Lock is followed; empty until the login manager has answered.
    QString sessionPath() const { return sessionPath_; }

private slots:
    // Slots by name: QtDBus connects signals of remote objects only that way.
    void screenSaverActiveChanged(bool active);
    void sessionLockRequested();
    void prepareForSleep(bool start);

private:
    void findSession(bool byId);
    void followSession(const QString& path);

    // Not connected until watch().
    QDBusConnection sessionBus_{QString()};
    QDBusConnection systemBus_{QString()};
    QString sessionId_;
    QString sessionPath_;
};

// The login manager's delay inhibitor for sleep: while its file descriptor is open, a sleep waits (up to the
// login manager's own limit) for it to be closed.
class LogindSleepInhibitor final : public QObject, public SleepInhibitor {
    Q_OBJECT

public:
    // Without `systemBus`, the system bus, connected when the inhibitor is first taken.
    explicit LogindSleepInhibitor(std::optional<QDBusConnection> systemBus = std::nullopt, QObject* parent = nullptr);

    void take() override;
    void release() override;
    bool isHeld() const override { return fd_.isValid(); }

private:
    std::optional<QDBusConnection> systemBus_;
    QDBusUnixFileDescriptor fd_;
    bool pending_ = false;
    // Incremented by every release, so that a reply to a request made before it is dropped.
    quint64 releases_ = 0;
};

} // namespace larkhold
