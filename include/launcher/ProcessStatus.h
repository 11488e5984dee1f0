#pragma once

#include "PipelineConfig.h"

#include <QDateTime>
#include <QMetaType>
#include <QProcess>
#include <QString>
#include <QStringList>

// What a front end shows of one process of the running (or last) pipeline.
// The controller keeps one per process by index, from its start on, and keeps
// it after the process has ended.
struct ProcessStatus
{
    // Where a process is in its life; it is in exactly one at a time.
    enum class State
    {
        Starting,            // its program is being started
        WaitingForReadiness, // running, the pipeline waits for it to be ready
        Running,
        // Ended (or, restarted on request, asked to end); what it left is
        // stopped and its delay runs, then it starts again.
        Restarting,
        Stopping, // asked to terminate; its end is awaited
        Finished
    };

    int index = -1;
    QString program; // as validation found it
    QString name;    // processShownName() of its configuration
    QStringList arguments;
    ProcessMode mode = ProcessMode::Sync;
    bool required = false;
    qint64 pid = 0; // of the current or the last child; 0 before it ran
    State state = State::Starting;
    QDateTime startedAt; // of the current or the last child
    int restarts = 0;
    // Ends of this process object by kind: by a signal or a listed exit
    // code, found hung, stopped over its memory cap.
    int crashes = 0;
    int hangs = 0;
    int memoryCapStops = 0;
    // The last end: its code for a normal exit, the signal for a crash;
    // hasExited is false until the first end.
    bool hasExited = false;
    QProcess::ExitStatus lastExitStatus = QProcess::NormalExit;
    int lastExitCode = 0;
    int lastExitSignal = 0;
    // Ended for good because its restart window was full: it crashed (or
    // exited with a code to restart) too often. A restart on request clears it.
    bool givenUp = false;
    // What a process given up ended with, the ends that filled its restart
    // window by kind (an exit with a code to restart is a crash); a daemon
    // that cannot be started is given up after one failed start. All 0
    // while it is not given up.
    struct Ends
    {
        int crashes = 0;
        int hangs = 0;
        int memoryCapStops = 0;
        int failedStarts = 0;
        bool operator==(const Ends& other) const
        {
            return crashes == other.crashes && hangs == other.hangs &&
                   memoryCapStops == other.memoryCapStops && failedStarts == other.failedStarts;
        }
    };
    Ends givenUpAfter;
    // Why the process failed its pipeline, in words that follow its name
    // ("exited with code 3", "was not ready within 5 s: tcp 8080"); empty
    // while it has not.
    QString failure;
    // The failure is its exit code or signal alone (not a wait for readiness,
    // a start or a restart window): a front end may say it in its own words.
    bool failedByItsEnd = false;
    // The last health check (an alive= check, or a watchdog ping) in words
    // ("ok", "watchdog ping", "timed out after 5 s") and when it was; empty
    // and invalid before the first.
    QString lastCheck;
    QDateTime lastCheckAt;
    // The memory of the process, its group and its descendants at the last
    // look, in bytes, each page by its share among the processes that map it;
    // -1 when not measured (a front end may ask for a look now).
    // unreclaimableMemory: what the kernel cannot take back (anonymous and
    // shared memory, swap), which memory-max counts. memory: all that they
    // map, file pages included (the proportional set size), which reads high
    // for a process that maps a large file, though the kernel drops those
    // pages when it needs room.
    qint64 unreclaimableMemory = -1;
    qint64 memory = -1;

    // "starting", "waiting for readiness", "running", "restarting", "stopping", "finished"
    static const char* stateName(State state)
    {
        switch (state) {
        case State::Starting:
            return "starting";
        case State::WaitingForReadiness:
            return "waiting for readiness";
        case State::Running:
            return "running";
        case State::Restarting:
            return "restarting";
        case State::Stopping:
            return "stopping";
        case State::Finished:
            break;
        }
        return "finished";
    }
};

Q_DECLARE_METATYPE(ProcessStatus)
