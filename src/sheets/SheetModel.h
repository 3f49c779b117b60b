#pragma once

#include "SecretStore.h"
#include "SecretText.h"
#include "Vault.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <functional>

namespace larkhold {

class OwnerCheck;
class SecretStore;
class VaultStore;
struct StoreOutcome;

// What the vault sheets work with; all of it outlives every sheet.
struct SheetServices {
    VaultStore* store = nullptr;
    SecretStore* secrets = nullptr;
    OwnerCheck* ownerCheck = nullptr;
};

// The state and decisions of one vault sheet, without widgets: field values, the messages to show,
// whether the primary button is enabled, and `working` while its operation runs. The dialog binds
// its widgets to it and redraws on changed().
//
// An operation decides from its own outcome whether the sheet closes (closeRequested()); the
// store's shared error message, which other operations set and clear meanwhile, never decides it.
// The primary action runs at most once at a time: a second Return or click while `working` does
// nothing. A sheet closed while its operation runs lets the operation finish; the late result
// reaches nothing.
class SheetModel : public QObject {
    Q_OBJECT

public:
    ~SheetModel() override;

    bool working() const { return working_; }
    VaultStore& store() const { return *services_.store; }

    // What the sheet does once when it opens (reading the saved password, say); later calls do
    // nothing. The dialog calls it when it is first shown.
    void open();

signals:
    void changed();
    void closeRequested();

protected:
    SheetModel(SheetServices services, QObject* parent);

    const SheetServices& services() const { return services_; }
    void setWorking(bool working);
    // Emits changed() when `field` takes a new value.
    template <class T> void assign(T& field, const T& value) {
        if (field == value)
            return;
        field = value;
        emit changed();
    }

    virtual void opened() {}

    // Fills a password field from the vault's saved password (behind the owner check when the
    // vault asks for it), replacing whatever the field holds then. Nothing happens when nothing is
    // saved, the check is refused, or the sheet is gone by the time the answer comes. `action` is
    // what the owner check's prompt says the password is for: "resize" asks to "resize the vault
    // “Taxes”".
    void prefill(const Vault& vault, const QString& action, std::function<void(const QString&)> fill);

    // Hands the vault's saved password, or nothing, to `then` once the keyring answers (or has not
    // answered in time); `then` is not called once the sheet is gone. The sheet goes on meanwhile.
    void readSavedPassword(const QUuid& vaultId, std::function<void(std::optional<QString>)> then);
    // The same, telling a keyring that did not answer in time apart from one with no password saved.
    void lookUpSavedPassword(const QUuid& vaultId, std::function<void(SecretStore::Lookup)> then);

    // Awaits an operation after which the sheet closes when it succeeded, then wipes `password` (the
    // sheet's copy of what the operation was given). A sheet closed meanwhile is not reached.
    QCoro::Task<> closeOnSuccess(QCoro::Task<StoreOutcome> operation, QString password);

private:
    QCoro::Task<> runLookUp(QUuid vaultId, std::function<void(SecretStore::Lookup)> then);
    QCoro::Task<> runPrefill(Vault vault, QString reason, std::function<void(const QString&)> fill);

    SheetServices services_;
    bool working_ = false;
    bool opened_ = false;
};

// A sheet about one vault that asks for its password, wiped when the sheet goes.
class VaultPasswordModel : public SheetModel {
    Q_OBJECT

public:
    ~VaultPasswordModel() override;

    const Vault& vault() const { return vault_; }
    const QString& password() const { return password_; }
    void setPassword(const QString& password) { assign(password_, password); }

protected:
    VaultPasswordModel(SheetServices services, Vault vault, QObject* parent);

    // The saved password into the field, as prefill() does.
    void prefillPassword(const QString& action);

    Vault vault_;
    QString password_;
};

} // namespace larkhold
