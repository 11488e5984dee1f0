#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

// The countdown to the start of the autostart application, in whole seconds,
// that every front end shows. Backend starts it and starts the application
// when the time is up; a front end watches it (its signals, or Backend's,
// which relay them in the same order) and may stop it.
class AutostartCountdown : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int seconds READ seconds NOTIFY secondsChanged)
    Q_PROPERTY(bool active READ isActive NOTIFY secondsChanged)
    Q_PROPERTY(QString application READ application NOTIFY secondsChanged)

public:
    explicit AutostartCountdown(QObject* parent = nullptr);
    ~AutostartCountdown() override;

    // Counts `timeoutSeconds` down to the start of `application`. One that
    // runs counts down anew, telling its first number (timeRemaining()). A
    // timeout of 0 or less ends at the next pass of the event loop, with no number.
    void start(const QString& application, int timeoutSeconds);
    // Ends the countdown, if any; always emits disabled().
    void stop();
    // Ends a countdown that can no longer start its application: cancelled(),
    // then as stop().
    void cancel(const QString& reason);

    // Whether it counts down: false once the time is up, while elapsed() is handled.
    bool isActive() const { return m_timer != nullptr; }
    // What the running (or last) countdown was started for.
    const QString& application() const { return m_application; }
    int timeout() const { return m_timeout; }
    // The seconds left, as timeRemaining() last told them (the timeout at its
    // start); never 0; -1 when none runs.
    int seconds() const { return m_seconds; }

signals:
    // The number to show now, each second; not at a start (seconds() has it).
    void timeRemaining(int seconds);
    // seconds() changed: a countdown began, ticked or ended (-1).
    void secondsChanged();
    // The countdown can no longer start its application; disabled() follows.
    void cancelled(const QString& reason);
    // The countdown ended, or stop() found none; the last signal of every end.
    void disabled();
    // The time is up: the application is to start now; disabled() follows.
    void elapsed(const QString& application);

private:
    void onTick();
    void onElapsed();
    // The one place the seconds change; signals when they do.
    void setSeconds(int seconds);

    // The whole time; the ticks read what is left of it, so that the numbers
    // cannot drift from the moment of the start.
    std::unique_ptr<QTimer> m_timer;
    QTimer m_tick;
    QString m_application;
    int m_timeout = 0;
    int m_seconds = -1;
};
