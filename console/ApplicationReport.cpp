#include "ApplicationReport.h"

#include "ConsoleOutput.h"
#include "ProcessModeResult.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStringList>

#include <algorithm>

namespace {

QString modeName(ProcessMode mode)
{
    switch (mode) {
    case ProcessMode::Sync:
        return QStringLiteral("sync");
    case ProcessMode::Async:
        return QStringLiteral("async");
    case ProcessMode::Daemon:
        break;
    }
    return QStringLiteral("daemon");
}

QString processCount(int count)
{
    return count == 1 ? QStringLiteral("1 process") : QStringLiteral("%1 processes").arg(count);
}

QString orNone(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

QString quotedList(const QStringList& items)
{
    if (items.isEmpty())
        return QStringLiteral("(none)");
    QStringList quoted;
    for (const QString& item : items)
        quoted.append(QLatin1Char('"') + item + QLatin1Char('"'));
    return quoted.join(QLatin1String(", "));
}

// The process groups of a pipeline file with their mode texts as written, in
// the order the backend reads them, so that an unknown mode text can be shown
// next to the mode the process falls back to.
struct ProcessGroup
{
    QString name;
    QString modeText;
};

QList<ProcessGroup> processGroups(const QFileInfo& file)
{
    QSettings settings(file.absoluteFilePath(), QSettings::IniFormat);
    QList<ProcessGroup> groups;
    for (const QString& group : settings.childGroups()) {
        if (group.startsWith(QLatin1String("process")))
            groups.append(
                {group, settings.value(group + QLatin1String("/mode"), QStringLiteral("daemon"))
                            .toString()});
    }
    return groups;
}

} // namespace

ApplicationReport::ApplicationReport(Backend& backend, const QString& dataFolder)
    : m_backend(backend), m_dataFolder(dataFolder)
{
}

void ApplicationReport::printList()
{
    ConsoleOutput& output = ConsoleOutput::instance();
    const QList<PipelineConfig>& pipelines = m_backend.processPipelines();
    output.print(QStringLiteral("Data folder: %1").arg(m_dataFolder));
    if (pipelines.isEmpty()) {
        output.print(QStringLiteral("No applications: there is no pipeline file in %1/apps.")
                         .arg(m_dataFolder));
        output.print(QStringLiteral("Autostart: %1").arg(autostartText()));
        return;
    }

    int basenameWidth = 0;
    int nameWidth = 0;
    for (const PipelineConfig& pipeline : pipelines) {
        basenameWidth = std::max(basenameWidth, pipeline.basename.size());
        nameWidth = std::max(nameWidth, pipeline.name.size());
    }
    const QString indent(basenameWidth + 4, QLatin1Char(' '));

    output.print(pipelines.size() == 1 ? QStringLiteral("1 application:")
                                       : QStringLiteral("%1 applications:").arg(pipelines.size()));
    PipelineController& controller = *m_backend.pipelineController();
    for (const PipelineConfig& pipeline : pipelines) {
        const bool valid = controller.isPipelineValid(pipeline);
        QString line = QStringLiteral("  %1  %2  %3  %4")
                           .arg(pipeline.basename.leftJustified(basenameWidth),
                                pipeline.name.leftJustified(nameWidth),
                                processCount(pipeline.processList.size()).leftJustified(11),
                                valid ? QStringLiteral("valid  ") : QStringLiteral("INVALID"));
        if (pipeline.basename == m_backend.autostartTile())
            line += QStringLiteral("  autostart after %1 s").arg(m_backend.autostartTimeout());
        output.print(line, valid ? ConsoleOutput::Tone::Plain : ConsoleOutput::Tone::Bad);
        for (const QString& message : controller.validationErrors())
            output.print(indent + message);
    }
    output.print(QStringLiteral("Autostart: %1").arg(autostartText()));
}

QByteArray ApplicationReport::listJson()
{
    PipelineController& controller = *m_backend.pipelineController();
    QJsonArray applications;
    for (const PipelineConfig& pipeline : m_backend.processPipelines()) {
        const bool valid = controller.isPipelineValid(pipeline);
        QJsonObject application;
        application.insert(QStringLiteral("basename"), pipeline.basename);
        application.insert(QStringLiteral("name"), pipeline.name);
        application.insert(QStringLiteral("icon"), pipeline.icon);
        application.insert(QStringLiteral("processes"), pipeline.processList.size());
        application.insert(QStringLiteral("valid"), valid);
        application.insert(QStringLiteral("errors"),
                           QJsonArray::fromStringList(controller.validationErrors()));
        application.insert(QStringLiteral("autostart"),
                           pipeline.basename == m_backend.autostartTile());
        application.insert(QStringLiteral("logPath"), pipeline.logPath);
        applications.append(application);
    }

    QJsonObject root;
    root.insert(QStringLiteral("dataFolder"), m_dataFolder);
    if (m_backend.isAutoStartEnabled()) {
        QJsonObject autostart;
        autostart.insert(QStringLiteral("application"), m_backend.autostartTile());
        autostart.insert(QStringLiteral("timeout"), m_backend.autostartTimeout());
        autostart.insert(QStringLiteral("loaded"),
                         m_backend.findPipeline(m_backend.autostartTile()) != nullptr);
        root.insert(QStringLiteral("autostart"), autostart);
    } else {
        root.insert(QStringLiteral("autostart"), QJsonValue());
    }
    root.insert(QStringLiteral("applications"), applications);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool ApplicationReport::checkFile(const QString& path)
{
    ConsoleOutput& output = ConsoleOutput::instance();
    const QFileInfo file(path);
    if (!file.exists()) {
        output.error(QStringLiteral("'%1': no such file").arg(path));
        return false;
    }
    if (!file.isFile()) {
        output.error(QStringLiteral("'%1': not a file").arg(path));
        return false;
    }

    const PipelineConfig pipeline = m_backend.loadPipelineConfig(file);
    const QList<ProcessGroup> groups = processGroups(file);
    QStringList problems;

    auto field = [&output](int indent, const QString& label, const QString& value) {
        const int width = indent == 2 ? 14 : 28;
        output.print(QString(indent, QLatin1Char(' ')) +
                     (label + QLatin1Char(':')).leftJustified(width - indent) + value);
    };
    auto yesNo = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); };

    output.print(path);
    field(2, QStringLiteral("application"), pipeline.basename);
    field(2, QStringLiteral("name"), orNone(pipeline.name));
    field(2, QStringLiteral("icon"), orNone(pipeline.icon));
    field(2, QStringLiteral("log files"),
          QStringLiteral("%1/%2-<date>.log").arg(pipeline.logPath, pipeline.logBasename));
    if (pipeline.processList.isEmpty())
        field(2, QStringLiteral("processes"), QStringLiteral("(none)"));

    const int count = pipeline.processList.size();
    for (int i = 0; i < count; ++i) {
        const ProcessConfig& process = pipeline.processList.at(i);
        const ProcessGroup group = groups.value(i);
        output.print(
            QStringLiteral("  process %1 of %2 [%3]").arg(i + 1).arg(count).arg(group.name));
        field(4, QStringLiteral("exec"), orNone(process.exec));
        field(4, QStringLiteral("arguments"), quotedList(process.arguments));

        QString mode = modeName(process.mode);
        const ProcessModeResult parsed = parseProcessMode(group.modeText);
        if (!parsed.success) {
            mode +=
                QStringLiteral(" (%1: not a mode, so it runs as a daemon)").arg(parsed.errorText);
            problems.append(QStringLiteral("[%1] mode: %2").arg(group.name, parsed.errorText));
        }
        field(4, QStringLiteral("mode"), mode);
        field(4, QStringLiteral("required"), yesNo(process.isRequired));
        field(4, QStringLiteral("restart on crash"),
              process.restartOnCrash ? QStringLiteral("yes, until %1 crashes fall within %2 s")
                                           .arg(process.restartLimit)
                                           .arg(process.restartPeriod)
                                     : yesNo(false));
        QString workingDirectory = process.workingDirectory;
        if (workingDirectory.isEmpty())
            workingDirectory = QFileInfo(process.exec).isRelative()
                                   ? QStringLiteral("(the launcher's current folder)")
                                   : QStringLiteral("(the folder of the program)");
        field(4, QStringLiteral("working directory"), workingDirectory);
        field(4, QStringLiteral("library paths"),
              orNone(process.libraryPaths.join(QLatin1String(", "))));
        QStringList environment;
        for (auto it = process.environment.cbegin(); it != process.environment.cend(); ++it)
            environment.append(QStringLiteral("%1=%2").arg(it.key(), it.value()));
        field(4, QStringLiteral("environment"), orNone(environment.join(QLatin1String(", "))));
        QList<int> codes = process.invalidConfigExitCodes.values();
        std::sort(codes.begin(), codes.end());
        QStringList codeTexts;
        for (int code : codes)
            codeTexts.append(QString::number(code));
        field(4, QStringLiteral("invalid-config exit codes"),
              orNone(codeTexts.join(QLatin1String(", "))));
        field(4, QStringLiteral("log time stamps"), yesNo(process.timestampLogEntries));
    }

    PipelineController& controller = *m_backend.pipelineController();
    if (!controller.isPipelineValid(pipeline))
        problems += controller.validationErrors();
    if (problems.isEmpty()) {
        output.print(QStringLiteral("  valid"), ConsoleOutput::Tone::Good);
        return true;
    }
    output.print(QStringLiteral("  problems:"), ConsoleOutput::Tone::Bad);
    for (const QString& problem : problems)
        output.print(QStringLiteral("    - %1").arg(problem));
    return false;
}

QString ApplicationReport::autostartText() const
{
    if (!m_backend.isAutoStartEnabled())
        return QStringLiteral("off");
    if (!m_backend.findPipeline(m_backend.autostartTile()))
        return QStringLiteral("'%1', which is not loaded").arg(m_backend.autostartTile());
    return QStringLiteral("%1 after %2 s")
        .arg(m_backend.autostartTile())
        .arg(m_backend.autostartTimeout());
}
