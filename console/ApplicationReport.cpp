#include "ApplicationReport.h"

#include "ConsoleOutput.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

using ConsoleOutput::print;
using ConsoleOutput::Tone;

namespace {

QString processCount(int count)
{
    return count == 1 ? QStringLiteral("1 process") : QStringLiteral("%1 processes").arg(count);
}

QString orNone(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

QString autostartText(const Backend& backend)
{
    if (!backend.isAutoStartEnabled())
        return QStringLiteral("off");
    if (!backend.findPipeline(backend.autostartTile()))
        return QStringLiteral("'%1', which is not loaded").arg(backend.autostartTile());
    return QStringLiteral("%1 after %2 s")
        .arg(backend.autostartTile())
        .arg(backend.autostartTimeout());
}

// One line per field: "label:" padded to a column, then the value.
void field(int indent, const QString& label, const QString& value)
{
    print(QString(indent, QLatin1Char(' ')) +
          (label + QLatin1Char(':')).leftJustified(indent == 2 ? 12 : 24) + value);
}

} // namespace

void printList(Backend& backend)
{
    const QList<PipelineConfig>& pipelines = backend.processPipelines();
    print(QStringLiteral("Data folder: %1").arg(backend.userDataPath()));
    if (pipelines.isEmpty())
        print(QStringLiteral("No applications: there is no pipeline file in %1/apps.")
                  .arg(backend.userDataPath()));
    else
        print(pipelines.size() == 1 ? QStringLiteral("1 application:")
                                    : QStringLiteral("%1 applications:").arg(pipelines.size()));

    int basenameWidth = 0;
    int nameWidth = 0;
    for (const PipelineConfig& pipeline : pipelines) {
        basenameWidth = std::max(basenameWidth, pipeline.basename.size());
        nameWidth = std::max(nameWidth, pipeline.name.size());
    }
    PipelineController& controller = *backend.pipelineController();
    for (const PipelineConfig& pipeline : pipelines) {
        const bool valid = controller.isPipelineValid(pipeline);
        QString line = QStringLiteral("  %1  %2  %3  %4")
                           .arg(pipeline.basename.leftJustified(basenameWidth),
                                pipeline.name.leftJustified(nameWidth),
                                processCount(pipeline.processList.size()).leftJustified(11),
                                valid ? QStringLiteral("valid  ") : QStringLiteral("INVALID"));
        if (pipeline.basename == backend.autostartTile())
            line += QStringLiteral("  autostart after %1 s").arg(backend.autostartTimeout());
        print(line, valid ? Tone::Plain : Tone::Bad);
        for (const QString& message : controller.validationErrors())
            print(QString(basenameWidth + 4, QLatin1Char(' ')) + message);
    }
    print(QStringLiteral("Autostart: %1").arg(autostartText(backend)));
}

QByteArray listJson(Backend& backend)
{
    PipelineController& controller = *backend.pipelineController();
    QJsonArray applications;
    for (const PipelineConfig& pipeline : backend.processPipelines()) {
        const bool valid = controller.isPipelineValid(pipeline);
        applications.append(QJsonObject{
            {QStringLiteral("basename"), pipeline.basename},
            {QStringLiteral("name"), pipeline.name},
            {QStringLiteral("icon"), pipeline.icon},
            {QStringLiteral("processes"), pipeline.processList.size()},
            {QStringLiteral("valid"), valid},
            {QStringLiteral("errors"), QJsonArray::fromStringList(controller.validationErrors())},
            {QStringLiteral("autostart"), pipeline.basename == backend.autostartTile()},
            {QStringLiteral("logPath"), pipeline.logPath}});
    }
    QJsonValue autostart;
    if (backend.isAutoStartEnabled())
        autostart = QJsonObject{
            {QStringLiteral("application"), backend.autostartTile()},
            {QStringLiteral("timeout"), backend.autostartTimeout()},
            {QStringLiteral("loaded"), backend.findPipeline(backend.autostartTile()) != nullptr}};
    const QJsonObject root{{QStringLiteral("dataFolder"), backend.userDataPath()},
                           {QStringLiteral("autostart"), autostart},
                           {QStringLiteral("applications"), applications}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool checkFile(Backend& backend, const QString& path)
{
    const QFileInfo file(path);
    if (!file.isFile()) {
        ConsoleOutput::error(QStringLiteral("'%1': %2")
                                 .arg(path, file.exists() ? QStringLiteral("not a file")
                                                          : QStringLiteral("no such file")));
        return false;
    }
    const PipelineConfig pipeline = backend.loadPipelineConfig(file);
    QStringList problems;

    print(path);
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
        print(QStringLiteral("  process %1 of %2 [%3]").arg(i + 1).arg(count).arg(process.group));
        field(4, QStringLiteral("exec"), orNone(process.exec));
        QStringList arguments;
        for (const QString& argument : process.arguments)
            arguments.append(QLatin1Char('"') + argument + QLatin1Char('"'));
        field(4, QStringLiteral("arguments"), orNone(arguments.join(QLatin1String(", "))));

        QString mode = processModeName(process.mode);
        if (!process.modeError.isEmpty()) {
            mode +=
                QStringLiteral(" (%1: not a mode, so it runs as a daemon)").arg(process.modeError);
            problems.append(QStringLiteral("[%1] mode: %2").arg(process.group, process.modeError));
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

    PipelineController& controller = *backend.pipelineController();
    if (!controller.isPipelineValid(pipeline))
        problems += controller.validationErrors();
    if (problems.isEmpty()) {
        print(QStringLiteral("  valid"), Tone::Good);
        return true;
    }
    print(QStringLiteral("  problems:"), Tone::Bad);
    for (const QString& problem : problems)
        print(QStringLiteral("    - %1").arg(problem));
    return false;
}
