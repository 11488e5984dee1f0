#pragma once

#include "Backend.h"
#include "ControlSession.h"
#include "ExitCode.h"
#include "StopSignal.h"

#include <QEventLoop>
#include <QObject>
#include <QString>

// One pipeline run of the console, from the start request (or the autostart
// countdown) to the pipeline's finish. SIGINT (Ctrl+C), SIGTERM or SIGHUP
// cancels a countdown or stops a running pipeline (the backend kills what is
// left after the stop timeout), and a second one kills it at once; the first
// of them decides the exit status and the words of the end (StopSignal). A pipeline that the
// controller cannot end even by a kill is given up. How far a stop has come is the controller's to
// know; the session knows only whether one of its runs is under way.
class PipelineSession : public QObject, public ControlSession
{
    Q_OBJECT

public:
    // Watches for interrupts from now on; one session per program.
    PipelineSession(Backend& backend, int stopTimeoutMs);
    ~PipelineSession() override;

    // Starts the pipeline now and returns its exit status once it has finished.
    ExitCode run(const PipelineConfig& pipeline);
    // Shows the countdown that initialize() began for this pipeline, then
    // waits for the pipeline it starts.
    ExitCode runAutostart(const PipelineConfig& pipeline);
    // As runAutostart() (for autostart, or with nothing counting down when
    // none), but stays after a pipeline has finished or a countdown was
    // cancelled, for start() requests, until a signal ends it.
    ExitCode serve(const PipelineConfig* autostart);

    // Requests of the control socket.
    bool start(const PipelineConfig& pipeline, QStringList& reasons) override;
    bool stop(int timeoutMs) override;
    int stopTimeoutMs() const override { return m_controller.stopTimeout(); }
    bool cancelCountdown() override;

private:
    void readSignals();
    void onSignal(const StopSignal& signal);
    // Handles the signals that came while the backend was loading; true
    // when one of them ends the launcher before anything starts.
    bool interruptedWhileLoading();
    // Whether the countdown, or a pipeline, runs while the session is open:
    // the countdown's and the controller's to say.
    bool countingDown() const { return m_open && m_countdown.isActive(); }
    bool pipelineRuns() const
    {
        return m_open && m_controller.state() == PipelineController::Running;
    }
    void onCountdownElapsed();
    void onCountdownCancelled(const QString& reason);
    // Ends the countdown on a signal or a request, with the words of the cancel.
    void cancel(ExitCode status);
    void onPipelineFinished(const QString& basename,
                            PipelineController::PipelineFinishReason finishReason);

    void showCountdown(int remainingSecs);
    void refuse();
    void askToTerminate(const StopSignal& signal);
    void finish(ExitCode status);
    void startPipeline(const PipelineConfig& pipeline);
    ExitCode signalled() const { return m_signal.exitCode(); }
    QString name() const;

    Backend& m_backend;
    PipelineController& m_controller;
    AutostartCountdown& m_countdown;
    PipelineConfig m_pipeline;
    // From the start of a run (or of serving) until its end; serving, only a
    // signal ends it.
    bool m_open = false;
    StopSignal m_signal; // the first that arrived
    bool m_serving = false;
    QEventLoop m_loop;
};
