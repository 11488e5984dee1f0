#include "support/MonotonicClock.h"

#include <ctime>

namespace {

qint64 systemClock()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

MonotonicClock::Clock g_clock = systemClock;

} // namespace

qint64 MonotonicClock::nowMs()
{
    return g_clock();
}

void MonotonicClock::setClock(Clock clock)
{
    g_clock = clock ? clock : systemClock;
}
