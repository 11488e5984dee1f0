#pragma once

#include "PipelineConfig.h"

#include <QStringList>

// What a front end does on the control socket's requests: each front end
// runs its pipelines its own way (the console stays in its run until the
// pipeline has finished, the screen shows it), so the server asks it.
class ControlSession
{
public:
    virtual ~ControlSession() = default;

    // Runs the pipeline now, ending a countdown; false, with the reasons, when
    // one runs or it is invalid.
    virtual bool start(const PipelineConfig& pipeline, QStringList& reasons) = 0;
    // Stops the running pipeline: killed after the timeout; false when none runs.
    virtual bool stop(int timeoutMs) = 0;
    virtual int stopTimeoutMs() const = 0;
    // Ends the countdown; false when none runs.
    virtual bool cancelCountdown() = 0;

protected:
    ControlSession() = default;
    Q_DISABLE_COPY(ControlSession)
};
