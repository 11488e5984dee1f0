#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>

#include <memory>

class QSocketNotifier;

// The datagram socket named in a child's NOTIFY_SOCKET, through which it
// says that it is ready (READY=1), that it is still well (WATCHDOG=1) or that
// it is not (WATCHDOG=trigger). The kernel names an abstract socket that
// nobody else holds. Anyone on the machine can send to it: a datagram counts
// only when the kernel vouches that its sender is the current instance, a
// process of its group, or a descendant of it. A sender that has ended and
// been reaped before its datagram is read can no longer be placed: its
// datagram is dropped, said once in the socket's life.
class NotifySocket : public QObject
{
    Q_OBJECT

public:
    NotifySocket();
    ~NotifySocket() override;

    // The value of NOTIFY_SOCKET; empty when no socket could be made.
    const QByteArray& name() const { return m_name; }
    // The instance that runs now leads this process group: only it, its group
    // and its descendants may notify from now on.
    void setInstance(qint64 leaderPid) { m_instance = leaderPid; }
    // Reads what has come; the signals are emitted from inside.
    void readPending();

signals:
    void readyNotified();
    void watchdogPinged();
    void watchdogTriggered();

private:
    enum class Sender
    {
        Instances, // the instance, its group or a descendant
        Ended,     // gone before it could be placed
        Stranger,
    };
    bool instanceRuns() const;
    Sender place(qint64 pid) const;

    int m_fd = -1;
    QByteArray m_name;
    qint64 m_instance = 0;
    QSet<qint64> m_ignoredSenders; // told about once each
    bool m_toldEnded = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
