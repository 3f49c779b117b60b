#include "VaultStatusCache.h"

#include "SecretStore.h"
#include "SecretText.h"
#include "VaultStore.h"

#include <QSet>
#include <QtConcurrent>
#include <thread>

namespace larkhold {

VaultStatusCache::VaultStatusCache(VaultStore& store, SecretStore* secrets, QObject* parent)
    : QObject(parent), store_(store), fileProbe_(&probeVaultFile) {
    passwordProbe_ = [secrets](const QUuid& id) {
        if (!secrets)
            return false;
        // On the cache's own thread, which may wait: the lookup's deadline ends the wait.
        std::optional<QString> saved = secrets->password(id).result();
        if (!saved)
            return false;
        // Only whether there is one is wanted; the text is not kept.
        wipeText(*saved);
        return true;
    };
    pool_->setMaxThreadCount(1);
    mailbox_->cache = this;
    lookPool_->setMaxThreadCount(kLookThreads);
    timer_.setInterval(kInterval);
    connect(&timer_, &QTimer::timeout, this, [this] { start(false); });
    timer_.start();
    connect(&watcher_, &QFutureWatcher<QHash<QUuid, bool>>::finished, this, &VaultStatusCache::passwordsFinished);
    for (auto signal :
         {&VaultStore::vaultsChanged, &VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged})
        connect(&store_, signal, this, [this] { start(true); });
    connect(&store_, &VaultStore::busyVaultsChanged, this, [this] { start(false); });
    start(true);
}

VaultStatusCache::~VaultStatusCache() {
    {
        const std::lock_guard lock(mailbox_->mutex);
        mailbox_->cache = nullptr;
    }
    lookPool_->clear();
    // Deleting a pool waits for its threads: one whose look is stuck on a share is left to end on
    // its own, and the pool with it.
    if (running_.isEmpty())
        delete lookPool_;
    else
        std::thread([pool = lookPool_] {
            pool->waitForDone();
            delete pool;
        }).detach();
    watcher_.disconnect();
    // Deleting a pool waits for its thread; a keyring lookup that hangs must not hold the window's
    // closing, so such a pool is left to finish on its own.
    if (passwordsRunning_)
        watcher_.future().then([pool = pool_](const QHash<QUuid, bool>&) { pool->deleteLater(); });
    else
        delete pool_;
}

VaultFileState VaultStatusCache::fileState(const QUuid& id) const {
    const auto look = looks_.constFind(id);
    if (look == looks_.cend())
        return VaultFileState::present;
    if (look->overdue)
        return VaultFileState::unknown;
    return look->known ? look->state : VaultFileState::present;
}

bool VaultStatusCache::isKnown(const QUuid& id) const {
    const auto look = looks_.constFind(id);
    return look != looks_.cend() && look->known && !look->overdue;
}

bool VaultStatusCache::isRefreshing() const {
    if (passwordsRunning_)
        return true;
    for (const Look& look : looks_) {
        if (look.looking)
            return true;
    }
    return false;
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
    QHash<QUuid, Look> kept;
    QList<QUuid> ids;
    for (const Vault& vault : store_.vaults()) {
        Look look = looks_.take(vault.id);
        if (look.path != vault.bundlePath) {
            // Another file now: what was known, and an answer still on its way, are about the old one.
            const quint64 generation = look.generation;
            look = Look{};
            look.path = vault.bundlePath;
            look.generation = generation + 1;
        }
        kept.insert(vault.id, look);
        ids.append(vault.id);
    }
    // A vault that left the list drops its look; an answer still on its way finds no entry.
    looks_ = std::move(kept);
    QList<Started> started;
    for (const QUuid& id : ids) {
        Look& look = looks_[id];
        if (look.looking)
            look.again = true;
        else
            started.append(lookAt(id, look));
    }
    watchDeadline(std::move(started));
    if (ids.isEmpty())
        countPass();

    if (!passwords || !trackPasswords_)
        return;
    if (passwordsRunning_) {
        passwordsPending_ = true;
        return;
    }
    passwordsRunning_ = true;
    PasswordProbe probe = passwordProbe_;
    watcher_.setFuture(QtConcurrent::run(pool_, [ids, probe] {
        QHash<QUuid, bool> result;
        for (const QUuid& id : ids)
            result.insert(id, probe(id));
        return result;
    }));
}

VaultStatusCache::Started VaultStatusCache::lookAt(const QUuid& id, Look& look) {
    look.looking = true;
    look.again = false;
    const quint64 generation = ++look.generation;
    const quint64 ticket = ++tickets_;
    running_.insert(ticket);
    lookPool_->start([mailbox = mailbox_, probe = fileProbe_, path = look.path, id, generation, ticket] {
        const VaultFileState state = probe(path);
        const std::lock_guard lock(mailbox->mutex);
        if (VaultStatusCache* cache = mailbox->cache)
            QMetaObject::invokeMethod(
                cache, [cache, id, generation, ticket, state] { cache->answered(id, generation, ticket, state); },
                Qt::QueuedConnection);
    });
    return {id, generation, ticket};
}

void VaultStatusCache::watchDeadline(QList<Started> looks) {
    if (looks.isEmpty())
        return;
    // One timer for a whole round: a timer per look would cost a long list more than its looks.
    QTimer::singleShot(deadline_, this, [this, looks = std::move(looks)] {
        bool any = false;
        for (const Started& started : looks)
            any = overdue(started) || any;
        if (any)
            emit changed();
    });
}

bool VaultStatusCache::overdue(const Started& started) {
    // A look stuck on a share keeps its thread: the others get one more, so that it holds up no
    // other vault's look.
    if (running_.contains(started.ticket) && !hung_.contains(started.ticket)) {
        hung_.insert(started.ticket);
        lookPool_->setMaxThreadCount(lookPool_->maxThreadCount() + 1);
    }
    const auto look = looks_.find(started.id);
    if (look == looks_.end() || look->generation != started.generation || !look->looking || look->overdue)
        return false;
    look->overdue = true;
    emit vaultChanged(started.id);
    return true;
}

void VaultStatusCache::answered(const QUuid& id, quint64 generation, quint64 ticket, VaultFileState state) {
    running_.remove(ticket);
    if (hung_.remove(ticket))
        lookPool_->setMaxThreadCount(lookPool_->maxThreadCount() - 1);
    const auto look = looks_.find(id);
    if (look == looks_.end() || look->generation != generation)
        return;
    const VaultFileState before = fileState(id);
    look->looking = false;
    look->overdue = false;
    look->known = true;
    look->state = state;
    if (look->again)
        watchDeadline({lookAt(id, *look)});
    else
        countPass();
    if (fileState(id) != before) {
        emit vaultChanged(id);
        emit changed();
    }
}

void VaultStatusCache::countPass() {
    if (!isRefreshing())
        ++passes_;
}

void VaultStatusCache::passwordsFinished() {
    passwordsRunning_ = false;
    const QHash<QUuid, bool> result = watcher_.result();
    QSet<QUuid> differing;
    for (auto it = result.cbegin(); it != result.cend(); ++it)
        if (passwords_.value(it.key(), false) != it.value())
            differing.insert(it.key());
    for (auto it = passwords_.cbegin(); it != passwords_.cend(); ++it)
        if (it.value() && !result.contains(it.key()))
            differing.insert(it.key());
    const bool different = result != passwords_;
    passwords_ = result;
    for (const QUuid& id : std::as_const(differing))
        emit vaultChanged(id);
    if (passwordsPending_) {
        passwordsPending_ = false;
        start(true);
    } else {
        countPass();
    }
    if (different)
        emit changed();
}

} // namespace larkhold
