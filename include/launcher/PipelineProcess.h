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

class ChildProcess;
class ProcessReaper;
class ReadinessProbe;

// Supervises one child process of a running pipeline: starts it, restarts it
// after a crash (or a listed exit code) within its restart window, once what
// the ended instance left running is gone, at once or after a delay that
// doubles with each crash in the window; holds the next process back until
// this one is ready when it has a readiness gate; and turns the child's
// notifications into the pipeline-level signals the controller acts on.
//
// Its life is one state at a time (ProcessStatus::State), changed only by
// handle(), which decides for each state what each event does.
class PipelineProcess : public QObject
{
    Q_OBJECT

public:
    using State = ProcessStatus::State;

    PipelineProcess(QObject* parent, const ProcessConfig& config);
    ~PipelineProcess() override;

    void start();
    // The program to run, as validation found it; the configured exec when empty.
    void setResolvedProgram(const QString& path) { m_resolvedProgram = path; }
    // How long what an ended instance left running may take to end, once
    // asked, before it is killed and the restart goes ahead.
    void setStopTimeout(int timeoutMs) { m_stopTimeoutMs = timeoutMs; }
    // The controller's tracker of the pipeline's process groups; a process
    // started without one keeps one of its own.
    void setReaper(ProcessReaper* reaper) { m_reaper = reaper; }

    qint64 processId() const { return m_pid; }
    bool isFinished() const { return m_state == State::Finished; }
    State state() const { return m_state; }
    // How often the child was restarted after a crash.
    int restartCount() const { return m_restarts; }
    ProcessConfig& config() { return m_config; }
    QProcess* process();
    QByteArray readAllStandardOutput();
    // What a front end shows of the process; the caller fills in its index.
    ProcessStatus status() const;

    // Asks the running instance, its whole process group, to terminate. An
    // instance that was asked already is not asked again: many programs read
    // a second request as "quit now". A pending restart is dropped, and the
    // process then counts as finished (reported from the event loop).
    void terminate();
    // Kills the running instance's whole group; a pending restart is dropped.
    void kill();
    // Starts the process again on request, with a fresh restart window: a
    // running instance is asked to terminate (killed after the stop timeout)
    // and started again once it has ended; a finished process, one given up
    // after its restart limit included, is started anew. Either way what the
    // ended instance left is stopped first. A pending restart goes ahead at
    // once. A stopping process ignores the request.
    void restart();

    // The gate that reads the process's output while it waits, else null: the
    // reader of the output hands each read to it.
    ReadinessProbe* outputProbe() const { return m_outputProbe; }

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
    // The program could not be executed at all: no start or end will follow.
    void pipelineProcessFailedToStart();
    // The restart window is full: the end that follows is final. `message`
    // says so as the log does, without its subject ("crashed 3 times ...").
    void pipelineProcessGivenUp(QString message);
    // status() changed: the state, the child, or its last end.
    void statusChanged();

private slots:
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);

private:
    enum class Event
    {
        Start,            // the first start
        Started,          // the child runs
        FailedToStart,    // its program could not be executed
        Exited,           // the child ended normally (m_lastExitCode)
        Crashed,          // the child was ended by a signal
        Ready,            // the readiness gate opened
        NotReady,         // the readiness wait is over without it
        StopRequested,    // terminate()
        KillRequested,    // kill()
        LeftoversGone,    // nothing of the ended instance runs any more
        RestartDue,       // the restart delay is over
        RestartAbandoned, // a stop dropped the restart; its end is reported now
        RestartRequested, // restart()
        EndOverdue,       // an instance asked to end for a restart has not ended in time
    };

    void handle(Event event);
    void enter(State state);

    // What the transitions do.
    void spawn();
    void reportStarted();
    void endRun(bool crashed);
    bool scheduleRestart(const QString& what);
    void restartWhenDue();
    void finishNormally(int exitCode);
    void finishCrashed();
    void finishAbandoned();
    void failToStart();
    void restartRunning();
    void restartFinished();
    void restartNow();
    void restartAfterEnd();
    void stopDuringRestart(Event event);
    bool instanceRuns() const;
    void askToStop(int signal);
    void dropRestart();
    void signalInstance(int signal);
    void becomeReady();
    void giveUpWaiting();

    void recordCrash();
    bool restartLimitReached() const;
    int restartDelaySeconds() const;
    void beginReadinessWait();
    void stopReadinessWait();
    void endReadinessWait(bool failureFollows);
    void releaseOrFail(const QString& message, bool mayFail);
    void log(const QString& message);

    ProcessConfig m_config;
    // Declared before the child, so that a reaper of its own outlives it.
    std::unique_ptr<ProcessReaper> m_ownReaper;
    ProcessReaper* m_reaper = nullptr;
    std::unique_ptr<ChildProcess> m_process;
    State m_state = State::Starting;
    bool m_startCanProceedPending = true;
    // Monotonic milliseconds of the crashes that can still count.
    QList<qint64> m_crashTimes;
    qint64 m_pid = 0;
    int m_restarts = 0;
    QString m_resolvedProgram;
    int m_stopTimeoutMs = 5000;
    std::unique_ptr<ReadinessProbe> m_probe;
    ReadinessProbe* m_outputProbe = nullptr;
    QTimer m_restartTimer;
    // Kills an instance asked to end for a restart that has not ended in time.
    QTimer m_endTimer;
    QDateTime m_startedAt;
    // The last end of a child: what a status shows, and what a dropped
    // restart reports.
    bool m_hasExited = false;
    bool m_givenUp = false;
    int m_lastExitCode = 0;
    QProcess::ExitStatus m_lastExitStatus = QProcess::NormalExit;
};
