#include "ActivityEvent.h"

#include "Defaults.h"
#include "SettingsKeys.h"
#include "UuidText.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace larkhold {

namespace {
const QString kId = QStringLiteral("id");
const QString kDate = QStringLiteral("date");
const QString kText = QStringLiteral("text");
} // namespace

QJsonObject ActivityEvent::toJson() const {
    QJsonObject o;
    o.insert(kId, uuidString(id));
    o.insert(kDate, date.secondsSinceReference);
    o.insert(kText, text);
    return o;
}

std::optional<ActivityEvent> ActivityEvent::fromJson(const QJsonValue& value) {
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    const QJsonValue id = o.value(kId);
    const QJsonValue date = o.value(kDate);
    const QJsonValue text = o.value(kText);
    if (!id.isString() || !date.isDouble() || !text.isString())
        return std::nullopt;
    const auto uuid = uuidFromString(id.toString());
    if (!uuid)
        return std::nullopt;
    return ActivityEvent{*uuid, Date::fromReferenceSeconds(date.toDouble()), text.toString()};
}

namespace ActivityLog {

QByteArray encode(const QList<ActivityEvent>& events) {
    QJsonArray array;
    for (const ActivityEvent& e : events)
        array.append(e.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<ActivityEvent> decode(const QByteArray& data) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return {};
    QList<ActivityEvent> events;
    const QJsonArray array = doc.array();
    events.reserve(array.size());
    for (const QJsonValue& v : array) {
        auto e = ActivityEvent::fromJson(v);
        if (!e)
            return {};
        events.append(std::move(*e));
    }
    return events;
}

QList<ActivityEvent> load(const Defaults& defaults) {
    return decode(defaults.dataValue(SettingsKeys::activityLog));
}

void store(Defaults& defaults, const QList<ActivityEvent>& events) {
    defaults.setValue(SettingsKeys::activityLog, encode(events));
}

void append(Defaults& defaults, QList<ActivityEvent>& events, ActivityEvent event) {
    events.prepend(std::move(event));
    if (events.size() > kLimit)
        events.resize(kLimit);
    store(defaults, events);
}

} // namespace ActivityLog

} // namespace larkhold
