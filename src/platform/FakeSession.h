#pragma once

#include "SessionMonitor.h"

#include <QStringList>
#include <functional>

namespace larkhold {

// A session monitor that tests drive by hand.
class FakeSessionMonitor final : public SessionMonitor {
    Q_OBJECT

public:
    explicit FakeSessionMonitor(QObject* parent = nullptr) : SessionMonitor(parent) {}

    void lockScreen() { emit screenLocked(); }
    void prepareForSleep() { emit sleepRequested(); }
    void wake() { emit resumed(); }
};

// An inhibitor that records what was asked of it; `onRelease` lets a test see the world at the moment of release.
class FakeSleepInhibitor final : public SleepInhibitor {
public:
    void take() override {
        events.append(QStringLiteral("take"));
        held_ = true;
    }
    void release() override {
        if (!held_)
            return;
        if (onRelease)
            onRelease();
        events.append(QStringLiteral("release"));
        held_ = false;
    }
    bool isHeld() const override { return held_; }

    QStringList events;
    std::function<void()> onRelease;

private:
    bool held_ = false;
};

} // namespace larkhold
