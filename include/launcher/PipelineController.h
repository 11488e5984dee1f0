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

class TimeOfDayTimer;
class DateChangeTimer;
class LineSplitter;
class PipelineLog;
class PipelineProcess;
class ProcessReaper;
class ProcessRecord;

namespace PipelineStages {
enum class Stage;
enum class Event;
enum class Action;
} // namespace PipelineStages

// Runs one pipeline at a time: validates it, opens its log, starts its
// processes as their modes release them, and decides when it has failed,
// when it must stop and when it has finished.
//
// A pipeline goes through one stage at a time, chosen by a table of stages
// and events and changed only by handle(): it
// is starting (processes are still to be released), running (all have been
// started), then ending normally (only daemons are left, or what the ended
// processes left running), failing (a required process failed) or stopping on
// request; in these three its processes and what they left are asked to
// terminate and killed after the stop timeout. It has finished once nothing
// of it runs any more. Its outcome is fixed as it enters a stage: failed
// once a failure is reported, else stopped once a stop is requested. At its
// daily restart time (restart-at) a running pipeline stops as on request and,
// once nothing of it runs, starts again: it never finishes on the way, so a
// front end sees it stop and start but not end.
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

    // What a front end shows of the stage.
    enum class Phase
    {
        Idle,     // no pipeline has run yet
        Starting, // processes of the pipeline are still to be started
        Running,  // every process has been started
        Stopping, // it is ending: its processes, or what they left, are asked to terminate
        Finished, // nothing of it runs any more
    };
    Q_ENUM(Phase)

    // How a pipeline ended (Result::outcome).
    enum class Outcome
    {
        Normal,  // no failure, no stop request
        Failed,  // a failure was reported (before any stop request)
        Stopped, // stopped on request
    };
    Q_ENUM(Outcome)

    // Every log line reaches Qt's message output as an info message of the
    // category "default"; a line that a child wrote has this as its context's
    // function, one of the launcher's own has none.
    static constexpr const char* ChildOutput = "launcher-child-output";
    // The process id that a line of the log begins with ("[ PID ] ..."): the
    // child's for its own lines and its ends, the launcher's for its own.
    // 0 for a line that has none.
    static qint64 logLinePid(const QString& line);

    // How a pipeline ended, for a front end to show once nothing runs.
    struct Result
    {
        using Outcome = PipelineController::Outcome;

        QString basename;
        QString name;
        Outcome outcome = Outcome::Normal;
        // The first failure reported: what set the pipeline's stop off.
        PipelineFailureReason failureReason = NoFailure;
        QDateTime startedAt;
        QDateTime finishedAt;
        // The process whose failure that was, as it ended (its failure in
        // words included); index -1 when no process was the cause.
        ProcessStatus failedProcess;
        // The processes that still ran when the failure was reported, as they
        // were then: the launcher asked them to end, so their ends are its
        // clean-up, not more faults.
        QList<ProcessStatus> stoppedAfterFailure;
        // Why a pipeline that is not valid was refused; empty otherwise.
        QStringList problems;
        // The file its log went to last; empty when it had none.
        QString logFile;
    };

    PipelineController();
    // Kills whatever still runs and reaps it, silently.
    ~PipelineController() override;

    // Validates and starts a pipeline, with its dated log when asked; false
    // when one runs already or it is invalid (pipelineFailure tells which).
    bool start(const PipelineConfig& pipelineConfig, bool setupLog);
    // Running from an accepted start until nothing of the pipeline runs.
    PipelineState state() const;
    Phase phase() const;
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
    // terminate is not asked again. Either ends the pipeline.
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
    // comes before pipelineFinished(), once nothing of the pipeline runs.
    void requestStop(int timeoutMs);
    // The same, returning once the pipeline has finished (true at once when
    // nothing runs); false when it still runs well after the kill.
    bool stop(int timeoutMs);
    // A stop was requested for the running pipeline (or its daily restart
    // stops it): the ends it causes are no failures.
    bool isStopRequested() const;
    // When the running pipeline is restarted next by its restart-at; invalid
    // when it has none or nothing runs.
    QDateTime nextRestart() const;
    // The pipeline's processes were killed: what asking did not end.
    bool isKilling() const;

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
    // How the last pipeline that finished, or was refused as not valid,
    // ended; none before the first.
    const std::optional<Result>& lastResult() const { return m_lastResult; }
    // When the running (or last) pipeline was started; invalid before any.
    QDateTime startedAt() const { return m_result.startedAt; }
    // One record per process of the running (or last) pipeline that has been
    // started, by index; ended processes keep theirs. With `measureMemory`,
    // the memory of each running process is looked at now (a request's cost,
    // not a timer's), where no memory-max has it measured already.
    QList<ProcessStatus> processStatuses(bool measureMemory = false) const;

    // The log file that the running pipeline writes, or that the last one
    // wrote last; empty when it had none. At local midnight a running
    // pipeline's log goes on in the new day's file.
    QString logFilePath() const { return m_logFilePath; }
    // A log file that grows beyond `bytes` (0: no limit, the default) is
    // moved aside as a numbered piece, NAME.log.N, and a new file begins;
    // logFileSplit() names the piece, for compression.
    void setLogFileSizeLimit(qint64 bytes);
    qint64 logFileSizeLimit() const { return m_logFileSizeLimit; }
    // A log file in `folder` (or below it) keeps the logs there within
    // `maxTotalSize` bytes (0: no limit) at every moment: older pieces not yet
    // compressed go, or output is dropped, and the file says how much.
    void setLogFolderLimit(const QString& folder, qint64 maxTotalSize);
    // Over the controller's life, of every log it has written: the bytes that
    // reached the files, and the lines that could not be written or were
    // dropped. Counted by the logs as they write, added up only when asked.
    qint64 logBytesWritten() const;
    qint64 logLinesLost() const;

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
    // Something of the pipeline still runs well after the kill (a process
    // stuck in the kernel): an owner may give up waiting.
    void killTimedOut();
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
    // What the instance `pid` of the sending process wrote in one read: each
    // line goes to the message output and, with the other lines of the read,
    // in one write to the log. The sending process's add-log-timestamp says
    // whether the lines carry the time of the read.
    void onProcessOutput(qint64 pid, const QByteArray& bytes);
    // What the sending process's child wrote and nobody has read yet, logged
    // as onProcessOutput logs a read, with the time of the read when
    // addTimeStamp.
    void onProcessReadyReadStandardOutput(bool addTimeStamp);
    void onLogPipelineMessage(int pid, QString msg, bool addTimeStamp);

private:
    using Stage = PipelineStages::Stage;
    using Event = PipelineStages::Event;
    using Action = PipelineStages::Action;

    // Each line of a read to the message output, the read's lines in one
    // write to the log.
    void logChildOutput(qint64 pid, const QByteArray& bytes, bool addTimeStamp);

    struct EventData
    {
        PipelineFailureReason reason = NoFailure;
        int processIndex = -1;
        int timeoutMs = 0;
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

    void handle(Event event);
    void handle(Event event, const EventData& data);
    void act(Action action, const EventData& data);
    void enter(Stage stage);

    // What the transitions do.
    void begin();
    void startNext();
    void startAgain();
    void reportFailure(const EventData& data);
    void askAll(int graceMs);
    void killAll();
    void endDaemons();
    void stopOnRequest(int graceMs);
    void stopForRestart();
    void awaitLeftovers();
    void conclude(bool onRequest);
    void finish(bool onRequest);

    bool setupPipelineLog(const PipelineConfig& pipelineConfig);
    bool openPipelineLog(const QString& path);
    void onDayChanged(const QDate& today);
    void startPipelineProcess(int processIndex);
    void connectProcess(PipelineProcess* process, int processIndex);
    // What a process tells, in the log and the trace.
    void onProcessStarted(PipelineProcess* process, int processIndex);
    void onProcessGivenUp(PipelineProcess* process, int processIndex, const QString& message);
    void onProcessUnwell(PipelineProcess* process, int processIndex, const QString& message,
                         bool overMemory);
    bool allProcessesStarted() const;
    bool onlyDaemonsLeft() const;
    bool anyProcessLeft() const;
    bool isActive() const;
    int indexOf(const PipelineProcess* process) const;
    QString timeStampText();
    void closePipelineLog();
    // Closes the log, keeping its counts.
    void retirePipelineLog();
    void applyLogLimits();
    void onProcessFailedToStart(PipelineProcess* process);
    void onProcessFailure(PipelineProcess* process, PipelineFailureReason failureReason);
    void retireProcess(PipelineProcess* process, bool mayEndDaemons);
    void updateProcessRecord();
    void setValidationProblems(const QList<ValidationProblem>& problems);

    PipelineConfig m_pipelineConfig;
    Stage m_stage{}; // Idle
    int m_nextProcessIndex = 0;
    // The index of the process the run started with: 0, unless the ones
    // before it could not be created; -1 before any has started.
    int m_firstStarted = -1;
    // Every process started so far, by index.
    QVector<Entry> m_processes;
    // The running (or last) pipeline's result as far as it is known.
    Result m_result;
    std::optional<Result> m_lastResult;
    std::unique_ptr<PipelineLog> m_log;
    // The log's folder and base name, which name the file of each day.
    PipelineConfig m_logNaming;
    QString m_logFilePath;
    qint64 m_logFileSizeLimit = 0;
    QString m_logFolder;
    qint64 m_logFolderSizeLimit = 0;
    // The logs' counts of those closed so far.
    qint64 m_closedLogBytes = 0;
    qint64 m_closedLogLinesLost = 0;
    std::unique_ptr<DateChangeTimer> m_dayTimer;
    // Runs only while a pipeline with restart-at runs.
    std::unique_ptr<TimeOfDayTimer> m_restartTimer;
    std::unique_ptr<LineSplitter> m_lineSplitter;
    QList<ValidationProblem> m_validationProblems;
    QStringList m_validationErrors;
    // The programs that validation found for the running pipeline, by index.
    QStringList m_programs;
    int m_stopTimeout = 5000;
    QTimer m_recordTimer;
    std::unique_ptr<ProcessReaper> m_reaper;
    std::unique_ptr<ProcessRecord> m_record;
};
