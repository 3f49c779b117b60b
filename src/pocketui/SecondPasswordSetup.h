#pragma once

#include "DecoyChecklist.h"
#include "PocketItem.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <memory>
#include <optional>
#include <vector>

namespace larkhold {

class PocketDocument;
class PocketDocumentHost;
class PocketSession;
class SecretStore;
class VaultStore;

// Setting up a second password for an open Pocket Vault: the password typed twice, the items it
// will open (a document of their own that is never saved by itself), the believability checks
// against the vault's items, and the save.
//
// Everything done here counts as use of the vault, so auto-lock does not close it while the user
// is busy with the setup.
class SecondPasswordSetup : public QObject {
    Q_OBJECT

public:
    // `main` is the vault's own item set as it was when the setup opened; the checks compare with it.
    // `importer` turns files into items for the second set; `store` may be null in tests.
    SecondPasswordSetup(PocketSession& session, PocketItems main, SecretStore& secrets, VaultStore* store,
                        PocketDocumentHost* importer, QObject* parent = nullptr);
    ~SecondPasswordSetup() override;

    PocketDocument& decoy() { return *decoy_; }
    QUuid vaultID() const { return vaultID_; }

    const QString& password() const { return password_; }
    void setPassword(const QString& password);
    const QString& confirmPassword() const { return confirmPassword_; }
    void setConfirmPassword(const QString& password);
    bool rememberInKeychain() const { return remember_; }
    void setRememberInKeychain(bool remember);

    // "At least 6 characters.", "Passwords don’t match." or nothing.
    std::optional<QString> passwordMessage() const;
    const std::vector<DecoyChecklist::Check>& checks() const { return checks_; }
    int passedChecks() const;
    bool allChecksPassed() const;
    // "3 of 5"
    QString countText() const;
    // What the second item set takes of the area: "1 KB of 1 MB".
    QString usageCaption() const;
    bool ready() const;

    bool working() const { return working_; }
    const std::optional<QString>& errorText() const { return errorText_; }

    // What is asked before anything is written: the other password and its items go for good.
    static QString confirmationMessage();
    static QString confirmationInformativeText();
    static QStringList confirmationButtons();
    static QString rememberLabel();
    static QStringList guidance();

    // Writes the second password and its items into the vault file. On success the vault's saved
    // password is replaced (by the second one when asked, else by none), the second item set is
    // wiped and saved() is emitted. A save once started finishes even when the setup is closed.
    QCoro::Task<bool> save();

    // Counts as use of the vault (auto-lock measures idle time from here).
    void touch();

signals:
    void changed();
    void saved();

private:
    void recheck();

    QPointer<PocketSession> session_;
    const QUuid vaultID_;
    PocketItems main_;
    SecretStore& secrets_;
    QPointer<VaultStore> store_;
    PocketDocument* decoy_; // child object
    QString password_;
    QString confirmPassword_;
    bool remember_ = false;
    bool working_ = false;
    std::optional<QString> errorText_;
    std::vector<DecoyChecklist::Check> checks_;
};

} // namespace larkhold
