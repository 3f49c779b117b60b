#pragma once

#include <QDateTime>

#include <compare>

namespace larkhold {

// A wall-clock instant stored as seconds since 2001-01-01 00:00:00 UTC, the form the
// vault list and the Pocket manifest write. Kept as a double so that a value read from a
// file is written back bit for bit.
struct Date {
    // 2001-01-01T00:00:00Z in Unix seconds.
    static constexpr double kReferenceUnixSeconds = 978307200.0;

    double secondsSinceReference = 0;

    static Date fromReferenceSeconds(double s) { return Date{s}; }
    static Date fromUnixSeconds(double s) { return Date{s - kReferenceUnixSeconds}; }
    static Date fromDateTime(const QDateTime& dt) {
        return fromUnixSeconds(static_cast<double>(dt.toMSecsSinceEpoch()) / 1000.0);
    }
    static Date now() { return fromDateTime(QDateTime::currentDateTimeUtc()); }

    double unixSeconds() const { return secondsSinceReference + kReferenceUnixSeconds; }
    QDateTime toDateTime() const {
        return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(unixSeconds() * 1000.0), Qt::UTC);
    }

    Date addingSeconds(double s) const { return Date{secondsSinceReference + s}; }

    friend bool operator==(const Date&, const Date&) = default;
    friend auto operator<=>(const Date&, const Date&) = default;
};

} // namespace larkhold
