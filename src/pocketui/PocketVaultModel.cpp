#include "PocketVaultModel.h"

#include "ByteCount.h"
#include "CloudExclusion.h"
#include "FileLook.h"
#include "Glossary.h"
#include "PocketPayload.h"
#include "PocketSession.h"
#include "VaultStore.h"

namespace larkhold {

std::optional<QString> pocketCopiesWarning(const Vault& vault, const QString& homeFolder) {
    // A third-party service keeps every version whatever the vault's own setting says.
    if (const std::optional<QString> service = CloudExclusion::thirdPartySyncService(vault.bundlePath, homeFolder))
        return QStringLiteral("This vault is in your %1 folder, which keeps a copy of every version. Move it to a "
                              "folder that isn’t synced.")
            .arg(*service);
    if (vault.excludedFromCloud)
        return std::nullopt;
    if (CloudExclusion::isInsideICloudDrive(vault.bundlePath))
        return QStringLiteral("This vault syncs with %1, which keeps copies of it. Lock it, then turn on “%2”.")
            .arg(glossary::cloudSync, glossary::keepOutOfCloudSync);
    return std::nullopt;
}

PocketVaultModel::PocketVaultModel(VaultStore& store, PocketSession& session, QUuid vaultID, QObject* parent)
    : QObject(parent), store_(&store), session_(&session), vaultID_(vaultID) {
    connect(&store, &VaultStore::vaultsChanged, this, &PocketVaultModel::lookAtPlace);
    connect(&store, &VaultStore::vaultsChanged, this, &PocketVaultModel::changed);
    connect(&store, &VaultStore::busyVaultsChanged, this, &PocketVaultModel::changed);
    connect(&session, &PocketSession::saveErrorChanged, this, &PocketVaultModel::changed);
    connect(&session, &PocketSession::savingChanged, this, &PocketVaultModel::changed);
    connect(&session.document(), &PocketDocument::itemsChanged, this, &PocketVaultModel::changed);
    lookAtPlace();
}

void PocketVaultModel::setHomeFolder(const QString& folder) {
    homeFolder_ = folder;
    placeLookedAt_.reset();
    lookAtPlace();
}

void PocketVaultModel::lookAtPlace() {
    const std::optional<Vault> record = vault();
    if (!record) {
        placeLookedAt_.reset();
        banner_.reset();
        return;
    }
    const std::pair<QString, bool> place{record->bundlePath, record->excludedFromCloud};
    if (placeLookedAt_ == place)
        return;
    placeLookedAt_ = place;
    const quint64 look = ++placeLooks_;
    // A file whose disk does not answer in time gets no warning.
    constexpr std::chrono::milliseconds deadline{3000};
    lookOffThread<std::optional<QString>>(
        this, [vault = *record, home = homeFolder_] { return pocketCopiesWarning(vault, home); }, deadline,
        std::nullopt,
        [this, look](std::optional<QString> warning) {
            if (look != placeLooks_ || warning == banner_)
                return;
            banner_ = std::move(warning);
            emit changed();
        });
}

std::optional<Vault> PocketVaultModel::vault() const {
    return store_ ? store_->vault(vaultID_) : std::nullopt;
}

QString PocketVaultModel::title() const {
    const std::optional<Vault> record = vault();
    return record ? record->name : QStringLiteral("Pocket Vault");
}

QString PocketVaultModel::subtitle() const {
    const std::int64_t capacity = session_ ? session_->document().capacity() : 0;
    return QStringLiteral("Pocket Vault · %1").arg(formatByteCount(capacity));
}

std::optional<QString> PocketVaultModel::banner() const {
    return vault() ? banner_ : std::nullopt;
}

std::int64_t PocketVaultModel::usedBytes() const {
    return session_ ? PocketPayload::sizeOf(session_->document().items()) : 0;
}

double PocketVaultModel::usedFraction() const {
    const std::int64_t capacity = session_ ? session_->document().capacity() : 0;
    return static_cast<double>(usedBytes()) / static_cast<double>(std::max<std::int64_t>(capacity, 1));
}

QString PocketVaultModel::usageText() const {
    const std::int64_t capacity = session_ ? session_->document().capacity() : 0;
    return QStringLiteral("%1 used of %2").arg(formatByteCount(usedBytes()), formatByteCount(capacity));
}

PocketVaultModel::SaveState PocketVaultModel::saveState() const {
    if (!session_)
        return {QStringLiteral("Saved"), false};
    if (session_->saveError())
        return {*session_->saveError(), true};
    return {session_->saving() ? QStringLiteral("Saving…") : QStringLiteral("Saved"), false};
}

bool PocketVaultModel::offersCopy() const {
    return session_ && session_->fileChangedElsewhere();
}

QString PocketVaultModel::proposedCopyName() const {
    const std::optional<Vault> record = vault();
    return (record ? record->name : QStringLiteral("Pocket Vault")) + QStringLiteral(" copy.pocketvault");
}

bool PocketVaultModel::canLock() const {
    return vault().has_value();
}

bool PocketVaultModel::editable() const {
    return store_ && !store_->isBusy(vaultID_);
}

QCoro::Task<StoreOutcome> PocketVaultModel::lock() {
    const std::optional<Vault> record = vault();
    if (!record || !store_)
        co_return StoreOutcome::success();
    auto locking = store_->lock(*record, false, LockReason::manual);
    co_return co_await locking;
}

} // namespace larkhold
