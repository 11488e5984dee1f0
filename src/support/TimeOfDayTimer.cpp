#include "support/TimeOfDayTimer.h"

#include "support/DateChangeTimer.h"
#include "support/TimeStamp.h"

#include <algorithm>
#include <ctime>

using Solvane::TimeStamp;

namespace {

// A step forward longer than this over the time is a clock being set, not
// one running late: the moment it skipped is not made up.
const qint64 MaxLateMs = 3 * 3600 * 1000;

qint64 nowMs()
{
    return TimeStamp::currentTime().msecsSinceEpoch();
}

// The moment `time` on local `day`, by the C library as DateChangeTimer's dates: a
// time that a daylight-saving change skips comes out as a moment of that day all
// the same, and one that it repeats as one of its two moments.
qint64 momentMs(const QDate& day, const QTime& time)
{
    tm local{};
    local.tm_year = day.year() - 1900;
    local.tm_mon = day.month() - 1;
    local.tm_mday = day.day();
    local.tm_hour = time.hour();
    local.tm_min = time.minute();
    local.tm_isdst = -1;
    return qint64(mktime(&local)) * 1000;
}

} // namespace

TimeOfDayTimer::TimeOfDayTimer(QObject* parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &TimeOfDayTimer::onTimeout);
}

void TimeOfDayTimer::start(const QTime& time)
{
    m_time = time;
    m_lastLookMs = nowMs();
    const QDate today = DateChangeTimer::today();
    m_doneDay = momentMs(today, m_time) <= m_lastLookMs ? today : today.addDays(-1);
    arm();
}

void TimeOfDayTimer::stop()
{
    m_timer.stop();
    m_time = QTime();
}

QDateTime TimeOfDayTimer::next() const
{
    return isActive() ? QDateTime::fromMSecsSinceEpoch(nextMs()) : QDateTime();
}

// The first moment after now on a later date than the last time.
qint64 TimeOfDayTimer::nextMs() const
{
    const QDate day = std::max(DateChangeTimer::today(), m_doneDay.addDays(1));
    const qint64 moment = momentMs(day, m_time);
    return moment > nowMs() ? moment : momentMs(day.addDays(1), m_time);
}

void TimeOfDayTimer::onTimeout()
{
    const qint64 now = nowMs();
    const QDate today = DateChangeTimer::today();
    const qint64 moment = momentMs(today, m_time);
    // Crossed since the last look, on a later date than the last time.
    const bool isDue = today > m_doneDay && m_lastLookMs < moment && moment <= now &&
                       now - m_lastLookMs <= MaxLateMs;
    m_lastLookMs = now;
    if (isDue)
        m_doneDay = today;
    arm();
    // Last: a receiver may stop or start the timer.
    if (isDue)
        emit due(m_time);
}

void TimeOfDayTimer::arm()
{
    // A few milliseconds past the moment, so that the look finds it reached.
    const qint64 untilNext = nextMs() - nowMs() + 5;
    m_timer.start(int(std::clamp<qint64>(untilNext, 0, DateChangeTimer::lookInterval())));
}
