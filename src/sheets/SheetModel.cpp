#include "SheetModel.h"

#include "Prefill.h"
#include "SecretStore.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QPointer>

namespace larkhold {

SheetModel::SheetModel(SheetServices services, QObject* parent) : QObject(parent), services_(services) {}

SheetModel::~SheetModel() = default;

void SheetModel::open() {
    if (opened_)
        return;
    opened_ = true;
    opened();
}

void SheetModel::setWorking(bool working) {
    if (working_ == working)
        return;
    working_ = working;
    emit changed();
}

void SheetModel::prefill(const Vault& vault, const QString& action, std::function<void(const QString&)> fill) {
    runPrefill(vault, QStringLiteral("%1 the vault “%2”").arg(action, vault.name), std::move(fill));
}

QCoro::Task<> SheetModel::runPrefill(Vault vault, QString reason, std::function<void(const QString&)> fill) {
    QPointer<SheetModel> self(this);
    auto reading = prefillPassword(std::move(vault), std::move(reason), *services_.secrets, *services_.ownerCheck);
    std::optional<QString> saved = co_await reading;
    if (self && saved)
        fill(*saved);
    if (saved)
        wipeText(*saved);
}

void SheetModel::readSavedPassword(const QUuid& vaultId, std::function<void(std::optional<QString>)> then) {
    runLookUp(vaultId, [then = std::move(then)](SecretStore::Lookup found) { then(std::move(found.password)); });
}

void SheetModel::lookUpSavedPassword(const QUuid& vaultId, std::function<void(SecretStore::Lookup)> then) {
    runLookUp(vaultId, std::move(then));
}

QCoro::Task<> SheetModel::runLookUp(QUuid vaultId, std::function<void(SecretStore::Lookup)> then) {
    QPointer<SheetModel> self(this);
    QFuture<SecretStore::Lookup> reading = services_.secrets->lookUp(vaultId);
    SecretStore::Lookup found = co_await reading;
    if (self)
        then(found);
    if (found.password)
        wipeText(*found.password);
}

QCoro::Task<> SheetModel::closeOnSuccess(QCoro::Task<StoreOutcome> operation, QString password) {
    QPointer<SheetModel> self(this);
    const StoreOutcome outcome = co_await operation;
    wipeText(password);
    if (!self)
        co_return;
    setWorking(false);
    if (outcome.ok)
        emit closeRequested();
}

VaultPasswordModel::VaultPasswordModel(SheetServices services, Vault vault, QObject* parent)
    : SheetModel(services, parent), vault_(std::move(vault)) {}

VaultPasswordModel::~VaultPasswordModel() {
    wipeText(password_);
}

void VaultPasswordModel::prefillPassword(const QString& action) {
    prefill(vault_, action, [this](const QString& p) { setPassword(p); });
}

} // namespace larkhold
