#include "PipelineSession.h"

#include "ConsoleOutput.h"
#include "PipelineLog.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

using ConsoleOutput::print;
using ConsoleOutput::Tone;

namespace {

const int ExitNormal = 0;
const int ExitFailure = 1;
const int ExitInterrupted = 130;

int s_signalPipe[2] = {-1, -1};

// Writing to a pipe is the one thing a signal handler can safely do; the event
// loop reads it. A full pipe drops the byte: enough interrupts are pending then.
void onSignal(int)
{
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], "", 1);
    errno = savedErrno;
}

// The log file the backend writes for the pipeline when started today.
QString logFilePath(const PipelineConfig& pipeline)
{
    return PipelineLog::filePath(pipeline);
}

} // namespace

PipelineSession::PipelineSession(Backend& backend, int stopTimeoutMs)
    : m_backend(backend), m_controller(*backend.pipelineController())
{
    // The handlers are reset to the defaults by exec, so the pipeline's
    // processes are not affected.
    if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char bytes[16];
            ssize_t count = 0;
            while ((count = ::read(s_signalPipe[0], bytes, sizeof bytes)) > 0) {
                for (ssize_t i = 0; i < count; ++i)
                    onInterrupted();
            }
        });
        struct sigaction action = {};
        action.sa_handler = &onSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    } else {
        qWarning("Unable to watch for interrupts: %s", std::strerror(errno));
    }

    m_stopTimer.setSingleShot(true);
    m_stopTimer.setInterval(stopTimeoutMs);
    connect(&m_stopTimer, &QTimer::timeout, this, [this] {
        killProcesses(QStringLiteral("%1 is still running %2 s after the termination request: "
                                     "killing its processes")
                          .arg(name(), QString::number(m_stopTimer.interval() / 1000.0)));
    });
    // After a kill the ends normally follow at once; a process that never
    // started cannot end, and must not keep the launcher waiting forever.
    m_giveUpTimer.setSingleShot(true);
    m_giveUpTimer.setInterval(std::max(stopTimeoutMs, 1000));
    connect(&m_giveUpTimer, &QTimer::timeout, this, [this] {
        ConsoleOutput::error(
            QStringLiteral("%1 has not finished although its processes were killed; giving up")
                .arg(name()));
        finish(m_interrupted ? ExitInterrupted : ExitFailure);
    });

    connect(&m_backend, &Backend::autostartTimeRemaining, this, [this](int remainingSecs) {
        // The backend cuts its seconds down to whole ones, so the second that
        // runs is the next one; its ticks wander a little around the whole
        // seconds, and each one is a second on from the one before.
        if (m_stage == Stage::Countdown)
            showCountdown(std::min(remainingSecs + 1, m_shownSeconds - 1));
    });
    connect(&m_backend, &Backend::autostartDisabled, this, &PipelineSession::onAutostartDisabled);
    connect(&m_backend, &Backend::pipelineFailure, this,
            [this](const QString&, PipelineController::PipelineFailureReason failureReason) {
                m_failureReason = failureReason;
            });
    connect(&m_backend, &Backend::pipelineFinished, this, &PipelineSession::onPipelineFinished);
    connect(&m_controller, &PipelineController::processStarted, this,
            &PipelineSession::onProcessStarted);
    // The backend asks processes to terminate (on an interrupt, when only
    // daemons are left, after a failure) but never escalates.
    connect(&m_controller, &PipelineController::pipelineTerminated, this, [this] {
        if (!killed() && !m_stopTimer.isActive())
            m_stopTimer.start();
    });
}

int PipelineSession::run(const PipelineConfig& pipeline)
{
    m_pipeline = pipeline;
    m_stage = Stage::Running;
    m_logFile = logFilePath(pipeline);
    print(QStringLiteral("Starting %1").arg(name()));
    if (!m_controller.start(pipeline, true))
        refuse();
    return m_loop.exec();
}

int PipelineSession::runAutostart(const PipelineConfig& pipeline)
{
    m_pipeline = pipeline;
    m_stage = Stage::Countdown;
    showCountdown(m_backend.autostartTimeout());
    return m_loop.exec();
}

void PipelineSession::onInterrupted()
{
    const bool again = std::exchange(m_interrupted, true);
    if (m_stage == Stage::Countdown) {
        // Ends the countdown through onAutostartDisabled().
        m_backend.disableAutostart();
    } else if (m_stage == Stage::Done) {
        return;
    } else if (killed()) {
        ConsoleOutput::error(
            QStringLiteral("interrupted again: no longer waiting for %1 to finish").arg(name()));
        finish(ExitInterrupted);
    } else if (again) {
        killProcesses(QStringLiteral("Interrupted again: killing the processes of %1").arg(name()));
    } else {
        print(QStringLiteral("Interrupted: asking the processes of %1 to terminate (they are "
                             "killed after %2 s; interrupt again to kill them now)")
                  .arg(name(), QString::number(m_stopTimer.interval() / 1000.0)),
              Tone::Notice);
        m_controller.terminateAllProcesses();
    }
}

void PipelineSession::onAutostartDisabled()
{
    if (m_stage != Stage::Countdown)
        return;
    ConsoleOutput::endStatus();
    if (m_interrupted) {
        print(QStringLiteral("Autostart cancelled; nothing was started."), Tone::Notice);
        finish(ExitInterrupted);
    } else if (m_controller.state() == PipelineController::PipelineState::Running) {
        // The backend has just asked its controller to start the pipeline.
        m_stage = Stage::Running;
        m_logFile = logFilePath(m_pipeline);
    } else {
        refuse();
    }
}

void PipelineSession::onProcessStarted()
{
    // A process released after the termination request (a Sync process that
    // ended on it) would otherwise run on until the kill.
    if (killed())
        m_controller.killAllProcesses();
    else if (m_stopTimer.isActive())
        m_controller.terminateAllProcesses();
}

void PipelineSession::onPipelineFinished(const QString&,
                                         PipelineController::PipelineFinishReason finishReason)
{
    if (m_stage != Stage::Running)
        return;
    int status = ExitNormal;
    if (m_interrupted) {
        print(QStringLiteral("%1 was stopped by an interrupt.").arg(name()), Tone::Notice);
        status = ExitInterrupted;
    } else if (finishReason == PipelineController::PipelineFinishReason::NormalFinish) {
        print(QStringLiteral("%1 finished normally.").arg(name()), Tone::Good);
    } else {
        const char* reason =
            QMetaEnum::fromType<PipelineController::PipelineFailureReason>().valueToKey(
                m_failureReason);
        print(QStringLiteral("%1 failed (%2).").arg(name(), QLatin1String(reason)), Tone::Bad);
        status = ExitFailure;
    }
    if (QFileInfo::exists(m_logFile))
        print(QStringLiteral("Log file: %1").arg(m_logFile));
    finish(status);
}

void PipelineSession::showCountdown(int remainingSecs)
{
    m_shownSeconds = remainingSecs;
    ConsoleOutput::setStatus(
        QStringLiteral("Starting %1 in %2 s (Ctrl+C to cancel)").arg(name()).arg(remainingSecs));
}

void PipelineSession::killProcesses(const QString& why)
{
    print(why, Tone::Notice);
    m_stopTimer.stop();
    m_giveUpTimer.start();
    m_controller.killAllProcesses();
}

void PipelineSession::refuse()
{
    print(QStringLiteral("%1 was not started: its pipeline is invalid:").arg(name()), Tone::Bad);
    for (const QString& message : m_controller.validationErrors())
        print(QStringLiteral("  - %1").arg(message));
    finish(ExitFailure);
}

void PipelineSession::finish(int status)
{
    m_stage = Stage::Done;
    m_stopTimer.stop();
    m_giveUpTimer.stop();
    ConsoleOutput::endStatus();
    // Queued, so that an end reached before the loop runs still ends it.
    QMetaObject::invokeMethod(
        &m_loop, [this, status] { m_loop.exit(status); }, Qt::QueuedConnection);
}

// "'Display name' (basename)", or the basename alone when there is no name.
QString PipelineSession::name() const
{
    if (m_pipeline.name.isEmpty())
        return QStringLiteral("'%1'").arg(m_pipeline.basename);
    return QStringLiteral("'%1' (%2)").arg(m_pipeline.name, m_pipeline.basename);
}
