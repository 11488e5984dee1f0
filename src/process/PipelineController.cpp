#include "PipelineController.h"

#include "PipelineProcess.h"
#include "logs/LineSplitter.h"
#include "logs/PipelineLog.h"
#include "process/PipelineStages.h"
#include "process/PipelineValidator.h"
#include "process/ProcessReaper.h"
#include "process/ProcessRecord.h"
#include "support/DateChangeTimer.h"
#include "support/LauncherSupport.h"
#include "support/TimeOfDayTimer.h"
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
using Solvane::TraceEvent;

namespace {

// Log lines reach the message output as they are, unquoted, in the category
// that qInfo() uses.
// A child's own lines carry PipelineController::ChildOutput as their
// function, which Qt's default handler does not print: a front end with a
// handler of its own can tell them from the launcher's, one without sees the
// same line either way.
void toMessageOutput(const QString& line, const char* function = nullptr)
{
    static const QMessageLogContext launcherContext(nullptr, 0, nullptr, "default");
    static const QMessageLogContext childContext(nullptr, 0, PipelineController::ChildOutput,
                                                 "default");
    qt_message_output(QtInfoMsg, function ? childContext : launcherContext, line);
}

// An event of the pipeline `app`, and of its process `index` when there is one.
TraceEvent traceEvent(TraceEvent::Kind kind, const QString& app, int index = -1,
                      const PipelineProcess* process = nullptr)
{
    TraceEvent event;
    event.kind = kind;
    event.app = app;
    event.process = index;
    if (process) {
        const ProcessStatus status = process->status();
        event.program = status.program;
        event.pid = status.pid;
        if (status.hasExited && status.lastExitStatus == QProcess::NormalExit)
            event.exitCode = status.lastExitCode;
        event.signal = status.lastExitSignal;
    }
    return event;
}

// The longest a change waits for the record of processes.
const int RecordIntervalMs = 100;

} // namespace

PipelineController::PipelineController()
    : m_lineSplitter(std::make_unique<LineSplitter>()), m_reaper(std::make_unique<ProcessReaper>()),
      m_record(std::make_unique<ProcessRecord>())
{
    m_dayTimer = std::make_unique<DateChangeTimer>();
    connect(m_dayTimer.get(), &DateChangeTimer::dayChanged, this,
            &PipelineController::onDayChanged);
    m_restartTimer = std::make_unique<TimeOfDayTimer>();
    connect(m_restartTimer.get(), &TimeOfDayTimer::due, this,
            [this] { handle(Event::RestartDue); });
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
    // The reaper owns the stop's "ask, then kill"; what it tells are events.
    connect(m_reaper.get(), &ProcessReaper::cleared, this, [this] {
        if (!anyProcessLeft())
            handle(Event::AllGone);
    });
    connect(m_reaper.get(), &ProcessReaper::overdue, this, [this] { handle(Event::StopOverdue); });
    connect(m_reaper.get(), &ProcessReaper::stuck, this, [this] { handle(Event::KillOverdue); });
}

PipelineController::~PipelineController()
{
    // Everything is killed at once; each process object then reaps its own
    // child, and the reaper the descendants that came to the launcher.
    m_recordTimer.stop();
    m_reaper->blockSignals(true);
    m_reaper->killAll();
    qDeleteAll(findChildren<PipelineProcess*>(QString(), Qt::FindDirectChildrenOnly));
    m_processes.clear();
    if (m_reaper->killAndReap(2000))
        m_record->remove();
}

PipelineController::PipelineState PipelineController::state() const
{
    return isActive() ? PipelineState::Running : PipelineState::NotRunning;
}

PipelineController::Phase PipelineController::phase() const
{
    return PipelineStages::phaseOf(m_stage);
}

bool PipelineController::isActive() const
{
    return m_stage != Stage::Idle && m_stage != Stage::Finished;
}

bool PipelineController::isStopRequested() const
{
    return m_stage == Stage::StoppingOnRequest || m_stage == Stage::Restarting;
}

bool PipelineController::isKilling() const
{
    return m_reaper->isKilling();
}

void PipelineController::handle(Event event)
{
    handle(event, EventData());
}

// The one place where the stage changes, to the one the table names.
void PipelineController::handle(Event event, const EventData& data)
{
    const PipelineStages::Transition transition = PipelineStages::transition(m_stage, event);
    act(transition.before, data);
    enter(transition.next);
    act(transition.after, data);
}

void PipelineController::act(Action action, const EventData& data)
{
    switch (action) {
    case Action::None:
        return;
    case Action::Begin:
        return begin();
    case Action::StartNext:
        return startNext();
    case Action::StartAgain:
        return startAgain();
    case Action::ReportFailure:
        return reportFailure(data);
    case Action::EndDaemons:
        return endDaemons();
    case Action::StopOnRequest:
        return stopOnRequest(data.timeoutMs);
    case Action::StopAgain:
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Stop requested: terminating the pipeline"), true);
        [[fallthrough]];
    case Action::HastenStop:
        return m_reaper->stopAll(std::max(data.timeoutMs, 0));
    case Action::StopForRestart:
        return stopForRestart();
    case Action::Terminate:
        return askAll(-1);
    case Action::Kill:
        return killAll();
    case Action::AwaitLeftovers:
        return awaitLeftovers();
    case Action::AnnounceKill:
        emit stopTimedOut();
        return onLogPipelineMessage(launcherPid(),
                                    QStringLiteral("Kill all running processes in pipeline"), true);
    case Action::GiveUp:
        emit killTimedOut();
        return;
    case Action::Conclude:
    case Action::ConcludeStopped:
        return conclude(action == Action::ConcludeStopped);
    case Action::Finish:
    case Action::FinishStopped:
        return finish(action == Action::FinishStopped);
    }
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
    setValidationProblems(PipelineValidator::validate(pipelineConfig, &programs));
    if (!m_validationProblems.isEmpty()) {
        const QString message =
            QStringLiteral("Failed to start pipeline '%1'. Pipeline configuration is invalid: %2")
                .arg(pipelineConfig.basename, m_validationErrors.join(QStringLiteral(", ")));
        Trace::error("%s", qUtf8Printable(message));
        onLogPipelineMessage(launcherPid(), message, true);
        // A pipeline that is not valid never runs: its result is its refusal.
        Result refused;
        refused.basename = pipelineConfig.basename;
        refused.name = pipelineConfig.name;
        refused.outcome = Result::Outcome::Failed;
        refused.failureReason = PipelineFailureReason::InvalidPipelineFailure;
        refused.startedAt = refused.finishedAt = QDateTime::currentDateTime();
        refused.problems = m_validationErrors;
        refused.logFile = m_logFilePath;
        m_lastResult = refused;
        emit pipelineFailure(pipelineConfig.basename,
                             PipelineFailureReason::InvalidPipelineFailure);
        return false;
    }

    // Everything is in place before the first process starts.
    m_pipelineConfig = pipelineConfig;
    m_programs = programs;
    handle(Event::Start);
    return true;
}

// The outcome of the run follows from the stage it enters; the state that
// callers see is logged when it changes between running and not running.
void PipelineController::enter(Stage stage)
{
    if (m_stage == stage)
        return;
    const PipelineState before = state();
    const Phase phaseBefore = phase();
    m_stage = stage;
    // A failure that came before a stop request stands.
    if (stage == Stage::Failing)
        m_result.outcome = Result::Outcome::Failed;
    else if (stage == Stage::StoppingOnRequest && m_result.outcome == Result::Outcome::Normal)
        m_result.outcome = Result::Outcome::Stopped;
    if (state() != before)
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Pipeline state changed to %1").arg(enumName(state())),
                             true);
    if (phase() != phaseBefore)
        emit phaseChanged(phase());
}

void PipelineController::begin()
{
    m_result = Result();
    m_result.basename = m_pipelineConfig.basename;
    m_result.name = m_pipelineConfig.name;
    m_result.startedAt = QDateTime::currentDateTime();
    m_nextProcessIndex = 0;
    m_firstStarted = -1;
    m_processes.clear();
    if (m_pipelineConfig.restartAt.isValid())
        m_restartTimer->start(m_pipelineConfig.restartAt);
    else
        m_restartTimer->stop();
    // The last pipeline's leftovers must not hold what this one needs.
    m_reaper->killLeftovers();
    Trace::info("Starting pipeline '%s'", qUtf8Printable(m_pipelineConfig.basename));
}

// The next process of the list, if any is left; the last one makes the
// pipeline running.
void PipelineController::startNext()
{
    const int processCount = m_pipelineConfig.processList.size();
    if (m_nextProcessIndex >= processCount)
        return;
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Starting process %1 of %2 in the pipeline")
                             .arg(m_nextProcessIndex + 1)
                             .arg(processCount),
                         true);
    const int processIndex = m_nextProcessIndex++;
    if (allProcessesStarted())
        handle(Event::AllReleased);
    startPipelineProcess(processIndex);
}

// Nothing of the pipeline runs any more: it starts again as it started
// before, with the programs found then and in the same log; its state stays
// running throughout.
void PipelineController::startAgain()
{
    for (Entry& entry : m_processes) {
        if (entry.ended)
            entry.ended->deleteLater();
        entry.ended = nullptr;
    }
    onLogPipelineMessage(
        launcherPid(), QStringLiteral("Pipeline stopped for its daily restart: starting it again"),
        true);
    begin();
}

void PipelineController::terminateAllProcesses()
{
    handle(Event::TerminateRequested);
}

void PipelineController::killAllProcesses()
{
    handle(Event::KillRequested);
}

void PipelineController::requestStop(int timeoutMs)
{
    handle(Event::StopRequested, EventData{NoFailure, -1, timeoutMs});
}

// The reaper asks every group and what left them, each once, and kills after
// the grace (never for a negative one); the processes hear that the pipeline
// stops, which asks nothing that was not asked already.
void PipelineController::askAll(int graceMs)
{
    onLogPipelineMessage(launcherPid(),
                         QStringLiteral("Terminate all running processes in pipeline"), true);
    m_reaper->stopAll(graceMs);
    for (const Entry& entry : qAsConst(m_processes)) {
        if (PipelineProcess* process = entry.process) {
            // The stage decides that no restart follows; the flag says so, too.
            process->config().restartOnCrash = false;
            process->terminate();
        }
    }
    emit pipelineTerminated();
}

void PipelineController::killAll()
{
    onLogPipelineMessage(launcherPid(), QStringLiteral("Kill all running processes in pipeline"),
                         true);
    m_reaper->killAll();
    for (const Entry& entry : qAsConst(m_processes)) {
        if (PipelineProcess* process = entry.process) {
            process->config().restartOnCrash = false;
            process->kill();
        }
    }
}

// Daemons never keep a pipeline alive once every other process has ended.
void PipelineController::endDaemons()
{
    onLogPipelineMessage(
        launcherPid(),
        QStringLiteral("Only daemon processes are left running. Terminating the pipeline..."),
        true);
    askAll(m_stopTimeout);
}

// The first failure of the pipeline is its result's; each one is reported
// and terminates what runs.
void PipelineController::reportFailure(const EventData& data)
{
    onLogPipelineMessage(
        launcherPid(), QStringLiteral("Pipeline failure occurred (%1)").arg(enumName(data.reason)),
        true);
    const Entry* entry = data.processIndex >= 0 ? &m_processes.at(data.processIndex) : nullptr;
    const ProcessStatus failed =
        entry && entry->process ? entry->process->status() : ProcessStatus();
    TraceEvent event = traceEvent(TraceEvent::Kind::Failed, m_pipelineConfig.basename,
                                  data.processIndex, entry ? entry->process : nullptr);
    event.reason = enumName(data.reason);
    const Trace::EventScope scope(event);
    if (failed.failure.isEmpty())
        Trace::warning("Pipeline '%s': failure occurred (%s)",
                       qUtf8Printable(m_pipelineConfig.basename),
                       qUtf8Printable(enumName(data.reason)));
    else
        Trace::warning("Pipeline '%s': failure occurred (%s): process %d (%s) %s",
                       qUtf8Printable(m_pipelineConfig.basename),
                       qUtf8Printable(enumName(data.reason)), data.processIndex,
                       qUtf8Printable(failed.program), qUtf8Printable(failed.failure));
    if (m_result.failureReason == PipelineFailureReason::NoFailure) {
        m_result.failureReason = data.reason;
        m_result.failedProcess.index = data.processIndex;
        for (int i = 0; i < m_processes.size(); ++i) {
            const PipelineProcess* process = m_processes.at(i).process;
            if (!process || i == data.processIndex)
                continue;
            ProcessStatus stopped = process->status();
            stopped.index = i;
            m_result.stoppedAfterFailure.append(stopped);
        }
    }
    emit pipelineFailure(m_pipelineConfig.basename, data.reason);
    askAll(m_stopTimeout);
}

void PipelineController::stopOnRequest(int graceMs)
{
    onLogPipelineMessage(launcherPid(), QStringLiteral("Stop requested: terminating the pipeline"),
                         true);
    askAll(std::max(graceMs, 0));
}

// As a stop on request, and with the reason in the log.
void PipelineController::stopForRestart()
{
    const QString reason = QStringLiteral("Daily restart at %1")
                               .arg(m_pipelineConfig.restartAt.toString(QStringLiteral("HH:mm")));
    Trace::info("Pipeline '%s': %s", qUtf8Printable(m_pipelineConfig.basename),
                qUtf8Printable(reason));
    onLogPipelineMessage(launcherPid(), reason + QStringLiteral(": terminating the pipeline"),
                         true);
    askAll(m_stopTimeout);
}

// No process runs, but what they left may: the pipeline has finished once
// that is gone too, asked to terminate and killed at the stop's deadline.
void PipelineController::awaitLeftovers()
{
    onLogPipelineMessage(
        launcherPid(),
        QStringLiteral("Waiting for what the pipeline's processes left running to end"), true);
    m_reaper->stopAll(m_stopTimeout);
}

// The result is complete before anyone hears of the finish.
void PipelineController::conclude(bool onRequest)
{
    if (onRequest)
        onLogPipelineMessage(launcherPid(), QStringLiteral("Pipeline stopped on request"), true);
    m_restartTimer->stop();
    m_result.finishedAt = QDateTime::currentDateTime();
    m_result.logFile = m_logFilePath;
    const int failedIndex = m_result.failedProcess.index;
    if (failedIndex >= 0 && failedIndex < m_processes.size()) {
        m_result.failedProcess = m_processes.at(failedIndex).finalStatus;
        m_result.failedProcess.index = failedIndex;
    }
    m_lastResult = m_result;
}

void PipelineController::finish(bool onRequest)
{
    for (Entry& entry : m_processes) {
        if (entry.ended)
            entry.ended->deleteLater();
        entry.ended = nullptr;
    }
    closePipelineLog();
    TraceEvent event =
        traceEvent(onRequest ? TraceEvent::Kind::StoppedOnRequest : TraceEvent::Kind::Finished,
                   m_pipelineConfig.basename);
    if (m_result.failureReason != PipelineFailureReason::NoFailure)
        event.reason = enumName(m_result.failureReason);
    {
        const Trace::EventScope scope(event);
        Trace::info("Pipeline '%s' finished", qUtf8Printable(m_pipelineConfig.basename));
    }
    if (onRequest)
        emit pipelineStopped(m_pipelineConfig.basename);
    // Last: a receiver may start the next pipeline right away.
    emit pipelineFinished(m_pipelineConfig.basename, m_result.outcome == Result::Outcome::Failed
                                                         ? PipelineFinishReason::FailureFinish
                                                         : PipelineFinishReason::NormalFinish);
}

bool PipelineController::stop(int timeoutMs)
{
    requestStop(timeoutMs);
    return waitForPipelineFinished(std::max(timeoutMs, 0) + ProcessReaper::KillWaitMs);
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
    // The ends that a requested stop causes are expected, whatever they are;
    // a process that failed while it ran has said so already.
    if (!succeeded && !isStopRequested() && !process->failedBeforeItsEnd()) {
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
    retireProcess(process, succeeded);
}

// A process released the next one (it started, or is ready): once every
// process has been started, or the pipeline ends, nothing more starts, not
// even what a Sync process that ended on the termination request releases.
void PipelineController::startNextPipelineProcess()
{
    handle(Event::Released);
}

void PipelineController::onPipelineFailure(PipelineController::PipelineFailureReason failureReason)
{
    handle(Event::Failed, EventData{failureReason, -1, 0});
}

void PipelineController::onProcessOutput(qint64 pid, const QByteArray& bytes)
{
    if (auto* process = qobject_cast<PipelineProcess*>(sender()))
        logChildOutput(pid, bytes, process->config().timestampLogEntries);
}

void PipelineController::onProcessReadyReadStandardOutput(bool addTimeStamp)
{
    if (auto* process = qobject_cast<PipelineProcess*>(sender()))
        logChildOutput(process->processId(), process->readAllStandardOutput(), addTimeStamp);
}

void PipelineController::logChildOutput(qint64 pid, const QByteArray& bytes, bool addTimeStamp)
{
    // This runs for every read of a child's output: the prefix, and the time
    // in it, once for the read; each line is split off and copied once, into
    // the batch that goes to the file in one write.
    char prefix[96];
    int prefixLength = std::snprintf(prefix, sizeof prefix, "[ %lld ] ", pid);
    if (addTimeStamp) {
        const QByteArray stamp = PipelineLog::timeStampText();
        const int stampLength = qMin(stamp.size(), int(sizeof prefix) - prefixLength - 1);
        std::memcpy(prefix + prefixLength, stamp.constData(), size_t(stampLength));
        prefixLength += stampLength;
        prefix[prefixLength++] = ' ';
    }

    LineSplitter& lines = *m_lineSplitter;
    const int lineCount = lines.split(prefix, prefixLength, bytes.constData(), bytes.size());
    for (int i = 0; i < lineCount; ++i)
        toMessageOutput(QString::fromUtf8(lines.lineData(i), lines.lineLength(i)), ChildOutput);
    if (m_log && lineCount > 0)
        m_log->write(lines.batch().data(), qint64(lines.batch().size()), lineCount);
    lines.shrink();
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

qint64 PipelineController::logLinePid(const QString& line)
{
    if (!line.startsWith(QLatin1String("[ ")))
        return 0;
    const int end = line.indexOf(QLatin1String(" ]"), 2);
    return end < 0 ? 0 : line.midRef(2, end - 2).toLongLong();
}

void PipelineController::startPipelineProcess(int processIndex)
{
    const ProcessConfig& processConfig = m_pipelineConfig.processList.at(processIndex);
    auto* process = new PipelineProcess(this, processConfig);
    Q_ASSERT(m_processes.size() == processIndex); // processes start in their order
    m_processes.append(Entry{process, ProcessStatus()});
    // All connections exist before start(): the start may be reported from
    // inside it.
    connectProcess(process, processIndex);
    process->setReaper(m_reaper.get());
    process->setPlace(m_pipelineConfig.basename, processIndex);
    process->setStopTimeout(m_stopTimeout);
    process->setResolvedProgram(m_programs.value(processIndex));
    process->setShownName(processShownName(m_pipelineConfig.processList, processIndex));
    emit processStatusChanged(processIndex);
    process->start();
}

void PipelineController::connectProcess(PipelineProcess* process, int processIndex)
{
    connect(process, &PipelineProcess::outputRead, this, &PipelineController::onProcessOutput);
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
    connect(process, &PipelineProcess::qprocessStarted, this,
            [this, process, processIndex]() { onProcessStarted(process, processIndex); });
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
                onProcessGivenUp(process, processIndex, message);
            });
    connect(process, &PipelineProcess::pipelineProcessUnwell, this,
            [this, process, processIndex](const QString& message, bool overMemory) {
                onProcessUnwell(process, processIndex, message, overMemory);
            });
}

// The pipeline has started with its first process, or, when those before
// could not be created, with the first that could.
void PipelineController::onProcessStarted(PipelineProcess* process, int processIndex)
{
    emit processStarted(processIndex);
    if (m_firstStarted < 0)
        m_firstStarted = processIndex;
    if (processIndex != m_firstStarted)
        return;
    // A restart of the first process is no new start of the pipeline: the
    // process logs it as a restart.
    if (process->restartCount() == 0) {
        const Trace::EventScope scope(traceEvent(TraceEvent::Kind::Started,
                                                 m_pipelineConfig.basename, processIndex, process));
        Trace::info("Pipeline '%s' started", qUtf8Printable(m_pipelineConfig.basename));
    }
    emit pipelineStarted(m_pipelineConfig.basename);
}

void PipelineController::onProcessGivenUp(PipelineProcess* process, int processIndex,
                                          const QString& message)
{
    const Trace::EventScope scope(
        traceEvent(TraceEvent::Kind::GivenUp, m_pipelineConfig.basename, processIndex, process));
    Trace::warning("Pipeline '%s': process %d (%s) %s", qUtf8Printable(m_pipelineConfig.basename),
                   processIndex, qUtf8Printable(process->status().program),
                   qUtf8Printable(message));
}

void PipelineController::onProcessUnwell(PipelineProcess* process, int processIndex,
                                         const QString& message, bool overMemory)
{
    const QString line = QStringLiteral("Process %1 (%2) %3")
                             .arg(processIndex)
                             .arg(QFileInfo(process->status().program).fileName(), message);
    onLogPipelineMessage(int(process->processId()), line, true);
    const Trace::EventScope scope(
        traceEvent(overMemory ? TraceEvent::Kind::MemoryCap : TraceEvent::Kind::Hung,
                   m_pipelineConfig.basename, processIndex, process));
    Trace::warning("Pipeline '%s': %s", qUtf8Printable(m_pipelineConfig.basename),
                   qUtf8Printable(line));
}

// A process that could not be created has ended with code -1: a required
// one fails the pipeline. The process has given a daemon up and released the
// next process itself; a process given up was warned about as such.
void PipelineController::onProcessFailedToStart(PipelineProcess* process)
{
    const int processIndex = indexOf(process);
    if (processIndex < 0)
        return;

    const ProcessStatus status = process->status();
    if (!status.givenUp)
        Trace::warning("Pipeline '%s': process %d (%s) %s",
                       qUtf8Printable(m_pipelineConfig.basename), processIndex,
                       qUtf8Printable(status.program), qUtf8Printable(process->startError()));
    const bool required = process->config().isRequired;
    if (required)
        onProcessFailure(process, PipelineFailureReason::RequiredProcessFailure);
    retireProcess(process, !required);
}

void PipelineController::onProcessFailure(PipelineProcess* process,
                                          PipelineFailureReason failureReason)
{
    handle(Event::Failed, EventData{failureReason, indexOf(process), 0});
}

// The tail of every process's end: its last record kept, the daemons ended
// when they are all that is left (unless the end was a failure, which
// terminated everything already), and the pipeline on its way to its finish
// with the last one. The ended object stays for a restart on request until
// the pipeline has finished.
void PipelineController::retireProcess(PipelineProcess* process, bool mayEndDaemons)
{
    const int processIndex = indexOf(process);
    Entry& entry = m_processes[processIndex];
    entry.finalStatus = process->status();
    entry.process = nullptr;
    entry.ended = process;
    emit processStatusChanged(processIndex);
    if (mayEndDaemons && allProcessesStarted() && onlyDaemonsLeft())
        handle(Event::OnlyDaemonsLeft);
    if (!anyProcessLeft())
        handle(m_reaper->awaitCleared() ? Event::AllGone : Event::ProcessesEnded);
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
    if (phase() == Phase::Stopping)
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

bool PipelineController::allProcessesStarted() const
{
    return m_nextProcessIndex == m_pipelineConfig.processList.size();
}

bool PipelineController::anyProcessLeft() const
{
    return std::any_of(m_processes.cbegin(), m_processes.cend(),
                       [](const Entry& entry) { return entry.process; });
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
    return PipelineValidator::validate(pipelineConfig);
}

bool PipelineController::isPipelineValid(const PipelineConfig& pipelineConfig) const
{
    return PipelineValidator::validate(pipelineConfig).isEmpty();
}

bool PipelineController::isPipelineValid(const PipelineConfig& pipelineConfig)
{
    setValidationProblems(PipelineValidator::validate(pipelineConfig));
    return m_validationProblems.isEmpty();
}

void PipelineController::setValidationProblems(const QList<ValidationProblem>& problems)
{
    m_validationProblems = problems;
    m_validationErrors.clear();
    for (const ValidationProblem& problem : problems)
        m_validationErrors.append(problem.text());
}

QString PipelineController::timeStampText()
{
    return QString::fromLatin1(PipelineLog::timeStampText());
}

QDateTime PipelineController::nextRestart() const
{
    return m_restartTimer->next();
}

QList<ProcessStatus> PipelineController::processStatuses(bool measureMemory) const
{
    QList<ProcessStatus> statuses;
    for (int i = 0; i < m_processes.size(); ++i) {
        const Entry& entry = m_processes.at(i);
        statuses.append(entry.process ? entry.process->status() : entry.finalStatus);
        statuses.last().index = i;
        if (measureMemory && entry.process && statuses.last().memory < 0)
            entry.process->measureMemory(statuses.last());
    }
    return statuses;
}
