#include "ResultMaps.h"

#include "PipelineWords.h"
#include "support/LauncherSupport.h"

#include <QSet>

namespace ResultMaps {

namespace {

QString failureReasonText(PipelineController::PipelineFailureReason reason)
{
    switch (reason) {
    case PipelineController::NoFailure:
        break;
    case PipelineController::InvalidPipelineFailure:
        return QStringLiteral("the pipeline is not valid");
    case PipelineController::RequiredProcessFailure:
        return QStringLiteral("a required process failed");
    case PipelineController::RequiredProcessInvalidConfigFailure:
        return QStringLiteral("a required process has an invalid configuration");
    }
    return QString();
}

} // namespace

QVariantMap lastResult(const std::optional<PipelineController::Result>& result)
{
    if (!result)
        return QVariantMap();
    const ProcessStatus& failed = result->failedProcess;
    QVariantList stoppedIndexes;
    for (const ProcessStatus& stopped : result->stoppedAfterFailure)
        stoppedIndexes.append(stopped.index);
    return QVariantMap{
        {QStringLiteral("basename"), result->basename},
        {QStringLiteral("name"), result->name},
        {QStringLiteral("outcome"), pipelineWord(result->outcome)},
        {QStringLiteral("failureReason"), failureReasonText(result->failureReason)},
        // For the screen to say it in its own words.
        {QStringLiteral("failureCause"), result->failureReason == PipelineController::NoFailure
                                             ? QString()
                                             : LauncherSupport::enumName(result->failureReason)},
        {QStringLiteral("failedProcessIndex"), failed.index},
        {QStringLiteral("failedProgram"), failed.program},
        {QStringLiteral("failedName"), failed.name},
        {QStringLiteral("failedExitCode"), failed.lastExitCode},
        {QStringLiteral("failedExitSignal"), failed.lastExitSignal},
        {QStringLiteral("failedCrashed"),
         failed.hasExited && failed.lastExitStatus == QProcess::CrashExit},
        {QStringLiteral("failedBecause"), failed.failure},
        {QStringLiteral("failedByItsEnd"), failed.failedByItsEnd},
        {QStringLiteral("stoppedProcesses"), stoppedIndexes},
        {QStringLiteral("startedAt"), result->startedAt},
        {QStringLiteral("finishedAt"), result->finishedAt},
        {QStringLiteral("logFile"), result->logFile},
        {QStringLiteral("problems"), result->problems},
    };
}

QVariantList failureLog(const QStringList& tail,
                        const std::optional<PipelineController::Result>& result)
{
    // A pid of 0 (a process that never ran) is on no line.
    const qint64 failedPid = result ? result->failedProcess.pid : 0;
    QSet<qint64> stoppedPids;
    if (result) {
        for (const ProcessStatus& stopped : result->stoppedAfterFailure)
            stoppedPids.insert(stopped.pid);
    }
    QList<qint64> pids;
    for (const QString& line : tail)
        pids.append(PipelineController::logLinePid(line));
    // What ran well before the failure is no part of it.
    int first = failedPid > 0 ? pids.indexOf(failedPid) : 0;
    if (first < 0)
        first = 0;
    QVariantList marked;
    for (int i = first; i < tail.size(); ++i) {
        const qint64 pid = pids.at(i);
        QString whose;
        if (pid > 0 && pid == failedPid)
            whose = QStringLiteral("failed");
        else if (pid > 0 && stoppedPids.contains(pid))
            whose = QStringLiteral("stopped");
        marked.append(
            QVariantMap{{QStringLiteral("text"), tail.at(i)}, {QStringLiteral("whose"), whose}});
    }
    return marked;
}

} // namespace ResultMaps
