// launcher-soak: a month of a kiosk in a minute. A pipeline of a chatty
// daemon, a process that crashes and is restarted with back-off, one that
// stops pinging its watchdog and is restarted as hung, one that leaks memory
// and is restarted at its memory-max, and a long application runs while the wall clock is made to
// pass an hour every HOUR_MS milliseconds: the files are reloaded every simulated hour, the log
// follows each new day, and old logs are compressed and removed by age and by
// the folder's total size. It prints, per simulated day, the size of the logs
// folder, then the launcher's memory and descriptors after the first day and
// at the end.
//
//   launcher-soak [--days N] [--hour-ms MS]
//
// It fails when the logs folder grew past its bound, descriptors were left
// open, or (for runs of a week or more) resident memory grew by more than a
// quarter and 4 MiB, or the hung or the leaking process was never restarted.
// Watchdogs and memory are watched in real time: at the default pace the hung
// process is restarted about every other simulated day, the leaking one
// about every fifth.

#include "Backend.h"
#include "support/DateChangeTimer.h"
#include "support/TimeStamp.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

using Solvane::TimeStamp;

namespace {

const qint64 HourMs = 3600 * 1000;
// The logs folder's limits, small enough for a month to reach them.
const qint64 MaxTotalSize = 96 * 1024;
const qint64 MaxFileSize = 16 * 1024;
const int NoiseRate = 50000; // bytes a second

qint64 g_simulatedStartMs = 0; // the wall clock when the simulation began
qint64 g_hours = 0;            // simulated hours passed
QElapsedTimer g_sinceHour;     // real time within the current hour

// The wall clock the launcher sees: the hours passed, and real time within
// the hour, so that lines keep their order.
qint64 simulatedClock()
{
    const qint64 ms =
        g_simulatedStartMs + g_hours * HourMs + std::min(g_sinceHour.elapsed(), HourMs - 1);
    return (ms / 1000) << TimeStamp::FractionBits | ((ms % 1000) << TimeStamp::FractionBits) / 1000;
}

qint64 statusValue(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

struct FolderSize
{
    qint64 bytes = 0;
    int files = 0;
};

FolderSize folderSize(const QString& folder)
{
    FolderSize size;
    QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        size.bytes += files.fileInfo().size();
        ++size.files;
    }
    return size;
}

// The files written in the hour that has passed take its time, as they would
// have taken it on a clock that runs at its pace: ages and retention follow
// the simulated clock.
void dateFilesWritten(const QString& folder, qint64 sinceRealMs, qint64 simulatedMs)
{
    const qint64 realNowMs = QDateTime::currentMSecsSinceEpoch() + 1000;
    QDirIterator files(folder, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        struct stat info = {};
        const QByteArray path = QFile::encodeName(files.filePath());
        if (::lstat(path.constData(), &info) != 0)
            continue;
        // Written in real time during the hour; what the simulation dated is later.
        const qint64 modifiedMs =
            qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
        if (modifiedMs < sinceRealMs || modifiedMs > realNowMs)
            continue;
        const timespec times[2] = {{simulatedMs / 1000, (simulatedMs % 1000) * 1000000},
                                   {simulatedMs / 1000, (simulatedMs % 1000) * 1000000}};
        ::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW);
    }
}

bool writeText(const QString& path, const QString& text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(text.toUtf8()) == text.toUtf8().size();
}

// The launcher's files for the soak below `home`, and the environment that
// points the launcher at the folders of `root`. False when they could not be written.
bool writeKiosk(const QTemporaryDir& root, const QString& home)
{
    QDir().mkpath(root.filePath(QStringLiteral("run")));
    QFile::setPermissions(root.filePath(QStringLiteral("run")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.filePath(QStringLiteral("none"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root.filePath(QStringLiteral("run"))));
    const QString bin = QCoreApplication::applicationDirPath();
    return writeText(home + QStringLiteral("/launcher.ini"),
                     QStringLiteral("[logs]\nrotate-period=3600\nkeep-days=6\nmax-total-size=%1\n"
                                    "max-file-size=%2\n")
                         .arg(MaxTotalSize)
                         .arg(MaxFileSize)) &&
           writeText(home + QStringLiteral("/apps/kiosk.ini"),
                     QStringLiteral("[process-0]\nexec=%1/bench-noise\narguments=%2\nmode=daemon\n"
                                    "[process-1]\nexec=/bin/sh\nlibrary-paths=/bin, /usr/bin\n"
                                    "arguments=-c, \"sleep 0.3; kill -9 $$\"\nmode=async\n"
                                    "restart-on-crash=true\nrestart-limit=1000000\n"
                                    "restart-delay=1\nrestart-delay-max=2\n"
                                    "[process-2]\nexec=%1/bench-unwell\narguments=hang, 0.5\n"
                                    "watchdog=1\nrestart-limit=1000000\n"
                                    "[process-3]\nexec=%1/bench-unwell\narguments=leak, 16\n"
                                    "memory-max=24M\nrestart-limit=1000000\n"
                                    "[process-4]\nexec=/bin/sleep\narguments=1000000\nmode=sync\n")
                         .arg(bin)
                         .arg(NoiseRate));
}

// What the soak has seen of the launcher, looked at every simulated hour.
struct Watch
{
    qint64 firstRss = 0;
    // The fewest descriptors open in the first and in the last day, looked at
    // every hour once every process has started: a start or a rotation holds
    // some for a moment, a leak for good.
    int firstFds = INT_MAX;
    int lastFds = INT_MAX;
    bool allStarted = false;
    qint64 largestFolder = 0;
};

// Looks at the launcher after it reloaded at the end of a simulated hour,
// and prints the logs folder at the end of a day. True after the last day.
bool hourEnded(Watch& watch, PipelineController& controller, const QString& logs, int processCount,
               int days)
{
    const QList<ProcessStatus> statuses = controller.processStatuses();
    watch.allStarted =
        watch.allStarted ||
        (statuses.size() == processCount &&
         std::none_of(statuses.cbegin(), statuses.cend(), [](const ProcessStatus& p) {
             return p.state == ProcessStatus::State::Starting;
         }));
    const int fds = watch.allStarted ? openDescriptors() : INT_MAX;
    if (g_hours <= 24)
        watch.firstFds = std::min(watch.firstFds, fds);
    if (g_hours > qint64(days - 1) * 24)
        watch.lastFds = std::min(watch.lastFds, fds);
    if (g_hours % 24 != 0)
        return false;
    const qint64 day = g_hours / 24;
    const FolderSize size = folderSize(logs);
    watch.largestFolder = std::max(watch.largestFolder, size.bytes);
    std::printf("| %lld | %lld | %d |\n", day, size.bytes, size.files);
    std::fflush(stdout);
    if (day == 1)
        watch.firstRss = statusValue("VmRSS:");
    return day == days;
}

// Stops the pipeline and prints what the soak saw; true when all of it
// stayed within its bounds.
bool verdict(const Watch& watch, PipelineController& controller, int days)
{
    const qint64 lastRss = statusValue("VmRSS:");
    const int restarts = controller.processStatuses().value(1).restarts;
    const int hung = controller.processStatuses().value(2).restarts;
    const int leaking = controller.processStatuses().value(3).restarts;
    const bool stopped = controller.stop(5000);
    const qint64 bound = MaxTotalSize + 2 * MaxFileSize;
    std::printf("\n%lld reloads; the crashing process was restarted %d times, the hung one %d, "
                "the leaking one %d\n",
                g_hours, restarts, hung, leaking);
    std::printf("Resident memory: %lld KiB after day 1, %lld KiB after day %d\n"
                "Open descriptors: at least %d in day 1, at least %d in day %d\n"
                "Largest logs folder: %lld bytes (bound %lld: the total plus two files at "
                "their limit)\n",
                watch.firstRss, lastRss, days, watch.firstFds, watch.lastFds, days,
                watch.largestFolder, bound);
    bool ok = stopped;
    if (watch.largestFolder > bound) {
        std::printf("FAILED: the logs folder grew past its bound\n");
        ok = false;
    }
    if (watch.lastFds > watch.firstFds) {
        std::printf("FAILED: descriptors were left open\n");
        ok = false;
    }
    if (days >= 7 && lastRss > watch.firstRss + std::max(watch.firstRss / 4, qint64(4096))) {
        std::printf("FAILED: resident memory grew\n");
        ok = false;
    }
    // A week takes five seconds at the fastest pace: time enough for both.
    if (days >= 7 && (hung == 0 || leaking == 0)) {
        std::printf("FAILED: the hung or the leaking process was not restarted\n");
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A month of a kiosk in a minute."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("days"), QStringLiteral("Simulated days (30)."),
                      QStringLiteral("N"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("hour-ms"),
                      QStringLiteral("Real milliseconds per simulated hour (30)."),
                      QStringLiteral("MS"), QStringLiteral("30")});
    parser.process(app);
    const int days = std::max(parser.value(QStringLiteral("days")).toInt(), 1);
    const int hourMs = std::max(parser.value(QStringLiteral("hour-ms")).toInt(), 5);

    QTemporaryDir root;
    const QString home = root.filePath(QStringLiteral("data/Orvalen/launcher"));
    const QString logs = home + QStringLiteral("/logs");
    if (!writeKiosk(root, home)) {
        std::fprintf(stderr, "launcher-soak: cannot write its files below %s\n",
                     qUtf8Printable(root.path()));
        return 1;
    }

    // The simulation begins half past midnight, local time, in two days: its
    // clock stays ahead of the real one, which tells the files it dates apart.
    g_simulatedStartMs =
        QDateTime(QDate::currentDate().addDays(2), QTime(0, 30)).toMSecsSinceEpoch();
    g_sinceHour.start();
    TimeStamp::setClock(simulatedClock);
    DateChangeTimer::setLookInterval(qMax(1, hourMs / 6));
    // The launcher's lines are not the point here (SOAK_VERBOSE=1 shows them).
    if (!qEnvironmentVariableIsSet("SOAK_VERBOSE"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    Backend backend;
    backend.initialize();
    // The start-up's rotation first: the simulation dates files only from
    // now on.
    backend.rotateLogs();
    PipelineController& controller = *backend.pipelineController();
    const PipelineConfig* kiosk = backend.findPipeline(QStringLiteral("kiosk"));
    if (!kiosk || !controller.start(*kiosk, true)) {
        std::fprintf(stderr, "launcher-soak: the pipeline did not start\n");
        return 1;
    }

    Watch watch;
    const int processCount = kiosk->processList.size(); // a reload replaces *kiosk
    std::printf("| Day | Logs folder (bytes) | Files |\n|---:|---:|---:|\n");
    QTimer hour;
    qint64 hourBegan = QDateTime::currentMSecsSinceEpoch();
    QObject::connect(&hour, &QTimer::timeout, &app, [&] {
        // The hour that ended: what it wrote gets its time, then the next begins.
        dateFilesWritten(logs, hourBegan - 1000, g_simulatedStartMs + (g_hours + 1) * HourMs - 1);
        hourBegan = QDateTime::currentMSecsSinceEpoch();
        ++g_hours;
        g_sinceHour.restart();
        backend.reload();
        if (hourEnded(watch, controller, logs, processCount, days))
            app.quit();
    });
    hour.start(hourMs);
    app.exec();
    return verdict(watch, controller, days) ? 0 : 1;
}
