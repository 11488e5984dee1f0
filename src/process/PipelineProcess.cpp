#include "PipelineProcess.h"

#include "config/ConfigKeys.h"
#include "process/AliveProbe.h"
#include "process/ChildProcess.h"
#include "process/NotifySocket.h"
#include "process/ProcessReaper.h"
#include "process/ReadinessProbe.h"
#include "process/RestartWindow.h"
#include "support/LauncherSupport.h"
#include "support/MonotonicClock.h"
#include "support/ProcFs.h"
#include "support/Trace.h"

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <csignal>

using LauncherSupport::enumName;
using LauncherSupport::launcherPid;
using LauncherSupport::sizeText;

namespace {

// Memory is looked at this often while a cap is set, and must be over it at
// this many looks in a row: a short peak is no leak.
const int MemoryCheckMs = 2000;
const int MemoryChecksOver = 2;

} // namespace

PipelineProcess::PipelineProcess(QObject* parent, const ProcessConfig& config)
    : QObject(parent), m_config(config), m_window(std::make_unique<RestartWindow>(m_config)),
      m_shownName(processShownName(config))
{
    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, [this] { handle(Event::RestartDue); });
    m_watchdogTimer.setSingleShot(true);
    connect(&m_watchdogTimer, &QTimer::timeout, this, [this] {
        becomeUnwell(EndKind::Hung,
                     QStringLiteral("is hung: no watchdog ping for %1 s").arg(m_config.watchdog));
    });
    m_memoryTimer.setInterval(MemoryCheckMs);
    connect(&m_memoryTimer, &QTimer::timeout, this, &PipelineProcess::onMemoryCheck);
}

// The child, still running, is killed with its group and reaped by its own
// destructor, which tells nobody; then the reaper of its own, if any, kills
// what it left.
PipelineProcess::~PipelineProcess() = default;

// The table decides: for each step, what each event leads to, and how far
// the pipeline's wait for the process has come; the actions then act on the
// change. An event that a step does not name changes nothing.
void PipelineProcess::handle(Event event)
{
    m_eventMs = MonotonicClock::nowMs();
    const std::optional<Step> to = next(m_step, event);
    if (!to)
        return;
    Transition transition{event, m_step, *to, m_readiness, m_readiness};
    transition.now = nextReadiness(transition);
    m_step = transition.to;
    m_readiness = transition.now;
    // A start changes the pid that a status shows, even where the step stays.
    if (transition.from != transition.to || transition.was != transition.now ||
        event == Event::Started)
        emit statusChanged();
    act(transition);
}

std::optional<PipelineProcess::Step> PipelineProcess::next(Step step, Event event) const
{
    // The gate's events count while the wait runs, whatever the instance
    // does: a wait goes on across restarts.
    if (event == Event::Ready || event == Event::NotReady || event == Event::EndedNotReady)
        return m_readiness == Readiness::Waiting ? std::optional(step) : std::nullopt;
    switch (step) {
    case Step::Created:
        return event == Event::Start ? std::optional(Step::Starting) : std::nullopt;
    case Step::Starting:
        if (event == Event::Started)
            return Step::Running;
        if (event == Event::FailedToStart)
            return restartFollows(EndKind::FailedToStart) ? Step::CleaningUp : Step::Finished;
        [[fallthrough]]; // the rest as for a running one
    case Step::Running:
    case Step::EndingUnwell:
        switch (event) {
        case Event::Exited:
        case Event::Crashed:
            return restartFollows(endKind(step, event)) ? Step::CleaningUp : Step::Finished;
        case Event::Unwell:
            return step == Step::Running ? std::optional(Step::EndingUnwell) : std::nullopt;
        case Event::StopRequested:
        case Event::KillRequested:
            return Step::Stopping;
        case Event::RestartRequested:
            return Step::EndingForRestart;
        default:
            return std::nullopt;
        }
    case Step::EndingForRestart: // its end is answered by the restart
    case Step::Stopping:
        switch (event) {
        case Event::Started:
            return step;
        case Event::FailedToStart:
            return Step::Finished;
        case Event::Exited:
        case Event::Crashed:
            return step == Step::Stopping ? Step::Finished : Step::CleaningUp;
        case Event::StopRequested:
            return step == Step::Stopping ? std::nullopt : std::optional(Step::Stopping);
        case Event::KillRequested:
            return Step::Stopping;
        default:
            return std::nullopt;
        }
    case Step::CleaningUp:
    case Step::RestartDelay:
        switch (event) {
        case Event::LeftoversGone:
            if (step != Step::CleaningUp)
                return std::nullopt;
            return m_window->delaySeconds() > 0 ? Step::RestartDelay : Step::Starting;
        case Event::RestartDue:
            return step == Step::RestartDelay ? std::optional(Step::Starting) : std::nullopt;
        case Event::RestartRequested:
            // A restart under way goes ahead without its delay; what the
            // ended instance left is still waited for.
            return step == Step::RestartDelay ? Step::Starting : step;
        case Event::StopRequested:
        case Event::KillRequested:
            return Step::Abandoning;
        default:
            return std::nullopt;
        }
    case Step::Abandoning:
        return event == Event::Abandoned ? std::optional(Step::Finished) : std::nullopt;
    case Step::Finished:
        return event == Event::RestartRequested ? std::optional(Step::CleaningUp) : std::nullopt;
    }
    return std::nullopt;
}

// The next process is released at the first start (an Async or Daemon
// process without a gate, or with one not understood), when the gate opens,
// when the wait is over for a process that is not required, or by a Sync
// process's end; a stop ends the wait for good.
PipelineProcess::Readiness PipelineProcess::nextReadiness(const Transition& transition) const
{
    const Readiness was = transition.was;
    const bool held = was == Readiness::Pending || was == Readiness::Waiting;
    switch (transition.event) {
    case Event::Started:
        if (was != Readiness::Pending || m_config.mode == ProcessMode::Sync)
            return was;
        if (!m_probe)
            return Readiness::Released;
        // An instance asked to end already is not waited for.
        if (transition.to != Step::Running)
            return was;
        return ReadinessProbe::gateError(m_config.ready).isEmpty() ? Readiness::Waiting
                                                                   : Readiness::Released;
    case Event::Ready:
        return Readiness::Released;
    case Event::NotReady:
    case Event::EndedNotReady:
        return m_config.isRequired ? Readiness::Failed : Readiness::Released;
    case Event::StopRequested:
    case Event::KillRequested:
        return was == Readiness::Waiting ? Readiness::Failed : was;
    case Event::FailedToStart:
        if (transition.to != Step::Finished || !held)
            return was;
        return m_config.isRequired ? Readiness::Failed : Readiness::Released;
    case Event::Exited:
        // A Sync process releases the next one by an end that does not fail it.
        if (transition.to == Step::Finished && was == Readiness::Pending &&
            m_config.mode == ProcessMode::Sync &&
            endKind(transition.from, transition.event) == EndKind::Exited &&
            !(m_config.isRequired && m_lastExitCode != 0 && m_failure.isEmpty()))
            return Readiness::Released;
        return was;
    default:
        return was;
    }
}

void PipelineProcess::act(const Transition& transition)
{
    switch (transition.event) {
    case Event::Start:
    case Event::RestartDue:
        return spawn();
    case Event::LeftoversGone:
        if (transition.to == Step::Starting)
            return spawn();
        return m_restartTimer.start(
            int(std::min(qint64(m_window->delaySeconds()) * 1000, qint64(INT_MAX))));
    case Event::Started:
        return reportStarted(transition);
    case Event::FailedToStart:
        if (transition.to == Step::CleaningUp)
            return restartAfter(EndKind::FailedToStart);
        return failToStart(transition);
    case Event::Exited:
    case Event::Crashed:
        return endInstance(transition);
    case Event::Ready:
        return becomeReady(transition);
    case Event::NotReady:
    case Event::EndedNotReady:
        return notReady(transition);
    case Event::StopRequested:
    case Event::KillRequested:
        return stop(transition);
    case Event::RestartRequested:
        return restartOnRequest(transition);
    case Event::Abandoned:
        return finishAbandoned();
    case Event::Unwell:
        return stopUnwell();
    }
}

PipelineProcess::State PipelineProcess::state() const
{
    switch (m_step) {
    case Step::Created:
    case Step::Starting:
        return State::Starting;
    case Step::Running:
        return m_readiness == Readiness::Waiting ? State::WaitingForReadiness : State::Running;
    case Step::EndingUnwell:
    case Step::EndingForRestart:
    case Step::CleaningUp:
    case Step::RestartDelay:
        return State::Restarting;
    case Step::Stopping:
    case Step::Abandoning:
        return State::Stopping;
    case Step::Finished:
        break;
    }
    return State::Finished;
}

// An instance found unwell ends as what was found; any other as its end says.
PipelineProcess::EndKind PipelineProcess::endKind(Step step, Event event) const
{
    if (step == Step::EndingUnwell)
        return m_unwellKind;
    return event == Event::Crashed ? EndKind::Crashed : EndKind::Exited;
}

// What the configuration restarts: a crash with restart-on-crash, a listed
// exit code, a restart that could not be created (only a restart finds an
// earlier instance), and an unwell process whatever restart-on-crash says:
// the check itself asks for it.
bool PipelineProcess::restartWanted(EndKind kind) const
{
    switch (kind) {
    case EndKind::Exited:
        return m_config.restartOnExit.contains(m_lastExitCode);
    case EndKind::Crashed:
        return m_config.restartOnCrash;
    case EndKind::FailedToStart:
        return m_restarts > 0;
    case EndKind::Hung:
    case EndKind::OverMemory:
        break;
    }
    return true;
}

bool PipelineProcess::restartFollows(EndKind kind) const
{
    return restartWanted(kind) && !m_window->with(endWords(kind), m_eventMs).isFull(m_eventMs);
}

// A new instance: the first start or a restart.
void PipelineProcess::spawn()
{
    ChildProcess* process = replaceChild();
    emit pipelineLogMessage(
        launcherPid(), QStringLiteral("Starting process %1 %2")
                           .arg(m_config.exec, ChildProcess::shownArguments(m_config.arguments)));
    // Kept in the configuration, so restarts run in the same folder.
    if (m_config.workingDirectory.isEmpty()) {
        const QFileInfo execInfo(m_config.exec);
        if (!execInfo.isRelative())
            m_config.workingDirectory = execInfo.absolutePath();
    }
    process->setWorkingDirectory(m_config.workingDirectory);
    setUpProbes();
    // What the instance starts keeps the tag, so that the reaper knows it as
    // this instance's even after it has left the group and its parent.
    const QByteArray tag = m_reaper->nextInstanceTag();
    process->setProcessEnvironment(childEnvironment(tag));
    // The program that runs is the one validation found: a bare name would
    // be looked up in the launcher's own PATH, not in the child's.
    process->start(m_resolvedProgram.isEmpty() ? m_config.exec : m_resolvedProgram,
                   m_config.arguments);
    // Known from the fork on, so that a stop reaches it before it has started.
    if (m_process.get() == process && process->state() != QProcess::NotRunning) {
        m_reaper->addGroup(process->processId(), tag);
        if (m_notify)
            m_notify->setInstance(process->processId());
    }
}

// The child of a new instance, wired to this object; the previous one, if
// any, is read to its end and released.
ChildProcess* PipelineProcess::replaceChild()
{
    if (!m_process) {
        if (!m_reaper) {
            m_ownReaper = std::make_unique<ProcessReaper>();
            m_reaper = m_ownReaper.get();
        }
        connect(m_reaper, &ProcessReaper::instanceGone, this, [this](qint64 leader) {
            if (leader == m_pid)
                handle(Event::LeftoversGone);
        });
    } else {
        ++m_restarts; // only a restart finds an earlier child
        // What the ended instance wrote last is its own, read before another
        // takes its place.
        readOutput();
        // A restart may run inside the old child's own end notification, so
        // the old object is released only once that delivery has returned.
        // Parenting it here still frees it should this object go first.
        ChildProcess* previous = m_process.release();
        previous->disconnect(this);
        previous->setParent(this);
        previous->deleteLater();
    }
    m_process = std::make_unique<ChildProcess>();
    ChildProcess* process = m_process.get();
    // The relays come first, so their receivers see a start or end before this
    // object acts on it.
    connect(process, &ChildProcess::readyReadStandardOutput, this,
            &PipelineProcess::readyReadStandardOutput);
    connect(process, &ChildProcess::readyReadStandardOutput, this, &PipelineProcess::readOutput);
    connect(process, &ChildProcess::started, this, &PipelineProcess::qprocessStarted);
    connect(process, qOverload<int, QProcess::ExitStatus>(&ChildProcess::finished), this,
            &PipelineProcess::qprocessFinished);
    connect(process, &ChildProcess::started, this, &PipelineProcess::onProcessStarted);
    connect(process, qOverload<int, QProcess::ExitStatus>(&ChildProcess::finished), this,
            &PipelineProcess::onProcessFinished);
    connect(process, &ChildProcess::errorOccurred, this, &PipelineProcess::onErrorOccurred);
    return process;
}

// The readiness gate and the notify socket, made at the first start. The gate
// of a Sync process would hold back nothing: its end releases the next one.
// A notify gate's socket must exist before the child does.
void PipelineProcess::setUpProbes()
{
    if (!m_probe && !m_config.ready.isEmpty() && m_config.mode != ProcessMode::Sync) {
        m_probe = std::make_unique<ReadinessProbe>(m_config.ready, m_config.workingDirectory);
        connect(m_probe.get(), &ReadinessProbe::ready, this, [this] { handle(Event::Ready); });
        connect(m_probe.get(), &ReadinessProbe::timedOut, this,
                [this] { handle(Event::NotReady); });
    }
    const bool notifyGate = m_probe && m_probe->watchesNotifications();
    if (m_notify || (!notifyGate && m_config.watchdog <= 0))
        return;
    m_notify = std::make_unique<NotifySocket>();
    connect(m_notify.get(), &NotifySocket::watchdogPinged, this, &PipelineProcess::onWatchdogPing);
    // The process says itself that it no longer works: hung at once, as
    // when its watchdog runs out. Only a watched instance, as for a ping.
    connect(m_notify.get(), &NotifySocket::watchdogTriggered, this, [this] {
        if (m_watchdogTimer.isActive())
            becomeUnwell(EndKind::Hung,
                         QStringLiteral("is hung: it triggered its watchdog (WATCHDOG=trigger)"));
    });
    if (notifyGate)
        m_probe->watchNotifications(m_notify.get());
}

QProcessEnvironment PipelineProcess::childEnvironment(const QByteArray& tag) const
{
    QProcessEnvironment environment = buildEnvironment(m_config);
    // The socket is named while a notify gate may still open, and for a
    // watchdog always.
    const bool gateWaits = m_probe && m_probe->watchesNotifications() &&
                           (m_readiness == Readiness::Pending || m_readiness == Readiness::Waiting);
    if (m_notify && !m_notify->name().isEmpty() && (gateWaits || m_config.watchdog > 0))
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromUtf8(m_notify->name()));
    // As a service manager says it: microseconds. Its pid is unknown before
    // the start, so WATCHDOG_PID is left out, which programs take as "mine";
    // one the launcher inherited would name another process.
    if (m_config.watchdog > 0) {
        environment.insert(QStringLiteral("WATCHDOG_USEC"),
                           QString::number(qint64(m_config.watchdog) * 1000000));
        environment.remove(QStringLiteral("WATCHDOG_PID"));
    }
    environment.insert(QLatin1String(ProcessReaper::InstanceVariable), QString::fromLatin1(tag));
    return environment;
}

// Read once, under the writer's pid, once its start is logged (what came
// before waits for that line); then to the gate, so that the line that makes
// the process ready is logged before what its readiness sets off.
void PipelineProcess::readOutput()
{
    if (!m_process || m_process->pid() != m_pid)
        return;
    const QByteArray bytes = m_process->readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    emit outputRead(m_pid, bytes);
    if (m_probe)
        m_probe->checkOutput(bytes);
}

void PipelineProcess::reportStarted(const Transition& transition)
{
    emit pipelineLogMessage(
        int(m_pid),
        QStringLiteral("Process started: %1 %2")
            .arg(m_process->program(), ChildProcess::shownArguments(m_process->arguments())));
    readOutput();
    // An instance asked to end already is not watched.
    const bool runs = transition.to == Step::Running;
    if (runs)
        startInstanceWatch();
    if (transition.released()) {
        if (m_probe)
            log(QStringLiteral("Readiness gate '%1' is not understood (%2): the process counts "
                               "as ready once it runs")
                    .arg(m_config.ready, ReadinessProbe::gateError(m_config.ready)));
        release();
    } else if (transition.was == Readiness::Pending && transition.now == Readiness::Waiting) {
        const int timeout = m_config.readyTimeout;
        log(QStringLiteral("Waiting for the process to be ready (%1, %2)")
                .arg(m_config.ready, timeout > 0 ? QStringLiteral("at most %1 s").arg(timeout)
                                                 : QStringLiteral("no time limit")));
        m_probe->start(timeout);
    }
    if (runs && transition.now != Readiness::Waiting)
        startAliveChecks();
    emit pipelineProcessStarted();
}

// The end of an instance: the one asked to end for a restart is restarted;
// any other is counted, then restarted or final.
void PipelineProcess::endInstance(const Transition& transition)
{
    if (transition.from == Step::EndingForRestart)
        return cleanUpForRestart();
    const EndKind kind = endKind(transition.from, transition.event);
    const bool asked = transition.from == Step::Stopping;
    if (!asked && transition.from != Step::EndingUnwell &&
        (kind == EndKind::Crashed || m_config.restartOnExit.contains(m_lastExitCode)))
        ++m_crashes;
    if (transition.to == Step::CleaningUp)
        return restartAfter(kind);
    if (!asked && restartWanted(kind))
        countFinalEnd(kind);
    finish(kind, transition);
}

// Counts the end against the restart window; the restart follows once what
// the ended instance left is gone and the delay is over.
void PipelineProcess::restartAfter(EndKind kind)
{
    *m_window = m_window->with(endWords(kind), m_eventMs);
    const QString what = kind == EndKind::Exited
                             ? QStringLiteral("Process exited with code %1.").arg(m_lastExitCode)
                             : QStringLiteral("Process %1.").arg(endWords(kind));
    const int delay = m_window->delaySeconds();
    log(delay <= 0 ? what + QStringLiteral(" Restarting it...")
                   : what + QStringLiteral(" Restarting it in %1 s...").arg(delay));
    cleanUpForRestart();
}

// The end that fills the restart window: what the counted ends were, each
// said once ("crashed or was hung").
void PipelineProcess::countFinalEnd(EndKind kind)
{
    *m_window = m_window->with(endWords(kind), m_eventMs);
    const QString message = m_window->givenUpWords();
    log(QStringLiteral("Process ") + message);
    ProcessStatus::Ends ends;
    ends.crashes =
        m_window->count(endWords(EndKind::Crashed)) + m_window->count(endWords(EndKind::Exited));
    ends.hangs = m_window->count(endWords(EndKind::Hung));
    ends.memoryCapStops = m_window->count(endWords(EndKind::OverMemory));
    ends.failedStarts = m_window->count(endWords(EndKind::FailedToStart));
    giveUp(message, ends);
}

// The process is not restarted again: its status says so until a restart on
// request, and its owner hears why, in words that follow its program.
void PipelineProcess::giveUp(const QString& message, const ProcessStatus::Ends& ends)
{
    m_givenUp = message;
    m_givenUpAfter = ends;
    emit pipelineProcessGivenUp(message);
}

// The instance has ended and a new one follows. Its group and the descendants
// that left it would otherwise hold what the new instance needs (a port, a
// lock) and run on unsupervised: they are stopped first.
void PipelineProcess::cleanUpForRestart()
{
    if (m_pid <= 0 || m_reaper->stopInstance(m_pid, m_stopTimeoutMs))
        handle(Event::LeftoversGone);
    else
        log(QStringLiteral("Stopping what the ended instance left running before the restart"));
}

// The final end of an instance: one last look at a gate still waited for,
// the failure of a required process, and what a process given up, or crashed
// for good, left running, which would run on unsupervised while the rest of
// the pipeline goes on (a stopping pipeline stops it with everything else).
void PipelineProcess::finish(EndKind kind, const Transition& transition)
{
    const bool normal = kind == EndKind::Exited;
    m_endFails = m_config.isRequired && m_failure.isEmpty() && (!normal || m_lastExitCode != 0);
    if (m_probe) {
        const bool ready = m_probe->lookNow();
        m_probe->stop();
        handle(ready ? Event::Ready : Event::EndedNotReady);
    }
    if (m_endFails && normal)
        fail(m_givenUp.isEmpty() ? QStringLiteral("exited with code %1").arg(m_lastExitCode)
                                 : QStringLiteral("exited with code %1 and %2")
                                       .arg(QString::number(m_lastExitCode), m_givenUp),
             m_config.invalidConfigExitCodes.contains(m_lastExitCode));
    else if (m_endFails)
        fail(m_givenUp.isEmpty() ? QStringLiteral("ended with signal %1").arg(m_lastExitCode)
                                 : m_givenUp);
    else if (transition.released())
        release();
    if (m_endFails)
        m_failedByItsEnd = m_givenUp.isEmpty();
    const bool givenUp = !m_givenUp.isEmpty() || m_lastExitStatus == QProcess::CrashExit;
    if (transition.from != Step::Stopping && givenUp && m_pid > 0)
        m_reaper->stopInstance(m_pid, m_stopTimeoutMs);
    emit pipelineProcessFinished(normal ? m_lastExitCode : -1,
                                 normal ? QProcess::NormalExit : QProcess::CrashExit);
}

// A restart dropped by a stop: the end it answered is the final one.
void PipelineProcess::finishAbandoned()
{
    emit pipelineProcessFinished(m_lastExitStatus == QProcess::CrashExit ? -1 : m_lastExitCode,
                                 m_lastExitStatus);
}

// The final end of a process whose instance could not be created, an end
// with code -1. Nothing would bring a daemon back: it is given up, unless its
// restart window gave it up already. A required process has failed, which its
// owner acts on; any other releases the next process whatever its mode, as a
// non-zero exit would, unless it has released it already.
void PipelineProcess::failToStart(const Transition& transition)
{
    if (transition.from == Step::Starting && restartWanted(EndKind::FailedToStart))
        countFinalEnd(EndKind::FailedToStart);
    if (m_probe)
        m_probe->stop();
    if (m_config.mode == ProcessMode::Daemon && m_givenUp.isEmpty())
        giveUp(startError() + QStringLiteral(": not restarted again"), {0, 0, 0, 1});
    if (transition.released())
        release();
    else if (m_config.isRequired && m_failure.isEmpty())
        m_failure = m_givenUp.isEmpty() ? startError() : m_givenUp;
    emit pipelineProcessFailedToStart();
}

// A stop ends the wait for readiness, drops a restart under way, and asks the
// running instance with what it started to end through the reaper, which
// kills what is left after the stop timeout; a kill kills its group at once.
void PipelineProcess::stop(const Transition& transition)
{
    if (transition.was == Readiness::Waiting) {
        m_probe->stop();
        log(QStringLiteral("Stopped waiting for the process to be ready (%1)").arg(m_config.ready));
    }
    if (transition.to == Step::Abandoning) {
        // Nothing of the process runs: the stop ends it. Its end is reported
        // from the event loop, not from inside the stop request, which may be
        // walking the list of processes that this end changes.
        m_restartTimer.stop();
        log(QStringLiteral("Restart cancelled: the pipeline stops"));
        QMetaObject::invokeMethod(
            this, [this] { handle(Event::Abandoned); }, Qt::QueuedConnection);
        return;
    }
    stopHealthChecks();
    const qint64 instance = m_process->pid();
    if (instance <= 0 || m_process->state() == QProcess::NotRunning)
        return;
    if (transition.event == Event::KillRequested)
        m_reaper->signalGroup(instance, SIGKILL);
    else
        m_reaper->stopInstance(instance, m_stopTimeoutMs);
}

// On request, with a fresh restart window: a running instance is asked to
// end (killed after the stop timeout), and its end, whatever it is, is
// answered by the restart: it neither fails the pipeline nor counts as a
// crash. A restart that waits goes ahead at once; a finished process, one
// given up after its restart limit included, runs again in its pipeline.
void PipelineProcess::restartOnRequest(const Transition& transition)
{
    m_window->clear();
    switch (transition.to) {
    case Step::EndingForRestart: {
        log(QStringLiteral("Restart requested: asking the process to terminate"));
        stopHealthChecks();
        const qint64 instance = m_process->pid();
        if (instance > 0 && m_process->state() != QProcess::NotRunning)
            m_reaper->stopInstance(instance, m_stopTimeoutMs);
        return;
    }
    case Step::Starting:
        m_restartTimer.stop();
        log(QStringLiteral("Restart requested: restarting it now"));
        return spawn();
    default:
        break;
    }
    if (transition.from != Step::Finished)
        return; // cleaning up: the window alone starts afresh
    m_givenUp.clear();
    m_givenUpAfter = {};
    m_failure.clear();
    m_failedByItsEnd = false;
    m_failedBeforeEnd = false;
    log(QStringLiteral("Restart requested: starting the process again"));
    cleanUpForRestart();
}

// A process that runs but does not work is no better than a crashed one: it
// is stopped with what it started (asked, then killed after the stop
// timeout), and its end is counted as what was found.
void PipelineProcess::stopUnwell()
{
    stopHealthChecks();
    ++(m_unwellKind == EndKind::OverMemory ? m_memoryCapStops : m_hangs);
    emit pipelineProcessUnwell(m_unwell, m_unwellKind == EndKind::OverMemory);
    const qint64 instance = m_process->pid();
    if (instance > 0 && m_process->state() != QProcess::NotRunning)
        m_reaper->stopInstance(instance, m_stopTimeoutMs);
}

void PipelineProcess::becomeReady(const Transition& transition)
{
    log(QStringLiteral("Process ready after %1 s (%2)")
            .arg(double(m_probe->elapsedMs()) / 1000.0, 0, 'f', 1)
            .arg(m_config.ready));
    release();
    if (transition.to == Step::Running)
        startAliveChecks();
}

// A process that is not ready fails its pipeline when it is required (unless
// its end reports the failure itself); otherwise the pipeline goes on.
void PipelineProcess::notReady(const Transition& transition)
{
    const bool ended = transition.event == Event::EndedNotReady;
    if (!ended && transition.to == Step::Running)
        startAliveChecks();
    const QString gate = ReadyGate::parse(m_config.ready).words();
    const QString message =
        ended ? QStringLiteral("Process ended before it was ready (%1)").arg(m_config.ready)
              : QStringLiteral("Process not ready within %1 s (%2)")
                    .arg(m_config.readyTimeout)
                    .arg(m_config.ready);
    if (transition.now == Readiness::Released) {
        log(message + QStringLiteral(": the pipeline goes on"));
        return release();
    }
    log(message + QStringLiteral(": the pipeline fails"));
    if (!ended)
        fail(QStringLiteral("was not ready within %1 s: %2").arg(m_config.readyTimeout).arg(gate));
    else if (!m_endFails)
        fail(QStringLiteral("ended before it was ready: %1").arg(gate));
}

QString PipelineProcess::endWords(EndKind kind)
{
    static const char* const words[] = {"ended", "crashed", "was hung", "went over its memory cap",
                                        "could not be started"};
    return QLatin1String(words[int(kind)]);
}

QString PipelineProcess::startError() const
{
    if (!m_process || m_process->error() != QProcess::FailedToStart)
        return QString();
    return endWords(EndKind::FailedToStart) + QStringLiteral(": ") + m_process->startFailure();
}

// The failure of a required process, said once: its words for the status
// and the result, then the signal the pipeline acts on.
void PipelineProcess::fail(const QString& failure, bool invalidConfiguration)
{
    m_failure = failure;
    m_failedBeforeEnd = m_process && m_process->state() != QProcess::NotRunning;
    emit statusChanged();
    if (invalidConfiguration)
        emit pipelineConfigurationFailure();
    else
        emit pipelineRequiredProcessFailure();
}

QProcess* PipelineProcess::process()
{
    return m_process.get();
}

ProcessStatus PipelineProcess::status() const
{
    ProcessStatus status;
    status.program = m_resolvedProgram.isEmpty() ? m_config.exec : m_resolvedProgram;
    status.arguments = m_config.arguments;
    status.name = m_shownName;
    status.mode = m_config.mode;
    status.required = m_config.isRequired;
    status.pid = m_pid;
    status.state = state();
    status.startedAt = m_startedAt;
    status.restarts = m_restarts;
    status.crashes = m_crashes;
    status.hangs = m_hangs;
    status.memoryCapStops = m_memoryCapStops;
    status.hasExited = m_hasExited;
    status.lastExitStatus = m_lastExitStatus;
    // A crashed child's code is the number of the signal that ended it.
    status.lastExitCode = m_lastExitStatus == QProcess::NormalExit ? m_lastExitCode : 0;
    status.lastExitSignal = m_lastExitStatus == QProcess::CrashExit ? m_lastExitCode : 0;
    status.givenUp = !m_givenUp.isEmpty();
    status.givenUpAfter = m_givenUpAfter;
    status.failure = m_failure;
    status.failedByItsEnd = m_failedByItsEnd;
    status.lastCheck = m_lastCheck;
    status.lastCheckAt = m_lastCheckAt;
    status.memory = m_memory;
    status.unreclaimableMemory = m_unreclaimable;
    return status;
}

QProcessEnvironment PipelineProcess::buildEnvironment(const ProcessConfig& config)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = config.environment.cbegin(); it != config.environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    // The child finds its libraries through PATH alone; the launcher's own
    // value is deliberately not inherited.
    environment.insert(QStringLiteral("PATH"), ConfigKeys::searchPath(config.libraryPaths));
    return environment;
}

void PipelineProcess::onProcessStarted()
{
    m_pid = m_process->processId();
    m_startedAt = QDateTime::currentDateTime();
    handle(Event::Started);
}

void PipelineProcess::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_hasExited = true;
    m_lastExitCode = exitCode;
    m_lastExitStatus = exitStatus;
    stopHealthChecks();
    emit statusChanged();

    const QString program = m_process->program();
    const QString arguments = ChildProcess::shownArguments(m_process->arguments());
    if (exitStatus == QProcess::NormalExit) {
        emit pipelineLogMessage(
            int(m_pid),
            QStringLiteral("Process finished: %1 %2 with exit code %3 (%4)")
                .arg(program, arguments, QString::number(exitCode), enumName(exitStatus)));
        handle(Event::Exited);
    } else {
        std::optional<Solvane::Trace::EventScope> scope;
        if (!endAsked()) {
            Solvane::TraceEvent event;
            event.kind = Solvane::TraceEvent::Kind::ProcessCrashed;
            event.app = m_app;
            event.process = m_index;
            event.program = program;
            event.pid = m_pid;
            event.signal = exitCode; // a crashed child's code is its signal
            scope.emplace(std::move(event));
        }
        emit pipelineLogMessage(int(m_pid), QStringLiteral("Process finished: %1 %2 (%3)")
                                                .arg(program, arguments, enumName(exitStatus)));
        handle(Event::Crashed);
    }
}

void PipelineProcess::onErrorOccurred(QProcess::ProcessError error)
{
    emit pipelineLogMessage(int(m_pid),
                            QStringLiteral("Process error: %1 %2 (%3): %4")
                                .arg(m_process->program(),
                                     ChildProcess::shownArguments(m_process->arguments()),
                                     enumName(error), m_process->startFailure()));
    if (error != QProcess::FailedToStart)
        return;
    // No start or end notification follows: the instance that was never
    // created has ended, with code -1.
    m_hasExited = true;
    m_lastExitCode = -1;
    m_lastExitStatus = QProcess::NormalExit;
    emit statusChanged();
    handle(Event::FailedToStart);
}

void PipelineProcess::becomeUnwell(EndKind kind, const QString& what)
{
    m_unwellKind = kind;
    m_unwell = what;
    handle(Event::Unwell);
}

void PipelineProcess::startInstanceWatch()
{
    if (m_config.watchdog > 0)
        m_watchdogTimer.start(int(std::min(qint64(m_config.watchdog) * 1000, qint64(INT_MAX))));
    if (m_config.memoryMax > 0) {
        m_overCapChecks = 0;
        m_memoryTimer.start();
    }
}

void PipelineProcess::startAliveChecks()
{
    if (m_config.alive.isEmpty())
        return;
    if (!m_alive) {
        m_alive = std::make_unique<AliveProbe>(m_config.alive, m_config.workingDirectory,
                                               m_config.aliveInterval, m_config.aliveTimeout,
                                               m_config.aliveFailures);
        connect(m_alive.get(), &AliveProbe::checked, this, [this] {
            m_lastCheck = m_alive->lastResult();
            m_lastCheckAt = m_alive->lastCheckedAt();
            emit statusChanged();
        });
        connect(m_alive.get(), &AliveProbe::failed, this, [this](const QString& what) {
            becomeUnwell(EndKind::Hung, QStringLiteral("is hung: %1").arg(what));
        });
    }
    m_alive->start();
}

void PipelineProcess::stopHealthChecks()
{
    m_watchdogTimer.stop();
    m_memoryTimer.stop();
    m_memory = m_unreclaimable = -1;
    if (m_alive)
        m_alive->stop();
}

void PipelineProcess::onWatchdogPing()
{
    // Only a watched instance's pings count; one that is asked to end is not watched.
    if (!m_watchdogTimer.isActive())
        return;
    m_watchdogTimer.start();
    m_lastCheck = QStringLiteral("watchdog ping");
    m_lastCheckAt = QDateTime::currentDateTime();
    emit statusChanged();
}

// The instance and everything of it that the reaper knows: its group and the
// descendants that left it, each counted by its share of what it maps.
void PipelineProcess::measureMemory(ProcessStatus& status) const
{
    status.unreclaimableMemory = status.memory = -1;
    if (!m_process || m_process->state() == QProcess::NotRunning || m_pid <= 0)
        return;
    QList<qint64> pids = m_reaper->instanceProcesses(m_pid);
    if (!pids.contains(m_pid))
        pids.append(m_pid);
    status.unreclaimableMemory = status.memory = 0;
    for (const qint64 pid : qAsConst(pids)) {
        const ProcFs::Memory memory = ProcFs::memory(pid);
        status.unreclaimableMemory += std::max(memory.unreclaimable, qint64(0));
        status.memory += std::max(memory.proportional, qint64(0));
    }
}

// Only what the kernel cannot take back counts against the cap: a player
// that maps its video is not bloated by the file pages it has read.
void PipelineProcess::onMemoryCheck()
{
    ProcessStatus measured;
    measureMemory(measured);
    const qint64 total = std::max(measured.unreclaimableMemory, qint64(0));
    m_unreclaimable = total;
    m_memory = std::max(measured.memory, qint64(0));
    emit statusChanged();
    m_overCapChecks = total > m_config.memoryMax ? m_overCapChecks + 1 : 0;
    if (m_overCapChecks >= MemoryChecksOver)
        becomeUnwell(EndKind::OverMemory, QStringLiteral("uses %1, over its memory-max of %2")
                                              .arg(sizeText(total), sizeText(m_config.memoryMax)));
}
