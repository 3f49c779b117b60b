#include "MenuBarModel.h"

#include "Glossary.h"
#include "VaultStore.h"

#include <QFileInfo>

namespace larkhold {

VaultFilePlace vaultFilePlace(const Vault& vault) {
    const QFileInfo file(vault.bundlePath);
    if (file.exists() || file.isSymLink())
        return VaultFilePlace::present;
    return Vault::volumeIsPresent(vault.bundlePath) ? VaultFilePlace::missing : VaultFilePlace::waitingForDisk;
}

QString MenuBarTexts::revealVaultFile() {
    return QStringLiteral("Show Vault File in ") + glossary::fileManagerTitle;
}

QString MenuBarTexts::openInFileManager() {
    return glossary::openInFileManager;
}

QList<TrayMenuEntry> trayMenuEntries(const VaultStore& store) {
    using Kind = TrayMenuEntry::Kind;
    QList<TrayMenuEntry> entries;
    if (store.vaults().isEmpty())
        entries.append({Kind::noVaults, MenuBarTexts::noVaults, {}, false, {}, {}});
    for (const Vault& vault : store.vaults()) {
        if (store.isUnlocked(vault)) {
            const QString openTitle =
                vault.kind == VaultKind::pocket ? MenuBarTexts::open : MenuBarTexts::openInFileManager();
            entries.append({Kind::openVault, vault.name, QStringLiteral("lock.open.fill"), true, vault, openTitle});
            continue;
        }
        switch (vaultFilePlace(vault)) {
        case VaultFilePlace::missing:
            entries.append({Kind::locateVault,
                            QStringLiteral("Locate “%1”").arg(vault.name),
                            QStringLiteral("folder.badge.questionmark"),
                            true,
                            vault,
                            {}});
            break;
        case VaultFilePlace::waitingForDisk:
            entries.append({Kind::unlockVault,
                            QStringLiteral("“%1” — waiting for disk").arg(vault.name),
                            QStringLiteral("externaldrive.badge.questionmark"),
                            true,
                            vault,
                            {}});
            break;
        case VaultFilePlace::present:
            entries.append({Kind::unlockVault,
                            QStringLiteral("Unlock “%1”").arg(vault.name),
                            QStringLiteral("lock.fill"),
                            true,
                            vault,
                            {}});
            break;
        }
    }
    const TrayMenuEntry separator{Kind::separator, {}, {}, true, {}, {}};
    entries.append(separator);
    entries.append({Kind::lockAll, MenuBarTexts::lockAll, {}, store.openCount() >= 1, {}, {}});
    entries.append(separator);
    entries.append({Kind::addExisting, MenuBarTexts::addExisting, {}, true, {}, {}});
    entries.append(separator);
    entries.append({Kind::openMain, MenuBarTexts::openMain, {}, true, {}, {}});
    entries.append({Kind::settings, MenuBarTexts::settings, {}, true, {}, {}});
    entries.append({Kind::whatsNew, MenuBarTexts::whatsNew, {}, true, {}, {}});
    entries.append({Kind::about, MenuBarTexts::about, {}, true, {}, {}});
    entries.append(separator);
    entries.append({Kind::quit, MenuBarTexts::quit, {}, true, {}, {}});
    return entries;
}

double fillFraction(qint64 usedBytes, qint64 maxSizeMB) {
    const qint64 limit = maxSizeMB < 1 ? 1 : maxSizeMB;
    return static_cast<double>(usedBytes) / (static_cast<double>(limit) * 1048576.0);
}

UsageColor usageColor(double fraction, bool unlocked) {
    if (fraction >= 0.95)
        return UsageColor::red;
    if (fraction >= 0.8)
        return UsageColor::orange;
    return unlocked ? UsageColor::green : UsageColor::accent;
}

PanelContent panelContent(const VaultStore& store) {
    PanelContent content;
    content.showsLockAll = store.openCount() >= 1;
    for (const Vault& vault : store.vaults()) {
        PanelRow row;
        row.vault = vault;
        row.unlocked = store.isUnlocked(vault);
        row.busy = store.isBusy(vault.id);
        row.place = vaultFilePlace(vault);
        row.usedBytes = store.sizesOnDisk().value(vault.id, 0);
        row.fraction = fillFraction(row.usedBytes, vault.maxSizeMB);
        row.usage = usageColor(row.fraction, row.unlocked);
        row.sealed = vault.kind == VaultKind::pocket && !row.unlocked;
        switch (row.place) {
        case VaultFilePlace::waitingForDisk:
            row.caption = MenuBarTexts::waitingForDisk;
            break;
        case VaultFilePlace::missing:
            row.caption = MenuBarTexts::fileNotFound;
            break;
        case VaultFilePlace::present:
            row.caption = capacityCaption(row.usedBytes, vault, row.unlocked);
            break;
        }
        row.captionWarning = row.place != VaultFilePlace::present;
        if (row.busy)
            row.controls = PanelRowControls::spinner;
        else if (row.unlocked)
            row.controls = PanelRowControls::openAndLock;
        else if (row.place == VaultFilePlace::missing)
            row.controls = PanelRowControls::locate;
        else
            row.controls = PanelRowControls::unlock;
        row.openTooltip = vault.kind == VaultKind::pocket ? MenuBarTexts::open : MenuBarTexts::openInFileManager();
        row.offersLocate = row.place == VaultFilePlace::missing;
        content.rows.append(row);
    }
    return content;
}

QCoro::Task<> unlockFromMenuBar(VaultStore& store, Vault vault, std::function<void(const Vault&)> showUnlockPrompt) {
    auto requesting = store.requestUnlock(vault);
    co_await requesting;
    const std::optional<Vault> prompt = store.passwordPromptVault();
    if (!prompt || prompt->id != vault.id)
        co_return;
    store.setPasswordPromptVault(std::nullopt);
    if (showUnlockPrompt)
        showUnlockPrompt(*prompt);
}

} // namespace larkhold
