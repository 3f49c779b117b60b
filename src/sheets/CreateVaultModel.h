#pragma once

#include "SheetModel.h"
#include "VaultStore.h"

#include <QString>
#include <array>
#include <optional>

namespace larkhold {

// The "New Vault" sheet: one form for a standard vault (a growable disk image with a size limit)
// and a Pocket Vault (a small file of fixed capacity). The store does the creating; this decides
// what the form shows and when "Create Vault" may be pressed.
class CreateVaultModel : public SheetModel {
    Q_OBJECT

public:
    static constexpr std::array<int, 4> kPocketSizesMB{1, 5, 25, 50};
    // The most one imported file may take in a Pocket Vault.
    static constexpr qint64 kPocketFileLimit = 5'242'880;

    explicit CreateVaultModel(SheetServices services, QObject* parent = nullptr);
    ~CreateVaultModel() override;

    VaultKind kind() const { return kind_; }
    const QString& name() const { return name_; }
    const QString& directory() const { return directory_; }
    qint64 maxSizeMB() const { return maxSizeMB_; }
    int pocketSizeMB() const { return pocketSizeMB_; }
    const QString& password() const { return password_; }
    const QString& confirmPassword() const { return confirmPassword_; }
    const QString& passwordHint() const { return passwordHint_; }
    bool saveToKeychain() const { return saveToKeychain_; }
    bool excludeFromCloud() const { return excludeFromCloud_; }

    void setKind(VaultKind kind) { assign(kind_, kind); }
    void setName(const QString& name) { assign(name_, name); }
    // The folder's sync warnings follow once it has been looked at, off the GUI thread.
    void setDirectory(const QString& directory);
    // The chosen folder is being looked at; its warnings are not known yet.
    bool lookingAtFolder() const { return !folderSync_; }
    void setMaxSizeMB(qint64 sizeMB) { assign(maxSizeMB_, sizeMB); }
    // Only the offered capacities are taken.
    void setPocketSizeMB(int sizeMB);
    void setPassword(const QString& password) { assign(password_, password); }
    void setConfirmPassword(const QString& password) { assign(confirmPassword_, password); }
    void setPasswordHint(const QString& hint) { assign(passwordHint_, hint); }
    void setSaveToKeychain(bool save) { assign(saveToKeychain_, save); }
    void setExcludeFromCloud(bool exclude) { assign(excludeFromCloud_, exclude); }

    bool creating() const { return working(); }
    QString trimmedName() const;
    QString subtitle() const;
    QString primaryLabel() const;
    // The first problem of the form, or nothing; nothing at all while no name is typed.
    std::optional<QString> validationMessage() const;
    bool canCreate() const;

    // Shown only when the vault would be uploaded by the desktop's cloud drive.
    std::optional<QString> cloudWarning() const;
    // Shown for a Pocket Vault in a folder another sync service keeps versions of.
    std::optional<QString> syncServiceWarning() const;
    static QString lostPasswordWarning();
    static QString sizeCaption();
    static QString pocketCaption();
    static QString pocketSizeLabel(int sizeMB);

    // Starts the creation; false (and nothing started) unless canCreate(). The sheet closes when
    // the store reports success and stays open with every field otherwise.
    bool create();

    // Where a new vault goes unless the user picks another folder: Documents when it exists.
    static QString defaultDirectory();

private:
    VaultKind kind_ = VaultKind::standard;
    QString name_;
    QString directory_;
    // Where the chosen folder syncs; nothing while it is being looked at.
    struct FolderSync {
        bool desktopCloud = false;
        std::optional<QString> service;
    };
    void lookAtFolder();
    std::optional<FolderSync> folderSync_;
    quint64 folderLooks_ = 0;
    qint64 maxSizeMB_ = 10240;
    int pocketSizeMB_ = 5;
    QString password_;
    QString confirmPassword_;
    QString passwordHint_;
    bool saveToKeychain_ = true;
    bool excludeFromCloud_ = true;
};

} // namespace larkhold
