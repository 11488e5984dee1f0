#pragma once

#include <QString>

namespace Solvane {

// The facts of one of the launcher's events, beside the line that tells it
// (Trace::EventScope): a front end that keeps structured records takes them
// from here rather than from the words of the line.
struct TraceEvent
{
    enum class Kind
    {
        Started,
        Finished,
        Failed,
        ProcessCrashed,
        GivenUp,
        Hung,
        MemoryCap,
        StoppedOnRequest,
    };

    Kind kind = Kind::Started;
    QString app;       // the application's base name
    int process = -1;  // its index; -1 for the pipeline as a whole
    QString program;   // empty without a process
    qint64 pid = 0;    // 0 when none ran
    int exitCode = -1; // of a normal exit; -1 when none
    int signal = 0;    // that ended it; 0 when none
    QString reason;    // the pipeline's failure reason; empty when none
};

} // namespace Solvane
