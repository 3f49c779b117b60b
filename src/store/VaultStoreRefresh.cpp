// Holding the store's picture of the disk true: attached images, sizes, the automatic unlock at
// start, and showing an open vault.

#include "Clock.h"
#include "DiskImage.h"
#include "FileLook.h"
#include "PocketPayload.h"
#include "PocketSession.h"
#include "StoreHost.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QFile>
#include <cmath>
#include <list>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace larkhold {

QCoro::Task<> VaultStore::refresh() {
    // What the store believed when the listing was taken; anything that differs afterwards was
    // changed by an unlock or lock that finished meanwhile and is newer than the listing.
    const QHash<QUuid, quint64> before = mountChanges_;
    // Adding and locating start a refresh that nobody awaits; it must not touch a store that
    // was destroyed while the tool ran.
    const QPointer<VaultStore> self(this);
    auto listing = diskImage().attachedImages();
    std::optional<AttachedImages> images = co_await listing;
    if (!self)
        co_return;

    // A listing that failed says nothing about what is attached. Taking it as "nothing" would
    // make every open vault look locked while its volume stays mounted, out of reach of lock-all
    // and auto-lock; the known mount points stay instead.
    if (images) {
        // Links are resolved off the GUI thread, and only while an attached image is named by no
        // listed path as written.
        QStringList toResolve;
        QSet<QString> asWritten;
        for (const Vault& vault : vaults_)
            if (vault.kind != VaultKind::pocket)
                asWritten.insert(QDir::cleanPath(vault.bundlePath));
        for (auto it = images->cbegin(); it != images->cend(); ++it)
            if (!asWritten.contains(QDir::cleanPath(it.key())))
                toResolve.append(QDir::cleanPath(it.key()));
        if (!toResolve.isEmpty())
            for (const Vault& vault : vaults_)
                if (vault.kind != VaultKind::pocket)
                    toResolve.append(vault.bundlePath);
        auto resolving = resolvedEachInTime(toResolve, resolvedImagePath, deps_.fileLookDeadline);
        const QHash<QString, QString> resolved = co_await resolving;
        if (!self)
            co_return;
        adoptListing(*images, before, resolved);
    }

    auto measuring = measure(vaults_);
    const QHash<QUuid, qint64> sizes = co_await measuring;
    if (!self)
        co_return;
    setSizesOnDisk(sizes);
}

QCoro::Task<QHash<QUuid, qint64>> VaultStore::measure(QList<Vault> vaults) {
    // Many at once, each waiting for its own disk within the deadline, and the list learns every size
    // in one change rather than one change per vault. A window keeps a long list from taking every
    // thread the tools share.
    constexpr qsizetype kInFlight = 32;
    QList<Vault> distinct;
    QSet<QUuid> seen;
    for (const Vault& vault : vaults) {
        if (seen.contains(vault.id))
            continue;
        seen.insert(vault.id);
        distinct.append(vault);
    }
    const QPointer<VaultStore> self(this);
    std::list<QCoro::Task<std::optional<qint64>>> inFlight;
    QHash<QUuid, qint64> sizes;
    qsizetype next = 0;
    for (qsizetype done = 0; done < distinct.size(); ++done) {
        while (self && next < distinct.size() && next - done < kInFlight)
            inFlight.push_back(usedBytes(distinct[next++]));
        if (inFlight.empty())
            break;
        auto& measuring = inFlight.front();
        const std::optional<qint64> bytes = co_await measuring;
        inFlight.pop_front();
        if (bytes)
            sizes.insert(distinct[done].id, *bytes);
    }
    co_return sizes;
}

void VaultStore::adoptListing(const AttachedImages& images, const QHash<QUuid, quint64>& before,
                              const QHash<QString, QString>& resolved) {
    const auto resolvedImage = [&resolved](const QString& path) { return resolved.value(path, QDir::cleanPath(path)); };
    QList<std::pair<QString, QString>> attached; // image path, mount point
    for (auto it = images.cbegin(); it != images.cend(); ++it)
        attached.append({QDir::cleanPath(it.key()), it.value()});

    // Paths are compared as written first, then as resolved.
    QMap<QUuid, QString> listed;
    QSet<QString> named;
    for (const Vault& vault : vaults_) {
        if (vault.kind == VaultKind::pocket || listed.contains(vault.id))
            continue;
        const QString wanted = QDir::cleanPath(vault.bundlePath);
        for (const auto& [imagePath, mountPoint] : attached) {
            if (imagePath != wanted)
                continue;
            listed.insert(vault.id, mountPoint);
            named.insert(imagePath);
            break;
        }
    }
    if (named.size() < attached.size()) {
        QList<std::pair<QString, QString>> unnamed; // resolved image path, mount point
        for (const auto& [imagePath, mountPoint] : attached)
            if (!named.contains(imagePath))
                unnamed.append({resolvedImage(imagePath), mountPoint});
        for (const Vault& vault : vaults_) {
            if (vault.kind == VaultKind::pocket || listed.contains(vault.id))
                continue;
            const QString wanted = resolvedImage(vault.bundlePath);
            for (const auto& [imagePath, mountPoint] : unnamed) {
                if (imagePath != wanted)
                    continue;
                listed.insert(vault.id, mountPoint);
                break;
            }
        }
    }

    auto changedSinceListing = [&](const QUuid& id) {
        return isBusy(id) || before.value(id) != mountChanges_.value(id);
    };

    QMap<QUuid, QString> merged;
    for (auto it = listed.cbegin(); it != listed.cend(); ++it)
        if (!changedSinceListing(it.key()))
            merged.insert(it.key(), it.value());
    for (auto it = mountPoints_.cbegin(); it != mountPoints_.cend(); ++it) {
        const QUuid& id = it.key();
        if (changedSinceListing(id)) {
            merged.insert(id, it.value());
            continue;
        }
        if (listed.contains(id) || findVault(id))
            continue;
        // A vault no longer in the list cannot be matched by its path; it stays while its volume
        // is still mounted.
        for (const auto& entry : attached) {
            if (entry.second != it.value())
                continue;
            merged.insert(id, it.value());
            break;
        }
    }

    const Date stamp = now();
    for (auto it = merged.cbegin(); it != merged.cend(); ++it) {
        strayAttachments_.remove(it.key());
        if (!unlockedAt_.contains(it.key()))
            unlockedAt_.insert(it.key(), stamp);
    }
    for (auto it = mountPoints_.cbegin(); it != mountPoints_.cend(); ++it)
        if (!merged.contains(it.key()) && !pocketSessions_.contains(it.key()))
            unlockedAt_.remove(it.key());

    if (merged != mountPoints_) {
        // Counted like any other change, so that an older listing still under way cannot undo
        // what this one found.
        for (auto it = merged.cbegin(); it != merged.cend(); ++it)
            if (mountPoints_.value(it.key()) != it.value())
                ++mountChanges_[it.key()];
        for (auto it = mountPoints_.cbegin(); it != mountPoints_.cend(); ++it)
            if (!merged.contains(it.key()))
                ++mountChanges_[it.key()];
        mountPoints_ = std::move(merged);
        emit mountPointsChanged();
    }
}

QCoro::Task<> VaultStore::autoOpenFavorites() {
    if (didAutoOpen_)
        co_return;
    didAutoOpen_ = true;

    const QList<Vault> snapshot = vaults_;
    for (const Vault& vault : snapshot) {
        if (!vault.autoOpenAtLaunch)
            continue;
        if (isUnlocked(vault.id))
            continue;
        // A missing file, or one on a disk that does not answer, is skipped silently here; the
        // card's Unlock button offers to locate it.
        const QPointer<VaultStore> self(this);
        auto looking = lookAtFile(vault.bundlePath);
        const FileAnswer answer = co_await looking;
        if (!self)
            co_return;
        if (answer != FileAnswer::present || isUnlocked(vault.id))
            continue;
        auto requesting = requestUnlock(vault);
        co_await requesting;
    }
}

QCoro::Task<> VaultStore::refreshUnlockedSizes() {
    if (openCount() < 1)
        co_return;
    // The timer fires every few seconds; a measurement still running (a slow disk) is not piled on.
    if (measuringOpenVaults_)
        co_return;
    measuringOpenVaults_ = true;
    // The store may be destroyed (the application quitting) while a measurement runs.
    const QPointer<VaultStore> self(this);
    QList<Vault> open;
    for (const Vault& vault : vaults_)
        if (isUnlocked(vault.id))
            open.append(vault);
    auto measuring = measure(open);
    const QHash<QUuid, qint64> sizes = co_await measuring;
    if (!self)
        co_return;
    // A vault locked while it was measured keeps the size its lock left.
    QHash<QUuid, qint64> stillOpen;
    for (auto it = sizes.cbegin(); it != sizes.cend(); ++it)
        if (isUnlocked(it.key()))
            stillOpen.insert(it.key(), it.value());
    setSizesOnDisk(stillOpen);
    measuringOpenVaults_ = false;
}

QCoro::Task<std::optional<qint64>> VaultStore::usedBytes(Vault vault) {
    if (vault.kind == VaultKind::pocket) {
        const PocketSession* session = pocketSession(vault.id);
        co_return session ? PocketPayload::sizeOf(session->document().items()) : qint64(0);
    }

    // The store may be gone by the time the query ends.
    const QPointer<VaultStore> self(this);
    const auto mounted = mountPoints_.constFind(vault.id);
    if (mounted != mountPoints_.cend()) {
        // Off the shared pool, on the store's kept thread (or one of its own while that one is still busy): a
        // volume on a stalled network share can block the query, and a thread stuck so must hold neither the
        // shared pool, the next measurement nor the process's exit. A query that
        // has not answered within the deadline measures nothing: the size last measured stays.
        struct VolumeUse {
            bool answered = false;
            std::optional<qint64> used;
        };
        QFuture<VolumeUse> query = lookInThread<VolumeUse>(
            [mountPoint = *mounted]() -> VolumeUse { return {true, volumeUse(mountPoint)}; },
            deps_.fileLookDeadline, VolumeUse{}, volumeLooks_->starter());
        const VolumeUse use = co_await query;
        if (use.used)
            co_return *use.used;
        if (!self || !use.answered)
            co_return std::nullopt;
    }
    // A vault file on a share that stopped answering holds up neither the refresh nor the next
    // measurement of the other vaults.
    auto measuring = sizeOnDiskInTime(vault.bundlePath);
    co_return co_await measuring;
}

void VaultStore::openVault(const Vault& vault) {
    if (!isUnlocked(vault.id))
        return;
    unlockedAt_[vault.id] = now();
    if (PocketSession* session = pocketSession(vault.id)) {
        host().showPocketWindow(*session, vault);
        return;
    }
    const auto mounted = mountPoints_.constFind(vault.id);
    if (mounted != mountPoints_.cend())
        openVaultFolder(*mounted);
}

void VaultStore::openVaultFolder(const QString& path) {
    openFolderTask(path);
}

QCoro::Task<> VaultStore::openFolderTask(QString path) {
    // The path goes to the opener as one argument, never through a shell or a script.
    auto opening = diskImage().openFolder(path);
    const bool opened = co_await opening;
    if (!opened)
        host().openFolder(path);
}

std::optional<qint64> volumeUse(const QString& mountPoint) {
    // Two calls on the folder itself rather than a reading of every mount of the system: a look that comes
    // every few seconds.
    const QByteArray folder = QFile::encodeName(mountPoint);
    struct stat own {};
    struct stat above {};
    struct statvfs use {};
    if (::stat(folder.constData(), &own) != 0 || ::stat((folder + "/..").constData(), &above) != 0 ||
        ::statvfs(folder.constData(), &use) != 0)
        return std::nullopt;
    // A folder that a volume detached outside the application left behind lies on the disk beneath, on the same
    // device as the folder above it (the system's root is its own parent); that disk's numbers are not the vault's.
    if (own.st_dev == above.st_dev && own.st_ino != above.st_ino)
        return std::nullopt;
    const auto blocks = qint64(use.f_blocks) - qint64(use.f_bfree);
    return std::max<qint64>(0, blocks * qint64(use.f_frsize));
}

QString formatLimitMB(qint64 megabytes) {
    if (megabytes % 1024 == 0)
        return QString::number(megabytes / 1024) + QStringLiteral(" GB");
    return QString::number(megabytes) + QStringLiteral(" MB");
}

QString formatFileSize(qint64 bytes) {
    if (bytes == 0)
        return QStringLiteral("Zero KB");
    const QLocale locale(QLocale::English, QLocale::UnitedStates);
    const qint64 magnitude = bytes < 0 ? -bytes : bytes;
    if (magnitude < 1000)
        return locale.toString(bytes) + (magnitude == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));

    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    for (;;) {
        const double scale = std::pow(10.0, decimals[unit]);
        const double rounded = std::round(value * scale) / scale;
        if (std::abs(rounded) < 1000.0 || unit + 1 == std::size(units)) {
            QString number = locale.toString(rounded, 'f', decimals[unit]);
            if (number.contains(QLatin1Char('.'))) {
                while (number.endsWith(QLatin1Char('0')))
                    number.chop(1);
                if (number.endsWith(QLatin1Char('.')))
                    number.chop(1);
            }
            return number + QLatin1Char(' ') + QLatin1String(units[unit]);
        }
        value /= 1000.0;
        ++unit;
    }
}

QString capacityCaption(qint64 bytes, const Vault& vault, bool unlocked) {
    const QString limit = formatLimitMB(vault.maxSizeMB);
    if (unlocked)
        return formatFileSize(bytes) + QStringLiteral(" used of ") + limit;
    if (vault.kind == VaultKind::pocket)
        return QStringLiteral("Pocket Vault · ") + limit;
    return formatFileSize(bytes) + QStringLiteral(" on disk · up to ") + limit;
}

} // namespace larkhold
