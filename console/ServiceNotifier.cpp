#include "ServiceNotifier.h"

#include "Backend.h"

#include <QtGlobal>

#include <climits>

#include <unistd.h>

#ifdef LAUNCHER_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

// $NOTIFY_SOCKET as the launcher found it; empty when there is no service manager.
QByteArray s_socket;
bool s_stopping = false;

// What each sign of a start-up rotation's progress adds to the start timeout:
// the next sign comes within a second or a piece of a log, but a large log's
// gzip file may take a while to reach a slow card.
const char* const ExtendStart = "EXTEND_TIMEOUT_USEC=30000000";

} // namespace

ServiceNotifier::ServiceNotifier(Backend& backend, QObject* parent)
    : QObject(parent), m_backend(backend)
{
    s_socket = qgetenv("NOTIFY_SOCKET");
    qunsetenv("NOTIFY_SOCKET");
#ifdef LAUNCHER_HAVE_SYSTEMD
    // Pings at half the watchdog's period, so that a late one still counts.
    uint64_t watchdogUsec = 0;
    if (!s_socket.isEmpty() && sd_watchdog_enabled(1, &watchdogUsec) > 0) {
        connect(&m_watchdogTimer, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
        m_watchdogTimer.start(int(qBound<uint64_t>(1, watchdogUsec / 2000, INT_MAX)));
    }
#endif
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");

    // The start-up's rotation of old logs holds the event loop, however many
    // logs there are: the start timeout must not run out meanwhile.
    connect(&m_backend, &Backend::logRotationProgress, this, [this] {
        if (!m_ready)
            notify(ExtendStart);
    });

    connect(&m_backend, &Backend::autostartTimeRemaining, this, [this](int remainingSecs) {
        if (m_countdown)
            setStatus(countdownStatus(remainingSecs));
    });
    connect(&m_backend, &Backend::autostartDisabled, this, [this] {
        m_countdown = false;
        // The countdown's end goes straight on to the start it made.
        if (m_backend.runningApplication().isEmpty())
            setStatus(QStringLiteral("idle"));
        else
            showRunning();
    });
    PipelineController& controller = *m_backend.pipelineController();
    connect(&controller, &PipelineController::processStarted, this, [this] {
        ++m_processes;
        showRunning();
    });
    connect(&controller, &PipelineController::processFinished, this, [this] {
        m_processes = qMax(0, m_processes - 1);
        showRunning();
    });
    connect(&m_backend, &Backend::pipelineStarted, this, &ServiceNotifier::showRunning);
    connect(&m_backend, &Backend::pipelineFinished, this, [this] {
        m_processes = 0;
        setStatus(QStringLiteral("idle"));
    });
}

ServiceNotifier::~ServiceNotifier()
{
    stopping();
}

// A countdown of no time has no number to show.
QString ServiceNotifier::countdownStatus(int remainingSecs) const
{
    return remainingSecs > 0 ? QStringLiteral("autostart %1 in %2 s")
                                   .arg(m_backend.autostartTile())
                                   .arg(remainingSecs)
                             : QStringLiteral("autostart %1").arg(m_backend.autostartTile());
}

void ServiceNotifier::ready(bool countdown)
{
    m_ready = true;
    m_countdown = countdown;
    m_status =
        countdown ? countdownStatus(m_backend.autostartRemainingSeconds()) : QStringLiteral("idle");
    notify("READY=1\nSTATUS=" + m_status.toUtf8());
}

void ServiceNotifier::stopping()
{
    if (!s_stopping) {
        s_stopping = true;
        notify("STOPPING=1");
    }
}

void ServiceNotifier::notify(const QByteArray& state)
{
#ifdef LAUNCHER_HAVE_SYSTEMD
    if (s_socket.isEmpty())
        return;
    // sd_notify() reads the socket from the environment; it is there only
    // for the call, never while a process of the pipeline starts.
    qputenv("NOTIFY_SOCKET", s_socket);
    sd_notify(1, state.constData());
#else
    Q_UNUSED(state)
#endif
}

void ServiceNotifier::setStatus(const QString& status)
{
    // Once the launcher is going down, the manager hears nothing more of it.
    if (status == m_status || s_stopping)
        return;
    m_status = status;
    notify("STATUS=" + status.toUtf8());
}

void ServiceNotifier::showRunning()
{
    const QString running = m_backend.runningApplication();
    if (running.isEmpty())
        return;
    // No process runs yet, or between two of a start's sync processes.
    if (m_processes == 0)
        setStatus(QStringLiteral("starting %1").arg(running));
    else
        setStatus(
            QStringLiteral("running %1 (%2 %3)")
                .arg(running)
                .arg(m_processes)
                .arg(m_processes == 1 ? QLatin1String("process") : QLatin1String("processes")));
}
