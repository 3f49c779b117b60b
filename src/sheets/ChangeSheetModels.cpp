#include "ChangeSheetModels.h"

#include "SecretStore.h"
#include "SheetRules.h"
#include "SheetTexts.h"
#include "VaultStore.h"

#include <QLocale>
#include <QPointer>

namespace larkhold {

// ---- resize ----

ResizeModel::ResizeModel(SheetServices services, Vault vault, QObject* parent)
    : VaultPasswordModel(services, std::move(vault), parent), newSizeMB_(vault_.maxSizeMB) {
    connect(&store(), &VaultStore::vaultStateChanged, this, [this](const QUuid& id) {
        if (id == vault_.id)
            emit changed();
    });
}

void ResizeModel::opened() {
    prefillPassword(QStringLiteral("resize"));
}

qint64 ResizeModel::minimumMB() const {
    const auto& sizes = store().sizesOnDisk();
    const auto found = sizes.constFind(vault_.id);
    return minimumLimitMB(found == sizes.cend() ? std::nullopt : std::optional<qint64>(*found));
}

qint64 ResizeModel::usedBytes() const {
    return store().sizesOnDisk().value(vault_.id, 0);
}

QString ResizeModel::subtitle() const {
    return QStringLiteral("“%1” can currently grow up to %2").arg(vault_.name, formatLimitMB(vault_.maxSizeMB));
}

QString ResizeModel::usageCaption() const {
    const QString used = formatFileSize(usedBytes());
    return QStringLiteral("Files inside currently use %1 — the limit can be raised anytime, or lowered down to "
                          "that amount.")
        .arg(used);
}

std::optional<QString> ResizeModel::validationMessage() const {
    if (newSizeMB_ < minimumMB() && newSizeMB_ != vault_.maxSizeMB)
        return SheetTexts::limitBelowUse;
    return std::nullopt;
}

QString ResizeModel::primaryLabel() const {
    return working() ? QStringLiteral("Resizing…") : QStringLiteral("Resize");
}

bool ResizeModel::canResize() const {
    return !password_.isEmpty() && !working() && newSizeMB_ != vault_.maxSizeMB && newSizeMB_ >= minimumMB();
}

bool ResizeModel::resize() {
    if (!canResize())
        return false;
    setWorking(true);
    closeOnSuccess(store().resize(vault_, newSizeMB_, password_), password_);
    return true;
}

// ---- rename ----

RenameModel::RenameModel(SheetServices services, Vault vault, QObject* parent)
    : VaultPasswordModel(services, std::move(vault), parent), newName_(vault_.name) {}

void RenameModel::opened() {
    if (needsPassword())
        prefillPassword(QStringLiteral("rename"));
}

QString RenameModel::title() const {
    return QStringLiteral("Rename “%1”").arg(vault_.name);
}

QString RenameModel::subtitle() const {
    return needsPassword()
               ? QStringLiteral("Renames the vault file and the folder shown ") + SheetTexts::inTheFileManager
               : QStringLiteral("Renames the vault file");
}

QString RenameModel::primaryLabel() const {
    return working() ? QStringLiteral("Renaming…") : QStringLiteral("Rename");
}

bool RenameModel::canRename() const {
    const QString name = trimmedVaultName(newName_);
    return !name.isEmpty() && !sameText(name, vault_.name) && !vaultNameProblem(name) &&
           (!needsPassword() || !password_.isEmpty()) && !working();
}

bool RenameModel::rename() {
    if (!canRename())
        return false;
    setWorking(true);
    const QString password = needsPassword() ? password_ : QString();
    closeOnSuccess(store().rename(vault_, trimmedVaultName(newName_), password), password);
    return true;
}

// ---- vault settings ----

VaultSettingsModel::VaultSettingsModel(SheetServices services, Vault vault, QObject* parent)
    : SheetModel(services, parent), vault_(std::move(vault)), requireTouchID_(vault_.requireTouchID),
      openInFinder_(vault_.openInFinderAfterUnlock), autoOpen_(vault_.autoOpenAtLaunch),
      passwordHint_(vault_.passwordHint.value_or(QString())) {}

VaultSettingsModel::~VaultSettingsModel() {
    if (savedPassword_)
        wipeText(*savedPassword_);
}

void VaultSettingsModel::opened() {
    // Read once: the captions and the hint rule go by it for as long as the sheet is open. Until the
    // keyring has answered, the hint cannot be checked against it, so nothing is saved yet and the caption
    // says what is waited for. A keyring that did not answer in time leaves that unknown: the settings can
    // be saved, and the caption says so.
    lookUpSavedPassword(vault_.id, [this](SecretStore::Lookup found) {
        savedPassword_ = std::move(found.password);
        keyringSilent_ = found.outcome == SecretStore::Lookup::Outcome::noAnswer;
        passwordRead_ = true;
        emit changed();
    });
}

QString VaultSettingsModel::title() const {
    return QStringLiteral("Settings for “%1”").arg(vault_.name);
}

QString VaultSettingsModel::subtitle() {
    return QStringLiteral("Only available while the vault is unlocked");
}

QString VaultSettingsModel::requireTouchIDLabel() {
    return QStringLiteral("Require ") + glossary::ownerCheck + QStringLiteral(" to unlock");
}

QString VaultSettingsModel::openInFinderLabel() {
    return glossary::revealInFileManager + QStringLiteral(" after unlocking");
}

QString VaultSettingsModel::autoOpenLabel() {
    return QStringLiteral("Unlock automatically when Larkhold starts");
}

QString VaultSettingsModel::touchIDCaption() const {
    if (askingKeyring())
        return QStringLiteral("Asking your ") + glossary::keyring +
               QStringLiteral(" whether a password is saved for this vault…");
    if (keyringSilent_)
        return QStringLiteral("Your ") + glossary::keyring +
               QStringLiteral(" did not answer in time, so whether a password is saved for this vault is not "
                              "known.");
    if (!hasSavedPassword())
        return QStringLiteral("This vault has no saved password yet — ") + glossary::ownerCheck +
               QStringLiteral(" applies once you save one while unlocking.");
    return QStringLiteral("Before the saved password is used, %1 (such as your %2 login password) is required. "
                          "Someone at your unlocked %2 can’t open this vault.")
        .arg(glossary::ownerCheck, glossary::computer);
}

std::optional<QString> VaultSettingsModel::autoOpenWarning() const {
    if (!autoOpen_ || hasSavedPassword() || askingKeyring() || keyringSilent_)
        return std::nullopt;
    return QStringLiteral("Needs the password saved in your ") + glossary::keyring +
           QStringLiteral(" — otherwise you’ll be asked at every start.");
}

std::optional<QString> VaultSettingsModel::hintMessage() const {
    return passwordHintValidationMessage(passwordHint_, savedPassword_.value_or(QString()));
}

bool VaultSettingsModel::save() {
    if (!canSave())
        return false;
    store().modifyVault(vault_.id, [this](Vault& record) {
        record.requireTouchID = requireTouchID_;
        record.openInFinderAfterUnlock = openInFinder_;
        record.autoOpenAtLaunch = autoOpen_;
    });
    store().updatePasswordHint(vault_, normalizedPasswordHint(passwordHint_));
    emit closeRequested();
    return true;
}

// ---- change password ----

ChangePasswordModel::ChangePasswordModel(SheetServices services, Vault vault, QObject* parent)
    : SheetModel(services, parent), vault_(std::move(vault)), passwordHint_(vault_.passwordHint.value_or(QString())) {}

ChangePasswordModel::~ChangePasswordModel() {
    wipeText(oldPassword_);
    wipeText(newPassword_);
    wipeText(confirmPassword_);
}

void ChangePasswordModel::opened() {
    readSavedPassword(vault_.id, [this](const std::optional<QString>& saved) {
        hasSavedPassword_ = saved.has_value();
        emit changed();
    });
    prefill(vault_, QStringLiteral("change the password of"), [this](const QString& p) { setOldPassword(p); });
}

QString ChangePasswordModel::subtitle() const {
    return QStringLiteral("New password for “%1”").arg(vault_.name);
}

std::optional<QString> ChangePasswordModel::passwordMessage() const {
    if (holdsZeroCharacter(newPassword_))
        return SheetTexts::passwordHoldsZeroCharacter;
    return std::nullopt;
}

std::optional<QString> ChangePasswordModel::hintMessage() const {
    return passwordHintValidationMessage(passwordHint_, newPassword_);
}

std::optional<QString> ChangePasswordModel::keychainCaption() const {
    if (!hasSavedPassword_)
        return std::nullopt;
    return QStringLiteral("The saved password in your ") + glossary::keyring +
           QStringLiteral(" is updated automatically.");
}

QString ChangePasswordModel::primaryLabel() const {
    return working() ? QStringLiteral("Changing…") : QStringLiteral("Change Password");
}

bool ChangePasswordModel::canChange() const {
    return !oldPassword_.isEmpty() && isUsableNewPassword(newPassword_) && sameText(newPassword_, confirmPassword_) &&
           !working() && !hintMessage();
}

bool ChangePasswordModel::change() {
    if (!canChange())
        return false;
    setWorking(true);
    run(vault_, oldPassword_, newPassword_, normalizedPasswordHint(passwordHint_));
    return true;
}

QCoro::Task<> ChangePasswordModel::run(Vault vault, QString oldPassword, QString newPassword,
                                       std::optional<QString> hint) {
    QPointer<ChangePasswordModel> self(this);
    VaultStore& vaults = store();
    auto changing = vaults.changePassword(vault, oldPassword, newPassword);
    const StoreOutcome outcome = co_await changing;
    wipeText(oldPassword);
    wipeText(newPassword);
    // The hint belongs to the new password: stored only once that is in place, also when the
    // sheet was closed meanwhile.
    if (outcome.ok)
        vaults.updatePasswordHint(vault, std::move(hint));
    if (!self)
        co_return;
    setWorking(false);
    if (outcome.ok)
        emit closeRequested();
}

// ---- password action ----

PasswordActionModel::PasswordActionModel(SheetServices services, Vault vault, PasswordAction action, QObject* parent)
    : VaultPasswordModel(services, std::move(vault), parent), action_(std::move(action)) {}

void PasswordActionModel::opened() {
    prefillPassword(QStringLiteral("modify"));
}

QString PasswordActionModel::primaryLabel() const {
    return working() ? QStringLiteral("Working…") : action_.buttonLabel;
}

bool PasswordActionModel::canRun() const {
    return !password_.isEmpty() && !working() && action_.run;
}

bool PasswordActionModel::run() {
    if (!canRun())
        return false;
    setWorking(true);
    closeOnSuccess(action_.run(password_), password_);
    return true;
}

} // namespace larkhold
