#pragma once

#include <QObject>

#include <memory>

#include <signal.h>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal delivered by the event loop. The
// handler only writes the signal number into a pipe (the one thing that is
// safe there); the read end is watched by a socket notifier. The handlers are
// reset to the defaults by exec, so child processes are not affected, and the
// previous handlers come back when the watcher is destroyed. One watcher at a
// time.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

signals:
    void interrupted(int signalNumber);

private:
    static void onSignal(int signalNumber);
    void onReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_previousInt = {};
    struct sigaction m_previousTerm = {};
};
