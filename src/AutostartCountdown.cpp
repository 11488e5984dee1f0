#include "AutostartCountdown.h"

#include <algorithm>
#include <climits>

AutostartCountdown::AutostartCountdown(QObject* parent) : QObject(parent)
{
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &AutostartCountdown::onTick);
}

AutostartCountdown::~AutostartCountdown() = default;

void AutostartCountdown::start(const QString& application, int timeoutSeconds)
{
    const bool anew = isActive();
    // A negative timeout starts at once; one too long for a timer interval is
    // cut to the longest interval rather than overflowing.
    const qint64 intervalMs = std::clamp<qint64>(qint64(timeoutSeconds) * 1000, 0, INT_MAX);
    m_application = application;
    m_timeout = timeoutSeconds;
    m_timer = std::make_unique<QTimer>();
    m_timer->setSingleShot(true);
    m_timer->setInterval(int(intervalMs));
    connect(m_timer.get(), &QTimer::timeout, this, &AutostartCountdown::onElapsed);
    m_timer->start();
    setSeconds(intervalMs > 0 ? int((intervalMs + 999) / 1000) : -1);
    m_tick.start();
    if (anew && m_seconds > 0)
        emit timeRemaining(m_seconds);
}

// The timer whose timeout is being handled is no countdown any more, and
// goes once it returns; a handler of elapsed() may start the application,
// which may reach a front end that starts or stops a countdown.
void AutostartCountdown::onElapsed()
{
    QTimer* ending = m_timer.release();
    ending->setParent(this);
    ending->deleteLater();
    m_tick.stop();
    emit elapsed(m_application);
    stop();
}

// The remaining time is rounded to the nearest second: a coarse timer's tick
// comes a little early or late, and must neither skip nor repeat a number.
// The tick that rounds to 0 shows nothing; the start follows at once.
void AutostartCountdown::onTick()
{
    if (!m_timer || !m_timer->isActive())
        return;
    const int seconds = (m_timer->remainingTime() + 500) / 1000;
    if (seconds <= 0 || seconds == m_seconds)
        return;
    setSeconds(seconds);
    emit timeRemaining(seconds);
}

void AutostartCountdown::setSeconds(int seconds)
{
    if (seconds == m_seconds)
        return;
    m_seconds = seconds;
    emit secondsChanged();
}

// Emits in every case, so a front end can always hide its countdown on this signal.
void AutostartCountdown::stop()
{
    m_timer.reset();
    m_tick.stop();
    setSeconds(-1);
    emit disabled();
}

void AutostartCountdown::cancel(const QString& reason)
{
    emit cancelled(reason);
    stop();
}
