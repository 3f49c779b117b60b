#pragma once

#include <QMainWindow>

namespace larkhold {

class Defaults;
class OwnerCheck;
class SecretStore;
class SheetFactory;
class VaultStore;

// What the main window works with; all of it outlives the window.
struct HomeDeps {
    VaultStore* store = nullptr;
    Defaults* defaults = nullptr;
    SheetFactory* sheets = nullptr;
    OwnerCheck* ownerCheck = nullptr;
    SecretStore* secrets = nullptr;
};

// The window with id "main": the vaults in the chosen home design, the vault sheets and the alerts.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(HomeDeps deps, QWidget* parent = nullptr);
    ~MainWindow() override;

private:
    HomeDeps deps_;
};

} // namespace larkhold
