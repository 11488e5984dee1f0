#pragma once

#include "PipelineConfig.h"

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QVector>

#include <memory>
#include <string>

class PipelineLog;
class PipelineProcess;

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
    ~PipelineController() override;

    bool start(const PipelineConfig& pipelineConfig, bool setupLog);
    PipelineState state() const { return m_state; }
    bool isPipelineValid(const PipelineConfig& pipelineConfig);
    const QStringList& validationErrors() const { return m_validationErrors; }
    void terminateAllProcesses();
    void killAllProcesses();
    bool waitForPipelineFinished(int timeoutMs);

signals:
    void processStarted(int processIndex);
    void processFinished(int processIndex, int exitCode, QProcess::ExitStatus exitStatus);
    void pipelineTerminated();
    void pipelineStarted(QString basename);
    void pipelineFinished(QString basename, PipelineController::PipelineFinishReason finishReason);
    void pipelineFailure(QString basename, PipelineController::PipelineFailureReason failureReason);

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
    bool validateExecutable(ProcessConfig& processConfig, QStringList& errors);
    QString timeStampText();
    void closePipelineLog();
    void onProcessFailedToStart(PipelineProcess* process);
    void terminateIfOnlyDaemonsLeft();
    void finishIfNoProcessesLeft();

    PipelineConfig m_pipelineConfig;
    PipelineState m_state = PipelineState::NotRunning;
    int m_nextProcessIndex = 0;
    QVector<PipelineProcess*> m_processes;
    PipelineFailureReason m_failureReason = PipelineFailureReason::NoFailure;
    std::unique_ptr<PipelineLog> m_log;
    // The lines of one read of a child's output, kept for its capacity.
    std::string m_lineBatch;
    QStringList m_validationErrors;
};
