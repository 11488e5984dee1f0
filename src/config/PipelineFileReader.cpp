#include "config/PipelineFileReader.h"

#include "config/ConfigKeys.h"
#include "config/ProcessModeResult.h"
#include "config/SettingsFile.h"
#include "support/Trace.h"

#include <QFileInfo>
#include <QSet>
#include <QSettings>

#include <algorithm>

using ConfigKeys::File;

namespace {

// The keys of one process group, relative to it, as the file lists them: a
// key that the group lacks takes its default without a look-up.
class ProcessKeys
{
public:
    ProcessKeys(const QSettings& keys, const QStringList& names, const QString& path,
                const QString& group)
        : m_keys(keys), m_names(names), m_path(path), m_group(group)
    {
    }

    QVariant value(const char* name) const
    {
        return m_names.contains(QLatin1String(name))
                   ? ConfigKeys::value(m_keys, File::Pipeline, ConfigKeys::ProcessGroup, name)
                   : ConfigKeys::defaultValue(File::Pipeline, ConfigKeys::ProcessGroup, name);
    }

    // A whole number in the key's range; beyond it, the key's default, and
    // an error that names the file, the key and the value.
    int integer(const char* name) const
    {
        if (!m_names.contains(QLatin1String(name)))
            return value(name).toInt();
        const ConfigKeys::Integer number =
            ConfigKeys::integer(m_keys, File::Pipeline, ConfigKeys::ProcessGroup, name);
        if (number.outOfRange)
            Solvane::Trace::error("Pipeline file '%s': [%s] %s: %s", qUtf8Printable(m_path),
                                  qUtf8Printable(m_group), name, qUtf8Printable(number.problem));
        return number.value;
    }

    QSet<int> exitCodes(const char* name) const
    {
        QSet<int> codes;
        const QStringList texts = value(name).toStringList();
        for (const QString& text : texts)
            codes.insert(text.toInt(nullptr, 10));
        return codes;
    }

private:
    const QSettings& m_keys;
    const QStringList& m_names;
    const QString& m_path;
    const QString& m_group;
};

// The process of the group that `source` has entered; `path` names the file in warnings.
ProcessConfig readProcess(const QSettings& source, const QString& group, const QStringList& names,
                          const QString& path)
{
    const ProcessKeys keys(source, names, path, group);
    ProcessConfig process;
    process.group = group;
    process.exec = keys.value("exec").toString();
    process.label = keys.value("label").toString();
    process.arguments = keys.value("arguments").toStringList();
    process.restartOnCrash = keys.value("restart-on-crash").toBool();
    process.restartLimit = keys.integer("restart-limit");
    process.restartPeriod = keys.integer("restart-period");
    process.restartDelay = keys.integer("restart-delay");
    process.restartDelayMax = keys.integer("restart-delay-max");
    process.restartOnExit = keys.exitCodes("restart-on-exit");
    process.isRequired = keys.value("required").toBool();
    process.libraryPaths = keys.value("library-paths").toStringList();
    process.timestampLogEntries = keys.value("add-log-timestamp").toBool();
    process.invalidConfigExitCodes = keys.exitCodes("invalid-config-exit-codes");
    process.ready = keys.value("ready").toString();
    process.readyTimeout = keys.integer("ready-timeout");
    process.watchdog = keys.integer("watchdog");
    process.alive = keys.value("alive").toString();
    process.aliveInterval = keys.integer("alive-interval");
    process.aliveTimeout = keys.integer("alive-timeout");
    process.aliveFailures = keys.integer("alive-failures");
    // A size that does not parse reads as the default: no cap.
    process.memoryMax =
        std::max(ConfigKeys::parseSize(keys.value("memory-max").toString()), qint64(0));

    // An unknown mode keeps Daemon; the warning tells the user why the
    // process does not pace the pipeline as the file seems to ask.
    const ProcessModeResult mode = parseProcessMode(keys.value("mode").toString());
    if (mode.success) {
        process.mode = mode.mode;
    } else {
        process.modeError = mode.errorText;
        Solvane::Trace::warning("Pipeline file '%s', group '%s': %s; the process runs as a daemon",
                                qUtf8Printable(path), qUtf8Printable(group),
                                qUtf8Printable(mode.errorText));
    }
    process.workingDirectory = keys.value("working-directory").toString();

    // The direct keys of its environment group; deeper ones are ignored.
    const QString environment = QLatin1String(ConfigKeys::EnvironmentGroup) + QLatin1Char('/');
    for (const QString& name : names) {
        if (name.startsWith(environment) && name.indexOf(QLatin1Char('/'), environment.size()) < 0)
            process.environment.insert(name.mid(environment.size()),
                                       source.value(name, QVariant()).toString());
    }
    return process;
}

} // namespace

PipelineFileReader::PipelineFileReader(const QString& defaultLogPath)
    : m_defaultLogPath(defaultLogPath)
{
}

PipelineConfig PipelineFileReader::read(const SettingsFile& file, QString* error) const
{
    const std::unique_ptr<QSettings> settings = file.settings(error);
    return read(*settings, QFileInfo(file.path()).completeBaseName(), file.path());
}

PipelineConfig PipelineFileReader::read(QSettings& settings) const
{
    return read(settings, QFileInfo(settings.fileName()).completeBaseName(), settings.fileName());
}

PipelineConfig PipelineFileReader::read(QSettings& settings, const QString& basename,
                                        const QString& path) const
{
    const auto value = [&settings](const char* group, const char* name) {
        return ConfigKeys::value(settings, File::Pipeline, group, name);
    };

    PipelineConfig config;
    config.basename = basename;
    config.name = value("ui", "name").toString();
    config.icon = value("ui", "icon").toString();
    config.logBasename =
        ConfigKeys::value(settings, File::Pipeline, "logs", "basename", config.basename).toString();
    config.logPath =
        ConfigKeys::value(settings, File::Pipeline, "logs", "path", m_defaultLogPath).toString();
    const QString restartAt = value(ConfigKeys::PipelineGroup, "restart-at").toString();
    config.restartAt = ConfigKeys::parseTimeOfDay(restartAt);
    if (!restartAt.isEmpty() && !config.restartAt.isValid())
        Solvane::Trace::warning("Pipeline file '%s': restart-at '%s' is not a time of day (HH:MM); "
                                "the pipeline is not restarted daily",
                                qUtf8Printable(path), qUtf8Printable(restartAt));

    // The keys of each process group, asked once. The groups in plain string
    // comparison (as QSettings sorts them) make the start order: process-10
    // comes before process-2.
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        if (!group.startsWith(QLatin1String(ConfigKeys::ProcessGroup)))
            continue;
        settings.beginGroup(group);
        const QStringList names = settings.allKeys();
        config.processList.append(readProcess(settings, group, names, path));
        settings.endGroup();
    }
    return config;
}
