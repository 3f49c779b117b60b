#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QThread>

// The real-peer tests run only inside the private D-Bus session that run-with-peer.sh sets up, so that they
// never touch the keyring or polkit of the machine they run on.
inline bool insidePrivateSession() {
    return qEnvironmentVariable("LARKHOLD_PEER_SESSION") == QLatin1String("1");
}

// The reason the script could not start the peer, if it said so.
inline QString peerUnavailableReason() {
    return qEnvironmentVariable("LARKHOLD_PEER_UNAVAILABLE");
}

inline bool waitForBusName(const QDBusConnection& bus, const QString& name, int milliseconds = 60000) {
    if (!bus.isConnected())
        return false;
    QDeadlineTimer deadline(milliseconds);
    while (!bus.interface()->isServiceRegistered(name)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}
