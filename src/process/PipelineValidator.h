#pragma once

#include "PipelineConfig.h"
#include "ValidationProblem.h"

#include <QList>
#include <QStringList>

// The check before a pipeline starts: every working folder exists, every
// program is found where its child would find it and may be executed, every
// readiness gate reads, and something other than daemons runs. It changes
// nothing, neither on disk nor in the configuration.
class PipelineValidator
{
public:
    // Every reason the pipeline cannot start, in the order of its processes,
    // the pipeline's own last; empty when it can. `programs`, when given,
    // gets the program of each process as the check found it (the
    // configured exec where it found none), by index.
    static QList<ValidationProblem> validate(const PipelineConfig& pipelineConfig,
                                             QStringList* programs = nullptr);
};
