#include "PipelineController.h"

#include "PipelineProcess.h"

// Placeholder bodies; the pipeline logic lands with the pipeline control work.

PipelineController::PipelineController()
    : m_lineSplitter(QStringLiteral("\n|\r\n|\r"), Qt::CaseSensitive, QRegExp::RegExp)
{
}

PipelineController::~PipelineController() = default;

bool PipelineController::start(const PipelineConfig& pipelineConfig, bool setupLog)
{
    Q_UNUSED(pipelineConfig)
    Q_UNUSED(setupLog)
    return false;
}

bool PipelineController::isPipelineValid(const PipelineConfig& pipelineConfig)
{
    Q_UNUSED(pipelineConfig)
    return false;
}

void PipelineController::terminateAllProcesses() {}

void PipelineController::killAllProcesses() {}

bool PipelineController::waitForPipelineFinished(int timeoutMs)
{
    Q_UNUSED(timeoutMs)
    return true;
}

void PipelineController::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode)
    Q_UNUSED(exitStatus)
}

void PipelineController::startNextPipelineProcess() {}

void PipelineController::onPipelineFailure(PipelineController::PipelineFailureReason failureReason)
{
    Q_UNUSED(failureReason)
}

void PipelineController::onProcessReadyReadStandardOutput(bool addTimeStamp)
{
    Q_UNUSED(addTimeStamp)
}

void PipelineController::onLogPipelineMessage(int pid, QString msg, bool addTimeStamp)
{
    Q_UNUSED(pid)
    Q_UNUSED(msg)
    Q_UNUSED(addTimeStamp)
}

void PipelineController::setState(PipelineState state)
{
    m_state = state;
}

bool PipelineController::setupPipelineLog(const PipelineConfig& pipelineConfig)
{
    Q_UNUSED(pipelineConfig)
    return false;
}

void PipelineController::startPipelineProcess(int processIndex)
{
    Q_UNUSED(processIndex)
}

bool PipelineController::allProcessesStarted() const
{
    return m_nextProcessIndex == m_pipelineConfig.processList.size();
}

bool PipelineController::onlyDaemonsLeft() const
{
    return false;
}

bool PipelineController::validateExecutable(ProcessConfig& processConfig, QStringList& errors)
{
    Q_UNUSED(processConfig)
    Q_UNUSED(errors)
    return false;
}

QString PipelineController::timeStampText()
{
    return QString();
}
