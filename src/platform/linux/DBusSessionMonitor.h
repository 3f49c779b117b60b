#pragma once

#include "SessionMonitor.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QString>

namespace larkhold {

// Screen lock and sleep from every D-Bus source: the freedesktop, GNOME and Xfce screen savers' ActiveChanged(true)
// on the session bus, and on the system bus the login manager's Lock of this session and PrepareForSleep.
class DBusSessionMonitor final : public SessionMonitor {
    Q_OBJECT

public:
    // `sessionId` names this login session (XDG_SESSION_ID); when empty or unknown, the session of this process
    // is asked for instead.
    DBusSessionMonitor(QDBusConnection sessionBus, QDBusConnection systemBus, QString sessionId,
                       QObject* parent = nullptr);

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

    QDBusConnection sessionBus_;
    QDBusConnection systemBus_;
    QString sessionId_;
    QString sessionPath_;
};

// The login manager's delay inhibitor for sleep: while its file descriptor is open, a sleep waits (up to the
// login manager's own limit) for it to be closed.
class LogindSleepInhibitor final : public QObject, public SleepInhibitor {
    Q_OBJECT

public:
    explicit LogindSleepInhibitor(QDBusConnection systemBus, QObject* parent = nullptr);

    void take() override;
    void release() override;
    bool isHeld() const override { return fd_.isValid(); }

private:
    QDBusConnection systemBus_;
    QDBusUnixFileDescriptor fd_;
    bool pending_ = false;
    // Incremented by every release, so that a reply to a request made before it is dropped.
    quint64 releases_ = 0;
};

} // namespace larkhold
