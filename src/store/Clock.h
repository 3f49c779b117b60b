#pragma once

#include "Date.h"

namespace larkhold {

// Where the store reads the current time. Idle times and "last opened" stamps come from here so
// that tests can move time by hand instead of waiting for it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;

protected:
    Clock() = default;
    Clock(const Clock&) = default;
    Clock& operator=(const Clock&) = default;
};

// The wall clock.
class SystemClock final : public Clock {
public:
    Date now() const override { return Date::now(); }
};

// A clock that stands still until it is set or advanced.
class FakeClock final : public Clock {
public:
    explicit FakeClock(Date start = Date::fromReferenceSeconds(800'000'000)) : now_(start) {}

    Date now() const override { return now_; }
    void set(Date date) { now_ = date; }
    void advance(double seconds) { now_ = now_.addingSeconds(seconds); }

private:
    Date now_;
};

} // namespace larkhold
