#include "DBusSessionMonitor.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <unistd.h>

namespace larkhold {

namespace {

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1Manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString login1Session = QStringLiteral("org.freedesktop.login1.Session");

} // namespace

DBusSessionMonitor::DBusSessionMonitor(QString sessionId, QObject* parent)
    : SessionMonitor(parent), sessionId_(std::move(sessionId)) {}

void DBusSessionMonitor::watch(QDBusConnection sessionBus, QDBusConnection systemBus) {
    sessionBus_ = std::move(sessionBus);
    systemBus_ = std::move(systemBus);
    if (sessionBus_.isConnected()) {
        // Any sender and any path: the screen savers publish from different objects, and a name may change hands.
        for (const char* interface : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver", "org.xfce.ScreenSaver"})
            sessionBus_.connect(QString(), QString(), QString::fromLatin1(interface), QStringLiteral("ActiveChanged"),
                                this, SLOT(screenSaverActiveChanged(bool)));
    }
    if (systemBus_.isConnected()) {
        systemBus_.connect(login1Service, login1Path, login1Manager, QStringLiteral("PrepareForSleep"), this,
                           SLOT(prepareForSleep(bool)));
        findSession(!sessionId_.isEmpty());
    }
}

void DBusSessionMonitor::findSession(bool byId) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(login1Service, login1Path, login1Manager,
                                       byId ? QStringLiteral("GetSession") : QStringLiteral("GetSessionByPID"));
    if (byId)
        call << sessionId_;
    else
        call << quint32(::getpid());
    auto* watcher = new QDBusPendingCallWatcher(systemBus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, byId] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (!reply.isError() && !reply.value().path().isEmpty())
            followSession(reply.value().path());
        else if (byId)
            findSession(false);
    });
}

void DBusSessionMonitor::followSession(const QString& path) {
    sessionPath_ = path;
    systemBus_.connect(login1Service, path, login1Session, QStringLiteral("Lock"), this, SLOT(sessionLockRequested()));
}

void DBusSessionMonitor::screenSaverActiveChanged(bool active) {
    if (active)
        emit screenLocked();
}

void DBusSessionMonitor::sessionLockRequested() {
    emit screenLocked();
}

void DBusSessionMonitor::prepareForSleep(bool start) {
    if (start)
        emit sleepRequested();
    else
        emit resumed();
}

LogindSleepInhibitor::LogindSleepInhibitor(std::optional<QDBusConnection> systemBus, QObject* parent)
    : QObject(parent), systemBus_(std::move(systemBus)) {}

void LogindSleepInhibitor::take() {
    if (fd_.isValid() || pending_)
        return;
    if (!systemBus_)
        systemBus_ = QDBusConnection::systemBus();
    if (!systemBus_->isConnected())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(login1Service, login1Path, login1Manager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Larkhold")
         << QStringLiteral("Locks open vaults before the computer sleeps") << QStringLiteral("delay");
    pending_ = true;
    const quint64 releasesBefore = releases_;
    auto* watcher = new QDBusPendingCallWatcher(systemBus_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, releasesBefore] {
        watcher->deleteLater();
        pending_ = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        // A release while the request was under way wins: the descriptor closes with the reply.
        if (!reply.isError() && releases_ == releasesBefore)
            fd_ = reply.value();
    });
}

void LogindSleepInhibitor::release() {
    ++releases_;
    // Closing our copy of the descriptor is what lets the sleep go ahead.
    fd_ = QDBusUnixFileDescriptor();
}

} // namespace larkhold
