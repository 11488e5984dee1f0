#pragma once

#include "ChildProcess.h"
#include "PipelineConfig.h"
#include "support/TimeStamp.h"

#include <QList>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <memory>

// Supervises one child process of a running pipeline: starts it, restarts it
// after a crash within its restart window, and turns the child's notifications
// into the pipeline-level signals the controller acts on.
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

private:
    void handleNormalExit(int exitCode);
    void handleCrash();
    bool restartLimitReached() const;

    ProcessConfig m_config;
    std::unique_ptr<ChildProcess> m_process;
    bool m_startCanProceedPending = true;
    QList<Solvane::TimeStamp> m_crashTimes;
    bool m_finished = false;
    qint64 m_pid = 0;
    int m_restarts = 0;
    QString m_resolvedProgram;
};
