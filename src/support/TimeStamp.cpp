#include "support/TimeStamp.h"

#include <cmath>
#include <ctime>

namespace Solvane {

namespace {

qint64 realtimeClock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const qint64 fraction = (qint64(now.tv_nsec) << TimeStamp::FractionBits) / 1000000000;
    return (qint64(now.tv_sec) << TimeStamp::FractionBits) | fraction;
}

TimeStamp::Clock g_clock = realtimeClock;

} // namespace

TimeStamp TimeStamp::currentTime()
{
    return TimeStamp(g_clock());
}

TimeStamp TimeStamp::fromSecondsD(double seconds)
{
    return TimeStamp(qint64(std::floor(seconds * double(qint64(1) << FractionBits))));
}

double TimeStamp::sinceSecondsD() const
{
    const qint64 elapsed = currentTime().value() - m_value;
    return double(elapsed) / double(qint64(1) << FractionBits);
}

void TimeStamp::setClock(Clock clock)
{
    g_clock = clock ? clock : realtimeClock;
}

} // namespace Solvane
