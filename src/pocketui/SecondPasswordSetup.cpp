#include "SecondPasswordSetup.h"

#include "ByteCount.h"
#include "ErrorText.h"
#include "FileLook.h"
#include "Glossary.h"
#include "PocketDocument.h"
#include "PocketPayload.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "SecretStore.h"
#include "SecretText.h"
#include "SheetRules.h"
#include "SheetTexts.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace larkhold {

namespace {} // namespace

SecondPasswordSetup::SecondPasswordSetup(PocketSession& session, PocketItems main, SecretStore& secrets,
                                         VaultStore* store, PocketDocumentHost* importer, QObject* parent)
    : QObject(parent), session_(&session), vaultID_(session.vaultID()), main_(std::move(main)), secrets_(secrets),
      store_(store), decoy_(new PocketDocument({}, session.document().capacity(), importer, this)) {
    // No owner: the second item set is written only by save(), never by a save of its own.
    connect(decoy_, &PocketDocument::itemsChanged, this, [this] {
        touch();
        recheck();
    });
    connect(decoy_, &PocketDocument::selectionChanged, this, &SecondPasswordSetup::touch);
    recheck();
}

SecondPasswordSetup::~SecondPasswordSetup() {
    decoy_->disconnect(this);
    decoy_->wipe();
    wipeText(password_);
    wipeText(confirmPassword_);
}

void SecondPasswordSetup::touch() {
    if (store_)
        store_->markUsed(vaultID_);
}

void SecondPasswordSetup::recheck() {
    checks_ = DecoyChecklist::checks(decoy_->items(), main_);
    emit changed();
}

void SecondPasswordSetup::setPassword(const QString& password) {
    touch();
    if (password == password_)
        return;
    wipeText(password_);
    password_ = password;
    emit changed();
}

void SecondPasswordSetup::setConfirmPassword(const QString& password) {
    touch();
    if (password == confirmPassword_)
        return;
    wipeText(confirmPassword_);
    confirmPassword_ = password;
    emit changed();
}

void SecondPasswordSetup::setRememberInKeychain(bool remember) {
    touch();
    if (remember == remember_)
        return;
    remember_ = remember;
    emit changed();
}

std::optional<QString> SecondPasswordSetup::passwordMessage() const {
    if (!password_.isEmpty() && !isLongEnoughPassword(password_))
        return QStringLiteral("At least %1 characters.").arg(kMinimumPasswordLength);
    if (holdsZeroCharacter(password_))
        return SheetTexts::passwordHoldsZeroCharacter;
    if (confirmPassword_.isEmpty())
        return std::nullopt;
    // The same password for the person typing it: the vault reads passwords in their composed form.
    if (sameText(password_, confirmPassword_))
        return std::nullopt;
    return QStringLiteral("Passwords don’t match.");
}

int SecondPasswordSetup::passedChecks() const {
    return static_cast<int>(
        std::count_if(checks_.begin(), checks_.end(), [](const DecoyChecklist::Check& c) { return c.passed; }));
}

bool SecondPasswordSetup::allChecksPassed() const {
    return passedChecks() == static_cast<int>(checks_.size());
}

QString SecondPasswordSetup::countText() const {
    return QStringLiteral("%1 of %2").arg(passedChecks()).arg(checks_.size());
}

QString SecondPasswordSetup::usageCaption() const {
    return QStringLiteral("%1 of %2")
        .arg(formatByteCount(PocketPayload::sizeOf(decoy_->items())), formatByteCount(decoy_->capacity()));
}

bool SecondPasswordSetup::ready() const {
    return isUsableNewPassword(password_) && sameText(password_, confirmPassword_) && allChecksPassed() && !working_ &&
           session_;
}

QString SecondPasswordSetup::confirmationMessage() {
    return QStringLiteral("Replace the other password and erase what it opens?");
}

QString SecondPasswordSetup::confirmationInformativeText() {
    return QStringLiteral(
        "Any password set up before for this vault, other than the one you unlocked it with, stops working, and "
        "the items it opened are erased for good. They can’t be recovered. The password you unlocked with and its "
        "items stay as they are.");
}

QStringList SecondPasswordSetup::confirmationButtons() {
    return {QStringLiteral("Replace and Erase"), QStringLiteral("Cancel")};
}

QString SecondPasswordSetup::rememberLabel() {
    return QStringLiteral("Remember this password in my %1").arg(glossary::keyring);
}

QStringList SecondPasswordSetup::guidance() {
    return {
        QStringLiteral("• Use your own real, low-value items — old notes, expired documents."),
        QStringLiteral("• %1 and the %2 should only ever hold this second password. A saved main password is removed.")
            .arg(glossary::ownerCheckTitle, glossary::keyring),
        QStringLiteral("• The vault’s hint is shown for both passwords — keep it about this one."),
        QStringLiteral("• Open it now and then, so it looks used."),
        QStringLiteral("• Keep just one copy of this vault — none in backups, cloud folders or on other drives."),
        QStringLiteral("• Rules about handing over passwords differ by country."),
    };
}

QCoro::Task<bool> SecondPasswordSetup::save() {
    if (!ready())
        co_return false;
    working_ = true;
    errorText_.reset();
    touch();
    emit changed();

    // What is written is what stood when Save was pressed; later edits are not part of it. The
    // storage, the secrets and the store are held here, not through `this`, which may be gone
    // when the write ends: a save once started is finished.
    const std::shared_ptr<PocketStorage> storage = session_->storage();
    const QUuid vaultID = vaultID_;
    const bool remember = remember_;
    SecretStore* secrets = &secrets_;
    const QPointer<VaultStore> store = store_;
    const QPointer<SecondPasswordSetup> self(this);
    QString password = password_;
    // On a thread of its own, never joined: the vault file may be on a share that stopped answering.
    QFuture<std::optional<QString>> writing =
        lookInThread<std::optional<QString>>([storage, password, items = decoy_->items()]() -> std::optional<QString> {
            try {
                storage->setUpSecondPassword(password, items);
                return std::nullopt;
            } catch (...) {
                return describeError(std::current_exception());
            }
        });
    const std::optional<QString> failure = co_await writing;

    if (!failure) {
        // The saved password may be the one just replaced; from now on the keyring holds the
        // second password or nothing.
        secrets->deletePassword(vaultID);
        if (remember)
            secrets->savePassword(password, vaultID);
        if (store)
            store->markUsed(vaultID);
    }
    wipeText(password);
    if (!self)
        co_return !failure;

    working_ = false;
    if (failure) {
        errorText_ = *failure;
        emit changed();
        co_return false;
    }
    decoy_->wipe();
    emit changed();
    emit saved();
    co_return true;
}

} // namespace larkhold
