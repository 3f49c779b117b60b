// Unlocking and locking vaults, and the start of a Pocket Vault's session.

#include "Clock.h"
#include "Defaults.h"
#include "DiskImage.h"
#include "ErrorText.h"
#include "FileLook.h"
#include "Glossary.h"
#include "OwnerCheck.h"
#include "PocketPayload.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "PocketVaultError.h"
#include "SecretStore.h"
#include "StoreHost.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QDir>
#include <QFileInfo>

namespace larkhold {

namespace {

QString wrongPasswordMessage(const Vault& vault) {
    return QStringLiteral("Wrong password for “%1”.").arg(vault.name);
}

QString unlockedText(const Vault& vault, const QString& method) {
    return QStringLiteral("%1 unlocked · %2").arg(vault.name, method);
}

QString lockedText(const Vault& vault, const QString& reason) {
    return QStringLiteral("%1 locked (%2)").arg(vault.name, reason);
}

QString notLockedText(const Vault& vault, const QString& reason) {
    return QStringLiteral("%1 not locked (%2)").arg(vault.name, reason);
}

QString notLockedAdvice(const Vault& vault) {
    return QStringLiteral("“%1” is still unlocked: a file inside may still be open. Close the files and apps using "
                          "it, then lock it again.")
        .arg(vault.name);
}

// Said once a lock that cannot wait (quitting, sleep, the screen locking, the panic shortcut) has
// closed a vault whose last changes could not be written.
QString lockedUnwrittenText(const Vault& vault, bool diskFull) {
    return diskFull ? QStringLiteral("Changes made in “%1” just before it was locked could not be written, because the "
                                     "disk that holds it is full; they may be missing when it is next unlocked.")
                          .arg(vault.name)
                    : QStringLiteral("Changes made in “%1” just before it was locked could not be written to its "
                                     "disk; they may be missing when it is next unlocked.")
                          .arg(vault.name);
}

// Locks that go ahead whatever is left unwritten: the machine or the app is going away, or the user
// wants everything shut at once.
bool lockCannotWait(const QString& reason) {
    return reason == LockReason::quit || reason == LockReason::sleep || reason == LockReason::screenLocked ||
           reason == LockReason::panicShortcut;
}

QString unlistedUnlockMessage(const Vault& vault) {
    return QStringLiteral("“%1” is no longer in the vault list.").arg(vault.name);
}

QString busyUnlockMessage(const Vault& vault) {
    return QStringLiteral("Wait until “%1” is no longer busy, then unlock it.").arg(vault.name);
}

QString ownerCheckFailedNote() {
    return QStringLiteral("System authentication did not confirm it’s you, so the saved password was not used.");
}

QString keyringSilentNote() {
    return QStringLiteral("Your ") + glossary::keyring +
           QStringLiteral(" did not answer in time, so the saved password was not used.");
}

QString repairedOnUnlockMessage(const Vault& vault, const QString& note) {
    return QStringLiteral("“%1” is unlocked. %2").arg(vault.name, note);
}

// Waits for the store to announce `signal`; false when the store went away meanwhile.
template <typename Signal> QCoro::Task<bool> announced(QPointer<VaultStore> store, Signal signal) {
    if (!store)
        co_return false;
    auto waiting = qCoro(store.data(), std::move(signal), std::chrono::milliseconds{-1});
    const auto heard = co_await waiting;
    co_return heard.has_value() && store;
}

} // namespace

class VaultStore::UnlockInFlight {
public:
    // A Pocket Vault's unlock opens nothing once a lock-all has begun, so lock-all need not wait for
    // it: its file may be on a share that no longer answers, and the wait would never end.
    UnlockInFlight(VaultStore& store, quint64 since, QUuid id, bool pocket)
        : store_(&store), since_(since), id_(id), pocket_(pocket) {
        if (pocket)
            ++store.pocketUnlocksInFlight_;
        else
            ++store.unlocksInFlight_[since];
    }
    ~UnlockInFlight() {
        if (!store_)
            return;
        if (pocket_) {
            --store_->pocketUnlocksInFlight_;
        } else {
            auto it = store_->unlocksInFlight_.find(since_);
            if (it != store_->unlocksInFlight_.end() && --*it == 0)
                store_->unlocksInFlight_.erase(it);
        }
        emit store_->unlockEnded(id_);
    }
    UnlockInFlight(const UnlockInFlight&) = delete;
    UnlockInFlight& operator=(const UnlockInFlight&) = delete;

private:
    QPointer<VaultStore> store_;
    quint64 since_;
    QUuid id_;
    bool pocket_;
};

class VaultStore::LockInProgress {
public:
    LockInProgress(VaultStore& store, QUuid id) : store_(&store), id_(id) { ++store.locking_[id]; }
    ~LockInProgress() {
        if (!store_)
            return;
        auto it = store_->locking_.find(id_);
        if (it != store_->locking_.end() && --*it == 0)
            store_->locking_.erase(it);
        emit store_->lockEnded(id_);
    }
    LockInProgress(const LockInProgress&) = delete;
    LockInProgress& operator=(const LockInProgress&) = delete;

private:
    QPointer<VaultStore> store_;
    QUuid id_;
};

bool VaultStore::unlocksUnderWayFrom(quint64 lockAllCount) const {
    for (auto it = unlocksInFlight_.cbegin(); it != unlocksInFlight_.cend(); ++it)
        if (it.key() < lockAllCount && it.value() > 0)
            return true;
    return false;
}

QCoro::Task<> VaultStore::requestUnlock(Vault vault) {
    const quint64 since = lockAllCount_;
    savedPasswordNotUsed_ = {};
    if (isUnlocked(vault.id) || isBusy(vault.id))
        co_return;
    auto looking = presentIfMissing(vault);
    if (co_await looking)
        co_return;
    // The look at the file may have taken seconds.
    if (isUnlocked(vault.id) || isBusy(vault.id) || lockAllBeganSince(since))
        co_return;

    // A keyring that does not answer in time counts as no saved password: the user types it, told why. The
    // card says what is waited for meanwhile.
    QPointer<VaultStore> self(this);
    const QUuid id = vault.id;
    askingKeyring_.insert(id);
    emit vaultStateChanged(id);
    emit busyVaultsChanged();
    QFuture<SecretStore::Lookup> reading = secrets().lookUp(vault.id);
    SecretStore::Lookup found = co_await reading;
    if (!self)
        co_return;
    askingKeyring_.remove(id);
    emit vaultStateChanged(id);
    emit busyVaultsChanged();
    if (isUnlocked(vault.id) || isBusy(vault.id) || lockAllBeganSince(since))
        co_return;
    if (!found.password) {
        if (found.outcome == SecretStore::Lookup::Outcome::noAnswer && findVault(vault.id))
            savedPasswordNotUsed_ = {vault.id, keyringSilentNote()};
        setPasswordPromptVault(vault);
        co_return;
    }
    const std::optional<QString> saved = std::move(found.password);

    QString method = UnlockMethod::keychain;
    if (vault.requireTouchID) {
        // Named so that it outlives the check: the check is a coroutine that takes it by reference.
        const QString reason = QStringLiteral("unlock the vault “%1”").arg(vault.name);
        auto asking = ownerCheck().authenticate(reason);
        const bool passed = co_await asking;
        if (!passed) {
            // Refused, cancelled, or no way to ask at all: the password opens the vault instead, and
            // the prompt says why the saved one was not used.
            if (!isUnlocked(vault.id) && !isBusy(vault.id) && !lockAllBeganSince(since) && findVault(vault.id)) {
                savedPasswordNotUsed_ = {vault.id, ownerCheckFailedNote()};
                setPasswordPromptVault(vault);
            }
            co_return;
        }
        method = UnlockMethod::touchID;
        // The check may have taken minutes; the vault may have been opened another way meanwhile,
        // or everything locked while the prompt was up.
        if (isUnlocked(vault.id) || isBusy(vault.id) || lockAllBeganSince(since))
            co_return;
    }

    auto unlocking = unlockSince(vault, *saved, false, method, since);
    const bool opened = co_await unlocking;
    // A lock-all that closed the vault again is no reason to ask for its password.
    if (!opened && errorMessage_.isEmpty() && !lockAllBeganSince(since))
        setPasswordPromptVault(vault);
}

void VaultStore::forgetSavedPasswordIfItWas(const QUuid& id, const QString& failedPassword) {
    secrets().forgetPasswordIf(id, failedPassword);
}

QCoro::Task<bool> VaultStore::unlock(Vault vault, QString password, bool saveToKeychain, QString method) {
    auto unlocking =
        unlockSince(std::move(vault), std::move(password), saveToKeychain, std::move(method), lockAllCount_);
    co_return co_await unlocking;
}

QCoro::Task<bool> VaultStore::unlockSince(Vault vault, QString password, bool saveToKeychain, QString method,
                                          quint64 since) {
    // Two prompts answered for one vault, or a prompt answered while the vault's password changes:
    // a second unlock running alongside would open the file as it was before the other operation.
    if (isUnlocked(vault.id))
        co_return true;
    if (isBusy(vault.id)) {
        setErrorMessage(busyUnlockMessage(vault));
        co_return false;
    }
    // A prompt left up for a vault removed from the list: opening it would leave a volume nothing lists.
    if (!findVault(vault.id)) {
        setErrorMessage(unlistedUnlockMessage(vault));
        co_return false;
    }
    BusyMark busy(*this, vault.id);
    UnlockInFlight inFlight(*this, since, vault.id, vault.kind == VaultKind::pocket);
    auto looking = presentIfMissing(vault);
    if (co_await looking)
        co_return false;
    // The look at the file may have taken seconds.
    if (!findVault(vault.id)) {
        setErrorMessage(unlistedUnlockMessage(vault));
        co_return false;
    }
    if (isUnlocked(vault.id))
        co_return true;
    if (lockAllBeganSince(since))
        co_return false;

    if (vault.kind == VaultKind::pocket) {
        auto opening = unlockPocket(vault, password, saveToKeychain, method, since);
        co_return co_await opening;
    }

    QString mountPoint;
    QString repairNote;
    std::optional<DiskImageError> refused;
    std::optional<QString> failure;
    try {
        auto attaching = diskImage().attachReporting(vault.bundlePath, password, false);
        const DiskImage::Attachment attached = co_await attaching;
        mountPoint = attached.mountPoint;
        repairNote = attached.repairNote;
    } catch (const DiskImageError& e) {
        refused = e;
    } catch (const std::exception& e) {
        failure = describeError(e);
    }

    if (refused && refused->isBadPassword()) {
        forgetSavedPasswordIfItWas(vault.id, password);
        setErrorMessage(wrongPasswordMessage(vault));
        co_return false;
    }
    if (refused || failure) {
        setErrorMessage(refused ? refused->message() : *failure);
        // The tool may have attached the image without telling where; it must not stay attached
        // out of reach of lock-all.
        if (refused) {
            auto looking = recordStrayAttachment(vault);
            co_await looking;
            // Found attached after a lock-all went by: that lock-all has passed it, so it closes here.
            if (lockAllBeganSince(since) && isUnlocked(vault.id)) {
                auto locking = lock(vault, true, lockAllReason_);
                co_await locking;
            }
        }
        co_return false;
    }

    setMountPoint(vault.id, mountPoint);
    unlockedAt_[vault.id] = now();
    strayAttachments_.remove(vault.id);
    // Found by id: the caller's copy may be older than the list after the wait above.
    modifyVault(vault.id, [stamp = now()](Vault& record) { record.lastOpenedAt = stamp; });

    if (lockAllBeganSince(since)) {
        // Everything was locked while the image was being attached: it is closed again at once.
        recordActivity(unlockedText(vault, method));
        if (saveToKeychain)
            secrets().savePassword(password, vault.id);
        auto locking = lock(vault, true, lockAllReason_);
        co_await locking;
        co_return isUnlocked(vault.id);
    }
    if (!findVault(vault.id)) {
        // The vault left the list while its image was being attached: nothing would list the
        // volume, so it is closed again at once, and no password is kept for it.
        recordActivity(unlockedText(vault, method));
        auto locking = lock(vault, true, LockReason::manual);
        co_await locking;
        co_return false;
    }

    try {
        auto excluding = diskImage().excludeFromSpotlight(mountPoint);
        co_await excluding;
    } catch (const std::exception&) {
        // Indexing stays on; the vault itself is open and usable.
    }
    recordActivity(unlockedText(vault, method));
    if (saveToKeychain)
        secrets().savePassword(password, vault.id);
    // The unlock worked, but the volume needed mending on the way: the user hears what was done
    // and where misplaced files went.
    if (!repairNote.isEmpty())
        setErrorMessage(repairedOnUnlockMessage(vault, repairNote));
    if (vault.openInFinderAfterUnlock)
        openVaultFolder(mountPoint);
    co_return true;
}

QCoro::Task<> VaultStore::recordStrayAttachment(Vault vault) {
    auto looking = diskImage().mountPoint(vault.bundlePath);
    const std::optional<QString> mountPoint = co_await looking;
    if (isUnlocked(vault.id))
        co_return;
    if (mountPoint) {
        // Attached after all: the vault is open, and shows so, until it is locked.
        setMountPoint(vault.id, *mountPoint);
        unlockedAt_[vault.id] = now();
        strayAttachments_.remove(vault.id);
    } else {
        strayAttachments_.insert(vault.id, vault);
    }
}

namespace {

struct PocketOpenOutcome {
    std::optional<PocketStorage::Opened> opened;
    bool badPassword = false;
    QString error;
};

} // namespace

QCoro::Task<bool> VaultStore::unlockPocket(Vault vault, QString password, bool saveToKeychain, QString method,
                                           quint64 since) {
    // On a thread of its own, never joined: a file on a share that stopped answering holds only
    // that thread, not the shared pool the process waits for as it ends.
    QFuture<PocketOpenOutcome> opening =
        lookInThread<PocketOpenOutcome>([path = vault.bundlePath, password, keepOut = vault.excludedFromCloud]() {
            PocketOpenOutcome o;
            try {
                o.opened = PocketStorage::open(path, password, keepOut);
            } catch (const PocketVaultError& e) {
                o.badPassword = e.which() == PocketVaultError::Case::badPassword;
                o.error = e.message();
            } catch (const std::exception& e) {
                o.error = describeError(e);
            } catch (...) {
                o.error = describeError(std::current_exception());
            }
            return o;
        });
    PocketOpenOutcome outcome = co_await opening;

    if (!outcome.opened) {
        if (outcome.badPassword) {
            forgetSavedPasswordIfItWas(vault.id, password);
            setErrorMessage(wrongPasswordMessage(vault));
        } else {
            setErrorMessage(outcome.error);
        }
        co_return false;
    }

    // Opened twice at once (two prompts answered): keep the session that is already there, so that
    // its edits are not dropped.
    if (isUnlocked(vault.id))
        co_return true;
    // Everything was locked while the key was being derived: the vault is not opened at all, so no
    // window shows and the decrypted items leave memory with `outcome`.
    if (lockAllBeganSince(since))
        co_return false;
    // Left the list while its key was being derived: not opened, as above.
    if (!findVault(vault.id))
        co_return false;

    std::shared_ptr<PocketStorage> storage = outcome.opened->storage;
    const std::int64_t capacity = storage->capacity();
    std::shared_ptr<PocketSession> session =
        makePocketSession(vault.id, std::move(storage), std::move(outcome.opened->items), capacity);
    if (saveToKeychain)
        secrets().savePassword(password, vault.id);
    startPocketSession(std::move(session), vault, method);
    co_return true;
}

std::shared_ptr<PocketSession> VaultStore::makePocketSession(const QUuid& id, std::shared_ptr<PocketStorage> storage,
                                                             PocketItems items, std::int64_t capacity) {
    auto session =
        std::make_shared<PocketSession>(id, std::move(storage), std::move(items), capacity, deps_.documentHost);
    connect(session.get(), &PocketSession::edited, this, &VaultStore::markUsed);
    // What an open Pocket Vault holds is in memory: it is told as it changes, never looked for on a timer.
    connect(&session->document(), &PocketDocument::itemsChanged, this, [this, id, opened = session.get()] {
        if (pocketSession(id) == opened)
            setSizeOnDisk(id, PocketPayload::sizeOf(opened->document().items()));
    });
    return session;
}

void VaultStore::startPocketSession(std::shared_ptr<PocketSession> session, const Vault& vault, const QString& method) {
    PocketSession& opened = *session;
    pocketSessions_.insert(vault.id, std::move(session));
    emit pocketSessionsChanged();
    unlockedAt_[vault.id] = now();
    modifyVault(vault.id, [stamp = now()](Vault& record) { record.lastOpenedAt = stamp; });
    setSizeOnDisk(vault.id, PocketPayload::sizeOf(opened.document().items()));
    recordActivity(unlockedText(vault, method));
    host().showPocketWindow(opened, vault);
}

QCoro::Task<StoreOutcome> VaultStore::lock(Vault vault, bool quiet, QString reason) {
    // Another lock is closing this vault: it is not closed twice (nor logged twice). Once that lock
    // has ended, the vault is either closed or still open because it failed; then this lock tries.
    const QPointer<VaultStore> self(this);
    while (locking_.contains(vault.id)) {
        auto waiting = announced(self, &VaultStore::lockEnded);
        const bool heard = co_await waiting;
        if (!heard)
            co_return StoreOutcome::success();
    }

    if (std::shared_ptr<PocketSession> session = pocketSessions_.value(vault.id)) {
        auto locking = lockPocket(vault, std::move(session), quiet, reason);
        co_return co_await locking;
    }
    if (!mountPoints_.contains(vault.id))
        co_return StoreOutcome::success();

    LockInProgress closing(*this, vault.id);
    BusyMark busy(*this, vault.id);
    // A copy into the volume stops between two files; the volume is detached only once it has, so
    // that nothing is written into the folder an unmount leaves behind.
    while (volumeWriters_.contains(vault.id)) {
        for (const std::shared_ptr<std::atomic_bool>& stop : volumeWriters_.value(vault.id))
            stop->store(true);
        auto waiting = announced(self, &VaultStore::volumeWriterEnded);
        const bool heard = co_await waiting;
        if (!heard)
            co_return StoreOutcome::success();
    }
    const auto found = mountPoints_.constFind(vault.id);
    if (found == mountPoints_.cend())
        co_return StoreOutcome::success();
    const QString mountPoint = *found;

    std::optional<QString> failure;
    bool notWritten = false;
    bool diskFull = false;
    try {
        auto detaching = diskImage().detach(mountPoint, false, vault.name);
        co_await detaching;
    } catch (const DiskImageError& e) {
        failure = e.message();
        notWritten = e.isNotWritten();
        diskFull = e.kind() == DiskImageError::Kind::diskFull;
    } catch (const std::exception& e) {
        failure = describeError(e);
    }
    if (!self)
        co_return failure ? StoreOutcome::failure(*failure) : StoreOutcome::success();
    if (notWritten && lockCannotWait(reason)) {
        // The vault goes all the same, and what was lost is not lost silently.
        recordActivity(lockedUnwrittenText(vault, diskFull));
        auto detaching = failureOf(diskImage().detach(mountPoint, true, vault.name));
        failure = co_await detaching;
        notWritten = false;
        if (!self)
            co_return failure ? StoreOutcome::failure(*failure) : StoreOutcome::success();
    }
    if (failure) {
        // A tool can fail after the volume went (the system's disk service ending half-way, say):
        // what the user sees is what is true now, not what the tool said.
        auto looking = stillAttached(vault, mountPoint);
        const std::optional<bool> attached = co_await looking;
        if (!self)
            co_return StoreOutcome::failure(*failure);
        if (attached == false)
            failure.reset();
    }
    if (failure) {
        // The vault stays open and auto-lock tries again next time. A quiet lock puts up no alert,
        // but the failure is never silent: the activity log and a notice say what to do.
        if (!quiet)
            setErrorMessage(*failure);
        reportFailedLock(vault, reason, quiet, notWritten ? *failure : notLockedAdvice(vault));
        co_return StoreOutcome::failure(*failure);
    }

    if (mountPoints_.value(vault.id) == mountPoint)
        removeMountPoint(vault.id);
    unlockedAt_.remove(vault.id);
    strayAttachments_.remove(vault.id);
    autoLockFailureReported_.remove(vault.id);
    recordActivity(lockedText(vault, reason));
    if (!vault.bundlePath.isEmpty()) {
        // The file's share may stop answering once the volume is gone; the lock ends all the same,
        // and the size last measured stays.
        auto measuring = sizeOnDiskInTime(vault.bundlePath);
        const std::optional<qint64> bytes = co_await measuring;
        if (self && bytes)
            setSizeOnDisk(vault.id, *bytes);
    }
    co_return StoreOutcome::success();
}

QCoro::Task<std::optional<bool>> VaultStore::stillAttached(Vault vault, QString mountPoint) {
    auto listing = diskImage().attachedImages();
    const std::optional<AttachedImages> images = co_await listing;
    if (!images)
        co_return std::nullopt;
    const QString image = QDir::cleanPath(vault.bundlePath);
    for (auto it = images->cbegin(); it != images->cend(); ++it) {
        if (it.value() == mountPoint || (!vault.bundlePath.isEmpty() && QDir::cleanPath(it.key()) == image))
            co_return true;
    }
    co_return false;
}

void VaultStore::reportFailedLock(const Vault& vault, const QString& reason, bool quiet, const QString& advice) {
    // Auto-lock tries again every minute; one line and one notice say it as well as sixty.
    if (reason == LockReason::automatic) {
        if (autoLockFailureReported_.contains(vault.id))
            return;
        autoLockFailureReported_.insert(vault.id);
    }
    recordActivity(notLockedText(vault, reason));
    // A lock the user asked for has its alert; a quiet one is told by a notice.
    if (quiet)
        emit lockFailed(vault.name, advice);
}

QCoro::Task<StoreOutcome> VaultStore::lockPocket(Vault vault, std::shared_ptr<PocketSession> session, bool quiet,
                                                 QString reason) {
    const QPointer<VaultStore> self(this);
    LockInProgress closing(*this, vault.id);
    BusyMark busy(*this, vault.id);
    bool saved = false;
    // An edit made while the final save ran would be wiped with the items unsaved; save again for
    // it. A few rounds at most, so that a stream of edits cannot keep the vault from locking.
    for (int round = 0; round < 3; ++round) {
        const std::int64_t generation = session->generation();
        auto finishing = session->finish();
        saved = co_await finishing;
        if (!self)
            co_return StoreOutcome::success();
        if (!saved || session->generation() == generation)
            break;
    }
    // Closed another way while this lock waited.
    if (pocketSessions_.value(vault.id) != session)
        co_return StoreOutcome::success();

    // The vault's file took another program's version, or went: a copy that holds every edit is as
    // good as the save. A lock that asks nobody writes that copy itself.
    std::optional<QString> keptBeside;
    if (!saved && session->fileChangedElsewhere()) {
        if (!session->editsKeptInCopy() && quiet) {
            auto copying = session->saveCopyBeside();
            keptBeside = co_await copying;
            if (!self)
                co_return StoreOutcome::success();
            if (pocketSessions_.value(vault.id) != session)
                co_return StoreOutcome::success();
        }
        saved = session->editsKeptInCopy();
    }

    const QString saveError = session->saveError().value_or(QString());
    if (!saved && !quiet && session->fileChangedElsewhere()) {
        recordActivity(notLockedText(vault, reason));
        emit pocketEditsUnkept(vault.id);
        co_return StoreOutcome::failure(
            QStringLiteral("“%1” stays open: its file was changed elsewhere, so these edits are not saved. Choose "
                           "Save a Copy… in its window to keep them.")
                .arg(vault.name));
    }
    if (!saved && !quiet) {
        const QString message =
            QStringLiteral("“%1” could not be saved, so it stays open. ").arg(vault.name) + saveError;
        recordActivity(notLockedText(vault, reason));
        co_return reportFailure(message);
    }

    removePocketSession(vault.id, session.get());
    unlockedAt_.remove(vault.id);
    session->cancelPendingSave();
    session->document().wipe();
    host().closePocketWindow(vault.id);
    setSizeOnDisk(vault.id, 0);
    recordActivity(lockedText(vault, reason));
    if (keptBeside) {
        const QString notice =
            QStringLiteral("“%1” was changed elsewhere; its last changes were kept in a new copy: %2")
                .arg(vault.name, QDir::toNativeSeparators(*keptBeside));
        recordActivity(notice);
        // The next window says it too: now, or at the next start when the program is quitting.
        if (reason == LockReason::quit)
            defaults().setValue(kKeptCopyNoticeKey, notice);
        else
            setErrorMessage(notice);
    }
    // A quiet lock closes the vault even so; what was lost is not lost silently.
    if (!saved)
        recordActivity(QStringLiteral("“%1” was closed without saving its last changes. ").arg(vault.name) + saveError);
    co_return StoreOutcome::success();
}

QCoro::Task<> VaultStore::lockAll(bool quiet, QString reason) {
    // The mark that unlocks still under way find when they end.
    const quint64 mark = ++lockAllCount_;
    lockAllReason_ = reason;
    const QPointer<VaultStore> self(this);

    QSet<QUuid> done;
    const QList<Vault> snapshot = vaults_;
    for (const Vault& vault : snapshot) {
        done.insert(vault.id);
        if (!isUnlocked(vault.id))
            continue;
        auto locking = lock(vault, quiet, reason);
        co_await locking;
        if (!self)
            co_return;
    }
    auto rest = lockUnlisted(std::move(done), quiet, reason);
    co_await rest;

    // Unlocks of standard vaults that began before this lock-all close their vault again as they
    // end; quitting, or the machine going to sleep, must not happen before they have.
    while (self && self->unlocksUnderWayFrom(mark)) {
        auto waiting = announced(self, &VaultStore::unlockEnded);
        const bool heard = co_await waiting;
        if (!heard)
            co_return;
    }
}

Vault VaultStore::standInRecord(const QUuid& id) const {
    Vault vault = this->vault(id).value_or(strayAttachments_.value(id));
    vault.id = id;
    if (PocketSession* session = pocketSession(id)) {
        vault.kind = VaultKind::pocket;
        if (vault.bundlePath.isEmpty())
            vault.bundlePath = session->storage()->path();
        if (vault.name.isEmpty())
            vault.name = QFileInfo(vault.bundlePath).completeBaseName();
    } else if (vault.name.isEmpty()) {
        vault.name = QFileInfo(mountPoints_.value(id)).fileName();
    }
    return vault;
}

QCoro::Task<> VaultStore::lockUnlisted(QSet<QUuid> done, bool quiet, QString reason) {
    const QPointer<VaultStore> self(this);
    // Images that a failed unlock left attached without a mount point: find out where they are.
    const QList<Vault> strays = strayAttachments_.values();
    for (const Vault& stray : strays) {
        if (isUnlocked(stray.id))
            continue;
        auto looking = diskImage().mountPoint(stray.bundlePath);
        const std::optional<QString> mountPoint = co_await looking;
        if (!self)
            co_return;
        if (!mountPoint || isUnlocked(stray.id))
            continue;
        setMountPoint(stray.id, *mountPoint);
        unlockedAt_[stray.id] = now();
        done.remove(stray.id);
    }

    QList<QUuid> open = mountPoints_.keys();
    open += pocketSessions_.keys();
    for (const QUuid& id : open) {
        if (done.contains(id))
            continue;
        done.insert(id);
        if (!isUnlocked(id))
            continue;
        // A stand-in record: the list no longer holds this vault, but its volume or session is still open.
        auto locking = lock(standInRecord(id), quiet, reason);
        co_await locking;
        if (!self)
            co_return;
    }
}

void VaultStore::requestSecondPasswordSetup(const Vault& vault) {
    if (!pocketSession(vault.id))
        return;
    StoreAlert alert;
    alert.message = QStringLiteral("Add a second password to “%1”?").arg(vault.name);
    alert.informativeText = QStringLiteral(
        "A second password opens this vault with its own set of items. It takes the place of any other password set "
        "up for this vault, together with what that password opens.");
    alert.buttons = {QStringLiteral("Continue"), QStringLiteral("Cancel")};
    if (host().runAlert(alert) != 0)
        return;
    // The alert was modal: the vault may have locked while it was up.
    PocketSession* session = pocketSession(vault.id);
    if (!session)
        return;
    host().showPocketWindow(*session, vault);
    session->setSecondPasswordRequested(true);
}

} // namespace larkhold
