#pragma once

#include "Vault.h"

#include <QCoroTask>
#include <QList>
#include <QPointer>
#include <QSize>
#include <QUuid>
#include <QWidget>

class QLabel;

namespace larkhold {

class CapacityBar;
class Defaults;
class PocketDocumentHost;
class PocketEditor;
class PocketSession;
class PocketVaultModel;
class ProminentButton;
class QuietButton;
class SecondPasswordDialog;
class SecretStore;
class ThemeLabel;
class VaultStore;
class WindowPresenter;

// What the Pocket windows work with; all of it outlives them.
struct PocketWindowDeps {
    VaultStore* store = nullptr;
    SecretStore* secrets = nullptr;
    Defaults* defaults = nullptr;
    // Turns files into items for the second password's own item set.
    PocketDocumentHost* importer = nullptr;
    // Puts a window on the desktop the user is looking at; may be null.
    WindowPresenter* presenter = nullptr;
};

// The window of one open Pocket Vault: its name and Lock button, a warning when a sync service
// keeps copies of it, the item editor, and the used capacity with the save state. Closing it locks
// the vault; it goes away when the lock has saved and closed the vault.
class PocketWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr QSize kDefaultSize{780, 520};
    static constexpr QSize kMinimumSize{640, 420};
    static constexpr QSize kSecondPasswordSize{1020, 720};

    PocketWindow(PocketSession& session, const Vault& vault, PocketWindowDeps deps, QWidget* parent = nullptr);
    ~PocketWindow() override;

    QUuid vaultID() const { return vaultID_; }
    PocketVaultModel& model() { return *model_; }
    PocketEditor* editor() const { return editor_; }
    ProminentButton* lockButton() const { return lock_; }
    QLabel* bannerLabel() const { return bannerText_; }
    QWidget* banner() const { return banner_; }
    ThemeLabel* usageLabel() const { return usage_; }
    ThemeLabel* saveStateLabel() const { return saveState_; }
    QuietButton* saveCopyButton() const { return saveCopy_; }
    CapacityBar* capacityBar() const { return bar_; }
    SecondPasswordDialog* secondPasswordDialog() const;

    // Opens the second password setup when the session asks for it.
    void takeSecondPasswordRequest();
    // Lets go of every decrypted copy the window holds; the vault is locking.
    void wipe();
    // Closes without locking: the vault is locked already.
    void closeForGood();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void lockVault();
    QCoro::Task<> lockAndReport();
    // Locks the vault once the copy is written, when `thenLock`.
    QCoro::Task<> saveCopyTo(QString path, bool thenLock = false);
    // The vault's file changed elsewhere and no copy holds the edits: the one alert that says what to do.
    void askHowToKeepEdits();
    void openSecondPasswordSetup();

    PocketWindowDeps deps_;
    QPointer<PocketSession> session_;
    const QUuid vaultID_;
    PocketVaultModel* model_;
    ThemeLabel* title_ = nullptr;
    ThemeLabel* subtitle_ = nullptr;
    ProminentButton* lock_ = nullptr;
    QWidget* banner_ = nullptr;
    QWidget* bannerDivider_ = nullptr;
    QLabel* bannerText_ = nullptr;
    PocketEditor* editor_ = nullptr;
    CapacityBar* bar_ = nullptr;
    ThemeLabel* usage_ = nullptr;
    QWidget* saveIcon_ = nullptr;
    ThemeLabel* saveState_ = nullptr;
    QuietButton* saveCopy_ = nullptr;
    QPointer<SecondPasswordDialog> secondPassword_;
    bool closingForGood_ = false;
};

// One window per open Pocket Vault, found again by vault id while the vault is open. The store
// shows a vault's window when it opens and closes it when it locks.
class PocketWindows {
public:
    // Set once at start, before the first window is shown.
    static void setDependencies(PocketWindowDeps deps);

    // Brings the vault's window forward, creating it first when there is none.
    static void show(PocketSession& session, const Vault& vault);
    // Wipes and closes the vault's window; nothing when it has none.
    static void close(const QUuid& vaultID);
    // Enlarges the window so that its content is at least `size`, keeping its top edge and its
    // horizontal centre and staying on the screen; never shrinks it.
    static void growToFit(const QSize& size, const QUuid& vaultID);

    static PocketWindow* window(const QUuid& vaultID);
    static QList<QUuid> openWindows();

private:
    PocketWindows() = delete;
};

} // namespace larkhold
