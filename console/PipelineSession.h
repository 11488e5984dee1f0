#pragma once

#include "Backend.h"
#include "SignalWatcher.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>

// One pipeline run of the console, from the start request (or the autostart
// countdown) to the pipeline's finish, with the escalation the backend leaves
// to its front end: once the processes were asked to terminate, a pipeline
// still running after the stop timeout is killed. Ctrl+C or SIGTERM cancels a
// countdown, asks a running pipeline to terminate, and a second one kills it.
//
// Exit statuses: 0 finished normally, 1 failed or refused, 130 interrupted.
class PipelineSession : public QObject
{
    Q_OBJECT

public:
    PipelineSession(Backend& backend, int stopTimeoutMs, QObject* parent = nullptr);
    ~PipelineSession() override;

    // Starts the pipeline now and returns its exit status once it has finished.
    int run(const PipelineConfig& pipeline);
    // Shows the countdown that initialize() began for this pipeline, then
    // waits for the pipeline it starts.
    int runAutostart(const PipelineConfig& pipeline);

    // "'Display name' (basename)", or the basename alone when there is no name.
    static QString describe(const PipelineConfig& pipeline);
    // The log file the backend writes for the pipeline when started today.
    static QString logFilePath(const PipelineConfig& pipeline);

private:
    enum class Stage
    {
        Countdown,
        Running,
        Killed,
        Done
    };

    void onInterrupted(int signalNumber);
    void onAutostartTimeRemaining(int remainingSecs);
    void onAutostartDisabled();
    void onProcessStarted();
    void onPipelineFailure(const QString& basename,
                           PipelineController::PipelineFailureReason failureReason);
    void onPipelineTerminated();
    void onPipelineFinished(const QString& basename,
                            PipelineController::PipelineFinishReason finishReason);
    void onStopTimeout();
    void onGiveUpTimeout();

    void showCountdown(int remainingSecs);
    void killProcesses(const QString& why);
    void refuse();
    void finish(int status);
    int waitForEnd();
    QString stopTimeoutText() const;

    Backend& m_backend;
    PipelineController& m_controller;
    const int m_stopTimeoutMs;
    PipelineConfig m_pipeline;
    QString m_logFile;
    Stage m_stage = Stage::Running;
    PipelineController::PipelineFailureReason m_failureReason =
        PipelineController::PipelineFailureReason::NoFailure;
    int m_ticks = 0;
    int m_shownSeconds = 0;
    int m_interrupts = 0;
    bool m_terminationRequested = false;
    int m_status = 0;
    QTimer m_stopTimer;
    QTimer m_giveUpTimer;
    QEventLoop m_loop;
    SignalWatcher m_signalWatcher;
};
