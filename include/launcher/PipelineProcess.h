#pragma once

#include "PipelineConfig.h"
#include "ProcessStatus.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <memory>
#include <optional>

class AliveProbe;
class ChildProcess;
class NotifySocket;
class ProcessReaper;
class ReadinessProbe;
class RestartWindow;

// Supervises one child process of a running pipeline: starts it, restarts it
// after a crash (or a listed exit code) within its restart window, once what
// the ended instance left running is gone, at once or after a delay that
// doubles with each crash in the window; holds the next process back until
// this one is ready when it has a readiness gate; stops what an instance
// left when the process is given up; and turns the child's notifications
// into the pipeline-level signals the controller acts on. A process that
// misses its watchdog, fails its alive= check too often or goes over its
// memory cap is stopped and restarted like after a crash.
//
// Its life is one step at a time, changed only by handle(): its table, next(),
// chooses for each step what each event leads to, with the readiness wait as
// a part of a started step, and the actions only act. status() shows the
// step as a State.
class PipelineProcess : public QObject
{
    Q_OBJECT

public:
    using State = ProcessStatus::State;

    PipelineProcess(QObject* parent, const ProcessConfig& config);
    ~PipelineProcess() override;

    void start() { handle(Event::Start); }
    // The program to run, as validation found it; the configured exec when empty.
    void setResolvedProgram(const QString& path) { m_resolvedProgram = path; }
    // The name its status gives it, told apart from the other processes of
    // its pipeline (processShownName()); by default as if it ran alone.
    void setShownName(const QString& name) { m_shownName = name; }
    // How long what an instance leaves running (or an instance asked to end
    // for a restart) may take to end, once asked, before it is killed.
    void setStopTimeout(int timeoutMs) { m_stopTimeoutMs = timeoutMs; }
    // The controller's tracker of the pipeline's process groups; a process
    // started without one keeps one of its own.
    void setReaper(ProcessReaper* reaper) { m_reaper = reaper; }
    // The pipeline's base name and this process's index in it, which its
    // events (a crash) name.
    void setPlace(const QString& app, int index)
    {
        m_app = app;
        m_index = index;
    }

    qint64 processId() const { return m_pid; }
    bool isFinished() const { return m_step == Step::Finished; }
    State state() const;
    // How often the child was restarted after a crash.
    int restartCount() const { return m_restarts; }
    ProcessConfig& config() { return m_config; }
    QProcess* process();
    // What the current child has written and nobody has read yet. The process
    // reads its child's output as it comes (outputRead), for the log and its
    // readiness gate, so this is only what arrived since: most often nothing.
    QByteArray readAllStandardOutput()
    {
        QProcess* child = process();
        return child ? child->readAllStandardOutput() : QByteArray();
    }
    // The memory that the running instance and everything of it that the
    // reaper knows (its group, its descendants) take now, into `status`'s
    // unreclaimableMemory and memory; -1 each when nothing runs.
    void measureMemory(ProcessStatus& status) const;
    // What a front end shows of the process; the caller fills in its index.
    ProcessStatus status() const;
    // The process reported its failure while its instance still ran (it was
    // not ready in time): the end that follows is no second failure.
    bool failedBeforeItsEnd() const { return m_failedBeforeEnd; }
    // Why the last instance could not be created, in words that follow its
    // program ("could not be started: execve: No such file or directory: its
    // interpreter '/bin/x' is missing"); empty when it was.
    QString startError() const;

    // Asks the running instance, its whole process group, to terminate. An
    // instance that was asked already is not asked again: many programs read
    // a second request as "quit now". A pending restart is dropped, and the
    // process then counts as finished (reported from the event loop).
    void terminate() { handle(Event::StopRequested); }
    // Kills the running instance's whole group; a pending restart is dropped.
    void kill() { handle(Event::KillRequested); }
    // Starts the process again on request, with a fresh restart window: a
    // running instance is asked to terminate (killed after the stop timeout)
    // and started again once it has ended; a finished process, one given up
    // after its restart limit included, is started anew. Either way what the
    // ended instance left is stopped first. A pending restart goes ahead at
    // once. A stopping process ignores the request.
    void restart() { handle(Event::RestartRequested); }

    static QProcessEnvironment buildEnvironment(const ProcessConfig& config);

signals:
    void qprocessStarted();
    void qprocessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void pipelineProcessStarted();
    void pipelineProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void pipelineStartCanProceed();
    void pipelineRequiredProcessFailure();
    void pipelineConfigurationFailure();
    void readyReadStandardOutput();
    void pipelineLogMessage(int pid, QString msg);
    // The program could not be executed at all, and is not tried again: no
    // start or end will follow. The process has finished, with code -1: a
    // daemon was given up (pipelineProcessGivenUp came first), one that is
    // not required has released the next process, and a required one has
    // failed, which its owner acts on.
    void pipelineProcessFailedToStart();
    // The restart window is full: the end that follows is final. `message`
    // says so as the log does, without its subject ("crashed 3 times ...").
    void pipelineProcessGivenUp(QString message);
    // The process was found hung or over its memory cap and is being stopped.
    // `message` says so as the log does, without its subject ("is hung: ...");
    // overMemory: over its memory cap, else hung.
    void pipelineProcessUnwell(QString message, bool overMemory);
    // status() changed: the state, the child, or its last end.
    void statusChanged();
    // What an instance wrote, read once, under the pid of the instance that
    // wrote it; never before that instance's "Process started" line.
    void outputRead(qint64 pid, const QByteArray& bytes);

private slots:
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);

private:
    // Where the process is; State is what a front end sees of it.
    enum class Step
    {
        Created,
        Starting,         // an instance is being started
        Running,          // it runs (and may be waited for: Readiness)
        EndingForRestart, // restart on request: the running instance was asked to end
        CleaningUp,       // the instance has ended; what it left is being stopped
        RestartDelay,     // nothing of it runs; the restart waits out its delay
        EndingUnwell,     // found hung or over its cap: the instance is being stopped
        Stopping,         // asked to terminate; the instance's end is awaited
        Abandoning,       // a stop dropped the restart; the end is reported next
        Finished
    };

    // Whether the next process of the pipeline may start, the one part of
    // the process that outlives its instances: a wait begun at the first
    // start goes on across restarts.
    enum class Readiness
    {
        Pending,  // held: no wait has begun (a Sync process until its end)
        Waiting,  // held until the gate opens or the wait is over
        Released, // pipelineStartCanProceed was said
        Failed,   // held for good: not ready, or the wait was stopped
    };

    enum class Event
    {
        Start,            // the first start
        Started,          // the child runs (m_pid)
        FailedToStart,    // its program could not be executed
        Exited,           // the child ended normally (m_lastExitCode)
        Crashed,          // the child was ended by a signal
        Ready,            // the readiness gate opened
        NotReady,         // the readiness wait is over without it
        EndedNotReady,    // the final end came first (m_endFails)
        StopRequested,    // terminate()
        KillRequested,    // kill()
        LeftoversGone,    // nothing of the ended instance runs any more
        RestartDue,       // the restart delay is over
        RestartRequested, // restart()
        Abandoned,        // the end of a dropped restart is due
        Unwell,           // hung or over its memory cap (m_unwellKind, m_unwell)
    };

    // One change that the table chose, as the actions see it.
    struct Transition
    {
        Event event;
        Step from;
        Step to;
        Readiness was;
        Readiness now;
        bool released() const { return now == Readiness::Released && was != now; }
    };

    // What ended an instance, as a restart window counts it.
    enum class EndKind
    {
        Exited, // with a code listed in restart-on-exit
        Crashed,
        Hung,
        OverMemory,
        FailedToStart, // a restart that could not be created
    };
    // The words for an end: "crashed", "was hung"... One home for the text.
    static QString endWords(EndKind kind);

    // The table: for each step, what each event leads to; nothing for an
    // event that the step does not name. The actions only act.
    void handle(Event event);
    std::optional<Step> next(Step step, Event event) const;
    Readiness nextReadiness(const Transition& transition) const;
    void act(const Transition& transition);

    // What ended the instance, and whether the restart window takes it.
    EndKind endKind(Step step, Event event) const;
    bool restartWanted(EndKind kind) const;
    bool restartFollows(EndKind kind) const;
    // The launcher has asked the running instance to end (a stop, a restart,
    // a hung or over-cap end): its end is no crash.
    bool endAsked() const
    {
        return m_step == Step::Stopping || m_step == Step::EndingForRestart ||
               m_step == Step::EndingUnwell;
    }

    // A new instance: the first start or a restart.
    void spawn();
    ChildProcess* replaceChild();
    void setUpProbes();
    QProcessEnvironment childEnvironment(const QByteArray& tag) const;

    // What the transitions do.
    void reportStarted(const Transition& transition);
    void readOutput();
    void endInstance(const Transition& transition);
    void restartAfter(EndKind kind);
    void countFinalEnd(EndKind kind);
    void giveUp(const QString& message, const ProcessStatus::Ends& ends);
    void cleanUpForRestart();
    void finish(EndKind kind, const Transition& transition);
    void finishAbandoned();
    void failToStart(const Transition& transition);
    void stop(const Transition& transition);
    void restartOnRequest(const Transition& transition);
    void stopUnwell();
    void becomeReady(const Transition& transition);
    void notReady(const Transition& transition);
    // The next process of the pipeline may start.
    void release() { emit pipelineStartCanProceed(); }
    void fail(const QString& failure, bool invalidConfiguration = false);
    void becomeUnwell(EndKind kind, const QString& what);

    // The watch over a running instance: its watchdog and memory from its
    // start, its alive= check once it is ready; none runs without its key.
    void startInstanceWatch();
    void startAliveChecks();
    void stopHealthChecks();
    void onWatchdogPing();
    void onMemoryCheck();

    // A line about the process, under its current (or last) child's pid.
    void log(const QString& message) { emit pipelineLogMessage(int(m_pid), message); }

    ProcessConfig m_config;
    // Declared before the child, so that a reaper of its own outlives it.
    std::unique_ptr<ProcessReaper> m_ownReaper;
    ProcessReaper* m_reaper = nullptr;
    std::unique_ptr<ChildProcess> m_process;
    Step m_step = Step::Created;
    Readiness m_readiness = Readiness::Pending;
    // When the event being handled came, on the monotonic clock: the time
    // that the table and the actions count an end at.
    qint64 m_eventMs = 0;
    // The ends that can still count against the restart window.
    std::unique_ptr<RestartWindow> m_window;
    qint64 m_pid = 0;
    int m_restarts = 0;
    int m_crashes = 0;
    int m_hangs = 0;
    int m_memoryCapStops = 0;
    QString m_resolvedProgram;
    QString m_shownName;
    QString m_app;
    int m_index = -1;
    int m_stopTimeoutMs = 5000;
    std::unique_ptr<ReadinessProbe> m_probe;
    // NOTIFY_SOCKET, for a notify gate or a watchdog.
    std::unique_ptr<NotifySocket> m_notify;
    std::unique_ptr<AliveProbe> m_alive;
    QTimer m_watchdogTimer;
    QTimer m_memoryTimer;
    int m_overCapChecks = 0;     // in a row
    qint64 m_memory = -1;        // bytes at the last measurement (ProcessStatus::memory)
    qint64 m_unreclaimable = -1; // and what memory-max counts of them
    QString m_lastCheck;         // the last check's result in words
    QDateTime m_lastCheckAt;
    EndKind m_unwellKind = EndKind::Hung;
    QString m_unwell; // what was found, after the process's name
    // The final end that came before readiness fails the pipeline itself.
    bool m_endFails = false;
    QTimer m_restartTimer;
    QDateTime m_startedAt;
    // The last end of a child: what a status shows, and what a dropped
    // restart reports.
    bool m_hasExited = false;
    // Why the restart window gave the process up ("crashed 3 times within 10 s:
    // not restarted again"); empty while it has not.
    QString m_givenUp;
    ProcessStatus::Ends m_givenUpAfter; // the ends that gave it up, by kind
    int m_lastExitCode = 0;
    QProcess::ExitStatus m_lastExitStatus = QProcess::NormalExit;
    // Why the process failed its pipeline, in words; empty while it has not.
    QString m_failure;
    bool m_failedByItsEnd = false; // m_failure is its exit code or signal alone
    bool m_failedBeforeEnd = false;
};
