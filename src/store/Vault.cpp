#include "Vault.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cmath>
#include <limits>

namespace larkhold {

namespace {

const QString kId = QStringLiteral("id");
const QString kKind = QStringLiteral("kind");
const QString kName = QStringLiteral("name");
const QString kBundlePath = QStringLiteral("bundlePath");
const QString kMaxSizeMB = QStringLiteral("maxSizeMB");
const QString kMaxSizeGB = QStringLiteral("maxSizeGB"); // written by old versions; read, never written
const QString kCreatedAt = QStringLiteral("createdAt");
const QString kExcludedFromCloud = QStringLiteral("excludedFromCloud");
const QString kRequireTouchID = QStringLiteral("requireTouchID");
const QString kOpenInFinderAfterUnlock = QStringLiteral("openInFinderAfterUnlock");
const QString kAutoOpenAtLaunch = QStringLiteral("autoOpenAtLaunch");
const QString kLastOpenedAt = QStringLiteral("lastOpenedAt");
const QString kPasswordHint = QStringLiteral("passwordHint");

// Collects the first reason a record fails, so that a user looking at a set-aside file knows
// where to look.
struct Reader {
    const QJsonObject& object;
    QString failure;

    // Null counts as absent.
    std::optional<QJsonValue> present(const QString& key) const {
        const QJsonValue v = object.value(key);
        if (v.isUndefined() || v.isNull())
            return std::nullopt;
        return v;
    }

    bool fail(const QString& key, const char* expected) {
        if (failure.isEmpty())
            failure = QStringLiteral("“%1” is not %2").arg(key, QString::fromLatin1(expected));
        return false;
    }

    bool missing(const QString& key) {
        if (failure.isEmpty())
            failure = QStringLiteral("“%1” is missing").arg(key);
        return false;
    }

    bool string(const QString& key, QString& out, bool required) {
        const auto v = present(key);
        if (!v)
            return required ? missing(key) : true;
        if (!v->isString())
            return fail(key, "a string");
        out = v->toString();
        return true;
    }

    bool boolean(const QString& key, bool& out) {
        const auto v = present(key);
        if (!v)
            return true;
        if (!v->isBool())
            return fail(key, "true or false");
        out = v->toBool();
        return true;
    }

    bool date(const QString& key, std::optional<Date>& out, bool required) {
        const auto v = present(key);
        if (!v)
            return required ? missing(key) : true;
        if (!v->isDouble())
            return fail(key, "a number");
        out = Date::fromReferenceSeconds(v->toDouble());
        return true;
    }

    // A whole number that fits 64 bits; a number with a fraction is the wrong type.
    bool integer(const QString& key, std::optional<qint64>& out) {
        const auto v = present(key);
        if (!v)
            return true;
        if (!v->isDouble())
            return fail(key, "a whole number");
        const QVariant n = v->toVariant();
        if (n.typeId() == QMetaType::LongLong) {
            out = n.toLongLong();
            return true;
        }
        const double d = n.toDouble();
        // 2^63 itself does not fit; the lower bound -2^63 does.
        constexpr double kTwoTo63 = 9223372036854775808.0;
        if (!std::isfinite(d) || std::trunc(d) != d || d < -kTwoTo63 || d >= kTwoTo63)
            return fail(key, "a whole number");
        out = static_cast<qint64>(d);
        return true;
    }
};

} // namespace

QString vaultKindRawValue(VaultKind kind) {
    switch (kind) {
    case VaultKind::standard:
        return QStringLiteral("standard");
    case VaultKind::pocket:
        return QStringLiteral("pocket");
    }
    return QStringLiteral("standard");
}

std::optional<VaultKind> vaultKindFromRawValue(const QString& raw) {
    if (raw == u"standard")
        return VaultKind::standard;
    if (raw == u"pocket")
        return VaultKind::pocket;
    return std::nullopt;
}

QString Vault::idString() const {
    return uuidString(id);
}

QJsonObject Vault::toJson() const {
    QJsonObject o;
    o.insert(kId, idString());
    o.insert(kKind, vaultKindRawValue(kind));
    o.insert(kName, name);
    o.insert(kBundlePath, bundlePath);
    o.insert(kMaxSizeMB, QJsonValue(maxSizeMB));
    o.insert(kCreatedAt, createdAt.secondsSinceReference);
    o.insert(kExcludedFromCloud, excludedFromCloud);
    o.insert(kRequireTouchID, requireTouchID);
    o.insert(kOpenInFinderAfterUnlock, openInFinderAfterUnlock);
    o.insert(kAutoOpenAtLaunch, autoOpenAtLaunch);
    if (lastOpenedAt)
        o.insert(kLastOpenedAt, lastOpenedAt->secondsSinceReference);
    if (passwordHint)
        o.insert(kPasswordHint, *passwordHint);
    return o;
}

std::optional<Vault> Vault::fromJson(const QJsonValue& value, QString* whyNot) {
    auto failed = [whyNot](const QString& reason) -> std::optional<Vault> {
        if (whyNot)
            *whyNot = reason;
        return std::nullopt;
    };
    if (!value.isObject())
        return failed(QStringLiteral("it is not an object"));
    const QJsonObject object = value.toObject();
    Reader r{object, {}};
    Vault v;

    QString idText;
    if (!r.string(kId, idText, true))
        return failed(r.failure);
    const auto id = uuidFromString(idText);
    if (!id)
        return failed(QStringLiteral("“id” is not a UUID"));
    v.id = *id;

    QString kindText = vaultKindRawValue(VaultKind::standard);
    if (!r.string(kKind, kindText, false))
        return failed(r.failure);
    const auto kind = vaultKindFromRawValue(kindText);
    if (!kind)
        return failed(QStringLiteral("“kind” is neither “standard” nor “pocket”"));
    v.kind = *kind;

    if (!r.string(kName, v.name, true) || !r.string(kBundlePath, v.bundlePath, true))
        return failed(r.failure);

    std::optional<qint64> mb;
    if (!r.integer(kMaxSizeMB, mb))
        return failed(r.failure);
    if (mb) {
        v.maxSizeMB = *mb;
    } else {
        std::optional<qint64> gb;
        if (!r.integer(kMaxSizeGB, gb))
            return failed(r.failure);
        // Records from before sizes were kept in MB; without either key the old default of 1 GB holds.
        if (__builtin_mul_overflow(gb.value_or(1), qint64{1024}, &v.maxSizeMB))
            return failed(QStringLiteral("“maxSizeGB” is too large"));
    }

    std::optional<Date> created;
    if (!r.date(kCreatedAt, created, true))
        return failed(r.failure);
    v.createdAt = *created;

    if (!r.boolean(kExcludedFromCloud, v.excludedFromCloud) || !r.boolean(kRequireTouchID, v.requireTouchID) ||
        !r.boolean(kOpenInFinderAfterUnlock, v.openInFinderAfterUnlock) ||
        !r.boolean(kAutoOpenAtLaunch, v.autoOpenAtLaunch))
        return failed(r.failure);

    if (!r.date(kLastOpenedAt, v.lastOpenedAt, false))
        return failed(r.failure);

    QString hint;
    if (!r.string(kPasswordHint, hint, false))
        return failed(r.failure);
    if (r.present(kPasswordHint))
        v.passwordHint = hint;

    return v;
}

namespace {

bool isMountPoint(const QString& folder) {
    struct stat self {};
    struct stat parent {};
    const QByteArray path = QFile::encodeName(folder);
    if (::stat(path.constData(), &self) != 0 || !S_ISDIR(self.st_mode))
        return false;
    if (::stat(QFile::encodeName(folder + QStringLiteral("/..")).constData(), &parent) != 0)
        return false;
    return self.st_dev != parent.st_dev;
}

} // namespace

bool Vault::volumeIsPresent(const QString& path) {
    if (!path.startsWith(QLatin1Char('/')))
        return true;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // Where removable disks and network shares appear: /Volumes/<disk>, and on Linux desktops
    // /media/<user>/<disk> and /run/media/<user>/<disk>.
    auto presentBelow = [&parts](qsizetype depth) {
        return QFileInfo::exists(QLatin1Char('/') + parts.mid(0, depth).join(QLatin1Char('/')));
    };
    if (parts.size() >= 2 && parts[0] == QLatin1String("Volumes"))
        return presentBelow(2);
    if (parts.size() >= 3 && parts[0] == QLatin1String("media"))
        return presentBelow(3);
    if (parts.size() >= 4 && parts[0] == QLatin1String("run") && parts[1] == QLatin1String("media"))
        return presentBelow(4);
    // Folders under /mnt usually stay when their disk is unplugged, so only a folder that is
    // itself a mount point (another device than /mnt) counts as a present volume.
    if (parts.size() >= 2 && parts[0] == QLatin1String("mnt"))
        return isMountPoint(QStringLiteral("/mnt/") + parts[1]);
    return true;
}

} // namespace larkhold
