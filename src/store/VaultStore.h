#pragma once

#include "ActivityEvent.h"
#include "Date.h"
#include "Glossary.h"
#include "PocketItem.h"
#include "Vault.h"
#include "VaultList.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace larkhold {

class KeptLookThread;
template <typename Subject, typename Result> class PeriodicLooks;

class Clock;
class Defaults;
class DiskImage;
class OwnerCheck;
class PocketDocumentHost;
class PocketSession;
class PocketStorage;
class SecretStore;
class StoreHost;

// Everything the store reaches outside itself. Nothing here is owned by the store; all of it must
// outlive it.
struct VaultStoreDeps {
    DiskImage* diskImage = nullptr;
    SecretStore* secrets = nullptr;
    OwnerCheck* ownerCheck = nullptr;
    Defaults* defaults = nullptr;
    Clock* clock = nullptr;
    StoreHost* host = nullptr;
    // Handed to every Pocket document the store creates; may be null where no files are imported.
    PocketDocumentHost* documentHost = nullptr;
    // Holds "vaults.json".
    QString dataFolder;
    // The auto-lock and size timers; tests switch them off and drive the passes by hand.
    bool startTimers = true;
    // How long a look at a vault's file may take before its disk counts as not responding.
    std::chrono::milliseconds fileLookDeadline{3000};
};

// Lock reasons as they appear in the activity log. Every reason but `manual` locks quietly.
namespace LockReason {
inline const QString manual = QStringLiteral("manual");
inline const QString automatic = QStringLiteral("auto");
inline const QString screenLocked = QStringLiteral("screen locked");
inline const QString sleep = QStringLiteral("sleep");
inline const QString quit = QStringLiteral("quit");
inline const QString panicShortcut = QStringLiteral("panic shortcut");
} // namespace LockReason

// How a vault was unlocked, as the activity log names it: with the saved password, with the saved
// password behind the owner check, or with a typed one.
namespace UnlockMethod {
inline const QString keychain = glossary::keyring;
inline const QString touchID = glossary::ownerCheck;
inline const QString password = QStringLiteral("password");
} // namespace UnlockMethod

// What one operation did, for the caller that started it; errorMessage() still gets a failure's text for the alert.
// Where a copy of a Pocket Vault's edits went when the program quit, told at its next start.
inline const QString kKeptCopyNoticeKey = QStringLiteral("keptCopyNotice");

struct StoreOutcome {
    bool ok = true;
    QString message; // the failure's text as errorMessage() got it; empty on success
    static StoreOutcome success() { return {}; }
    static StoreOutcome failure(QString text) { return {false, std::move(text)}; }
};

// What a check of a vault found, for the verify sheet. Nothing of it goes to errorMessage(): the
// sheet shows every outcome itself.
struct VerifyOutcome {
    bool ok = false;
    QString text;               // what the sheet shows: the healthy verdict, or why the check failed
    bool wrongPassword = false; // the password does not open the vault (text is then "Wrong password.")
};

// Everything the application knows about the user's vaults, and every operation on them.
//
// Views read the state and call the operations; nothing else changes a vault file. Each piece of
// state announces its changes with a signal of its own. Operations are coroutines on the main
// thread: blocking work (tools, key derivations, file writes) runs off it while the operation waits
// (docs/threads.md says where), and other main-thread work goes on meanwhile. A vault is marked busy
// before an operation first waits and unmarked on every way out, so a second request for it is skipped.
// Operations report failures through errorMessage(); they do not throw (verifyPassword aside).
//
// Every co_await in the store awaits a task or future held in a named variable, built in a
// statement of its own: GCC 12 destroys some temporaries of a co_await expression twice (a lambda
// with captures handed to QtConcurrent::run inside the expression corrupted reference counts).
class VaultStore : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kAutoLockInterval{60};
    static constexpr std::chrono::seconds kSizeInterval{4};

    explicit VaultStore(VaultStoreDeps deps, QObject* parent = nullptr);
    ~VaultStore() override;

    // The application's store, for the callbacks and windows that cannot be handed one. Set once at
    // start; null before that. Code that can be given the store takes it as a parameter instead.
    static VaultStore* shared();
    static void setShared(VaultStore* store);

    // ---- adding, locating, forgetting, changing, verifying, deleting ----
    // Change the vault list itself; report problems through errorMessage() and save at once.
    // Records are found again by id, so a caller's older copy still reaches its vault. The chosen
    // file and the listed ones are looked at off the GUI thread, within fileLookDeadline().
    QCoro::Task<StoreOutcome> addExistingVault(QString path);
    // Refuses an open vault, and one another operation is working on: the list would lose where
    // its volume is mounted, or point the running operation's vault at another file. The vault is
    // busy while its new file is looked at.
    QCoro::Task<StoreOutcome> relocate(Vault vault, QString path);
    // Locks an open vault first, so that nothing open is left unlisted; a lock that fails keeps it.
    // Refuses a vault another operation is working on (an unlock would open it unlisted, a copy
    // would go on writing into it). Asks no owner check: the commands that lead here ask it where
    // the vault wants one.
    QCoro::Task<StoreOutcome> forget(Vault vault);
    // rename, setCloudExclusion and changePassword refuse an open vault and one that another
    // operation is working on: its file must not move or change under that operation. The vault
    // is busy until its file has moved; a file whose disk does not answer in time is left as it is.
    QCoro::Task<StoreOutcome> setCloudExclusion(Vault vault, bool excluded);

    // Creates a standard vault's image (kept out of cloud sync when asked) and lists it, locked.
    QCoro::Task<StoreOutcome> createStandardVault(QString name, QString directory, qint64 maxSizeMB, QString password,
                                                  bool saveToKeychain, bool excludeFromCloud,
                                                  std::optional<QString> passwordHint);
    // Creates a Pocket Vault file, lists it and opens it.
    QCoro::Task<StoreOutcome> createPocketVault(QString name, QString directory, int sizeMB, QString password,
                                                bool saveToKeychain, bool excludeFromCloud,
                                                std::optional<QString> passwordHint);
    // Refuses a limit below what the vault already takes before any tool runs.
    QCoro::Task<StoreOutcome> resize(Vault vault, qint64 newSizeMB, QString password);
    QCoro::Task<StoreOutcome> rename(Vault vault, QString newName, QString password);
    QCoro::Task<StoreOutcome> compact(Vault vault, QString password);
    // False when the list no longer holds the vault or could not be saved (errorMessage() says why).
    bool updatePasswordHint(const Vault& vault, std::optional<QString> hint);
    QCoro::Task<StoreOutcome> changePassword(Vault vault, QString oldPassword, QString newPassword);
    // Returns when the password opens the vault. A wrong one throws DiskImageError::badPassword for
    // either kind of vault; other failures throw the engine's or the file system's error.
    QCoro::Task<> verifyPassword(Vault vault, QString password);
    // Checks a vault for damage with its password: a standard vault's file system (mounted hidden,
    // checked, unmounted; refused while it is open or busy, and busy while it runs), or every item
    // of the Pocket Vault area the password opens, as last saved. Leaves errorMessage() alone.
    QCoro::Task<VerifyOutcome> verifyVault(Vault vault, QString password);
    // Refuses a busy vault, as forget does; locks an open one first.
    QCoro::Task<StoreOutcome> deleteVault(Vault vault);
    // ---- end ----

    // Published state.
    const QList<Vault>& vaults() const { return vaults_; }
    const QMap<QUuid, QString>& mountPoints() const { return mountPoints_; }
    const QMap<QUuid, std::shared_ptr<PocketSession>>& pocketSessions() const { return pocketSessions_; }
    PocketSession* pocketSession(const QUuid& id) const;
    const QMap<QUuid, qint64>& sizesOnDisk() const { return sizesOnDisk_; }
    // How long a look at a vault's file may take before its disk counts as not responding.
    std::chrono::milliseconds fileLookDeadline() const { return deps_.fileLookDeadline; }
    const QSet<QUuid>& busyVaults() const { return busyVaults_; }
    bool isBusy(const QUuid& id) const { return busyVaults_.contains(id); }
    // An unlock of this vault waits for the keyring's answer about its saved password.
    bool isAskingKeyring(const QUuid& id) const { return askingKeyring_.contains(id); }
    // Empty when there is nothing to show. The alert's OK clears it.
    const QString& errorMessage() const { return errorMessage_; }
    void setErrorMessage(const QString& message);
    void clearErrorMessage() { setErrorMessage(QString()); }
    const std::optional<Vault>& passwordPromptVault() const { return passwordPromptVault_; }
    void setPasswordPromptVault(std::optional<Vault> vault);
    // Why the last request to unlock this vault asks for its password although one may be saved (the
    // owner check did not pass, the keyring did not answer); empty when it did not.
    QString savedPasswordNotUsed(const QUuid& id) const {
        return savedPasswordNotUsed_.first == id ? savedPasswordNotUsed_.second : QString();
    }
    const QList<ActivityEvent>& activity() const { return activity_; }
    bool newVaultRequested() const { return newVaultRequested_; }
    void setNewVaultRequested(bool requested);

    // Time of last use of each open vault; the basis of auto-lock.
    const QMap<QUuid, Date>& unlockedAt() const { return unlockedAt_; }
    // Counts as use of an open vault (an import, an edit) and restarts its idle time. A vault that
    // is not open gets no entry, so a stale one can never outlive a lock.
    void markUsed(const QUuid& id);
    bool didAutoOpen() const { return didAutoOpen_; }
    QString storePath() const;

    // The first record with this id.
    std::optional<Vault> vault(const QUuid& id) const;
    // Writes the whole list; false when that failed, and errorMessage() says why.
    bool save();
    // Changes the first record with the id in place, publishes the list and saves it. False when
    // the list has no such record.
    bool modifyVault(const QUuid& id, const std::function<void(Vault&)>& change);
    // Puts an event on top of the activity log, keeps the 50 newest and stores the log.
    void recordActivity(const QString& text);

    // Unlocking and locking.
    bool isUnlocked(const Vault& vault) const { return isUnlocked(vault.id); }
    bool isUnlocked(const QUuid& id) const;
    // Unlocks without a typed password when it can: the saved one, behind the owner check when
    // the vault asks for it; otherwise asks for the password through passwordPromptVault().
    QCoro::Task<> requestUnlock(Vault vault);
    // True at once for a vault that is already open; refuses one another operation is working on,
    // and one the list no longer holds. An unlock that ends after a lock-all began locks the vault
    // again at once, quietly, with that lock-all's reason, and returns false; so does one that ends
    // after its vault left the list.
    QCoro::Task<bool> unlock(Vault vault, QString password, bool saveToKeychain, QString method);
    // A quiet lock that fails returns its failure but leaves errorMessage() alone; it is recorded in
    // the activity log and announced with lockFailed(). A lock of a vault that another lock is
    // closing waits for that one and does not close it twice. A copy writing into the volume is
    // asked to stop and the lock waits for it to end before the volume is detached.
    QCoro::Task<StoreOutcome> lock(Vault vault, bool quiet, QString reason);
    // Locks every open vault, one after another: listed ones in list order, then any other. Then
    // waits for the unlocks that were under way when it began; they lock again as they end.
    QCoro::Task<> lockAll(bool quiet, QString reason);
    // Asks whether to add a second password and, on "Continue", has the vault's window open its setup.
    void requestSecondPasswordSetup(const Vault& vault);

    // Refresh, automatic unlock at start, sizes, opening.

    // Adopts images attached outside the application and measures every vault.
    QCoro::Task<> refresh();
    // Once per run: unlocks the vaults marked to open at start.
    QCoro::Task<> autoOpenFavorites();
    QCoro::Task<> refreshUnlockedSizes();
    // Brings an open vault forward: a Pocket Vault's window or a standard vault's folder.
    void openVault(const Vault& vault);
    // Shows a folder in the file manager; returns at once.
    void openVaultFolder(const QString& path);
    int openCount() const { return static_cast<int>(mountPoints_.size() + pocketSessions_.size()); }
    // An unlock between its start and its end: the vault may be open a moment from now.
    bool unlockUnderWay() const { return !unlocksInFlight_.isEmpty() || pocketUnlocksInFlight_ > 0; }

    // One pass of the auto-lock timer: locks, quietly and one by one, the open vaults idle longer
    // than the set number of minutes.
    QCoro::Task<> autoLockTick();
    QTimer& autoLockTimer() { return autoLockTimer_; }
    // How often the open volumes are measured; zero while the timers do not run.
    std::chrono::milliseconds sizeInterval() const;

signals:
    // A lock of a Pocket Vault found its file changed elsewhere and no copy holding the edits; the
    // vault's window asks what to do, instead of an error of the store's.
    void pocketEditsUnkept(const QUuid& vaultID);
    void vaultsChanged();
    // The whole-list signals below are for listeners that read every vault (totals, the tray's
    // icon); a view of one vault follows vaultStateChanged, which names the vault.
    void mountPointsChanged();
    void pocketSessionsChanged();
    // Once per batch of measurements that changed anything.
    void sizesOnDiskChanged();
    void busyVaultsChanged();
    // Whether this vault is open, where, whether it is busy, or what it takes on disk changed.
    // Listeners hear it before they hear the whole-list signal of the same change.
    void vaultStateChanged(const QUuid& id);
    void errorMessageChanged();
    void passwordPromptVaultChanged();
    void activityChanged();
    void newVaultRequestedChanged();
    // An unlock or a lock of the vault ended, whatever its outcome. The store's own waits use them.
    void unlockEnded(const QUuid& id);
    void lockEnded(const QUuid& id);
    void volumeWriterEnded(const QUuid& id);
    // A quiet lock failed and the vault stays open; `text` says why and what to do.
    void lockFailed(const QString& vaultName, const QString& text);

public:
    // Keeps a vault in busyVaults() while it lives. Marks nest: the vault stays busy until the
    // last mark of overlapping operations is gone. Windows that work on a vault's files themselves
    // (the import window copying into a volume) hold one too.
    class BusyMark {
    public:
        BusyMark(VaultStore& store, const QUuid& id);
        ~BusyMark();
        BusyMark(const BusyMark&) = delete;
        BusyMark& operator=(const BusyMark&) = delete;

    private:
        QPointer<VaultStore> store_;
        QUuid id_;
    };

    // Held by a copy writing files into an open vault's volume. A lock of that vault sets the stop
    // flag (the copy stops between two files) and waits until every writer is gone before it
    // detaches: a volume is never unmounted under a copy that would then write into the folder left
    // behind. A writer that starts while the vault is being locked finds its flag set at once.
    class VolumeWriter {
    public:
        VolumeWriter(VaultStore& store, const QUuid& id);
        ~VolumeWriter();
        VolumeWriter(const VolumeWriter&) = delete;
        VolumeWriter& operator=(const VolumeWriter&) = delete;
        // Shared with the copying thread, which reads it between files.
        const std::shared_ptr<std::atomic_bool>& stopFlag() const { return stop_; }

    private:
        QPointer<VaultStore> store_;
        QUuid id_;
        std::shared_ptr<std::atomic_bool> stop_;
    };

protected:
    DiskImage& diskImage() const { return *deps_.diskImage; }
    SecretStore& secrets() const { return *deps_.secrets; }
    OwnerCheck& ownerCheck() const { return *deps_.ownerCheck; }
    Defaults& defaults() const { return *deps_.defaults; }
    const Clock& clock() const { return *deps_.clock; }
    Date now() const;
    StoreHost& host() const { return *deps_.host; }

    // Pointer into vaults(); valid until the list next changes (any await may change it).
    const Vault* findVault(const QUuid& id) const;
    void setVaults(QList<Vault> vaults);
    void appendVault(const Vault& vault);
    bool removeVault(const QUuid& id);

    void setMountPoint(const QUuid& id, const QString& mountPoint);
    void removeMountPoint(const QUuid& id);
    void setSizeOnDisk(const QUuid& id, qint64 bytes);
    // Takes a batch of measurements at once: one whole-list signal for all, none when nothing changed.
    void setSizesOnDisk(const QHash<QUuid, qint64>& sizes);

    // What a look at a vault's file found, off the GUI thread: a file on a share that stopped
    // answering is `notResponding` once the deadline has passed, and the look is left to itself.
    enum class FileAnswer { present, missing, diskGone, notResponding };
    QCoro::Task<FileAnswer> lookAtFile(QString path) const;
    // When the vault's file is not there, shows the alert that fits (disk gone, or file moved), or
    // says that its disk is not responding, and returns true. Looks off the GUI thread.
    QCoro::Task<bool> presentIfMissing(Vault vault);
    // The bytes the file at `path` takes, or nothing when its disk has not answered within the
    // deadline; the measurement is then left to itself.
    QCoro::Task<std::optional<qint64>> sizeOnDiskInTime(QString path) const;
    // "The disk that holds “name” is not responding. Check the drive or the network share, then
    // <then>." — for a look that did not answer within the deadline.
    static QString notRespondingMessage(const QString& name, const QString& then);

    // A session for a vault just opened or created, wired to the store.
    std::shared_ptr<PocketSession> makePocketSession(const QUuid& id, std::shared_ptr<PocketStorage> storage,
                                                     PocketItems items, std::int64_t capacity);
    // Enters an opened Pocket Vault: session, last use, lastOpenedAt, size, activity, window.
    void startPocketSession(std::shared_ptr<PocketSession> session, const Vault& vault, const QString& method);

    // After an attach that failed or reported no mount point: when the image is attached after all,
    // the vault counts as open; when that cannot be told now, lock-all looks for it again. Either
    // way no volume is left mounted out of reach of lock-all.
    QCoro::Task<> recordStrayAttachment(Vault vault);

    // Awaits an engine operation; its failure as describeError() words it, or nothing when it succeeded.
    static QCoro::Task<std::optional<QString>> failureOf(QCoro::Task<> operation);
    // Puts a failure's text into errorMessage() for the alert and hands it to the caller too.
    StoreOutcome reportFailure(const QString& text);

    // A record for an open vault that the list no longer holds, named as well as can be told.
    Vault standInRecord(const QUuid& id) const;

private:
    // Counts how many unlocks are under way that began before a given lock-all, and holds a
    // lock's place so that a second lock of the same vault waits for it.
    class UnlockInFlight;
    class LockInProgress;

    // `since` is the lock-all count when the unlock was asked for: a lock-all after that closes
    // what the unlock opened.
    QCoro::Task<bool> unlockSince(Vault vault, QString password, bool saveToKeychain, QString method, quint64 since);
    QCoro::Task<bool> unlockPocket(Vault vault, QString password, bool saveToKeychain, QString method, quint64 since);
    QCoro::Task<StoreOutcome> lockPocket(Vault vault, std::shared_ptr<PocketSession> session, bool quiet,
                                         QString reason);
    bool lockAllBeganSince(quint64 count) const { return lockAllCount_ != count; }
    bool unlocksUnderWayFrom(quint64 lockAllCount) const;
    // What the vault takes, or nothing when its disk did not answer in time.
    QCoro::Task<std::optional<qint64>> usedBytes(Vault vault);
    // Takes an attached-image listing into mountPoints(), leaving alone every vault whose mount
    // point changed after `before` (its change counts) was taken: the listing may be older.
    // `resolved` holds the paths whose links were resolved (each listed path and attached image);
    // any other is compared as written.
    void adoptListing(const QMap<QString, QString>& images, const QHash<QUuid, quint64>& before,
                      const QHash<QString, QString>& resolved);
    // Forgets the saved password only when it is the one that just failed: a typed wrong password
    // must not take a right saved one with it.
    void forgetSavedPasswordIfItWas(const QUuid& id, const QString& failedPassword);
    // Locks every open vault that the list does not hold (forgotten while open, or attached by a
    // failed unlock), after the listed ones.
    QCoro::Task<> lockUnlisted(QSet<QUuid> done, bool quiet, QString reason);
    // Whether the vault's image is still attached, by its image or the mount point it had; nullopt
    // when the listing cannot be read.
    QCoro::Task<std::optional<bool>> stillAttached(Vault vault, QString mountPoint);
    // Records a failed lock in the activity log and, for a quiet one, announces it with `advice`.
    void reportFailedLock(const Vault& vault, const QString& reason, bool quiet, const QString& advice);
    // Locks an open vault that is about to leave the list or the disk; a failure when it stays open
    // (the failed lock has said why).
    QCoro::Task<StoreOutcome> lockBeforeRemoving(Vault vault);
    QCoro::Task<> openFolderTask(QString path);
    void removePocketSession(const QUuid& id, const PocketSession* session);
    void startTimers();
    // The open volumes, for the measurements that come every few seconds.
    void followOpenVolumes();
    void takeVolumeSizes(const QHash<QUuid, std::optional<qint64>>& sizes);
    QCoro::Task<> measureLeftBehind(Vault vault);
    // Announces vaultStateChanged for every vault whose open or busy state differs from the last
    // one announced.
    void announceStateChanges();
    // What each measurable vault takes, measured all at once; a vault whose disk did not answer in
    // time has no entry.
    QCoro::Task<QHash<QUuid, qint64>> measure(QList<Vault> vaults);

    VaultStoreDeps deps_;
    VaultList vaultList_;

    QList<Vault> vaults_;
    QMap<QUuid, QString> mountPoints_;
    // How often each vault's mount point was set or removed: an unlock and a lock that both end
    // while a listing is taken leave the same mount points behind, but not the same counts.
    QHash<QUuid, quint64> mountChanges_;
    QMap<QUuid, std::shared_ptr<PocketSession>> pocketSessions_;
    QMap<QUuid, qint64> sizesOnDisk_;
    QSet<QUuid> busyVaults_;
    QSet<QUuid> askingKeyring_;
    // The open and busy states last announced per vault.
    QMap<QUuid, QString> announcedMounts_;
    QSet<QUuid> announcedSessions_;
    QSet<QUuid> announcedBusy_;
    QHash<QUuid, int> busyCounts_;
    QString errorMessage_;
    std::optional<Vault> passwordPromptVault_;
    std::pair<QUuid, QString> savedPasswordNotUsed_;
    QList<ActivityEvent> activity_;
    bool newVaultRequested_ = false;
    bool didAutoOpen_ = false;
    QMap<QUuid, Date> unlockedAt_;
    // Images attached by an unlock that then found no mount point: recorded so that lock-all can
    // still reach them once a refresh tells where they are.
    QMap<QUuid, Vault> strayAttachments_;
    bool measuringOpenVaults_ = false;
    // Where open volumes are measured every few seconds.
    std::unique_ptr<KeptLookThread> volumeLooks_;
    // Lock-alls begun so far, and the reason of the latest: an unlock that ends after one began
    // closes the vault again with it.
    quint64 lockAllCount_ = 0;
    QString lockAllReason_;
    // Unlocks of standard vaults under way, by the lock-all count at their start, and of Pocket Vaults.
    QHash<quint64, int> unlocksInFlight_;
    int pocketUnlocksInFlight_ = 0;
    // Vaults a lock is closing now, with how many locks hold the place (one, unless nested).
    QHash<QUuid, int> locking_;
    // The stop flags of the copies writing into each open volume.
    QHash<QUuid, QList<std::shared_ptr<std::atomic_bool>>> volumeWriters_;
    // Files an add or a locate is about to list, by their resolved path: two at once of the same
    // file must not list it twice.
    QSet<QString> filesBeingListed_;
    // Vaults whose failed auto-lock was already reported: the retry every minute says nothing new.
    QSet<QUuid> autoLockFailureReported_;

    QTimer autoLockTimer_;
    // Measures the open volumes every few seconds on a thread that keeps its own time; only a size that
    // changed reaches this thread.
    std::unique_ptr<PeriodicLooks<QString, std::optional<qint64>>> sizeLooks_;
};

// What an open volume's file system holds, read from its folder: none when the folder cannot be looked at or is
// no longer the volume's (one left behind by a detach outside the application).
std::optional<qint64> volumeUse(const QString& mountPoint);

// "<n ÷ 1024> GB" for whole gigabytes (0 included), else "<n> MB".
QString formatLimitMB(qint64 megabytes);
// A size on disk in decimal units, the way a file manager shows file sizes: "Zero KB", "1 byte",
// "999 bytes", "12 KB", "1.5 MB", "2.25 GB". Every size caption and total of the vault list reads so.
QString formatFileSize(qint64 bytes);
// The size line of a vault card: what the vault holds or takes on disk against its limit.
QString capacityCaption(qint64 bytes, const Vault& vault, bool unlocked);

} // namespace larkhold
