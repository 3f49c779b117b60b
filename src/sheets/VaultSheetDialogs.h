#pragma once

#include "ChangeSheetModels.h"
#include "CheckSheetModels.h"
#include "CreateVaultModel.h"
#include "SheetDialog.h"
#include "UnlockModel.h"

#include <QPointer>

class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;

namespace larkhold {

class PasswordStrengthView;
class SegmentedControl;
class VaultSizeField;

// "New Vault".
class CreateVaultSheet : public SheetDialog {
    Q_OBJECT

public:
    CreateVaultSheet(SheetServices services, QWidget* parent);
    CreateVaultModel& form() const { return *model_; }
    // The folder chooser while it is open (it is opened with open(), never exec()).
    QFileDialog* folderChooser() const;

protected:
    void primaryAction() override { model_->create(); }

private:
    void chooseDirectory();

    CreateVaultModel* model_;
    VaultSizeField* sizeField_ = nullptr;
    QPointer<QFileDialog> chooser_;
};

// The password prompt: as a sheet over the main window, or as the standalone unlock window, which
// has no alert to lean on and shows what went wrong itself.
class UnlockSheet : public SheetDialog {
    Q_OBJECT

public:
    enum class Host { sheet, window };
    UnlockSheet(SheetServices services, const Vault& vault, Host host, QWidget* parent);
    UnlockModel& form() const { return *model_; }
    Host host() const { return host_; }

protected:
    void primaryAction() override { model_->unlock(); }

private:
    UnlockModel* model_;
    Host host_;
};

class ResizeSheet : public SheetDialog {
    Q_OBJECT

public:
    ResizeSheet(SheetServices services, const Vault& vault, QWidget* parent);
    ResizeModel& form() const { return *model_; }
    VaultSizeField* sizeField() const { return sizeField_; }

protected:
    void primaryAction() override { model_->resize(); }

private:
    ResizeModel* model_;
    VaultSizeField* sizeField_;
};

class RenameSheet : public SheetDialog {
    Q_OBJECT

public:
    RenameSheet(SheetServices services, const Vault& vault, QWidget* parent);
    RenameModel& form() const { return *model_; }

protected:
    void primaryAction() override { model_->rename(); }

private:
    RenameModel* model_;
};

class VaultSettingsSheet : public SheetDialog {
    Q_OBJECT

public:
    VaultSettingsSheet(SheetServices services, const Vault& vault, QWidget* parent);
    VaultSettingsModel& form() const { return *model_; }
    void setVisible(bool visible) override;

protected:
    void primaryAction() override { model_->save(); }

private:
    VaultSettingsModel* model_;
};

class ChangePasswordSheet : public SheetDialog {
    Q_OBJECT

public:
    ChangePasswordSheet(SheetServices services, const Vault& vault, QWidget* parent);
    ChangePasswordModel& form() const { return *model_; }
    PasswordStrengthView* meter() const { return meter_; }

protected:
    void primaryAction() override { model_->change(); }

private:
    ChangePasswordModel* model_;
    PasswordStrengthView* meter_;
};

class PasswordActionSheet : public SheetDialog {
    Q_OBJECT

public:
    PasswordActionSheet(SheetServices services, const Vault& vault, PasswordAction action, QWidget* parent);
    PasswordActionModel& form() const { return *model_; }

protected:
    void primaryAction() override { model_->run(); }

private:
    PasswordActionModel* model_;
};

class VerifySheet : public SheetDialog {
    Q_OBJECT

public:
    VerifySheet(SheetServices services, const Vault& vault, QWidget* parent);
    VerifyModel& form() const { return *model_; }

protected:
    void primaryAction() override { model_->verify(); }

private:
    VerifyModel* model_;
};

class DeleteSheet : public SheetDialog {
    Q_OBJECT

public:
    DeleteSheet(SheetServices services, const Vault& vault, QWidget* parent);
    DeleteModel& form() const { return *model_; }

protected:
    void primaryAction() override { model_->deleteVault(); }

private:
    DeleteModel* model_;
};

} // namespace larkhold
