#pragma once

#include "Vault.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace larkhold {

// What reading the vault list gave.
struct VaultListLoad {
    QList<Vault> vaults;
    // Empty when the list was read or there was no list yet. Otherwise a message for the user:
    // the file could not be read and was set aside (or, failing that, is now protected from
    // being overwritten).
    QString problem;
};

// The vault list file "vaults.json" in the application's data folder.
class VaultList {
public:
    static constexpr const char* kFileName = "vaults.json";
    static constexpr const char* kFolderName = "Larkhold";
    static constexpr const char* kPredecessorFolderName = "TarnFolder";

    // The data folder the application uses: the generic data location plus "Larkhold".
    static QString defaultFolder();

    explicit VaultList(QString folder = defaultFolder());

    QString folder() const { return folder_; }
    QString filePath() const;

    // Adopts the predecessor's folder when ours does not exist yet, creates the folder and reads
    // the file. A file that cannot be read as a whole is never overwritten later: it is moved
    // aside as "vaults.json.unreadable-<UTC time>" and the list starts empty.
    VaultListLoad load();
    // The first half of load(): the predecessor's folder adopted, or the folder created, owner only.
    void prepareFolder() const;

    // Writes the whole list atomically. Returns a message for the user when it could not be
    // written; the previous file then stays as it was.
    [[nodiscard]] std::optional<QString> save(const QList<Vault>& vaults) const;

    // Pretty-printed JSON array with sorted keys.
    static QByteArray encode(const QList<Vault>& vaults);
    // The whole array or nothing: one bad record fails it, `whyNot` then says which.
    static std::optional<QList<Vault>> decode(const QByteArray& data, QString* whyNot = nullptr);

private:
    void adoptPredecessorFolder() const;
    QString setAside(const QString& reason);

    QString folder_;
    // Set when an unreadable file could not be moved aside; saving would destroy it.
    QString saveBlockedReason_;
};

} // namespace larkhold
