#include "PipelineSession.h"

#include "ConsoleOutput.h"
#include "ServiceNotifier.h"

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

int s_signalPipe[2] = {-1, -1};

// What the handler writes for each signal: one write of less than PIPE_BUF
// bytes, so that a reader never finds half of one.
struct Received
{
    int number;
    pid_t sender;
};

QString cancelledText(const QString& reason)
{
    return reason.isEmpty()
               ? QStringLiteral("Autostart cancelled; nothing was started.")
               : QStringLiteral("Autostart cancelled (%1); nothing was started.").arg(reason);
}

// Writing to a pipe is the one thing a signal handler can safely do; the event
// loop reads the signal and its sender from it. A full pipe drops the record:
// enough signals are pending then.
void writeSignal(int signal, siginfo_t* info, void*)
{
    const int savedErrno = errno;
    // Sent by a process (kill, sigqueue): its pid; by the kernel (a closed terminal): none.
    const Received received = {signal, info && info->si_code <= 0 ? info->si_pid : 0};
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], &received, sizeof received);
    errno = savedErrno;
}

// The signals that have come, oldest first. Whole records only: each was
// written at once, and the buffer holds a whole number of them.
QList<StopSignal> pendingSignals()
{
    QList<StopSignal> found;
    Received buffer[16];
    ssize_t count = 0;
    while (s_signalPipe[0] >= 0 && (count = ::read(s_signalPipe[0], buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < count / ssize_t(sizeof(Received)); ++i)
            found.append(StopSignal(buffer[i].number, buffer[i].sender));
    }
    return found;
}

} // namespace

PipelineSession::PipelineSession(Backend& backend, int stopTimeoutMs)
    : m_backend(backend), m_controller(*backend.pipelineController()),
      m_countdown(*backend.autostartCountdown())
{
    // The handlers are reset to the defaults by exec, so the pipeline's
    // processes are not affected.
    if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] { readSignals(); });
        struct sigaction action = {};
        action.sa_sigaction = &writeSignal;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        // A closed terminal stops the run like a termination request. Blocked
        // by whoever started the launcher, they would stay pending for ever.
        sigset_t handled;
        sigemptyset(&handled);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::sigaction(signal, &action, nullptr);
            sigaddset(&handled, signal);
        }
        ::pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
    } else {
        qWarning("Unable to watch for interrupts: %s", std::strerror(errno));
    }

    m_controller.setStopTimeout(stopTimeoutMs);
    connect(&m_controller, &PipelineController::stopTimedOut, this, [this] {
        if (pipelineRuns())
            print(QStringLiteral("%1 is still running %2 s after the termination request: killing "
                                 "its processes")
                      .arg(name(), QString::number(m_controller.stopTimeout() / 1000.0)),
                  Tone::Notice);
    });
    // After a kill the ends normally follow at once; one stuck in the kernel
    // must not keep the launcher waiting forever.
    connect(&m_controller, &PipelineController::killTimedOut, this, [this] {
        if (!pipelineRuns())
            return;
        ConsoleOutput::error(
            QStringLiteral("%1 has not finished although its processes were killed; giving up")
                .arg(name()));
        finish(!m_signal.isNull() ? signalled() : ExitCode::Failure);
    });

    connect(&m_countdown, &AutostartCountdown::timeRemaining, this, [this](int remainingSecs) {
        if (!countingDown())
            return;
        // A reload may have switched the application.
        if (const PipelineConfig* pipeline = m_backend.findPipeline(m_countdown.application()))
            m_pipeline = *pipeline;
        showCountdown(remainingSecs);
    });
    connect(&m_countdown, &AutostartCountdown::cancelled, this,
            &PipelineSession::onCountdownCancelled);
    // After the backend's own receiver, which has started the application.
    connect(&m_countdown, &AutostartCountdown::elapsed, this, &PipelineSession::onCountdownElapsed);
    connect(&m_backend, &Backend::pipelineFinished, this, &PipelineSession::onPipelineFinished);
}

PipelineSession::~PipelineSession() = default;

void PipelineSession::readSignals()
{
    for (const StopSignal& signal : pendingSignals())
        onSignal(signal);
}

// Loading runs before the event loop: a signal that came meanwhile waits in
// the pipe, and must end the launcher before a pipeline starts, not after.
bool PipelineSession::interruptedWhileLoading()
{
    readSignals();
    if (m_signal.isNull())
        return false;
    m_backend.disableAutostart();
    print(QStringLiteral("%1 while loading; nothing was started.").arg(m_signal.heading()),
          Tone::Notice);
    return true;
}

ExitCode PipelineSession::run(const PipelineConfig& pipeline)
{
    if (interruptedWhileLoading())
        return signalled();
    startPipeline(pipeline);
    return ExitCode(m_loop.exec());
}

void PipelineSession::startPipeline(const PipelineConfig& pipeline)
{
    m_pipeline = pipeline;
    m_open = true;
    print(QStringLiteral("Starting %1").arg(name()));
    if (!m_controller.start(pipeline, true))
        refuse();
}

ExitCode PipelineSession::serve(const PipelineConfig* autostart)
{
    if (interruptedWhileLoading())
        return signalled();
    m_serving = true;
    if (autostart)
        return runAutostart(*autostart);
    m_open = true;
    return ExitCode(m_loop.exec());
}

bool PipelineSession::start(const PipelineConfig& pipeline, QStringList& reasons)
{
    if (!m_open || pipelineRuns()) {
        reasons.append(!m_open ? QStringLiteral("the launcher is ending")
                               : QStringLiteral("%1 is running").arg(name()));
        return false;
    }
    // Checked first, so that a refused start leaves a countdown running.
    if (!m_controller.isPipelineValid(pipeline)) {
        reasons = m_controller.validationErrors();
        return false;
    }
    if (countingDown()) {
        m_countdown.stop(); // no report of the cancel
        ConsoleOutput::endStatus();
    }
    startPipeline(pipeline);
    return true;
}

bool PipelineSession::stop(int timeoutMs)
{
    if (!pipelineRuns())
        return false;
    print(QStringLiteral("Stop requested: asking the processes of %1 to terminate (they are "
                         "killed after %2 s)")
              .arg(name(), QString::number(timeoutMs / 1000.0)),
          Tone::Notice);
    // The controller kills after the timeout of this request, stopTimedOut() tells.
    m_controller.requestStop(timeoutMs);
    return true;
}

bool PipelineSession::cancelCountdown()
{
    if (!countingDown())
        return false;
    cancel(ExitCode::Normal);
    return true;
}

void PipelineSession::cancel(ExitCode status)
{
    m_countdown.stop();
    ConsoleOutput::endStatus();
    print(cancelledText(QString()), Tone::Notice);
    finish(status);
}

ExitCode PipelineSession::runAutostart(const PipelineConfig& pipeline)
{
    if (interruptedWhileLoading())
        return signalled();
    m_pipeline = pipeline;
    m_open = true;
    // A countdown of no time starts at once, with no number to show.
    if (m_backend.autostartRemainingSeconds() > 0)
        showCountdown(m_backend.autostartRemainingSeconds());
    return ExitCode(m_loop.exec());
}

void PipelineSession::onSignal(const StopSignal& signal)
{
    ServiceNotifier::stopping();
    const bool first = m_signal.isNull();
    if (first)
        m_signal = signal;
    if (!m_open)
        return;
    if (countingDown()) {
        cancel(signalled());
    } else if (!pipelineRuns()) {
        finish(signalled());
    } else if (m_controller.isKilling()) {
        ConsoleOutput::error(QStringLiteral("%1 again: no longer waiting for %2 to finish")
                                 .arg(signal.heading(), name()));
        finish(signalled());
    } else if (first || m_controller.phase() != PipelineController::Phase::Stopping) {
        // The backend's own request (only daemons left, a failure) is no
        // interrupt: the first one asks again and tells how it goes on.
        askToTerminate(signal);
    } else {
        print(QStringLiteral("%1 again: killing the processes of %2").arg(signal.heading(), name()),
              Tone::Notice);
        m_controller.killAllProcesses();
    }
}

// A reload cancelled it. A start request reads the files first and starts
// right after, in this same turn of the loop: the launcher must still be
// there for it, so the end waits for the next turn.
void PipelineSession::onCountdownCancelled(const QString& reason)
{
    if (!countingDown())
        return;
    ConsoleOutput::endStatus();
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            if (!m_open || countingDown() || pipelineRuns())
                return;
            print(cancelledText(reason), Tone::Notice);
            finish(ExitCode::Normal);
        },
        Qt::QueuedConnection);
}

// The backend has just asked its controller to start the pipeline, as its
// file read then.
void PipelineSession::onCountdownElapsed()
{
    if (!m_open)
        return;
    ConsoleOutput::endStatus();
    if (pipelineRuns())
        m_pipeline = m_controller.pipelineConfig();
    else
        refuse();
}

void PipelineSession::onPipelineFinished(const QString&,
                                         PipelineController::PipelineFinishReason finishReason)
{
    if (!m_open)
        return;
    ExitCode status = ExitCode::Normal;
    if (!m_signal.isNull()) {
        print(QStringLiteral("%1 was stopped by %2.").arg(name(), m_signal.cause()), Tone::Notice);
        status = signalled();
    } else if (m_controller.lastResult() &&
               m_controller.lastResult()->outcome == PipelineController::Result::Outcome::Stopped) {
        print(QStringLiteral("%1 was stopped on request.").arg(name()), Tone::Notice);
    } else if (finishReason == PipelineController::PipelineFinishReason::NormalFinish) {
        print(QStringLiteral("%1 finished normally.").arg(name()), Tone::Good);
    } else {
        // The first failure, and in words what the process that caused it did.
        const std::optional<PipelineController::Result>& result = m_controller.lastResult();
        const char* reason =
            QMetaEnum::fromType<PipelineController::PipelineFailureReason>().valueToKey(
                result ? result->failureReason : PipelineController::NoFailure);
        QString because;
        if (result && !result->failedProcess.failure.isEmpty())
            because = QStringLiteral(" Process %1 (%2) %3.")
                          .arg(result->failedProcess.index)
                          .arg(result->failedProcess.program, result->failedProcess.failure);
        print(QStringLiteral("%1 failed (%2).%3").arg(name(), QLatin1String(reason), because),
              Tone::Bad);
        status = ExitCode::Failure;
    }
    // The file written last: a run past midnight wrote the new day's.
    const QString logFile = m_controller.logFilePath();
    if (!logFile.isEmpty() && QFileInfo::exists(logFile))
        print(QStringLiteral("Log file: %1").arg(logFile));
    finish(status);
}

void PipelineSession::showCountdown(int remainingSecs)
{
    ConsoleOutput::setStatus(QStringLiteral("Starting %1 in %2 s%3")
                                 .arg(name())
                                 .arg(remainingSecs)
                                 .arg(ConsoleOutput::personAtTerminal()
                                          ? QStringLiteral(" (Ctrl+C to cancel)")
                                          : QString()));
}

void PipelineSession::askToTerminate(const StopSignal& signal)
{
    print(QStringLiteral("%1: asking the processes of %2 to terminate (they are killed after %3 "
                         "s%4)")
              .arg(signal.heading(), name(), QString::number(m_controller.stopTimeout() / 1000.0),
                   ConsoleOutput::personAtTerminal() ? QStringLiteral("; interrupt again to kill "
                                                                      "them now")
                                                     : QString()),
          Tone::Notice);
    // An earlier, shorter timeout of the backend's own request stands.
    m_controller.requestStop(m_controller.stopTimeout());
}

void PipelineSession::refuse()
{
    print(QStringLiteral("%1 was not started: its pipeline is invalid:").arg(name()), Tone::Bad);
    for (const QString& message : m_controller.validationErrors())
        print(QStringLiteral("  - %1").arg(message));
    finish(ExitCode::Failure);
}

void PipelineSession::finish(ExitCode status)
{
    ConsoleOutput::endStatus();
    // Serving, only a signal ends the launcher.
    if (m_serving && m_signal.isNull())
        return;
    m_open = false;
    // Queued, so that an end reached before the loop runs still ends it.
    QMetaObject::invokeMethod(
        &m_loop, [this, status] { m_loop.exit(int(status)); }, Qt::QueuedConnection);
}

// "'Display name' (basename)", or the basename alone when there is no name.
QString PipelineSession::name() const
{
    if (m_pipeline.name.isEmpty())
        return QStringLiteral("'%1'").arg(m_pipeline.basename);
    return QStringLiteral("'%1' (%2)").arg(m_pipeline.name, m_pipeline.basename);
}
