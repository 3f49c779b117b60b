#pragma once

#include "HomeModels.h"

#include <QFutureWatcher>
#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <functional>

namespace larkhold {

class SecretStore;
class VaultStore;

// Where each listed vault's file is, and whether it has a saved password, looked up off the GUI
// thread and kept between looks. Painting reads only this: a stat on a dead network share or a
// call into the secret service never blocks a redraw.
//
// Files are looked at again when the list, the open vaults or the busy set change, and every few
// seconds (a disk may come or go at any time). Saved passwords are looked up only while someone
// asked for them (setTrackSavedPasswords), and only when the list or the open vaults change: a
// keyring lookup may ask the desktop to unlock the keyring.
class VaultStatusCache : public QObject {
    Q_OBJECT

public:
    using FileProbe = std::function<VaultFileState(const QString& bundlePath)>;
    using PasswordProbe = std::function<bool(const QUuid& vaultId)>;

    static constexpr std::chrono::milliseconds kInterval{5000};

    // `secrets` may be null: no vault then counts as having a saved password.
    VaultStatusCache(VaultStore& store, SecretStore* secrets, QObject* parent = nullptr);
    ~VaultStatusCache() override;

    // A vault not looked at yet counts as present: a card must not flash "missing" while the
    // first look runs.
    VaultFileState fileState(const QUuid& id) const;
    bool isKnown(const QUuid& id) const { return files_.contains(id); }
    bool hasSavedPassword(const QUuid& id) const { return passwords_.value(id, false); }

    void setTrackSavedPasswords(bool track);
    // Replaces the lookups (tests; both run on the worker thread).
    void setProbes(FileProbe files, PasswordProbe passwords);
    void setInterval(std::chrono::milliseconds interval);

    // Starts a look off the GUI thread; while one runs, another follows it.
    void refresh();
    bool isRefreshing() const { return running_; }
    // Looks finished so far; tests wait for it to grow.
    quint64 completedPasses() const { return passes_; }

signals:
    void changed();

private:
    struct Result {
        QHash<QUuid, VaultFileState> files;
        QHash<QUuid, bool> passwords;
        bool lookedAtPasswords = false;
    };

    void start(bool passwords);
    void finished();

    VaultStore& store_;
    FileProbe fileProbe_;
    PasswordProbe passwordProbe_;
    bool trackPasswords_ = false;
    QHash<QUuid, VaultFileState> files_;
    QHash<QUuid, bool> passwords_;
    bool running_ = false;
    bool pending_ = false;
    bool pendingPasswords_ = false;
    quint64 passes_ = 0;
    QTimer timer_;
    // One thread of its own: a look stuck on a dead share holds only this, never the shared pool.
    QThreadPool* pool_ = new QThreadPool;
    QFutureWatcher<Result> watcher_;
};

} // namespace larkhold
