#include "ApplicationReport.h"

#include "ConfigLinter.h"
#include "ConsoleOutput.h"
#include "ProblemWording.h"
#include "config/LauncherSettingsReader.h"
#include "config/PipelineFileReader.h"
#include "config/SettingsFile.h"

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

// A size in the largest unit that divides it, as launcher.ini may write it:
// a setting is shown exactly, unlike a measured size in the log.
QString settingSizeText(qint64 bytes)
{
    const char* const units[] = {"GiB", "MiB", "KiB"};
    for (int i = 0; i < 3; ++i) {
        const qint64 unit = qint64(1) << (10 * (3 - i));
        if (bytes >= unit && bytes % unit == 0)
            return QStringLiteral("%1 %2").arg(bytes / unit).arg(QLatin1String(units[i]));
    }
    return QStringLiteral("%1 bytes").arg(bytes);
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
          (label + QLatin1Char(':')).leftJustified(indent == 2 ? 11 : 23) + QLatin1Char(' ') +
          value);
}

void printProblem(const QString& prefix, const ConfigProblem& problem)
{
    print(prefix + problem.severityName() + QStringLiteral(": ") + problem.text(),
          problem.isError() ? Tone::Bad : Tone::Notice);
}

QJsonArray problemsJson(const QList<ConfigProblem>& problems)
{
    QJsonArray array;
    for (const ConfigProblem& problem : problems)
        array.append(QJsonObject{{QStringLiteral("severity"), problem.severityName()},
                                 {QStringLiteral("file"), problem.file},
                                 {QStringLiteral("group"), problem.group},
                                 {QStringLiteral("key"), problem.key},
                                 {QStringLiteral("message"), problem.message}});
    return array;
}

// The lint problems of a pipeline's file (its name is the pipeline's base name).
QList<ConfigProblem> lintProblems(const Backend& backend, const PipelineConfig& pipeline)
{
    QList<ConfigProblem> problems;
    for (const ConfigProblem& problem : backend.configProblems()) {
        if (problem.file != backend.settingsFilePath() &&
            QFileInfo(problem.file).completeBaseName() == pipeline.basename)
            problems.append(problem);
    }
    return problems;
}

QList<ConfigProblem> settingsProblems(const Backend& backend)
{
    QList<ConfigProblem> problems;
    for (const ConfigProblem& problem : backend.configProblems()) {
        if (problem.file == backend.settingsFilePath())
            problems.append(problem);
    }
    return problems;
}

} // namespace

void printList(Backend& backend)
{
    const QList<PipelineConfig>& pipelines = backend.processPipelines();
    print(QStringLiteral("Data folder: %1").arg(backend.userDataPath()));
    const QList<ConfigProblem> settings = settingsProblems(backend);
    if (!settings.isEmpty()) {
        print(QStringLiteral("Settings file %1:").arg(backend.settingsFilePath()));
        for (const ConfigProblem& problem : settings)
            printProblem(QStringLiteral("  "), problem);
    }
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
    for (const PipelineConfig& pipeline : pipelines) {
        const QList<ConfigProblem> reasons = backend.pipelineProblems(pipeline, QString(), {});
        const QList<ConfigProblem> lint = lintProblems(backend, pipeline);
        const bool valid = reasons.isEmpty();
        QString line = QStringLiteral("  %1  %2  %3  %4")
                           .arg(pipeline.basename.leftJustified(basenameWidth),
                                pipeline.name.leftJustified(nameWidth),
                                processCount(pipeline.processList.size()).leftJustified(11),
                                valid ? QStringLiteral("valid  ") : QStringLiteral("INVALID"));
        if (pipeline.basename == backend.autostartTile())
            line += QStringLiteral("  autostart after %1 s").arg(backend.autostartTimeout());
        print(line, valid ? Tone::Plain : Tone::Bad);
        const QString indent(basenameWidth + 4, QLatin1Char(' '));
        for (const ConfigProblem& reason : reasons)
            print(indent + reasonText(reason));
        if (!lint.isEmpty())
            print(indent + lint.first().file + QLatin1Char(':'));
        for (const ConfigProblem& problem : lint)
            printProblem(indent + QStringLiteral("  "), problem);
    }
    print(QStringLiteral("Autostart: %1").arg(autostartText(backend)));
}

QByteArray listJson(Backend& backend)
{
    QJsonArray applications;
    for (const PipelineConfig& pipeline : backend.processPipelines()) {
        const QList<ConfigProblem> reasons = backend.pipelineProblems(pipeline, QString(), {});
        const QList<ConfigProblem> lint = lintProblems(backend, pipeline);
        QStringList errors;
        for (const ConfigProblem& reason : reasons)
            errors.append(reasonText(reason));
        for (const ConfigProblem& problem : lint) {
            if (problem.isError())
                errors.append(problem.text());
        }
        applications.append(
            QJsonObject{{QStringLiteral("basename"), pipeline.basename},
                        {QStringLiteral("name"), pipeline.name},
                        {QStringLiteral("icon"), pipeline.icon},
                        {QStringLiteral("processes"), pipeline.processList.size()},
                        {QStringLiteral("valid"), reasons.isEmpty()},
                        {QStringLiteral("errors"), QJsonArray::fromStringList(errors)},
                        {QStringLiteral("problems"), problemsJson(lint)},
                        {QStringLiteral("autostart"), pipeline.basename == backend.autostartTile()},
                        {QStringLiteral("logPath"), pipeline.logPath}});
    }
    QJsonValue autostart;
    if (backend.isAutoStartEnabled())
        autostart = QJsonObject{
            {QStringLiteral("application"), backend.autostartTile()},
            {QStringLiteral("timeout"), backend.autostartTimeout()},
            {QStringLiteral("loaded"), backend.findPipeline(backend.autostartTile()) != nullptr}};
    QJsonValue settingsFile;
    if (!backend.settingsFilePath().isEmpty())
        settingsFile = backend.settingsFilePath();
    const QJsonObject root{
        {QStringLiteral("dataFolder"), backend.userDataPath()},
        {QStringLiteral("settings"),
         QJsonObject{{QStringLiteral("file"), settingsFile},
                     {QStringLiteral("problems"), problemsJson(settingsProblems(backend))}}},
        {QStringLiteral("autostart"), autostart},
        {QStringLiteral("applications"), applications}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

int FileCheck::errors() const
{
    return int(std::count_if(problems.begin(), problems.end(),
                             [](const ConfigProblem& problem) { return problem.isError(); })) +
           reasons.size() + (readable ? 0 : 1);
}

int FileCheck::warnings() const
{
    return int(std::count_if(problems.begin(), problems.end(),
                             [](const ConfigProblem& problem) { return !problem.isError(); }));
}

namespace {

void printSettings(const SettingsFile& file, const QString& path)
{
    const LauncherSettings settings = LauncherSettingsReader::read(file);
    print(path);
    field(2, QStringLiteral("autostart"),
          !settings.autostartTile.isEmpty() ? QStringLiteral("%1 after %2 s")
                                                  .arg(settings.autostartTile)
                                                  .arg(settings.autostartTimeout)
                                            : QStringLiteral("off"));
    field(2, QStringLiteral("rotate logs"),
          QStringLiteral("older than %1 s").arg(settings.logRotatePeriod));
    field(2, QStringLiteral("keep logs"),
          QStringLiteral("%1, %2 in all, %3")
              .arg(settings.logKeepDays > 0
                       ? QStringLiteral("compressed for %1 days").arg(settings.logKeepDays)
                       : QStringLiteral("compressed for ever"),
                   settings.logMaxTotalSize > 0 ? settingSizeText(settings.logMaxTotalSize)
                                                : QStringLiteral("no limit"),
                   settings.logMaxFileSize > 0 ? QStringLiteral("files split at %1")
                                                     .arg(settingSizeText(settings.logMaxFileSize))
                                               : QStringLiteral("files never split")));
    field(2, QStringLiteral("journal"),
          settings.journalGetsAll ? QStringLiteral("every line")
                                  : QStringLiteral("the launcher's own lines (events)"));
    field(2, QStringLiteral("ui"),
          QStringLiteral("allow-exit %1, show-version %2, show-invalid-tiles %3, location %4, "
                         "width %5, renderer %6")
              .arg(yesNo(settings.allowUserExit), yesNo(settings.showVersionInfo),
                   yesNo(settings.showInvalidTiles), settings.uiLocation, settings.uiWidth,
                   settings.uiRenderer));
    // The brand as the screen takes it: colours in one form, pictures where they are looked up.
    QStringList brand;
    const std::pair<const char*, QString> texts[] = {
        {"title '%1'", settings.uiTitle},
        {"accent-color %1", settings.uiAccentColor},
        {"background-color %1", settings.uiBackgroundColor},
        {"background-image %1", settings.uiBackgroundImage},
        {"logo %1", settings.uiLogo},
        {"text-scale %1",
         settings.uiTextScale != 1 ? QString::number(settings.uiTextScale) : QString()},
    };
    for (const auto& [form, text] : texts) {
        if (!text.isEmpty())
            brand.append(QString::fromLatin1(form).arg(text));
    }
    if (!brand.isEmpty())
        field(2, QStringLiteral("brand"), brand.join(QLatin1String(", ")));
}

QString codeList(const QSet<int>& set)
{
    QList<int> codes = set.values();
    std::sort(codes.begin(), codes.end());
    QStringList texts;
    for (int code : codes)
        texts.append(QString::number(code));
    return orNone(texts.join(QLatin1String(", ")));
}

// When a process is restarted: on a crash, on exit codes, found hung or over its cap.
void printRestarts(const ProcessConfig& process)
{
    QString restart = yesNo(false);
    if (process.restartOnCrash) {
        restart = QStringLiteral("yes, until %1 crashes fall within %2 s")
                      .arg(process.restartLimit)
                      .arg(process.restartPeriod);
        if (process.restartDelay != 0)
            restart += QStringLiteral(", after %1 s doubling up to %2 s")
                           .arg(process.restartDelay)
                           .arg(process.restartDelayMax);
    }
    field(4, QStringLiteral("restart on crash"), restart);
    if (!process.restartOnExit.isEmpty())
        field(4, QStringLiteral("restart on exit codes"), codeList(process.restartOnExit));
    // Found hung or over its cap, a process is restarted whatever restart on crash says.
    if (process.watchdog > 0)
        field(
            4, QStringLiteral("watchdog"),
            QStringLiteral("WATCHDOG=1 at least every %1 s, else restarted").arg(process.watchdog));
    if (!process.alive.isEmpty())
        field(4, QStringLiteral("alive"),
              QStringLiteral("%1 every %2 s, each within %3 s; %4 failures in a row restart it")
                  .arg(process.alive)
                  .arg(process.aliveInterval)
                  .arg(process.aliveTimeout)
                  .arg(process.aliveFailures));
    if (process.memoryMax > 0)
        field(4, QStringLiteral("memory max"),
              QStringLiteral("%1 with what it started, else restarted")
                  .arg(settingSizeText(process.memoryMax)));
}

void printProcess(const QList<ProcessConfig>& processes, int index)
{
    const ProcessConfig& process = processes.at(index);
    const int number = index + 1;
    const int count = int(processes.size());
    print(QStringLiteral("  process %1 of %2 [%3]").arg(number).arg(count).arg(process.group));
    // As the screen and status name it.
    field(4, QStringLiteral("label"),
          process.label.isEmpty()
              ? QStringLiteral("(none: shown as %1)").arg(processShownName(processes, index))
              : process.label);
    field(4, QStringLiteral("exec"), orNone(process.exec));
    QStringList arguments;
    for (const QString& argument : process.arguments)
        arguments.append(QLatin1Char('"') + argument + QLatin1Char('"'));
    field(4, QStringLiteral("arguments"), orNone(arguments.join(QLatin1String(", "))));

    QString mode = processModeName(process.mode);
    if (!process.modeError.isEmpty())
        mode += QStringLiteral(" (%1: not a mode, so it runs as a daemon)").arg(process.modeError);
    field(4, QStringLiteral("mode"), mode);
    if (!process.ready.isEmpty())
        field(4, QStringLiteral("ready"),
              QStringLiteral("%1, within %2 s").arg(process.ready).arg(process.readyTimeout));
    field(4, QStringLiteral("required"), yesNo(process.isRequired));
    printRestarts(process);
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
    field(4, QStringLiteral("invalid-config exit codes"), codeList(process.invalidConfigExitCodes));
    field(4, QStringLiteral("log time stamps"), yesNo(process.timestampLogEntries));
}

void printPipeline(const PipelineConfig& pipeline, const QString& path)
{
    print(path);
    field(2, QStringLiteral("application"), pipeline.basename);
    field(2, QStringLiteral("name"), orNone(pipeline.name));
    field(2, QStringLiteral("icon"), orNone(pipeline.icon));
    field(2, QStringLiteral("log files"),
          QStringLiteral("%1/%2-<date>.log").arg(pipeline.logPath, pipeline.logBasename));
    field(2, QStringLiteral("restart at"),
          pipeline.restartAt.isValid()
              ? QStringLiteral("%1 daily").arg(pipeline.restartAt.toString(QStringLiteral("HH:mm")))
              : QStringLiteral("(none)"));
    if (pipeline.processList.isEmpty())
        field(2, QStringLiteral("processes"), QStringLiteral("(none)"));
    const int count = pipeline.processList.size();
    for (int i = 0; i < count; ++i)
        printProcess(pipeline.processList, i);
}

} // namespace

FileCheck checkFile(Backend& backend, const QString& path, bool quiet)
{
    FileCheck check;
    check.path = path;
    const QFileInfo file(path);
    if (!file.isFile()) {
        if (!quiet)
            ConsoleOutput::error(QStringLiteral("'%1': %2")
                                     .arg(path, file.exists() ? QStringLiteral("not a file")
                                                              : QStringLiteral("no such file")));
        return check;
    }
    check.readable = true;
    const ConfigKeys::File kind = ConfigLinter::kindOf(path);
    // One read for the check and for what is shown.
    const SettingsFile settingsFile(file.absoluteFilePath());
    check.problems =
        ConfigLinter(path, kind).lint(settingsFile.content(), settingsFile.readError());
    if (kind == ConfigKeys::File::Settings) {
        if (!quiet)
            printSettings(settingsFile, path);
    } else {
        const PipelineConfig pipeline =
            PipelineFileReader(backend.defaultLogPath()).read(settingsFile);
        check.reasons = backend.pipelineProblems(pipeline, path, {});
        if (!quiet)
            printPipeline(pipeline, path);
    }
    if (quiet)
        return check;
    if (!check.problems.isEmpty() || !check.reasons.isEmpty())
        print(QStringLiteral("  problems:"), check.errors() > 0 ? Tone::Bad : Tone::Notice);
    for (const ConfigProblem& reason : check.reasons)
        printProblem(QStringLiteral("    - "), worded(reason, reasonText(reason)));
    for (const ConfigProblem& problem : check.problems)
        printProblem(QStringLiteral("    - "), problem);
    if (check.errors() == 0)
        print(check.warnings() == 0 ? QStringLiteral("  valid")
                                    : QStringLiteral("  valid, with warnings"),
              Tone::Good);
    return check;
}

QByteArray checkJson(const QList<FileCheck>& checks)
{
    QJsonArray files;
    for (const FileCheck& check : checks) {
        QList<ConfigProblem> problems = check.reasons + check.problems;
        if (!check.readable)
            problems.append({ConfigProblem::Severity::Error, check.path, QString(), QString(),
                             QFileInfo::exists(check.path) ? QStringLiteral("not a file")
                                                           : QStringLiteral("no such file")});
        files.append(QJsonObject{{QStringLiteral("file"), check.path},
                                 {QStringLiteral("errors"), check.errors()},
                                 {QStringLiteral("warnings"), check.warnings()},
                                 {QStringLiteral("problems"), problemsJson(problems)}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("files"), files}})
        .toJson(QJsonDocument::Indented);
}
