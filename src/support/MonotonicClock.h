#pragma once

#include <QtGlobal>

// Milliseconds on a clock that only runs forward, whatever happens to the
// wall clock: restart windows and back-off are measured on it, so a clock step
// (an NTP sync on a kiosk without a real-time clock) changes no decision.
class MonotonicClock
{
public:
    using Clock = qint64 (*)();

    static qint64 nowMs();

    // Lets tests replace the clock; nullptr restores it.
    static void setClock(Clock clock);
};
