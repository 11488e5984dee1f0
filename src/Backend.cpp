#include "Backend.h"

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
    return QString();
}

QString Backend::systemDataPath() const
{
    return QString();
}

QString Backend::defaultLogPath() const
{
    return QString();
}

QFileInfo Backend::userSettingsFile() const
{
    return QFileInfo();
}

QFileInfo Backend::systemSettingsFile() const
{
    return QFileInfo();
}

const PipelineConfig* Backend::findPipeline(const QString& basename) const
{
    Q_UNUSED(basename)
    return nullptr;
}

QString Backend::autostartPipelineName() const
{
    return QString();
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
