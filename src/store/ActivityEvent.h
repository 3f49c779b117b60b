#pragma once

#include "Date.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

class Defaults;

// One line of the user-visible activity log.
struct ActivityEvent {
    QUuid id;
    Date date;
    QString text;

    static ActivityEvent make(QString text, Date date = Date::now()) {
        return {QUuid::createUuid(), date, std::move(text)};
    }

    QJsonObject toJson() const;
    // All three keys are required.
    static std::optional<ActivityEvent> fromJson(const QJsonValue& value);

    friend bool operator==(const ActivityEvent&, const ActivityEvent&) = default;
};

// The activity log, newest first, kept to the 50 newest events and stored in the settings
// under "activityLog" as compact JSON.
namespace ActivityLog {

inline constexpr qsizetype kLimit = 50;

QByteArray encode(const QList<ActivityEvent>& events);
// Anything that does not decode as a whole gives an empty log.
QList<ActivityEvent> decode(const QByteArray& data);

QList<ActivityEvent> load(const Defaults& defaults);
void store(Defaults& defaults, const QList<ActivityEvent>& events);

// Puts the event at the front, drops everything after the 50th and stores the log.
void append(Defaults& defaults, QList<ActivityEvent>& events, ActivityEvent event);

} // namespace ActivityLog

} // namespace larkhold
