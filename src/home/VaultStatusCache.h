#pragma once

#include "HomeModels.h"

#include <QFutureWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "PeriodicLooks.h"
#include "VaultFileLooks.h"

namespace larkhold {

class SecretStore;
class VaultStore;

// Where each listed vault's file is, and whether it has a saved password, looked up off the GUI
// thread and kept between looks. Painting reads only this: a stat on a dead network share or a
// call into the secret service never blocks a redraw.
//
// Files are looked at on a few threads kept between rounds (a long list must not start a thread
// per vault every few seconds); a look that hangs past its deadline keeps its thread and the others
// get one more, so one share that no longer answers holds up no other vault. A look that has not answered by its
// deadline makes the vault's state `unknown` until it does; no second look at that vault starts while one hangs.
//
// Files are looked at again when the list, the open vaults or the busy set change, and every few
// seconds (a disk may come or go at any time): those looks keep their own time on a thread of their own and
// reach the GUI thread only with an answer that changed or a look past its deadline. Saved passwords are looked up only while someone
// asked for them (setTrackSavedPasswords), and only when the list or the open vaults change: a
// keyring lookup may ask the desktop to unlock the keyring.
class VaultStatusCache : public QObject {
    Q_OBJECT

public:
    using FileProbe = std::function<VaultFileState(const QString& bundlePath)>;
    using PasswordProbe = std::function<bool(const QUuid& vaultId)>;

    static constexpr std::chrono::milliseconds kInterval{5000};
    static constexpr std::chrono::milliseconds kDeadline{3000};
    static constexpr int kLookThreads = 4;
    static constexpr int kLooksPerWorker = 64;

    // `secrets` may be null: no vault then counts as having a saved password.
    VaultStatusCache(VaultStore& store, SecretStore* secrets, QObject* parent = nullptr);
    ~VaultStatusCache() override;

    // A vault whose first look is still within its deadline counts as present: a card must not
    // flash "missing" while that look runs.
    VaultFileState fileState(const QUuid& id) const;
    bool isKnown(const QUuid& id) const;
    bool hasSavedPassword(const QUuid& id) const { return passwords_.value(id, false); }

    void setTrackSavedPasswords(bool track);
    // Replaces the lookups (tests; both run off the GUI thread).
    void setProbes(FileProbe files, PasswordProbe passwords);
    void setInterval(std::chrono::milliseconds interval);
    void setDeadline(std::chrono::milliseconds deadline) {
        deadline_ = deadline;
        periodic_->setDeadline(deadline);
    }

    // Looks again at every vault whose look is not still running; one still running is looked at
    // again once it answers.
    void refresh();
    bool isRefreshing() const;
    // Rounds of looks finished so far (every look answered); tests wait for it to grow.
    quint64 completedPasses() const { return passes_; }
    // Vaults the looks every few seconds look at on their own rather than with their folder (a link, a share).
    qsizetype lookedAtAlone() const { return periodicAlone_.size(); }

signals:
    // What is known of this vault's file or saved password changed; comes before changed().
    void vaultChanged(const QUuid& id);
    // Something changed, for listeners that read every vault.
    void changed();

private:
    struct Look {
        QString path;
        VaultFileState state = VaultFileState::present;
        bool known = false;
        bool looking = false;
        bool overdue = false;
        bool again = false;
        quint64 generation = 0;
    };

    void start(bool passwords);
    // A look under way, as its deadline finds it.
    struct Started {
        QUuid id;
        quint64 generation = 0;
        quint64 ticket = 0;
    };
    Started lookAt(const QUuid& id, Look& look);
    void watchDeadline(QList<Started> looks);
    void endAnsweredRounds();
    // True when the look's vault now counts as not answering.
    bool overdue(const Started& started);
    struct Answer {
        QUuid id;
        quint64 generation = 0;
        quint64 ticket = 0;
        VaultFileState state = VaultFileState::present;
    };
    // Takes every answer that came since the last call: a round's answers cost the GUI thread one wake-up.
    void takeAnswers();
    // True when the answer was about the look still wanted; `changed` is set when the vault's state changed.
    bool answered(const Answer& answer, QList<Started>& again, bool& changed);
    void passwordsFinished();
    void countPass();
    // What the looks every few seconds found changed, or did not answer in time.
    void periodicAnswers(const QHash<QUuid, FolderLook>& answers);
    void periodicLate(const QUuid& subject);
    void setPeriodicProbe(const FileProbe& probe);
    // The vaults' folders, and the vaults better looked at alone, as the looks every few seconds' subjects.
    void setPeriodicSubjects();

    VaultStore& store_;
    FileProbe fileProbe_;
    PasswordProbe passwordProbe_;
    bool trackPasswords_ = false;
    std::chrono::milliseconds deadline_ = kDeadline;
    QHash<QUuid, Look> looks_;
    QHash<QUuid, bool> passwords_;
    bool passwordsRunning_ = false;
    bool passwordsPending_ = false;
    quint64 passes_ = 0;
    // Where the looks' answers go; emptied when the cache goes, so that a late answer finds nobody.
    // A look waiting for a thread.
    struct Queued {
        Answer answer;
        QString path;
        FileProbe probe;
    };
    struct Mailbox {
        std::mutex mutex;
        VaultStatusCache* cache = nullptr;
        QList<Answer> answers;
        // Looks not started yet, taken in turn by up to `allowed` workers on the pool.
        std::deque<Queued> queue;
        int workers = 0;
        int probing = 0;
        int allowed = kLookThreads;
        // The GUI thread was asked to take the answers and has not yet.
        bool posted = false;
    };
    // Looks this thread asked for since the workers were last started.
    QList<Queued> pending_;
    // Starts the workers the queued looks may have.
    void startWorkers();
    void setAllowedWorkers(int count);
    static void work(const std::shared_ptr<Mailbox>& mailbox);
    std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
    QThreadPool* lookPool_ = new QThreadPool;
    // Looks not answered yet, and those of them past their deadline; each of those gets the workers one more thread.
    quint64 tickets_ = 0;
    QSet<quint64> running_;
    QSet<quint64> hung_;
    // Rounds whose deadline has not come, each with its own timer.
    struct Round {
        QTimer* timer = nullptr;
        QList<Started> looks;
    };
    QList<Round> rounds_;
    // The looks every few seconds, a folder at a time; a vault whose look there hangs gets no other look until it
    // answers.
    std::shared_ptr<std::pair<std::mutex, std::shared_ptr<VaultFileLooks>>> periodicProbe_ =
        std::make_shared<std::pair<std::mutex, std::shared_ptr<VaultFileLooks>>>();
    // Tells the looks every few seconds which folders did not change, so that an idle list takes no rounds.
    std::shared_ptr<FolderWatch> folderWatch_ = std::make_shared<FolderWatch>();
    std::unique_ptr<PeriodicLooks<FolderOfVaults, FolderLook>> periodic_;
    QSet<QUuid> periodicHung_;
    // Each subject's vaults, each vault's subject, and the vaults that are a subject of their own.
    QHash<QUuid, QList<QUuid>> periodicVaults_;
    QHash<QUuid, QUuid> periodicSubject_;
    QSet<QUuid> periodicAlone_;
    // The keyring the saved-password lookups ask, let go of when the cache goes.
    struct Keyring {
        std::mutex mutex;
        std::condition_variable answered;
        SecretStore* secrets = nullptr;
    };
    std::shared_ptr<Keyring> keyring_ = std::make_shared<Keyring>();
    // Saved-password lookups: one thread of their own, never the shared pool.
    QThreadPool* pool_ = new QThreadPool;
    QFutureWatcher<QHash<QUuid, bool>> watcher_;
};

} // namespace larkhold
