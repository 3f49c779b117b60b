#include "UnlockModel.h"

#include "SheetTexts.h"
#include "VaultStore.h"

#include <QPointer>

namespace larkhold {

UnlockModel::UnlockModel(SheetServices services, Vault vault, QObject* parent)
    : VaultPasswordModel(services, std::move(vault), parent) {}

QString UnlockModel::title() const {
    return QStringLiteral("Unlock “%1”").arg(vault_.name);
}

QString UnlockModel::subtitle() const {
    return vault_.kind == VaultKind::pocket
               ? QStringLiteral("The vault opens in its own Larkhold window")
               : QStringLiteral("The vault opens as a normal folder ") + SheetTexts::inTheFileManager;
}

std::optional<QString> UnlockModel::hintLine() const {
    if (!vault_.passwordHint || vault_.passwordHint->isEmpty())
        return std::nullopt;
    return QStringLiteral("Hint: ") + *vault_.passwordHint;
}

std::optional<QString> UnlockModel::savedPasswordLine() const {
    const QString note = store().savedPasswordNotUsed(vault_.id);
    return note.isEmpty() ? std::nullopt : std::optional<QString>(note);
}

QString UnlockModel::primaryLabel() const {
    return working() ? QStringLiteral("Unlocking…") : QStringLiteral("Unlock");
}

bool UnlockModel::canUnlock() const {
    return !password_.isEmpty() && !working();
}

bool UnlockModel::unlock() {
    if (!canUnlock())
        return false;
    failure_.reset();
    setWorking(true);
    run(vault_, password_, saveToKeychain_);
    return true;
}

QCoro::Task<> UnlockModel::run(Vault vault, QString password, bool saveToKeychain) {
    QPointer<UnlockModel> self(this);
    VaultStore& vaults = store();
    // The store words a failure only in its shared message; the last one set while this unlock
    // runs is this unlock's, for the window that has no alert of its own. It never decides
    // whether the window closes. A message standing from before (another operation's, or this
    // vault's last wrong password) is cleared first: a failure worded the same must be heard, and
    // one the store words not at all must not borrow it.
    if (!vaults.errorMessage().isNull())
        vaults.clearErrorMessage();
    std::optional<QString> worded;
    const QMetaObject::Connection watch = connect(&vaults, &VaultStore::errorMessageChanged, this, [&worded, &vaults] {
        if (!vaults.errorMessage().isEmpty())
            worded = vaults.errorMessage();
    });
    auto unlocking = vaults.unlock(std::move(vault), password, saveToKeychain, UnlockMethod::password);
    const bool unlocked = co_await unlocking;
    wipeText(password);
    if (!self)
        co_return;
    disconnect(watch);
    setWorking(false);
    if (unlocked) {
        emit closeRequested();
        co_return;
    }
    failure_ = worded;
    emit changed();
}

} // namespace larkhold
