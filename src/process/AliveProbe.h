#pragma once

#include "config/ReadyGate.h"
#include "process/HostLookUp.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class QSocketNotifier;

// Checks again and again that a process still does its work, by one check as
// ReadyGate::parseAlive() reads it (tcp:, unix:, file: or http://), the
// grammar that the linter checks too. One check at a time: the next begins
// the interval after the last one ended. A connection and an http request
// are made without blocking, a host name is looked up once on a thread of its
// own; nothing runs between checks but the interval's timer.
class AliveProbe : public QObject
{
    Q_OBJECT

public:
    // Relative paths are taken from folder (the process's working folder).
    AliveProbe(const QString& check, const QString& folder, int intervalSeconds, int timeoutSeconds,
               int failures);
    ~AliveProbe() override;

    // The first check comes one interval from now; the count of failures starts afresh.
    void start();
    void stop();

    // The last check's result in words ("ok", "timed out after 5 s") and when
    // it ended; empty and invalid before the first.
    const QString& lastResult() const { return m_lastResult; }
    const QDateTime& lastCheckedAt() const { return m_lastCheckedAt; }

signals:
    void checked();
    // As many checks as allowed failed in a row; the probe stops. In words:
    // "http localhost:8080/health failed 3 times in a row (timed out after 5 s)".
    void failed(const QString& what);

private:
    void onCheckDue();
    void onLookUpPoll();
    void onWritable();
    void onReadable();
    void tryAddress(size_t index);
    void connected();
    void finishCheck(bool ok, const QString& why);
    void dropNotifier();
    void closeConnection();

    ReadyGate m_check;
    int m_intervalMs;
    int m_timeoutSeconds;
    int m_failuresAllowed;
    int m_failures = 0;
    std::vector<HostLookUp::Endpoint> m_addresses;
    std::unique_ptr<HostLookUp> m_lookUp; // while a host name is looked up
    bool m_resolved = false;
    size_t m_addressIndex = 0;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_response;
    QString m_lastError;
    QString m_lastResult;
    QDateTime m_lastCheckedAt;
    QTimer m_intervalTimer;
    QTimer m_timeoutTimer;
    QTimer m_lookUpTimer;
};
