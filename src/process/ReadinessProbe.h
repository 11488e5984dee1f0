#pragma once

#include "config/ReadyGate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class HostLookUp;
class QSocketNotifier;

// Tells when a process is ready for the next one of its pipeline, by one gate
// as ReadyGate reads it (tcp:, unix:, file:, log: or notify), the grammar that
// the linter checks too.
// Files and sockets are looked at every 100 ms, without blocking, and a host
// name is looked up on a thread of its own (HostLookUp); the output is handed
// in by whoever reads it; notifications arrive on a datagram socket that
// exists from construction, so that the child can be given its name. Anyone
// on the machine can send to that socket: a notification counts only when
// the kernel vouches that its sender is the waiting process's instance, a
// process of its group, or a descendant of it.
class ReadinessProbe : public QObject
{
    Q_OBJECT

public:
    // Relative paths are taken from folder (the process's working folder).
    ReadinessProbe(const QString& gate, const QString& folder);
    ~ReadinessProbe() override;

    // Why the text is no gate; empty when it is one.
    static QString gateError(const QString& gate);

    const QString& gate() const { return m_gate; }
    // The value of NOTIFY_SOCKET for the child; empty unless a notify gate waits.
    QByteArray notifySocket() const;
    bool watchesOutput() const { return m_kind == Kind::Log; }
    bool isWaiting() const { return m_state == State::Waiting; }
    bool hasBegun() const { return m_state != State::Idle; }
    qint64 elapsedMs() const { return m_elapsed.elapsed(); }

    // The instance that runs now leads this process group: only it, its group
    // and its descendants may notify from now on.
    void setInstance(qint64 leaderPid) { m_instance = leaderPid; }

    // Begins the wait; ready() may come from inside. No limit for timeoutSeconds <= 0.
    void start(int timeoutSeconds);
    // Ends the wait without an outcome signal.
    void stop();
    // A last look, for a process that has ended: true when the gate is open
    // (ready() is not emitted).
    bool lookNow();
    // Output of the process, as read.
    void checkOutput(const QByteArray& output);

signals:
    void ready();
    void timedOut();

private:
    using Kind = ReadyGate::Kind;
    enum class State
    {
        Idle,
        Waiting,
        Done
    };
    struct Address;

    void onPoll();
    void onNotifyReadable();
    void readNotifications();
    bool isInstances(qint64 pid) const;
    bool isOpen();
    bool connectionSucceeds();
    void resolve();
    void closeAttempts();
    void finish(bool ready);

    QString m_gate;
    Kind m_kind = Kind::Invalid;
    QString m_target; // path, text or host
    quint16 m_port = 0;
    QByteArray m_text;
    QByteArray m_tail; // the end of the output's unfinished line
    State m_state = State::Idle;
    bool m_notified = false;
    bool m_resolved = false;
    std::vector<Address> m_addresses;
    std::unique_ptr<HostLookUp> m_lookUp; // while a host name is looked up
    qint64 m_instance = 0;
    QSet<qint64> m_ignoredSenders; // told about once each
    int m_notifyFd = -1;
    QByteArray m_notifyName;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_pollTimer;
    QTimer m_timeoutTimer;
    QElapsedTimer m_elapsed;
};
