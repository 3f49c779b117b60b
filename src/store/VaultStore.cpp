#include "VaultStore.h"

#include "Clock.h"
#include "Defaults.h"
#include "DiskImage.h"
#include "ErrorText.h"
#include "FileLook.h"
#include "OwnerCheck.h"
#include "PeriodicLooks.h"
#include "PocketSession.h"
#include "SecretStore.h"
#include "SettingsKeys.h"
#include "StoreHost.h"

#include <QCoroFuture>
#include <QFileInfo>

namespace larkhold {

namespace {

QPointer<VaultStore> sharedStore;

} // namespace

VaultStore::VaultStore(VaultStoreDeps deps, QObject* parent)
    : QObject(parent), deps_(std::move(deps)), vaultList_(deps_.dataFolder),
      volumeLooks_(std::make_unique<KeptLookThread>()) {
    Q_ASSERT(deps_.diskImage && deps_.secrets && deps_.ownerCheck && deps_.defaults && deps_.clock && deps_.host);

    // A list that cannot be read starts the store empty; the reader has set the file aside so that
    // the next save cannot overwrite it, and the user is told why the list is empty.
    VaultListLoad loaded = vaultList_.load();
    vaults_ = std::move(loaded.vaults);
    errorMessage_ = loaded.problem;
    if (const QString notice = deps_.defaults->stringValue(kKeptCopyNoticeKey); !notice.isEmpty()) {
        if (errorMessage_.isEmpty())
            errorMessage_ = notice;
        deps_.defaults->remove(kKeptCopyNoticeKey);
    }
    activity_ = ActivityLog::load(*deps_.defaults);

    autoLockTimer_.setInterval(kAutoLockInterval);
    connect(&autoLockTimer_, &QTimer::timeout, this, [this] { autoLockTick(); });
    // Ahead of every other listener, so that the one vault's signal comes before the whole list's.
    for (auto signal :
         {&VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged, &VaultStore::busyVaultsChanged})
        connect(this, signal, this, &VaultStore::announceStateChanges);
    if (deps_.startTimers)
        startTimers();
}

VaultStore::~VaultStore() = default;

VaultStore* VaultStore::shared() {
    return sharedStore.data();
}

void VaultStore::setShared(VaultStore* store) {
    sharedStore = store;
}

void VaultStore::startTimers() {
    autoLockTimer_.start();
    sizeLooks_ = std::make_unique<PeriodicLooks<QString, std::optional<qint64>>>(
        &volumeUse, kSizeInterval, deps_.fileLookDeadline,
        [this](const QHash<QUuid, std::optional<qint64>>& sizes) { takeVolumeSizes(sizes); },
        // A volume that does not answer keeps the size last measured.
        [](const QUuid&) {});
    connect(this, &VaultStore::mountPointsChanged, this, &VaultStore::followOpenVolumes);
    followOpenVolumes();
}

std::chrono::milliseconds VaultStore::sizeInterval() const {
    return sizeLooks_ ? sizeLooks_->period() : std::chrono::milliseconds(0);
}

void VaultStore::followOpenVolumes() {
    QHash<QUuid, QString> volumes;
    for (auto it = mountPoints_.cbegin(); it != mountPoints_.cend(); ++it)
        volumes.insert(it.key(), it.value());
    sizeLooks_->setSubjects(std::move(volumes));
}

void VaultStore::takeVolumeSizes(const QHash<QUuid, std::optional<qint64>>& sizes) {
    QHash<QUuid, qint64> measured;
    for (auto it = sizes.cbegin(); it != sizes.cend(); ++it) {
        if (!mountPoints_.contains(it.key()))
            continue;
        if (it.value()) {
            measured.insert(it.key(), *it.value());
        } else if (const Vault* vault = findVault(it.key())) {
            measureLeftBehind(*vault);
        }
    }
    setSizesOnDisk(measured);
}

QCoro::Task<> VaultStore::measureLeftBehind(Vault vault) {
    // The folder is no longer the volume (or cannot be looked at): what the vault's file takes, as when locked.
    const QPointer<VaultStore> self(this);
    auto measuring = measure({vault});
    const QHash<QUuid, qint64> sizes = co_await measuring;
    if (self && isUnlocked(vault.id))
        setSizesOnDisk(sizes);
}

QString VaultStore::storePath() const {
    return vaultList_.filePath();
}

Date VaultStore::now() const {
    return deps_.clock->now();
}

// ---- published state ----

PocketSession* VaultStore::pocketSession(const QUuid& id) const {
    const auto it = pocketSessions_.constFind(id);
    return it == pocketSessions_.cend() ? nullptr : it->get();
}

void VaultStore::setErrorMessage(const QString& message) {
    if (message == errorMessage_ && message.isNull() == errorMessage_.isNull())
        return;
    errorMessage_ = message;
    emit errorMessageChanged();
}

void VaultStore::setPasswordPromptVault(std::optional<Vault> vault) {
    if (vault == passwordPromptVault_)
        return;
    passwordPromptVault_ = std::move(vault);
    emit passwordPromptVaultChanged();
}

void VaultStore::setNewVaultRequested(bool requested) {
    if (requested == newVaultRequested_)
        return;
    newVaultRequested_ = requested;
    emit newVaultRequestedChanged();
}

void VaultStore::markUsed(const QUuid& id) {
    if (findVault(id) && isUnlocked(id))
        unlockedAt_[id] = now();
}

bool VaultStore::isUnlocked(const QUuid& id) const {
    return mountPoints_.contains(id) || pocketSessions_.contains(id);
}

void VaultStore::setMountPoint(const QUuid& id, const QString& mountPoint) {
    const auto it = mountPoints_.constFind(id);
    if (it != mountPoints_.cend() && *it == mountPoint)
        return;
    mountPoints_.insert(id, mountPoint);
    ++mountChanges_[id];
    emit mountPointsChanged();
}

void VaultStore::removeMountPoint(const QUuid& id) {
    if (mountPoints_.remove(id) == 0)
        return;
    ++mountChanges_[id];
    emit mountPointsChanged();
}

void VaultStore::setSizeOnDisk(const QUuid& id, qint64 bytes) {
    setSizesOnDisk({{id, bytes}});
}

void VaultStore::setSizesOnDisk(const QHash<QUuid, qint64>& sizes) {
    QList<QUuid> changed;
    for (auto it = sizes.cbegin(); it != sizes.cend(); ++it) {
        const auto known = sizesOnDisk_.constFind(it.key());
        if (known != sizesOnDisk_.cend() && *known == it.value())
            continue;
        sizesOnDisk_.insert(it.key(), it.value());
        changed.append(it.key());
    }
    if (changed.isEmpty())
        return;
    for (const QUuid& id : std::as_const(changed))
        emit vaultStateChanged(id);
    emit sizesOnDiskChanged();
}

void VaultStore::announceStateChanges() {
    QSet<QUuid> differing;
    for (auto it = mountPoints_.cbegin(); it != mountPoints_.cend(); ++it)
        if (announcedMounts_.value(it.key()) != it.value() || !announcedMounts_.contains(it.key()))
            differing.insert(it.key());
    for (auto it = announcedMounts_.cbegin(); it != announcedMounts_.cend(); ++it)
        if (!mountPoints_.contains(it.key()))
            differing.insert(it.key());
    QSet<QUuid> sessions;
    for (auto it = pocketSessions_.cbegin(); it != pocketSessions_.cend(); ++it)
        sessions.insert(it.key());
    differing += (sessions - announcedSessions_) + (announcedSessions_ - sessions);
    differing += (busyVaults_ - announcedBusy_) + (announcedBusy_ - busyVaults_);
    announcedMounts_ = mountPoints_;
    announcedSessions_ = std::move(sessions);
    announcedBusy_ = busyVaults_;
    for (const QUuid& id : std::as_const(differing))
        emit vaultStateChanged(id);
}

void VaultStore::removePocketSession(const QUuid& id, const PocketSession* session) {
    const auto it = pocketSessions_.find(id);
    if (it == pocketSessions_.end() || it->get() != session)
        return;
    pocketSessions_.erase(it);
    emit pocketSessionsChanged();
}

// ---- the vault list and the activity log ----

const Vault* VaultStore::findVault(const QUuid& id) const {
    for (const Vault& vault : vaults_)
        if (vault.id == id)
            return &vault;
    return nullptr;
}

std::optional<Vault> VaultStore::vault(const QUuid& id) const {
    const Vault* found = findVault(id);
    return found ? std::optional<Vault>(*found) : std::nullopt;
}

bool VaultStore::save() {
    const std::optional<QString> problem = vaultList_.save(vaults_);
    if (problem)
        setErrorMessage(*problem);
    return !problem;
}

void VaultStore::setVaults(QList<Vault> vaults) {
    vaults_ = std::move(vaults);
    emit vaultsChanged();
    save();
}

void VaultStore::appendVault(const Vault& vault) {
    vaults_.append(vault);
    emit vaultsChanged();
    save();
}

bool VaultStore::removeVault(const QUuid& id) {
    for (qsizetype i = 0; i < vaults_.size(); ++i) {
        if (vaults_[i].id != id)
            continue;
        vaults_.removeAt(i);
        emit vaultsChanged();
        save();
        return true;
    }
    return false;
}

bool VaultStore::modifyVault(const QUuid& id, const std::function<void(Vault&)>& change) {
    for (Vault& vault : vaults_) {
        if (vault.id != id)
            continue;
        change(vault);
        emit vaultsChanged();
        save();
        return true;
    }
    return false;
}

void VaultStore::recordActivity(const QString& text) {
    ActivityLog::append(*deps_.defaults, activity_, ActivityEvent::make(text, now()));
    emit activityChanged();
}

// ---- busy marks ----

VaultStore::BusyMark::BusyMark(VaultStore& store, const QUuid& id) : store_(&store), id_(id) {
    if (++store.busyCounts_[id] == 1) {
        store.busyVaults_.insert(id);
        emit store.busyVaultsChanged();
    }
}

VaultStore::BusyMark::~BusyMark() {
    if (!store_)
        return;
    VaultStore& store = *store_;
    const auto it = store.busyCounts_.find(id_);
    if (it == store.busyCounts_.end())
        return;
    if (--*it > 0)
        return;
    store.busyCounts_.erase(it);
    store.busyVaults_.remove(id_);
    emit store.busyVaultsChanged();
}

VaultStore::VolumeWriter::VolumeWriter(VaultStore& store, const QUuid& id)
    : store_(&store), id_(id), stop_(std::make_shared<std::atomic_bool>(store.locking_.contains(id))) {
    store.volumeWriters_[id].append(stop_);
}

VaultStore::VolumeWriter::~VolumeWriter() {
    if (!store_)
        return;
    VaultStore& store = *store_;
    const auto it = store.volumeWriters_.find(id_);
    if (it != store.volumeWriters_.end()) {
        it->removeAll(stop_);
        if (it->isEmpty())
            store.volumeWriters_.erase(it);
    }
    emit store.volumeWriterEnded(id_);
}

// ---- auto-lock ----

QCoro::Task<> VaultStore::autoLockTick() {
    if (!defaults().boolValue(SettingsKeys::autoLockEnabled))
        co_return;
    const qint64 minutes = std::max<qint64>(1, defaults().intValue(SettingsKeys::autoLockMinutes));
    const Date cutoff = now().addingSeconds(-60.0 * static_cast<double>(minutes));

    // Open vaults: the listed ones in list order, then those the list no longer holds (forgotten while
    // their unlock ran), so that nothing open is out of reach of auto-lock. A tick with nothing open
    // costs nothing, however long the list.
    if (mountPoints_.isEmpty() && pocketSessions_.isEmpty())
        co_return;
    QList<Vault> candidates;
    QSet<QUuid> listed;
    for (const Vault& vault : std::as_const(vaults_)) {
        if (!isUnlocked(vault.id))
            continue;
        candidates.append(vault);
        listed.insert(vault.id);
    }
    QList<QUuid> open = mountPoints_.keys();
    open += pocketSessions_.keys();
    for (const QUuid& id : std::as_const(open))
        if (!listed.contains(id))
            candidates.append(standInRecord(id));

    const QPointer<VaultStore> self(this);
    for (const Vault& vault : std::as_const(candidates)) {
        // Read afresh for every vault: an earlier lock in this pass may have taken a while.
        if (!isUnlocked(vault.id) || isBusy(vault.id))
            continue;
        const auto used = unlockedAt_.constFind(vault.id);
        if (used == unlockedAt_.cend())
            continue;
        if (*used < cutoff) {
            auto locking = lock(vault, true, LockReason::automatic);
            co_await locking;
            if (!self)
                co_return;
        }
    }
}

// ---- helpers ----

QCoro::Task<VaultStore::FileAnswer> VaultStore::lookAtFile(QString path) const {
    auto looking = lookInThread<FileAnswer>(
        [path] {
            if (QFileInfo::exists(path))
                return FileAnswer::present;
            return Vault::volumeIsPresent(path) ? FileAnswer::missing : FileAnswer::diskGone;
        },
        deps_.fileLookDeadline, FileAnswer::notResponding);
    co_return co_await looking;
}

namespace {

// Hands the measurement's answer on; a free function so that nothing of the store is reached once
// the measurement, left to itself, answers late.
QCoro::Task<> passOn(QCoro::Task<qint64> measuring, std::function<void(std::optional<qint64>)> give) {
    give(co_await measuring);
}

} // namespace

QCoro::Task<std::optional<qint64>> VaultStore::sizeOnDiskInTime(QString path) const {
    FirstAnswer<std::optional<qint64>> answer = firstAnswer<std::optional<qint64>>();
    passOn(diskImage().sizeOnDisk(path), answer.give);
    QTimer::singleShot(deps_.fileLookDeadline, QCoreApplication::instance(),
                       [give = answer.give] { give(std::nullopt); });
    co_return co_await answer.future;
}

QCoro::Task<bool> VaultStore::presentIfMissing(Vault vault) {
    const QPointer<VaultStore> self(this);
    auto looking = lookAtFile(vault.bundlePath);
    const FileAnswer answer = co_await looking;
    if (!self)
        co_return true;
    switch (answer) {
    case FileAnswer::present:
        co_return false;
    case FileAnswer::missing:
        host().presentRelocated(vault);
        break;
    case FileAnswer::diskGone:
        host().presentWaiting(vault);
        break;
    case FileAnswer::notResponding:
        setErrorMessage(notRespondingMessage(vault.name, QStringLiteral("unlock again")));
        break;
    }
    co_return true;
}

QString VaultStore::notRespondingMessage(const QString& name, const QString& then) {
    return QStringLiteral("The disk that holds “%1” is not responding. Check the drive or the network share, then %2.")
        .arg(name, then);
}

StoreOutcome VaultStore::reportFailure(const QString& text) {
    setErrorMessage(text);
    return StoreOutcome::failure(text);
}

QCoro::Task<std::optional<QString>> VaultStore::failureOf(QCoro::Task<> operation) {
    try {
        co_await operation;
    } catch (const std::exception& e) {
        co_return describeError(e);
    }
    co_return std::nullopt;
}

} // namespace larkhold
