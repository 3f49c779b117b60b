#pragma once

#include "ImportModel.h"

#include <QList>
#include <QUrl>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;

namespace larkhold {

class ProminentButton;
class QuietButton;

// The Add to Vault window: files handed to the application (the desktop's "Add to Larkhold Vault"
// action, a second start with files) go into the vault the user picks, unlocked first when needed.
// At most one exists; each showing replaces the one before with a fresh window.
class ImportWindow : public QWidget {
    Q_OBJECT

public:
    // Set once at start, before the first window is shown.
    static void setDependencies(ImportDeps deps);
    static void show(const QList<QUrl>& files);
    // The window shown now, if any.
    static ImportWindow* current();

    ImportModel& model() { return *model_; }
    QComboBox* vaultPicker() const { return picker_; }
    QLineEdit* passwordField() const { return password_; }
    QuietButton* cancelButton() const { return cancel_; }
    QuietButton* moveButton() const { return move_; }
    ProminentButton* copyButton() const { return copy_; }
    QWidget* resultRow() const { return resultRow_; }
    QLabel* resultLabel() const { return result_; }
    QLabel* remarksLabel() const { return remarks_; }
    QLabel* errorLabel() const { return error_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    ImportWindow(ImportDeps deps, const QList<QUrl>& files);

    void refresh();
    void start(bool moveOriginals);

    ImportModel* model_;
    QComboBox* picker_ = nullptr;
    QLineEdit* password_ = nullptr;
    QWidget* resultRow_ = nullptr;
    QLabel* tick_ = nullptr;
    QLabel* result_ = nullptr;
    QLabel* remarks_ = nullptr;
    QLabel* error_ = nullptr;
    QuietButton* cancel_ = nullptr;
    QuietButton* move_ = nullptr;
    ProminentButton* copy_ = nullptr;
    bool refreshing_ = false;
};

} // namespace larkhold
