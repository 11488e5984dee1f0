#include "PipelineController.h"

#include "PipelineProcess.h"
#include "logs/LineSplitter.h"
#include "logs/PipelineLog.h"
#include "process/ProcessReaper.h"
#include "process/ProcessRecord.h"
#include "process/ReadinessProbe.h"
#include "support/DayTimer.h"
#include "support/LauncherSupport.h"
#include "support/Trace.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QStringBuilder>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

using LauncherSupport::enumName;
using LauncherSupport::launcherPid;
using Solvane::Trace;

namespace {

// Log lines reach the message output as they are, unquoted, in the category
// that qInfo() uses.
void toMessageOutput(const QString& line)
{
    static const QMessageLogContext context(nullptr, 0, nullptr, "default");
    qt_message_output(QtInfoMsg, context, line);
}

// How long a stop waits for the ends after the kill: they follow at once,
// unless a child hangs in the kernel.
const int KilledEndsWaitMs = 3000;
// The longest a change waits for the record of processes.
const int RecordIntervalMs = 100;

} // namespace

PipelineController::PipelineController()
    : m_lineSplitter(std::make_unique<LineSplitter>()), m_reaper(std::make_unique<ProcessReaper>()),
      m_record(std::make_unique<ProcessRecord>())
{
    m_dayTimer = std::make_unique<DayTimer>();
    connect(m_dayTimer.get(), &DayTimer::dayChanged, this, &PipelineController::onDayChanged);
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, [this] {
        emit stopTimedOut();
        killAllProcesses();
    });
    // The record is written at most every RecordIntervalMs, however many
    // processes start or end meanwhile: it serves a launcher that was killed,
    // whose direct children die with it, and a process so young may not even
    // be in the record when it lived as long.
    m_recordTimer.setSingleShot(true);
    m_recordTimer.setInterval(RecordIntervalMs);
    connect(&m_recordTimer, &QTimer::timeout, this, &PipelineController::updateProcessRecord);
    connect(m_reaper.get(), &ProcessReaper::processesChanged, this, [this] {
        if (!m_recordTimer.isActive())
            m_recordTimer.start();
    });
}

PipelineController::~PipelineController()
{
    // Everything is killed at once; each process object then reaps its own
    // child, and the reaper the descendants that came to the launcher.
    m_stopTimer.stop();
    m_recordTimer.stop();
    m_reaper->blockSignals(true);
    m_reaper->signalAll(SIGKILL);
    qDeleteAll(findChildren<PipelineProcess*>(QString(), Qt::FindDirectChildrenOnly));
    m_processes.clear();
    if (m_reaper->killAndReap(2000))
        m_record->remove();
}

PipelineController::PipelineState PipelineController::state() const
{
    return isActive() ? PipelineState::Running : PipelineState::NotRunning;
}

bool PipelineController::isActive() const
{
    return m_phase == Phase::Starting || m_phase == Phase::Running || m_phase == Phase::Stopping;
}

bool PipelineController::start(const PipelineConfig& pipelineConfig, bool setupLog)
{
    if (isActive()) {
        Trace::error("Unable to start pipeline '%s' because the pipeline '%s' is already running",
                     qUtf8Printable(pipelineConfig.basename),
                     qUtf8Printable(m_pipelineConfig.basename));
        return false;
    }

    if (setupLog && !setupPipelineLog(pipelineConfig))
        Trace::warning("Failed to setup pipeline log for pipeline '%s'",
                       qUtf8Printable(pipelineConfig.basename));
    // A run without a log names none, not the last run's.
    if (!m_log)
        m_logFilePath.clear();

    QStringList programs;
    setValidationProblems(validate(pipelineConfig, &programs));
    if (!m_validationProblems.isEmpty()) {
        const QString message =
            QStringLiteral("Failed to start pipeline '%1'. Pipeline configuration is invalid: %2")
                .arg(pipelineConfig.basename, m_validationErrors.join(QStringLiteral(", ")));
        Trace::error("%s", qUtf8Printable(message));
        onLogPipelineMessage(launcherPid(), message, true);
        emit pipelineFailure(pipelineConfig.basename,
                             PipelineFailureReason::InvalidPipelineFailure);
        return false;
    }

    // Everything is in place before the first process starts.
    m_pipelineConfig = pipelineConfig;
    m_programs = programs;
    m_failureReason = PipelineFailureReason::NoFailure;
    m_firstFailureReason = PipelineFailureReason::NoFailure;
    m_failedProcessIndex = -1;
    m_stopCause = StopCause::None;
    m_nextProcessIndex = 0;
    m_startedAt = QDateTime::currentDateTime();
    m_processes.clear();
    // The last pipeline's leftovers must not hold what this one needs.
    m_reaper->killLeftovers();
    Trace::info("Starting pipeline '%s'", qUtf8Printable(m_pipelineConfig.basename));
    setPhase(Phase::Starting);
    startNextPipelineProcess();
    return true;
}

void PipelineController::terminateAllProcesses()
{
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Terminate all running processes in pipeline"), true);
    signalAll(&PipelineProcess::terminate, SIGTERM);
    emit pipelineTerminated();
}

void PipelineController::killAllProcesses()
{
    onLogPipelineMessage(launcherPid(), QStringLiteral("Kill all running processes in pipeline"),
                         true);
    signalAll(&PipelineProcess::kill, SIGKILL);
}

// The pipeline stops: every process gets the request, and the reaper the
// signal for what left their groups (each group and process is asked to
// terminate only once).
void PipelineController::signalAll(void (PipelineProcess::*request)(), int signal)
{
    if (isActive()) {
        if (m_stopCause == StopCause::None)
            m_stopCause = StopCause::Terminated;
        setPhase(Phase::Stopping);
    }
    for (const Entry& entry : qAsConst(m_processes)) {
        if (PipelineProcess* process = entry.process) {
            // The phase decides that no restart follows; the flag says so, too.
            process->config().restartOnCrash = false;
            (process->*request)();
        }
    }
    m_reaper->signalAll(signal);
}

void PipelineController::requestStop(int timeoutMs)
{
    if (!isActive())
        return;
    if (m_stopCause != StopCause::Requested) {
        m_stopCause = StopCause::Requested;
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Stop requested: terminating the pipeline"), true);
    }
    // Every process was asked when the pipeline began to stop; a stop
    // requested later only shortens the time until the kill.
    if (m_phase == Phase::Stopping) {
        timeoutMs = std::max(timeoutMs, 0);
        if (!m_stopTimer.isActive() || m_stopTimer.remainingTime() > timeoutMs)
            m_stopTimer.start(timeoutMs);
        return;
    }
    terminateThenKill(timeoutMs);
}

// A process that ignores the request cannot keep the pipeline running: what is
// left after the timeout is killed. An earlier, shorter timeout stands.
void PipelineController::terminateThenKill(int timeoutMs)
{
    terminateAllProcesses();
    timeoutMs = std::max(timeoutMs, 0);
    if (isActive() && (!m_stopTimer.isActive() || m_stopTimer.remainingTime() > timeoutMs))
        m_stopTimer.start(timeoutMs);
}

bool PipelineController::stop(int timeoutMs)
{
    requestStop(timeoutMs);
    return waitForPipelineFinished(std::max(timeoutMs, 0) + KilledEndsWaitMs);
}

bool PipelineController::waitForPipelineFinished(int timeoutMs)
{
    if (!isActive())
        return true;

    QEventLoop loop;
    bool finished = false;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    connect(this, &PipelineController::pipelineFinished, &loop, [&finished, &loop]() {
        finished = true;
        loop.quit();
    });
    loop.exec();
    return finished;
}

void PipelineController::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    auto* process = qobject_cast<PipelineProcess*>(sender());
    if (!process || !process->isFinished() || indexOf(process) < 0)
        return;

    const ProcessConfig& config = process->config();
    const bool succeeded = !config.isRequired || exitCode == 0;
    // The ends that a requested stop causes are expected, whatever they are.
    const bool stopRequested = m_stopCause == StopCause::Requested;
    if (!succeeded && !stopRequested) {
        // The failure itself was reported before this end; this only records it.
        onLogPipelineMessage(
            launcherPid(),
            QStringLiteral("The required process %1 (%2 %3) has finished with exit code %4 (%5).")
                .arg(QString::number(process->processId()), config.exec, config.arguments.join(' '),
                     QString::number(exitCode), enumName(exitStatus)),
            true);
        Trace::warning("Pipeline '%s': the required process %d (%s) has finished with exit code "
                       "%d (%s)",
                       qUtf8Printable(m_pipelineConfig.basename), indexOf(process),
                       qUtf8Printable(process->status().program), exitCode,
                       qUtf8Printable(enumName(exitStatus)));
    }
    retireProcess(process, succeeded && !stopRequested);
}

void PipelineController::startNextPipelineProcess()
{
    // Once every process has been started, or the pipeline stops, nothing
    // more starts: not even what a Sync process that ended on the
    // termination request releases.
    if (m_phase != Phase::Starting)
        return;
    const int processCount = m_pipelineConfig.processList.size();
    if (m_nextProcessIndex < processCount) {
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Starting process %1 of %2 in the pipeline")
                                 .arg(m_nextProcessIndex + 1)
                                 .arg(processCount),
                             true);
        const int processIndex = m_nextProcessIndex++;
        if (allProcessesStarted())
            setPhase(Phase::Running);
        startPipelineProcess(processIndex);
    }
}

void PipelineController::onPipelineFailure(PipelineController::PipelineFailureReason failureReason)
{
    // A process that a requested stop ends has not failed.
    if (m_stopCause == StopCause::Requested)
        return;
    onLogPipelineMessage(
        launcherPid(),
        QStringLiteral("Pipeline failure occurred (%1)").arg(enumName(failureReason)), true);
    Trace::warning("Pipeline '%s': failure occurred (%s)",
                   qUtf8Printable(m_pipelineConfig.basename),
                   qUtf8Printable(enumName(failureReason)));
    if (m_failureReason == PipelineFailureReason::NoFailure)
        m_firstFailureReason = failureReason;
    m_failureReason = failureReason;
    emit pipelineFailure(m_pipelineConfig.basename, failureReason);
    terminateThenKill(m_stopTimeout);
}

void PipelineController::onProcessReadyReadStandardOutput(bool addTimeStamp)
{
    auto* process = qobject_cast<PipelineProcess*>(sender());
    if (!process)
        return;

    const QByteArray output = process->readAllStandardOutput();
    qint64 pid = process->processId();
    if (pid == 0 && process->process())
        pid = process->process()->processId();

    // This runs for every read of a child's output: the prefix is built once,
    // every line goes to the message output on its own, and the lines of the
    // read go to the file in one write.
    char prefix[96];
    int prefixLength = std::snprintf(prefix, sizeof prefix, "[ %d ] ", int(pid));
    if (addTimeStamp) {
        const QByteArray stamp = PipelineLog::timeStampText();
        const int stampLength = qMin(stamp.size(), int(sizeof prefix) - prefixLength - 1);
        std::memcpy(prefix + prefixLength, stamp.constData(), size_t(stampLength));
        prefixLength += stampLength;
        prefix[prefixLength++] = ' ';
    }

    LineSplitter& lines = *m_lineSplitter;
    const int lineCount = lines.split(prefix, prefixLength, output.constData(), output.size());
    for (int i = 0; i < lineCount; ++i)
        toMessageOutput(QString::fromUtf8(lines.lineData(i), lines.lineLength(i)));
    if (m_log && lineCount > 0)
        m_log->write(lines.batch().data(), qint64(lines.batch().size()), lineCount);
    lines.shrink();
    // Last, so that the line that makes the process ready is logged before
    // what its readiness sets off.
    if (ReadinessProbe* probe = process->outputProbe())
        probe->checkOutput(output);
}

void PipelineController::onLogPipelineMessage(int pid, QString msg, bool addTimeStamp)
{
    char pidText[32];
    const QLatin1String pidPrefix(pidText, std::snprintf(pidText, sizeof pidText, "[ %d ] ", pid));
    const QString line = addTimeStamp
                             ? QString(pidPrefix % timeStampText() % QLatin1Char(' ') % msg)
                             : QString(pidPrefix % msg);

    toMessageOutput(line);
    if (m_log) {
        QByteArray bytes = line.toUtf8();
        bytes += '\n';
        m_log->write(bytes, 1);
    }
}

// The state that callers see follows the phase: a change between running and
// not running is logged.
void PipelineController::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    const PipelineState before = state();
    m_phase = phase;
    if (state() != before)
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Pipeline state changed to %1").arg(enumName(state())),
                             true);
    emit phaseChanged(phase);
}

bool PipelineController::setupPipelineLog(const PipelineConfig& pipelineConfig)
{
    closePipelineLog();
    m_logNaming = PipelineConfig();
    m_logNaming.logPath = pipelineConfig.logPath;
    m_logNaming.logBasename = pipelineConfig.logBasename;
    if (!openPipelineLog(PipelineLog::filePath(m_logNaming)))
        return false;
    m_dayTimer->start();
    return true;
}

// The file at `path` becomes the log; when it cannot be opened, the log that
// is open stays.
bool PipelineController::openPipelineLog(const QString& path)
{
    std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
    if (!log)
        return false;
    if (m_log)
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Pipeline log continues in %1").arg(log->filePath()),
                             true);
    m_log = std::move(log);
    m_logFilePath = m_log->filePath();
    m_log->limitSize(m_logFileSizeLimit,
                     [this](const QString& piece) { emit logFileSplit(piece); });
    onLogPipelineMessage(launcherPid(), QStringLiteral("Using pipeline log %1").arg(m_logFilePath),
                         true);
    return true;
}

// A run that goes on past midnight writes the new day's file from then on.
void PipelineController::onDayChanged(const QDate& today)
{
    if (!m_log)
        return;
    const QString path = PipelineLog::filePath(m_logNaming, today);
    if (path != m_log->filePath())
        openPipelineLog(path);
}

void PipelineController::setLogFileSizeLimit(qint64 bytes)
{
    m_logFileSizeLimit = std::max<qint64>(bytes, 0);
    if (m_log)
        m_log->limitSize(m_logFileSizeLimit,
                         [this](const QString& piece) { emit logFileSplit(piece); });
}

void PipelineController::closePipelineLog()
{
    m_dayTimer->stop();
    m_log.reset();
}

void PipelineController::startPipelineProcess(int processIndex)
{
    const ProcessConfig& processConfig = m_pipelineConfig.processList.at(processIndex);
    auto* process = new PipelineProcess(this, processConfig);
    Q_ASSERT(m_processes.size() == processIndex); // processes start in their order
    m_processes.append(Entry{process, ProcessStatus()});

    // All connections exist before start(): the start may be reported from
    // inside it.
    const bool addTimeStamp = processConfig.timestampLogEntries;
    connect(process, &PipelineProcess::readyReadStandardOutput, this,
            [this, addTimeStamp]() { onProcessReadyReadStandardOutput(addTimeStamp); });
    connect(process, &PipelineProcess::pipelineLogMessage, this,
            [this](int pid, const QString& msg) { onLogPipelineMessage(pid, msg, true); });
    connect(process, &PipelineProcess::pipelineStartCanProceed, this,
            &PipelineController::startNextPipelineProcess);
    connect(process, &PipelineProcess::pipelineRequiredProcessFailure, this, [this, process]() {
        onProcessFailure(process, PipelineFailureReason::RequiredProcessFailure);
    });
    connect(process, &PipelineProcess::pipelineConfigurationFailure, this, [this, process]() {
        onProcessFailure(process, PipelineFailureReason::RequiredProcessInvalidConfigFailure);
    });
    connect(process, &PipelineProcess::pipelineProcessFinished, this,
            &PipelineController::onProcessFinished);
    connect(process, &PipelineProcess::qprocessStarted, this, [this, processIndex]() {
        emit processStarted(processIndex);
        if (processIndex == 0) {
            Trace::info("Pipeline '%s' started", qUtf8Printable(m_pipelineConfig.basename));
            emit pipelineStarted(m_pipelineConfig.basename);
        }
    });
    connect(process, &PipelineProcess::qprocessFinished, this,
            [this, processIndex](int exitCode, QProcess::ExitStatus exitStatus) {
                emit processFinished(processIndex, exitCode, exitStatus);
            });
    connect(process, &PipelineProcess::pipelineProcessFailedToStart, this,
            [this, process]() { onProcessFailedToStart(process); });
    connect(process, &PipelineProcess::statusChanged, this,
            [this, processIndex]() { emit processStatusChanged(processIndex); });
    connect(process, &PipelineProcess::pipelineProcessGivenUp, this,
            [this, process, processIndex](const QString& message) {
                Trace::warning("Pipeline '%s': process %d (%s) %s",
                               qUtf8Printable(m_pipelineConfig.basename), processIndex,
                               qUtf8Printable(process->status().program), qUtf8Printable(message));
            });

    process->setReaper(m_reaper.get());
    process->setStopTimeout(m_stopTimeout);
    process->setResolvedProgram(m_programs.value(processIndex));
    emit processStatusChanged(processIndex);
    process->start();
}

void PipelineController::onProcessFailedToStart(PipelineProcess* process)
{
    if (indexOf(process) < 0)
        return;

    Trace::warning(
        "Pipeline '%s': process %d (%s) could not be started: %s",
        qUtf8Printable(m_pipelineConfig.basename), indexOf(process),
        qUtf8Printable(process->status().program),
        qUtf8Printable(process->process() ? process->process()->errorString() : QString()));
    // A process that never ran is over for good; it released nothing.
    const bool required = process->config().isRequired;
    if (required)
        onProcessFailure(process, PipelineFailureReason::RequiredProcessFailure);
    retireProcess(process, !required && m_stopCause != StopCause::Requested);
}

// The first failure of the pipeline names its process.
void PipelineController::onProcessFailure(PipelineProcess* process,
                                          PipelineFailureReason failureReason)
{
    if (m_failureReason == PipelineFailureReason::NoFailure && m_stopCause != StopCause::Requested)
        m_failedProcessIndex = indexOf(process);
    onPipelineFailure(failureReason);
}

// The tail of every process's end: its last record kept, the daemons ended
// when they are all that is left (unless the end was a failure, which
// terminated everything already, or a stop was requested), and the pipeline
// finished with the last one. The ended object stays for a restart on
// request until the pipeline has finished.
void PipelineController::retireProcess(PipelineProcess* process, bool mayEndDaemons)
{
    const int processIndex = indexOf(process);
    Entry& entry = m_processes[processIndex];
    entry.finalStatus = process->status();
    entry.process = nullptr;
    entry.ended = process;
    emit processStatusChanged(processIndex);
    if (mayEndDaemons)
        terminateIfOnlyDaemonsLeft();
    finishIfNoProcessesLeft();
}

bool PipelineController::restartProcess(int processIndex, QString* refusal)
{
    const auto refuse = [processIndex, refusal](const QString& reason) {
        Trace::info("Unable to restart process %d: %s", processIndex, qUtf8Printable(reason));
        if (refusal)
            *refusal = reason;
        return false;
    };
    if (!isActive())
        return refuse(QStringLiteral("no pipeline is running"));
    const QString& basename = m_pipelineConfig.basename;
    if (m_phase == Phase::Stopping)
        return refuse(QStringLiteral("the pipeline '%1' is stopping").arg(basename));
    const int count = m_pipelineConfig.processList.size();
    if (processIndex < 0 || processIndex >= count)
        return refuse(QStringLiteral("the pipeline '%1' has no process %2 (its processes are 0 "
                                     "to %3)")
                          .arg(basename)
                          .arg(processIndex)
                          .arg(count - 1));
    if (processIndex >= m_processes.size())
        return refuse(QStringLiteral("process %1 of the pipeline '%2' has not been started yet")
                          .arg(processIndex)
                          .arg(basename));

    Entry& entry = m_processes[processIndex];
    // An ended process is the pipeline's again before it starts: its start
    // may be reported from inside restart().
    if (!entry.process)
        std::swap(entry.process, entry.ended);
    PipelineProcess* process = entry.process;
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Restart of process %1 requested").arg(processIndex), true);
    Trace::info("Restarting process %d of pipeline '%s' on request", processIndex,
                qUtf8Printable(basename));
    process->restart();
    return true;
}

void PipelineController::recordResult()
{
    Result result;
    result.basename = m_pipelineConfig.basename;
    result.name = m_pipelineConfig.name;
    if (m_failureReason != PipelineFailureReason::NoFailure)
        result.outcome = Result::Outcome::Failed;
    else if (m_stopCause == StopCause::Requested)
        result.outcome = Result::Outcome::Stopped;
    result.failureReason = m_firstFailureReason;
    result.startedAt = m_startedAt;
    result.finishedAt = QDateTime::currentDateTime();
    if (m_failedProcessIndex >= 0 && m_failedProcessIndex < m_processes.size()) {
        result.failedProcess = m_processes.at(m_failedProcessIndex).finalStatus;
        result.failedProcess.index = m_failedProcessIndex;
    }
    m_lastResult = result;
}

// Daemons never keep a pipeline alive once every other process has ended.
void PipelineController::terminateIfOnlyDaemonsLeft()
{
    if (!allProcessesStarted() || !onlyDaemonsLeft())
        return;
    onLogPipelineMessage(
        launcherPid(),
        QStringLiteral("Only daemon processes are left running. Terminating the pipeline..."),
        true);
    terminateThenKill(m_stopTimeout);
}

void PipelineController::finishIfNoProcessesLeft()
{
    const bool anyLeft = std::any_of(m_processes.cbegin(), m_processes.cend(),
                                     [](const Entry& entry) { return entry.process; });
    if (anyLeft || !isActive())
        return;

    const bool stopped = m_stopCause == StopCause::Requested;
    if (stopped)
        onLogPipelineMessage(launcherPid(), QStringLiteral("Pipeline stopped on request"), true);
    setPhase(Phase::Finished);
    recordResult();
    for (Entry& entry : m_processes) {
        if (entry.ended)
            entry.ended->deleteLater();
        entry.ended = nullptr;
    }
    const PipelineFinishReason finishReason = m_failureReason == PipelineFailureReason::NoFailure
                                                  ? PipelineFinishReason::NormalFinish
                                                  : PipelineFinishReason::FailureFinish;
    closePipelineLog();
    // Whatever the processes left running is stopped now, with what remains
    // of a stop request's time, or else the stop timeout, as its grace.
    const int graceMs = m_stopTimer.isActive() ? m_stopTimer.remainingTime() : m_stopTimeout;
    m_stopTimer.stop();
    m_reaper->stopLeftovers(graceMs);
    Trace::info("Pipeline '%s' finished", qUtf8Printable(m_pipelineConfig.basename));
    if (stopped)
        emit pipelineStopped(m_pipelineConfig.basename);
    // Last: a receiver may start the next pipeline right away.
    emit pipelineFinished(m_pipelineConfig.basename, finishReason);
}

bool PipelineController::allProcessesStarted() const
{
    return m_nextProcessIndex == m_pipelineConfig.processList.size();
}

bool PipelineController::onlyDaemonsLeft() const
{
    bool anyLeft = false;
    for (const Entry& entry : m_processes) {
        if (!entry.process)
            continue;
        if (entry.process->config().mode != ProcessMode::Daemon)
            return false;
        anyLeft = true;
    }
    return anyLeft;
}

int PipelineController::indexOf(const PipelineProcess* process) const
{
    for (int i = 0; i < m_processes.size(); ++i) {
        if (m_processes.at(i).process == process)
            return i;
    }
    return -1;
}

void PipelineController::updateProcessRecord()
{
    if (m_reaper->isEmpty())
        m_record->remove();
    else
        m_record->write(m_reaper->processes());
}

QList<ValidationProblem> PipelineController::validate(const PipelineConfig& pipelineConfig) const
{
    return validate(pipelineConfig, nullptr);
}

bool PipelineController::isPipelineValid(const PipelineConfig& pipelineConfig) const
{
    return validate(pipelineConfig, nullptr).isEmpty();
}

bool PipelineController::isPipelineValid(const PipelineConfig& pipelineConfig)
{
    setValidationProblems(validate(pipelineConfig, nullptr));
    return m_validationProblems.isEmpty();
}

void PipelineController::setValidationProblems(const QList<ValidationProblem>& problems)
{
    m_validationProblems = problems;
    m_validationErrors.clear();
    for (const ValidationProblem& problem : problems)
        m_validationErrors.append(problem.text());
}

namespace {

// Where a bare or relative program is found, as the child would find it; an
// empty path with the problem when it is not usable there.
QString resolveExecutable(const ProcessConfig& processConfig, int processIndex,
                          QList<ValidationProblem>& problems)
{
    const QString exec = processConfig.exec;
    const auto problem = [&problems, processIndex](const QString& message) {
        problems.append({processIndex, QStringLiteral("exec"), message});
    };
    // A folder is never a program: an empty exec would otherwise find "/".
    const auto isUsable = [&problem, &exec](const QFileInfo& file) {
        if (!file.exists() || file.isDir()) {
            problem(QStringLiteral("executable '%1' does not exist").arg(exec));
            return false;
        }
        if (!file.isExecutable()) {
            problem(QStringLiteral("executable file '%1' is not executable by the user").arg(exec));
            return false;
        }
        return true;
    };

    const QFileInfo execInfo(exec);
    if (!execInfo.isRelative())
        return isUsable(execInfo) ? exec : QString();

    if (execInfo.fileName() != exec) {
        if (processConfig.workingDirectory.isEmpty()) {
            problem(QStringLiteral(
                        "use of relative executable '%1' requires working directory to be defined")
                        .arg(exec));
            return QString();
        }
        const QFileInfo candidate(
            QStringLiteral("%1/%2").arg(processConfig.workingDirectory, exec));
        return isUsable(candidate) ? candidate.absoluteFilePath() : QString();
    }

    // A bare name is looked up where the child would find it: its working
    // folder first, then its own PATH.
    QStringList folders(processConfig.workingDirectory);
    folders += PipelineProcess::buildEnvironment(processConfig)
                   .value(QStringLiteral("PATH"))
                   .split(QLatin1Char(':'));
    for (const QString& folder : qAsConst(folders)) {
        const QFileInfo candidate(QStringLiteral("%1/%2").arg(folder, exec));
        if (candidate.exists() && !candidate.isDir())
            return isUsable(candidate) ? candidate.absoluteFilePath() : QString();
    }
    problem(QStringLiteral("executable '%1' does not exist").arg(exec));
    return QString();
}

} // namespace

// The program of each process as the checks found it (the configured exec
// where they found nothing) goes to programs, by index.
QList<ValidationProblem> PipelineController::validate(const PipelineConfig& pipelineConfig,
                                                      QStringList* programs) const
{
    QList<ValidationProblem> problems;
    if (programs)
        programs->clear();
    bool nonDaemonSeen = false;

    for (int i = 0; i < pipelineConfig.processList.size(); ++i) {
        const ProcessConfig& processConfig = pipelineConfig.processList.at(i);
        if (processConfig.mode != ProcessMode::Daemon)
            nonDaemonSeen = true;
        if (!processConfig.workingDirectory.isEmpty() &&
            !QFileInfo(processConfig.workingDirectory).isDir())
            problems.append({i, QStringLiteral("working-directory"),
                             QStringLiteral("working directory '%1' it not a directory")
                                 .arg(processConfig.workingDirectory)});
        const QString program = resolveExecutable(processConfig, i, problems);
        const QString gateError = processConfig.mode == ProcessMode::Sync
                                      ? QString()
                                      : ReadinessProbe::gateError(processConfig.ready);
        if (!processConfig.ready.isEmpty() && !gateError.isEmpty())
            problems.append({i, QStringLiteral("ready"),
                             QStringLiteral("readiness gate '%1' is not valid: %2")
                                 .arg(processConfig.ready, gateError)});
        if (programs)
            programs->append(program.isEmpty() ? processConfig.exec : program);
    }

    if (!nonDaemonSeen)
        problems.append({-1, QStringLiteral("mode"),
                         QStringLiteral("pipeline must contain at least one non-daemon process.")});
    return problems;
}

QString PipelineController::timeStampText()
{
    return QString::fromLatin1(PipelineLog::timeStampText());
}

QList<ProcessStatus> PipelineController::processStatuses() const
{
    QList<ProcessStatus> statuses;
    for (int i = 0; i < m_processes.size(); ++i) {
        const Entry& entry = m_processes.at(i);
        statuses.append(entry.process ? entry.process->status() : entry.finalStatus);
        statuses.last().index = i;
    }
    return statuses;
}
