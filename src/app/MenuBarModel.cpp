#include "MenuBarModel.h"

#include "Glossary.h"
#include "VaultStore.h"

namespace larkhold {

QList<TrayMenuEntry> trayMenuEntries(const VaultStore& store, const FileStateOf& fileState) {
    using Kind = TrayMenuEntry::Kind;
    QList<TrayMenuEntry> entries;
    if (store.vaults().isEmpty())
        entries.append({Kind::noVaults, MenuBarTexts::noVaults, {}, false, {}, {}});
    for (const Vault& vault : store.vaults()) {
        if (store.isUnlocked(vault)) {
            const QString openTitle =
                vault.kind == VaultKind::pocket ? MenuBarTexts::open : glossary::openInFileManager;
            entries.append({Kind::openVault, vault.name, QStringLiteral("lock.open.fill"), true, vault, openTitle});
            continue;
        }
        switch (fileState(vault.id)) {
        case VaultFileState::fileMissing:
            entries.append({Kind::locateVault,
                            QStringLiteral("Locate “%1”").arg(vault.name),
                            QStringLiteral("folder.badge.questionmark"),
                            true,
                            vault,
                            {}});
            break;
        case VaultFileState::waitingForDisk:
            entries.append({Kind::unlockVault,
                            QStringLiteral("“%1” — waiting for disk").arg(vault.name),
                            QStringLiteral("externaldrive.badge.questionmark"),
                            true,
                            vault,
                            {}});
            break;
        case VaultFileState::unknown:
            // Unlocking would wait on the same disk: nothing is offered until it answers.
            entries.append({Kind::unlockVault,
                            QStringLiteral("“%1” — disk not responding").arg(vault.name),
                            QStringLiteral("externaldrive.badge.questionmark"),
                            false,
                            vault,
                            {}});
            break;
        case VaultFileState::present:
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

UsageColor usageColor(double fraction, bool unlocked) {
    if (fraction >= 0.95)
        return UsageColor::red;
    if (fraction >= 0.8)
        return UsageColor::orange;
    return unlocked ? UsageColor::green : UsageColor::accent;
}

PanelContent panelContent(const VaultStore& store, const FileStateOf& fileState) {
    PanelContent content;
    content.showsLockAll = store.openCount() >= 1;
    for (const Vault& vault : store.vaults()) {
        PanelRow row;
        row.vault = vault;
        row.unlocked = store.isUnlocked(vault);
        row.busy = store.isBusy(vault.id);
        row.place = fileState(vault.id);
        row.usedBytes = store.sizesOnDisk().value(vault.id, 0);
        VaultCardInput input;
        input.vault = vault;
        input.unlocked = row.unlocked;
        input.busy = row.busy;
        input.fileState = row.place;
        input.usedBytes = row.usedBytes;
        const VaultCardModel card = VaultCardModel::make(input);
        row.fraction = card.fraction;
        row.usage = usageColor(row.fraction, row.unlocked);
        row.sealed = card.sealed;
        switch (row.place) {
        case VaultFileState::waitingForDisk:
            row.caption = CardText::waitingForDisk;
            break;
        case VaultFileState::fileMissing:
            row.caption = CardText::fileNotFound;
            break;
        case VaultFileState::unknown:
            row.caption = CardText::notResponding;
            break;
        case VaultFileState::present:
            row.caption = capacityCaption(row.usedBytes, vault, row.unlocked);
            break;
        }
        row.captionWarning = row.place != VaultFileState::present;
        row.controls = card.controls;
        row.openTooltip = vault.kind == VaultKind::pocket ? MenuBarTexts::open : glossary::openInFileManager;
        row.offersLocate = row.place == VaultFileState::fileMissing;
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
