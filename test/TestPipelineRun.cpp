// Pipelines of real children: the restart window, the check before a start,
// how a child's output becomes log lines, and processes that cannot be
// created, which end and never wedge their pipeline. The environment and
// folder a child starts with: TestConsole. One child on its own: the state
// it starts in whatever the launcher's own state, and the launcher's standard
// files being closed.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/ChildProcess.h"
#include "support/LauncherSupport.h"
#include "support/MonotonicClock.h"
#include "support/TimeStamp.h"
#include "support/Trace.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using FinishReason = PipelineController::PipelineFinishReason;
using Solvane::TimeStamp;

namespace {

qint64 g_nowMs = 0;
qint64 g_wallNow = 0;

ProcessConfig program(const QString& exec, const QString& folder = QString(),
                      const QStringList& libraryPaths = {}, ProcessMode mode = ProcessMode::Sync)
{
    ProcessConfig config;
    config.exec = exec;
    config.workingDirectory = folder;
    config.libraryPaths = libraryPaths;
    config.mode = mode;
    return config;
}

const struct
{
    const char* name;
    int limit;
    int delayMax;         // with a delay of 1 s; 0: no delay
    const char* end;      // restart-on-exit lists exit code 3
    const char* endAt;    // the clock at each end, in seconds
    double wallStep;      // seconds the wall clock jumps at the last end
    const char* restarts; // after each end: the delay, or what the give-up line says the ends were
} Restarts[] = {
    {"limit 0", 0, 0, "--crash", "0", 0, "crashed"},
    {"oldest crash 10.9 s ago: inside", 3, 0, "--crash", "0 1 10.9", 0, "0 0 crashed"},
    {"oldest crash 11 s ago: outside", 3, 0, "--crash", "0 1 11", 0, "0 0 0"},
    // A kiosk without a real-time clock sets its time when NTP answers.
    {"wall clock an hour back: still outside", 3, 0, "--crash", "0 5 20", -3600, "0 0 0"},
    {"wall clock an hour on: still inside", 3, 0, "--crash", "0 1 2", 3600, "0 0 crashed"},
    {"delay doubling", 5, 60, "--crash", "0 1 2", 0, "1 2 4"},
    {"delay capped", 5, 1, "--crash", "0 1", 0, "1 1"},
    {"a quiet spell starts over", 5, 60, "--crash", "0 20", 0, "1 1"},
    {"listed exit code", 5, 60, "--exit 3", "0 1", 0, "1 2"},
    {"listed exit code, given up: no crash", 2, 0, "--exit 3", "0 1", 0, "0 ended"},
};

// Where the process that cannot start stands: first, before a Sync process
// that ends at once; between a daemon that runs and such a process; last,
// after such a process; first, before a Sync process that runs until the
// first has ended for good, and then such a process.
enum class Place
{
    First,
    AfterDaemon,
    Last,
    BeforeRunningSync
};

// Why it cannot start: its first line names an interpreter that does not
// exist; its file goes after the check, just before its start; the launcher
// can open no more files at its start; it removes its own file and crashes,
// so that its restarts cannot start.
enum class Cause
{
    Interpreter,
    Removed,
    NoFiles,
    GoneAfterCrash
};

// By Cause, how its log line ends.
const char* const StartErrors[] = {
    "execve: No such file or directory: its interpreter '/nonexistent/interp' is missing",
    "execve: No such file or directory", "Too many open files",
    "execve: No such file or directory"};

const char* const Failed = "failed (RequiredProcessFailure): could not be started: $REASON";

const struct
{
    const char* name;
    ProcessMode mode;
    bool required;
    Place place;
    Cause cause;
    const char* started;       // the processes that ran, by index
    const char* outcome;       // of the pipeline, with the failed process's words
    const char* shown;         // the process's state or what it was given up after, and last exit
    const char* events;        // the kinds of the run's trace events
    const char* restarts = ""; // the delay of each restart, in seconds
} FailedStarts[] = {
    {"async first", ProcessMode::Async, false, Place::First, Cause::Interpreter, "1", "normal",
     "finished, code -1", "Started Finished"},
    {"async first, required", ProcessMode::Async, true, Place::First, Cause::Interpreter, "",
     Failed, "finished, code -1", "Failed Finished"},
    {"daemon after a daemon, required", ProcessMode::Daemon, true, Place::AfterDaemon,
     Cause::Interpreter, "0",
     "failed (RequiredProcessFailure): could not be started: $REASON: not restarted again",
     "given up after 0 0 0 1, code -1", "Started GivenUp Failed Finished"},
    {"sync last, required", ProcessMode::Sync, true, Place::Last, Cause::Interpreter, "0", Failed,
     "finished, code -1", "Started Failed Finished"},
    {"removed: sync first", ProcessMode::Sync, false, Place::First, Cause::Removed, "1", "normal",
     "finished, code -1", "Started Finished"},
    {"no files: daemon after a daemon", ProcessMode::Daemon, false, Place::AfterDaemon,
     Cause::NoFiles, "0 2", "normal", "given up after 0 0 0 1, code -1",
     "Started GivenUp Finished"},
    {"no files: sync first, required", ProcessMode::Sync, true, Place::First, Cause::NoFiles, "",
     Failed, "finished, code -1", "Failed Finished"},
    {"restarts that cannot start count as crashes", ProcessMode::Async, true, Place::First,
     Cause::GoneAfterCrash, "0 1",
     "failed (RequiredProcessFailure): crashed or could not be started 3 times within 10 s: not "
     "restarted again",
     "given up after 1 0 0 2, code -1", "Started ProcessCrashed GivenUp Failed Finished", "1 2"},
    // Released at its first start: its final end releases nothing again.
    {"restarts that cannot start: daemon before a running sync", ProcessMode::Daemon, false,
     Place::BeforeRunningSync, Cause::GoneAfterCrash, "0 1 2", "normal",
     "given up after 1 0 0 2, code -1", "Started ProcessCrashed GivenUp Finished", "1 2"},
};

// By TraceEvent::Kind.
const char* const EventKinds[] = {"Started", "Finished", "Failed",    "ProcessCrashed",
                                  "GivenUp", "Hung",     "MemoryCap", "StoppedOnRequest"};

// The process's table, a cell or two a row: a child (a shell script; MARK
// stands for the marker) with its gate, restart and delay, a request at the
// first time that a state is seen, and what a front end sees: each state in
// turn (starting, waiting, running, restarting, stopping, finished), and how
// often the next process was released.
const struct
{
    const char* name;
    const char* script;
    const char* gate;    // ready=, waited for at most 2 s
    int restartLimit;    // with restart-on-crash; 0: none
    int restartDelay;    // seconds
    const char* on;      // the state at which the request comes
    const char* request; // terminate, kill or restart
    const char* states;
    int released;
} Transitions[] = {
    {"started, exited", "true", "", 0, 0, "", "", "starting running finished", 1},
    {"crashed: cleaned up, restarted; crashed again: final", "kill -9 $$", "", 2, 0, "", "",
     "starting running restarting starting running finished", 1},
    {"restart delay, stop: abandoned", "kill -9 $$", "", 2, 60, "restarting", "terminate",
     "starting running restarting stopping finished", 1},
    {"running, stop: asked once, ended", "exec sleep MARK", "", 0, 0, "running", "terminate",
     "starting running stopping finished", 1},
    {"running, kill", "trap '' TERM; sleep MARK", "", 0, 0, "running", "kill",
     "starting running stopping finished", 1},
    {"running, restart: asked to end, started anew", "exec sleep MARK", "", 0, 0, "running",
     "restart", "starting running restarting starting running", 1},
    {"waiting, ready: released by the gate", "echo up; exec sleep MARK", "log:up", 0, 0, "", "",
     "starting waiting running", 1},
    {"waiting, stop: never released", "exec sleep MARK", "file:/nonexistent", 0, 0, "waiting",
     "terminate", "starting waiting stopping finished", 0},
    {"waiting, crashed: the wait goes on across the restart", "sleep 0.3; kill -9 $$",
     "file:/nonexistent", 2, 0, "", "", "starting waiting restarting starting waiting finished", 1},
    {"finished, restart: started anew", "sleep 0.3", "", 0, 0, "finished", "restart",
     "starting running finished restarting starting running finished", 1},
};

} // namespace

class TestPipelineRun : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<FinishReason>();
        qRegisterMetaType<PipelineController::PipelineFailureReason>();
        MonotonicClock::setClock([]() { return g_nowMs; });
        TimeStamp::setClock([]() { return g_wallNow; });
        // None of these is a program; some are executable by their mode bits.
        for (const char* name : {"wd/local", "libA/local", "libA/blocked", "libB/blocked", "data"})
            QVERIFY(writeFile(path(name), "not a program\n"));
        for (const char* name : {"wd/local", "libB/blocked"})
            QVERIFY(QFile::setPermissions(path(name), QFile::ReadOwner | QFile::ExeOwner));
    }
    void cleanupTestCase()
    {
        MonotonicClock::setClock(nullptr);
        TimeStamp::setClock(nullptr);
    }

    void restarts_data() { addRows(Restarts); }

    // Within a period of 10 s, the limit-th crash is final; each crash within
    // it doubles the delay of the restart, and so does a listed exit code. A
    // stop drops a restart that waits.
    void restarts()
    {
        const auto& row = currentRow(Restarts);
        const QStringList endAt = QString(row.endAt).split(' ');
        ProcessConfig config = helperProcess(ProcessMode::Async, true, QString(row.end).split(' '));
        config.restartOnCrash = true;
        config.restartOnExit = {3};
        config.restartLimit = row.limit;
        config.restartDelay = row.delayMax > 0 ? 1 : 0;
        config.restartDelayMax = row.delayMax;
        PipelineProcess process(nullptr, config);
        // The relay reaches this receiver before the process handles the end.
        int ends = 0;
        connect(&process, &PipelineProcess::qprocessFinished, this, [&]() {
            if (ends >= endAt.size())
                process.config().restartOnCrash = false; // more ends than the table has
            g_nowMs = qint64(endAt.value(ends).toDouble() * 1000);
            // The wall clock runs with the monotonic one, but for its step.
            const double step = ends == endAt.size() - 1 ? row.wallStep : 0;
            g_wallNow = TimeStamp::fromSecondsD(double(g_nowMs) / 1000 + step).value();
            ++ends;
        });
        QStringList seen;
        const QRegularExpression restart(
            "Restarting it(?: in (\\d+) s)?|Process (\\w+) .* not restarted again");
        connect(&process, &PipelineProcess::pipelineLogMessage, this,
                [&](int, const QString& line) {
                    const QRegularExpressionMatch match = restart.match(line);
                    if (match.hasMatch())
                        seen << (!match.captured(2).isEmpty()  ? match.captured(2)
                                 : match.captured(1).isEmpty() ? "0"
                                                               : match.captured(1));
                });
        process.start();
        if (row.delayMax > 0) {
            QTRY_VERIFY_WITH_TIMEOUT(seen.size() == endAt.size() &&
                                         process.state() == ProcessStatus::State::Restarting,
                                     20000);
            process.terminate();
        }
        QTRY_VERIFY_WITH_TIMEOUT(process.isFinished(), 20000);
        QCOMPARE(seen.join(' '), QString(row.restarts));
    }

    // Each reason as "PROCESS KEY: TEXT" (process -1: the pipeline).
    void validation_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<QStringList>("problems");
        const QStringList libs{path("libA"), path("libB")};
        const QString missing = "exec: executable '%1' does not exist";
        const QString notExecutable = "exec: executable file '%1' is not executable by the user";
        // wd/local is executable, libA/local is not.
        QTest::newRow("bare name: working folder first")
            << pipelineOf({program("local", path("wd"), libs)}) << QStringList();
        // libA/blocked is not executable, libB/blocked is.
        QTest::newRow("bare name: the first match decides")
            << pipelineOf({program("blocked", QString(), libs)})
            << QStringList{"0 " + notExecutable.arg("blocked")};
        QTest::newRow("empty exec is no folder")
            << pipelineOf({program("")}) << QStringList{"0 " + missing.arg("")};
        QTest::newRow("a folder is no program")
            << pipelineOf({program(path("wd"))}) << QStringList{"0 " + missing.arg(path("wd"))};
        QTest::newRow("relative path without a working folder")
            << pipelineOf({program(helperPath()), program("wd/local")})
            << QStringList{"1 exec: use of relative executable 'wd/local' requires working "
                           "directory to be defined"};
        ProcessConfig unchecked = program(helperPath());
        unchecked.alive = "notify";
        QTest::newRow("a check that cannot be made")
            << pipelineOf({unchecked})
            << QStringList{"0 alive: alive check 'notify' is not valid: notify says something "
                           "once, so it cannot be checked again and again"};
        QTest::newRow("every message once, in order")
            << pipelineOf({program("first", {}, {}, ProcessMode::Daemon),
                           program(path("data"), path("gone"), {}, ProcessMode::Daemon)})
            << QStringList{"0 " + missing.arg("first"),
                           "1 working-directory: working directory '" + path("gone") +
                               "' it not a directory",
                           "1 " + notExecutable.arg(path("data")),
                           "-1 mode: pipeline must contain at least one non-daemon process."};
    }

    // What a start is refused with; a check keeps the reasons of its own
    // pipeline only.
    void validation()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, problems);
        PipelineController controller;
        QStringList found;
        for (const ValidationProblem& problem : controller.validate(pipeline))
            found
                << QString("%1 %2: %3").arg(problem.processIndex).arg(problem.key, problem.text());
        QCOMPARE(found, problems);
        QVERIFY(!controller.isPipelineValid(pipelineOf({})));
        QCOMPARE(controller.isPipelineValid(pipeline), problems.isEmpty());
        QCOMPARE(controller.validationProblems(), controller.validate(pipeline));
    }

    void transitions_data() { addRows(Transitions); }

    void transitions()
    {
        const auto& row = currentRow(Transitions);
        const ProcessMarker marker;
        ProcessConfig config =
            program("/bin/sh", QString(), {"/usr/bin", "/bin"}, ProcessMode::Async);
        config.arguments = QStringList{"-c", QString(row.script).replace("MARK", marker.text())};
        config.ready = row.gate;
        config.readyTimeout = 30;
        config.restartOnCrash = row.restartLimit > 0;
        config.restartLimit = row.restartLimit;
        config.restartDelay = row.restartDelay;
        PipelineProcess process(nullptr, config);
        QSignalSpy released(&process, &PipelineProcess::pipelineStartCanProceed);
        QStringList states;
        bool requested = false;
        connect(&process, &PipelineProcess::statusChanged, this, [&] {
            const QString state =
                QString(ProcessStatus::stateName(process.state())).section(' ', 0, 0);
            if (states.isEmpty() || states.last() != state)
                states.append(state);
            if (state != row.on || std::exchange(requested, true))
                return;
            QTimer::singleShot(0, &process, [&process, request = QByteArray(row.request)] {
                if (request == "terminate")
                    process.terminate();
                else if (request == "kill")
                    process.kill();
                else
                    process.restart();
            });
        });
        process.start();
        const QString expected = row.states;
        QTRY_VERIFY2_WITH_TIMEOUT(states.join(' ') == expected ||
                                      !expected.startsWith(states.join(' ')),
                                  qPrintable(states.join(' ')), 20000);
        QCOMPARE(states.join(' '), expected);
        QCOMPARE(released.count(), row.released);
    }

    void failedStarts_data() { addRows(FailedStarts); }

    // A process that cannot be created has ended with code -1: a required one
    // fails its pipeline, any other releases the next process as a non-zero
    // exit would, in every mode, and a daemon is given up. A restart that
    // cannot be created counts as a crash. No pipeline waits for a process
    // that does not exist.
    void failedStarts()
    {
        const auto& row = currentRow(FailedStarts);
        const ProcessMarker marker;
        static int runs = 0;
        const QString program = path(QString("cannot-start-%1").arg(++runs));
        const QByteArray scripts[] = {"#!/nonexistent/interp\n", "#!/bin/sh\n", "",
                                      "#!/bin/sh\nrm -f \"$0\"\nkill -9 $$\n"};
        const QByteArray& script = scripts[int(row.cause)];
        QVERIFY(script.isEmpty() ||
                (writeFile(program, script) &&
                 QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner)));
        ProcessConfig failing = helperProcess(row.mode, row.required, {"--write", marker.text()});
        if (!script.isEmpty()) {
            failing.exec = program;
            failing.libraryPaths = QStringList{"/usr/bin", "/bin"};
        }
        if (row.cause == Cause::GoneAfterCrash) {
            failing.restartOnCrash = true;
            failing.restartLimit = 3;
            failing.restartDelay = 1;
            failing.restartDelayMax = 60;
        }
        const ProcessConfig quick =
            helperProcess(ProcessMode::Sync, false, {"--write", marker.text()});
        // Ends with code 0 half a second after it is asked to.
        const ProcessConfig running = helperProcess(
            ProcessMode::Sync, false,
            {"--write", marker.text(), "--count-term", path("terms"), "--delay", "60"});
        const QList<ProcessConfig> processes =
            row.place == Place::First  ? QList<ProcessConfig>{failing, quick}
            : row.place == Place::Last ? QList<ProcessConfig>{quick, failing}
            : row.place == Place::BeforeRunningSync
                ? QList<ProcessConfig>{failing, running, quick}
                : QList<ProcessConfig>{helperProcess(ProcessMode::Daemon, false,
                                                     {"--write", marker.text(), "--delay", "60"}),
                                       failing, quick};
        const int index =
            row.place == Place::First || row.place == Place::BeforeRunningSync ? 0 : 1;

        QStringList events; // the kinds of the run's trace events
        const MessageCapture capture([&events] {
            if (const Solvane::TraceEvent* event = Solvane::Trace::takeEvent())
                events.append(EventKinds[int(event->kind)]);
        });
        PipelineController controller;
        controller.setStopTimeout(2000);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QStringList started;
        connect(&controller, &PipelineController::processStarted, this, [&](int processIndex) {
            if (!started.contains(QString::number(processIndex)))
                started.append(QString::number(processIndex));
        });
        // Just before its first start: its file goes, or the launcher may
        // open no more files until the start has failed.
        rlimit files = {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0);
        const auto restoreFiles = [files] { ::setrlimit(RLIMIT_NOFILE, &files); };
        bool before = true;
        connect(&controller, &PipelineController::processStatusChanged, this, [&](int changed) {
            if (changed != index || !std::exchange(before, false))
                return;
            if (row.cause == Cause::Removed) {
                QFile::remove(program);
            } else if (row.cause == Cause::NoFiles) {
                const int lowest = ::open("/dev/null", O_RDONLY);
                ::close(lowest);
                rlimit none = files;
                none.rlim_cur = rlim_t(lowest);
                ::setrlimit(RLIMIT_NOFILE, &none);
                QTimer::singleShot(0, this, restoreFiles);
            }
        });
        QVERIFY(controller.start(pipelineOf(processes), false));
        if (row.place == Place::BeforeRunningSync) {
            QTRY_VERIFY_WITH_TIMEOUT(controller.processStatuses().value(0).state ==
                                             ProcessStatus::State::Finished &&
                                         controller.processStatuses().value(1).pid > 0,
                                     20000);
            // The daemon's final end released nothing: the Sync process still holds the last.
            QCOMPARE(started.join(' '), QString("0 1"));
            QVERIFY(::kill(pid_t(controller.processStatuses().value(1).pid), SIGTERM) == 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        restoreFiles();

        QCOMPARE(started.join(' '), QString(row.started));
        const PipelineController::Result& result = *controller.lastResult();
        const char* const outcomes[] = {"normal", "failed", "stopped"};
        QString outcome = outcomes[int(result.outcome)];
        if (result.failureReason != PipelineController::NoFailure)
            outcome += QString(" (%1)").arg(LauncherSupport::enumName(result.failureReason));
        if (!result.failedProcess.failure.isEmpty())
            outcome += ": " + result.failedProcess.failure;
        const QString reason = StartErrors[int(row.cause)];
        QCOMPARE(outcome, QString(row.outcome).replace("$REASON", reason));
        // Its state, or the ends it was given up after (crashes, hangs,
        // memory cap stops, failed starts), and its last exit.
        const ProcessStatus status = controller.processStatuses().value(index);
        const ProcessStatus::Ends& e = status.givenUpAfter;
        QCOMPARE(QString("%1, code %2")
                     .arg(status.givenUp
                              ? QString::asprintf("given up after %d %d %d %d", e.crashes, e.hangs,
                                                  e.memoryCapStops, e.failedStarts)
                              : ProcessStatus::stateName(status.state))
                     .arg(status.lastExitCode),
                 QString(row.shown));
        QCOMPARE(events.join(' '), QString(row.events));
        // Its end is warned about once, given up or not.
        const QRegularExpression warned(QString("^Pipeline '[^']*': process %1 \\(").arg(index));
        QCOMPARE(capture.texts(QtWarningMsg).filter(warned).size(), 1);
        // Each failed start's log line says why; a restart waits its delay.
        const QStringList errors = capture.texts().filter("(FailedToStart)");
        const QRegularExpression why("\\(FailedToStart\\): " + QRegularExpression::escape(reason) +
                                     '$');
        QVERIFY2(!errors.isEmpty() && errors.filter(why).size() == errors.size(),
                 qPrintable(errors.join('\n')));
        const QRegularExpression delay(".*Restarting it in (\\d+) s.*");
        QCOMPARE(capture.texts().filter(delay).replaceInStrings(delay, "\\1").join(' '),
                 QString(row.restarts));
        QVERIFY(marker.noneLeft());
    }

    // Its own process group, and no signal ignored, not even the C library's
    // own signal 32, which only the kernel's call reaches (GNU make leaves it
    // ignored). The rest of what a hostile parent leaves: TestConsoleRobustness.
    // And a launcher started with its standard files closed: the child's pipe
    // and /dev/null land on 0 to 2 and must not be overwritten by each other.
    // The child reads /dev/null, and writes its output and errors into one pipe.
    void startsClean()
    {
        // A signal's disposition as the kernel's own call takes it, on x86-64.
        struct
        {
            void (*handler)(int);
            unsigned long flags;
            void (*restorer)();
            unsigned long mask;
        } ignore{SIG_IGN, 0, nullptr, 0}, previous{};
        const int saved[3] = {::dup(0), ::dup(1), ::dup(2)};
        ::syscall(SYS_rt_sigaction, 32, &ignore, &previous, sizeof ignore.mask);
        ChildProcess child;
        for (int fd = 0; fd < 3; ++fd)
            ::close(fd);
        child.start("/bin/sh",
                    {"-c", "cat; echo err >&2; exec \"$0\" --print-start-state", helperPath()});
        for (int fd = 0; fd < 3; ++fd) {
            ::dup2(saved[fd], fd);
            ::close(saved[fd]);
        }
        ::syscall(SYS_rt_sigaction, 32, &previous, nullptr, sizeof ignore.mask);
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(QString(child.readAllStandardOutput()),
                 QString("err\ngroup %1\nignored 0000000000000000\n").arg(child.pid()));
    }
};

LAUNCHER_TEST(TestPipelineRun)
#include "TestPipelineRun.moc"
