#pragma once

#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QTime>
#include <QTimer>

// Tells once a day when the local time reaches a time of day, by the
// launcher's wall clock (TimeStamp, which tests replace). It looks at that
// moment, and at least as often as DateChangeTimer does in between, so that a clock
// that is set is noticed. At most once a day, whatever the clock does: a
// clock set back over the time, or a daylight-saving change that repeats it,
// does not tell again on the same day (nor on an earlier date), and a clock
// set forward over it tells once at the step if the step is short (an
// adjustment), never for a large one (a kiosk without a real-time clock
// learning the date).
class TimeOfDayTimer : public QObject
{
    Q_OBJECT

public:
    explicit TimeOfDayTimer(QObject* parent = nullptr);

    // Watches for `time` from now on: a time already past today comes first tomorrow.
    void start(const QTime& time);
    void stop();
    bool isActive() const { return m_timer.isActive(); }
    // The next moment it tells, as the clock reads now; invalid when stopped.
    QDateTime next() const;

signals:
    void due(const QTime& time);

private:
    void onTimeout();
    void arm();
    qint64 nextMs() const;

    QTimer m_timer;
    QTime m_time;
    // The last local date it told on (or on which the time had passed at its start).
    QDate m_doneDay;
    // The wall clock at the last look, in ms since 1970.
    qint64 m_lastLookMs = 0;
};
