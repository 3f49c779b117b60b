#pragma once

#include "Vault.h"
#include "VaultStore.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

class PocketSession;
class VaultStore;

// The warning a Pocket window shows when copies of the vault file are kept by a sync service, or
// nothing. `homeFolder` stands in for the user's home in tests.
std::optional<QString> pocketCopiesWarning(const Vault& vault, const QString& homeFolder = {});

// What a Pocket Vault's window shows around its editor: the header, the sync warning, the used
// capacity and the save state, and whether the vault can be edited right now.
class PocketVaultModel : public QObject {
    Q_OBJECT

public:
    struct SaveState {
        QString text;
        bool failed = false;
    };

    PocketVaultModel(VaultStore& store, PocketSession& session, QUuid vaultID, QObject* parent = nullptr);

    QUuid vaultID() const { return vaultID_; }
    // The vault's record, when the list still holds it.
    std::optional<Vault> vault() const;

    QString title() const;
    QString subtitle() const;
    std::optional<QString> banner() const;
    std::int64_t usedBytes() const;
    double usedFraction() const;
    QString usageText() const;
    SaveState saveState() const;
    // After a save found the file changed elsewhere: the edits can be kept in a copy.
    bool offersCopy() const;
    QString proposedCopyName() const;
    bool canLock() const;
    // False while the store works on the vault: in particular while locking saves it a last time.
    bool editable() const;

    // Locks as the close box does: saves first, and stays open when that save fails.
    QCoro::Task<StoreOutcome> lock();

    void setHomeFolder(const QString& folder);

signals:
    void changed();

private:
    QPointer<VaultStore> store_;
    QPointer<PocketSession> session_;
    const QUuid vaultID_;
    QString homeFolder_;
    // The copies warning, found off the GUI thread for the vault's file as last looked at: the file
    // may be on a share that stopped answering.
    void lookAtPlace();
    std::optional<QString> banner_;
    std::optional<std::pair<QString, bool>> placeLookedAt_; // path, kept out of cloud sync
    quint64 placeLooks_ = 0;
};

} // namespace larkhold
