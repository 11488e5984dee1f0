#pragma once

#include <QtGlobal>

namespace Solvane {

// A wall-clock time as a signed 40.24 fixed-point count of seconds since
// 1970-01-01 00:00:00 UTC: the upper 40 bits are whole seconds, the lower 24
// bits the fraction of a second in units of 2^-24 s.
class TimeStamp
{
public:
    // Returns the current time in the raw 40.24 representation.
    using Clock = qint64 (*)();

    static constexpr int FractionBits = 24;
    static constexpr qint64 FractionMask = (qint64(1) << FractionBits) - 1;

    constexpr TimeStamp() = default;
    constexpr explicit TimeStamp(qint64 value) : m_value(value) {}

    static TimeStamp currentTime();
    static TimeStamp fromSecondsD(double seconds);

    // Seconds elapsed from this time stamp to now, with the fraction.
    double sinceSecondsD() const;

    constexpr qint64 value() const { return m_value; }
    constexpr qint64 seconds() const { return m_value >> FractionBits; }
    constexpr quint32 fraction() const { return quint32(m_value & FractionMask); }
    // Whole milliseconds since 1970, the fraction cut down.
    constexpr qint64 msecsSinceEpoch() const
    {
        return seconds() * 1000 + ((qint64(fraction()) * 1000) >> FractionBits);
    }

    // Lets tests replace the wall clock; nullptr restores it.
    static void setClock(Clock clock);

private:
    qint64 m_value = 0;
};

} // namespace Solvane
