#pragma once

#include "PocketDocument.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace larkhold {

class PocketStorage;

// One open Pocket Vault: its document, its storage, and the saving of edits.
//
// Every edit is saved 0.6 s after the last one, so a burst of typing gives one write. Each save
// carries the number of edits made so far (its generation) and the storage never writes a state
// older than one it already wrote, so a slow save that ends late cannot undo a newer one.
class PocketSession : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kSaveDelay{600};

    PocketSession(QUuid vaultID, std::shared_ptr<PocketStorage> storage, PocketItems items, std::int64_t capacity,
                  PocketDocumentHost* documentHost = nullptr, QObject* parent = nullptr);
    ~PocketSession() override;

    QUuid vaultID() const { return vaultID_; }
    PocketDocument& document() { return *document_; }
    const PocketDocument& document() const { return *document_; }
    const std::shared_ptr<PocketStorage>& storage() const { return storage_; }

    // "Not saved: …" after a failed save, nothing after a successful one.
    const std::optional<QString>& saveError() const { return saveError_; }
    bool saving() const { return saving_; }
    // The last save found the file changed elsewhere and wrote nothing; a copy can keep the edits.
    bool fileChangedElsewhere() const { return changedElsewhere_; }
    // Writes the current items into a new vault file at `path` with this vault's passwords; the
    // session goes on with its own file. The user's text of the failure, or nothing.
    QCoro::Task<std::optional<QString>> saveCopy(QString path);
    // A copy written since the last edit holds every edit the vault's own file could not take.
    bool editsKeptInCopy() const { return copiedGeneration_ == generation_; }
    // The user chose to lock without the edits the vault's file could not take: they count as kept.
    void letEditsGo() { copiedGeneration_ = generation_; }
    // Writes the items into a new vault file beside the vault's own, under a name that replaces
    // nothing; the path it was written to, or nothing.
    QCoro::Task<std::optional<QString>> saveCopyBeside();
    bool secondPasswordRequested() const { return secondPasswordRequested_; }
    void setSecondPasswordRequested(bool requested);
    // Number of edits so far; each save passes the value current when it starts.
    std::int64_t generation() const { return generation_; }

    bool hasPendingSave() const { return saveTimer_.isActive(); }
    // Milliseconds until the pending save starts; -1 when none is pending.
    int saveDelayLeft() const { return saveTimer_.remainingTime(); }
    void cancelPendingSave();

    // Saves the current items now. True when they are on disk (or a newer state already was).
    QCoro::Task<bool> flush();
    // Drops the pending delayed save and saves at once; called before the vault closes.
    QCoro::Task<bool> finish();

signals:
    void saveErrorChanged();
    void savingChanged(bool saving);
    void secondPasswordRequestedChanged();
    // After every edit that was taken, before its save is scheduled: the vault was used.
    void edited(const QUuid& vaultID);

private:
    void changed();
    void setSaving(bool saving);

    const QUuid vaultID_;
    const std::shared_ptr<PocketStorage> storage_;
    PocketDocument* document_; // child object
    std::optional<QString> saveError_;
    bool saving_ = false;
    bool changedElsewhere_ = false;
    int savesRunning_ = 0;
    bool secondPasswordRequested_ = false;
    QTimer saveTimer_;
    std::int64_t generation_ = 0;
    std::int64_t copiedGeneration_ = -1;
};

} // namespace larkhold
