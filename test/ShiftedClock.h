#pragma once

// A wall clock for tests that need another day than today.

#include "support/TimeStamp.h"

#include <QDateTime>

#include <ctime>

// The launcher's wall clock reads `time` now and runs on from there while the
// object lives: a test reaches midnight without waiting for it.
class ShiftedClock
{
public:
    explicit ShiftedClock(const QDateTime& time)
    {
        set(time);
        Solvane::TimeStamp::setClock([] {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const qint64 ms = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + offsetMs();
            return (ms / 1000 << Solvane::TimeStamp::FractionBits) +
                   ((ms % 1000) << Solvane::TimeStamp::FractionBits) / 1000;
        });
    }
    ~ShiftedClock() { Solvane::TimeStamp::setClock(nullptr); }
    // The clock is set: it reads `time` now and runs on from there.
    void set(const QDateTime& time)
    {
        offsetMs() = time.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch();
    }
    static QDateTime now()
    {
        return QDateTime::fromMSecsSinceEpoch(Solvane::TimeStamp::currentTime().msecsSinceEpoch());
    }
    Q_DISABLE_COPY(ShiftedClock)

private:
    static qint64& offsetMs()
    {
        static qint64 offset = 0;
        return offset;
    }
};
