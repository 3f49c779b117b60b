#pragma once

#include "Date.h"

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <memory>
#include <optional>

namespace larkhold {

struct SettingKey;

// The user's preferences: QSettings for what the user has set, plus a layer of registered
// defaults that answers reads of keys the user never set. A read gives the stored value, else
// the registered one, else the caller's fallback. Registering writes nothing to disk, so a
// default that changes in a later version reaches every user who never touched the setting.
class Defaults : public QObject {
    Q_OBJECT

public:
    // The application's own preferences file.
    explicit Defaults(QObject* parent = nullptr);
    // An INI file at `path`, for tests and tools.
    explicit Defaults(const QString& path, QObject* parent = nullptr);
    ~Defaults() override;

    // The application's instance, for the few places that cannot be handed one.
    static Defaults& shared();

    // Adds to the registered layer; values already registered under the same key are replaced.
    void registerDefaults(const QVariantMap& values);
    QVariant registeredValue(const QString& key) const;

    // Whether the user's preferences hold a value for the key (registered values do not count).
    bool contains(const QString& key) const;

    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);

    // Typed reads. A stored value that does not convert counts as not stored.
    bool boolValue(const QString& key, bool fallback = false) const;
    qint64 intValue(const QString& key, qint64 fallback = 0) const;
    double doubleValue(const QString& key, double fallback = 0) const;
    QString stringValue(const QString& key, const QString& fallback = {}) const;
    QByteArray dataValue(const QString& key, const QByteArray& fallback = {}) const;
    std::optional<Date> dateValue(const QString& key) const;
    void setDate(const QString& key, Date date);

    // Reads through the settings table: the key's own default is the fallback.
    bool boolValue(const SettingKey& key) const;
    qint64 intValue(const SettingKey& key) const;
    QString stringValue(const SettingKey& key) const;
    void setValue(const SettingKey& key, const QVariant& value);

    // Flushes to disk; false when the preferences file could not be written.
    bool sync();

    QSettings& settings() { return *settings_; }

signals:
    // Emitted after a key was set or removed through this object.
    void changed(const QString& key);

private:
    std::optional<QVariant> converted(const QString& key, QMetaType type) const;

    std::unique_ptr<QSettings> settings_;
    QVariantMap registered_;
};

} // namespace larkhold
