#include "config/PipelineFileReader.h"

#include "ConfigLinter.h"
#include "config/ConfigKeys.h"
#include "config/ProcessModeResult.h"
#include "support/Trace.h"

#include <QSet>
#include <QSettings>

#include <memory>

using ConfigKeys::File;

namespace {

QVariant processValue(const QSettings& settings, const char* name)
{
    return ConfigKeys::value(settings, File::Pipeline, ConfigKeys::ProcessGroup, name);
}

QSet<int> exitCodes(const QSettings& settings, const char* name)
{
    QSet<int> codes;
    const QStringList texts = processValue(settings, name).toStringList();
    for (const QString& text : texts)
        codes.insert(text.toInt(nullptr, 10));
    return codes;
}

// The process of the group that `settings` has entered.
ProcessConfig readProcess(QSettings& settings, const QString& group)
{
    ProcessConfig process;
    process.group = group;
    process.exec = processValue(settings, "exec").toString();
    process.arguments = processValue(settings, "arguments").toStringList();
    process.restartOnCrash = processValue(settings, "restart-on-crash").toBool();
    process.restartLimit = processValue(settings, "restart-limit").toInt();
    process.restartPeriod = processValue(settings, "restart-period").toInt();
    process.restartDelay = processValue(settings, "restart-delay").toInt();
    process.restartDelayMax = processValue(settings, "restart-delay-max").toInt();
    process.restartOnExit = exitCodes(settings, "restart-on-exit");
    process.isRequired = processValue(settings, "required").toBool();
    process.libraryPaths = processValue(settings, "library-paths").toStringList();
    process.timestampLogEntries = processValue(settings, "add-log-timestamp").toBool();
    process.invalidConfigExitCodes = exitCodes(settings, "invalid-config-exit-codes");
    process.ready = processValue(settings, "ready").toString();
    process.readyTimeout = processValue(settings, "ready-timeout").toInt();

    // An unknown mode keeps Daemon; the warning tells the user why the
    // process does not pace the pipeline as the file seems to ask.
    const ProcessModeResult mode = parseProcessMode(processValue(settings, "mode").toString());
    if (mode.success) {
        process.mode = mode.mode;
    } else {
        process.modeError = mode.errorText;
        Solvane::Trace::warning("Pipeline file '%s', group '%s': %s; the process runs as a daemon",
                                qUtf8Printable(settings.fileName()), qUtf8Printable(group),
                                qUtf8Printable(mode.errorText));
    }
    process.workingDirectory = processValue(settings, "working-directory").toString();

    settings.beginGroup(QLatin1String(ConfigKeys::EnvironmentGroup));
    const QStringList names = settings.childKeys();
    for (const QString& name : names)
        process.environment.insert(name, settings.value(name).toString());
    settings.endGroup();
    return process;
}

} // namespace

PipelineFileReader::PipelineFileReader(const QString& defaultLogPath)
    : m_defaultLogPath(defaultLogPath)
{
}

PipelineConfig PipelineFileReader::load(const QFileInfo& file, QString* problem) const
{
    // A QFileInfo from a folder listing caches that the file existed; a file
    // removed since then must count as missing.
    const QString path = file.absoluteFilePath();
    if (!QFileInfo::exists(path))
        return PipelineConfig();
    // Nothing of a file that cannot be read reaches the settings reader: a
    // FIFO would block it.
    bool unreadable = false;
    const QString fileProblem = ConfigLinter::fileProblem(path, &unreadable);
    if (problem)
        *problem = fileProblem;
    const std::unique_ptr<QSettings> settings =
        ConfigKeys::openSettingsFile(unreadable ? QString() : path);
    PipelineConfig config = read(*settings);
    // A refused file is read as empty, but keeps the application's name.
    if (config.basename.isEmpty()) {
        config.basename = file.completeBaseName();
        config.logBasename = config.basename;
    }
    return config;
}

PipelineConfig PipelineFileReader::read(QSettings& settings) const
{
    const auto value = [&settings](const char* group, const char* name) {
        return ConfigKeys::value(settings, File::Pipeline, group, name);
    };

    PipelineConfig config;
    config.basename = QFileInfo(settings.fileName()).completeBaseName();
    config.name = value("ui", "name").toString();
    config.icon = value("ui", "icon").toString();
    config.logBasename =
        ConfigKeys::value(settings, File::Pipeline, "logs", "basename", config.basename).toString();
    config.logPath =
        ConfigKeys::value(settings, File::Pipeline, "logs", "path", m_defaultLogPath).toString();

    // The reader sorts the groups by plain string comparison, which makes the
    // start order: process-10 comes before process-2.
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        if (!group.startsWith(QLatin1String(ConfigKeys::ProcessGroup)))
            continue;
        settings.beginGroup(group);
        config.processList.append(readProcess(settings, group));
        settings.endGroup();
    }
    return config;
}
