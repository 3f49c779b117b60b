// Adding, locating and forgetting vaults, the cloud setting, creating Pocket Vaults, changing
// vaults (limit, name, free space, hint, password), verifying a password and deleting a vault.

#include "AtomicFile.h"
#include "CloudExclusion.h"
#include "DiskImage.h"
#include "ErrorText.h"
#include "FileLook.h"
#include "Glossary.h"
#include "Plist.h"
#include "PocketFile.h"
#include "PocketFormat.h"
#include "PocketPayload.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "PocketVaultError.h"
#include "SecretStore.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <cmath>
#include <limits>

namespace larkhold {

namespace {

constexpr qint64 kMiB = 1'048'576;

const QString kSparseBundle = QStringLiteral("sparsebundle");
const QString kNoSync = QStringLiteral("nosync");
const QString kPocketVault = QStringLiteral("pocketvault");

// A chosen file as the operations read it: the path as chosen less any trailing slash (a bundle
// is a folder), its extension lowercased, and its name without the extension.
struct ChosenFile {
    QString path;
    QString extension;
    QString baseName;
};

ChosenFile chosenFile(const QString& path) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const QFileInfo info(trimmed);
    return {trimmed, info.suffix().toLower(), info.completeBaseName()};
}

// Links resolved as far as the path exists, so that a vault reached through a link, or listed
// at a path that is gone, still compares by where it really is.
QString resolvedPath(const QString& path) {
    const QString clean = QDir::cleanPath(path);
    const QString canonical = QFileInfo(clean).canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QFileInfo info(clean);
    const QString folder = QFileInfo(info.path()).canonicalFilePath();
    return folder.isEmpty() ? clean : QDir(folder).filePath(info.fileName());
}

// The name is taken: something exists at the path, a dangling link included.
bool somethingAt(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A chosen vault file is there: links are followed, so a dangling one is no vault.
bool fileIsThere(const QString& path) {
    return QFileInfo::exists(path);
}

// The size limit of a sparse bundle from the "size" of its Info.plist; 1024 MB when it cannot
// be read.
qint64 sparseBundleLimitMB(const QString& bundle) {
    constexpr qint64 unreadable = 1024;
    const QString path = QDir(bundle).filePath(QStringLiteral("Info.plist"));
    // A real Info.plist is a few hundred bytes; a huge file is not one, and opening anything but a
    // plain file (a pipe) could block.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly) || file.size() > kMiB)
        return unreadable;
    const std::optional<QVariant> root = Plist::parse(file.readAll());
    if (!root || root->typeId() != QMetaType::QVariantMap)
        return unreadable;
    const QVariant size = root->toMap().value(QStringLiteral("size"));
    qint64 bytes = 0;
    if (size.typeId() == QMetaType::LongLong) {
        bytes = size.toLongLong();
    } else if (size.typeId() == QMetaType::Double) {
        // Only a whole number of bytes that fits is a size; converting anything else is undefined.
        const double real = size.toDouble();
        if (!std::isfinite(real) || std::trunc(real) != real || std::fabs(real) >= 9.2e18)
            return unreadable;
        bytes = static_cast<qint64>(real);
    } else {
        return unreadable;
    }
    return bytes > 16 * kMiB - 1 ? bytes / kMiB : 16;
}

// The capacity in MB of a Pocket Vault file, by its size; 0 for a size of no tier.
qint64 pocketCapacityMB(const QString& path) {
    const std::optional<std::int64_t> capacity = PocketFormat::capacity(QFileInfo(path).size());
    return capacity ? *capacity / kMiB : 0;
}

// A vault's name becomes a file name. One that names another folder, or none, would put the
// vault file somewhere the user did not choose.
std::optional<QString> nameProblem(const QString& name, const QString& extension) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.contains(QLatin1Char('/')) || name.contains(QChar(u'\0')))
        return QStringLiteral("A vault name can’t be empty, “.” or “..”, and can’t contain “/”.");
    const QString fileName = extension.isEmpty() ? name : name + QLatin1Char('.') + extension;
    if (QFile::encodeName(fileName).size() > 255)
        return QStringLiteral("The name “%1” is too long for a file name.").arg(name);
    return std::nullopt;
}

QString lockFirstMessage(const Vault& vault, const QString& then) {
    return QStringLiteral("Lock “%1” first, then %2.").arg(vault.name, then);
}

// A vault another operation is working on keeps its file where it is and as it is: moving or
// re-keying it under a running unlock, resize or re-key would leave the list, the session or the
// mounted image pointing at a file that is gone or changed.
QString busyMessage(const Vault& vault, const QString& then) {
    return QStringLiteral("Wait until “%1” is no longer busy, then %2.").arg(vault.name, then);
}

QString nameTakenMessage(const QString& name) {
    return QStringLiteral("A vault named “%1” already exists in that folder.").arg(name);
}

QString changeCloudSetting() {
    return QStringLiteral("change its %1 setting").arg(glossary::cloudSync);
}

// The Pocket Vault file read, unlocked and decoded in memory, every item of the area the
// password opens; nothing is kept. Blocks: run it off the GUI thread. Throws the engine's errors.
void checkPocketFile(const QString& path, const QString& password) {
    // The size decides before any byte is read or any key derived. Only a regular file is read:
    // opening a pipe left at the vault's path would block this worker for good.
    const QFileInfo info(path);
    const std::optional<std::int64_t> capacity =
        info.isFile() ? PocketFormat::capacity(info.size()) : std::optional<std::int64_t>{};
    if (info.exists() && !capacity)
        throw PocketVaultError::notAPocketVault();
    const PocketFile pocket(readWholeFile(path), capacity.value_or(0));
    const PocketKey key = pocket.unlock(password);
    const SecureBytes area = pocket.readArea(key);
    // Decoded only to prove the area is whole; the items are wiped as they go.
    (void)PocketPayload::decode(area);
}

struct PocketCreated {
    std::optional<PocketStorage::Opened> opened;
    std::exception_ptr error;
};

// Runs `work` on a thread of its own, never joined: the vault file may be on a share that stopped
// answering. What it throws comes back as the future's value, since nothing else would carry it off
// the worker thread.
template <class Work> QFuture<std::exception_ptr> runCatching(Work work) {
    return lookInThread<std::exception_ptr>([work = std::move(work)]() -> std::exception_ptr {
        try {
            work();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    });
}

// What a chosen vault file is, read off the GUI thread: the file may be on a share that stopped
// answering.
struct ChosenLook {
    bool pocket = false;
    bool there = false;
    QString resolved;
    qint64 maxSizeMB = 0; // only when asked for
};

ChosenLook lookAtChosen(const ChosenFile& chosen, bool withLimit) {
    ChosenLook look;
    look.pocket = PocketFormat::isPocketVaultFile(chosen.path);
    look.there = fileIsThere(chosen.path);
    look.resolved = resolvedPath(chosen.path);
    if (withLimit && look.there)
        look.maxSizeMB = look.pocket ? pocketCapacityMB(chosen.path) : sparseBundleLimitMB(chosen.path);
    return look;
}

// What a move of the vault file ended with: its new path, or why it did not move.
struct MoveResult {
    QString path;
    std::optional<QString> failure;
};

// Moves a vault file into or out of cloud sync on a thread of its own: the rename may wait for a share.
QFuture<MoveResult> moveForCloud(QString path, bool excluded, QString restoredExtension) {
    return lookInThread<MoveResult>([path, excluded, restoredExtension] {
        MoveResult moved;
        try {
            moved.path = excluded ? CloudExclusion::exclude(path) : CloudExclusion::include(path, restoredExtension);
        } catch (const std::exception& e) {
            moved.failure = describeError(e);
        }
        return moved;
    });
}

// Whether names are free in a folder, looked at off the GUI thread.
enum class NameLook { free, taken, notResponding };

QFuture<NameLook> lookForTakenNames(QStringList paths, std::chrono::milliseconds deadline) {
    return lookInThread<NameLook>(
        [paths] {
            for (const QString& path : paths)
                if (somethingAt(path))
                    return NameLook::taken;
            return NameLook::free;
        },
        deadline, NameLook::notResponding);
}

QString createAgain() {
    return QStringLiteral("create the vault again");
}

} // namespace

// ---- the list itself ----

QCoro::Task<StoreOutcome> VaultStore::addExistingVault(QString path) {
    const ChosenFile chosen = chosenFile(path);
    const QPointer<VaultStore> self(this);
    auto looking = lookInThread<std::optional<ChosenLook>>(
        [chosen] { return std::optional<ChosenLook>(lookAtChosen(chosen, true)); }, fileLookDeadline(), std::nullopt);
    const std::optional<ChosenLook> look = co_await looking;
    if (!self)
        co_return StoreOutcome::success();
    if (!look)
        co_return reportFailure(notRespondingMessage(chosen.baseName, QStringLiteral("add it again")));
    const bool accepted = look->pocket || chosen.extension == kSparseBundle || chosen.extension == kNoSync;
    if (!accepted || !look->there)
        co_return reportFailure(QStringLiteral("Choose a vault file (.sparsebundle, .pocketvault or .nosync)."));

    const QString alreadyListed = QStringLiteral("That vault is already in the list.");
    if (filesBeingListed_.contains(look->resolved))
        co_return reportFailure(alreadyListed);
    filesBeingListed_.insert(look->resolved);
    const auto claimed = qScopeGuard([self, resolved = look->resolved] {
        if (self)
            self->filesBeingListed_.remove(resolved);
    });
    QStringList listedPaths;
    for (const Vault& listed : vaults_)
        listedPaths.append(listed.bundlePath);
    auto resolving = resolvedEachInTime(listedPaths, resolvedPath, fileLookDeadline());
    const QHash<QString, QString> resolved = co_await resolving;
    if (!self)
        co_return StoreOutcome::success();
    // Against the list as it is now: a vault listed meanwhile is compared as written.
    for (const Vault& listed : vaults_) {
        if (resolved.value(listed.bundlePath, QDir::cleanPath(listed.bundlePath)) == look->resolved)
            co_return reportFailure(alreadyListed);
    }

    Vault vault;
    vault.id = QUuid::createUuid();
    vault.kind = look->pocket ? VaultKind::pocket : VaultKind::standard;
    vault.name = chosen.baseName;
    vault.bundlePath = chosen.path;
    vault.maxSizeMB = look->maxSizeMB;
    vault.createdAt = now();
    vault.excludedFromCloud = chosen.extension == kNoSync;
    appendVault(vault);

    // An image already attached at that path is adopted; the operation does not wait for it.
    if (!look->pocket)
        refresh();
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::relocate(Vault vault, QString path) {
    const QString locateIt = QStringLiteral("locate it");
    if (!findVault(vault.id))
        co_return StoreOutcome::success();
    // An open vault's volume is matched to the list by the file's path: a new path would lose it,
    // and its lock would then detach nothing.
    if (isUnlocked(vault.id))
        co_return reportFailure(lockFirstMessage(vault, locateIt));
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, locateIt));

    const ChosenFile chosen = chosenFile(path);
    const QPointer<VaultStore> self(this);
    BusyMark busy(*this, vault.id);
    const bool wantsPocket = vault.kind == VaultKind::pocket;
    auto looking = lookInThread<std::optional<ChosenLook>>(
        [chosen, wantsPocket] { return std::optional<ChosenLook>(lookAtChosen(chosen, wantsPocket)); },
        fileLookDeadline(), std::nullopt);
    const std::optional<ChosenLook> look = co_await looking;
    if (!self)
        co_return StoreOutcome::success();
    if (!look)
        co_return reportFailure(notRespondingMessage(vault.name, QStringLiteral("locate it again")));
    if (wantsPocket) {
        if (!look->pocket || !look->there)
            co_return reportFailure(QStringLiteral("Choose the Pocket Vault file (.pocketvault or .nosync)."));
    } else if (look->pocket || (chosen.extension != kSparseBundle && chosen.extension != kNoSync) || !look->there) {
        co_return reportFailure(QStringLiteral("Choose a vault file (.sparsebundle or .nosync)."));
    }

    // Another add or locate is listing that file now.
    if (filesBeingListed_.contains(look->resolved))
        co_return reportFailure(QStringLiteral("That vault is already in the list."));
    filesBeingListed_.insert(look->resolved);
    const auto claimed = qScopeGuard([self, resolved = look->resolved] {
        if (self)
            self->filesBeingListed_.remove(resolved);
    });
    QStringList otherPaths;
    for (const Vault& other : vaults_)
        if (other.id != vault.id)
            otherPaths.append(other.bundlePath);
    auto resolving = resolvedEachInTime(otherPaths, resolvedPath, fileLookDeadline());
    const QHash<QString, QString> resolved = co_await resolving;
    if (!self)
        co_return StoreOutcome::success();
    // Forgotten meanwhile: nothing is left to locate. The mark kept every other operation away.
    if (!findVault(vault.id))
        co_return StoreOutcome::success();
    for (const Vault& other : vaults_) {
        if (other.id == vault.id)
            continue;
        if (resolved.value(other.bundlePath, QDir::cleanPath(other.bundlePath)) == look->resolved)
            co_return reportFailure(QStringLiteral("“%1” is already using that file.").arg(other.name));
    }

    QString name;
    modifyVault(vault.id, [&](Vault& record) {
        record.bundlePath = chosen.path;
        if (!chosen.baseName.isEmpty())
            record.name = chosen.baseName;
        record.excludedFromCloud = chosen.extension == kNoSync;
        // A Pocket Vault's capacity is its file's: the file found may be of another tier.
        if (record.kind == VaultKind::pocket)
            record.maxSizeMB = look->maxSizeMB;
        name = record.name;
    });
    recordActivity(name + QStringLiteral(" located"));
    refresh();
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::lockBeforeRemoving(Vault vault) {
    if (!isUnlocked(vault.id))
        co_return StoreOutcome::success();
    // The list's record names the vault as it is now in the lock's activity line.
    auto locking = lock(this->vault(vault.id).value_or(vault), false, LockReason::manual);
    const StoreOutcome locked = co_await locking;
    if (!locked.ok)
        co_return locked;
    // Opened again while the lock ended (another unlock), or another operation began on it: it stays.
    if (isUnlocked(vault.id))
        co_return reportFailure(lockFirstMessage(vault, QStringLiteral("remove it")));
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, QStringLiteral("remove it")));
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::forget(Vault vault) {
    // An unlock under way would open a vault nothing lists; a copy would go on writing into it.
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, QStringLiteral("remove it")));
    // An open vault that left the list would never be locked again by anything.
    auto locking = lockBeforeRemoving(vault);
    const StoreOutcome locked = co_await locking;
    if (!locked.ok)
        co_return locked;
    secrets().deletePassword(vault.id);
    while (removeVault(vault.id)) {
    }
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::setCloudExclusion(Vault vault, bool excluded) {
    if (isUnlocked(vault.id))
        co_return reportFailure(lockFirstMessage(vault, changeCloudSetting()));
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, changeCloudSetting()));
    // The list's own record, not the caller's copy: its path is where the file is now.
    const std::optional<Vault> current = this->vault(vault.id);
    if (!current)
        co_return StoreOutcome::success();

    const QPointer<VaultStore> self(this);
    BusyMark busy(*this, vault.id);
    // A file whose disk does not answer is left as it is. One that does is moved on a thread of its
    // own, never joined, and the vault stays busy until it has moved: its path changes with the move.
    auto looking = lookAtFile(current->bundlePath);
    const FileAnswer answer = co_await looking;
    if (!self)
        co_return StoreOutcome::success();
    if (answer == FileAnswer::notResponding)
        co_return reportFailure(notRespondingMessage(current->name, changeCloudSetting() + QStringLiteral(" again")));

    const QString restored = current->kind == VaultKind::pocket ? kPocketVault : kSparseBundle;
    auto moving = moveForCloud(current->bundlePath, excluded, restored);
    const MoveResult moved = co_await moving;
    if (!self)
        co_return StoreOutcome::success();
    if (moved.failure)
        co_return reportFailure(*moved.failure);
    modifyVault(vault.id, [&](Vault& record) {
        record.bundlePath = moved.path;
        record.excludedFromCloud = excluded;
    });
    co_return StoreOutcome::success();
}

// ---- creating and changing ----

QCoro::Task<StoreOutcome> VaultStore::createStandardVault(QString name, QString directory, qint64 maxSizeMB,
                                                          QString password, bool saveToKeychain, bool excludeFromCloud,
                                                          std::optional<QString> passwordHint) {
    if (const std::optional<QString> problem = nameProblem(name, kSparseBundle))
        co_return reportFailure(*problem);
    const QDir folder(directory);
    const QString bundle = folder.filePath(name + QLatin1Char('.') + kSparseBundle);
    const QString alternative = folder.filePath(name + QLatin1Char('.') + kNoSync);
    const QPointer<VaultStore> self(this);
    // The folder may be on a share that stopped answering.
    QFuture<NameLook> looking = lookForTakenNames({bundle, alternative}, fileLookDeadline());
    const NameLook names = co_await looking;
    if (!self)
        co_return StoreOutcome::success();
    if (names == NameLook::notResponding)
        co_return reportFailure(notRespondingMessage(QFileInfo(directory).fileName(), createAgain()));
    if (names == NameLook::taken)
        co_return reportFailure(nameTakenMessage(name));

    auto creating = failureOf(diskImage().create(bundle, name, maxSizeMB, password));
    const std::optional<QString> failure = co_await creating;
    if (!self)
        co_return StoreOutcome::success();
    if (failure)
        co_return reportFailure(*failure);

    // An image that could not take its ".nosync" name still exists and holds the password the user
    // just chose: it is listed under the name it has, so that it is neither lost nor left behind.
    // The move runs on a thread of its own and is waited for: the path to list depends on it.
    QString path = bundle;
    bool excluded = false;
    std::optional<QString> notExcluded;
    if (excludeFromCloud) {
        auto moving = moveForCloud(bundle, true, QString());
        const MoveResult moved = co_await moving;
        if (!self)
            co_return StoreOutcome::success();
        if (moved.failure) {
            notExcluded = QStringLiteral("The vault was created as “%1”, but it could not be kept out of %2: %3")
                              .arg(QFileInfo(bundle).fileName(), glossary::cloudSync, *moved.failure);
        } else {
            path = moved.path;
            excluded = true;
        }
    }

    Vault vault;
    vault.id = QUuid::createUuid();
    vault.kind = VaultKind::standard;
    vault.name = name;
    vault.bundlePath = path;
    vault.maxSizeMB = maxSizeMB;
    vault.createdAt = now();
    vault.excludedFromCloud = excluded;
    vault.requireTouchID = false;
    vault.openInFinderAfterUnlock = true;
    vault.autoOpenAtLaunch = false;
    vault.passwordHint = std::move(passwordHint);
    appendVault(vault);
    if (saveToKeychain)
        secrets().savePassword(password, vault.id);

    auto refreshing = refresh();
    co_await refreshing;
    if (notExcluded && self)
        co_return reportFailure(*notExcluded);
    co_return notExcluded ? StoreOutcome::failure(*notExcluded) : StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::createPocketVault(QString name, QString directory, int sizeMB, QString password,
                                                        bool saveToKeychain, bool excludeFromCloud,
                                                        std::optional<QString> passwordHint) {
    const quint64 since = lockAllCount_;
    const QString extension = excludeFromCloud ? kNoSync : kPocketVault;
    if (const std::optional<QString> problem = nameProblem(name, extension))
        co_return reportFailure(*problem);
    const QDir folder(directory);
    QStringList names;
    for (const QString& taken : {extension, excludeFromCloud ? kPocketVault : kNoSync, kSparseBundle})
        names.append(folder.filePath(name + QLatin1Char('.') + taken));
    const QPointer<VaultStore> self(this);
    // The folder may be on a share that stopped answering.
    QFuture<NameLook> looking = lookForTakenNames(names, fileLookDeadline());
    const NameLook free = co_await looking;
    if (!self)
        co_return StoreOutcome::success();
    if (free == NameLook::notResponding)
        co_return reportFailure(notRespondingMessage(QFileInfo(directory).fileName(), createAgain()));
    if (free == NameLook::taken)
        co_return reportFailure(nameTakenMessage(name));

    const QString path = folder.filePath(name + QLatin1Char('.') + extension);
    auto work = [path, sizeMB, password, excludeFromCloud]() {
        PocketCreated created;
        try {
            created.opened = PocketStorage::create(path, sizeMB, password, excludeFromCloud);
        } catch (...) {
            created.error = std::current_exception();
        }
        return created;
    };
    // On a thread of its own, never joined: a write stuck on a share must not hold the shared pool
    // or the process's exit.
    QFuture<PocketCreated> creating = lookInThread<PocketCreated>(std::move(work));
    PocketCreated created = co_await creating;
    if (!self)
        co_return StoreOutcome::success();
    if (!created.opened)
        co_return reportFailure(describeError(created.error));

    Vault vault;
    vault.id = QUuid::createUuid();
    vault.kind = VaultKind::pocket;
    vault.name = name;
    vault.bundlePath = path;
    vault.maxSizeMB = sizeMB;
    vault.createdAt = now();
    vault.excludedFromCloud = excludeFromCloud;
    vault.passwordHint = std::move(passwordHint);
    appendVault(vault);
    if (saveToKeychain)
        secrets().savePassword(password, vault.id);

    // Everything was locked while the file was being made: the new vault joins the list locked.
    if (lockAllBeganSince(since))
        co_return StoreOutcome::success();
    std::shared_ptr<PocketStorage> storage = std::move(created.opened->storage);
    const std::int64_t capacity = storage->capacity();
    std::shared_ptr<PocketSession> session =
        makePocketSession(vault.id, std::move(storage), std::move(created.opened->items), capacity);
    startPocketSession(std::move(session), vault, UnlockMethod::password);
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::resize(Vault vault, qint64 newSizeMB, QString password) {
    BusyMark busy(*this, vault.id);
    // What the vault takes now, as its gauge shows it, or measured afresh when it has none: a new
    // limit below it is refused here rather than left to the tool.
    qint64 used = sizesOnDisk_.value(vault.id, -1);
    if (used < 0) {
        auto measuring = usedBytes(vault);
        const std::optional<qint64> measured = co_await measuring;
        used = measured.value_or(-1);
    }
    if (newSizeMB < 0 || (newSizeMB <= std::numeric_limits<qint64>::max() / kMiB && newSizeMB * kMiB < used))
        co_return reportFailure(DiskImageError::limitBelowUse().message());

    auto resizing = failureOf(diskImage().resize(vault.bundlePath, newSizeMB, password));
    const std::optional<QString> failure = co_await resizing;
    if (failure)
        co_return reportFailure(*failure);
    // By id: the record may have changed in other ways while the tool ran.
    modifyVault(vault.id, [newSizeMB](Vault& record) { record.maxSizeMB = newSizeMB; });
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::compact(Vault vault, QString password) {
    BusyMark busy(*this, vault.id);
    auto compacting = failureOf(diskImage().compact(vault.bundlePath, password));
    const std::optional<QString> failure = co_await compacting;
    if (failure)
        co_return reportFailure(*failure);
    auto measuring = sizeOnDiskInTime(vault.bundlePath);
    const std::optional<qint64> bytes = co_await measuring;
    if (bytes)
        setSizeOnDisk(vault.id, *bytes);
    co_return StoreOutcome::success();
}

QCoro::Task<StoreOutcome> VaultStore::rename(Vault vault, QString newName, QString password) {
    if (isUnlocked(vault.id))
        co_return reportFailure(lockFirstMessage(vault, QStringLiteral("rename it")));
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, QStringLiteral("rename it")));
    const QFileInfo current(QDir::cleanPath(vault.bundlePath));
    // A file without an extension keeps having none, rather than gaining a trailing dot.
    const QString extension = current.suffix();
    if (const std::optional<QString> problem = nameProblem(newName, extension))
        co_return reportFailure(*problem);
    const QString newPath =
        current.dir().filePath(extension.isEmpty() ? newName : newName + QLatin1Char('.') + extension);

    const QPointer<VaultStore> self(this);
    BusyMark busy(*this, vault.id);
    // The file's folder is looked at, and the file moved, off the GUI thread: it may be on a share
    // that no longer answers. The vault stays busy until it has.
    auto looking = lookInThread<bool>([newPath] { return somethingAt(newPath); });
    const bool taken = co_await looking;
    if (!self)
        co_return StoreOutcome::success();
    if (taken)
        co_return reportFailure(nameTakenMessage(newName));
    std::optional<QString> failure;

    if (vault.kind == VaultKind::standard) {
        // Every failure after the tool may have attached the image leaves it attached and hidden;
        // it is recorded like a failed unlock's, so that it shows as open and lock-all reaches it.
        QString attachedAt;
        bool mayBeAttached = false;
        try {
            auto attaching = diskImage().attach(vault.bundlePath, password, true);
            attachedAt = co_await attaching;
        } catch (const DiskImageError& e) {
            failure = describeError(e);
            mayBeAttached = !e.isBadPassword();
        } catch (const std::exception& e) {
            failure = describeError(e);
        }
        if (failure) {
            setErrorMessage(*failure);
            if (mayBeAttached) {
                auto recording = recordStrayAttachment(vault);
                co_await recording;
            }
            co_return StoreOutcome::failure(*failure);
        }

        auto renaming = failureOf(diskImage().renameVolume(attachedAt, newName, vault.name));
        failure = co_await renaming;
        if (failure) {
            bool detached = true;
            try {
                auto detaching = diskImage().detach(attachedAt, false, vault.name);
                co_await detaching;
            } catch (const std::exception&) {
                // The rename's message is the one that matters; the image stays attached.
                detached = false;
            }
            setErrorMessage(*failure);
            if (!detached) {
                auto recording = recordStrayAttachment(vault);
                co_await recording;
            }
            co_return StoreOutcome::failure(*failure);
        }

        // Renaming the volume may have moved its mount point.
        auto looking = diskImage().mountPoint(vault.bundlePath);
        const std::optional<QString> renamedAt = co_await looking;
        auto detaching = failureOf(diskImage().detach(renamedAt.value_or(attachedAt), false, vault.name));
        failure = co_await detaching;
        if (failure) {
            setErrorMessage(*failure);
            auto recording = recordStrayAttachment(vault);
            co_await recording;
            co_return StoreOutcome::failure(*failure);
        }
    }

    auto moving = lookInThread<std::optional<QString>>([from = vault.bundlePath, newPath]() -> std::optional<QString> {
        try {
            noReplaceRename(from, newPath);
        } catch (const std::exception& e) {
            return describeError(e);
        }
        return std::nullopt;
    });
    failure = co_await moving;
    if (!self)
        co_return StoreOutcome::success();
    if (failure)
        co_return reportFailure(*failure);
    modifyVault(vault.id, [&](Vault& record) {
        record.name = newName;
        record.bundlePath = newPath;
    });
    co_return StoreOutcome::success();
}

bool VaultStore::updatePasswordHint(const Vault& vault, std::optional<QString> hint) {
    for (Vault& record : vaults_) {
        if (record.id != vault.id)
            continue;
        record.passwordHint = std::move(hint);
        emit vaultsChanged();
        return save();
    }
    return false;
}

QCoro::Task<StoreOutcome> VaultStore::changePassword(Vault vault, QString oldPassword, QString newPassword) {
    if (isUnlocked(vault.id))
        co_return reportFailure(lockFirstMessage(vault, QStringLiteral("change its password")));
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, QStringLiteral("change its password")));
    BusyMark busy(*this, vault.id);

    std::optional<QString> failure;
    if (vault.kind == VaultKind::pocket) {
        auto work = [path = vault.bundlePath, oldPassword, newPassword, keepOut = vault.excludedFromCloud]() {
            PocketStorage::changePassword(path, oldPassword, newPassword, keepOut);
        };
        QFuture<std::exception_ptr> changing = runCatching(std::move(work));
        const std::exception_ptr error = co_await changing;
        if (error)
            failure = describeError(error);
    } else {
        auto changing = failureOf(diskImage().changePassword(vault.bundlePath, oldPassword, newPassword));
        failure = co_await changing;
    }
    if (failure)
        co_return reportFailure(*failure);

    // A Pocket Vault has two passwords and only the one given as old changed: a saved password
    // that is the other one stays right. A disk image has one, so a saved one was the old one.
    secrets().replaceSavedPassword(vault.id, newPassword,
                                   vault.kind == VaultKind::pocket ? std::optional(oldPassword) : std::nullopt);
    co_return StoreOutcome::success();
}

// ---- verifying and deleting ----

QCoro::Task<> VaultStore::verifyPassword(Vault vault, QString password) {
    if (vault.kind != VaultKind::pocket) {
        auto checking = diskImage().verifyPassword(vault.bundlePath, password);
        co_await checking;
        co_return;
    }

    auto work = [path = vault.bundlePath, password]() { checkPocketFile(path, password); };
    QFuture<std::exception_ptr> checking = runCatching(std::move(work));
    const std::exception_ptr error = co_await checking;
    if (!error)
        co_return;
    try {
        std::rethrow_exception(error);
    } catch (const PocketVaultError& e) {
        // One error for a wrong password, whatever the kind of vault.
        if (e.which() == PocketVaultError::Case::badPassword)
            throw DiskImageError::badPassword();
        throw;
    }
}

QCoro::Task<VerifyOutcome> VaultStore::verifyVault(Vault vault, QString password) {
    std::exception_ptr error;
    QString healthy;
    if (vault.kind == VaultKind::pocket) {
        // The file as last saved; an open vault's session is not touched.
        auto work = [path = vault.bundlePath, password]() { checkPocketFile(path, password); };
        QFuture<std::exception_ptr> checking = runCatching(std::move(work));
        error = co_await checking;
        healthy = QStringLiteral("Vault is healthy — every item decrypted and checked.");
    } else {
        // Mounting an image that is mounted, or that an unlock, a rename or a re-key is working on,
        // would check something other than the vault or break that operation.
        if (isUnlocked(vault.id))
            co_return VerifyOutcome{false, lockFirstMessage(vault, QStringLiteral("verify it")), false};
        if (isBusy(vault.id))
            co_return VerifyOutcome{false, busyMessage(vault, QStringLiteral("verify it")), false};
        BusyMark busy(*this, vault.id);
        try {
            auto verifying = diskImage().verify(vault.bundlePath, password);
            co_await verifying;
        } catch (...) {
            error = std::current_exception();
        }
        healthy = QStringLiteral("Vault is healthy — filesystem check passed.");
    }
    if (!error)
        co_return VerifyOutcome{true, healthy, false};
    try {
        std::rethrow_exception(error);
    } catch (const DiskImageError& e) {
        if (e.isBadPassword())
            co_return VerifyOutcome{false, e.message(), true};
    } catch (const PocketVaultError& e) {
        if (e.which() == PocketVaultError::Case::badPassword)
            co_return VerifyOutcome{false, DiskImageError::badPassword().message(), true};
    } catch (...) {
    }
    co_return VerifyOutcome{false, describeError(error), false};
}

QCoro::Task<StoreOutcome> VaultStore::deleteVault(Vault vault) {
    // The file must not go to the Trash under an unlock, a re-key or a copy working on it.
    if (isBusy(vault.id))
        co_return reportFailure(busyMessage(vault, QStringLiteral("move it to the Trash")));
    auto locking = lockBeforeRemoving(vault);
    const StoreOutcome locked = co_await locking;
    if (!locked.ok)
        co_return locked;
    // The file where the list says it is now: the caller's copy may be older than a change of the
    // cloud setting or a locate made while the sheet was up.
    vault = this->vault(vault.id).value_or(vault);
    const QPointer<VaultStore> self(this);
    std::optional<QString> failure;
    {
        // Off the GUI thread, never joined: the file may be on a share that no longer answers, and
        // the vault stays busy until it has.
        BusyMark busy(*this, vault.id);
        auto trashing = lookInThread<std::optional<QString>>([path = vault.bundlePath]() -> std::optional<QString> {
            QFile file(path);
            if (file.moveToTrash())
                return std::nullopt;
            return somethingAt(path) ? file.errorString() : QStringLiteral("the file doesn’t exist.");
        });
        failure = co_await trashing;
    }
    if (!self)
        co_return failure ? StoreOutcome::failure(*failure) : StoreOutcome::success();
    if (failure)
        co_return reportFailure(QStringLiteral("“%1” could not be moved to the Trash: %2")
                                    .arg(QFileInfo(vault.bundlePath).fileName(), *failure));
    auto forgetting = forget(vault);
    co_return co_await forgetting;
}

} // namespace larkhold
