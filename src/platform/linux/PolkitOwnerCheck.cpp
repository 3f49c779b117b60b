#include "PolkitOwnerCheck.h"

#include <QCoroSignal>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QMap>
#include <QVariantMap>
#include <climits>
#include <optional>
#include <unistd.h>

namespace larkhold {

namespace {

// AllowUserInteraction: polkit may ask the user through the session's authentication agent.
constexpr uint allowUserInteraction = 1;

// The process's start time in clock ticks since boot (field 22 of /proc/self/stat). Together with the pid it
// names this very process, so polkit cannot be tricked by a recycled pid.
std::optional<quint64> processStartTime() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    // The command name (field 2) is in parentheses and may itself contain spaces and ')'.
    const qsizetype nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.mid(nameEnd + 1).simplified().split(' ');
    constexpr qsizetype startTimeIndex = 22 - 3; // fields after the name begin with field 3
    if (fields.size() <= startTimeIndex)
        return std::nullopt;
    bool ok = false;
    const quint64 ticks = fields[startTimeIndex].toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return ticks;
}

QDBusArgument processSubject(quint64 startTime) {
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("unix-process")
            << QVariantMap{{QStringLiteral("pid"), QVariant::fromValue(static_cast<quint32>(::getpid()))},
                           {QStringLiteral("start-time"), QVariant::fromValue(startTime)},
                           {QStringLiteral("uid"), QVariant::fromValue(static_cast<qint32>(::getuid()))}};
    subject.endStructure();
    return subject;
}

// Reads the (bba{ss}) result; anything else, including an error reply, is "not authorised".
bool isAuthorized(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return false;
    const QVariant result = reply.arguments().constFirst();
    if (!result.canConvert<QDBusArgument>())
        return false;
    const QDBusArgument argument = result.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("(bba{ss})"))
        return false;
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
    argument.beginStructure();
    argument >> authorized >> challenge >> details;
    argument.endStructure();
    return authorized;
}

} // namespace

PolkitOwnerCheck::PolkitOwnerCheck(std::optional<QDBusConnection> bus, QString actionId)
    : m_bus(std::move(bus)), m_actionId(std::move(actionId)) {}

QCoro::Task<bool> PolkitOwnerCheck::authenticate(const QString& reason) {
    // polkit shows the message of the installed action. It accepts caller-supplied details (such as a
    // "polkit.message" override) only from privileged callers and refuses the whole request otherwise, so
    // the reason cannot be passed on; the action's own message names what is being unlocked in general.
    Q_UNUSED(reason);

    const QDBusConnection bus = m_bus ? *m_bus : QDBusConnection::systemBus();
    if (!bus.isConnected())
        co_return false;
    const std::optional<quint64> startTime = processStartTime();
    if (!startTime)
        co_return false;

    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.PolicyKit1"), QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
        QStringLiteral("org.freedesktop.PolicyKit1.Authority"), QStringLiteral("CheckAuthorization"));
    QDBusArgument details;
    details.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    details.endMap();
    request << QVariant::fromValue(processSubject(*startTime)) << m_actionId << QVariant::fromValue(details)
            << allowUserInteraction << QString();

    // The user may take as long as they like over the prompt; the request ends with polkit's answer, or with
    // an error from the bus should polkit go away, never with a time-out.
    // Awaited through the watcher's signal: QCoro's D-Bus support would be one more library loaded with the
    // program.
    QDBusPendingCallWatcher watcher(bus.asyncCall(request, INT_MAX));
    if (!watcher.isFinished())
        co_await qCoro(&watcher, &QDBusPendingCallWatcher::finished);
    co_return isAuthorized(watcher.reply());
}

} // namespace larkhold
