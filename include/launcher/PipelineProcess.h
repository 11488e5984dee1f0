#pragma once

#include "PipelineConfig.h"

#include <QList>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <memory>

// Supervises one child process of a running pipeline: starts it, restarts it
// after a crash (or a listed exit code) within its restart window, at once or
// after a delay that doubles with each crash in the window, holds the next
// process back until this one is ready when it has a readiness gate, and turns
// the child's notifications into the pipeline-level signals the controller
// acts on.
class ChildProcess;
class ReadinessProbe;

class PipelineProcess : public QObject
{
    Q_OBJECT

public:
    PipelineProcess(QObject* parent, const ProcessConfig& config);
    ~PipelineProcess() override;

    void start();
    // The program to run, as validation found it; the configured exec when empty.
    void setResolvedProgram(const QString& path) { m_resolvedProgram = path; }

    qint64 processId() const { return m_pid; }
    bool isFinished() const { return m_finished; }
    // How often the child was restarted after a crash.
    int restartCount() const { return m_restarts; }
    ProcessConfig& config() { return m_config; }
    ChildProcess* process() { return m_process.get(); }
    QByteArray readAllStandardOutput();

    bool isWaitingForReadiness() const;
    // A restart waits for its delay.
    bool isRestartPending() const { return m_restartTimer.isActive(); }
    // The gate that reads the process's output while it waits, else null: the
    // reader of the output hands each read to it.
    ReadinessProbe* outputProbe() const { return m_outputProbe; }
    // A stop was requested: no restart follows (one waiting for its delay is
    // dropped, and the process then counts as finished, reported from the
    // event loop), and a readiness wait ends.
    void prepareStop();

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

private slots:
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);
    void onReady();
    void onNotReady();

private:
    void handleNormalExit(int exitCode);
    void handleCrash();
    bool restartLikeCrash(const QString& what);
    void recordCrash();
    bool restartLimitReached() const;
    int restartDelaySeconds() const;
    void finish(int exitCode, QProcess::ExitStatus exitStatus);
    void beginReadinessWait();
    void endReadinessWait(bool failureFollows);
    void releaseOrFail(const QString& message, bool mayFail);

    ProcessConfig m_config;
    std::unique_ptr<ChildProcess> m_process;
    bool m_startCanProceedPending = true;
    QList<qint64> m_crashTimes; // raw time stamps
    bool m_finished = false;
    qint64 m_pid = 0;
    int m_restarts = 0;
    QString m_resolvedProgram;
    std::unique_ptr<ReadinessProbe> m_probe;
    ReadinessProbe* m_outputProbe = nullptr;
    QTimer m_restartTimer;
    bool m_stopRequested = false;
    // The end that a restart waiting for its delay answers.
    int m_lastExitCode = -1;
    QProcess::ExitStatus m_lastExitStatus = QProcess::CrashExit;
};
