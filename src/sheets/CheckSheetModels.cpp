#include "CheckSheetModels.h"

#include "DiskImage.h"
#include "ErrorText.h"
#include "SheetTexts.h"
#include "VaultStore.h"

#include <QPointer>

namespace larkhold {

// ---- verify ----

VerifyModel::VerifyModel(SheetServices services, Vault vault, QObject* parent)
    : VaultPasswordModel(services, std::move(vault), parent) {}

void VerifyModel::opened() {
    prefillPassword(QStringLiteral("verify"));
}

QString VerifyModel::title() const {
    return QStringLiteral("Verify “%1”").arg(vault_.name);
}

QString VerifyModel::subtitle() const {
    return vault_.kind == VaultKind::pocket ? QStringLiteral("Checks the vault's contents for damage")
                                            : QStringLiteral("Checks the vault's filesystem for damage");
}

QString VerifyModel::caption() const {
    if (vault_.kind == VaultKind::pocket)
        return QStringLiteral("The vault is decrypted in memory, every item is checked, and nothing is shown or "
                              "changed. Useful before making a backup copy.");
    if (!DiskImage::hidesVolumes())
        return QStringLiteral("The vault is opened (it shows in the file manager until the check ends), its "
                              "filesystem is checked, and it is locked again. Nothing inside is changed. Useful "
                              "before making a backup copy.");
    return QStringLiteral("The vault is opened invisibly, its filesystem is checked, and it is locked again. Nothing "
                          "inside is changed. Useful before making a backup copy.");
}

QString VerifyModel::closeLabel() const {
    return resultText_ ? QStringLiteral("Done") : SheetTexts::cancel;
}

QString VerifyModel::primaryLabel() const {
    return working() ? QStringLiteral("Verifying…") : QStringLiteral("Verify");
}

bool VerifyModel::canVerify() const {
    return !password_.isEmpty() && !working();
}

bool VerifyModel::verify() {
    if (!canVerify())
        return false;
    resultText_.reset();
    setWorking(true);
    run(vault_, password_);
    return true;
}

QCoro::Task<> VerifyModel::run(Vault vault, QString password) {
    QPointer<VerifyModel> self(this);
    const VaultKind kind = vault.kind;
    auto checking = store().verifyVault(std::move(vault), password);
    const VerifyOutcome outcome = co_await checking;
    wipeText(password);
    if (!self)
        co_return;
    resultOK_ = outcome.ok;
    if (outcome.ok)
        resultText_ = kind == VaultKind::pocket ? QStringLiteral("Vault is healthy — every item decrypted and checked.")
                                                : QStringLiteral("Vault is healthy — filesystem check passed.");
    else
        resultText_ = outcome.wrongPassword ? SheetTexts::wrongPassword : outcome.text;
    setWorking(false);
    emit changed();
}

// ---- delete ----

DeleteModel::DeleteModel(SheetServices services, Vault vault, QObject* parent)
    : VaultPasswordModel(services, std::move(vault), parent) {}

void DeleteModel::opened() {
    prefillPassword(QStringLiteral("delete"));
}

QString DeleteModel::title() const {
    return QStringLiteral("Move “%1” to Trash").arg(vault_.name);
}

QString DeleteModel::subtitle() {
    return QStringLiteral("The vault password is required to delete it");
}

QString DeleteModel::warning() {
    return QStringLiteral("The vault and everything inside it will be moved to the Trash — recoverable until the "
                          "Trash is emptied, and encrypted the whole time. Its saved password is removed from your ") +
           glossary::keyring + QStringLiteral(".");
}

QString DeleteModel::primaryLabel() const {
    return working() ? QStringLiteral("Deleting…") : QStringLiteral("Move to Trash");
}

bool DeleteModel::canDelete() const {
    return !password_.isEmpty() && !working();
}

bool DeleteModel::deleteVault() {
    if (!canDelete())
        return false;
    errorText_.reset();
    setWorking(true);
    run(vault_, password_);
    return true;
}

QCoro::Task<> DeleteModel::run(Vault vault, QString password) {
    QPointer<DeleteModel> self(this);
    VaultStore& vaults = store();
    std::optional<QString> refused;
    try {
        auto checking = vaults.verifyPassword(vault, password);
        co_await checking;
    } catch (const DiskImageError& e) {
        refused = e.isBadPassword() ? QStringLiteral("Wrong password — the vault was not deleted.") : e.message();
    } catch (const std::exception& e) {
        refused = describeError(e);
    }
    wipeText(password);
    if (refused) {
        if (!self)
            co_return;
        errorText_ = refused;
        setWorking(false);
        emit changed();
        co_return;
    }

    // The password was right: the deletion goes on even when the sheet was closed meanwhile.
    auto deleting = vaults.deleteVault(std::move(vault));
    const StoreOutcome outcome = co_await deleting;
    if (!self)
        co_return;
    setWorking(false);
    if (outcome.ok) {
        emit closeRequested();
        co_return;
    }
    errorText_ = outcome.message;
    emit changed();
}

} // namespace larkhold
