#include "Prefill.h"

#include "OwnerCheck.h"
#include "SecretStore.h"

#include <QCoroFuture>

namespace larkhold {

QCoro::Task<std::optional<QString>> prefillPassword(Vault vault, QString reason, SecretStore& secrets,
                                                    OwnerCheck& ownerCheck) {
    QFuture<std::optional<QString>> reading = secrets.password(vault.id);
    std::optional<QString> saved = co_await reading;
    if (!saved)
        co_return std::nullopt;
    if (vault.requireTouchID) {
        auto asking = ownerCheck.authenticate(reason);
        const bool allowed = co_await asking;
        if (!allowed)
            co_return std::nullopt;
    }
    co_return saved;
}

} // namespace larkhold
