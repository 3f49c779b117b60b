#pragma once

#include "OwnerCheck.h"

#include <QDBusConnection>

namespace larkhold {

// The owner check on Linux: asks polkit whether this process may perform the application's own action,
// which the installed policy declares as needing the user's own authentication every time. polkit's
// authentication agent then shows the prompt (password or fingerprint, as the system is set up).
//
// The answer is true only when polkit says the process is authorised. Without polkit on the bus, without the
// installed action, or without an agent to ask, polkit (or the bus) answers no at once and nothing is shown.
class PolkitOwnerCheck final : public OwnerCheck {
public:
    static constexpr const char* defaultActionId = "org.larkhold.Larkhold.authenticate";

    // `bus` is where polkit is looked for: the system bus in the application, a private bus in tests.
    explicit PolkitOwnerCheck(QDBusConnection bus = QDBusConnection::systemBus(),
                              QString actionId = QString::fromLatin1(defaultActionId));

    // The object must outlive the requests it has started.
    QCoro::Task<bool> authenticate(const QString& reason) override;

private:
    QDBusConnection m_bus;
    QString m_actionId;
};

} // namespace larkhold
