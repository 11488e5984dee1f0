#include "PipelineSession.h"

#include "ConsoleOutput.h"

#include <QDate>
#include <QFileInfo>
#include <QMetaEnum>

#include <algorithm>

namespace {

const int ExitNormal = 0;
const int ExitFailure = 1;
const int ExitInterrupted = 130;

} // namespace

PipelineSession::PipelineSession(Backend& backend, int stopTimeoutMs, QObject* parent)
    : QObject(parent), m_backend(backend), m_controller(*backend.pipelineController()),
      m_stopTimeoutMs(stopTimeoutMs)
{
    m_stopTimer.setSingleShot(true);
    m_stopTimer.setInterval(m_stopTimeoutMs);
    connect(&m_stopTimer, &QTimer::timeout, this, &PipelineSession::onStopTimeout);
    // After a kill the ends normally follow at once; a process that never
    // started cannot end, and must not keep the launcher waiting forever.
    m_giveUpTimer.setSingleShot(true);
    m_giveUpTimer.setInterval(std::max(m_stopTimeoutMs, 1000));
    connect(&m_giveUpTimer, &QTimer::timeout, this, &PipelineSession::onGiveUpTimeout);

    connect(&m_signalWatcher, &SignalWatcher::interrupted, this, &PipelineSession::onInterrupted);
    connect(&m_backend, &Backend::autostartTimeRemaining, this,
            &PipelineSession::onAutostartTimeRemaining);
    connect(&m_backend, &Backend::autostartDisabled, this, &PipelineSession::onAutostartDisabled);
    connect(&m_backend, &Backend::pipelineFailure, this, &PipelineSession::onPipelineFailure);
    connect(&m_backend, &Backend::pipelineFinished, this, &PipelineSession::onPipelineFinished);
    connect(&m_controller, &PipelineController::processStarted, this,
            &PipelineSession::onProcessStarted);
    connect(&m_controller, &PipelineController::pipelineTerminated, this,
            &PipelineSession::onPipelineTerminated);
}

PipelineSession::~PipelineSession() = default;

int PipelineSession::run(const PipelineConfig& pipeline)
{
    m_pipeline = pipeline;
    m_stage = Stage::Running;
    m_logFile = logFilePath(pipeline);
    ConsoleOutput::instance().print(QStringLiteral("Starting %1").arg(describe(pipeline)));
    if (!m_controller.start(pipeline, true)) {
        refuse();
        return m_status;
    }
    return waitForEnd();
}

int PipelineSession::runAutostart(const PipelineConfig& pipeline)
{
    m_pipeline = pipeline;
    m_stage = Stage::Countdown;
    showCountdown(m_backend.autostartTimeout());
    return waitForEnd();
}

QString PipelineSession::describe(const PipelineConfig& pipeline)
{
    if (pipeline.name.isEmpty())
        return QStringLiteral("'%1'").arg(pipeline.basename);
    return QStringLiteral("'%1' (%2)").arg(pipeline.name, pipeline.basename);
}

QString PipelineSession::logFilePath(const PipelineConfig& pipeline)
{
    const QString fileName =
        QStringLiteral("%1-%2.log")
            .arg(pipeline.logBasename, QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
    return QFileInfo(QStringLiteral("%1/%2").arg(pipeline.logPath, fileName)).absoluteFilePath();
}

void PipelineSession::onInterrupted(int signalNumber)
{
    Q_UNUSED(signalNumber)
    ConsoleOutput& output = ConsoleOutput::instance();
    ++m_interrupts;
    switch (m_stage) {
    case Stage::Countdown:
        // disableAutostart() ends the countdown through onAutostartDisabled().
        m_backend.disableAutostart();
        break;
    case Stage::Running:
        if (m_interrupts == 1) {
            output.print(QStringLiteral("Interrupted: asking the processes of %1 to terminate "
                                        "(they are killed after %2; interrupt again to kill "
                                        "them now)")
                             .arg(describe(m_pipeline), stopTimeoutText()),
                         ConsoleOutput::Tone::Notice);
            m_controller.terminateAllProcesses();
        } else {
            killProcesses(QStringLiteral("Interrupted again: killing the processes of %1")
                              .arg(describe(m_pipeline)));
        }
        break;
    case Stage::Killed:
        output.error(QStringLiteral("interrupted again: no longer waiting for %1 to finish")
                         .arg(describe(m_pipeline)));
        finish(ExitInterrupted);
        break;
    case Stage::Done:
        break;
    }
}

void PipelineSession::onAutostartTimeRemaining(int remainingSecs)
{
    if (m_stage != Stage::Countdown)
        return;
    // The value is the remaining time truncated to whole seconds, and the
    // ticks wander a little around the whole seconds (1999 ms left gives 1,
    // 2001 ms gives 2). The count of ticks tells which second is running;
    // the value keeps it true when ticks were late or missed.
    ++m_ticks;
    const int seconds =
        qBound(remainingSecs, m_backend.autostartTimeout() - m_ticks, remainingSecs + 1);
    if (seconds != m_shownSeconds)
        showCountdown(seconds);
}

void PipelineSession::onAutostartDisabled()
{
    if (m_stage != Stage::Countdown)
        return;
    ConsoleOutput& output = ConsoleOutput::instance();
    output.endStatus();
    if (m_interrupts > 0) {
        output.print(QStringLiteral("Autostart cancelled; nothing was started."),
                     ConsoleOutput::Tone::Notice);
        finish(ExitInterrupted);
        return;
    }
    // The backend has just asked its controller to start the pipeline.
    if (m_controller.state() == PipelineController::PipelineState::Running) {
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
    if (m_stage == Stage::Killed)
        m_controller.killAllProcesses();
    else if (m_terminationRequested && m_stage == Stage::Running)
        m_controller.terminateAllProcesses();
}

void PipelineSession::onPipelineFailure(const QString& basename,
                                        PipelineController::PipelineFailureReason failureReason)
{
    Q_UNUSED(basename)
    m_failureReason = failureReason;
}

void PipelineSession::onPipelineTerminated()
{
    m_terminationRequested = true;
    if (m_stage == Stage::Running && !m_stopTimer.isActive())
        m_stopTimer.start();
}

void PipelineSession::onPipelineFinished(const QString& basename,
                                         PipelineController::PipelineFinishReason finishReason)
{
    Q_UNUSED(basename)
    if (m_stage == Stage::Done || m_stage == Stage::Countdown)
        return;
    ConsoleOutput& output = ConsoleOutput::instance();
    int status = ExitNormal;
    if (m_interrupts > 0) {
        output.print(QStringLiteral("%1 was stopped by an interrupt.").arg(describe(m_pipeline)),
                     ConsoleOutput::Tone::Notice);
        status = ExitInterrupted;
    } else if (finishReason == PipelineController::PipelineFinishReason::NormalFinish) {
        output.print(QStringLiteral("%1 finished normally.").arg(describe(m_pipeline)),
                     ConsoleOutput::Tone::Good);
    } else {
        const char* reason =
            QMetaEnum::fromType<PipelineController::PipelineFailureReason>().valueToKey(
                m_failureReason);
        output.print(QStringLiteral("%1 failed (%2).")
                         .arg(describe(m_pipeline), QString::fromLatin1(reason)),
                     ConsoleOutput::Tone::Bad);
        status = ExitFailure;
    }
    if (QFileInfo::exists(m_logFile))
        output.print(QStringLiteral("Log file: %1").arg(m_logFile));
    finish(status);
}

void PipelineSession::onStopTimeout()
{
    if (m_stage != Stage::Running ||
        m_controller.state() != PipelineController::PipelineState::Running)
        return;
    killProcesses(QStringLiteral("%1 is still running %2 after the termination request: "
                                 "killing its processes")
                      .arg(describe(m_pipeline), stopTimeoutText()));
}

void PipelineSession::onGiveUpTimeout()
{
    ConsoleOutput::instance().error(
        QStringLiteral("%1 has not finished although its processes were killed; giving up")
            .arg(describe(m_pipeline)));
    finish(m_interrupts > 0 ? ExitInterrupted : ExitFailure);
}

void PipelineSession::showCountdown(int remainingSecs)
{
    m_shownSeconds = remainingSecs;
    ConsoleOutput::instance().setStatus(QStringLiteral("Starting %1 in %2 s (Ctrl+C to cancel)")
                                            .arg(describe(m_pipeline))
                                            .arg(remainingSecs));
}

void PipelineSession::killProcesses(const QString& why)
{
    ConsoleOutput::instance().print(why, ConsoleOutput::Tone::Notice);
    m_stopTimer.stop();
    m_stage = Stage::Killed;
    m_giveUpTimer.start();
    m_controller.killAllProcesses();
}

void PipelineSession::refuse()
{
    ConsoleOutput& output = ConsoleOutput::instance();
    output.print(
        QStringLiteral("%1 was not started: its pipeline is invalid:").arg(describe(m_pipeline)),
        ConsoleOutput::Tone::Bad);
    for (const QString& message : m_controller.validationErrors())
        output.print(QStringLiteral("  - %1").arg(message));
    finish(ExitFailure);
}

void PipelineSession::finish(int status)
{
    m_stage = Stage::Done;
    m_status = status;
    m_stopTimer.stop();
    m_giveUpTimer.stop();
    ConsoleOutput::instance().endStatus();
    m_loop.exit(status);
}

int PipelineSession::waitForEnd()
{
    if (m_stage == Stage::Done)
        return m_status;
    m_loop.exec();
    return m_status;
}

QString PipelineSession::stopTimeoutText() const
{
    return QStringLiteral("%1 s").arg(QString::number(m_stopTimeoutMs / 1000.0, 'g', 6));
}
