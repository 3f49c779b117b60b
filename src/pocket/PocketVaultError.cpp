#include "PocketVaultError.h"

#include "ByteCount.h"

namespace larkhold {

PocketVaultError::PocketVaultError(Case c, std::int64_t needed, std::int64_t capacity)
    : case_(c), needed_(needed), capacity_(capacity), what_(message().toStdString()) {}

PocketVaultError PocketVaultError::full(std::int64_t needed, std::int64_t capacity) {
    return PocketVaultError(Case::full, needed, capacity);
}

QString PocketVaultError::message() const {
    switch (case_) {
    case Case::full:
        return QStringLiteral("Not enough room — this needs %1 of %2.")
            .arg(formatByteCount(needed_), formatByteCount(capacity_));
    case Case::badPassword:
        return QStringLiteral("Wrong password.");
    case Case::notAPocketVault:
        return QStringLiteral("That file isn’t a Pocket Vault.");
    case Case::damaged:
        return QStringLiteral("The vault file is damaged and can’t be read.");
    case Case::sameAsCurrentPassword:
        return QStringLiteral("The second password must be different from the password you unlocked with.");
    case Case::passwordOpensOtherArea:
        return QStringLiteral("That password already opens this vault’s other set of items. "
                              "Choose a different password.");
    case Case::changedElsewhere:
        return QStringLiteral("The vault file was changed by another program or on another computer since it was "
                              "opened here, so nothing was saved over it. Save a copy to keep these changes.");
    case Case::movedElsewhere:
        return QStringLiteral("The vault file was moved or deleted since it was opened here, so nothing was saved "
                              "in its place. Save a copy to keep these changes.");
    }
    return {};
}

} // namespace larkhold
