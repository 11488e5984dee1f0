#include "Backend.h"

#include "support/PlatformUtils.h"

// Placeholder bodies; configuration loading and the backend services land
// with their own work.

Backend::Backend(QObject* parent) : QObject(parent)
{
    connect(&m_pipelineController, &PipelineController::pipelineStarted, this,
            &Backend::pipelineStarted);
    connect(&m_pipelineController, &PipelineController::pipelineFailure, this,
            &Backend::pipelineFailure);
    connect(&m_pipelineController, &PipelineController::pipelineFinished, this,
            &Backend::pipelineFinished);
}

Backend::~Backend() = default;

bool Backend::initialize()
{
    return true;
}

bool Backend::loadConfig(const QFileInfo& file)
{
    Q_UNUSED(file)
    return false;
}

void Backend::readLauncherSettings(QSettings& settings)
{
    Q_UNUSED(settings)
}

PipelineConfig Backend::loadPipelineConfig(const QFileInfo& file)
{
    Q_UNUSED(file)
    return PipelineConfig();
}

PipelineConfig Backend::readPipelineConfig(QSettings& settings)
{
    Q_UNUSED(settings)
    return PipelineConfig();
}

QList<QFileInfo> Backend::userApplicationFiles()
{
    return {};
}

QList<QFileInfo> Backend::systemApplicationFiles()
{
    return {};
}

QList<QFileInfo> Backend::applicationFiles()
{
    return {};
}

int Backend::loadApplications()
{
    return 0;
}

QString Backend::userDataPath() const
{
    return Solvane::PlatformUtils::getModuleUserDataPath("Orvalen/launcher", false);
}

QString Backend::systemDataPath() const
{
    return QStringLiteral("%1/Orvalen/launcher")
        .arg(Solvane::PlatformUtils::windowsProgramDataPath());
}

QString Backend::defaultLogPath() const
{
    return QStringLiteral("%1/logs").arg(userDataPath());
}

QFileInfo Backend::userSettingsFile() const
{
    return QFileInfo(QStringLiteral("%1/launcher.ini").arg(userDataPath()));
}

QFileInfo Backend::systemSettingsFile() const
{
    return QFileInfo(QStringLiteral("%1/launcher.ini").arg(systemDataPath()));
}

const PipelineConfig* Backend::findPipeline(const QString& basename) const
{
    for (const PipelineConfig& pipeline : m_processPipelines) {
        if (pipeline.basename == basename)
            return &pipeline;
    }
    return nullptr;
}

QString Backend::autostartPipelineName() const
{
    const PipelineConfig* pipeline = findPipeline(m_autostartTile);
    return pipeline ? pipeline->name : QString();
}

bool Backend::enableAutostart()
{
    return false;
}

void Backend::disableAutostart() {}

void Backend::rotateLogs() {}

bool Backend::compressFile(const QFileInfo& file)
{
    Q_UNUSED(file)
    return false;
}
