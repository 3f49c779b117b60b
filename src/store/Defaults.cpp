#include "Defaults.h"

#include "SettingsKeys.h"

#include <QDateTime>

namespace larkhold {

namespace {

// Text from the preferences file: what QSettings writes for a flag, plus the usual hand-written forms.
// QVariant would turn any other text into true, so that a typo such as "flase" switched a setting on.
std::optional<QVariant> flagFromText(const QString& text) {
    const QString t = text.trimmed().toLower();
    if (t == u"true" || t == u"yes" || t == u"1")
        return QVariant(true);
    if (t == u"false" || t == u"no" || t == u"0")
        return QVariant(false);
    return std::nullopt;
}

std::optional<QVariant> convertedTo(QVariant v, QMetaType type) {
    if (!v.isValid() || v.isNull())
        return std::nullopt;
    if (v.metaType() == type)
        return v;
    if (type == QMetaType::fromType<bool>() &&
        (v.metaType() == QMetaType::fromType<QString>() || v.metaType() == QMetaType::fromType<QByteArray>()))
        return flagFromText(v.toString());
    if (!v.canConvert(type) || !v.convert(type))
        return std::nullopt;
    return v;
}

} // namespace

Defaults::Defaults(QObject* parent)
    : QObject(parent), settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                             QStringLiteral("Larkhold"), QStringLiteral("Larkhold"))) {}

Defaults::Defaults(const QString& path, QObject* parent)
    : QObject(parent), settings_(std::make_unique<QSettings>(path, QSettings::IniFormat)) {}

Defaults::~Defaults() = default;

Defaults& Defaults::shared() {
    static Defaults instance;
    return instance;
}

void Defaults::registerDefaults(const QVariantMap& values) {
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        registered_.insert(it.key(), it.value());
    // Only keys the user has not set read differently now.
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!contains(it.key()))
            emit changed(it.key());
    }
}

QVariant Defaults::registeredValue(const QString& key) const {
    return registered_.value(key);
}

bool Defaults::contains(const QString& key) const {
    return settings_->contains(key);
}

QVariant Defaults::value(const QString& key, const QVariant& fallback) const {
    if (settings_->contains(key))
        return settings_->value(key);
    const auto it = registered_.constFind(key);
    if (it != registered_.cend())
        return *it;
    return fallback;
}

void Defaults::setValue(const QString& key, const QVariant& value) {
    settings_->setValue(key, value);
    // Written at once: the process may end through a lock-and-quit path that never returns to
    // the event loop.
    settings_->sync();
    emit changed(key);
}

void Defaults::remove(const QString& key) {
    settings_->remove(key);
    settings_->sync();
    emit changed(key);
}

std::optional<QVariant> Defaults::converted(const QString& key, QMetaType type) const {
    if (settings_->contains(key)) {
        if (auto v = convertedTo(settings_->value(key), type))
            return v;
    }
    const auto it = registered_.constFind(key);
    if (it != registered_.cend())
        return convertedTo(*it, type);
    return std::nullopt;
}

bool Defaults::boolValue(const QString& key, bool fallback) const {
    const auto v = converted(key, QMetaType::fromType<bool>());
    return v ? v->toBool() : fallback;
}

qint64 Defaults::intValue(const QString& key, qint64 fallback) const {
    const auto v = converted(key, QMetaType::fromType<qint64>());
    return v ? v->toLongLong() : fallback;
}

double Defaults::doubleValue(const QString& key, double fallback) const {
    const auto v = converted(key, QMetaType::fromType<double>());
    return v ? v->toDouble() : fallback;
}

QString Defaults::stringValue(const QString& key, const QString& fallback) const {
    const auto v = converted(key, QMetaType::fromType<QString>());
    return v ? v->toString() : fallback;
}

QByteArray Defaults::dataValue(const QString& key, const QByteArray& fallback) const {
    const auto v = converted(key, QMetaType::fromType<QByteArray>());
    return v ? v->toByteArray() : fallback;
}

std::optional<Date> Defaults::dateValue(const QString& key) const {
    if (settings_->contains(key)) {
        const QVariant stored = settings_->value(key);
        if (stored.metaType() == QMetaType::fromType<QDateTime>())
            return Date::fromDateTime(stored.toDateTime());
        if (auto v = convertedTo(stored, QMetaType::fromType<double>()))
            return Date::fromReferenceSeconds(v->toDouble());
    }
    return std::nullopt;
}

void Defaults::setDate(const QString& key, Date date) {
    setValue(key, date.secondsSinceReference);
}

bool Defaults::boolValue(const SettingKey& key) const {
    return boolValue(key.name, key.defaultValue.toBool());
}

qint64 Defaults::intValue(const SettingKey& key) const {
    return intValue(key.name, key.defaultValue.toLongLong());
}

QString Defaults::stringValue(const SettingKey& key) const {
    return stringValue(key.name, key.defaultValue.toString());
}

void Defaults::setValue(const SettingKey& key, const QVariant& value) {
    setValue(key.name, value);
}

bool Defaults::sync() {
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

} // namespace larkhold
