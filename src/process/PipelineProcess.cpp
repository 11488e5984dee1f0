#include "PipelineProcess.h"

#include "process/ChildProcess.h"
#include "process/ReadinessProbe.h"
#include "support/LauncherSupport.h"
#include "support/TimeStamp.h"

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <limits>

using LauncherSupport::enumName;
using LauncherSupport::launcherPid;

namespace {

// Seconds truncated toward zero into an int, saturating where a skewed clock
// would otherwise overflow the conversion.
int truncatedSeconds(double seconds)
{
    const double whole = std::trunc(seconds);
    if (whole >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (whole <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(whole);
}

} // namespace

PipelineProcess::PipelineProcess(QObject* parent, const ProcessConfig& config)
    : QObject(parent), m_config(config)
{
    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, &PipelineProcess::start);
}

PipelineProcess::~PipelineProcess()
{
    // Nothing of this half-destroyed object (nor of a controller being torn
    // down with it) may receive the end notifications of a child killed here.
    // Killed and reaped here, the child leaves nothing behind.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->blockSignals(true);
        m_process->signalGroup(SIGKILL);
        m_process->waitForFinished(5000);
    }
}

void PipelineProcess::start()
{
    if (m_process) {
        ++m_restarts; // only a restart finds an earlier child
        // A restart runs inside the old child's own end notification, so the old
        // object is released only once that delivery has returned. Parenting it
        // here still frees it should this object go first.
        ChildProcess* previous = m_process.release();
        previous->disconnect(this);
        previous->setParent(this);
        previous->deleteLater();
    }

    m_process = std::make_unique<ChildProcess>();
    ChildProcess* process = m_process.get();
    connect(process, &ChildProcess::readyReadStandardOutput, this,
            &PipelineProcess::readyReadStandardOutput);

    // The relays come first, so their receivers see a start or end before this
    // object acts on it.
    connect(process, &ChildProcess::started, this, &PipelineProcess::qprocessStarted);
    connect(process, qOverload<int, QProcess::ExitStatus>(&ChildProcess::finished), this,
            &PipelineProcess::qprocessFinished);
    connect(process, &ChildProcess::started, this, &PipelineProcess::onProcessStarted);
    connect(process, qOverload<int, QProcess::ExitStatus>(&ChildProcess::finished), this,
            &PipelineProcess::onProcessFinished);
    connect(process, &ChildProcess::errorOccurred, this, &PipelineProcess::onErrorOccurred);

    emit pipelineLogMessage(
        launcherPid(),
        QStringLiteral("Starting process %1 %2").arg(m_config.exec, m_config.arguments.join(' ')));

    // Kept in the configuration, so restarts run in the same folder.
    if (m_config.workingDirectory.isEmpty()) {
        const QFileInfo execInfo(m_config.exec);
        if (!execInfo.isRelative())
            m_config.workingDirectory = execInfo.absolutePath();
    }
    process->setWorkingDirectory(m_config.workingDirectory);

    // The gate of a Sync process would hold back nothing: its end releases
    // the next one. A notify gate's socket must exist before the child does.
    if (!m_probe && !m_config.ready.isEmpty() && m_config.mode != ProcessMode::Sync) {
        m_probe = std::make_unique<ReadinessProbe>(m_config.ready, m_config.workingDirectory);
        connect(m_probe.get(), &ReadinessProbe::ready, this, &PipelineProcess::onReady);
        connect(m_probe.get(), &ReadinessProbe::timedOut, this, &PipelineProcess::onNotReady);
    }
    QProcessEnvironment environment = buildEnvironment(m_config);
    const QByteArray notifySocket = m_probe ? m_probe->notifySocket() : QByteArray();
    if (!notifySocket.isEmpty())
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromUtf8(notifySocket));
    process->setProcessEnvironment(environment);
    // The program that runs is the one validation found: a bare name would
    // be looked up in the launcher's own PATH, not in the child's.
    process->start(m_resolvedProgram.isEmpty() ? m_config.exec : m_resolvedProgram,
                   m_config.arguments);
}

QByteArray PipelineProcess::readAllStandardOutput()
{
    return m_process ? m_process->readAllStandardOutput() : QByteArray();
}

QProcessEnvironment PipelineProcess::buildEnvironment(const ProcessConfig& config)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = config.environment.cbegin(); it != config.environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    // The child finds its libraries through PATH alone; the launcher's own
    // value is deliberately not inherited.
    environment.insert(QStringLiteral("PATH"), config.libraryPaths.join(QLatin1Char(':')));
    return environment;
}

void PipelineProcess::onProcessStarted()
{
    m_pid = m_process->processId();
    emit pipelineLogMessage(int(m_pid),
                            QStringLiteral("Process started: %1 %2")
                                .arg(m_process->program(), m_process->arguments().join(' ')));
    if (m_startCanProceedPending && m_config.mode != ProcessMode::Sync) {
        if (!m_probe) {
            m_startCanProceedPending = false;
            emit pipelineStartCanProceed();
        } else if (!m_probe->hasBegun()) {
            // A restart goes on with the wait that the first start began.
            beginReadinessWait();
        }
    }
    emit pipelineProcessStarted();
}

void PipelineProcess::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString statusName = enumName(exitStatus);
    const QString program = m_process->program();
    const QString arguments = m_process->arguments().join(' ');

    switch (exitStatus) {
    case QProcess::NormalExit:
        emit pipelineLogMessage(
            int(m_pid), QStringLiteral("Process finished: %1 %2 with exit code %3 (%4)")
                            .arg(program, arguments, QString::number(exitCode), statusName));
        handleNormalExit(exitCode);
        break;
    case QProcess::CrashExit:
        emit pipelineLogMessage(
            int(m_pid),
            QStringLiteral("Process finished: %1 %2 (%3)").arg(program, arguments, statusName));
        handleCrash();
        break;
    }
}

void PipelineProcess::onErrorOccurred(QProcess::ProcessError error)
{
    const QString errorName = enumName(error);
    emit pipelineLogMessage(
        int(m_pid), QStringLiteral("Process error: %1 %2 (%3)")
                        .arg(m_process->program(), m_process->arguments().join(' '), errorName));
    // No start or end notification follows a failed start; the owner must learn
    // that this process is over.
    if (error == QProcess::FailedToStart) {
        if (m_probe)
            m_probe->stop();
        m_outputProbe = nullptr;
        emit pipelineProcessFailedToStart();
    }
}

void PipelineProcess::handleNormalExit(int exitCode)
{
    if (!m_stopRequested && m_config.restartOnExit.contains(exitCode)) {
        m_lastExitCode = exitCode;
        m_lastExitStatus = QProcess::NormalExit;
        if (restartLikeCrash(QStringLiteral("Process exited with code %1.").arg(exitCode)))
            return;
    }
    endReadinessWait(m_config.isRequired && exitCode != 0);
    if (m_config.isRequired && exitCode != 0) {
        if (m_config.invalidConfigExitCodes.contains(exitCode))
            emit pipelineConfigurationFailure();
        else
            emit pipelineRequiredProcessFailure();
    } else if (m_config.mode == ProcessMode::Sync && m_startCanProceedPending) {
        m_startCanProceedPending = false;
        emit pipelineStartCanProceed();
    }
    finish(exitCode, QProcess::NormalExit);
}

void PipelineProcess::handleCrash()
{
    if (m_config.restartOnCrash && !m_stopRequested) {
        m_lastExitCode = -1;
        m_lastExitStatus = QProcess::CrashExit;
        if (restartLikeCrash(QStringLiteral("Process crashed.")))
            return;
    }
    // A crash beyond the restart window is final.
    endReadinessWait(m_config.isRequired);
    if (m_config.isRequired)
        emit pipelineRequiredProcessFailure();
    finish(-1, QProcess::CrashExit);
}

void PipelineProcess::finish(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_finished = true;
    emit pipelineProcessFinished(exitCode, exitStatus);
}

// Counts the end as a crash; true when a restart follows, at once or after
// its delay.
bool PipelineProcess::restartLikeCrash(const QString& what)
{
    recordCrash();
    if (restartLimitReached()) {
        const int crashes = m_crashTimes.size();
        emit pipelineLogMessage(
            int(m_pid), QStringLiteral("Process crashed %1 within %2 s: not restarted again")
                            .arg(crashes == 1 ? QStringLiteral("once")
                                              : QStringLiteral("%1 times").arg(crashes))
                            .arg(m_config.restartPeriod));
        return false;
    }
    const int delay = restartDelaySeconds();
    if (delay <= 0) {
        emit pipelineLogMessage(int(m_pid), what + QStringLiteral(" Restarting it..."));
        start();
    } else {
        emit pipelineLogMessage(int(m_pid),
                                what + QStringLiteral(" Restarting it in %1 s...").arg(delay));
        m_restartTimer.start(int(std::min(qint64(delay) * 1000, qint64(INT_MAX))));
    }
    return true;
}

// Only the crashes that can still count are kept: the restart limit's number
// of the newest, none older than the restart period (the clock runs forward).
void PipelineProcess::recordCrash()
{
    m_crashTimes.append(Solvane::TimeStamp::currentTime().value());
    const int keep = std::max(m_config.restartLimit, 1);
    while (m_crashTimes.size() > 1 &&
           (m_crashTimes.size() > keep ||
            truncatedSeconds(Solvane::TimeStamp(m_crashTimes.first()).sinceSecondsD()) >
                m_config.restartPeriod))
        m_crashTimes.removeFirst();
}

// The delay doubles with each crash in the window; a maximum below the delay
// itself does not shorten the first one.
int PipelineProcess::restartDelaySeconds() const
{
    if (m_config.restartDelay <= 0)
        return 0;
    const int doublings = std::min(int(m_crashTimes.size()) - 1, 30);
    const qint64 delay = qint64(m_config.restartDelay) << std::max(doublings, 0);
    return int(std::min(delay, qint64(std::max(m_config.restartDelayMax, m_config.restartDelay))));
}

bool PipelineProcess::isWaitingForReadiness() const
{
    return m_probe && m_probe->isWaiting();
}

void PipelineProcess::prepareStop()
{
    m_stopRequested = true;
    if (isWaitingForReadiness()) {
        m_probe->stop();
        m_outputProbe = nullptr;
        emit pipelineLogMessage(
            int(m_pid),
            QStringLiteral("Stopped waiting for the process to be ready (%1)").arg(m_config.ready));
    }
    if (m_restartTimer.isActive()) {
        m_restartTimer.stop();
        emit pipelineLogMessage(int(m_pid),
                                QStringLiteral("Restart cancelled: the pipeline stops"));
        // Not from inside the stop request, which may be walking the list of
        // processes that this end changes.
        QTimer::singleShot(0, this, [this]() { finish(m_lastExitCode, m_lastExitStatus); });
    }
}

void PipelineProcess::beginReadinessWait()
{
    const QString error = ReadinessProbe::gateError(m_config.ready);
    if (!error.isEmpty()) {
        m_probe->stop();
        emit pipelineLogMessage(int(m_pid),
                                QStringLiteral("Readiness gate '%1' is not understood (%2): the "
                                               "process counts as ready once it runs")
                                    .arg(m_config.ready, error));
        m_startCanProceedPending = false;
        emit pipelineStartCanProceed();
        return;
    }
    const QString limit = m_config.readyTimeout > 0
                              ? QStringLiteral("at most %1 s").arg(m_config.readyTimeout)
                              : QStringLiteral("no time limit");
    emit pipelineLogMessage(
        int(m_pid),
        QStringLiteral("Waiting for the process to be ready (%1, %2)").arg(m_config.ready, limit));
    if (m_probe->watchesOutput())
        m_outputProbe = m_probe.get();
    m_probe->start(m_config.readyTimeout);
}

void PipelineProcess::onReady()
{
    m_outputProbe = nullptr;
    emit pipelineLogMessage(int(m_pid), QStringLiteral("Process ready after %1 s (%2)")
                                            .arg(double(m_probe->elapsedMs()) / 1000.0, 0, 'f', 1)
                                            .arg(m_config.ready));
    if (m_startCanProceedPending) {
        m_startCanProceedPending = false;
        emit pipelineStartCanProceed();
    }
}

void PipelineProcess::onNotReady()
{
    releaseOrFail(QStringLiteral("Process not ready within %1 s (%2)")
                      .arg(m_config.readyTimeout)
                      .arg(m_config.ready),
                  true);
}

// The final end of a process that is still waited for: one last look at its gate.
void PipelineProcess::endReadinessWait(bool failureFollows)
{
    if (!isWaitingForReadiness())
        return;
    const bool ready = m_probe->lookNow();
    m_probe->stop();
    if (ready)
        onReady();
    else
        releaseOrFail(QStringLiteral("Process ended before it was ready (%1)").arg(m_config.ready),
                      !failureFollows);
}

// A process that is not ready fails its pipeline when it is required (unless
// its end reports the failure itself); otherwise the pipeline goes on.
void PipelineProcess::releaseOrFail(const QString& message, bool mayFail)
{
    m_outputProbe = nullptr;
    m_startCanProceedPending = false;
    if (m_config.isRequired) {
        emit pipelineLogMessage(int(m_pid), message + QStringLiteral(": the pipeline fails"));
        if (mayFail)
            emit pipelineRequiredProcessFailure();
    } else {
        emit pipelineLogMessage(int(m_pid), message + QStringLiteral(": the pipeline goes on"));
        emit pipelineStartCanProceed();
    }
}

bool PipelineProcess::restartLimitReached() const
{
    if (m_config.restartLimit < 1)
        return true;
    const int crashCount = m_crashTimes.size();
    for (int i = 1; i <= m_config.restartLimit; ++i) {
        if (i > crashCount)
            return false;
        const Solvane::TimeStamp crashTime(m_crashTimes.at(crashCount - i));
        if (truncatedSeconds(crashTime.sinceSecondsD()) > m_config.restartPeriod)
            return false;
    }
    return true;
}
