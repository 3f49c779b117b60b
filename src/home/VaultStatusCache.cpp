#include "VaultStatusCache.h"

#include "SecretStore.h"
#include "SecretText.h"
#include "VaultStore.h"

#include <QtConcurrent>

namespace larkhold {

VaultStatusCache::VaultStatusCache(VaultStore& store, SecretStore* secrets, QObject* parent)
    : QObject(parent), store_(store), fileProbe_(&probeVaultFile) {
    passwordProbe_ = [secrets](const QUuid& id) {
        if (!secrets)
            return false;
        std::optional<QString> saved = secrets->password(id);
        if (!saved)
            return false;
        // Only whether there is one is wanted; the text is not kept.
        wipeText(*saved);
        return true;
    };
    pool_->setMaxThreadCount(1);
    timer_.setInterval(kInterval);
    connect(&timer_, &QTimer::timeout, this, [this] { start(false); });
    timer_.start();
    connect(&watcher_, &QFutureWatcher<Result>::finished, this, &VaultStatusCache::finished);
    for (auto signal :
         {&VaultStore::vaultsChanged, &VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged})
        connect(&store_, signal, this, [this] { start(true); });
    connect(&store_, &VaultStore::busyVaultsChanged, this, [this] { start(false); });
    start(true);
}

VaultStatusCache::~VaultStatusCache() {
    watcher_.disconnect();
    // Deleting a pool waits for its thread; a look stuck on a dead share must not hold the window's
    // closing, so such a pool is left to finish on its own.
    if (running_)
        watcher_.future().then([pool = pool_](const Result&) { pool->deleteLater(); });
    else
        delete pool_;
}

VaultFileState VaultStatusCache::fileState(const QUuid& id) const {
    return files_.value(id, VaultFileState::present);
}

void VaultStatusCache::setTrackSavedPasswords(bool track) {
    if (trackPasswords_ == track)
        return;
    trackPasswords_ = track;
    if (track)
        start(true);
}

void VaultStatusCache::setProbes(FileProbe files, PasswordProbe passwords) {
    fileProbe_ = std::move(files);
    passwordProbe_ = std::move(passwords);
}

void VaultStatusCache::setInterval(std::chrono::milliseconds interval) {
    timer_.setInterval(interval);
}

void VaultStatusCache::refresh() {
    start(true);
}

void VaultStatusCache::start(bool passwords) {
    const bool lookAtPasswords = passwords && trackPasswords_;
    if (running_) {
        pending_ = true;
        pendingPasswords_ = pendingPasswords_ || lookAtPasswords;
        return;
    }
    running_ = true;
    QList<std::pair<QUuid, QString>> files;
    for (const Vault& vault : store_.vaults())
        files.append({vault.id, vault.bundlePath});
    FileProbe fileProbe = fileProbe_;
    PasswordProbe passwordProbe = lookAtPasswords ? passwordProbe_ : PasswordProbe();
    watcher_.setFuture(QtConcurrent::run(pool_, [files, fileProbe, passwordProbe] {
        Result result;
        result.lookedAtPasswords = bool(passwordProbe);
        for (const auto& [id, path] : files) {
            result.files.insert(id, fileProbe(path));
            if (passwordProbe)
                result.passwords.insert(id, passwordProbe(id));
        }
        return result;
    }));
}

void VaultStatusCache::finished() {
    running_ = false;
    ++passes_;
    const Result result = watcher_.result();
    bool different = result.files != files_;
    files_ = result.files;
    if (result.lookedAtPasswords) {
        different = different || result.passwords != passwords_;
        passwords_ = result.passwords;
    }
    if (pending_) {
        const bool passwords = pendingPasswords_;
        pending_ = false;
        pendingPasswords_ = false;
        start(passwords);
    }
    if (different)
        emit changed();
}

} // namespace larkhold
