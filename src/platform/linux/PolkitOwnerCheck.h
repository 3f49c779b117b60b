#pragma once

#include "OwnerCheck.h"

#include <QDBusConnection>
#include <optional>

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

    // `bus` is where polkit is looked for: a private bus in tests. Without one it is the system bus, connected
    // when the first check is asked for rather than before the first window.
    explicit PolkitOwnerCheck(std::optional<QDBusConnection> bus = std::nullopt,
                              QString actionId = QString::fromLatin1(defaultActionId));

    // The object must outlive the requests it has started.
    QCoro::Task<bool> authenticate(const QString& reason) override;

private:
    std::optional<QDBusConnection> m_bus;
    QString m_actionId;
};

} // namespace larkhold
