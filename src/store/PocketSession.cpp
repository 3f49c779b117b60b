#include "PocketSession.h"

#include "ErrorText.h"
#include "FileLook.h"
#include "PocketStorage.h"

#include <QCoroFuture>
#include <QDir>
#include <QFileInfo>

namespace larkhold {

PocketSession::PocketSession(QUuid vaultID, std::shared_ptr<PocketStorage> storage, PocketItems items,
                             std::int64_t capacity, PocketDocumentHost* documentHost, QObject* parent)
    : QObject(parent), vaultID_(vaultID), storage_(std::move(storage)),
      document_(new PocketDocument(std::move(items), capacity, documentHost, this)) {
    // Weak: a pending edit callback must not keep a closed session alive, nor reach a dead one.
    document_->setOnChange([self = QPointer<PocketSession>(this)] {
        if (self)
            self->changed();
    });
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(kSaveDelay);
    connect(&saveTimer_, &QTimer::timeout, this, [this] { flush(); });
}

PocketSession::~PocketSession() = default;

void PocketSession::setSecondPasswordRequested(bool requested) {
    if (requested == secondPasswordRequested_)
        return;
    secondPasswordRequested_ = requested;
    emit secondPasswordRequestedChanged();
}

void PocketSession::setSaving(bool saving) {
    if (saving == saving_)
        return;
    saving_ = saving;
    emit savingChanged(saving);
}

void PocketSession::cancelPendingSave() {
    saveTimer_.stop();
}

void PocketSession::changed() {
    ++generation_;
    emit edited(vaultID_);
    // Restarting the timer folds a burst of edits into one save after the last of them.
    saveTimer_.start();
}

QCoro::Task<bool> PocketSession::flush() {
    const QPointer<PocketSession> self(this);
    // Items and generation are taken together here on the main thread, so a save always writes
    // the state its generation names.
    PocketItems snapshot = document_->items();
    const std::int64_t generation = generation_;
    ++savesRunning_;
    setSaving(true);

    // On a thread of its own, never joined: a write stuck on a share must not hold the shared pool
    // or the process's exit.
    struct Outcome {
        std::optional<QString> failure;
        bool changedElsewhere = false;
    };
    QFuture<Outcome> saved = lookInThread<Outcome>([storage = storage_, items = std::move(snapshot), generation] {
        try {
            storage->save(items, generation);
            return Outcome{};
        } catch (const PocketVaultError& e) {
            return Outcome{e.message(), e.which() == PocketVaultError::Case::changedElsewhere ||
                                            e.which() == PocketVaultError::Case::movedElsewhere};
        } catch (...) {
            return Outcome{describeError(std::current_exception()), false};
        }
    });
    const Outcome outcome = co_await saved;
    const std::optional<QString>& failure = outcome.failure;

    if (!self)
        co_return !failure;
    changedElsewhere_ = outcome.changedElsewhere;
    std::optional<QString> error;
    if (failure)
        error = QStringLiteral("Not saved: ") + *failure;
    if (error != saveError_) {
        saveError_ = std::move(error);
        emit saveErrorChanged();
    }
    if (--savesRunning_ == 0)
        setSaving(false);
    co_return !failure;
}

QCoro::Task<std::optional<QString>> PocketSession::saveCopy(QString path) {
    const QPointer<PocketSession> self(this);
    const std::int64_t generation = generation_;
    QFuture<std::optional<QString>> written = lookInThread<std::optional<QString>>(
        [storage = storage_, items = document_->items(), path]() -> std::optional<QString> {
            try {
                storage->saveCopy(path, items);
                return std::nullopt;
            } catch (...) {
                return describeError(std::current_exception());
            }
        });
    const std::optional<QString> failure = co_await written;
    if (self && !failure)
        copiedGeneration_ = generation;
    co_return failure;
}

QCoro::Task<std::optional<QString>> PocketSession::saveCopyBeside() {
    const QPointer<PocketSession> self(this);
    const QFileInfo vault(storage_->path());
    const std::int64_t generation = generation_;
    QFuture<std::optional<QString>> written = lookInThread<std::optional<QString>>(
        [storage = storage_, items = document_->items(), vault]() -> std::optional<QString> {
            // A copy never replaces a file: a name that is taken, even meanwhile, gives way to the next.
            for (int n = 1; n <= 99; ++n) {
                const QString name =
                    n == 1 ? QStringLiteral("%1 (unsaved changes).pocketvault").arg(vault.completeBaseName())
                           : QStringLiteral("%1 (unsaved changes %2).pocketvault").arg(vault.completeBaseName()).arg(n);
                const QString path = vault.dir().filePath(name);
                try {
                    storage->saveCopy(path, items);
                    return path;
                } catch (...) {
                    if (!QFileInfo::exists(path))
                        return std::nullopt;
                }
            }
            return std::nullopt;
        });
    const std::optional<QString> path = co_await written;
    if (self && path)
        copiedGeneration_ = generation;
    co_return path;
}

QCoro::Task<bool> PocketSession::finish() {
    saveTimer_.stop();
    auto saving = flush();
    co_return co_await saving;
}

} // namespace larkhold
