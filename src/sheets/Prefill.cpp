#include "Prefill.h"

#include "OwnerCheck.h"
#include "SecretStore.h"

namespace larkhold {

QCoro::Task<std::optional<QString>> prefillPassword(Vault vault, QString reason, SecretStore& secrets,
                                                    OwnerCheck& ownerCheck) {
    std::optional<QString> saved = secrets.password(vault.id);
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
