#pragma once

#include "SheetFactory.h"
#include "SheetModel.h"

#include <QString>
#include <optional>

namespace larkhold {

// "Change Size Limit": a new limit for a standard vault and its password.
class ResizeModel : public VaultPasswordModel {
    Q_OBJECT

public:
    ResizeModel(SheetServices services, Vault vault, QObject* parent = nullptr);

    qint64 newSizeMB() const { return newSizeMB_; }
    void setNewSizeMB(qint64 sizeMB) { assign(newSizeMB_, sizeMB); }

    // The smallest limit the vault can take: what it already uses on disk, at least 16 MB. Follows
    // the store's measurements while the sheet is open.
    qint64 minimumMB() const;
    qint64 usedBytes() const;
    QString subtitle() const;
    QString usageCaption() const;
    // Shown when the chosen limit is below what the vault already holds: no tool is run for it.
    std::optional<QString> validationMessage() const;
    QString primaryLabel() const;
    bool canResize() const;
    bool resize();

protected:
    void opened() override;

private:
    qint64 newSizeMB_;
};

// Renames a locked vault: its file, its list entry and, for a standard vault, its volume.
class RenameModel : public VaultPasswordModel {
    Q_OBJECT

public:
    RenameModel(SheetServices services, Vault vault, QObject* parent = nullptr);

    const QString& newName() const { return newName_; }
    void setNewName(const QString& name) { assign(newName_, name); }

    // A Pocket Vault's name is only its file's: no password is asked for it.
    bool needsPassword() const { return vault_.kind != VaultKind::pocket; }
    QString title() const;
    QString subtitle() const;
    QString primaryLabel() const;
    bool canRename() const;
    bool rename();

protected:
    void opened() override;

private:
    QString newName_;
};

// The per-vault options: the owner check before the saved password, showing the folder after
// unlocking, unlocking at start, and the hint. Changes only the vault's record.
class VaultSettingsModel : public SheetModel {
    Q_OBJECT

public:
    VaultSettingsModel(SheetServices services, Vault vault, QObject* parent = nullptr);
    ~VaultSettingsModel() override;

    const Vault& vault() const { return vault_; }
    bool requireTouchID() const { return requireTouchID_; }
    bool openInFinder() const { return openInFinder_; }
    bool autoOpen() const { return autoOpen_; }
    const QString& passwordHint() const { return passwordHint_; }
    void setRequireTouchID(bool on) { assign(requireTouchID_, on); }
    void setOpenInFinder(bool on) { assign(openInFinder_, on); }
    void setAutoOpen(bool on) { assign(autoOpen_, on); }
    void setPasswordHint(const QString& hint) { assign(passwordHint_, hint); }

    // Whether a password is saved for the vault, as read when the sheet opened.
    bool hasSavedPassword() const { return savedPassword_.has_value(); }
    // The keyring was asked when the sheet opened and has not answered yet, or did not answer in time.
    bool askingKeyring() const { return !passwordRead_; }
    bool keyringSilent() const { return keyringSilent_; }
    QString title() const;
    static QString subtitle();
    static QString requireTouchIDLabel();
    static QString openInFinderLabel();
    static QString autoOpenLabel();
    QString touchIDCaption() const;
    bool showsOpenInFinder() const { return vault_.kind != VaultKind::pocket; }
    std::optional<QString> autoOpenWarning() const;
    std::optional<QString> hintMessage() const;
    bool canSave() const { return passwordRead_ && !hintMessage(); }
    // Writes the options and the hint and closes; false while the hint is refused.
    bool save();

protected:
    void opened() override;

private:
    Vault vault_;
    bool requireTouchID_;
    bool openInFinder_;
    bool autoOpen_;
    QString passwordHint_;
    std::optional<QString> savedPassword_;
    bool passwordRead_ = false;
    bool keyringSilent_ = false;
};

// A new password for a locked vault, and optionally a new hint stored with it.
class ChangePasswordModel : public SheetModel {
    Q_OBJECT

public:
    ChangePasswordModel(SheetServices services, Vault vault, QObject* parent = nullptr);
    ~ChangePasswordModel() override;

    const Vault& vault() const { return vault_; }
    const QString& oldPassword() const { return oldPassword_; }
    const QString& newPassword() const { return newPassword_; }
    const QString& confirmPassword() const { return confirmPassword_; }
    const QString& passwordHint() const { return passwordHint_; }
    void setOldPassword(const QString& password) { assign(oldPassword_, password); }
    void setNewPassword(const QString& password) { assign(newPassword_, password); }
    void setConfirmPassword(const QString& password) { assign(confirmPassword_, password); }
    void setPasswordHint(const QString& hint) { assign(passwordHint_, hint); }

    QString subtitle() const;
    // What is wrong with the new password beyond its length (which only keeps the button disabled).
    std::optional<QString> passwordMessage() const;
    std::optional<QString> hintMessage() const;
    // Shown when a saved password (read when the sheet opened) will follow the change.
    std::optional<QString> keychainCaption() const;
    QString primaryLabel() const;
    bool canChange() const;
    bool change();

protected:
    void opened() override;

private:
    QCoro::Task<> run(Vault vault, QString oldPassword, QString newPassword, std::optional<QString> hint);

    Vault vault_;
    QString oldPassword_;
    QString newPassword_;
    QString confirmPassword_;
    QString passwordHint_;
    bool hasSavedPassword_ = false;
};

// Asks for a vault's password and runs one operation with it ("Reclaim Free Space").
class PasswordActionModel : public VaultPasswordModel {
    Q_OBJECT

public:
    PasswordActionModel(SheetServices services, Vault vault, PasswordAction action, QObject* parent = nullptr);

    const PasswordAction& action() const { return action_; }

    QString primaryLabel() const;
    bool canRun() const;
    bool run();

protected:
    void opened() override;

private:
    PasswordAction action_;
};

} // namespace larkhold
