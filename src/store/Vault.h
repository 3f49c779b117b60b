#pragma once

#include "Date.h"
#include "UuidText.h" // uuidString and uuidFromString belong to this header's interface

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

// What kind of file a vault lives in. The raw strings are what the vault list stores.
enum class VaultKind {
    standard, // an encrypted sparse-bundle disk image (a folder)
    pocket,   // a Pocket Vault file of our own format
};

QString vaultKindRawValue(VaultKind kind);
std::optional<VaultKind> vaultKindFromRawValue(const QString& raw);

// One entry of the vault list.
struct Vault {
    QUuid id; // never changes; its upper-case string is the saved-password account
    VaultKind kind = VaultKind::standard;
    QString name;
    QString bundlePath;   // absolute path of the sparse-bundle folder or the Pocket Vault file
    qint64 maxSizeMB = 0; // size limit of a standard vault, capacity of a Pocket Vault (1 MB = 1,048,576 bytes)
    Date createdAt;
    bool excludedFromCloud = false;
    bool requireTouchID = false;
    bool openInFinderAfterUnlock = true;
    bool autoOpenAtLaunch = false;
    std::optional<Date> lastOpenedAt;
    std::optional<QString> passwordHint;

    // Canonical 36-character form with capital hexadecimal digits, no braces.
    QString idString() const;

    // The record as the vault list stores it; optional fields without a value are left out.
    QJsonObject toJson() const;

    // Reads one record leniently: missing optional keys take their defaults, null counts as
    // missing, unknown keys are ignored. A missing required key, a value of the wrong JSON type,
    // an unknown kind or a size that does not fit fails the record; `whyNot` then says which.
    static std::optional<Vault> fromJson(const QJsonValue& value, QString* whyNot = nullptr);

    // For a missing vault file: whether the disk it was on is still connected. False only for a path
    // on a removable disk or share (/Volumes/<disk>, /media/<user>/<disk>, /run/media/<user>/<disk>,
    // /mnt/<disk>) whose disk is not there; any other path counts as on a present disk.
    static bool volumeIsPresent(const QString& path);

    friend bool operator==(const Vault&, const Vault&) = default;
};

} // namespace larkhold
