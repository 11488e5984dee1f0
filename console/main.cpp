// launcher: the console front end of the launcher backend. It drives the
// backend the way a graphical front end does (Backend and its controller) and
// adds no logic of its own beyond presenting and stopping.

#include "ApplicationReport.h"
#include "Backend.h"
#include "ConsoleOutput.h"
#include "PipelineSession.h"
#include "ServiceNotifier.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
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
    ConsoleOutput::error(message + QStringLiteral(" (see launcher --help)"));
    return ExitUsage;
}

// The folder options, and the XDG variables the backend reads the folders from.
const struct
{
    const char* option;
    const char* variable;
} Folders[] = {{"data-home", "XDG_DATA_HOME"}, {"system-dir", "XDG_CONFIG_DIRS"}};

// The command line that leads to the same data, for hints.
QString commandPrefix(const QCommandLineParser& parser)
{
    QString prefix = QStringLiteral("launcher");
    for (const auto& [option, variable] : Folders) {
        const QString folder = parser.value(QLatin1String(option));
        if (!folder.isEmpty())
            prefix += QStringLiteral(" --%1 %2")
                          .arg(QLatin1String(option),
                               folder.contains(QRegularExpression(QStringLiteral("[^\\w/.+:@%-]")))
                                   ? QLatin1Char('\'') + folder + QLatin1Char('\'')
                                   : folder);
    }
    return prefix;
}

int mainJob(Backend& backend, PipelineSession& session, const QString& prefix)
{
    if (!backend.isAutoStartEnabled()) {
        ConsoleOutput::print(
            QStringLiteral("Autostart is off. Start an application with: %1 run NAME").arg(prefix));
        return ExitNormal;
    }
    const PipelineConfig* pipeline = backend.findPipeline(backend.autostartTile());
    if (!pipeline) {
        ConsoleOutput::error(QStringLiteral("the autostart application '%1' is not loaded")
                                 .arg(backend.autostartTile()));
        return ExitFailure;
    }
    return session.runAutostart(*pipeline);
}

int runCommand(Backend& backend, PipelineSession& session, const QString& name)
{
    if (const PipelineConfig* pipeline = backend.findPipeline(name))
        return session.run(*pipeline);
    QStringList known;
    for (const PipelineConfig& config : backend.processPipelines())
        known.append(config.basename);
    ConsoleOutput::error(QStringLiteral("unknown application '%1'; known applications: %2")
                             .arg(name, known.isEmpty() ? QStringLiteral("(none)")
                                                        : known.join(QLatin1String(", "))));
    return ExitUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("launcher"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LAUNCHER_VERSION));
    ConsoleOutput::install();

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

    // The folder options stand in for the XDG variables while the backend
    // loads; the launcher's own values come back before anything starts, so
    // that the applications get the environment the launcher was started with.
    const QProcessEnvironment launcherEnvironment = QProcessEnvironment::systemEnvironment();
    for (const auto& [option, variable] : Folders) {
        if (!parser.isSet(QLatin1String(option)))
            continue;
        const QString folder = parser.value(QLatin1String(option));
        if (!QFileInfo(folder).isDir())
            return usageError(
                QStringLiteral("--%1: '%2' is not a folder").arg(QLatin1String(option), folder));
        // Absolute, so that the folders and log paths shown are complete.
        qputenv(variable, QFile::encodeName(QFileInfo(folder).absoluteFilePath()));
    }
    // A data home alone hides the machine-wide folder: nothing exists below /dev/null.
    if (parser.isSet(dataHomeOption) && !parser.isSet(systemDirOption))
        qputenv("XDG_CONFIG_DIRS", "/dev/null");

    Backend backend;
    if (command == QLatin1String("check")) {
        bool allValid = true;
        for (const QString& file : arguments)
            allValid = checkFile(backend, file) && allValid;
        return allValid ? ExitNormal : ExitFailure;
    }
    if (command == QLatin1String("list")) {
        // The countdown that initialize() begins never runs: there is no event loop.
        backend.initialize();
        if (parser.isSet(jsonOption)) {
            const QByteArray json = listJson(backend);
            std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
        } else {
            printList(backend);
        }
        return ExitNormal;
    }

    // The session watches for interrupts from before the countdown begins.
    PipelineSession session(backend, int(std::lround(stopTimeout * 1000)));
    backend.initialize();
    if (command.isEmpty())
        printList(backend);
    for (const auto& [option, variable] : Folders) {
        const QString name = QLatin1String(variable);
        if (launcherEnvironment.contains(name))
            qputenv(variable, QFile::encodeName(launcherEnvironment.value(name)));
        else
            qunsetenv(variable);
    }
    // Service manager: loaded; only the main job counts down.
    ServiceNotifier notifier(backend);
    notifier.ready(command.isEmpty() && backend.findPipeline(backend.autostartTile()));
    if (command.isEmpty())
        return mainJob(backend, session, commandPrefix(parser));
    // Only the main job waits for the countdown.
    backend.disableAutostart();
    return runCommand(backend, session, arguments.first());
}
