#pragma once

#include "Vault.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <functional>

namespace larkhold {

class OwnerCheck;
class SecretStore;
class VaultStore;

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
    // saved, the check is refused, or the sheet is gone by the time the answer comes.
    void prefill(const Vault& vault, const QString& reason, std::function<void(const QString&)> fill);

private:
    QCoro::Task<> runPrefill(Vault vault, QString reason, std::function<void(const QString&)> fill);

    SheetServices services_;
    bool working_ = false;
    bool opened_ = false;
};

// Drops a secret text's characters from memory as far as a QString allows: its own buffer is
// overwritten when it holds the only reference.
void wipeText(QString& text);

} // namespace larkhold
