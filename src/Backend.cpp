#include "Backend.h"

#include "ConfigLinter.h"
#include "PipelineWords.h"
#include "ResultMaps.h"
#include "config/ConfigKeys.h"
#include "config/LauncherSettingsReader.h"
#include "config/PipelineFileReader.h"
#include "config/PipelineProblems.h"
#include "config/SettingsFile.h"
#include "logs/LogMaintenance.h"
#include "logs/LogRotation.h"
#include "logs/PipelineLog.h"
#include "metrics/Metrics.h"
#include "metrics/MetricsTextfile.h"
#include "process/ProcessRecord.h"
#include "support/DateChangeTimer.h"
#include "support/FileTail.h"
#include "support/PlatformUtils.h"
#include "support/TimeStamp.h"
#include "support/Trace.h"
#include "support/Version.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QMetaEnum>
#include <QSet>

#include <algorithm>
#include <climits>

namespace {

// What a launcher that died left running gets this long to end before it is killed.
const int LeftoverGraceMs = 1000;

// The least time between two logRotationProgress() signals.
const qint64 LogRotationProgressMs = 1000;

// The rotations' clock is the one that names the log files.
QDateTime now()
{
    return QDateTime::fromMSecsSinceEpoch(Solvane::TimeStamp::currentTime().msecsSinceEpoch());
}

// What the rotation of `folder` keeps and removes, as the settings say. The
// file being written, and the one of today, which the controller may not have
// moved on to yet when a new day begins, are never old.
LogRotation rotationOf(const QString& folder, const LauncherSettings& settings,
                       const PipelineController& controller)
{
    LogRotation rotation(folder, settings.logRotatePeriod);
    rotation.setKeepDays(settings.logKeepDays);
    rotation.setMaxTotalSize(settings.logMaxTotalSize);
    if (controller.state() == PipelineController::Running)
        rotation.setExcluded(
            {controller.logFilePath(),
             PipelineLog::filePath(controller.pipelineConfig(), DateChangeTimer::today())});
    return rotation;
}

} // namespace

struct Backend::Files
{
    std::unique_ptr<SettingsFile> settings;
    std::vector<SettingsFile> pipelines;
};

struct Backend::Private
{
    explicit Private(PipelineController* controller)
        : metrics(controller), metricsTextfile([this] { return metrics.text(); })
    {
    }

    // The files as loaded, bytes and all: the linter reads none of them again.
    Files files;
    // Follows the controller from its construction on.
    Metrics metrics;
    // Removes its file when the launcher ends.
    MetricsTextfile metricsTextfile;
    LogMaintenance logMaintenance;
    DateChangeTimer dayTimer;
};

Backend::Backend(QObject* parent)
    : QObject(parent), d(std::make_unique<Private>(&m_pipelineController))
{
    // Queued connections and a QML front end's handlers see the values of
    // these signal arguments only when their types are known by the very
    // names the signals use.
    qRegisterMetaType<PipelineController::PipelineFinishReason>(
        "PipelineController::PipelineFinishReason");
    qRegisterMetaType<PipelineController::PipelineFailureReason>(
        "PipelineController::PipelineFailureReason");
    qRegisterMetaType<PipelineController::Phase>("PipelineController::Phase");
    qRegisterMetaType<ProcessStatus>("ProcessStatus");
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    qRegisterMetaType<ApplicationModel*>("ApplicationModel*");
    qRegisterMetaType<ProcessModel*>("ProcessModel*");

    applySettings(LauncherSettingsReader::defaults());
    m_processModel.setController(&m_pipelineController);
    connect(&m_pipelineController, &PipelineController::phaseChanged, this,
            &Backend::onPhaseChanged);
    // A pipeline that is not valid never runs: its refusal is its result.
    connect(&m_pipelineController, &PipelineController::pipelineFailure, this,
            [this](const QString&, PipelineController::PipelineFailureReason reason) {
                if (reason == PipelineController::InvalidPipelineFailure)
                    emit lastResultChanged();
            });
    // The countdown's signals are the backend's, in their order; its end
    // starts the application as loaded then, which a reload during the
    // countdown may have changed. The record is copied, since the start may
    // reach a front end's handlers, which may reload.
    connect(&m_autostartCountdown, &AutostartCountdown::elapsed, this,
            [this](const QString& application) {
                if (const PipelineConfig* pipeline = findPipeline(application)) {
                    const PipelineConfig record = *pipeline;
                    m_pipelineController.start(record, true);
                }
            });
    connect(&m_autostartCountdown, &AutostartCountdown::timeRemaining, this,
            &Backend::autostartTimeRemaining);
    connect(&m_autostartCountdown, &AutostartCountdown::secondsChanged, this,
            &Backend::autostartSecondsChanged);
    connect(&m_autostartCountdown, &AutostartCountdown::cancelled, this,
            &Backend::autostartCancelled);
    connect(&m_autostartCountdown, &AutostartCountdown::disabled, this,
            &Backend::autostartDisabled);
    connect(&d->logMaintenance, &LogMaintenance::finished, this, &Backend::logsRotated);
    connect(&d->dayTimer, &DateChangeTimer::dayChanged, this, &Backend::rotateLogsInBackground);
    connect(&m_pipelineController, &PipelineController::logFileSplit, this,
            &Backend::onLogFileSplit);
    connect(&m_pipelineController, &PipelineController::pipelineStarted, this,
            &Backend::pipelineStarted);
    connect(&m_pipelineController, &PipelineController::pipelineFailure, this,
            &Backend::pipelineFailure);
    connect(&m_pipelineController, &PipelineController::pipelineFinished, this,
            &Backend::pipelineFinished);
    connect(&m_pipelineController, &PipelineController::pipelineStopped, this,
            &Backend::pipelineStopped);
}

// The controller ends what still runs as it goes, after the members that its
// signals' handlers here use are gone.
Backend::~Backend()
{
    disconnect(&m_pipelineController, nullptr, this, nullptr);
}

// What a launcher that died left running goes first: it may hold what the
// applications need. Then the settings (they name the rotate period and the
// autostart pipeline), the pipelines that autostart looks up, the log
// maintenance, and the countdown last.
bool Backend::initialize()
{
    ProcessRecord().cleanUpAfterEndedLaunchers(LeftoverGraceMs);
    load();
    // The folder as the start-up finds it: a front end may change the
    // environment that names it afterwards.
    m_logFolder = defaultLogPath();
    m_pipelineController.setLogFolderLimit(m_logFolder, logMaxTotalSize());
    // To its end before anything runs: what a front end finds in the logs
    // folder once the start-up is over is rotated.
    rotateLogs();
    d->dayTimer.start();
    if (isAutoStartEnabled())
        enableAutostart();
    return true;
}

bool Backend::load()
{
    const SettingsFile::Batch batch;
    loadSettingsFile();
    emit settingsChanged();
    Solvane::Trace::info("Loaded %d applications", loadApplications());
    return true;
}

// In place of what was loaded, so that reading the same files again and again
// holds the same memory. What runs has its own copy of its pipeline.
QList<ConfigProblem> Backend::reload()
{
    QList<ConfigProblem> problems;
    const SettingsFile::Batch batch;
    // A settings file removed since the last look leaves every default.
    m_settingsFilePath.clear();
    d->files.settings.reset();
    applySettings(LauncherSettingsReader::defaults());
    const QString settingsProblem = loadSettingsFile();
    if (!settingsProblem.isEmpty())
        problems.append({ConfigProblem::Severity::Error, m_settingsFilePath, QString(), QString(),
                         settingsProblem});

    Files files;
    QList<PipelineConfig> pipelines;
    readApplications(files, pipelines, problems);
    const bool changed = pipelines != m_processPipelines;
    m_processPipelines.swap(pipelines);
    d->files.pipelines.swap(files.pipelines);
    m_configProblems.reset();
    Solvane::Trace::info("Reloaded %d applications", int(m_processPipelines.size()));
    emit settingsChanged();
    updateApplicationModel();
    if (changed)
        emit applicationsChanged();
    if (m_autostartCountdown.isActive())
        followCountdown();
    return problems;
}

namespace {

// A QFileInfo from a folder listing caches that the file existed; a file
// removed since then must count as missing.
bool existsNow(const QFileInfo& file)
{
    return QFileInfo::exists(file.absoluteFilePath());
}

// FIFOs, sockets and devices too: each is listed and warned about as no
// regular file, never opened.
QList<QFileInfo> pipelineFilesIn(const QString& folder, QDir::SortFlags order = QDir::Name)
{
    return QDir(folder).entryInfoList({QStringLiteral("*.ini")}, QDir::Files | QDir::System, order);
}

} // namespace

bool Backend::loadConfig(const QFileInfo& info)
{
    const SettingsFile file(info.absoluteFilePath());
    if (!file.exists())
        return false;
    applySettings(LauncherSettingsReader::read(file));
    emit settingsChanged();
    updateApplicationModel();
    return true;
}

// A per-user file hides the machine-wide one completely; the two are never merged.
QFileInfo Backend::settingsFile()
{
    const QFileInfo user = userSettingsFile();
    return existsNow(user) ? user : systemSettingsFile();
}

QString Backend::loadSettingsFile()
{
    const QFileInfo settingsFile = Backend::settingsFile();
    if (!existsNow(settingsFile))
        return QString();
    m_settingsFilePath = settingsFile.absoluteFilePath();
    m_configProblems.reset();
    Solvane::Trace::info("Loading settings from '%s'", qUtf8Printable(m_settingsFilePath));
    // Kept for the linter, which reads these bytes rather than the file again.
    d->files.settings = std::make_unique<SettingsFile>(m_settingsFilePath);
    QString problem;
    applySettings(LauncherSettingsReader::read(*d->files.settings, &problem));
    return problem;
}

void Backend::readLauncherSettings(QSettings& settings)
{
    applySettings(LauncherSettingsReader::read(settings, settings.fileName()));
    emit settingsChanged();
    updateApplicationModel();
}

// A file that lacks a key resets it, and a backend that never loads reports
// what an empty file reads as.
void Backend::applySettings(const LauncherSettings& settings)
{
    m_settings = settings;
    d->metrics.setAutostartApplication(settings.autostartTile);
    m_pipelineController.setLogFileSizeLimit(settings.logMaxFileSize);
    m_pipelineController.setLogFolderLimit(maintainedLogFolder(), settings.logMaxTotalSize);
    d->metricsTextfile.configure(settings.metricsTextfile, settings.metricsInterval);
}

// Opened anew: a QFileInfo from a folder listing caches that the file
// existed, and one removed since then must count as missing.
PipelineConfig Backend::loadPipelineConfig(const QFileInfo& info)
{
    const SettingsFile file(info.absoluteFilePath());
    return file.exists() ? PipelineFileReader(defaultLogPath()).read(file) : PipelineConfig();
}

PipelineConfig Backend::readPipelineConfig(QSettings& settings)
{
    return PipelineFileReader(defaultLogPath()).read(settings);
}

QList<QFileInfo> Backend::userApplicationFiles()
{
    return pipelineFilesIn(QStringLiteral("%1/apps").arg(userDataPath()));
}

QList<QFileInfo> Backend::systemApplicationFiles()
{
    return pipelineFilesIn(QStringLiteral("%1/apps").arg(systemDataPath()));
}

// A user file replaces the machine file of exactly the same name; the result
// is ordered by file name in plain string comparison.
QList<QFileInfo> Backend::applicationFiles()
{
    // Unsorted: the map below orders them.
    const QList<QFileInfo> userFiles =
        pipelineFilesIn(QStringLiteral("%1/apps").arg(userDataPath()), QDir::Unsorted);
    const QList<QFileInfo> systemFiles =
        pipelineFilesIn(QStringLiteral("%1/apps").arg(systemDataPath()), QDir::Unsorted);
    QMap<QString, QFileInfo> filesByName;
    for (const QFileInfo& file : systemFiles)
        filesByName.insert(file.fileName(), file);
    for (const QFileInfo& file : userFiles)
        filesByName.insert(file.fileName(), file);
    return filesByName.values();
}

// Appends: a second call lists every pipeline again.
int Backend::loadApplications()
{
    Files files;
    QList<PipelineConfig> pipelines;
    QList<ConfigProblem> problems;
    readApplications(files, pipelines, problems);
    m_processPipelines += pipelines;
    d->files.pipelines.insert(d->files.pipelines.end(),
                              std::make_move_iterator(files.pipelines.begin()),
                              std::make_move_iterator(files.pipelines.end()));
    m_configProblems.reset();
    updateApplicationModel();
    return pipelines.size();
}

// Each file is read once, here: the linter takes the bytes kept in `files`.
void Backend::readApplications(Files& files, QList<PipelineConfig>& pipelines,
                               QList<ConfigProblem>& problems)
{
    const PipelineFileReader reader(defaultLogPath());
    const QList<QFileInfo> found = applicationFiles();
    for (const QFileInfo& info : found) {
        const QString path = info.absoluteFilePath();
        files.pipelines.emplace_back(path);
        const SettingsFile& file = files.pipelines.back();
        // One removed since the folder was listed leaves an empty record.
        QString copyError;
        pipelines.append(file.exists() ? reader.read(file, &copyError) : PipelineConfig());
        const QString problem = file.exists() ? file.loadProblem(copyError) : QString();
        if (!problem.isEmpty()) {
            Solvane::Trace::warning("Pipeline file '%s': %s", qUtf8Printable(path),
                                    qUtf8Printable(problem));
            problems.append({ConfigProblem::Severity::Error, path, QString(), QString(), problem});
        }
    }
}

QString Backend::pipelineFilePath(int index) const
{
    return index >= 0 && size_t(index) < d->files.pipelines.size()
               ? d->files.pipelines[size_t(index)].path()
               : QString();
}

const QList<ConfigProblem>& Backend::configProblems() const
{
    if (!m_configProblems) {
        const SettingsFile::Batch batch;
        QList<ConfigProblem> problems;
        if (d->files.settings)
            problems += ConfigLinter(d->files.settings->path(), ConfigKeys::File::Settings)
                            .lint(d->files.settings->content(), d->files.settings->readError());
        for (const SettingsFile& file : d->files.pipelines)
            problems += ConfigLinter(file.path(), ConfigKeys::File::Pipeline)
                            .lint(file.content(), file.readError());
        m_configProblems = problems;
    }
    return *m_configProblems;
}

QString Backend::userDataPath()
{
    return Solvane::PlatformUtils::getModuleUserDataPath("Orvalen/launcher", false);
}

QString Backend::systemDataPath()
{
    return QStringLiteral("%1/Orvalen/launcher")
        .arg(Solvane::PlatformUtils::windowsProgramDataPath());
}

QString Backend::defaultLogPath() const
{
    return QStringLiteral("%1/logs").arg(userDataPath());
}

QFileInfo Backend::userSettingsFile()
{
    return QFileInfo(QStringLiteral("%1/launcher.ini").arg(userDataPath()));
}

QFileInfo Backend::systemSettingsFile()
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
    const PipelineConfig* pipeline = findPipeline(m_settings.autostartTile);
    return pipeline ? pipeline->name : QString();
}

bool Backend::enableAutostart()
{
    if (m_autostartCountdown.isActive()) {
        Solvane::Trace::warning("Unable to enable autostart: autostart is already in progress.");
        return false;
    }
    if (m_settings.autostartTile.isEmpty()) {
        Solvane::Trace::error("Unable to enable autostart: no autostart pipeline is configured");
        return false;
    }
    const PipelineConfig* pipeline = findPipeline(m_settings.autostartTile);
    if (!pipeline) {
        Solvane::Trace::error(
            "Unable to enable autostart: the specified autostart pipeline '%s' does not exist",
            qUtf8Printable(m_settings.autostartTile));
        return false;
    }

    m_autostartCountdown.start(m_settings.autostartTile, m_settings.autostartTimeout);
    return true;
}

QString Backend::autostartProblem() const
{
    if (m_settings.autostartTile.isEmpty())
        return QStringLiteral("autostart is off");
    const PipelineConfig* pipeline = findPipeline(m_settings.autostartTile);
    if (!pipeline)
        return QStringLiteral("the application '%1' is not loaded").arg(m_settings.autostartTile);
    const QList<ValidationProblem> problems = m_pipelineController.validate(*pipeline);
    if (!problems.isEmpty())
        return QStringLiteral("'%1' is not valid: %2")
            .arg(m_settings.autostartTile, problems.first().text());
    return QString();
}

// A reload during the countdown: what the countdown starts is what the files
// say now. Another application or timeout counts down anew from its start.
void Backend::followCountdown()
{
    const QString problem = autostartProblem();
    if (!problem.isEmpty()) {
        Solvane::Trace::warning("Autostart of '%s' cancelled: %s",
                                qUtf8Printable(m_autostartCountdown.application()),
                                qUtf8Printable(problem));
        m_autostartCountdown.cancel(problem);
        return;
    }
    if (m_settings.autostartTile == m_autostartCountdown.application() &&
        m_settings.autostartTimeout == m_autostartCountdown.timeout())
        return;
    Solvane::Trace::info("Autostart counts down anew: '%s' in %d s",
                         qUtf8Printable(m_settings.autostartTile), m_settings.autostartTimeout);
    m_autostartCountdown.start(m_settings.autostartTile, m_settings.autostartTimeout);
}

int Backend::autostartRemainingSeconds() const
{
    return m_autostartCountdown.seconds();
}

void Backend::disableAutostart()
{
    m_autostartCountdown.stop();
}

void Backend::rotateLogs()
{
    // A rotation of the same folder must not run alongside.
    d->logMaintenance.waitForDone();
    // The event loop waits meanwhile; whoever waits for it (a service
    // manager's start timeout) hears that the rotation goes on.
    QElapsedTimer sinceProgress;
    rotationOf(maintainedLogFolder(), m_settings, m_pipelineController)
        .rotate(now(), nullptr, [this, &sinceProgress] {
            if (sinceProgress.isValid() && sinceProgress.elapsed() < LogRotationProgressMs)
                return;
            sinceProgress.start();
            emit logRotationProgress();
        });
}

void Backend::rotateLogsInBackground()
{
    d->logMaintenance.start(rotationOf(maintainedLogFolder(), m_settings, m_pipelineController),
                            now());
}

bool Backend::isRotatingLogs() const
{
    return d->logMaintenance.isBusy();
}

// A piece is compressed at once: a chatty child fills its file again soon.
// One in a folder of its own (logs/path) is compressed, and nothing else there.
void Backend::onLogFileSplit(const QString& piecePath)
{
    const QString folder = QFileInfo(piecePath).absolutePath();
    const QString maintained = maintainedLogFolder();
    if (folder == maintained || folder.startsWith(maintained + QLatin1Char('/')))
        rotateLogsInBackground();
    else
        d->logMaintenance.start(LogRotation::ofPiece(piecePath), now());
}

QString Backend::maintainedLogFolder() const
{
    return m_logFolder.isEmpty() ? defaultLogPath() : m_logFolder;
}

bool Backend::compressFile(const QFileInfo& file)
{
    return LogRotation::compressFile(file);
}

QString Backend::runningApplication() const
{
    return m_pipelineController.state() == PipelineController::Running
               ? m_pipelineController.pipelineConfig().basename
               : QString();
}

QString Backend::runningApplicationName() const
{
    return m_pipelineController.state() == PipelineController::Running
               ? m_pipelineController.pipelineConfig().name
               : QString();
}

QString Backend::pipelinePhase() const
{
    return pipelineWord(m_pipelineController.phase());
}

QByteArray Backend::metricsText() const
{
    return d->metrics.text();
}

QString Backend::version()
{
    return LauncherSupport::version();
}

QVariantMap Backend::lastResultMap() const
{
    return ResultMaps::lastResult(m_pipelineController.lastResult());
}

// The pipeline's name, its phase and its result are the controller's; a
// change of phase is what tells a front end that they changed.
void Backend::onPhaseChanged(PipelineController::Phase phase)
{
    if (phase == PipelineController::Phase::Starting ||
        phase == PipelineController::Phase::Finished)
        emit runningApplicationChanged();
    if (phase == PipelineController::Phase::Finished)
        emit lastResultChanged();
    emit pipelinePhaseChanged();
}

bool Backend::startApplication(const QString& basename)
{
    if (m_pipelineController.state() == PipelineController::Running) {
        Solvane::Trace::warning("Unable to start '%s': '%s' is running", qUtf8Printable(basename),
                                qUtf8Printable(m_pipelineController.pipelineConfig().basename));
        return false;
    }
    const PipelineConfig* pipeline = findPipeline(basename);
    if (!pipeline) {
        Solvane::Trace::warning("Unable to start '%s': no such application is loaded",
                                qUtf8Printable(basename));
        return false;
    }
    // Checked before the countdown ends, so that a refused start leaves it running.
    const QList<ValidationProblem> problems = m_pipelineController.validate(*pipeline);
    if (!problems.isEmpty()) {
        Solvane::Trace::warning("Unable to start '%s': %s", qUtf8Printable(basename),
                                qUtf8Printable(problems.first().text()));
        return false;
    }
    // The start may reach the front end's handlers, which may reload: the
    // record is copied first.
    const PipelineConfig record = *pipeline;
    if (m_autostartCountdown.isActive())
        disableAutostart();
    return m_pipelineController.start(record, true);
}

void Backend::stopApplication()
{
    if (m_pipelineController.state() == PipelineController::Running)
        m_pipelineController.requestStop(m_pipelineController.stopTimeout());
}

// A log can be large; only its end is read.
QStringList Backend::logTail(int lines) const
{
    QString path = m_pipelineController.logFilePath();
    if (path.isEmpty() && m_pipelineController.lastResult())
        path = m_pipelineController.lastResult()->logFile;
    return LauncherSupport::lastLines(path, lines, 64 * 1024);
}

ApplicationModel* Backend::applications()
{
    if (!m_applicationModelWanted) {
        m_applicationModelWanted = true;
        updateApplicationModel();
    }
    return &m_applicationModel;
}

void Backend::updateApplicationModel()
{
    if (!m_applicationModelWanted)
        return;
    const QList<ConfigProblem>& lint = configProblems();
    QList<ApplicationModel::Application> applications;
    for (int i = 0; i < m_processPipelines.size(); ++i) {
        const PipelineConfig& pipeline = m_processPipelines.at(i);
        ApplicationModel::Application application;
        application.basename = pipeline.basename;
        application.name = pipeline.name;
        application.icon = pipeline.icon;
        application.problems = m_pipelineController.validate(pipeline);
        const QString path = pipelineFilePath(i);
        for (const ConfigProblem& problem : lint) {
            if (problem.file == path)
                application.lintProblems.append(problem);
        }
        application.autostart =
            !m_settings.autostartTile.isEmpty() && pipeline.basename == m_settings.autostartTile;
        applications.append(application);
    }
    m_applicationModel.setApplications(applications);
}

QVariantList Backend::failureLog(int lines) const
{
    return ResultMaps::failureLog(logTail(lines), m_pipelineController.lastResult());
}

QList<ConfigProblem> Backend::pipelineProblems(const PipelineConfig& pipeline, const QString& path,
                                               const QList<ConfigProblem>& lint) const
{
    return PipelineProblems::merged(pipeline, path, m_pipelineController.validate(pipeline), lint);
}

QVariantList Backend::applicationProblems(const QString& basename) const
{
    int index = 0;
    while (index < m_processPipelines.size() && m_processPipelines.at(index).basename != basename)
        ++index;
    if (index == m_processPipelines.size())
        return {};
    const PipelineConfig& pipeline = m_processPipelines.at(index);
    const QString path = pipelineFilePath(index);
    QList<ConfigProblem> lint;
    for (const ConfigProblem& problem : configProblems()) {
        if (!path.isEmpty() && problem.file == path)
            lint.append(problem);
    }
    return PipelineProblems::shown(pipeline, pipelineProblems(pipeline, path, lint));
}
