// launcher: the console front end of the launcher backend. It drives the
// backend the way a graphical front end does (Backend and its controller) and
// adds no logic of its own beyond presenting and stopping.

#include "ApplicationReport.h"
#include "Backend.h"
#include "ConsoleOutput.h"
#include "ControlClient.h"
#include "ControlServer.h"
#include "ExitCode.h"
#include "PipelineSession.h"
#include "ServiceJournal.h"
#include "ServiceNotifier.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The longest a run that has ended waits for a rotation of old logs.
const int RotationWaitMs = 30000;

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
    "  serve          as with no command, but stay when the pipeline has finished\n"
    "                 (or nothing autostarts), waiting for commands, until SIGTERM\n"
    "                 or SIGINT\n"
    "\n"
    "Commands for the running launcher (no command, or serve):\n"
    "  status [--json]      what runs: pid, countdown, pipeline, its processes\n"
    "  stop [--timeout S]   stop the running pipeline, killed after S seconds\n"
    "  start NAME           start the application NAME now, as its file says now\n"
    "  restart APP/N        restart process N (the index that status shows) of the\n"
    "                       running application APP, also one given up after its\n"
    "                       restart limit; the other processes run on\n"
    "  reload               read launcher.ini and the pipeline files again; the\n"
    "                       running pipeline keeps what it started with\n"
    "  cancel               cancel the autostart countdown\n"
    "  metrics              the launcher's metrics in the Prometheus text format\n"
    "  logs [NAME] [-f] [-n N]  the log that NAME writes (the running application\n"
    "                       by default); -f follows it, -n shows the last N lines\n"
    "\n"
    "Ctrl+C, SIGTERM or SIGHUP cancels a countdown, or asks a running pipeline to\n"
    "terminate; its processes are killed after the stop timeout, or at once on a\n"
    "second Ctrl+C.\n"
    "\n"
    "Exit status: 0 finished normally, 1 failed, not started or invalid (check: an\n"
    "error, or with --strict also a warning; reload: a file with an error), 2\n"
    "usage error, 3 no launcher runs (the commands for the running launcher), 128 +\n"
    "the signal's number when stopped by a signal (130 Ctrl+C, 143 SIGTERM, 129\n"
    "SIGHUP).";

enum class Command
{
    Autostart, // none given
    List,
    Run,
    Check,
    Serve,
    Status,
    Stop,
    Start,
    Cancel,
    Logs,
    Reload,
    Restart,
    Metrics
};

const struct
{
    const char* name;
    Command command;
} Commands[] = {
    {"list", Command::List},     {"run", Command::Run},         {"check", Command::Check},
    {"serve", Command::Serve},   {"status", Command::Status},   {"stop", Command::Stop},
    {"start", Command::Start},   {"cancel", Command::Cancel},   {"logs", Command::Logs},
    {"reload", Command::Reload}, {"restart", Command::Restart}, {"metrics", Command::Metrics}};

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
    double timeoutSeconds = -1; // stop --timeout; the launcher's own when negative
    bool follow = false;
    int lines = -1;        // logs -n; all when negative
    int processIndex = -1; // restart APP/N: N
    QString folders[2];    // by Folders, absolute; empty when not given
    QString hintPrefix;    // the command line that leads to the same data
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

// The options the launcher takes, in the order --help lists them.
struct OptionSet
{
    const QCommandLineOption dataHome{
        QStringLiteral("data-home"),
        QStringLiteral("Read the launcher's files from DIR/Orvalen/launcher (launcher.ini, "
                       "apps/; logs go to its logs/) instead of the per-user folder, and "
                       "ignore the machine-wide folder. Stands in for $XDG_DATA_HOME while "
                       "loading; the applications get the environment unchanged."),
        QStringLiteral("DIR")};
    const QCommandLineOption systemDir{
        QStringLiteral("system-dir"),
        QStringLiteral("Read the machine-wide files from DIR/Orvalen/launcher instead of "
                       "the first folder of $XDG_CONFIG_DIRS (/etc/xdg)."),
        QStringLiteral("DIR")};
    const QCommandLineOption stopTimeout{
        QStringLiteral("stop-timeout"),
        QStringLiteral("Kill a pipeline's processes when they have not ended SECONDS after "
                       "they were asked to terminate (default 5)."),
        QStringLiteral("SECONDS"), QStringLiteral("5")};
    const QCommandLineOption json{QStringLiteral("json"),
                                  QStringLiteral("list, check, status: print the result as JSON.")};
    const QCommandLineOption strict{QStringLiteral("strict"),
                                    QStringLiteral("check: fail on a warning, too.")};
    const QCommandLineOption timeout{
        QStringLiteral("timeout"),
        QStringLiteral("stop: kill the processes SECONDS after asking them to terminate "
                       "(default: the launcher's stop timeout)."),
        QStringLiteral("SECONDS")};
    const QCommandLineOption follow{QStringList{QStringLiteral("f"), QStringLiteral("follow")},
                                    QStringLiteral("logs: go on printing what is written to the "
                                                   "log.")};
    const QCommandLineOption lines{QStringList{QStringLiteral("n"), QStringLiteral("lines")},
                                   QStringLiteral("logs: print the last N lines only."),
                                   QStringLiteral("N")};

    void addTo(QCommandLineParser& parser) const
    {
        for (const QCommandLineOption* option :
             {&dataHome, &systemDir, &stopTimeout, &json, &strict, &timeout, &follow, &lines})
            parser.addOption(*option);
        parser.addPositionalArgument(
            QStringLiteral("command"),
            QStringLiteral(
                "list, run NAME, check FILE..., serve, status, stop, "
                "start NAME, restart APP/N, reload, cancel, metrics or logs [NAME] (see above)."),
            QStringLiteral("[command] [arguments]"));
    }
};

// The command and its arguments into `options`; what is wrong with them, or
// empty.
QString readCommand(const QCommandLineParser& parser, Options& options)
{
    options.arguments = parser.positionalArguments();
    const QString command = options.arguments.isEmpty() ? QString() : options.arguments.takeFirst();
    if (!command.isEmpty()) {
        const auto* known = std::find_if(std::begin(Commands), std::end(Commands),
                                         [&command](const auto& c) { return command == c.name; });
        if (known == std::end(Commands))
            return QStringLiteral("unknown command '%1'").arg(command);
        options.command = known->command;
    }

    switch (options.command) {
    case Command::Autostart:
    case Command::List:
    case Command::Serve:
    case Command::Status:
    case Command::Stop:
    case Command::Cancel:
    case Command::Reload:
    case Command::Metrics:
        if (!options.arguments.isEmpty())
            return QStringLiteral("unexpected argument '%1'").arg(options.arguments.first());
        break;
    case Command::Run:
        if (options.arguments.size() != 1)
            return QStringLiteral("run needs exactly one application name");
        break;
    case Command::Start:
        if (options.arguments.size() != 1)
            return QStringLiteral("start needs exactly one application name");
        break;
    case Command::Restart: {
        // APP/N: the application guards against restarting another one's process.
        const QString target = options.arguments.value(0);
        const int slash = target.lastIndexOf(QLatin1Char('/'));
        bool ok = false;
        options.processIndex = target.mid(slash + 1).toInt(&ok, 10);
        if (options.arguments.size() != 1 || slash <= 0 || !ok || options.processIndex < 0)
            return QStringLiteral("restart needs APP/N: the application and the index of its "
                                  "process that status shows");
        options.arguments = QStringList{target.left(slash)};
        break;
    }
    case Command::Logs:
        if (options.arguments.size() > 1)
            return QStringLiteral("unexpected argument '%1'").arg(options.arguments.at(1));
        break;
    case Command::Check:
        if (options.arguments.isEmpty())
            return QStringLiteral("check needs at least one pipeline file");
        break;
    }
    return QString();
}

// The options that change what a command does, checked against the command.
QString readSwitches(const QCommandLineParser& parser, const OptionSet& set, Options& options)
{
    options.json = parser.isSet(set.json);
    if (options.json && options.command != Command::List && options.command != Command::Check &&
        options.command != Command::Status)
        return QStringLiteral("--json applies to list, check and status only");
    options.strict = parser.isSet(set.strict);
    if (options.strict && options.command != Command::Check)
        return QStringLiteral("--strict applies to check only");
    // Both timeouts: seconds from 0 to a day, fractions allowed; -1 when not a number.
    const auto seconds = [&parser](const QCommandLineOption& option) {
        bool ok = false;
        const double value = parser.value(option).toDouble(&ok);
        return ok && std::isfinite(value) && value >= 0 && value <= 86400 ? value : -1.0;
    };
    const auto notSeconds = [&parser](const QCommandLineOption& option) {
        return QStringLiteral("--%1: '%2' is not a number of seconds from 0 to 86400")
            .arg(option.names().first(), parser.value(option));
    };
    if (parser.isSet(set.timeout)) {
        if (options.command != Command::Stop)
            return QStringLiteral("--timeout applies to stop only");
        options.timeoutSeconds = seconds(set.timeout);
        if (options.timeoutSeconds < 0)
            return notSeconds(set.timeout);
    }
    options.follow = parser.isSet(set.follow);
    if (parser.isSet(set.lines)) {
        bool ok = false;
        options.lines = parser.value(set.lines).toInt(&ok);
        if (!ok || options.lines < 0)
            return QStringLiteral("-n: '%1' is not a number of lines").arg(parser.value(set.lines));
    }
    if ((options.follow || options.lines >= 0) && options.command != Command::Logs)
        return QStringLiteral("-f and -n apply to logs only");

    const double stopTimeout = seconds(set.stopTimeout);
    if (stopTimeout < 0)
        return notSeconds(set.stopTimeout);
    options.stopTimeoutMs = int(std::lround(stopTimeout * 1000));
    return QString();
}

// The folder options, absolute, and the command line that leads to the same data.
QString readFolders(const QCommandLineParser& parser, Options& options)
{
    options.hintPrefix = QStringLiteral("launcher");
    for (int i = 0; i < 2; ++i) {
        const QString option = QLatin1String(Folders[i].option);
        if (!parser.isSet(option))
            continue;
        const QString folder = parser.value(option);
        if (!QFileInfo(folder).isDir())
            return QStringLiteral("--%1: '%2' is not a folder").arg(option, folder);
        // Absolute, so that the folders and log paths shown are complete.
        options.folders[i] = QFileInfo(folder).absoluteFilePath();
        options.hintPrefix += QStringLiteral(" --%1 %2").arg(option, quotedForShell(folder));
    }
    return QString();
}

// The options, or none after a usage error has been reported. Answers --help
// and --version itself, which end the program.
std::optional<Options> parseOptions()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    parser.addHelpOption();
    parser.addVersionOption();
    const OptionSet set;
    set.addTo(parser);

    QString problem;
    Options options;
    if (!parser.parse(QCoreApplication::arguments())) {
        problem = parser.errorText();
    } else {
        // Parsed without errors: this only answers --help, --help-all and --version.
        parser.process(QCoreApplication::arguments());
        problem = readCommand(parser, options);
        if (problem.isEmpty())
            problem = readSwitches(parser, set, options);
        if (problem.isEmpty())
            problem = readFolders(parser, options);
    }
    if (problem.isEmpty())
        return options;
    ConsoleOutput::error(problem + QStringLiteral(" (see launcher --help)"));
    return std::nullopt;
}

// The folder options stand in for the XDG variables while the backend loads
// (and reloads); restore() gives the launcher's own values back before
// anything starts, so that the applications get the environment the launcher
// was started with.
class ChosenFolders
{
public:
    explicit ChosenFolders(const Options& options) : m_options(options) { apply(); }

    void apply()
    {
        for (int i = 0; i < 2; ++i) {
            if (!m_options.folders[i].isEmpty())
                qputenv(Folders[i].variable, QFile::encodeName(m_options.folders[i]));
        }
        // A data home alone hides the machine-wide folder: nothing exists below /dev/null.
        if (!m_options.folders[0].isEmpty() && m_options.folders[1].isEmpty())
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
    const Options& m_options;
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
    case Command::Status:
        return ControlClient::status(options.json);
    case Command::Stop:
        return ControlClient::stop(options.timeoutSeconds);
    case Command::Start:
        return ControlClient::start(options.arguments.first());
    case Command::Cancel:
        return ControlClient::cancel();
    case Command::Reload:
        return ControlClient::reload();
    case Command::Metrics:
        return ControlClient::metrics();
    case Command::Restart:
        return ControlClient::restart(options.arguments.first(), options.processIndex);
    case Command::Logs:
        return ControlClient::logs(backend, options.arguments.value(0), options.follow,
                                   options.lines);
    case Command::Autostart:
    case Command::Run:
    case Command::Serve:
        break;
    }

    // What the journal of a service gets follows the settings, reloads too.
    ServiceJournal::follow(backend);
    // The session watches for signals from before the countdown begins.
    PipelineSession session(backend, options.stopTimeoutMs);
    const bool mainJob = options.command != Command::Run;
    // Whatever runs a pipeline answers other shells, a run too: one launcher
    // runs for each user, and a second one refuses before it has touched
    // anything, as the screen does.
    ControlServer server(backend, session);
    if (!server.listen()) {
        ConsoleOutput::error(server.refusal());
        return ExitCode::Failure;
    }
    // The files are read again from the folders they were loaded from.
    server.setReload([&folders, &backend] {
        folders.apply();
        const QList<ConfigProblem> problems = backend.reload();
        folders.restore();
        return problems;
    });
    // The service manager hears that the start-up goes on while it rotates
    // old logs, then that it is done; only the main job counts down.
    ServiceNotifier notifier(backend);
    backend.initialize();
    if (mainJob)
        printList(backend);
    folders.restore();
    const PipelineConfig* autostart =
        backend.isAutoStartEnabled() ? backend.findPipeline(backend.autostartTile()) : nullptr;
    notifier.ready(mainJob && autostart);
    ExitCode status = ExitCode::Normal;
    if (options.command == Command::Serve)
        status = session.serve(autostart);
    else if (options.command == Command::Autostart)
        status = runAutostart(backend, session, options.hintPrefix);
    else
        status = runApplication(backend, session, options.arguments.first());
    // A run that ended by itself lets a rotation of old logs that runs (a new
    // day's, a split log's) finish; one ended by a signal cuts it short (the
    // next start goes on with it).
    if (int(status) < 128 && backend.isRotatingLogs()) {
        QEventLoop loop;
        QObject::connect(&backend, &Backend::logsRotated, &loop, &QEventLoop::quit);
        QTimer::singleShot(RotationWaitMs, &loop, &QEventLoop::quit);
        if (backend.isRotatingLogs())
            loop.exec();
    }
    return status;
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
    if (!options)
        return int(ExitCode::Usage);
    // Only a run holds a pipeline that its output must never hold up; every
    // other command is a report, written whole however slowly it is read.
    if (options->command != Command::Autostart && options->command != Command::Run &&
        options->command != Command::Serve)
        ConsoleOutput::waitForReader();
    return int(dispatch(*options));
}
