#include "DesignParts.h"

#include "Clock.h"
#include "Defaults.h"
#include "SettingsKeys.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QShortcut>
#include <QTimer>

namespace larkhold {

const Clock& designClock(const Clock* given) {
    static const SystemClock wall;
    return given ? *given : wall;
}

DesignVault readVault(const Vault& vault, const HomeContext& context, Date now) {
    VaultCardInput input;
    input.vault = vault;
    input.now = now;
    if (const VaultStore* store = context.store) {
        input.unlocked = store->isUnlocked(vault.id);
        input.busy = store->isBusy(vault.id);
        input.askingKeyring = store->isAskingKeyring(vault.id);
        input.usedBytes = store->sizesOnDisk().value(vault.id, 0);
    }
    if (context.status)
        input.fileState = context.status->fileState(vault.id);
    return {VaultCardModel::make(input), input.usedBytes};
}

void act(const VaultActions::VaultAction& action, const Vault& vault) {
    if (action)
        action(vault);
}

void act(const VaultActions::Action& action) {
    if (action)
        action();
}

AutoLockSetting autoLockSetting(const HomeContext& context) {
    if (!context.defaults)
        return {SettingsKeys::autoLockEnabled.defaultValue.toBool(),
                SettingsKeys::autoLockMinutes.defaultValue.toLongLong()};
    return {context.defaults->boolValue(SettingsKeys::autoLockEnabled),
            context.defaults->intValue(SettingsKeys::autoLockMinutes)};
}

void refreshOnChanges(QWidget* design, const HomeContext& context, DesignSources sources,
                      std::function<void()> refresh) {
    if (VaultStore* store = context.store) {
        QList<void (VaultStore::*)()> changes = {&VaultStore::mountPointsChanged, &VaultStore::pocketSessionsChanged,
                                                 &VaultStore::busyVaultsChanged, &VaultStore::sizesOnDiskChanged};
        if (sources.vaultList)
            changes.prepend(&VaultStore::vaultsChanged);
        if (sources.activity)
            changes.append(&VaultStore::activityChanged);
        for (auto signal : std::as_const(changes))
            QObject::connect(store, signal, design, refresh);
    }
    if (context.status)
        QObject::connect(context.status, &VaultStatusCache::changed, design, refresh);
    if (sources.autoLock && context.defaults) {
        QObject::connect(context.defaults, &Defaults::changed, design, [refresh](const QString& key) {
            if (key == SettingsKeys::autoLockEnabled.name || key == SettingsKeys::autoLockMinutes.name)
                refresh();
        });
    }
    auto* ageTimer = new QTimer(design);
    ageTimer->setInterval(30'000);
    QObject::connect(ageTimer, &QTimer::timeout, design, refresh);
    ageTimer->start();
}

void addNewVaultShortcut(QWidget* design, const HomeContext& context) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_N), design);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, design, [newVault = context.actions.newVault] { act(newVault); });
}

void showCommands(VaultCardModel::Controls controls, QWidget* progress, QWidget* open, QWidget* lock, QWidget* locate,
                  QWidget* unlock) {
    using C = VaultCardModel::Controls;
    progress->setVisible(controls == C::progress);
    open->setVisible(controls == C::openVault);
    lock->setVisible(controls == C::openVault);
    locate->setVisible(controls == C::locate);
    unlock->setVisible(controls == C::unlock);
}

bool listsVault(const QList<Vault>& vaults, const QUuid& id) {
    return std::any_of(vaults.cbegin(), vaults.cend(), [&](const Vault& vault) { return vault.id == id; });
}

} // namespace larkhold
