// launcher: the console front end of the launcher backend. It drives the
// backend the way a graphical front end does (Backend and its controller) and
// adds no logic of its own beyond presenting and stopping.

#include "ApplicationReport.h"
#include "Backend.h"
#include "ConsoleOutput.h"
#include "DataFolders.h"
#include "PipelineSession.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cmath>
#include <cstdio>

namespace {

const int ExitNormal = 0;
const int ExitFailure = 1;
const int ExitUsage = 2;

const char* const Description =
    "Runs the launcher's applications from a terminal.\n"
    "\n"
    "Commands:\n"
    "  (none)         load the applications and list them; when autostart is set,\n"
    "                 count down, start that application and stay until it has\n"
    "                 finished\n"
    "  list [--json]  list the loaded applications and whether they can run\n"
    "  run NAME       start the application NAME (its pipeline file's base name)\n"
    "                 now and stay until it has finished\n"
    "  check FILE...  read pipeline files as the launcher does and show what it\n"
    "                 reads and every problem\n"
    "\n"
    "Ctrl+C or SIGTERM cancels a countdown, or asks a running pipeline to\n"
    "terminate; its processes are killed after the stop timeout, or at once on a\n"
    "second Ctrl+C.\n"
    "\n"
    "Exit status: 0 finished normally, 1 failed, not started or invalid, 2 usage\n"
    "error, 130 interrupted.";

int usageError(const QString& message)
{
    ConsoleOutput::instance().error(message + QStringLiteral(" (see launcher --help)"));
    return ExitUsage;
}

// The command line that leads to the same data, for hints.
QString commandPrefix(const QString& dataHome, const QString& systemDir)
{
    auto quoted = [](const QString& text) {
        for (const QChar c : text) {
            if (!c.isLetterOrNumber() && !QStringLiteral("/._-+:@%").contains(c))
                return QStringLiteral("'%1'").arg(text);
        }
        return text;
    };
    QString prefix = QStringLiteral("launcher");
    if (!dataHome.isEmpty())
        prefix += QStringLiteral(" --data-home ") + quoted(dataHome);
    if (!systemDir.isEmpty())
        prefix += QStringLiteral(" --system-dir ") + quoted(systemDir);
    return prefix;
}

// initialize() starts the autostart countdown when the settings ask for one;
// only the main job waits for it.
void endCountdown(Backend& backend)
{
    if (backend.isAutoStartEnabled() && backend.findPipeline(backend.autostartTile()))
        backend.disableAutostart();
}

int mainJob(Backend& backend, PipelineSession& session, const QString& prefix)
{
    ConsoleOutput& output = ConsoleOutput::instance();
    if (!backend.isAutoStartEnabled()) {
        output.print(
            QStringLiteral("Autostart is off. Start an application with: %1 run NAME").arg(prefix));
        return ExitNormal;
    }
    const PipelineConfig* pipeline = backend.findPipeline(backend.autostartTile());
    if (!pipeline) {
        output.error(QStringLiteral("the autostart application '%1' is not loaded")
                         .arg(backend.autostartTile()));
        return ExitFailure;
    }
    return session.runAutostart(*pipeline);
}

int runCommand(Backend& backend, PipelineSession& session, const QString& name)
{
    const PipelineConfig* pipeline = backend.findPipeline(name);
    if (pipeline)
        return session.run(*pipeline);
    QStringList known;
    for (const PipelineConfig& config : backend.processPipelines())
        known.append(config.basename);
    ConsoleOutput::instance().error(
        QStringLiteral("unknown application '%1'; known applications: %2")
            .arg(name,
                 known.isEmpty() ? QStringLiteral("(none)") : known.join(QLatin1String(", "))));
    return ExitUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("launcher"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LAUNCHER_VERSION));
    ConsoleOutput::instance().install();

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dataHomeOption(
        QStringLiteral("data-home"),
        QStringLiteral("Read the launcher's files from DIR/Orvalen/launcher (launcher.ini, "
                       "apps/; logs go to its logs/) instead of the per-user folder, and "
                       "ignore the machine-wide folder. Stands in for $XDG_DATA_HOME while "
                       "loading; the applications get the environment unchanged."),
        QStringLiteral("DIR"));
    const QCommandLineOption systemDirOption(
        QStringLiteral("system-dir"),
        QStringLiteral("Read the machine-wide files from DIR/Orvalen/launcher instead of "
                       "the first folder of $XDG_CONFIG_DIRS (/etc/xdg)."),
        QStringLiteral("DIR"));
    const QCommandLineOption stopTimeoutOption(
        QStringLiteral("stop-timeout"),
        QStringLiteral("Kill a pipeline's processes when they have not ended SECONDS after "
                       "they were asked to terminate (default 5)."),
        QStringLiteral("SECONDS"), QStringLiteral("5"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("list: print the list as JSON."));
    parser.addOption(dataHomeOption);
    parser.addOption(systemDirOption);
    parser.addOption(stopTimeoutOption);
    parser.addOption(jsonOption);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("list, run NAME or check FILE... (see above)."),
                                 QStringLiteral("[command] [arguments]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    // Parsed without errors: this only answers --help, --help-all and --version.
    parser.process(QCoreApplication::arguments());

    QStringList arguments = parser.positionalArguments();
    const QString command = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (!command.isEmpty() && command != QLatin1String("list") && command != QLatin1String("run") &&
        command != QLatin1String("check"))
        return usageError(QStringLiteral("unknown command '%1'").arg(command));
    if ((command.isEmpty() || command == QLatin1String("list")) && !arguments.isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(arguments.first()));
    if (command == QLatin1String("run") && arguments.size() != 1)
        return usageError(QStringLiteral("run needs exactly one application name"));
    if (command == QLatin1String("check") && arguments.isEmpty())
        return usageError(QStringLiteral("check needs at least one pipeline file"));
    if (parser.isSet(jsonOption) && command != QLatin1String("list"))
        return usageError(QStringLiteral("--json applies to list only"));

    bool ok = false;
    const double stopTimeout = parser.value(stopTimeoutOption).toDouble(&ok);
    if (!ok || !std::isfinite(stopTimeout) || stopTimeout < 0 || stopTimeout > 86400)
        return usageError(QStringLiteral("--stop-timeout: '%1' is not a number of seconds "
                                         "from 0 to 86400")
                              .arg(parser.value(stopTimeoutOption)));
    const int stopTimeoutMs = int(std::lround(stopTimeout * 1000));

    const QString dataHome = parser.value(dataHomeOption);
    const QString systemDir = parser.value(systemDirOption);
    DataFolders folders;
    QString folderError;
    if ((parser.isSet(dataHomeOption) && dataHome.isEmpty()) ||
        (parser.isSet(systemDirOption) && systemDir.isEmpty()))
        return usageError(QStringLiteral("an empty folder name was given"));
    if (!folders.redirect(dataHome, systemDir, folderError))
        return usageError(folderError);

    Backend backend;
    if (command == QLatin1String("check")) {
        ApplicationReport report(backend, backend.userDataPath());
        bool allValid = true;
        for (const QString& file : arguments) {
            if (!report.checkFile(file))
                allValid = false;
        }
        return allValid ? ExitNormal : ExitFailure;
    }

    if (command == QLatin1String("list")) {
        backend.initialize();
        endCountdown(backend);
        ApplicationReport report(backend, backend.userDataPath());
        if (parser.isSet(jsonOption)) {
            const QByteArray json = report.listJson();
            std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
        } else {
            report.printList();
        }
        return ExitNormal;
    }

    // The session watches for interrupts from before the countdown begins.
    PipelineSession session(backend, stopTimeoutMs);
    backend.initialize();
    const QString dataFolder = backend.userDataPath();
    folders.restore();
    if (command == QLatin1String("run")) {
        endCountdown(backend);
        return runCommand(backend, session, arguments.first());
    }
    ApplicationReport(backend, dataFolder).printList();
    return mainJob(backend, session, commandPrefix(dataHome, systemDir));
}
