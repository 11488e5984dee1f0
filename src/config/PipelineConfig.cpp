#include "PipelineConfig.h"

#include <tuple>

namespace {

auto fields(const ProcessConfig& c)
{
    return std::tie(c.exec, c.arguments, c.workingDirectory, c.mode, c.restartOnCrash,
                    c.restartLimit, c.restartPeriod, c.isRequired, c.invalidConfigExitCodes,
                    c.libraryPaths, c.environment, c.timestampLogEntries, c.ready, c.readyTimeout,
                    c.restartDelay, c.restartDelayMax, c.restartOnExit, c.watchdog, c.alive,
                    c.aliveInterval, c.aliveTimeout, c.aliveFailures, c.memoryMax, c.group,
                    c.modeError);
}

auto fields(const PipelineConfig& c)
{
    return std::tie(c.basename, c.name, c.icon, c.processList, c.logBasename, c.logPath,
                    c.restartAt);
}

} // namespace

bool operator==(const ProcessConfig& a, const ProcessConfig& b)
{
    return fields(a) == fields(b);
}

bool operator==(const PipelineConfig& a, const PipelineConfig& b)
{
    return fields(a) == fields(b);
}
