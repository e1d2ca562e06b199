#pragma once

#include <memory>

// Holds off the machine's sleep while reccap captures. A sleeping PC answers no instrument,
// and a USB serial adapter may come back from sleep as another device; the screen may still
// lock. Taking the hold never delays capturing and never fails it: a system that refuses,
// or has no one to ask, simply sleeps as before. Form1 holds it from Comm Open until capture
// stops for any reason.
class SleepGuard {
public:
    virtual ~SleepGuard() = default;
    // Both may be called any number of times; the last call decides.
    virtual void hold() = 0;
    virtual void release() = 0;
};

// The platform's own: a logind inhibitor on Linux, the thread's execution state on Windows.
std::unique_ptr<SleepGuard> newSleepGuard();
