#pragma once

#include "Backend.h"

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
    // Watches for interrupts from now on; one session per program.
    PipelineSession(Backend& backend, int stopTimeoutMs);

    // Starts the pipeline now and returns its exit status once it has finished.
    int run(const PipelineConfig& pipeline);
    // Shows the countdown that initialize() began for this pipeline, then
    // waits for the pipeline it starts.
    int runAutostart(const PipelineConfig& pipeline);

private:
    enum class Stage
    {
        Countdown,
        Running,
        Done
    };

    void onInterrupted();
    void onAutostartDisabled();
    void onProcessStarted();
    void onPipelineFinished(const QString& basename,
                            PipelineController::PipelineFinishReason finishReason);

    void showCountdown(int remainingSecs);
    void killProcesses(const QString& why);
    void refuse();
    void finish(int status);
    // The kill was sent; the give-up timer runs from then until the end.
    bool killed() const { return m_giveUpTimer.isActive(); }
    QString name() const;

    Backend& m_backend;
    PipelineController& m_controller;
    PipelineConfig m_pipeline;
    QString m_logFile;
    Stage m_stage = Stage::Done; // until a run begins
    int m_shownSeconds = 0;
    bool m_interrupted = false;
    PipelineController::PipelineFailureReason m_failureReason =
        PipelineController::PipelineFailureReason::NoFailure;
    QTimer m_stopTimer;
    QTimer m_giveUpTimer;
    QEventLoop m_loop;
};
