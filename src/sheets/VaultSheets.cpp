#include "VaultSheets.h"

#include "VaultSheetDialogs.h"

namespace larkhold {

VaultSheets::VaultSheets(VaultStore& store, SecretStore& secrets, OwnerCheck& ownerCheck)
    : store_(store), secrets_(secrets), ownerCheck_(ownerCheck) {}

QDialog* VaultSheets::createVault(QWidget* parent) {
    return new CreateVaultSheet({&store_, &secrets_, &ownerCheck_}, parent);
}

QDialog* VaultSheets::unlock(QWidget* parent, const Vault& vault) {
    return new UnlockSheet({&store_, &secrets_, &ownerCheck_}, vault, UnlockSheet::Host::sheet, parent);
}

QDialog* VaultSheets::resize(QWidget* parent, const Vault& vault) {
    return new ResizeSheet({&store_, &secrets_, &ownerCheck_}, vault, parent);
}

QDialog* VaultSheets::rename(QWidget* parent, const Vault& vault) {
    return new RenameSheet({&store_, &secrets_, &ownerCheck_}, vault, parent);
}

QDialog* VaultSheets::vaultSettings(QWidget* parent, const Vault& vault) {
    return new VaultSettingsSheet({&store_, &secrets_, &ownerCheck_}, vault, parent);
}

QDialog* VaultSheets::changePassword(QWidget* parent, const Vault& vault) {
    return new ChangePasswordSheet({&store_, &secrets_, &ownerCheck_}, vault, parent);
}

QDialog* VaultSheets::verify(QWidget* parent, const Vault& vault) {
    return new VerifySheet({&store_, &secrets_, &ownerCheck_}, vault, parent);
}

QDialog* VaultSheets::passwordAction(QWidget* parent, const Vault& vault, PasswordAction action) {
    return new PasswordActionSheet({&store_, &secrets_, &ownerCheck_}, vault, std::move(action), parent);
}

QDialog* VaultSheets::deleteVault(QWidget* parent, const Vault& vault) {
    return new DeleteSheet({&store_, &secrets_, &ownerCheck_}, vault, parent);
}

} // namespace larkhold
