#pragma once

#include "SecondPasswordSetup.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

class QCheckBox;
class QLabel;
class QLineEdit;

class QProgressBar;
class QVBoxLayout;

namespace larkhold {

class Defaults;
class PasswordStrengthView;
class PocketEditor;
class ProminentButton;
class QuietButton;
class ThemeLabel;

// The sheet over a Pocket window in which the vault gets a second password and the items it opens.
// Window-modal; closing it (Cancel, Escape) discards everything typed and the second item set.
class SecondPasswordDialog : public QDialog {
    Q_OBJECT

public:
    SecondPasswordDialog(PocketSession& session, PocketItems main, SecretStore& secrets, VaultStore* store,
                         PocketDocumentHost* importer, Defaults* defaults, QWidget* parent);
    ~SecondPasswordDialog() override;

    SecondPasswordSetup& setup() { return *setup_; }
    PocketEditor* editor() const { return editor_; }
    QLineEdit* passwordField() const { return password_; }
    QLineEdit* confirmField() const { return confirm_; }
    QCheckBox* rememberBox() const { return remember_; }
    ProminentButton* saveButton() const { return save_; }
    QuietButton* cancelButton() const { return cancel_; }
    PasswordStrengthView* meter() const { return meter_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* errorLabel() const { return error_; }
    QLabel* countLabel() const { return count_; }
    QProgressBar* progress() const { return progress_; }
    QMessageBox* openQuestion() const { return question_; }

    // Asks first (the other password and its items go for good), then saves.
    void confirmAndSave();
    // Lets go of everything the sheet holds; called when the vault locks under it.
    void wipe();

protected:
    void changeEvent(QEvent* event) override;

private:
    void refresh();
    void rebuildChecks();

    SecondPasswordSetup* setup_;
    QLineEdit* password_ = nullptr;
    QLineEdit* confirm_ = nullptr;
    PasswordStrengthView* meter_ = nullptr;
    QLabel* message_ = nullptr;
    QCheckBox* remember_ = nullptr;
    QLabel* count_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QWidget* checkRowsHost_ = nullptr;
    QVBoxLayout* checkRows_ = nullptr;
    PocketEditor* editor_ = nullptr;
    ThemeLabel* usage_ = nullptr;
    QLabel* error_ = nullptr;
    QuietButton* cancel_ = nullptr;
    ProminentButton* save_ = nullptr;
    QPointer<QMessageBox> question_;
    std::vector<DecoyChecklist::Check> shownChecks_;
};

} // namespace larkhold
