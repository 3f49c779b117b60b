#include "ImportModel.h"

#include "Defaults.h"
#include "FileLook.h"
#include "PocketDocument.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "SecretStore.h"
#include "SecretText.h"
#include "SecureBytes.h"
#include "SettingsKeys.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <cstring>

namespace larkhold {

namespace {

QString quotedName(const QString& path) {
    return QStringLiteral("“%1”").arg(QFileInfo(path).fileName());
}

QString asWritten(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// A path with its links resolved, and whether it is a folder.
struct Resolved {
    QString path;
    bool folder = false;
};

Resolved resolvedNow(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return Resolved{canonical.isEmpty() ? asWritten(path) : canonical, info.isDir()};
}

// A path on a share that stopped answering stays as written once the deadline has passed, and
// counts as a folder: whatever is listed below it is still refused.
Resolved unresolved(const QString& path) {
    return Resolved{asWritten(path), true};
}

// Resolves every path on a thread of its own: one vault on a dead share holds up no other.
QCoro::Task<QList<Resolved>> eachResolvedInTime(QStringList paths, std::chrono::milliseconds deadline) {
    QList<QFuture<Resolved>> looks;
    for (const QString& path : paths)
        looks.append(lookInThread<Resolved>([path] { return resolvedNow(path); }, deadline, unresolved(path)));
    QList<Resolved> answers;
    for (QFuture<Resolved>& look : looks)
        answers.append(co_await look);
    co_return answers;
}

// Resolves the files handed over, which may be thousands, on one thread.
QCoro::Task<QList<Resolved>> allResolvedInTime(QStringList paths, std::chrono::milliseconds deadline) {
    QList<Resolved> late;
    for (const QString& path : paths)
        late.append(unresolved(path));
    auto looking = lookInThread<QList<Resolved>>(
        [paths] {
            QList<Resolved> answers;
            for (const QString& path : paths)
                answers.append(resolvedNow(path));
            return answers;
        },
        deadline, late);
    co_return co_await looking;
}

bool isInside(const QString& path, const QString& folder) {
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

QString refusedAsVault(const QString& path) {
    return QStringLiteral("%1 is a vault. A vault can’t be added to a vault.").arg(quotedName(path));
}

QString refusedAsVolume(const QString& path) {
    return QStringLiteral("%1 is the volume of an unlocked vault. A vault can’t be added to a vault.")
        .arg(quotedName(path));
}

QString refusedAsHolder(const QString& path) {
    return QStringLiteral("%1 holds a vault. A vault can’t be added to a vault.").arg(quotedName(path));
}

// Whether the file holds exactly these bytes. The file may be a note: what is read is wiped.
bool holdsExactly(const QString& path, ByteView bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || file.size() != qint64(bytes.size()))
        return false;
    SecureBytes chunk(1 << 16);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const qint64 got = file.read(reinterpret_cast<char*>(chunk.data()), qint64(chunk.size()));
        if (got <= 0 || offset + std::size_t(got) > bytes.size() ||
            std::memcmp(chunk.data(), bytes.data() + offset, std::size_t(got)) != 0)
            return false;
        offset += std::size_t(got);
    }
    char extra = 0;
    return file.read(&extra, 1) == 0;
}

QString itemCount(qsizetype count) {
    return QStringLiteral("%1 item(s)").arg(count);
}

// What a move or copy that stopped at a failing file did with the files before it: the ones moved
// in (their originals in the Trash), the ones only copied in (their originals kept).
QString stoppedResult(const FolderCopyResult& done, bool moveOriginals) {
    if (!moveOriginals || done.trashed == 0)
        return moveOriginals
                   ? QStringLiteral("%1 copied in — originals kept where they were.").arg(itemCount(done.copied))
                   : QStringLiteral("%1 copied in.").arg(itemCount(done.copied));
    if (done.trashed == done.copied)
        return QStringLiteral("%1 moved in — originals are in the Trash.").arg(itemCount(done.copied));
    return QStringLiteral("%1 moved in — originals are in the Trash; %2 copied in — originals kept where they were.")
        .arg(itemCount(done.trashed), itemCount(done.copied - done.trashed));
}

// "3,000", as counts of files are written for the user.
QString itemNumber(qsizetype count) {
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(qint64(count));
}

QString itemsNumber(qsizetype count) {
    return itemNumber(count) + (count == 1 ? QStringLiteral(" item") : QStringLiteral(" items"));
}

} // namespace

QCoro::Task<QList<std::optional<QString>>> importRefusals(QStringList paths, const VaultStore& store,
                                                          std::chrono::milliseconds deadline) {
    // Everything taken from the store before the first wait: the store may change or go meanwhile.
    QStringList vaultFiles;
    for (const Vault& vault : store.vaults())
        if (!vault.bundlePath.isEmpty())
            vaultFiles.append(vault.bundlePath);
    for (const std::shared_ptr<PocketSession>& session : store.pocketSessions())
        if (session && session->storage())
            vaultFiles.append(session->storage()->path());
    const QStringList mountPoints = store.mountPoints().values();

    // All looks start before the first wait: together they take the deadline at most.
    auto resolvingSources = allResolvedInTime(paths, deadline);
    auto resolvingOthers = eachResolvedInTime(vaultFiles + mountPoints, deadline);
    const QList<Resolved> sources = co_await resolvingSources;
    const QList<Resolved> others = co_await resolvingOthers;
    const QList<Resolved> vaults = others.mid(0, vaultFiles.size());
    const QList<Resolved> volumes = others.mid(vaultFiles.size());

    QList<std::optional<QString>> refusals;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const QString& path = paths.at(i);
        const Resolved& source = sources.at(i);
        const auto refusal = [&]() -> std::optional<QString> {
            for (const Resolved& vaultFile : vaults) {
                if (source.path == vaultFile.path)
                    return refusedAsVault(path);
                if (source.folder && isInside(vaultFile.path, source.path))
                    return refusedAsHolder(path);
            }
            for (const Resolved& volume : volumes) {
                if (source.path == volume.path)
                    return refusedAsVolume(path);
                if (source.folder && isInside(volume.path, source.path))
                    return refusedAsHolder(path);
            }
            if (looksLikeVaultByName(source.path) || looksLikeVaultByName(path))
                return refusedAsVault(path);
            return std::nullopt;
        };
        refusals.append(refusal());
    }
    co_return refusals;
}

ImportModel::ImportModel(ImportDeps deps, const QList<QUrl>& files, QObject* parent)
    : QObject(parent), deps_(std::move(deps)), store_(deps_.store) {
    for (const QUrl& url : files)
        if (url.isLocalFile())
            files_.append(url.toLocalFile());
    if (!deps_.trash)
        deps_.trash = moveToTrash;
    closeTimer_.setSingleShot(true);
    closeTimer_.setInterval(deps_.closeDelay);
    connect(&closeTimer_, &QTimer::timeout, this, [this] {
        emit closeRequested();
        working_ = false;
        emit changed();
    });
    if (store_) {
        connect(store_, &VaultStore::vaultsChanged, this, &ImportModel::changed);
        connect(store_, &VaultStore::pocketSessionsChanged, this, &ImportModel::changed);
        connect(store_, &VaultStore::mountPointsChanged, this, &ImportModel::changed);
    }
}

ImportModel::~ImportModel() {
    wipeText(password_);
}

QString ImportModel::title() const {
    if (files_.size() == 1)
        return QStringLiteral("Add “%1” to a vault").arg(QFileInfo(files_.front()).fileName());
    return QStringLiteral("Add %1 items to a vault").arg(files_.size());
}

QString ImportModel::subtitle() {
    return QStringLiteral("The vault unlocks if needed, files are copied in");
}

QList<Vault> ImportModel::vaults() const {
    return store_ ? store_->vaults() : QList<Vault>();
}

void ImportModel::setSelectedVaultID(std::optional<QUuid> id) {
    if (id == selectedVaultID_)
        return;
    selectedVaultID_ = id;
    passwordRequired_ = false;
    refreshSavedPassword();
    emit changed();
}

void ImportModel::selectFirstVault() {
    const QList<Vault> list = vaults();
    setSelectedVaultID(list.isEmpty() ? std::nullopt : std::optional<QUuid>(list.front().id));
    refreshSavedPassword();
}

std::optional<Vault> ImportModel::selectedVault() const {
    if (!selectedVaultID_ || !store_)
        return std::nullopt;
    return store_->vault(*selectedVaultID_);
}

void ImportModel::refreshSavedPassword() {
    ++savedPasswordReads_;
    if (!selectedVaultID_ || !deps_.secrets) {
        hasSavedPassword_ = false;
        return;
    }
    readSavedPassword(*selectedVaultID_, savedPasswordReads_);
}

QCoro::Task<> ImportModel::readSavedPassword(QUuid vaultId, quint64 read) {
    // Until the keyring answers (or has not in time), the window asks for the password.
    hasSavedPassword_ = false;
    const QPointer<ImportModel> self(this);
    QFuture<std::optional<QString>> reading = deps_.secrets->password(vaultId);
    std::optional<QString> saved = co_await reading;
    if (saved)
        wipeText(*saved);
    // Another vault chosen, or an import finished, meanwhile: a later read decides.
    if (!self || read != savedPasswordReads_ || hasSavedPassword_ == saved.has_value())
        co_return;
    hasSavedPassword_ = saved.has_value();
    emit changed();
}

bool ImportModel::needsPassword() const {
    const std::optional<Vault> vault = selectedVault();
    if (!vault || store_->isUnlocked(*vault))
        return false;
    return passwordRequired_ || !hasSavedPassword_;
}

void ImportModel::setPassword(const QString& password) {
    if (password == password_)
        return;
    password_ = password;
    emit changed();
}

bool ImportModel::canRun() const {
    return selectedVault().has_value() && !working_ && !finished_ && !files_.isEmpty() &&
           (!needsPassword() || !password_.isEmpty());
}

QString ImportModel::moveButtonLabel() const {
    return working_ ? QStringLiteral("Working…") : QStringLiteral("Move In (originals to Trash)");
}

QString ImportModel::copyButtonLabel() const {
    return working_ ? QStringLiteral("Working…") : QStringLiteral("Copy In");
}

QString ImportModel::cancelButtonLabel() const {
    return finished_ ? QStringLiteral("Close") : QStringLiteral("Cancel");
}

std::optional<QString> ImportModel::takeStoreError() {
    if (!store_ || store_->errorMessage().isEmpty())
        return std::nullopt;
    QString message = store_->errorMessage();
    // Shown here; the main window, which may not even be open, need not show it again.
    store_->clearErrorMessage();
    return message;
}

QCoro::Task<> ImportModel::run(bool moveOriginals) {
    const std::optional<Vault> vault = selectedVault();
    if (!vault || working_ || finished_)
        co_return;
    const QPointer<ImportModel> self(this);
    working_ = true;
    errorText_.reset();
    remarks_.clear();
    resultMessage_.reset();
    emit changed();

    auto checking = importRefusals(files_, *store_, store_->fileLookDeadline());
    const QList<std::optional<QString>> refusals = co_await checking;
    if (!self || !store_)
        co_return;
    QStringList accepted;
    QStringList refused;
    for (qsizetype i = 0; i < files_.size(); ++i) {
        if (refusals.at(i))
            refused.append(*refusals.at(i));
        else
            accepted.append(files_.at(i));
    }
    if (accepted.isEmpty()) {
        finish({std::nullopt, refused, QStringLiteral("Nothing was added."), false});
        co_return;
    }

    auto unlocking = unlockIfNeeded(*vault);
    const bool open = co_await unlocking;
    if (!self)
        co_return;
    if (!open) {
        finish({std::nullopt, refused, errorText_, false});
        co_return;
    }

    Outcome outcome;
    if (store_->pocketSession(vault->id)) {
        auto importing = importIntoPocket(*vault, accepted, moveOriginals);
        outcome = co_await importing;
    } else if (store_->mountPoints().contains(vault->id)) {
        auto copying = importIntoFolder(*vault, store_->mountPoints().value(vault->id), accepted, moveOriginals);
        outcome = co_await copying;
    } else {
        // Open, yet neither a session nor a volume: nothing to import into.
        working_ = false;
        emit changed();
        co_return;
    }
    if (!self)
        co_return;
    outcome.remarks = refused + outcome.remarks;
    finish(std::move(outcome));
}

QCoro::Task<bool> ImportModel::unlockIfNeeded(Vault vault) {
    if (store_->isUnlocked(vault))
        co_return true;
    const QPointer<ImportModel> self(this);
    const QPointer<VaultStore> store = store_;

    if (needsPassword()) {
        auto unlocking = store->unlock(vault, password_, false, UnlockMethod::password);
        const bool opened = co_await unlocking;
        if (!self || !store)
            co_return false;
        if (!opened) {
            errorText_ = takeStoreError().value_or(QStringLiteral("“%1” wasn’t unlocked.").arg(vault.name));
            co_return false;
        }
        passwordRequired_ = false;
        co_return true;
    }

    auto requesting = store->requestUnlock(vault);
    co_await requesting;
    if (!self || !store)
        co_return false;
    if (store->isUnlocked(vault.id))
        co_return true;
    errorText_ = takeStoreError();
    if (store->passwordPromptVault() && store->passwordPromptVault()->id == vault.id) {
        // The saved password did not do (refused check, or it was wrong): ask for it here rather
        // than in a main window that may be closed.
        store->setPasswordPromptVault(std::nullopt);
        passwordRequired_ = true;
        if (!errorText_)
            errorText_ = QStringLiteral("Type the password of “%1” to unlock it.").arg(vault.name);
    }
    if (!errorText_)
        errorText_ = QStringLiteral("“%1” wasn’t unlocked.").arg(vault.name);
    co_return false;
}

QCoro::Task<ImportModel::Outcome> ImportModel::importIntoPocket(Vault vault, QStringList files, bool moveOriginals) {
    Outcome outcome;
    const std::shared_ptr<PocketSession> session = store_->pocketSessions().value(vault.id);
    PocketDocument& document = session->document();
    const bool optimize = deps_.defaults ? deps_.defaults->boolValue(SettingsKeys::pocketOptimizePhotos) : true;

    // Each item is known with the file it came from: only an original the vault holds byte for
    // byte may leave for the trash. The files are read off the GUI thread.
    const QPointer<ImportModel> self(this);
    QFuture<PocketDocument::Added> adding = document.add(files, optimize);
    const PocketDocument::Added taken = co_await adding;
    if (!self)
        co_return outcome;
    QList<QPair<QString, QUuid>> added;
    for (qsizetype i = 0; i < files.size() && i < taken.items.size(); ++i)
        if (taken.items[i])
            added.append({files[i], *taken.items[i]});
    outcome.remarks = taken.problems;
    if (added.isEmpty()) {
        outcome.error = QStringLiteral("Nothing was added to “%1”.").arg(vault.name);
        co_return outcome;
    }

    // From here the items are in the open vault: whatever happens, this window imports no more.
    outcome.finished = true;
    const std::int64_t generation = session->generation();
    auto finishing = session->finish();
    const bool saved = co_await finishing;
    if (!self)
        co_return outcome;
    if (!saved || session->storage()->savedGeneration() < generation) {
        outcome.error = session->saveError().value_or(QStringLiteral("“%1” could not be saved.").arg(vault.name));
        co_return outcome;
    }

    int trashed = 0;
    // Originals leave only when every file handed over went in.
    const bool everyFileWentIn = added.size() == files_.size();
    if (moveOriginals && !everyFileWentIn)
        outcome.remarks.append(QStringLiteral("No original was moved to the Trash, as not every file went in."));
    if (moveOriginals && everyFileWentIn) {
        // The originals may be on a share that stopped answering: they are compared and moved on a
        // thread of their own, against copies of the items that are wiped as they are freed.
        auto originals = std::make_shared<std::vector<std::pair<QString, std::optional<SecureBytes>>>>();
        for (const auto& [file, id] : added) {
            const PocketItem* item = document.item(id);
            originals->push_back({file, item ? std::optional<SecureBytes>(item->data) : std::nullopt});
        }
        auto trashing = lookInThread<std::pair<int, QStringList>>([originals, trash = deps_.trash] {
            std::pair<int, QStringList> done{0, {}};
            for (auto& [file, data] : *originals) {
                const bool same = data && holdsExactly(file, ByteView(*data));
                data.reset();
                if (!same) {
                    done.second.append(QStringLiteral("%1 stays where it is: the vault holds a re-encoded copy "
                                                      "(resized or converted), not the original file.")
                                           .arg(quotedName(file)));
                    continue;
                }
                QString reason;
                if (trash(file, &reason))
                    ++done.first;
                else
                    done.second.append(QStringLiteral("%1 is in the vault, but couldn’t be moved to the Trash: %2")
                                           .arg(quotedName(file), reason));
            }
            return done;
        });
        const std::pair<int, QStringList> done = co_await trashing;
        if (!self)
            co_return outcome;
        trashed = done.first;
        outcome.remarks += done.second;
    }
    if (moveOriginals && trashed == static_cast<int>(files_.size()))
        outcome.result = QStringLiteral("%1 moved in — originals are in the Trash.").arg(itemCount(files_.size()));
    else if (moveOriginals && trashed > 0)
        outcome.result =
            QStringLiteral("%1 copied in — %2 original(s) are in the Trash.").arg(itemCount(added.size())).arg(trashed);
    else
        outcome.result = QStringLiteral("%1 copied in.").arg(itemCount(added.size()));
    co_return outcome;
}

QCoro::Task<ImportModel::Outcome> ImportModel::importIntoFolder(Vault vault, QString mountPoint, QStringList files,
                                                                bool moveOriginals) {
    struct Copied {
        FolderCopyResult result;
        QStringList refused;
        qsizetype accepted = 0;
    };
    const QPointer<ImportModel> self(this);
    const QPointer<VaultStore> store = store_;
    std::optional<Copied> done;
    {
        // Held until the copies are done: the vault is not changed under them, and a lock asks the
        // copy to stop and waits for it before it detaches the volume.
        VaultStore::BusyMark busy(*store_, vault.id);
        VaultStore::VolumeWriter writer(*store_, vault.id);
        const TargetFolder target = deps_.volumesAreMounts ? TargetFolder::mountedVolume : TargetFolder::plainFolder;
        // On a thread of its own, never joined: an original may be on a share that stopped answering.
        QFuture<Copied> copying = lookInThread<Copied>(
            [mountPoint, files, moveOriginals, trash = deps_.trash, stop = writer.stopFlag(), target]() {
                Copied copied;
                QStringList accepted;
                for (const QString& file : files) {
                    if (QFileInfo(file).isDir() && holdsVaultByName(file))
                        copied.refused.append(refusedAsHolder(file));
                    else
                        accepted.append(file);
                }
                copied.accepted = accepted.size();
                copied.result = copyIntoFolder(mountPoint, accepted, moveOriginals, trash, stop.get(), target);
                return copied;
            });
        done = co_await copying;
    }
    const Copied& copied = *done;

    Outcome outcome;
    outcome.remarks = copied.refused;
    if (store && store->isUnlocked(vault.id))
        store->markUsed(vault.id);
    if (!self)
        co_return outcome;
    if (copied.result.stopped) {
        // Locked while copying: exactly what went in is said; the rest stays where it was.
        outcome.error = QStringLiteral("%1 of %2 copied in — “%3” was locked.")
                            .arg(itemNumber(copied.result.copied), itemsNumber(copied.accepted), vault.name);
        outcome.finished = copied.result.copied > 0;
        co_return outcome;
    }
    if (copied.result.failure) {
        outcome.error = copied.result.failure;
        // Files copied before the failure are in the vault: importing again would copy them twice.
        outcome.finished = copied.result.copied > 0;
        if (copied.result.copied > 0)
            outcome.result = stoppedResult(copied.result, moveOriginals);
        co_return outcome;
    }
    if (copied.accepted == 0) {
        outcome.error = QStringLiteral("Nothing was added.");
        co_return outcome;
    }
    outcome.finished = true;
    outcome.result = moveOriginals
                         ? QStringLiteral("%1 moved in — originals are in the Trash.").arg(itemCount(copied.accepted))
                         : QStringLiteral("%1 copied in.").arg(itemCount(copied.accepted));
    co_return outcome;
}

void ImportModel::finish(Outcome outcome) {
    resultMessage_ = std::move(outcome.result);
    remarks_ = std::move(outcome.remarks);
    errorText_ = std::move(outcome.error);
    if (resultMessage_ && remarks_.isEmpty() && !errorText_) {
        // A clean import: the result shows, the buttons stay at "Working…", and the window closes.
        finished_ = true;
        closeTimer_.start();
    } else {
        working_ = false;
        finished_ = outcome.finished;
    }
    refreshSavedPassword();
    emit changed();
}

} // namespace larkhold
