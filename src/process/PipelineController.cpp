#include "PipelineController.h"

#include "PipelineProcess.h"
#include "logs/PipelineLog.h"
#include "process/ChildProcess.h"
#include "process/ProcessReaper.h"
#include "process/ProcessRecord.h"
#include "process/ReadinessProbe.h"
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

} // namespace

PipelineController::PipelineController()
    : m_reaper(std::make_unique<ProcessReaper>()), m_record(std::make_unique<ProcessRecord>())
{
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, [this] {
        emit stopTimedOut();
        killAllProcesses();
    });
    // The record is written once per turn of the event loop, however many
    // processes a turn starts or ends.
    m_recordTimer.setSingleShot(true);
    m_recordTimer.setInterval(0);
    connect(&m_recordTimer, &QTimer::timeout, this, &PipelineController::updateProcessRecord);
    connect(m_reaper.get(), &ProcessReaper::processesChanged, &m_recordTimer,
            qOverload<>(&QTimer::start));
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

bool PipelineController::start(const PipelineConfig& pipelineConfig, bool setupLog)
{
    if (m_state != PipelineState::NotRunning) {
        Trace::error("Unable to start pipeline '%s' because the pipeline '%s' is already running",
                     qUtf8Printable(pipelineConfig.basename),
                     qUtf8Printable(m_pipelineConfig.basename));
        return false;
    }

    if (setupLog && !setupPipelineLog(pipelineConfig))
        Trace::warning("Failed to setup pipeline log for pipeline '%s'",
                       qUtf8Printable(pipelineConfig.basename));

    QStringList programs;
    if (!checkPipeline(pipelineConfig, programs)) {
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
    m_nextProcessIndex = 0;
    m_stopping = false;
    m_startedAt = QDateTime::currentDateTime();
    m_statuses.clear();
    m_supervisors.clear();
    // The last pipeline's leftovers must not hold what this one needs.
    m_reaper->killLeftovers();
    Trace::info("Starting pipeline '%s'", qUtf8Printable(m_pipelineConfig.basename));
    setState(PipelineState::Running);
    startNextPipelineProcess();
    return true;
}

void PipelineController::terminateAllProcesses()
{
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Terminate all running processes in pipeline"), true);
    for (PipelineProcess* process : qAsConst(m_processes)) {
        // An end caused by the request must not be answered by a restart.
        process->config().restartOnCrash = false;
        process->prepareStop();
        trackGroup(process);
    }
    m_reaper->signalAll(SIGTERM);
    emit pipelineTerminated();
}

void PipelineController::killAllProcesses()
{
    onLogPipelineMessage(launcherPid(), QStringLiteral("Kill all running processes in pipeline"),
                         true);
    for (PipelineProcess* process : qAsConst(m_processes)) {
        process->config().restartOnCrash = false;
        process->prepareStop();
        trackGroup(process);
    }
    m_reaper->signalAll(SIGKILL);
}

void PipelineController::requestStop(int timeoutMs)
{
    if (m_state == PipelineState::NotRunning)
        return;
    m_stopping = true;
    terminateThenKill(timeoutMs);
}

// A process that ignores the request cannot keep the pipeline running: what is
// left after the timeout is killed. An earlier, shorter timeout stands.
void PipelineController::terminateThenKill(int timeoutMs)
{
    terminateAllProcesses();
    timeoutMs = std::max(timeoutMs, 0);
    if (m_state == PipelineState::Running &&
        (!m_stopTimer.isActive() || m_stopTimer.remainingTime() > timeoutMs))
        m_stopTimer.start(timeoutMs);
}

bool PipelineController::stop(int timeoutMs)
{
    requestStop(timeoutMs);
    return waitForPipelineFinished(std::max(timeoutMs, 0) + KilledEndsWaitMs);
}

bool PipelineController::waitForPipelineFinished(int timeoutMs)
{
    if (m_state == PipelineState::NotRunning)
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
    if (!process || !process->isFinished())
        return;

    if (!m_processes.contains(process))
        return;

    const ProcessConfig& config = process->config();
    const bool succeeded = !config.isRequired || exitCode == 0;
    if (!succeeded) {
        // The failure itself was reported before this end; this only records it.
        onLogPipelineMessage(
            launcherPid(),
            QStringLiteral("The required process %1 (%2 %3) has finished with exit code %4 (%5).")
                .arg(QString::number(process->processId()), config.exec, config.arguments.join(' '),
                     QString::number(exitCode), enumName(exitStatus)),
            true);
    }
    retireProcess(process, succeeded);
}

void PipelineController::startNextPipelineProcess()
{
    // A pipeline being stopped starts nothing more.
    if (m_stopping)
        return;
    const int processCount = m_pipelineConfig.processList.size();
    if (m_nextProcessIndex < processCount) {
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Starting process %1 of %2 in the pipeline")
                                 .arg(m_nextProcessIndex + 1)
                                 .arg(processCount),
                             true);
        const int processIndex = m_nextProcessIndex++;
        startPipelineProcess(processIndex);
    }
}

void PipelineController::onPipelineFailure(PipelineController::PipelineFailureReason failureReason)
{
    onLogPipelineMessage(
        launcherPid(),
        QStringLiteral("Pipeline failure occurred (%1)").arg(enumName(failureReason)), true);
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

    m_lineBatch.clear();
    int lineCount = 0;
    const char* const end = output.constData() + output.size();
    for (const char* begin = output.constData(); begin < end;) {
        // A line feed, a carriage return, or both in that order end a line.
        const char* lineEnd = begin;
        while (lineEnd < end && *lineEnd != '\n' && *lineEnd != '\r')
            ++lineEnd;
        const char* next = lineEnd;
        if (next < end) {
            ++next;
            if (*lineEnd == '\r' && next < end && *next == '\n')
                ++next;
        }
        // A NUL byte ends the text of its line; the lines after it are kept.
        const auto* nul = static_cast<const char*>(std::memchr(begin, 0, size_t(lineEnd - begin)));
        const char* textEnd = nul ? nul : lineEnd;
        if (textEnd > begin) {
            const size_t lineStart = m_lineBatch.size();
            m_lineBatch.append(prefix, size_t(prefixLength)).append(begin, size_t(textEnd - begin));
            toMessageOutput(QString::fromUtf8(m_lineBatch.data() + lineStart,
                                              int(m_lineBatch.size() - lineStart)));
            m_lineBatch += '\n';
            ++lineCount;
        }
        begin = next;
    }
    if (m_log && lineCount > 0)
        m_log->write(m_lineBatch.data(), qint64(m_lineBatch.size()), lineCount);
    // One huge read must not keep its memory for the rest of the run.
    if (m_lineBatch.capacity() > (1 << 20))
        std::string().swap(m_lineBatch);
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

void PipelineController::setState(PipelineState state)
{
    m_state = state;
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Pipeline state changed to %1").arg(enumName(state)), true);
}

bool PipelineController::setupPipelineLog(const PipelineConfig& pipelineConfig)
{
    closePipelineLog();
    m_log = PipelineLog::open(PipelineLog::filePath(pipelineConfig));
    if (!m_log)
        return false;
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Using pipeline log %1").arg(m_log->filePath()), true);
    return true;
}

void PipelineController::closePipelineLog()
{
    m_log.reset();
}

void PipelineController::startPipelineProcess(int processIndex)
{
    const ProcessConfig& processConfig = m_pipelineConfig.processList.at(processIndex);
    auto* process = new PipelineProcess(this, processConfig);
    m_processes.append(process);

    // All connections exist before start(): the start may be reported from
    // inside it.
    const bool addTimeStamp = processConfig.timestampLogEntries;
    connect(process, &PipelineProcess::readyReadStandardOutput, this,
            [this, addTimeStamp]() { onProcessReadyReadStandardOutput(addTimeStamp); });
    connect(process, &PipelineProcess::pipelineLogMessage, this,
            [this](int pid, const QString& msg) { onLogPipelineMessage(pid, msg, true); });
    // A release may end a wait for readiness: the status tells before the next start.
    connect(process, &PipelineProcess::pipelineStartCanProceed, this,
            [this, processIndex]() { emit processStatusChanged(processIndex); });
    connect(process, &PipelineProcess::pipelineStartCanProceed, this,
            &PipelineController::startNextPipelineProcess);
    connect(process, &PipelineProcess::pipelineRequiredProcessFailure, this,
            [this]() { onPipelineFailure(PipelineFailureReason::RequiredProcessFailure); });
    connect(process, &PipelineProcess::pipelineConfigurationFailure, this, [this]() {
        onPipelineFailure(PipelineFailureReason::RequiredProcessInvalidConfigFailure);
    });
    connect(process, &PipelineProcess::pipelineProcessFinished, this,
            &PipelineController::onProcessFinished);
    connect(process, &PipelineProcess::qprocessStarted, this, [this, process, processIndex]() {
        trackGroup(process);
        onChildStarted(processIndex);
        emit processStarted(processIndex);
        if (processIndex == 0) {
            Trace::info("Pipeline '%s' started", qUtf8Printable(m_pipelineConfig.basename));
            emit pipelineStarted(m_pipelineConfig.basename);
        }
    });
    connect(process, &PipelineProcess::qprocessFinished, this,
            [this, processIndex](int exitCode, QProcess::ExitStatus exitStatus) {
                onChildFinished(processIndex, exitCode, exitStatus);
                emit processFinished(processIndex, exitCode, exitStatus);
            });
    connect(process, &PipelineProcess::pipelineProcessFailedToStart, this,
            [this, process]() { onProcessFailedToStart(process); });

    ProcessStatus status;
    status.index = processIndex;
    status.program = m_programs.value(processIndex, processConfig.exec);
    status.arguments = processConfig.arguments;
    status.mode = processConfig.mode;
    status.required = processConfig.isRequired;
    m_statuses.append(status);
    m_supervisors.append(process);

    process->setResolvedProgram(m_programs.value(processIndex));
    process->start();
    // Known from the fork on, so that a stop reaches it before it has started.
    trackGroup(process);
}

void PipelineController::trackGroup(PipelineProcess* process)
{
    const ChildProcess* child = process->process();
    if (child && child->state() != QProcess::NotRunning)
        m_reaper->addGroup(child->processId());
}

void PipelineController::onProcessFailedToStart(PipelineProcess* process)
{
    if (!m_processes.contains(process))
        return;

    // A process that never ran is over for good; it released nothing.
    const bool required = process->config().isRequired;
    if (required)
        onPipelineFailure(PipelineFailureReason::RequiredProcessFailure);
    retireProcess(process, !required);
}

// The tail of every process's end: out of the list, the daemons ended when
// they are all that is left (unless the end was a failure, which terminated
// everything already), and the pipeline finished with the last one.
void PipelineController::retireProcess(PipelineProcess* process, bool mayEndDaemons)
{
    m_processes.removeAll(process);
    const int processIndex = m_supervisors.indexOf(process);
    if (processIndex >= 0) {
        m_supervisors[processIndex] = nullptr;
        m_statuses[processIndex].state = ProcessStatus::State::Finished;
        emit processStatusChanged(processIndex);
    }
    if (mayEndDaemons)
        terminateIfOnlyDaemonsLeft();
    process->deleteLater();
    finishIfNoProcessesLeft();
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
    if (!m_processes.isEmpty())
        return;

    setState(PipelineState::NotRunning);
    const PipelineFinishReason finishReason = m_failureReason == PipelineFailureReason::NoFailure
                                                  ? PipelineFinishReason::NormalFinish
                                                  : PipelineFinishReason::FailureFinish;
    closePipelineLog();
    // Whatever the processes left running is stopped now, with what remains
    // of a stop request's time, or else the stop timeout, as its grace.
    const int graceMs = m_stopTimer.isActive() ? m_stopTimer.remainingTime() : m_stopTimeout;
    m_stopTimer.stop();
    m_stopping = false;
    m_reaper->stopLeftovers(graceMs);
    Trace::info("Pipeline '%s' finished", qUtf8Printable(m_pipelineConfig.basename));
    // Last: a receiver may start the next pipeline right away.
    emit pipelineFinished(m_pipelineConfig.basename, finishReason);
}

bool PipelineController::allProcessesStarted() const
{
    return m_nextProcessIndex == m_pipelineConfig.processList.size();
}

bool PipelineController::onlyDaemonsLeft() const
{
    if (m_processes.isEmpty())
        return false;
    for (PipelineProcess* process : m_processes) {
        if (process->config().mode != ProcessMode::Daemon)
            return false;
    }
    return true;
}

void PipelineController::updateProcessRecord()
{
    if (m_reaper->isEmpty())
        m_record->remove();
    else
        m_record->write(m_reaper->processes());
}

bool PipelineController::isPipelineValid(const PipelineConfig& pipelineConfig)
{
    QStringList programs;
    return checkPipeline(pipelineConfig, programs);
}

// Validation; the program of each process as the checks found it (the
// configured exec where they found nothing) goes to programs, by index.
bool PipelineController::checkPipeline(const PipelineConfig& pipelineConfig, QStringList& programs)
{
    m_validationErrors.clear();
    programs.clear();
    bool valid = true;
    bool nonDaemonSeen = false;

    // The checks may resolve exec in place; the caller's record stays as configured.
    PipelineConfig checked = pipelineConfig;
    for (ProcessConfig& processConfig : checked.processList) {
        if (processConfig.mode != ProcessMode::Daemon)
            nonDaemonSeen = true;
        if (!processConfig.workingDirectory.isEmpty() &&
            !QFileInfo(processConfig.workingDirectory).isDir()) {
            m_validationErrors.append(QStringLiteral("working directory '%1' it not a directory")
                                          .arg(processConfig.workingDirectory));
            valid = false;
        }
        if (!validateExecutable(processConfig, m_validationErrors))
            valid = false;
        const QString gateError = processConfig.mode == ProcessMode::Sync
                                      ? QString()
                                      : ReadinessProbe::gateError(processConfig.ready);
        if (!processConfig.ready.isEmpty() && !gateError.isEmpty()) {
            m_validationErrors.append(QStringLiteral("readiness gate '%1' is not valid: %2")
                                          .arg(processConfig.ready, gateError));
            valid = false;
        }
        programs.append(processConfig.exec);
    }

    if (!nonDaemonSeen) {
        m_validationErrors.append(
            QStringLiteral("pipeline must contain at least one non-daemon process."));
        return false;
    }
    return valid;
}

bool PipelineController::validateExecutable(ProcessConfig& processConfig, QStringList& errors)
{
    const QString exec = processConfig.exec;
    // A folder is never a program: an empty exec would otherwise find "/".
    const auto isUsable = [&errors, &exec](const QFileInfo& file) {
        if (!file.exists() || file.isDir()) {
            errors.append(QStringLiteral("executable '%1' does not exist").arg(exec));
            return false;
        }
        if (!file.isExecutable()) {
            errors.append(
                QStringLiteral("executable file '%1' is not executable by the user").arg(exec));
            return false;
        }
        return true;
    };

    const QFileInfo execInfo(exec);
    if (!execInfo.isRelative())
        return isUsable(execInfo);

    if (execInfo.fileName() != exec) {
        if (processConfig.workingDirectory.isEmpty()) {
            errors.append(
                QStringLiteral(
                    "use of relative executable '%1' requires working directory to be defined")
                    .arg(exec));
            return false;
        }
        const QFileInfo candidate(
            QStringLiteral("%1/%2").arg(processConfig.workingDirectory, exec));
        if (!isUsable(candidate))
            return false;
        processConfig.exec = candidate.absoluteFilePath();
        return true;
    }

    // A bare name is looked up where the child would find it: its working
    // folder first, then its own PATH.
    QStringList folders(processConfig.workingDirectory);
    folders += PipelineProcess::buildEnvironment(processConfig)
                   .value(QStringLiteral("PATH"))
                   .split(QLatin1Char(':'));
    for (const QString& folder : qAsConst(folders)) {
        const QFileInfo candidate(QStringLiteral("%1/%2").arg(folder, exec));
        if (candidate.exists() && !candidate.isDir()) {
            if (!isUsable(candidate))
                return false;
            processConfig.exec = candidate.absoluteFilePath();
            return true;
        }
    }
    errors.append(QStringLiteral("executable '%1' does not exist").arg(exec));
    return false;
}

QString PipelineController::timeStampText()
{
    return QString::fromLatin1(PipelineLog::timeStampText());
}

void PipelineController::onChildStarted(int processIndex)
{
    ProcessStatus& status = m_statuses[processIndex];
    PipelineProcess* process = m_supervisors.at(processIndex);
    status.pid = process->process()->processId();
    status.startedAt = QDateTime::currentDateTime();
    status.restarts = process->restartCount();
    emit processStatusChanged(processIndex);
}

void PipelineController::onChildFinished(int processIndex, int exitCode,
                                         QProcess::ExitStatus exitStatus)
{
    ProcessStatus& status = m_statuses[processIndex];
    status.hasExited = true;
    status.lastExitStatus = exitStatus;
    // A crashed child's code is the number of the signal that ended it.
    status.lastExitCode = exitStatus == QProcess::NormalExit ? exitCode : 0;
    status.lastExitSignal = exitStatus == QProcess::CrashExit ? exitCode : 0;
    emit processStatusChanged(processIndex);
}

// The state of a process whose supervisor still runs.
ProcessStatus::State PipelineController::liveState(int processIndex) const
{
    PipelineProcess* process = m_supervisors.at(processIndex);
    if (process->isWaitingForReadiness())
        return ProcessStatus::State::WaitingForReadiness;
    if (process->isRestartPending())
        return ProcessStatus::State::Restarting;
    const ChildProcess* child = process->process();
    if (child && child->state() == QProcess::Running)
        return ProcessStatus::State::Running;
    // Not yet running: a first start, or the start that follows an end.
    return m_statuses.at(processIndex).hasExited ? ProcessStatus::State::Restarting
                                                 : ProcessStatus::State::Starting;
}

QList<ProcessStatus> PipelineController::processStatuses() const
{
    QList<ProcessStatus> statuses;
    for (int i = 0; i < m_statuses.size(); ++i) {
        statuses.append(m_statuses.at(i));
        if (m_supervisors.at(i)) {
            statuses.last().state = liveState(i);
            statuses.last().restarts = m_supervisors.at(i)->restartCount();
        }
    }
    return statuses;
}
