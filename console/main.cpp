// launcher: the console front end of the launcher backend. It drives the
// backend the way a graphical front end does (Backend and its controller) and
// adds no logic of its own beyond presenting and stopping.

#include "ApplicationReport.h"
#include "Backend.h"
#include "ConsoleOutput.h"
#include "ExitCode.h"
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
#include <csignal>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char* const Description =
    "Runs the launcher's applications from a terminal.\n"
    "\n"
    "Commands:\n"
    "  (none)         load the applications and list them; when autostart is set,\n"
    "                 count down, start that application and stay until it has\n"
    "                 finished\n"
    "  list [--json]  list the loaded applications, whether they can run and the\n"
    "                 problems in their files\n"
    "  run NAME       start the application NAME (its pipeline file's base name)\n"
    "                 now and stay until it has finished\n"
    "  check [--strict] [--json] FILE...\n"
    "                 read pipeline files (and launcher.ini) as the launcher does,\n"
    "                 show what it reads and every problem: errors (what will not\n"
    "                 read as written) and warnings (what is ignored)\n"
    "\n"
    "Ctrl+C, SIGTERM or SIGHUP cancels a countdown, or asks a running pipeline to\n"
    "terminate; its processes are killed after the stop timeout, or at once on a\n"
    "second Ctrl+C.\n"
    "\n"
    "Exit status: 0 finished normally, 1 failed, not started or invalid (check: an\n"
    "error, or with --strict also a warning), 2 usage error, 128 + the signal's\n"
    "number when stopped by a signal (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP).";

enum class Command
{
    Autostart, // none given
    List,
    Run,
    Check
};

// The folder options, and the XDG variables the backend reads the folders from.
const struct
{
    const char* option;
    const char* variable;
} Folders[] = {{"data-home", "XDG_DATA_HOME"}, {"system-dir", "XDG_CONFIG_DIRS"}};

struct Options
{
    Command command = Command::Autostart;
    QStringList arguments; // the command's
    bool json = false;
    bool strict = false;
    int stopTimeoutMs = 5000;
    QString folders[2]; // by Folders, absolute; empty when not given
    QString hintPrefix; // the command line that leads to the same data
};

// A process started with any of them closed would get its first files there:
// the signal pipe on standard error would read every trace line as Ctrl+C.
void openMissingStandardFiles()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 &&
            ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
            ::_exit(int(ExitCode::Failure)); // nowhere to say why
    }
}

QString quotedForShell(const QString& text)
{
    if (!text.contains(QRegularExpression(QStringLiteral("[^\\w/.+:@%-]"))))
        return text;
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// The options, or none after a usage error has been reported. Answers --help
// and --version itself, which end the program.
std::optional<Options> parseOptions()
{
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
                                        QStringLiteral("list, check: print the result as JSON."));
    const QCommandLineOption strictOption(QStringLiteral("strict"),
                                          QStringLiteral("check: fail on a warning, too."));
    parser.addOption(dataHomeOption);
    parser.addOption(systemDirOption);
    parser.addOption(stopTimeoutOption);
    parser.addOption(jsonOption);
    parser.addOption(strictOption);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("list, run NAME or check FILE... (see above)."),
                                 QStringLiteral("[command] [arguments]"));

    auto fail = [](const QString& message) {
        ConsoleOutput::error(message + QStringLiteral(" (see launcher --help)"));
        return std::nullopt;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    // Parsed without errors: this only answers --help, --help-all and --version.
    parser.process(QCoreApplication::arguments());

    Options options;
    options.arguments = parser.positionalArguments();
    const QString command = options.arguments.isEmpty() ? QString() : options.arguments.takeFirst();
    if (command == QLatin1String("list"))
        options.command = Command::List;
    else if (command == QLatin1String("run"))
        options.command = Command::Run;
    else if (command == QLatin1String("check"))
        options.command = Command::Check;
    else if (!command.isEmpty())
        return fail(QStringLiteral("unknown command '%1'").arg(command));

    switch (options.command) {
    case Command::Autostart:
    case Command::List:
        if (!options.arguments.isEmpty())
            return fail(QStringLiteral("unexpected argument '%1'").arg(options.arguments.first()));
        break;
    case Command::Run:
        if (options.arguments.size() != 1)
            return fail(QStringLiteral("run needs exactly one application name"));
        break;
    case Command::Check:
        if (options.arguments.isEmpty())
            return fail(QStringLiteral("check needs at least one pipeline file"));
        break;
    }
    options.json = parser.isSet(jsonOption);
    if (options.json && options.command != Command::List && options.command != Command::Check)
        return fail(QStringLiteral("--json applies to list and check only"));
    options.strict = parser.isSet(strictOption);
    if (options.strict && options.command != Command::Check)
        return fail(QStringLiteral("--strict applies to check only"));

    bool ok = false;
    const double stopTimeout = parser.value(stopTimeoutOption).toDouble(&ok);
    if (!ok || !std::isfinite(stopTimeout) || stopTimeout < 0 || stopTimeout > 86400)
        return fail(QStringLiteral("--stop-timeout: '%1' is not a number of seconds from 0 to "
                                   "86400")
                        .arg(parser.value(stopTimeoutOption)));
    options.stopTimeoutMs = int(std::lround(stopTimeout * 1000));

    options.hintPrefix = QStringLiteral("launcher");
    for (int i = 0; i < 2; ++i) {
        const QString option = QLatin1String(Folders[i].option);
        if (!parser.isSet(option))
            continue;
        const QString folder = parser.value(option);
        if (!QFileInfo(folder).isDir())
            return fail(QStringLiteral("--%1: '%2' is not a folder").arg(option, folder));
        // Absolute, so that the folders and log paths shown are complete.
        options.folders[i] = QFileInfo(folder).absoluteFilePath();
        options.hintPrefix += QStringLiteral(" --%1 %2").arg(option, quotedForShell(folder));
    }
    return options;
}

// The folder options stand in for the XDG variables while the backend loads;
// restore() gives the launcher's own values back before anything starts, so
// that the applications get the environment the launcher was started with.
class ChosenFolders
{
public:
    explicit ChosenFolders(const Options& options)
    {
        for (int i = 0; i < 2; ++i) {
            if (!options.folders[i].isEmpty())
                qputenv(Folders[i].variable, QFile::encodeName(options.folders[i]));
        }
        // A data home alone hides the machine-wide folder: nothing exists below /dev/null.
        if (!options.folders[0].isEmpty() && options.folders[1].isEmpty())
            qputenv("XDG_CONFIG_DIRS", "/dev/null");
    }

    void restore()
    {
        for (const auto& [option, variable] : Folders) {
            const QString name = QLatin1String(variable);
            if (m_launcherEnvironment.contains(name))
                qputenv(variable, QFile::encodeName(m_launcherEnvironment.value(name)));
            else
                qunsetenv(variable);
        }
    }

private:
    const QProcessEnvironment m_launcherEnvironment = QProcessEnvironment::systemEnvironment();
};

ExitCode checkFiles(Backend& backend, const Options& options)
{
    QList<FileCheck> checks;
    bool failed = false;
    for (const QString& file : options.arguments) {
        checks.append(checkFile(backend, file, options.json));
        failed = failed || checks.last().errors() > 0 ||
                 (options.strict && checks.last().warnings() > 0);
    }
    if (options.json)
        ConsoleOutput::write(checkJson(checks));
    return failed ? ExitCode::Failure : ExitCode::Normal;
}

ExitCode listApplications(Backend& backend, bool json)
{
    // Only looks: no log rotation, no countdown.
    backend.load();
    if (json)
        ConsoleOutput::write(listJson(backend));
    else
        printList(backend);
    return ExitCode::Normal;
}

ExitCode runAutostart(Backend& backend, PipelineSession& session, const QString& hintPrefix)
{
    if (!backend.isAutoStartEnabled()) {
        ConsoleOutput::print(
            QStringLiteral("Autostart is off. Start an application with: %1 run NAME")
                .arg(hintPrefix));
        return ExitCode::Normal;
    }
    const PipelineConfig* pipeline = backend.findPipeline(backend.autostartTile());
    if (!pipeline) {
        ConsoleOutput::error(QStringLiteral("the autostart application '%1' is not loaded")
                                 .arg(backend.autostartTile()));
        return ExitCode::Failure;
    }
    return session.runAutostart(*pipeline);
}

ExitCode runApplication(Backend& backend, PipelineSession& session, const QString& name)
{
    // Only the main job waits for the countdown.
    backend.disableAutostart();
    if (const PipelineConfig* pipeline = backend.findPipeline(name))
        return session.run(*pipeline);
    QStringList known;
    for (const PipelineConfig& config : backend.processPipelines())
        known.append(config.basename);
    ConsoleOutput::error(QStringLiteral("unknown application '%1'; known applications: %2")
                             .arg(name, known.isEmpty() ? QStringLiteral("(none)")
                                                        : known.join(QLatin1String(", "))));
    return ExitCode::Usage;
}

ExitCode dispatch(const Options& options)
{
    ChosenFolders folders(options);
    Backend backend;
    switch (options.command) {
    case Command::Check:
        return checkFiles(backend, options);
    case Command::List:
        return listApplications(backend, options.json);
    case Command::Autostart:
    case Command::Run:
        break;
    }

    // The session watches for signals from before the countdown begins.
    PipelineSession session(backend, options.stopTimeoutMs);
    backend.initialize();
    if (options.command == Command::Autostart)
        printList(backend);
    folders.restore();
    // The service manager learns that loading is done; only the main job counts down.
    ServiceNotifier notifier(backend);
    notifier.ready(options.command == Command::Autostart &&
                   backend.findPipeline(backend.autostartTile()));
    if (options.command == Command::Autostart)
        return runAutostart(backend, session, options.hintPrefix);
    return runApplication(backend, session, options.arguments.first());
}

} // namespace

int main(int argc, char* argv[])
{
    openMissingStandardFiles();
    // A reader that has gone must not end the launcher and leave its pipeline
    // running: writes then fail with EPIPE, and the console stops writing there.
    // Qt's process start puts the default back in the children.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("launcher"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LAUNCHER_VERSION));
    ConsoleOutput::install();

    const std::optional<Options> options = parseOptions();
    return int(options ? dispatch(*options) : ExitCode::Usage);
}
