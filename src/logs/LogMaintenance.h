#pragma once

#include "logs/LogRotation.h"

#include <QDateTime>
#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <memory>

// Runs rotations of log folders on a thread of its own, one after the other,
// so that neither the event loop (supervision, the control socket) nor the
// start-up waits for a large backlog. Their trace lines are written on the
// thread of this object, in order.
class LogMaintenance : public QObject
{
    Q_OBJECT

public:
    explicit LogMaintenance(QObject* parent = nullptr);
    // Ends the rotation that runs within one piece of reading (the log being
    // compressed stays as it was, for the next rotation) and drops the one
    // that waits.
    ~LogMaintenance() override;

    // Queues a rotation at `now`. One of the same folder that waits and has
    // not begun yet gives the new one its place: it would do the same, earlier.
    void start(const LogRotation& rotation, const QDateTime& now);
    // Returns once every queued rotation has run and its lines are written.
    void waitForDone();
    // A rotation runs or waits.
    bool isBusy() const { return m_queued > 0; }

signals:
    // The last queued rotation has run.
    void finished();

private:
    struct Waiting;

    void onJobDone();

    QThreadPool m_pool;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::shared_ptr<Waiting> m_waiting;
    // Jobs handed to the thread and not yet reported done.
    int m_queued = 0;
};
