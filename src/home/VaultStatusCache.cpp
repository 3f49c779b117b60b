#include "VaultStatusCache.h"

#include "SecretStore.h"
#include "SecretText.h"
#include "VaultFileLooks.h"
#include "VaultStore.h"

#include <QSet>
#include <algorithm>
#include <QtConcurrent>
#include <thread>

namespace larkhold {

VaultStatusCache::VaultStatusCache(VaultStore& store, SecretStore* secrets, QObject* parent)
    : QObject(parent), store_(store), fileProbe_(&probeVaultFile) {
    keyring_->secrets = secrets;
    passwordProbe_ = [keyring = keyring_](const QUuid& id) {
        // The store is asked only under the lock the cache's end takes to let go of it; the answer is
        // waited for without it, and the end stops the wait.
        QFuture<SecretStore::Lookup> asking;
        {
            const std::lock_guard lock(keyring->mutex);
            if (!keyring->secrets)
                return false;
            asking = keyring->secrets->lookUp(id);
        }
        auto found = std::make_shared<std::optional<SecretStore::Lookup>>();
        asking.then([keyring, found](SecretStore::Lookup lookup) {
            const std::lock_guard lock(keyring->mutex);
            *found = std::move(lookup);
            keyring->answered.notify_all();
        });
        std::unique_lock lock(keyring->mutex);
        keyring->answered.wait(lock, [&] { return found->has_value() || !keyring->secrets; });
        if (!found->has_value())
            return false;
        // Only whether there is one is wanted; the text is not kept.
        if ((*found)->password)
            wipeText(*(*found)->password);
        return (*found)->outcome == SecretStore::Lookup::Outcome::found;
    };
    pool_->setMaxThreadCount(1);
    pool_->setExpiryTimeout(2000);
    mailbox_->cache = this;
    lookPool_->setMaxThreadCount(kLookThreads);
    // A round's workers, and the keyring's, are let go soon after it: rounds come with changes, and an idle list
    // needs none of them.
    lookPool_->setExpiryTimeout(2000);
    setPeriodicProbe(fileProbe_);
    periodic_ = std::make_unique<PeriodicLooks<FolderOfVaults, FolderLook>>(
        [probe = periodicProbe_](const FolderOfVaults& folder) {
            std::shared_ptr<VaultFileLooks> files;
            {
                const std::lock_guard lock(probe->first);
                files = probe->second;
            }
            return files->look(folder);
        },
        kInterval, deadline_, [this](const QHash<QUuid, FolderLook>& answers) { periodicAnswers(answers); },
        [this](const QUuid& subject) { periodicLate(subject); });
    periodic_->setWatch({folderWatch_->files(),
                         [watch = folderWatch_](const std::vector<pollfd>& polled) { watch->readChanges(polled); },
                         [probe = periodicProbe_](const FolderOfVaults& folder) {
                             std::shared_ptr<VaultFileLooks> files;
                             {
                                 const std::lock_guard lock(probe->first);
                                 files = probe->second;
                             }
                             return files->unchanged(folder);
                         }});
    connect(&watcher_, &QFutureWatcher<QHash<QUuid, bool>>::finished, this, &VaultStatusCache::passwordsFinished);
    for (auto signal :
         {&VaultStore::vaultsChanged, &VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged})
        connect(&store_, signal, this, [this] { start(true); });
    connect(&store_, &VaultStore::busyVaultsChanged, this, [this] { start(false); });
    start(true);
}

VaultStatusCache::~VaultStatusCache() {
    periodic_.reset();
    {
        const std::lock_guard lock(mailbox_->mutex);
        mailbox_->cache = nullptr;
        mailbox_->queue.clear();
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
    // The lookups' thread stops waiting for the keyring and asks it nothing more, so that it ends here: the
    // store it asks may go right after the cache.
    {
        const std::lock_guard lock(keyring_->mutex);
        keyring_->secrets = nullptr;
        keyring_->answered.notify_all();
    }
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
    setPeriodicProbe(fileProbe_);
    passwordProbe_ = std::move(passwords);
}

void VaultStatusCache::setPeriodicProbe(const FileProbe& probe) {
    // The looks every few seconds skip a file whose folder did not change; a look asked for looks at the file itself.
    auto looks = std::make_shared<VaultFileLooks>(probe, std::chrono::seconds(1), std::chrono::seconds(1), folderWatch_);
    const std::lock_guard lock(periodicProbe_->first);
    periodicProbe_->second = std::move(looks);
}

void VaultStatusCache::setPeriodicSubjects() {
    // A subject's id stays the same while its folder does, so that what the looks knew of it is kept.
    static const QUuid folders = QUuid::fromString(QStringLiteral("{5b0c31e4-7d52-4f53-9a8e-2f6c0e7d1a93}"));
    QHash<QUuid, FolderOfVaults> subjects;
    QHash<QString, QUuid> folderIds;
    periodicVaults_.clear();
    periodicSubject_.clear();
    for (auto it = looks_.cbegin(); it != looks_.cend(); ++it) {
        QUuid subject = it.key();
        QString folder;
        const qsizetype slash = it->path.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            folder = it->path.left(slash);
        if (!periodicAlone_.contains(it.key()) && !folder.isEmpty()) {
            auto id = folderIds.find(folder);
            if (id == folderIds.end())
                id = folderIds.insert(folder, QUuid::createUuidV5(folders, folder));
            subject = *id;
        }
        FolderOfVaults& vaults = subjects[subject];
        vaults.folder = folder;
        vaults.files.insert(it.key(), it->path);
        periodicVaults_[subject].append(it.key());
        periodicSubject_.insert(it.key(), subject);
    }
    folderWatch_->keepOnly(QSet<QString>(folderIds.keyBegin(), folderIds.keyEnd()));
    periodic_->setSubjects(std::move(subjects));
}

void VaultStatusCache::setInterval(std::chrono::milliseconds interval) {
    periodic_->setPeriod(interval);
}

void VaultStatusCache::refresh() {
    start(true);
}

void VaultStatusCache::start(bool passwords) {
    const QList<Vault> vaults = store_.vaults();
    // The same vaults at the same paths as last time (the timer's round, nearly always): the looks stay as they are.
    bool same = looks_.size() == vaults.size();
    for (qsizetype i = 0; same && i < vaults.size(); ++i) {
        const auto look = looks_.constFind(vaults.at(i).id);
        same = look != looks_.cend() && look->path == vaults.at(i).bundlePath;
    }
    QList<QUuid> ids;
    ids.reserve(vaults.size());
    for (const Vault& vault : vaults)
        ids.append(vault.id);
    if (!same) {
        QHash<QUuid, Look> kept;
        for (const Vault& vault : vaults) {
            Look look = looks_.take(vault.id);
            if (look.path != vault.bundlePath) {
                // Another file now: what was known, and an answer still on its way, are about the old one.
                const quint64 generation = look.generation;
                look = Look{};
                look.path = vault.bundlePath;
                look.generation = generation + 1;
                periodicAlone_.remove(vault.id);
            }
            kept.insert(vault.id, look);
        }
        // A vault that left the list drops its look; an answer still on its way finds no entry.
        // A vault looked at alone stays so while it is listed at the same path.
        for (auto it = periodicAlone_.begin(); it != periodicAlone_.end();)
            it = kept.contains(*it) ? std::next(it) : periodicAlone_.erase(it);
        looks_ = std::move(kept);
        setPeriodicSubjects();
        for (auto it = periodicHung_.begin(); it != periodicHung_.end();)
            it = looks_.contains(*it) ? std::next(it) : periodicHung_.erase(it);
    }
    QList<Started> started;
    for (const QUuid& id : ids) {
        Look& look = looks_[id];
        if (periodicHung_.contains(id))
            continue;
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
    pending_.append({{id, generation, ticket, VaultFileState::present}, look.path, fileProbe_});
    return {id, generation, ticket};
}

void VaultStatusCache::setAllowedWorkers(int count) {
    lookPool_->setMaxThreadCount(count);
    const std::lock_guard lock(mailbox_->mutex);
    mailbox_->allowed = count;
}

void VaultStatusCache::startWorkers() {
    const std::lock_guard lock(mailbox_->mutex);
    for (Queued& look : pending_)
        mailbox_->queue.push_back(std::move(look));
    pending_.clear();
    // A worker for every kLooksPerWorker looks waiting: a short list wakes one thread a round. A worker in a
    // look that hangs takes no other, so the queue gets one of its own.
    while (mailbox_->workers < mailbox_->allowed &&
           qsizetype(mailbox_->queue.size()) > (mailbox_->workers - mailbox_->probing) * kLooksPerWorker) {
        ++mailbox_->workers;
        lookPool_->start([mailbox = mailbox_] { work(mailbox); });
    }
}

void VaultStatusCache::work(const std::shared_ptr<Mailbox>& mailbox) {
    // A worker takes look after look: a round costs a few threads' wake-ups, not one per vault.
    std::unique_lock lock(mailbox->mutex);
    for (;;) {
        if (!mailbox->cache || mailbox->queue.empty() || mailbox->workers > mailbox->allowed) {
            --mailbox->workers;
            return;
        }
        Queued look = std::move(mailbox->queue.front());
        mailbox->queue.pop_front();
        ++mailbox->probing;
        lock.unlock();
        look.answer.state = look.probe(look.path);
        lock.lock();
        --mailbox->probing;
        VaultStatusCache* cache = mailbox->cache;
        if (!cache)
            continue;
        mailbox->answers.append(look.answer);
        // The GUI thread is woken once the queue is done, not once per answer; answers that wait behind a look
        // that hangs are taken when the round's deadline comes.
        if (mailbox->queue.empty() && !mailbox->posted) {
            mailbox->posted = true;
            QMetaObject::invokeMethod(cache, [cache] { cache->takeAnswers(); }, Qt::QueuedConnection);
        }
    }
}

void VaultStatusCache::watchDeadline(QList<Started> looks) {
    if (looks.isEmpty())
        return;
    startWorkers();
    // One timer for a whole round: a timer per look would cost a long list more than its looks. A round whose
    // every look answered stops it.
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    rounds_.append({timer, std::move(looks)});
    connect(timer, &QTimer::timeout, this, [this, timer] {
        timer->deleteLater();
        QList<Started> looks;
        for (qsizetype i = 0; i < rounds_.size(); ++i) {
            if (rounds_.at(i).timer == timer) {
                looks = rounds_.takeAt(i).looks;
                break;
            }
        }
        // What answered meanwhile counts before anything is taken as not answering.
        takeAnswers();
        // A look still waiting for a thread (behind one that hangs) has not been asked yet: it gets a thread now,
        // and its deadline from then.
        QSet<quint64> waiting;
        {
            const std::lock_guard lock(mailbox_->mutex);
            for (const Queued& queued : mailbox_->queue)
                waiting.insert(queued.answer.ticket);
        }
        bool any = false;
        QList<Started> later;
        for (const Started& started : std::as_const(looks)) {
            if (waiting.contains(started.ticket))
                later.append(started);
            else
                any = overdue(started) || any;
        }
        startWorkers();
        watchDeadline(std::move(later));
        if (any)
            emit changed();
    });
    timer->start(deadline_);
}

void VaultStatusCache::endAnsweredRounds() {
    for (qsizetype i = rounds_.size() - 1; i >= 0; --i) {
        const QList<Started>& looks = rounds_.at(i).looks;
        const bool answered = std::none_of(looks.cbegin(), looks.cend(),
                                           [this](const Started& look) { return running_.contains(look.ticket); });
        if (!answered)
            continue;
        QTimer* timer = rounds_.takeAt(i).timer;
        timer->stop();
        timer->deleteLater();
    }
}

bool VaultStatusCache::overdue(const Started& started) {
    // A look stuck on a share keeps its thread: the others get one more, so that it holds up no
    // other vault's look.
    if (running_.contains(started.ticket) && !hung_.contains(started.ticket)) {
        hung_.insert(started.ticket);
        setAllowedWorkers(lookPool_->maxThreadCount() + 1);
    }
    const auto look = looks_.find(started.id);
    if (look == looks_.end() || look->generation != started.generation || !look->looking || look->overdue)
        return false;
    look->overdue = true;
    periodic_->forget(periodicSubject_.value(started.id));
    emit vaultChanged(started.id);
    return true;
}

void VaultStatusCache::periodicAnswers(const QHash<QUuid, FolderLook>& answers) {
    bool any = false;
    bool regroup = false;
    for (auto folder = answers.cbegin(); folder != answers.cend(); ++folder) {
        for (auto it = folder->states.cbegin(); it != folder->states.cend(); ++it) {
            periodicHung_.remove(it.key());
            const auto look = looks_.find(it.key());
            // A look asked for meanwhile tells its own answer.
            if (look == looks_.end() || look->looking)
                continue;
            const VaultFileState before = fileState(it.key());
            const bool wasKnown = isKnown(it.key());
            look->known = true;
            look->overdue = false;
            look->state = it.value();
            if (fileState(it.key()) != before || isKnown(it.key()) != wasKnown) {
                emit vaultChanged(it.key());
                any = true;
            }
        }
        for (const QUuid& id : folder->alone) {
            if (looks_.contains(id) && periodicSubject_.value(id) != id) {
                periodicAlone_.insert(id);
                regroup = true;
            }
        }
    }
    if (regroup)
        setPeriodicSubjects();
    if (any)
        emit changed();
}

void VaultStatusCache::periodicLate(const QUuid& subject) {
    bool any = false;
    for (const QUuid& id : periodicVaults_.value(subject)) {
        periodicHung_.insert(id);
        const auto look = looks_.find(id);
        if (look == looks_.end() || look->looking || look->overdue)
            continue;
        look->overdue = true;
        emit vaultChanged(id);
        any = true;
    }
    if (any)
        emit changed();
}

void VaultStatusCache::takeAnswers() {
    QList<Answer> answers;
    {
        const std::lock_guard lock(mailbox_->mutex);
        answers.swap(mailbox_->answers);
        mailbox_->posted = false;
    }
    QList<Started> again;
    bool current = false;
    bool changed = false;
    for (const Answer& answer : std::as_const(answers))
        current = answered(answer, again, changed) || current;
    watchDeadline(std::move(again));
    endAnsweredRounds();
    if (current)
        countPass();
    // Listeners that read every vault hear of a whole batch once.
    if (changed)
        emit this->changed();
}

bool VaultStatusCache::answered(const Answer& answer, QList<Started>& again, bool& changed) {
    running_.remove(answer.ticket);
    if (hung_.remove(answer.ticket))
        setAllowedWorkers(lookPool_->maxThreadCount() - 1);
    const auto look = looks_.find(answer.id);
    if (look == looks_.end() || look->generation != answer.generation)
        return false;
    const VaultFileState before = fileState(answer.id);
    look->looking = false;
    look->overdue = false;
    look->known = true;
    look->state = answer.state;
    if (look->again)
        again.append(lookAt(answer.id, *look));
    if (fileState(answer.id) != before) {
        // The looks every few seconds tell what differs from their own last answer, which this one may have
        // overtaken.
        periodic_->forget(periodicSubject_.value(answer.id));
        emit vaultChanged(answer.id);
        changed = true;
    }
    return true;
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
