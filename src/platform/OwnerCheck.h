#pragma once

#include <QCoroTask>
#include <QString>

namespace larkhold {

// Asks the system to confirm that the person at the computer is its owner (fingerprint or account password,
// whatever the system offers) before a remembered password is released or a guarded action runs.
//
// Every call is a request of its own: an earlier success never carries over. Every failure (no way to ask,
// cancelled, refused, broken connection) is folded into false; when the system has no way to ask at all the
// answer is false at once, without showing anything.
class OwnerCheck {
public:
    virtual ~OwnerCheck() = default;

    // `reason` names the action and the vault, in lower case, e.g. "unlock the vault “Taxes”"; the system
    // shows it in its prompt.
    virtual QCoro::Task<bool> authenticate(const QString& reason) = 0;

protected:
    OwnerCheck() = default;
    OwnerCheck(const OwnerCheck&) = default;
    OwnerCheck& operator=(const OwnerCheck&) = default;
};

// The name the rest of the application knows the owner gate by.
using TouchID = OwnerCheck;

} // namespace larkhold
