#pragma once

#include <QObject>

namespace larkhold {

// The desktop session's moments that should lock the vaults: the screen locking and the computer about to sleep.
// Every source of one moment (several screen savers, the login manager) arrives as the same signal, so a
// listener never needs to know which desktop it runs on. A source that is not there is simply never heard.
class SessionMonitor : public QObject {
    Q_OBJECT

public:
    ~SessionMonitor() override = default;

signals:
    // The screen was locked (a screen saver went active, or the login manager locked the session).
    void screenLocked();
    // The computer is about to sleep. The sleep waits for the inhibitor, if one is held, to be released.
    void sleepRequested();
    // The computer woke up again.
    void resumed();

protected:
    explicit SessionMonitor(QObject* parent = nullptr) : QObject(parent) {}
};

// Holds back the computer's sleep for a short while so that the vaults can lock first. Taken at start and again
// after every resume; released only once locking has finished, which lets the sleep go ahead.
class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;

    // Asks for the hold; a request while one is held or pending does nothing. Failure is silent: the computer
    // then sleeps without waiting.
    virtual void take() = 0;
    // Lets a pending sleep go ahead. Nothing when no hold is held.
    virtual void release() = 0;
    virtual bool isHeld() const = 0;

protected:
    SleepInhibitor() = default;
    SleepInhibitor(const SleepInhibitor&) = default;
    SleepInhibitor& operator=(const SleepInhibitor&) = default;
};

} // namespace larkhold
