#include "process/PipelineStages.h"

namespace PipelineStages {

namespace {

// Once the pipeline stops, every process has been asked to terminate: a
// further request only brings the kill forward, and the ends that a
// requested stop causes are expected, whatever they are.
Transition whileStopping(Stage stage, Event event)
{
    const bool requested = stage == Stage::StoppingOnRequest || stage == Stage::Restarting;
    switch (event) {
    case Event::Failed:
        if (requested)
            break;
        return {Stage::Failing, Action::None, Action::ReportFailure};
    case Event::OnlyDaemonsLeft:
        if (requested)
            break;
        return {stage, Action::None, Action::EndDaemons};
    case Event::StopRequested:
        // A stop requested during the daily restart ends the pipeline.
        if (stage == Stage::StoppingOnRequest)
            return {stage, Action::None, Action::HastenStop};
        return {Stage::StoppingOnRequest, Action::None, Action::StopAgain};
    case Event::TerminateRequested:
        return {stage, Action::None, Action::Terminate};
    case Event::KillRequested:
        return {stage, Action::None, Action::Kill};
    case Event::ProcessesEnded:
        return {stage, Action::None, Action::AwaitLeftovers};
    case Event::AllGone:
        if (stage == Stage::Restarting)
            return {Stage::Starting, Action::StartAgain, Action::StartNext};
        if (stage == Stage::StoppingOnRequest)
            return {Stage::Finished, Action::ConcludeStopped, Action::FinishStopped};
        return {Stage::Finished, Action::Conclude, Action::Finish};
    case Event::StopOverdue:
        return {stage, Action::None, Action::AnnounceKill};
    case Event::KillOverdue:
        return {stage, Action::None, Action::GiveUp};
    default:
        break;
    }
    return {stage};
}

} // namespace

Transition transition(Stage stage, Event event)
{
    switch (stage) {
    case Stage::Idle:
    case Stage::Finished:
        // The requests are logged and announced even when nothing runs.
        if (event == Event::Start)
            return {Stage::Starting, Action::Begin, Action::StartNext};
        if (event == Event::TerminateRequested)
            return {stage, Action::None, Action::Terminate};
        if (event == Event::KillRequested)
            return {stage, Action::None, Action::Kill};
        return {stage};
    case Stage::Starting:
        if (event == Event::Released)
            return {stage, Action::None, Action::StartNext};
        if (event == Event::AllReleased)
            return {Stage::Running};
        [[fallthrough]];
    case Stage::Running:
        switch (event) {
        case Event::Failed:
            return {Stage::Failing, Action::None, Action::ReportFailure};
        case Event::OnlyDaemonsLeft:
            return {Stage::Ending, Action::None, Action::EndDaemons};
        case Event::StopRequested:
            return {Stage::StoppingOnRequest, Action::None, Action::StopOnRequest};
        case Event::TerminateRequested:
            return {Stage::Ending, Action::None, Action::Terminate};
        case Event::KillRequested:
            return {Stage::Ending, Action::None, Action::Kill};
        case Event::ProcessesEnded:
            return {Stage::Ending, Action::None, Action::AwaitLeftovers};
        case Event::AllGone:
            return {Stage::Finished, Action::Conclude, Action::Finish};
        case Event::RestartDue:
            return {Stage::Restarting, Action::None, Action::StopForRestart};
        default:
            return {stage};
        }
    case Stage::Ending:
    case Stage::Failing:
    case Stage::StoppingOnRequest:
    case Stage::Restarting:
        return whileStopping(stage, event);
    }
    return {stage};
}

PipelineController::Phase phaseOf(Stage stage)
{
    switch (stage) {
    case Stage::Idle:
        break;
    case Stage::Starting:
        return PipelineController::Phase::Starting;
    case Stage::Running:
        return PipelineController::Phase::Running;
    case Stage::Ending:
    case Stage::Failing:
    case Stage::StoppingOnRequest:
    case Stage::Restarting:
        return PipelineController::Phase::Stopping;
    case Stage::Finished:
        return PipelineController::Phase::Finished;
    }
    return PipelineController::Phase::Idle;
}

} // namespace PipelineStages
