#pragma once

#include "Vault.h"
#include "VaultStore.h"

#include <QCoroTask>
#include <QString>
#include <functional>

class QDialog;
class QWidget;

namespace larkhold {

// The password-confirmed operation of the generic password sheet ("Reclaim Free Space").
struct PasswordAction {
    QString title;
    QString caption;
    QString buttonLabel;
    // Runs the operation with the typed password; the sheet closes when it succeeds. The task holds
    // what it needs: the sheet, and this function with it, may be gone before it ends.
    std::function<QCoro::Task<StoreOutcome>(QString password)> run;
};

// Builds the vault sheets the main window hosts. The sheets live in a library above the home screens,
// so the main window only knows this interface; the application hands it the real one, tests a fake.
//
// Each call returns a new window-modal dialog parented to `parent`, not yet shown, that deletes itself
// once closed. The main window opens it with open() and learns that it ended from finished().
class SheetFactory {
public:
    virtual ~SheetFactory() = default;

    virtual QDialog* createVault(QWidget* parent) = 0;
    // The password prompt for the store's passwordPromptVault(); closes itself after a successful unlock.
    virtual QDialog* unlock(QWidget* parent, const Vault& vault) = 0;
    virtual QDialog* resize(QWidget* parent, const Vault& vault) = 0;
    virtual QDialog* rename(QWidget* parent, const Vault& vault) = 0;
    virtual QDialog* vaultSettings(QWidget* parent, const Vault& vault) = 0;
    virtual QDialog* changePassword(QWidget* parent, const Vault& vault) = 0;
    virtual QDialog* verify(QWidget* parent, const Vault& vault) = 0;
    virtual QDialog* passwordAction(QWidget* parent, const Vault& vault, PasswordAction action) = 0;
    virtual QDialog* deleteVault(QWidget* parent, const Vault& vault) = 0;

protected:
    SheetFactory() = default;
    SheetFactory(const SheetFactory&) = default;
    SheetFactory& operator=(const SheetFactory&) = default;
};

} // namespace larkhold
