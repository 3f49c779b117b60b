#pragma once

#include "SheetFactory.h"

namespace larkhold {

class OwnerCheck;
class SecretStore;
class VaultStore;

// The vault sheets the main window opens: each call builds a new window-modal dialog over `parent`,
// not yet shown, that deletes itself once closed.
class VaultSheets : public SheetFactory {
public:
    VaultSheets(VaultStore& store, SecretStore& secrets, OwnerCheck& ownerCheck);

    QDialog* createVault(QWidget* parent) override;
    QDialog* unlock(QWidget* parent, const Vault& vault) override;
    QDialog* resize(QWidget* parent, const Vault& vault) override;
    QDialog* rename(QWidget* parent, const Vault& vault) override;
    QDialog* vaultSettings(QWidget* parent, const Vault& vault) override;
    QDialog* changePassword(QWidget* parent, const Vault& vault) override;
    QDialog* verify(QWidget* parent, const Vault& vault) override;
    QDialog* passwordAction(QWidget* parent, const Vault& vault, PasswordAction action) override;
    QDialog* deleteVault(QWidget* parent, const Vault& vault) override;

private:
    VaultStore& store_;
    SecretStore& secrets_;
    OwnerCheck& ownerCheck_;
};

} // namespace larkhold
