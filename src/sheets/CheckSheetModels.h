#pragma once

#include "SheetModel.h"

#include <QString>
#include <optional>

namespace larkhold {

// Checks a vault for damage with its password and shows the result in place; never closes itself.
class VerifyModel : public VaultPasswordModel {
    Q_OBJECT

public:
    VerifyModel(SheetServices services, Vault vault, QObject* parent = nullptr);

    QString title() const;
    QString subtitle() const;
    QString caption() const;
    // The last check's message; nothing until a check ends and while the next one runs.
    const std::optional<QString>& resultText() const { return resultText_; }
    bool resultOK() const { return resultOK_; }
    QString closeLabel() const;
    QString primaryLabel() const;
    bool canVerify() const;
    bool verify();

protected:
    void opened() override;

private:
    QCoro::Task<> run(Vault vault, QString password);

    std::optional<QString> resultText_;
    bool resultOK_ = false;
};

// Moves a vault file to the Trash once its password is proved, and forgets the vault.
class DeleteModel : public VaultPasswordModel {
    Q_OBJECT

public:
    DeleteModel(SheetServices services, Vault vault, QObject* parent = nullptr);

    QString title() const;
    static QString subtitle();
    static QString warning();
    // Why the last attempt deleted nothing: a wrong password, a failed check, or a vault that
    // would not lock or move (then it is still listed and its file in place).
    const std::optional<QString>& errorText() const { return errorText_; }
    QString primaryLabel() const;
    bool canDelete() const;
    bool deleteVault();

protected:
    void opened() override;

private:
    QCoro::Task<> run(Vault vault, QString password);

    std::optional<QString> errorText_;
};

} // namespace larkhold
