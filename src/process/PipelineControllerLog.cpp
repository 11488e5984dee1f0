// The controller's log files: the file of each day, its size limits, and
// the counts of what was written.

#include "PipelineController.h"

#include "logs/PipelineLog.h"
#include "support/DateChangeTimer.h"
#include "support/LauncherSupport.h"

#include <algorithm>

using LauncherSupport::launcherPid;

bool PipelineController::setupPipelineLog(const PipelineConfig& pipelineConfig)
{
    closePipelineLog();
    m_logNaming = PipelineConfig();
    m_logNaming.logPath = pipelineConfig.logPath;
    m_logNaming.logBasename = pipelineConfig.logBasename;
    if (!openPipelineLog(PipelineLog::filePath(m_logNaming)))
        return false;
    m_dayTimer->start();
    return true;
}

// The file at `path` becomes the log; when it cannot be opened, the log that
// is open stays.
bool PipelineController::openPipelineLog(const QString& path)
{
    std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
    if (!log)
        return false;
    if (m_log)
        onLogPipelineMessage(launcherPid(),
                             QStringLiteral("Pipeline log continues in %1").arg(log->filePath()),
                             true);
    retirePipelineLog();
    m_log = std::move(log);
    m_logFilePath = m_log->filePath();
    applyLogLimits();
    onLogPipelineMessage(launcherPid(), QStringLiteral("Using pipeline log %1").arg(m_logFilePath),
                         true);
    return true;
}

// A run that goes on past midnight writes the new day's file from then on.
void PipelineController::onDayChanged(const QDate& today)
{
    if (!m_log)
        return;
    const QString path = PipelineLog::filePath(m_logNaming, today);
    if (path != m_log->filePath())
        openPipelineLog(path);
}

void PipelineController::setLogFileSizeLimit(qint64 bytes)
{
    m_logFileSizeLimit = std::max<qint64>(bytes, 0);
    applyLogLimits();
}

void PipelineController::setLogFolderLimit(const QString& folder, qint64 maxTotalSize)
{
    m_logFolder = folder;
    m_logFolderSizeLimit = std::max<qint64>(maxTotalSize, 0);
    applyLogLimits();
}

void PipelineController::applyLogLimits()
{
    if (m_log)
        m_log->limitSize(m_logFileSizeLimit, m_logFolder, m_logFolderSizeLimit,
                         [this](const QString& piece) { emit logFileSplit(piece); });
}

void PipelineController::closePipelineLog()
{
    m_dayTimer->stop();
    retirePipelineLog();
}

void PipelineController::retirePipelineLog()
{
    if (!m_log)
        return;
    m_closedLogBytes += m_log->bytesWritten();
    m_closedLogLinesLost += m_log->linesLost();
    m_log.reset();
}

qint64 PipelineController::logBytesWritten() const
{
    return m_closedLogBytes + (m_log ? m_log->bytesWritten() : 0);
}

qint64 PipelineController::logLinesLost() const
{
    return m_closedLogLinesLost + (m_log ? m_log->linesLost() : 0);
}
