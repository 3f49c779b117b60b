#include "HomeModels.h"

#include "Glossary.h"
#include "VaultStore.h"

#include <QFileInfo>
#include <cmath>

namespace larkhold {

// ---- designs ----

HomeDesignSpec homeDesignSpec(AppTheme design) {
    switch (design) {
    case AppTheme::classic:
        break;
    case AppTheme::nativePro:
        return {design, {700, 440}, {760, 520}, SchemePreference::light};
    case AppTheme::nightWatch:
        return {design, {640, 500}, {700, 600}, SchemePreference::dark};
    case AppTheme::softFocus:
        return {design, {620, 480}, {700, 560}, SchemePreference::light};
    }
    return {AppTheme::classic, {460, 380}, {500, 460}, SchemePreference::system};
}

HomeDesignSpec homeDesignSpec(const QString& raw) {
    return homeDesignSpec(appThemeOrClassic(raw));
}

// ---- files ----

VaultFileState probeVaultFile(const QString& bundlePath) {
    if (QFileInfo::exists(bundlePath))
        return VaultFileState::present;
    return Vault::volumeIsPresent(bundlePath) ? VaultFileState::fileMissing : VaultFileState::waitingForDisk;
}

// ---- texts ----

QString relativeTimeText(Date then, Date now) {
    const double delta = now.secondsSinceReference - then.secondsSinceReference;
    const bool future = delta < 0;
    const double seconds = std::floor(std::abs(delta));
    struct Unit {
        double seconds;
        const char* one;
        const char* many;
    };
    static const Unit units[] = {
        {365.0 * 86400, "yr.", "yr."}, {30.0 * 86400, "mo.", "mo."}, {7.0 * 86400, "wk.", "wk."},
        {86400, "day", "days"},        {3600, "hr.", "hr."},         {60, "min.", "min."},
    };
    qint64 count = qint64(seconds);
    QString unit = QStringLiteral("sec.");
    for (const Unit& u : units) {
        if (seconds >= u.seconds) {
            count = qint64(std::floor(seconds / u.seconds));
            unit = QString::fromLatin1(count == 1 ? u.one : u.many);
            break;
        }
    }
    const QString amount = QString::number(count) + QLatin1Char(' ') + unit;
    return future ? QStringLiteral("in ") + amount : amount + QStringLiteral(" ago");
}

// ---- the card ----

QString CardText::keptOutOfCloud() {
    return QStringLiteral("Kept out of %1 — never uploaded").arg(glossary::cloudSync);
}

QString CardText::askingKeyring() {
    return QStringLiteral("Asking your ") + glossary::keyring + QStringLiteral(" for the saved password…");
}

QString CardText::ownerCheckRequired() {
    return glossary::ownerCheckTitle + QStringLiteral(" required to unlock");
}

VaultCardModel VaultCardModel::make(const VaultCardInput& in) {
    VaultCardModel m;
    const Vault& v = in.vault;
    m.unlocked = in.unlocked;
    m.busy = in.busy || in.askingKeyring;
    m.fileState = in.fileState;
    m.tileSymbol = in.unlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill");
    m.tileGradient = in.unlocked ? GradientKind::unlocked : GradientKind::locked;
    m.showOpenIcon = in.unlocked;
    m.showCloudIcon = v.excludedFromCloud;
    m.showOwnerCheckIcon = v.requireTouchID;
    m.openBorder = in.unlocked;

    const bool present = in.fileState == VaultFileState::present;
    m.fraction = Capacity::usedFraction(in.usedBytes, v.maxSizeMB);
    m.sealed = v.kind == VaultKind::pocket && !in.unlocked;
    m.showUsage = present;
    if (present) {
        m.badge = Capacity::nearlyFullBadge(m.fraction);
        if (m.badge) {
            m.badgeText = CardText::nearlyFull;
            m.badgeTooltip = v.kind == VaultKind::pocket ? CardText::pocketFull : CardText::standardFull;
        }
        m.caption = capacityCaption(in.usedBytes, v, in.unlocked);
        if (!in.unlocked && v.lastOpenedAt)
            m.caption += kStatusSeparator + QStringLiteral("opened ") + relativeTimeText(*v.lastOpenedAt, in.now);
    } else {
        const bool diskGone = in.fileState == VaultFileState::waitingForDisk;
        const bool unknown = in.fileState == VaultFileState::unknown;
        m.missingText = unknown    ? CardText::notResponding
                        : diskGone ? CardText::waitingForDisk
                                   : CardText::fileNotFound;
        m.missingSymbol = diskGone || unknown ? QStringLiteral("externaldrive.badge.questionmark")
                                              : QStringLiteral("exclamationmark.triangle.fill");
        m.missingTooltip = CardText::lastKnownPath + v.bundlePath;
    }

    if (in.askingKeyring && present)
        m.caption = CardText::askingKeyring();
    if (in.busy || in.askingKeyring)
        m.controls = Controls::progress;
    else if (in.unlocked)
        m.controls = Controls::openVault;
    else if (in.fileState == VaultFileState::fileMissing)
        m.controls = Controls::locate;
    else if (in.fileState == VaultFileState::unknown)
        m.controls = Controls::none;
    else
        m.controls = Controls::unlock;
    return m;
}

// ---- the context menu ----

QString vaultMenuTitle(VaultMenuItem item) {
    switch (item) {
    case VaultMenuItem::locate:
        return QStringLiteral("Locate Vault…");
    case VaultMenuItem::reveal:
        return QStringLiteral("Show Vault File in ") + glossary::fileManagerTitle;
    case VaultMenuItem::settings:
        return QStringLiteral("Vault Settings…");
    case VaultMenuItem::secondPassword:
        return QStringLiteral("Second Password…");
    case VaultMenuItem::rename:
        return QStringLiteral("Rename…");
    case VaultMenuItem::changePassword:
        return QStringLiteral("Change Password…");
    case VaultMenuItem::resize:
        return QStringLiteral("Change Size Limit…");
    case VaultMenuItem::compact:
        return QStringLiteral("Reclaim Free Space…");
    case VaultMenuItem::verify:
        return QStringLiteral("Verify Vault…");
    case VaultMenuItem::keepOutOfCloud:
        return glossary::keepOutOfCloudSync;
    case VaultMenuItem::separator:
        return {};
    case VaultMenuItem::forget:
        return QStringLiteral("Remove from List (keep file)");
    case VaultMenuItem::trash:
        return QStringLiteral("Move Vault to Trash…");
    }
    return {};
}

QList<VaultMenuEntry> vaultMenuEntries(const VaultMenuInput& in) {
    QList<VaultMenuEntry> entries;
    auto add = [&](VaultMenuItem item) { entries.append({item, vaultMenuTitle(item)}); };
    if (in.busy) {
        // An unlock, lock or other operation is running on the file: showing it is all that is safe.
        add(VaultMenuItem::reveal);
        return entries;
    }
    const bool present = in.fileState == VaultFileState::present;
    if (in.fileState == VaultFileState::fileMissing)
        add(VaultMenuItem::locate);
    add(VaultMenuItem::reveal);
    if (in.open) {
        add(VaultMenuItem::settings);
        if (in.vault.kind == VaultKind::pocket)
            add(VaultMenuItem::secondPassword);
    } else if (present) {
        add(VaultMenuItem::rename);
        add(VaultMenuItem::changePassword);
        if (in.vault.kind == VaultKind::standard) {
            add(VaultMenuItem::resize);
            add(VaultMenuItem::compact);
        }
        add(VaultMenuItem::verify);
        VaultMenuEntry toggle{VaultMenuItem::keepOutOfCloud, vaultMenuTitle(VaultMenuItem::keepOutOfCloud)};
        toggle.checkable = true;
        toggle.checked = in.vault.excludedFromCloud;
        entries.append(toggle);
    }
    add(VaultMenuItem::separator);
    add(VaultMenuItem::forget);
    VaultMenuEntry trash{VaultMenuItem::trash, vaultMenuTitle(VaultMenuItem::trash)};
    trash.destructive = true;
    entries.append(trash);
    return entries;
}

// ---- the header ----

qint64 totalUsedBytes(const QList<Vault>& vaults, const QMap<QUuid, qint64>& sizes) {
    qint64 total = 0;
    for (const Vault& vault : vaults)
        total += sizes.value(vault.id, 0);
    return total;
}

QString homeSubtitle(const HomeSummaryInput& in) {
    if (in.vaultCount == 0)
        return QStringLiteral("Encrypted folders, your key only");
    const QString count =
        in.vaultCount == 1 ? QStringLiteral("1 vault") : QString::number(in.vaultCount) + QStringLiteral(" vaults");
    const QString open =
        in.openCount != 0 ? QString::number(in.openCount) + QStringLiteral(" open") : QStringLiteral("all locked");
    return count + kStatusSeparator + open + kStatusSeparator + formatFileSize(in.totalUsed) +
           QStringLiteral(" on disk");
}

} // namespace larkhold
