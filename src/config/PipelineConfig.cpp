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
                    c.modeError, c.label);
}

auto fields(const PipelineConfig& c)
{
    return std::tie(c.basename, c.name, c.icon, c.processList, c.logBasename, c.logPath,
                    c.restartAt);
}

} // namespace

QString processShownName(const ProcessConfig& process)
{
    // Enough of an argument to tell two runs of one interpreter apart.
    const int MaxArgumentLength = 24;
    if (!process.label.isEmpty())
        return process.label;
    QString name = process.exec.section(QLatin1Char('/'), -1);
    for (const QString& argument : process.arguments) {
        if (argument.startsWith(QLatin1Char('-')))
            continue;
        QString shown = argument.simplified();
        if (shown.size() > MaxArgumentLength)
            shown = shown.left(MaxArgumentLength).trimmed() + QChar(0x2026);
        if (!shown.isEmpty())
            name += QStringLiteral(": ") + shown;
        break;
    }
    return name;
}

bool operator==(const ProcessConfig& a, const ProcessConfig& b)
{
    return fields(a) == fields(b);
}

bool operator==(const PipelineConfig& a, const PipelineConfig& b)
{
    return fields(a) == fields(b);
}
