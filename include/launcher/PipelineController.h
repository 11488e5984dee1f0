#pragma once

#include "PipelineConfig.h"
#include "ProcessStatus.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>
#include <string>

class PipelineLog;
class PipelineProcess;
class ProcessReaper;
class ProcessRecord;

// Runs one pipeline at a time: validates it, opens its log, starts its
// processes as their modes release them, and decides when it has failed or
// finished.
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

    PipelineController();
    // Kills whatever still runs and reaps it, silently.
    ~PipelineController() override;

    // Validates and starts a pipeline, with its dated log when asked; false
    // when one runs already or it is invalid (pipelineFailure tells which).
    bool start(const PipelineConfig& pipelineConfig, bool setupLog);
    PipelineState state() const { return m_state; }
    // Checks folders, programs and modes; the reasons go to validationErrors().
    bool isPipelineValid(const PipelineConfig& pipelineConfig);
    const QStringList& validationErrors() const { return m_validationErrors; }
    // Both act on the whole process group of every process, and on the
    // descendants that left their groups.
    void terminateAllProcesses();
    void killAllProcesses();
    // Spins an event loop until the pipeline has finished (true) or the time is up.
    bool waitForPipelineFinished(int timeoutMs);

    // The grace before what a finished pipeline left running is killed, and
    // before the controller's own termination requests (only daemons left, a
    // failure) escalate to a kill.
    void setStopTimeout(int timeoutMs) { m_stopTimeout = timeoutMs; }
    int stopTimeout() const { return m_stopTimeout; }
    // Asks every process to terminate, kills what is left after the timeout,
    // and starts no further process; pipelineFinished tells the end.
    void requestStop(int timeoutMs);
    // The same, returning once the pipeline has finished (true at once when
    // nothing runs); false when it still runs well after the kill.
    bool stop(int timeoutMs);

    // The pipeline that runs, or ran last.
    const PipelineConfig& pipelineConfig() const { return m_pipelineConfig; }
    // When the running (or last) pipeline was started; invalid before any.
    QDateTime startedAt() const { return m_startedAt; }
    // One record per process of the running (or last) pipeline that has been
    // started, by index; ended processes keep theirs.
    QList<ProcessStatus> processStatuses() const;

signals:
    void processStarted(int processIndex);
    void processFinished(int processIndex, int exitCode, QProcess::ExitStatus exitStatus);
    void pipelineTerminated();
    // A termination request is still unanswered at its timeout; the kill
    // follows at once.
    void stopTimedOut();
    void pipelineStarted(QString basename);
    void pipelineFinished(QString basename, PipelineController::PipelineFinishReason finishReason);
    void pipelineFailure(QString basename, PipelineController::PipelineFailureReason failureReason);
    // A process of the running pipeline started, ended or was restarted.
    void processStatusChanged(int processIndex);

public slots:
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void startNextPipelineProcess();
    void onPipelineFailure(PipelineController::PipelineFailureReason failureReason);
    void onProcessReadyReadStandardOutput(bool addTimeStamp);
    void onLogPipelineMessage(int pid, QString msg, bool addTimeStamp);

private:
    void setState(PipelineState state);
    bool setupPipelineLog(const PipelineConfig& pipelineConfig);
    void startPipelineProcess(int processIndex);
    bool allProcessesStarted() const;
    bool onlyDaemonsLeft() const;
    bool checkPipeline(const PipelineConfig& pipelineConfig, QStringList& programs);
    bool validateExecutable(ProcessConfig& processConfig, QStringList& errors);
    QString timeStampText();
    void closePipelineLog();
    void onProcessFailedToStart(PipelineProcess* process);
    void terminateIfOnlyDaemonsLeft();
    void finishIfNoProcessesLeft();
    void terminateThenKill(int timeoutMs);
    void retireProcess(PipelineProcess* process, bool mayEndDaemons);
    void trackGroup(PipelineProcess* process);
    void updateProcessRecord();
    void onChildStarted(int processIndex);
    void onChildFinished(int processIndex, int exitCode, QProcess::ExitStatus exitStatus);
    ProcessStatus::State liveState(int processIndex) const;

    PipelineConfig m_pipelineConfig;
    PipelineState m_state = PipelineState::NotRunning;
    int m_nextProcessIndex = 0;
    QVector<PipelineProcess*> m_processes;
    PipelineFailureReason m_failureReason = PipelineFailureReason::NoFailure;
    std::unique_ptr<PipelineLog> m_log;
    // The lines of one read of a child's output, kept for its capacity.
    std::string m_lineBatch;
    QStringList m_validationErrors;
    // The programs that validation found for the running pipeline, by index.
    QStringList m_programs;
    int m_stopTimeout = 5000;
    bool m_stopping = false;
    QTimer m_stopTimer;
    QTimer m_recordTimer;
    std::unique_ptr<ProcessReaper> m_reaper;
    std::unique_ptr<ProcessRecord> m_record;
    QDateTime m_startedAt;
    // By process index: the records, and the supervisors of those still running.
    QVector<ProcessStatus> m_statuses;
    QVector<PipelineProcess*> m_supervisors;
};
