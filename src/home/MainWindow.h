#pragma once

#include "Dialogs.h"
#include "HomeContext.h"
#include "HomeModels.h"
#include "VaultActions.h"

#include <QCoroTask>
#include <QDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QQueue>
#include <functional>
#include <optional>

namespace larkhold {

class Defaults;
class OwnerCheck;
class SecretStore;
class SheetFactory;
class VaultStatusCache;
class VaultStore;

// What the main window works with; all of it outlives the window.
struct HomeDeps {
    VaultStore* store = nullptr;
    Defaults* defaults = nullptr;
    SheetFactory* sheets = nullptr;
    OwnerCheck* ownerCheck = nullptr;
    SecretStore* secrets = nullptr;
    // Refresh the store and open the vaults marked for it when the window shows (off in tests that
    // drive the store themselves).
    bool refreshOnShow = true;
};

// The window with id "main": the vaults in the chosen home design, the vault sheets and the alerts.
//
// It holds the design the setting "appTheme" names (sizes and colour scheme with it), builds the
// one action table every design acts through, and hosts what those actions open: one sheet at a
// time, the remove-from-list question and the store's error messages.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(HomeDeps deps, QWidget* parent = nullptr);
    ~MainWindow() override;

    const VaultActions& actions() const { return actions_; }
    const HomeContext& context() const { return context_; }
    VaultStatusCache& statusCache() const { return *status_; }
    const HomeDesignSpec& designSpec() const { return spec_; }
    // The design widget now shown.
    QWidget* design() const { return design_; }

    // The widget of each design; the designs that are not built yet show the Classic one.
    static QWidget* createDesign(AppTheme design, const HomeContext& context, QWidget* parent);

    // The sheet on screen, if any, and how many wait behind it.
    QDialog* currentSheet() const { return sheet_; }
    int queuedSheets() const { return int(queue_.size()); }

    // The two alerts of the window, for tests and screens.
    static AlertSpec removeAlert(const Vault& vault);
    static AlertSpec errorAlert(const QString& message);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct PendingSheet {
        std::function<QDialog*(QWidget* parent)> make;
        // Asked when the sheet's turn comes; false drops it.
        std::function<bool()> stillWanted;
        std::function<void()> closed;
        // The New Vault sheet: there is only ever one, shown or waiting.
        bool create = false;
    };

    VaultActions buildActions();
    void applyDesign();
    void applyTargetSize();
    void presentSheet(PendingSheet sheet);
    void showNextSheet();
    void placeSheet();
    // Where an alert goes: over the sheet while one is shown, else over the window while it is shown.
    QWidget* alertParent();
    void showErrorIfAny();
    void showPasswordPrompt();
    void takeNewVaultRequest();
    void confirmRemove(const Vault& vault);
    void openCreateSheet();

    QCoro::Task<> startTask();
    QCoro::Task<> forgetTask(Vault vault);
    QCoro::Task<> trashTask(Vault vault);

    HomeDeps deps_;
    VaultStatusCache* status_;
    VaultActions actions_;
    HomeContext context_;
    HomeDesignSpec spec_;
    std::optional<AppTheme> shownDesign_;
    QWidget* design_ = nullptr;
    std::optional<QSize> appliedTarget_;

    QQueue<PendingSheet> queue_;
    QPointer<QDialog> sheet_;
    bool sheetIsCreate_ = false;
    std::optional<QUuid> promptShownFor_;
    QPointer<QMessageBox> errorAlert_;
    bool starting_ = false;
};

} // namespace larkhold
