#pragma once

#include "Vault.h"

#include <QCoroTask>
#include <QString>
#include <optional>

namespace larkhold {

class OwnerCheck;
class SecretStore;

// The vault's saved password for a sheet's password field, or nothing: nothing is saved (no prompt
// is shown then), or the vault asks for the owner check before its saved password is used and the
// check was refused, cancelled or could not be asked. `reason` is what the check's prompt shows
// ("resize the vault “Taxes”"). Failures are silent: the user types the password instead.
//
// The saved password is read before the owner is asked, and the vault's own copy decides whether
// to ask.
QCoro::Task<std::optional<QString>> prefillPassword(Vault vault, QString reason, SecretStore& secrets,
                                                    OwnerCheck& ownerCheck);

} // namespace larkhold
