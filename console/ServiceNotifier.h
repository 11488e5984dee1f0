#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class Backend;

// Keeps a service manager informed while the launcher runs as a notify
// service: a longer start timeout while the start-up rotates old logs,
// readiness, a one-line status that follows the backend ("autostart
// NAME in N s", "running NAME (N processes)", "idle"), the stop, and watchdog
// pings when the service has a watchdog. Without $NOTIFY_SOCKET, or in a build
// without libsystemd, nothing is sent.
class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    // Takes the service manager's variables out of the environment, so that
    // the pipeline's processes do not report to it in the launcher's name.
    // Made before Backend::initialize(), so as to extend the start timeout.
    explicit ServiceNotifier(Backend& backend, QObject* parent = nullptr);
    // Sends STOPPING=1 unless stopping() did.
    ~ServiceNotifier() override;

    // Settings and applications are loaded; countdown: the autostart countdown
    // of the main job runs.
    void ready(bool countdown);
    // The launcher is going down; sent once, whoever calls it first.
    static void stopping();

private:
    static void notify(const QByteArray& state);
    void setStatus(const QString& status);
    QString countdownStatus(int remainingSecs) const;
    void showRunning();

    Backend& m_backend;
    QString m_status;
    int m_processes = 0;
    bool m_countdown = false;
    bool m_ready = false;
    QTimer m_watchdogTimer;
};
