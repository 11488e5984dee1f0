#include "PipelineProcess.h"

// Placeholder bodies; the supervision logic lands with the pipeline control work.

PipelineProcess::PipelineProcess(QObject* parent, const ProcessConfig& config)
    : QObject(parent), m_config(config)
{
}

PipelineProcess::~PipelineProcess() = default;

void PipelineProcess::start() {}

QByteArray PipelineProcess::readAllStandardOutput()
{
    return m_process ? m_process->readAllStandardOutput() : QByteArray();
}

QProcessEnvironment PipelineProcess::buildEnvironment(const ProcessConfig& config)
{
    Q_UNUSED(config)
    return QProcessEnvironment::systemEnvironment();
}

void PipelineProcess::onProcessStarted() {}

void PipelineProcess::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode)
    Q_UNUSED(exitStatus)
}

void PipelineProcess::onErrorOccurred(QProcess::ProcessError error)
{
    Q_UNUSED(error)
}

void PipelineProcess::handleNormalExit(int exitCode)
{
    Q_UNUSED(exitCode)
}

void PipelineProcess::handleCrash() {}

bool PipelineProcess::restartLimitReached() const
{
    return true;
}
