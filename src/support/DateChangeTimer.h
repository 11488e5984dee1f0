#pragma once

#include <QDate>
#include <QObject>
#include <QTimer>

// Tells when the local date changes, by the launcher's wall clock (TimeStamp,
// which tests replace). It looks at midnight, and at least once a minute in
// between, so that a clock that is set (a kiosk without a real-time clock
// learns the time after it has booted) or a new time zone is noticed, too.
class DateChangeTimer : public QObject
{
    Q_OBJECT

public:
    explicit DateChangeTimer(QObject* parent = nullptr);

    // The local date now. Every date that names a log file comes from here.
    static QDate today();

    // How long a timer waits at most between two looks at the clock (a
    // minute). A simulation that runs its clock fast looks more often.
    static void setLookInterval(int intervalMs);
    static int lookInterval();

    // Takes today as the current day and watches for the next one.
    void start();
    void stop();
    bool isActive() const { return m_timer.isActive(); }

signals:
    // The local date is no longer the one before: a new day (or a clock set back).
    void dayChanged(const QDate& today);

private:
    void onTimeout();
    void arm();

    QTimer m_timer;
    QDate m_day;
};
