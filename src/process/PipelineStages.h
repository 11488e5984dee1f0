#pragma once

#include "PipelineController.h"

#include <QObject>

// The stages of a pipeline's run and what moves it from one to the next: the
// controller's transition table. The table alone chooses the next stage; the
// controller's actions only act (log, signal, start), before the stage
// changes or once it has.
namespace PipelineStages {
Q_NAMESPACE

enum class Stage
{
    Idle, // the value-initialised stage: no pipeline has run yet
    Starting,
    Running,
    Ending,            // normally: only daemons, or what the processes left, remain
    Failing,           // a required process failed
    StoppingOnRequest, // a stop was requested before any failure
    Restarting,        // stopping for the daily restart, to start again once stopped
    Finished,
};
Q_ENUM_NS(Stage)

enum class Event
{
    Start,              // a valid pipeline's start was accepted
    Released,           // a process released the next one
    AllReleased,        // the last process of the list is being started
    OnlyDaemonsLeft,    // every process was started, and only daemons run
    Failed,             // a required process failed
    StopRequested,      // requestStop()
    TerminateRequested, // terminateAllProcesses()
    KillRequested,      // killAllProcesses()
    ProcessesEnded,     // no process of the pipeline runs, but what they left does
    AllGone,            // nothing of the pipeline runs any more
    StopOverdue,        // the stop's grace is over: everything was killed
    KillOverdue,        // something still runs well after the kill
    RestartDue,         // the daily restart time has come
};
Q_ENUM_NS(Event)

enum class Action
{
    None,
    Begin,          // a new run: its result, its restart time, the last run's leftovers killed
    StartNext,      // the next process of the list starts
    StartAgain,     // the daily restart: the ended processes go and the run begins anew
    ReportFailure,  // the failure is logged and kept; every process is asked to terminate
    EndDaemons,     // only daemons are left: every process is asked to terminate
    StopOnRequest,  // every process is asked to terminate, killed after the request's grace
    StopAgain,      // a request during another stop: logged, the kill due within its grace
    HastenStop,     // the kill is due within the new request's grace
    StopForRestart, // as on request, with the reason in the log
    Terminate,      // every process is asked to terminate, with no deadline of its own
    Kill,           // everything is killed
    AwaitLeftovers, // what the processes left is asked to terminate, killed after the timeout
    AnnounceKill,   // the stop's kill is told
    GiveUp,         // the kill's failure to end everything is told
    Conclude,       // the result is completed before anyone hears of the finish
    ConcludeStopped,
    Finish, // the finish is told
    FinishStopped,
};
Q_ENUM_NS(Action)

struct Transition
{
    Stage next;
    Action before = Action::None; // done in the old stage
    Action after = Action::None;  // done once the new stage is entered
};

// For each stage, what each event does; an event that a stage does not name
// changes nothing.
Transition transition(Stage stage, Event event);

PipelineController::Phase phaseOf(Stage stage);

} // namespace PipelineStages
