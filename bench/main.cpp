// Benchmarks of the launcher backend, each figure beside a baseline measured in
// the same run: contender and baseline alternate over several rounds and the
// medians are reported. Nothing here asserts a time; the program fails only
// when a result is wrong (a log that misses a line, a failed compression).
//
//   launcher-bench [--json] [--smoke] [--large] [--rounds N] [--only LIST]
//
// LIST names the figures to measure, separated by commas: capture, start,
// loading, rotation, flood, board (all by default).
//
// The figures:
//   log capture    a chatty child (bench-chatty) writes N lines of L bytes through
//                  `launcher run`, the console program of this build, with its
//                  log file and its standard output and error in /dev/null;
//                  baseline bench-floor, which writes every line twice with one
//                  call each (console and file), and `s6-log t`, which stamps
//                  every line with the time and keeps it in a file. Goals: time
//                  ratios of at most 0.6 to the floor and 1.5 to s6-log (where
//                  it is installed). Beside them, with no goal: the capture in
//                  this process, PipelineController::start(config, true) with a
//                  message handler that takes every line and writes none.
//   process start  a pipeline of N Sync /bin/true; baseline N bare QProcess starts
//                  and finishes one after the other on the event loop.
//   loading        N pipeline files through Backend::load(): each checked, read once
//                  and read by QSettings from a private copy of its bytes;
//                  baseline the same files read key by key with QSettings alone.
//   rotation       a generated log of M MiB through Backend::compressFile, beside
//                  gzip -6; each runs in a process of its own, so that its peak
//                  memory is its own (the growth of VmHWM across compressFile;
//                  gzip's ru_maxrss through bench-peak). --large adds a sparse
//                  file over 2 GiB.
//   log flood      /usr/bin/yes writes as fast as it can for 20 s through
//                  Backend::startApplication, with max-file-size=20M and
//                  max-total-size=60M: the largest size of the logs folder
//                  (every file in it, sampled every 100 ms); baseline the cap
//                  itself. The program fails when the folder exceeds it.
//
// For a board, a table of its own, each supervisor measured from outside
// through /proc:
//   memory         `launcher run` of one sleeping child, and of bench-noise
//                  writing 10,000 lines of 100 B a second: VmRSS once settled,
//                  and after 10 s of the chatty child with its peak (VmHWM);
//                  baseline hold-child, a Qt Core program of one QProcess
//                  that copies the child's output to a file.
//   CPU            the supervisor's threads' time on a CPU over 8 s of the
//                  chatty child, per 1,000 lines its log gained; baselines
//                  hold-child and `s6-log t` (where installed).
//   screen         launcher-ui-mem --board: the screen on the tiles drawn
//                  with ui/renderer=software and =opengl, beside a bare Qt
//                  Quick window drawn the same way (where the screen is built).
//
// Internal sub-commands (the program runs itself): load-child backend|qsettings
// APPS and compress-child FILE print one JSON object each; hold-child LOG
// PROGRAM ARGS is the board's baseline supervisor.

#include "Backend.h"
#include "PipelineController.h"
#include "ProcessProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Options
{
    bool json = false;
    bool smoke = false;
    bool large = false;
    int rounds = 5;
    QStringList only{"capture", "start", "loading", "rotation", "flood", "board"};
};

// One line of the table.
struct Row
{
    QString benchmark;
    QString figure;
    double contender = 0;
    double baseline = 0;
    QString baselineName;
    QString note;
    bool lowerIsBetter = true;
    // The most the time ratio should be, where there is a goal (else 0).
    double target = 0;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

QString programPath(const char* name)
{
    return QStringLiteral("%1/%2").arg(QCoreApplication::applicationDirPath(), QLatin1String(name));
}

// A field of /proc/<pid>/status in KiB ("VmHWM", "VmRSS").
qint64 statusKiB(const char* field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct ChildRun
{
    bool ok = false;
    double seconds = 0;
};

// A command line as posix_spawn() takes it, encoded as file names are.
class ArgumentVector
{
public:
    explicit ArgumentVector(const QStringList& arguments)
    {
        for (const QString& argument : arguments)
            m_encoded.push_back(QFile::encodeName(argument));
        for (QByteArray& argument : m_encoded)
            m_argv.push_back(argument.data());
        m_argv.push_back(nullptr);
    }
    char* const* data() { return m_argv.data(); }
    const char* operator[](size_t index) const { return m_argv[index]; }

private:
    std::vector<QByteArray> m_encoded;
    std::vector<char*> m_argv;
};

// Runs a program to its end with its standard output in a file, and its
// standard error too where one is given.
ChildRun spawn(const QStringList& arguments, const QString& outputPath,
               const QString& errorPath = QString())
{
    ArgumentVector argv(arguments);
    const QByteArray output = QFile::encodeName(outputPath);
    const QByteArray error = QFile::encodeName(errorPath);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!error.isEmpty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error.constData(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ChildRun run;
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return run;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return run;
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// Runs `producer | consumer` to their ends, the consumer's standard output in
// /dev/null; the time from the first start to the last end.
ChildRun spawnPiped(const QStringList& producer, const QStringList& consumer)
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        return {};
    const auto start = [](const QStringList& arguments, int in, int out, pid_t& pid) {
        ArgumentVector argv(arguments);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (in >= 0)
            posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        if (out >= 0)
            posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return error == 0;
    };
    ChildRun run;
    QElapsedTimer timer;
    timer.start();
    pid_t producerPid = 0, consumerPid = 0;
    const bool producing = start(producer, -1, channel[1], producerPid);
    const bool consuming = start(consumer, channel[0], -1, consumerPid);
    ::close(channel[0]);
    ::close(channel[1]);
    int producerStatus = 0, consumerStatus = 0;
    const bool ended = (!producing || waitpid(producerPid, &producerStatus, 0) == producerPid) &&
                       (!consuming || waitpid(consumerPid, &consumerStatus, 0) == consumerPid);
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    const auto exitedWell = [](int status) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    run.ok =
        producing && consuming && ended && exitedWell(producerStatus) && exitedWell(consumerStatus);
    return run;
}

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

void printJson(const QJsonObject& object)
{
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fputc('\n', stdout);
}

// The capture in this process: a message handler that takes every message,
// as a console would, converts it as a console does, and writes none.
qint64 s_childBytes = 0;

void onMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    QByteArray line = text.toUtf8();
    line += '\n';
    // The launcher's own lines and the process object's are time-stamped.
    const int at = text.indexOf(QLatin1String("] "));
    if (at > 0 && at + 2 < text.size() && text.at(at + 2) != QLatin1Char('['))
        s_childBytes += text.size() - at - 2;
}

void discardMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

// The pieces that the rotation compressed, told by its trace lines.
int s_compressed = 0;

void countCompressed(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (text.startsWith(QLatin1String("Compressed old log file")))
        ++s_compressed;
}

// --- log capture ---------------------------------------------------------

// The chatty child's lines without their line ends, one after the other.
QByteArray chattyText(qint64 count, int length)
{
    QByteArray line(length - 1, 'a');
    for (int i = 0; i < length - 1; ++i)
        line[i] = char('a' + i % 26);
    QByteArray text;
    text.reserve(int(count * (length - 1)));
    for (qint64 i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "L%09lld ", i % 1000000000);
        std::memcpy(line.data(), number, 11);
        text += line;
    }
    return text;
}

// Every byte of the child, in order. A line that reached the launcher in two
// reads is two log lines, so the lines' texts are joined before comparing.
// Lines are "[ pid ] text" (the launcher's own and the process object's are
// time-stamped), or, from s6-log, "@<TAI64N stamp> text".
bool logHoldsEveryByte(const QString& path, const QByteArray& expected, bool s6Stamps = false)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray text;
    text.reserve(expected.size());
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (s6Stamps) {
            const int at = line.indexOf(' ');
            if (line.startsWith('@') && at > 0)
                text.append(line.constData() + at + 1, line.size() - at - 1);
            continue;
        }
        const int at = line.indexOf("] ");
        if (at > 0 && at + 2 < line.size() && line.at(at + 2) != '[')
            text.append(line.constData() + at + 2, line.size() - at - 2);
    }
    return text == expected;
}

// The capture in this process in seconds, its every byte checked in the
// messages and in the file.
double inProcessCapture(PipelineConfig pipeline, const QString& logPath, const QByteArray& expected,
                        bool& ok)
{
    pipeline.logPath = logPath;
    s_childBytes = 0;
    const QtMessageHandler previous = qInstallMessageHandler(&onMessage);
    PipelineController controller;
    QElapsedTimer timer;
    timer.start();
    const bool finished =
        controller.start(pipeline, true) && controller.waitForPipelineFinished(600000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    qInstallMessageHandler(previous);
    const QString logFile = QDir(logPath).entryInfoList({"*.log"}).value(0).filePath();
    if (!finished || s_childBytes != expected.size() || !logHoldsEveryByte(logFile, expected)) {
        std::fprintf(stderr, "log capture: the log or the messages miss bytes\n");
        ok = false;
    }
    QDir(logPath).removeRecursively();
    return seconds;
}

#ifndef LAUNCHER_PROGRAM
#define LAUNCHER_PROGRAM "" // built without the console
#endif

// `launcher run chatty` from start to exit, its console in /dev/null, its log
// file checked for every byte.
double consoleCapture(const QString& home, const QString& logPath, const QByteArray& expected,
                      bool& ok)
{
    if (QStringLiteral(LAUNCHER_PROGRAM).isEmpty()) {
        std::fprintf(stderr, "log capture: the console program is not built\n");
        ok = false;
        return 0;
    }
    const ChildRun run = spawn({QStringLiteral(LAUNCHER_PROGRAM), QStringLiteral("--data-home"),
                                home, QStringLiteral("run"), QStringLiteral("chatty")},
                               QStringLiteral("/dev/null"), QStringLiteral("/dev/null"));
    const QString logFile = QDir(logPath).entryInfoList({"*.log"}).value(0).filePath();
    if (!run.ok || !logHoldsEveryByte(logFile, expected)) {
        std::fprintf(stderr, "log capture: launcher run failed or its log misses bytes\n");
        ok = false;
    }
    QDir(logPath).removeRecursively();
    return run.seconds;
}

// The chatty pipeline as a file for `launcher run`, its log in `runLogs`.
bool writeChattyPipeline(const QString& home, const QString& runLogs, const ProcessConfig& process)
{
    QDir().mkpath(home + QStringLiteral("/Orvalen/launcher/apps"));
    QFile file(home + QStringLiteral("/Orvalen/launcher/apps/chatty.ini"));
    return file.open(QIODevice::WriteOnly) &&
           file.write(QStringLiteral("[process-0]\nexec=%1\narguments=%2\nmode=sync\n"
                                     "required=true\n[logs]\npath=%3\n")
                          .arg(process.exec, process.arguments.join(QStringLiteral(", ")), runLogs)
                          .toUtf8()) >= 0;
}

// bench-floor's two writes per line of the child, in seconds.
double floorCapture(const QString& folder, const QStringList& child, const QByteArray& expected,
                    bool& ok)
{
    const QString floorLog = folder + QStringLiteral("/floor.log");
    const ChildRun run = spawn(
        QStringList{programPath("bench-floor"), QStringLiteral("/dev/null"), floorLog} + child,
        QStringLiteral("/dev/null"));
    if (!run.ok || !logHoldsEveryByte(floorLog, expected)) {
        std::fprintf(stderr, "log capture: bench-floor failed\n");
        ok = false;
    }
    QFile::remove(floorLog);
    return run.seconds;
}

// `s6-log t` on the child's output, in seconds.
double s6Capture(const QString& s6Log, const QString& folder, const QStringList& child,
                 const QByteArray& expected, bool& ok)
{
    // One file, as the launcher writes: by default s6-log would turn its
    // file over every 99999 bytes.
    const QString s6Folder = folder + QStringLiteral("/s6-log");
    const ChildRun run =
        spawnPiped(child, {s6Log, QStringLiteral("t"), QStringLiteral("s100000000"), s6Folder});
    if (!run.ok || !logHoldsEveryByte(s6Folder + QStringLiteral("/current"), expected, true)) {
        std::fprintf(stderr, "log capture: s6-log failed\n");
        ok = false;
    }
    QDir(s6Folder).removeRecursively();
    return run.seconds;
}

struct CaptureTimes
{
    std::vector<double> launcher, floor, inProcess, s6;
};

QList<Row> captureRows(qint64 count, int length, const CaptureTimes& times, bool ok)
{
    const auto seconds = [](const std::vector<double>& run) {
        return QString::number(median(run), 'f', 3);
    };
    Row row;
    row.benchmark = QStringLiteral("log capture");
    row.figure = QStringLiteral("lines/s, %1 lines of %2 B, launcher run").arg(count).arg(length);
    row.lowerIsBetter = false;
    row.contender = double(count) / median(times.launcher);
    row.baseline = double(count) / median(times.floor);
    row.baselineName = QStringLiteral("two writes per line");
    row.target = 0.6;
    row.note = QStringLiteral("start to exit, console to /dev/null: launcher %1 s, floor %2 s; "
                              "every byte in order: %3")
                   .arg(seconds(times.launcher), seconds(times.floor), ok ? "yes" : "NO");
    QList<Row> rows{row};
    row.baselineName = QStringLiteral("s6-log t");
    row.target = 1.5;
    if (times.s6.empty()) {
        row.baseline = 0;
        row.target = 0;
        row.note = QStringLiteral("s6-log is not installed (scripts/install-deps bench)");
    } else {
        row.baseline = double(count) / median(times.s6);
        row.note = QStringLiteral("launcher %1 s (console shown), s6-log %2 s (shows none)")
                       .arg(seconds(times.launcher), seconds(times.s6));
    }
    rows << row;
    row.figure = QStringLiteral("lines/s, %1 lines of %2 B, in this process, no console")
                     .arg(count)
                     .arg(length);
    row.contender = double(count) / median(times.inProcess);
    row.baseline = double(count) / median(times.floor);
    row.baselineName = QStringLiteral("two writes per line");
    row.target = 0;
    row.note = QStringLiteral("PipelineController in the bench's process, a message handler "
                              "that converts each line and writes none: %1 s; launcher run "
                              "adds its start, its end and its console")
                   .arg(seconds(times.inProcess));
    return rows << row;
}

// The same child's lines through `launcher run`, bench-floor and s6-log in
// the same rounds, and through the capture in this process.
QList<Row> logCapture(const Options& options, const QString& folder, bool& ok)
{
    const qint64 count = options.smoke ? 2000 : 200000;
    const int length = 100;
    PipelineConfig pipeline;
    pipeline.basename = QStringLiteral("chatty");
    pipeline.logBasename = QStringLiteral("chatty");
    ProcessConfig process;
    process.exec = programPath("bench-chatty");
    process.arguments = QStringList{QString::number(count), QString::number(length)};
    process.mode = ProcessMode::Sync;
    process.isRequired = true;
    pipeline.processList = {process};
    const QStringList child{process.exec, process.arguments[0], process.arguments[1]};
    const QString s6Log = QStandardPaths::findExecutable(QStringLiteral("s6-log"));

    const QString home = folder + QStringLiteral("/home");
    const QString runLogs = folder + QStringLiteral("/run-logs");
    if (!writeChattyPipeline(home, runLogs, process)) {
        std::fprintf(stderr, "log capture: cannot write the pipeline file\n");
        ok = false;
        return {};
    }

    const QByteArray expected = chattyText(count, length);
    CaptureTimes times;
    for (int round = 0; round < options.rounds; ++round) {
        times.launcher.push_back(consoleCapture(home, runLogs, expected, ok));
        times.floor.push_back(floorCapture(folder, child, expected, ok));
        const QString logPath = QStringLiteral("%1/capture-%2").arg(folder).arg(round);
        times.inProcess.push_back(inProcessCapture(pipeline, logPath, expected, ok));
        if (!s6Log.isEmpty())
            times.s6.push_back(s6Capture(s6Log, folder, child, expected, ok));
    }
    return captureRows(count, length, times, ok);
}

// --- process start -------------------------------------------------------

double bareStarts(int count)
{
    QObject owner;
    QEventLoop loop;
    int left = count;
    std::function<void()> next = [&]() {
        if (left-- == 0) {
            loop.quit();
            return;
        }
        auto* process = new QProcess(&owner);
        QObject::connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &owner,
                         [&next, process]() {
                             process->deleteLater();
                             next();
                         });
        process->start(QStringLiteral("/bin/true"), QStringList());
    };
    QElapsedTimer timer;
    timer.start();
    next();
    loop.exec();
    return double(timer.nsecsElapsed()) / 1e9;
}

Row processStart(const Options& options, bool& ok)
{
    // Short pipelines, many rounds: on a shared machine the load drifts, and
    // pairs measured close together (in either order) cancel most of it.
    const int count = options.smoke ? 5 : 40;
    const int rounds = options.smoke ? options.rounds : options.rounds * 5;
    PipelineConfig pipeline;
    pipeline.basename = QStringLiteral("starts");
    ProcessConfig process;
    process.exec = QStringLiteral("/bin/true");
    process.mode = ProcessMode::Sync;
    for (int i = 0; i < count; ++i)
        pipeline.processList.append(process);

    std::vector<double> launcher, bare;
    const QtMessageHandler previous = qInstallMessageHandler(&onMessage);
    for (int round = 0; round < rounds; ++round) {
        if (round % 2)
            bare.push_back(bareStarts(count));
        PipelineController controller;
        QElapsedTimer timer;
        timer.start();
        if (!controller.start(pipeline, false) || !controller.waitForPipelineFinished(600000))
            ok = false;
        launcher.push_back(double(timer.nsecsElapsed()) / 1e9);
        if (round % 2 == 0)
            bare.push_back(bareStarts(count));
    }
    qInstallMessageHandler(previous);
    Row row;
    row.benchmark = QStringLiteral("process start");
    row.figure = QStringLiteral("ms per start, %1 x %2 Sync /bin/true").arg(rounds).arg(count);
    row.contender = median(launcher) * 1000 / count;
    row.baseline = median(bare) * 1000 / count;
    row.baselineName = QStringLiteral("bare QProcess");
    return row;
}

// --- loading -------------------------------------------------------------

const char* const PipelineFile = R"([ui]
name=Application %1
icon=app-%1.png

[logs]
basename=app-%1

[process-0]
exec=/bin/sh
arguments=-c, "echo sound server %1; sleep 1"
mode=daemon
restart-on-crash=true
library-paths=/usr/bin, /bin
environment\VOLUME=%1

[process-1]
exec=/bin/sh
arguments=-c, "echo player %1"
mode=sync
required=true
working-directory=/tmp
add-log-timestamp=true
)";

int loadChild(const QStringList& arguments)
{
    qInstallMessageHandler(&discardMessage);
    const qint64 before = statusKiB("VmRSS");
    QElapsedTimer timer;
    timer.start();
    int files = 0;
    if (arguments.value(0) == QLatin1String("backend")) {
        static Backend backend; // kept for the resident figure below
        backend.load();
        files = backend.processPipelines().size();
    } else {
        QDirIterator it(arguments.value(1), {QStringLiteral("*.ini")}, QDir::Files);
        while (it.hasNext()) {
            QSettings settings(it.next(), QSettings::IniFormat);
            for (const QString& key : settings.allKeys())
                settings.value(key);
            ++files;
        }
    }
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    printJson({{"ms", ms},
               {"files", files},
               {"rssKiB", statusKiB("VmRSS")},
               {"rssGrowthKiB", statusKiB("VmRSS") - before}});
    return 0;
}

Row loading(const Options& options, const QString& folder, bool& ok)
{
    const int count = options.smoke ? 20 : 1000;
    const QString apps = folder + QStringLiteral("/user/Orvalen/launcher/apps");
    QDir().mkpath(apps);
    QDir().mkpath(folder + QStringLiteral("/machine"));
    for (int i = 0; i < count; ++i) {
        QFile file(QStringLiteral("%1/app%2.ini").arg(apps).arg(i));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QString::fromLatin1(PipelineFile).arg(i).toUtf8()) < 0)
            ok = false;
    }
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder + QStringLiteral("/user")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(folder + QStringLiteral("/machine")));

    std::vector<double> launcher, plain, resident;
    const QString output = folder + QStringLiteral("/load.json");
    const QString self = QCoreApplication::applicationFilePath();
    for (int round = 0; round < options.rounds; ++round) {
        ChildRun run = spawn({self, "load-child", "backend", apps}, output);
        const QJsonObject backend = readJson(output);
        if (!run.ok || backend.value("files").toInt() != count) {
            std::fprintf(stderr, "loading: the backend loaded %d of %d files\n",
                         backend.value("files").toInt(), count);
            ok = false;
        }
        launcher.push_back(backend.value("ms").toDouble() / count);
        resident.push_back(backend.value("rssKiB").toDouble() / 1024);
        run = spawn({self, "load-child", "qsettings", apps}, output);
        ok = ok && run.ok;
        plain.push_back(readJson(output).value("ms").toDouble() / count);
    }
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_CONFIG_DIRS");
    Row row;
    row.benchmark = QStringLiteral("loading");
    row.figure = QStringLiteral("ms per file, %1 files").arg(count);
    row.contender = median(launcher);
    row.baseline = median(plain);
    row.baselineName = QStringLiteral("QSettings alone");
    row.note = QStringLiteral("%1 us a file more than QSettings alone; resident %2 MiB after "
                              "loading")
                   .arg((row.contender - row.baseline) * 1000, 0, 'f', 1)
                   .arg(median(resident), 0, 'f', 1);
    return row;
}

// --- rotation ------------------------------------------------------------

int compressChild(const QStringList& arguments)
{
    qInstallMessageHandler(&discardMessage);
    Backend backend;
    const qint64 before = statusKiB("VmHWM");
    QElapsedTimer timer;
    timer.start();
    const bool compressed = backend.compressFile(QFileInfo(arguments.value(0)));
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    printJson({{"ms", ms}, {"ok", compressed}, {"peakAboveStartKiB", statusKiB("VmHWM") - before}});
    return compressed ? 0 : 1;
}

// Log lines much like a pipeline's, with enough variety to compress as such.
bool writeLog(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    quint32 state = 12345;
    QByteArray chunk;
    qint64 written = 0;
    while (written < size) {
        chunk.clear();
        for (int i = 0; i < 1000; ++i) {
            state = state * 1664525u + 1013904223u;
            chunk +=
                QStringLiteral("[ %1 ] [2026-12-06 %2:%3:%4.%5] worker %6: request %7 took %8 ms\n")
                    .arg(1000 + (state >> 28))
                    .arg((state >> 8) % 24, 2, 10, QLatin1Char('0'))
                    .arg((state >> 12) % 60, 2, 10, QLatin1Char('0'))
                    .arg((state >> 16) % 60, 2, 10, QLatin1Char('0'))
                    .arg(state % 1000, 3, 10, QLatin1Char('0'))
                    .arg((state >> 20) % 8)
                    .arg(state % 100000)
                    .arg((state >> 4) % 500)
                    .toLatin1();
        }
        if (file.write(chunk.left(int(qMin<qint64>(chunk.size(), size - written)))) < 0)
            return false;
        written += chunk.size();
    }
    return true;
}

Row rotation(const Options& options, const QString& folder, bool sparse, bool& ok)
{
    const qint64 size = sparse ? (qint64(2) << 30) + (qint64(1) << 20)
                               : (options.smoke ? 1 : 64) * (qint64(1) << 20);
    const QString log =
        folder + (sparse ? QStringLiteral("/large.log") : QStringLiteral("/rotate.log"));
    if (sparse) {
        QFile file(log);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(size))
            ok = false;
    } else if (!writeLog(log, size)) {
        ok = false;
    }
    const QString self = QCoreApplication::applicationFilePath();
    const QString output = folder + QStringLiteral("/compress.json");
    std::vector<double> launcherMs, gzipMs, launcherPeak, gzipPeak, launcherSize, gzipSize;
    const int rounds = sparse ? 1 : options.rounds;
    bool intact = true;
    for (int round = 0; round < rounds; ++round) {
        const ChildRun run = spawn({self, "compress-child", log}, output);
        const QJsonObject result = readJson(output);
        if (!run.ok || !result.value("ok").toBool()) {
            std::fprintf(stderr, "rotation: compressing %lld bytes failed\n", size);
            ok = false;
        }
        // The gzip file must give back the file, byte for byte (checked once).
        if (round == 0 &&
            !spawn({"/bin/sh", "-c", R"(gzip -dc "$1.gz" | cmp -s - "$1")", "sh", log},
                   QStringLiteral("/dev/null"))
                 .ok) {
            std::fprintf(stderr, "rotation: the gzip file of %lld bytes does not hold the file\n",
                         size);
            ok = false;
            intact = false;
        }
        launcherMs.push_back(result.value("ms").toDouble());
        launcherPeak.push_back(result.value("peakAboveStartKiB").toDouble() / 1024);
        launcherSize.push_back(double(QFileInfo(log + ".gz").size()));
        QFile::remove(log + ".gz");

        const QString peak = folder + QStringLiteral("/peak.txt");
        const ChildRun gzip =
            spawn({programPath("bench-peak"), peak, "/bin/gzip", "-6", "-c", log}, log + ".ref.gz");
        ok = ok && gzip.ok;
        gzipMs.push_back(gzip.seconds * 1000);
        QFile peakFile(peak);
        gzipPeak.push_back(peakFile.open(QIODevice::ReadOnly)
                               ? peakFile.readAll().trimmed().toDouble() / 1024
                               : 0);
        gzipSize.push_back(double(QFileInfo(log + ".ref.gz").size()));
        QFile::remove(log + ".ref.gz");
    }
    QFile::remove(log);
    const double mib = double(size) / (1 << 20);
    Row row;
    row.benchmark = sparse ? QStringLiteral("rotation, large") : QStringLiteral("rotation");
    row.figure = QStringLiteral("ms, %1 MiB%2").arg(mib, 0, 'f', 0).arg(sparse ? " sparse" : "");
    row.contender = median(launcherMs);
    row.baseline = median(gzipMs);
    row.baselineName = QStringLiteral("gzip -6");
    row.note = QStringLiteral("size %1 vs %2 B; peak memory %3 MiB above start (%4x the file) vs "
                              "gzip's %5 MiB; gives back every byte: %6")
                   .arg(median(launcherSize), 0, 'f', 0)
                   .arg(median(gzipSize), 0, 'f', 0)
                   .arg(median(launcherPeak), 0, 'f', 1)
                   .arg(median(launcherPeak) / mib, 0, 'f', 2)
                   .arg(median(gzipPeak), 0, 'f', 1)
                   .arg(intact ? "yes" : "NO");
    return row;
}

// --- log flood -----------------------------------------------------------

// Every regular file below the folder, temporary ones included.
qint64 folderBytes(const QString& folder)
{
    qint64 bytes = 0;
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext())
        bytes += QFileInfo(files.next()).size();
    return bytes;
}

Row logFlood(const Options& options, const QString& folder, bool& ok)
{
    const int seconds = options.smoke ? 1 : 20;
    const qint64 fileSize = options.smoke ? 256 << 10 : 20 << 20;
    const qint64 cap = options.smoke ? 1 << 20 : 60 << 20;
    const QString data = folder + QStringLiteral("/flood");
    const QString home = data + QStringLiteral("/Orvalen/launcher");
    const auto write = [&ok](const QString& path, const QString& text) {
        QFile file(path);
        ok = ok && QDir().mkpath(QFileInfo(path).absolutePath()) &&
             file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0;
    };
    write(home + QStringLiteral("/launcher.ini"),
          QStringLiteral("[logs]\nmax-file-size=%1\nmax-total-size=%2\n").arg(fileSize).arg(cap));
    write(home + QStringLiteral("/apps/flood.ini"),
          QStringLiteral("[process-0]\nexec=/usr/bin/yes\narguments=flood\nmode=sync\n"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(data + QStringLiteral("/none")));
    // Millions of lines: the console is not the point here.
    s_compressed = 0;
    const QtMessageHandler previous = qInstallMessageHandler(&countCompressed);
    qint64 largest = 0, largestPiece = 0;
    int pieces = 0;
    {
        Backend backend;
        QObject::connect(backend.pipelineController(), &PipelineController::logFileSplit,
                         [&pieces, &largestPiece](const QString& piece) {
                             ++pieces;
                             largestPiece = std::max(largestPiece, QFileInfo(piece).size());
                         });
        ok = ok && backend.initialize() && backend.startApplication(QStringLiteral("flood"));
        const QString logs = backend.defaultLogPath();
        QEventLoop loop;
        QTimer sample;
        QElapsedTimer elapsed;
        elapsed.start();
        QObject::connect(&sample, &QTimer::timeout, &loop, [&] {
            largest = std::max(largest, folderBytes(logs));
            if (elapsed.elapsed() >= seconds * 1000)
                loop.quit();
        });
        sample.start(100);
        loop.exec();
        backend.stopApplication();
        ok = ok && backend.pipelineController()->waitForPipelineFinished(30000);
    }
    qInstallMessageHandler(previous);
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_CONFIG_DIRS");
    if (largest > cap) {
        std::fprintf(stderr, "log flood: the logs folder took %lld bytes, beyond its cap of %lld\n",
                     largest, cap);
        ok = false;
    }
    const double mib = 1 << 20;
    Row row;
    row.benchmark = QStringLiteral("log flood");
    row.figure =
        QStringLiteral("largest MiB of the logs folder, yes for %1 s, max-file-size %2 MiB")
            .arg(seconds)
            .arg(double(fileSize) / mib, 0, 'f', 2);
    row.contender = double(largest) / mib;
    row.baseline = double(cap) / mib;
    row.baselineName = QStringLiteral("max-total-size");
    row.note = QStringLiteral("%1 pieces split off (about %2 MiB through the log), the largest "
                              "%3 bytes; %4 compressed, the others dropped; within the cap: %5")
                   .arg(pieces)
                   .arg(double(pieces) * double(largestPiece) / mib, 0, 'f', 0)
                   .arg(largestPiece)
                   .arg(s_compressed)
                   .arg(largest <= cap ? "yes" : "NO");
    return row;
}

// --- for a board ---------------------------------------------------------

// The lines in the files of a folder (a log folder, s6-log's).
qint64 linesIn(const QString& folder)
{
    qint64 lines = 0;
    QDirIterator files(folder, QDir::Files);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd())
            lines += file.read(1 << 20).count('\n');
    }
    return lines;
}

// The baseline's supervisor: a Qt Core program that does nothing but hold
// one child and copy its output to a file, as plainly as Qt allows.
int holdChild(const QStringList& arguments)
{
    if (arguments.size() < 2)
        return 64;
    QFile log(arguments[0]);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&child, &QProcess::readyRead, [&] { log.write(child.readAll()); });
    QObject::connect(&child, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                     QCoreApplication::instance(), &QCoreApplication::quit);
    child.start(arguments[1], arguments.mid(2));
    if (!child.waitForStarted(10000))
        return 1;
    std::printf("started\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

const int ChattyRate = 1000000; // bytes a second: 10,000 lines of 100 bytes

// One supervisor of a marked child, measured: its resident memory once the
// child runs and, for a chatty child, its CPU time over a window and the
// lines logged in that window.
struct Supervised
{
    qint64 idleKiB = -1;
    Usage end;
    double cpuMsPer1000 = 0;
    qint64 lines = 0;
    bool ok = false;
};

class Supervisor
{
public:
    // The process measured is `process` itself, or `reader` where the
    // child (`process`) writes to it through a pipe.
    QProcess process;
    QProcess reader;
    bool readsPipe = false;

    ~Supervisor() { stop(); }

    qint64 watchedPid() const { return readsPipe ? reader.processId() : process.processId(); }

    void stop()
    {
        for (QProcess* p : {&process, &reader}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(20000))
                    p->kill();
                p->waitForFinished(5000);
            }
        }
    }
};

// Measures the supervisor once its child (with the marker) runs; a chatty
// child's lines are counted in `logs`. `stopChild` ends the child where the
// supervisor is not one to end it on a signal of its own.
Supervised measureSupervisor(Supervisor& supervisor, const QByteArray& marker, const QString& logs,
                             bool chatty, double warmSeconds, double windowSeconds, bool stopChild)
{
    Supervised result;
    // hold-child carries the marker too, in the child's arguments.
    const auto children = [&] {
        QList<qint64> pids = markedProcesses(marker);
        if (!supervisor.readsPipe)
            pids.removeAll(supervisor.process.processId());
        return pids;
    };
    QElapsedTimer timer;
    timer.start();
    while (children().isEmpty() && timer.elapsed() < 10000)
        QThread::msleep(20);
    const qint64 pid = supervisor.watchedPid();
    if (pid <= 0 || children().isEmpty()) {
        supervisor.process.waitForFinished(0); // takes in an end that happened
        std::fprintf(stderr, "for a board: no child in 10 s (supervisor %lld %s, exit %d)\n", pid,
                     supervisor.process.state() == QProcess::NotRunning ? "ended" : "runs",
                     supervisor.process.exitCode());
        return result;
    }
    result.idleKiB = settledKiB(pid);
    if (chatty) {
        QThread::msleep(ulong(warmSeconds * 1000));
        const Usage before = usageOf(pid);
        const qint64 linesBefore = linesIn(logs);
        // The window, and longer while nothing was logged (a loaded machine).
        QElapsedTimer window;
        window.start();
        QThread::msleep(ulong(windowSeconds * 1000));
        while ((result.lines = linesIn(logs) - linesBefore) <= 0 && window.elapsed() < 10000)
            QThread::msleep(100);
        result.end = usageOf(pid);
        const double ms = result.end.cpuMs - before.cpuMs;
        result.cpuMsPer1000 = result.lines > 0 ? ms * 1000.0 / double(result.lines) : 0;
    }
    if (stopChild) {
        for (qint64 child : children())
            ::kill(pid_t(child), SIGTERM);
    }
    supervisor.stop();
    timer.restart();
    while (!children().isEmpty() && timer.elapsed() < 10000)
        QThread::msleep(20);
    const QList<qint64> left = children();
    for (qint64 child : left)
        ::kill(pid_t(child), SIGKILL);
    if (!left.isEmpty())
        std::fprintf(stderr, "for a board: a child outlived its supervisor\n");
    if (result.idleKiB <= 0)
        std::fprintf(stderr, "for a board: no resident memory of process %lld\n", pid);
    else if (chatty && result.lines <= 0)
        std::fprintf(stderr, "for a board: no line logged in %s in 10 s\n", qPrintable(logs));
    result.ok = left.isEmpty() && result.idleKiB > 0 && (!chatty || result.lines > 0);
    return result;
}

// The child of each run: a sleeper, or bench-noise at ChattyRate; both carry
// the marker in their command line.
QStringList boardChild(bool chatty, const QByteArray& marker)
{
    return chatty ? QStringList{programPath("bench-noise"), QString::number(ChattyRate),
                                QString::fromLatin1(marker)}
                  : QStringList{QStringLiteral("/bin/sleep"), QString::fromLatin1(marker)};
}

// `launcher run` of a pipeline whose one process is the child.
void startLauncher(Supervisor& supervisor, const QString& folder, const QStringList& child,
                   const QString& logs)
{
    const QString home = folder + QStringLiteral("/board-home");
    QDir().mkpath(home + QStringLiteral("/Orvalen/launcher/apps"));
    QFile file(home + QStringLiteral("/Orvalen/launcher/apps/board.ini"));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QStringLiteral("[process-0]\nexec=%1\narguments=%2\nmode=sync\n[logs]\n"
                                  "path=%3\n")
                       .arg(child[0], child.mid(1).join(QStringLiteral(", ")), logs)
                       .toUtf8()) < 0)
        return;
    file.close();
    supervisor.process.setStandardOutputFile(QProcess::nullDevice());
    supervisor.process.setStandardErrorFile(QProcess::nullDevice());
    supervisor.process.start(
        QStringLiteral(LAUNCHER_PROGRAM),
        {QStringLiteral("--data-home"), home, QStringLiteral("run"), QStringLiteral("board")});
}

void startHolder(Supervisor& supervisor, const QStringList& child, const QString& logs)
{
    QDir().mkpath(logs);
    supervisor.process.setStandardErrorFile(QProcess::nullDevice());
    supervisor.process.start(
        QCoreApplication::applicationFilePath(),
        QStringList{QStringLiteral("hold-child"), logs + QStringLiteral("/held.log")} + child);
    // It says so once its child runs.
    QByteArray said;
    while (!said.contains('\n') && supervisor.process.waitForReadyRead(20000))
        said += supervisor.process.readAllStandardOutput();
    if (!said.startsWith("started"))
        std::fprintf(stderr, "for a board: hold-child did not start its child (%s)\n",
                     qPrintable(supervisor.process.errorString()));
}

void startS6Log(Supervisor& supervisor, const QString& s6Log, const QStringList& child,
                const QString& logs)
{
    supervisor.readsPipe = true;
    supervisor.process.setStandardOutputProcess(&supervisor.reader);
    supervisor.reader.setStandardOutputFile(QProcess::nullDevice());
    supervisor.reader.start(s6Log, {QStringLiteral("t"), QStringLiteral("s100000000"), logs});
    supervisor.process.start(child[0], child.mid(1));
}

#ifndef UI_MEM_PROGRAM
#define UI_MEM_PROGRAM "" // built without the screen
#endif

// The screen's rows, from launcher-ui-mem --board.
QList<Row> screenRows(const Options& options, bool& ok)
{
    if (QStringLiteral(UI_MEM_PROGRAM).isEmpty())
        return {};
    QProcess uiMem;
    QStringList arguments{QStringLiteral("--board")};
    if (options.smoke)
        arguments << QStringLiteral("--smoke");
    uiMem.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    uiMem.start(QStringLiteral(UI_MEM_PROGRAM), arguments);
    if (!uiMem.waitForFinished(300000) || uiMem.exitCode() != 0) {
        std::fprintf(stderr, "for a board: launcher-ui-mem --board failed\n");
        ok = false;
        return {};
    }
    QList<Row> rows;
    for (const QByteArray& line : uiMem.readAllStandardOutput().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.isEmpty())
            continue;
        Row row;
        row.benchmark = QStringLiteral("screen");
        row.figure = QStringLiteral("resident MiB on the tiles, %1")
                         .arg(object.value(QStringLiteral("drawing")).toString());
        row.contender = object.value(QStringLiteral("screenKiB")).toDouble() / 1024;
        row.baseline = object.value(QStringLiteral("floorKiB")).toDouble() / 1024;
        row.baselineName = QStringLiteral("bare Qt Quick window");
        row.note = QStringLiteral("launcher-ui with three applications, 800 px wide, on %1; drawn "
                                  "with %2")
                       .arg(object.value(QStringLiteral("platform")).toString(),
                            object.value(QStringLiteral("drawnWith")).toString());
        rows << row;
    }
    return rows;
}

// What a board cares about: the launcher's memory idle and with a chatty
// child, its CPU per 1,000 logged lines, and the screen's memory drawn in
// software and with OpenGL.
QList<Row> forABoard(const Options& options, const QString& folder, bool& ok)
{
    if (QStringLiteral(LAUNCHER_PROGRAM).isEmpty()) {
        std::fprintf(stderr, "for a board: the console program is not built\n");
        ok = false;
        return {};
    }
    const double warm = options.smoke ? 0.3 : 2;
    const double window = options.smoke ? 1 : 8;
    const int rounds = options.smoke ? 1 : std::min(options.rounds, 3);
    const QString s6Log = QStandardPaths::findExecutable(QStringLiteral("s6-log"));
    std::vector<double> idleLauncher, idleHolder, chattyLauncher, chattyHolder, peakLauncher,
        peakHolder, cpuLauncher, cpuHolder, cpuS6;
    enum class Supervising
    {
        Launcher,
        Holder,
        S6Log
    };
    int run = 0;
    const auto measure = [&](Supervising kind, bool chatty) {
        const QByteArray marker = QByteArray::number(86400) + '.' + QByteArray::number(getpid()) +
                                  QByteArray::number(++run);
        const QString logs = QStringLiteral("%1/board-logs-%2").arg(folder).arg(run);
        const QStringList child = boardChild(chatty, marker);
        Supervisor supervisor;
        if (kind == Supervising::Launcher)
            startLauncher(supervisor, folder, child, logs);
        else if (kind == Supervising::Holder)
            startHolder(supervisor, child, logs);
        else
            startS6Log(supervisor, s6Log, child, logs);
        const Supervised result = measureSupervisor(supervisor, marker, logs, chatty, warm, window,
                                                    kind != Supervising::Launcher);
        QDir(logs).removeRecursively();
        if (!result.ok) {
            std::fprintf(stderr, "for a board: run %d (%s) did not go through\n", run,
                         kind == Supervising::Launcher ? "launcher run"
                         : kind == Supervising::Holder ? "hold-child"
                                                       : "s6-log");
            ok = false;
        }
        return result;
    };
    for (int round = 0; round < rounds; ++round) {
        const Supervised launcherIdle = measure(Supervising::Launcher, false);
        const Supervised holderIdle = measure(Supervising::Holder, false);
        idleLauncher.push_back(launcherIdle.idleKiB / 1024.0);
        idleHolder.push_back(holderIdle.idleKiB / 1024.0);
        const Supervised launcher = measure(Supervising::Launcher, true);
        const Supervised holder = measure(Supervising::Holder, true);
        chattyLauncher.push_back(launcher.end.rssKiB / 1024.0);
        chattyHolder.push_back(holder.end.rssKiB / 1024.0);
        peakLauncher.push_back(launcher.end.peakKiB / 1024.0);
        peakHolder.push_back(holder.end.peakKiB / 1024.0);
        cpuLauncher.push_back(launcher.cpuMsPer1000);
        cpuHolder.push_back(holder.cpuMsPer1000);
        if (!s6Log.isEmpty())
            cpuS6.push_back(measure(Supervising::S6Log, true).cpuMsPer1000);
    }

    const QString chattyName = QStringLiteral("a chatty child (%1 lines/s of 100 B)")
                                   .arg(QLocale(QLocale::English).toString(ChattyRate / 100));
    QList<Row> rows;
    Row row;
    row.benchmark = QStringLiteral("launcher");
    row.baselineName = QStringLiteral("Qt Core program holding the child");
    row.figure = QStringLiteral("resident MiB, idle, one sleeping child");
    row.contender = median(idleLauncher);
    row.baseline = median(idleHolder);
    row.note = QStringLiteral("launcher run, its console in /dev/null; the baseline a "
                              "QCoreApplication with one QProcess");
    rows << row;
    row.figure = QStringLiteral("resident MiB, %1").arg(chattyName);
    row.contender = median(chattyLauncher);
    row.baseline = median(chattyHolder);
    row.note = QStringLiteral("after %1 s; peak (VmHWM) %2 MiB vs %3 MiB; the baseline copies "
                              "the child's output to a file as it comes")
                   .arg(warm + window)
                   .arg(median(peakLauncher), 0, 'f', 1)
                   .arg(median(peakHolder), 0, 'f', 1);
    rows << row;
    row.figure = QStringLiteral("CPU ms per 1,000 logged lines, %1").arg(chattyName);
    row.contender = median(cpuLauncher);
    row.baseline = median(cpuHolder);
    row.note = QStringLiteral("the time on a CPU of the supervisor's threads over %1 s, over "
                              "the lines its log gained; the launcher stamps each line and "
                              "shows it on its console, the baseline does neither")
                   .arg(window);
    rows << row;
    row.baselineName = QStringLiteral("s6-log t");
    if (cpuS6.empty()) {
        row.baseline = 0;
        row.note = QStringLiteral("s6-log is not installed (scripts/install-deps bench)");
    } else {
        row.baseline = median(cpuS6);
        row.note = QStringLiteral("s6-log stamps each line and keeps it in a file, shows none");
    }
    rows << row;
    return rows << screenRows(options, ok);
}

// --- output --------------------------------------------------------------

QByteArray number(double value)
{
    const char* format = value >= 1000 ? "%.0f" : value >= 10 ? "%.1f" : "%.3f";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The launcher's time over the baseline's (for a rate, the baseline's rate
// over the launcher's); 0 without a baseline.
double timeRatio(const Row& row)
{
    if (row.baseline <= 0 || row.contender <= 0)
        return 0;
    return row.lowerIsBetter ? row.contender / row.baseline : row.baseline / row.contender;
}

QByteArray ratioText(const Row& row)
{
    const double ratio = timeRatio(row);
    if (ratio <= 0)
        return "-";
    char text[64];
    if (row.target > 0)
        std::snprintf(text, sizeof text, "%.3f (goal: at most %.1f, %s)", ratio, row.target,
                      ratio <= row.target ? "met" : "NOT met");
    else
        std::snprintf(text, sizeof text, "%.2f", ratio);
    return text;
}

void printTable(const QList<Row>& rows, const QByteArray& ratioName)
{
    std::printf("| Benchmark | Figure | Launcher | Baseline | %s | Notes |\n",
                ratioName.constData());
    std::printf("|---|---|---:|---:|---:|---|\n");
    for (const Row& row : rows) {
        std::printf("| %s | %s | %s | %s (%s) | %s | %s |\n", qUtf8Printable(row.benchmark),
                    qUtf8Printable(row.figure), number(row.contender).constData(),
                    row.baseline > 0 ? number(row.baseline).constData() : "-",
                    qUtf8Printable(row.baselineName), ratioText(row).constData(),
                    qUtf8Printable(row.note));
    }
}

void printTables(const QList<Row>& rows, const QList<Row>& board, const Options& options)
{
    if (!rows.isEmpty()) {
        std::printf("%d rounds, contender and baseline alternating; medians. Time ratio: the "
                    "launcher's time over the baseline's, on the same work (below 1: the launcher "
                    "is faster).\n\n",
                    options.rounds);
        printTable(rows, "Time ratio");
    }
    if (!board.isEmpty()) {
        std::printf("%sFor a board: %d rounds, alternating, medians (the screen's once). Ratio: "
                    "the launcher's figure over the baseline's (below 1: the launcher takes "
                    "less).\n\n",
                    rows.isEmpty() ? "" : "\n", options.smoke ? 1 : std::min(options.rounds, 3));
        printTable(board, "Ratio");
    }
}

QJsonArray jsonRows(const QList<Row>& rows)
{
    QJsonArray array;
    for (const Row& row : rows) {
        QJsonObject object{{"benchmark", row.benchmark},
                           {"figure", row.figure},
                           {"launcher", row.contender},
                           {"baseline", row.baseline},
                           {"baselineName", row.baselineName},
                           {"costRatio", timeRatio(row)},
                           {"note", row.note}};
        if (row.target > 0)
            object.insert(QStringLiteral("costRatioGoal"), row.target);
        array.append(object);
    }
    return array;
}

void printJsonRows(const QList<Row>& rows, const QList<Row>& board, const Options& options)
{
    const QJsonObject all{
        {"rounds", options.rounds}, {"results", jsonRows(rows)}, {"board", jsonRows(board)}};
    std::printf("%s\n", QJsonDocument(all).toJson().constData());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("load-child"))
        return loadChild(arguments.mid(1));
    if (arguments.value(0) == QLatin1String("compress-child"))
        return compressChild(arguments.mid(1));
    if (arguments.value(0) == QLatin1String("hold-child"))
        return holdChild(arguments.mid(1));

    Options options;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--json")) {
            options.json = true;
        } else if (argument == QLatin1String("--smoke")) {
            options.smoke = true;
            options.rounds = 1;
        } else if (argument == QLatin1String("--large")) {
            options.large = true;
        } else if (argument == QLatin1String("--only") && i + 1 < arguments.size()) {
            options.only = arguments[++i].split(QLatin1Char(','));
        } else if (argument == QLatin1String("--rounds") && i + 1 < arguments.size()) {
            options.rounds = qMax(1, arguments[++i].toInt());
        } else {
            std::fprintf(
                stderr,
                "usage: launcher-bench [--json] [--smoke] [--large] [--rounds N] [--only LIST]\n");
            return 64;
        }
    }

    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "launcher-bench: no temporary folder\n");
        return 1;
    }
    bool ok = true;
    QList<Row> rows;
    if (options.only.contains(QLatin1String("capture")))
        rows << logCapture(options, folder.path(), ok);
    if (options.only.contains(QLatin1String("start")))
        rows << processStart(options, ok);
    if (options.only.contains(QLatin1String("loading")))
        rows << loading(options, folder.path(), ok);
    if (options.only.contains(QLatin1String("rotation")))
        rows << rotation(options, folder.path(), false, ok);
    if (options.large)
        rows << rotation(options, folder.path(), true, ok);
    if (options.only.contains(QLatin1String("flood")))
        rows << logFlood(options, folder.path(), ok);
    QList<Row> board;
    if (options.only.contains(QLatin1String("board")))
        board = forABoard(options, folder.path(), ok);
    if (options.json)
        printJsonRows(rows, board, options);
    else
        printTables(rows, board, options);
    return ok ? 0 : 1;
}
