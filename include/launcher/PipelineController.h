#pragma once

#include "PipelineConfig.h"
#include "ProcessStatus.h"
#include "ValidationProblem.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>
#include <optional>

class DayTimer;
class LineSplitter;
class PipelineLog;
class PipelineProcess;
class ProcessReaper;
class ProcessRecord;

// Runs one pipeline at a time: validates it, opens its log, starts its
// processes as their modes release them, and decides when it has failed,
// when it must stop and when it has finished.
//
// A pipeline goes through one phase at a time: starting (processes are still
// to be released), running (all have been started), stopping (its processes
// were asked to terminate: after a failure, when only daemons are left, or
// on request; no further process starts), finished.
class PipelineController : public QObject
{
    Q_OBJECT

public:
    enum PipelineState
    {
        NotRunning = 0,
        Running = 1
    };
    Q_ENUM(PipelineState)

    enum PipelineFinishReason
    {
        NormalFinish = 0,
        FailureFinish = 1
    };
    Q_ENUM(PipelineFinishReason)

    enum PipelineFailureReason
    {
        NoFailure = 0,
        InvalidPipelineFailure = 1,
        RequiredProcessFailure = 2,
        RequiredProcessInvalidConfigFailure = 3,
    };
    Q_ENUM(PipelineFailureReason)

    enum class Phase
    {
        Idle,     // no pipeline has run yet
        Starting, // processes of the pipeline are still to be started
        Running,  // every process has been started
        Stopping, // its processes were asked to terminate; nothing more starts
        Finished, // the last process has ended
    };
    Q_ENUM(Phase)

    // How a pipeline ended, for a front end to show once nothing runs.
    struct Result
    {
        enum class Outcome
        {
            Normal,  // no failure, no stop request
            Failed,  // a failure was reported (before any stop request)
            Stopped, // stopped on request
        };

        QString basename;
        QString name;
        Outcome outcome = Outcome::Normal;
        // The first failure reported: what set the pipeline's stop off.
        PipelineFailureReason failureReason = NoFailure;
        QDateTime startedAt;
        QDateTime finishedAt;
        // The process whose failure that was, as it ended; index -1 when no
        // process was the cause.
        ProcessStatus failedProcess;
    };

    PipelineController();
    // Kills whatever still runs and reaps it, silently.
    ~PipelineController() override;

    // Validates and starts a pipeline, with its dated log when asked; false
    // when one runs already or it is invalid (pipelineFailure tells which).
    bool start(const PipelineConfig& pipelineConfig, bool setupLog);
    // Running from an accepted start until the last process has ended.
    PipelineState state() const;
    Phase phase() const { return m_phase; }
    // Checks folders, programs, readiness gates and modes; every reason the
    // pipeline cannot start, in the order of its processes, the pipeline's
    // own last. Empty when it can start.
    QList<ValidationProblem> validate(const PipelineConfig& pipelineConfig) const;
    // The same check, keeping nothing.
    bool isPipelineValid(const PipelineConfig& pipelineConfig) const;
    // The same check, keeping the reasons for validationProblems() and
    // validationErrors() (the problems' texts).
    bool isPipelineValid(const PipelineConfig& pipelineConfig);
    const QList<ValidationProblem>& validationProblems() const { return m_validationProblems; }
    const QStringList& validationErrors() const { return m_validationErrors; }
    // Both act on the whole process group of every process, and on the
    // descendants that left their groups. A process already asked to
    // terminate is not asked again.
    void terminateAllProcesses();
    void killAllProcesses();
    // Spins an event loop until the pipeline has finished (true) or the time is up.
    bool waitForPipelineFinished(int timeoutMs);

    // The grace before what a finished pipeline left running is killed, before
    // the controller's own termination requests (only daemons left, a
    // failure) escalate to a kill, and before what a crashed instance left is
    // killed ahead of its restart.
    void setStopTimeout(int timeoutMs) { m_stopTimeout = timeoutMs; }
    int stopTimeout() const { return m_stopTimeout; }
    // Stops the pipeline on request: every process is asked to terminate and
    // killed after the timeout, and nothing further starts. A requested stop
    // is no failure: the ends it causes report none, and pipelineStopped()
    // comes before pipelineFinished().
    void requestStop(int timeoutMs);
    // The same, returning once the pipeline has finished (true at once when
    // nothing runs); false when it still runs well after the kill.
    bool stop(int timeoutMs);
    // A stop was requested for the running (or last) pipeline.
    bool isStopRequested() const { return m_stopCause == StopCause::Requested; }

    // Starts one process of the running pipeline again (its index in the
    // pipeline, as processStatuses() gives it) with a fresh restart window,
    // while the others run on: a running instance is asked to terminate
    // (killed after the stop timeout) and started again once it has ended; a
    // finished process, one given up after its restart limit included, is
    // started anew. Its end on the way is no failure. False, with the reason,
    // when no pipeline runs, it is stopping, or no such process has started.
    bool restartProcess(int processIndex, QString* refusal = nullptr);

    // The pipeline that runs, or ran last.
    const PipelineConfig& pipelineConfig() const { return m_pipelineConfig; }
    // How the last pipeline that finished ended; none before the first has.
    const std::optional<Result>& lastResult() const { return m_lastResult; }
    // When the running (or last) pipeline was started; invalid before any.
    QDateTime startedAt() const { return m_startedAt; }
    // One record per process of the running (or last) pipeline that has been
    // started, by index; ended processes keep theirs.
    QList<ProcessStatus> processStatuses() const;

    // The log file that the running pipeline writes, or that the last one
    // wrote last; empty when it had none. At local midnight a running
    // pipeline's log goes on in the new day's file.
    QString logFilePath() const { return m_logFilePath; }
    // A log file that grows beyond `bytes` (0: no limit, the default) is
    // moved aside as a numbered piece, NAME.log.N, and a new file begins;
    // logFileSplit() names the piece, for compression.
    void setLogFileSizeLimit(qint64 bytes);
    qint64 logFileSizeLimit() const { return m_logFileSizeLimit; }

signals:
    void processStarted(int processIndex);
    void processFinished(int processIndex, int exitCode, QProcess::ExitStatus exitStatus);
    void pipelineTerminated();
    void pipelineStarted(QString basename);
    void pipelineFinished(QString basename, PipelineController::PipelineFinishReason finishReason);
    void pipelineFailure(QString basename, PipelineController::PipelineFailureReason failureReason);
    // A termination request is still unanswered at its timeout; the kill
    // follows at once.
    void stopTimedOut();
    // A process of the running pipeline started, ended, or changed its state.
    void processStatusChanged(int processIndex);
    // The pipeline ended because a stop was requested; pipelineFinished follows.
    void pipelineStopped(QString basename);
    void phaseChanged(PipelineController::Phase phase);
    // The log file reached its size limit: its lines so far are in `piecePath`.
    void logFileSplit(QString piecePath);

public slots:
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void startNextPipelineProcess();
    void onPipelineFailure(PipelineController::PipelineFailureReason failureReason);
    void onProcessReadyReadStandardOutput(bool addTimeStamp);
    void onLogPipelineMessage(int pid, QString msg, bool addTimeStamp);

private:
    // Why the pipeline is stopping; a requested stop outranks the others.
    enum class StopCause
    {
        None,
        Terminated, // the controller's own termination: a failure, only daemons left
        Requested,
    };

    // A process of the pipeline by index: the supervisor while it runs, then
    // the last record of it.
    struct Entry
    {
        PipelineProcess* process = nullptr;
        ProcessStatus finalStatus;
        // Once ended, kept until the pipeline has finished: a restart on
        // request starts it anew.
        PipelineProcess* ended = nullptr;
    };

    void setPhase(Phase phase);
    bool setupPipelineLog(const PipelineConfig& pipelineConfig);
    bool openPipelineLog(const QString& path);
    void onDayChanged(const QDate& today);
    void startPipelineProcess(int processIndex);
    bool allProcessesStarted() const;
    bool onlyDaemonsLeft() const;
    bool isActive() const;
    int indexOf(const PipelineProcess* process) const;
    // validate(), and the program of each process as the checks found it.
    QList<ValidationProblem> validate(const PipelineConfig& pipelineConfig,
                                      QStringList* programs) const;
    // Keeps the problems and their texts for the accessors.
    void setValidationProblems(const QList<ValidationProblem>& problems);
    QString timeStampText();
    void closePipelineLog();
    void onProcessFailedToStart(PipelineProcess* process);
    void onProcessFailure(PipelineProcess* process, PipelineFailureReason failureReason);
    void recordResult();
    void terminateIfOnlyDaemonsLeft();
    void finishIfNoProcessesLeft();
    void terminateThenKill(int timeoutMs);
    void signalAll(void (PipelineProcess::*request)(), int signal);
    void retireProcess(PipelineProcess* process, bool mayEndDaemons);
    void updateProcessRecord();

    PipelineConfig m_pipelineConfig;
    Phase m_phase = Phase::Idle;
    StopCause m_stopCause = StopCause::None;
    int m_nextProcessIndex = 0;
    // Every process started so far, by index.
    QVector<Entry> m_processes;
    PipelineFailureReason m_failureReason = PipelineFailureReason::NoFailure;
    // The first failure of the running pipeline, and the index of its process (-1: none).
    PipelineFailureReason m_firstFailureReason = PipelineFailureReason::NoFailure;
    int m_failedProcessIndex = -1;
    std::optional<Result> m_lastResult;
    std::unique_ptr<PipelineLog> m_log;
    // The log's folder and base name, which name the file of each day.
    PipelineConfig m_logNaming;
    QString m_logFilePath;
    qint64 m_logFileSizeLimit = 0;
    std::unique_ptr<DayTimer> m_dayTimer;
    std::unique_ptr<LineSplitter> m_lineSplitter;
    QList<ValidationProblem> m_validationProblems;
    QStringList m_validationErrors;
    // The programs that validation found for the running pipeline, by index.
    QStringList m_programs;
    int m_stopTimeout = 5000;
    QTimer m_stopTimer;
    QTimer m_recordTimer;
    std::unique_ptr<ProcessReaper> m_reaper;
    std::unique_ptr<ProcessRecord> m_record;
    QDateTime m_startedAt;
};
