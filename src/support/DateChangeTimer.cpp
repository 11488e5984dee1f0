#include "support/DateChangeTimer.h"

#include "support/TimeStamp.h"

#include <QDateTime>

#include <algorithm>
#include <ctime>

using Solvane::TimeStamp;

namespace {

// The longest the timer waits between two looks at the clock.
qint64 g_lookIntervalMs = 60000;

} // namespace

DateChangeTimer::DateChangeTimer(QObject* parent) : QObject(parent)
{
    // A coarse timer may fire a few seconds late; the day begins at midnight.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &DateChangeTimer::onTimeout);
}

QDate DateChangeTimer::today()
{
    // The C library's conversion, as the time stamps of the log lines use it.
    const time_t seconds = time_t(TimeStamp::currentTime().seconds());
    tm local{};
    localtime_r(&seconds, &local);
    return QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

void DateChangeTimer::setLookInterval(int intervalMs)
{
    g_lookIntervalMs = intervalMs;
}

int DateChangeTimer::lookInterval()
{
    return int(g_lookIntervalMs);
}

void DateChangeTimer::start()
{
    m_day = today();
    arm();
}

void DateChangeTimer::stop()
{
    m_timer.stop();
    m_day = QDate();
}

void DateChangeTimer::onTimeout()
{
    const QDate day = today();
    if (day != m_day) {
        m_day = day;
        emit dayChanged(day);
    }
    // Unless a receiver has stopped the timer.
    if (m_day.isValid())
        arm();
}

void DateChangeTimer::arm()
{
    const qint64 now = TimeStamp::currentTime().msecsSinceEpoch();
    const QDateTime midnight(m_day.addDays(1), QTime(0, 0));
    // A few milliseconds past midnight, so that the look finds the new day.
    const qint64 untilMidnight = midnight.toMSecsSinceEpoch() - now + 5;
    m_timer.start(int(std::clamp<qint64>(untilMidnight, 0, g_lookIntervalMs)));
}
