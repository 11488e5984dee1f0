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
class NotifySocket;

// Tells when a process is ready for the next one of its pipeline, by one gate
// as ReadyGate reads it (tcp:, unix:, file:, log: or notify), the grammar that
// the linter checks too.
// Files and sockets are looked at every 100 ms, without blocking, and a host
// name is looked up on a thread of its own (HostLookUp); the output is handed
// in by the process that reads it; notifications come from the process's
// NotifySocket. Whether the process waits is the process's to know.
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
    bool watchesNotifications() const { return m_kind == Kind::Notify; }
    // Where a notify gate hears the process; it outlives the probe.
    void watchNotifications(NotifySocket* socket);
    qint64 elapsedMs() const { return m_elapsed.elapsed(); }

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
    void onReadyNotified();
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
    NotifySocket* m_notifySocket = nullptr;
    bool m_lookingNow = false;
    QTimer m_pollTimer;
    QTimer m_timeoutTimer;
    QElapsedTimer m_elapsed;
};
