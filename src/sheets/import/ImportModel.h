#pragma once

#include "Vault.h"
#include "VaultFileCopy.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <chrono>
#include <optional>

namespace larkhold {

class Defaults;
class SecretStore;
class VaultStore;
class WindowPresenter;

// What the Add to Vault window works with; all of it outlives the window.
struct ImportDeps {
    VaultStore* store = nullptr;
    SecretStore* secrets = nullptr;
    Defaults* defaults = nullptr;
    // The desktop's trash unless a test puts its own.
    TrashFunction trash = moveToTrash;
    // How long the result of a clean import stays on screen before the window closes.
    std::chrono::milliseconds closeDelay{1200};
    // A standard vault's volume is the root of a mount, and the copy checks that before each file;
    // tests whose stand-in volumes are plain folders turn the check off.
    bool volumesAreMounts = true;
    // Puts the window on the desktop the user is looking at; may be null.
    WindowPresenter* presenter = nullptr;
};

// Why each file handed over must not go into a vault, in their order, naming it: it is a vault
// itself, an unlocked vault's volume, or a folder holding one. Nothing for a file that may go in.
// Looks at names and the store's vaults only; the folders' contents are looked through when they
// are copied. Links are resolved off the GUI thread, each path on its own; a path whose disk has not
// answered within `deadline` is compared as written.
QCoro::Task<QList<std::optional<QString>>> importRefusals(QStringList paths, const VaultStore& store,
                                                          std::chrono::milliseconds deadline);

// The Add to Vault window without its widgets: the chosen vault, the password when one must be
// typed, and the import itself.
//
// Every outcome is shown here, in the window: an unlock that failed, files a vault refused,
// originals that were kept, a failed save. A clean import shows its result and then asks for the
// window to close (closeRequested); one with anything to read stays open until closed.
class ImportModel : public QObject {
    Q_OBJECT

public:
    ImportModel(ImportDeps deps, const QList<QUrl>& files, QObject* parent = nullptr);
    ~ImportModel() override;

    // The local files handed over, in their order; other URLs are dropped.
    const QStringList& files() const { return files_; }

    QString title() const;
    static QString subtitle();

    QList<Vault> vaults() const;
    const std::optional<QUuid>& selectedVaultID() const { return selectedVaultID_; }
    void setSelectedVaultID(std::optional<QUuid> id);
    // The first vault of the list, or none; the window does this when it is shown.
    void selectFirstVault();
    std::optional<Vault> selectedVault() const;

    bool needsPassword() const;
    const QString& password() const { return password_; }
    void setPassword(const QString& password);

    bool working() const { return working_; }
    // An import ran and left something to read; nothing more is imported from this window.
    bool finished() const { return finished_; }
    bool canRun() const;

    QString moveButtonLabel() const;
    QString copyButtonLabel() const;
    QString cancelButtonLabel() const;

    // The green result line.
    const std::optional<QString>& resultMessage() const { return resultMessage_; }
    // Lines for the user about single files: refused ones, originals kept in place, originals the
    // trash would not take.
    const QStringList& remarks() const { return remarks_; }
    // Why the import stopped.
    const std::optional<QString>& errorText() const { return errorText_; }

    QCoro::Task<> run(bool moveOriginals);

signals:
    void changed();
    void closeRequested();

private:
    struct Outcome {
        std::optional<QString> result;
        QStringList remarks;
        std::optional<QString> error;
        // Something went into the vault: this window imports no more.
        bool finished = false;
    };

    QCoro::Task<bool> unlockIfNeeded(Vault vault);
    QCoro::Task<Outcome> importIntoPocket(Vault vault, QStringList files, bool moveOriginals);
    QCoro::Task<Outcome> importIntoFolder(Vault vault, QString mountPoint, QStringList files, bool moveOriginals);
    // The store's message for a failure it just reported, taken over into this window.
    std::optional<QString> takeStoreError();
    void finish(Outcome outcome);
    void refreshSavedPassword();
    QCoro::Task<> readSavedPassword(QUuid vaultId, quint64 read);

    ImportDeps deps_;
    QPointer<VaultStore> store_;
    QStringList files_;
    std::optional<QUuid> selectedVaultID_;
    bool hasSavedPassword_ = false;
    quint64 savedPasswordReads_ = 0;
    // The saved password did not open the vault: it must be typed here.
    bool passwordRequired_ = false;
    QString password_;
    bool working_ = false;
    bool finished_ = false;
    std::optional<QString> resultMessage_;
    QStringList remarks_;
    std::optional<QString> errorText_;
    QTimer closeTimer_;
};

} // namespace larkhold
