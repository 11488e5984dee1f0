// Pipelines and their processes: the restart window, what a child is started
// with, the check before a start, the log and its lines, the order of events of
// a failure, how a pipeline ends, colliding starts, waiting and a controller
// destroyed while its children run.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "support/TimeStamp.h"

#include <QDate>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <ctime>

using Solvane::TimeStamp;
using Controller = PipelineController;
using FinishReason = PipelineController::PipelineFinishReason;
using FailureReason = PipelineController::PipelineFailureReason;
using Environment = QMap<QString, QString>;

namespace {

Q_LOGGING_CATEGORY(lcSignal, "test.signal")

const QString LauncherPid = QString::number(QCoreApplication::applicationPid());

qint64 g_now = 0;

ProcessConfig program(const QString& exec, const QString& folder = QString(),
                      ProcessMode mode = ProcessMode::Sync, const QStringList& libraryPaths = {})
{
    ProcessConfig config;
    config.exec = exec;
    config.workingDirectory = folder;
    config.mode = mode;
    config.libraryPaths = libraryPaths;
    return config;
}

PipelineConfig logged(const QList<ProcessConfig>& processes, const QString& logPath,
                      const QString& basename = "p")
{
    PipelineConfig pipeline = pipelineOf(processes, basename);
    pipeline.logBasename = "app";
    pipeline.logPath = logPath;
    return pipeline;
}

QString logFileName(const QString& logPath)
{
    return logPath + QDate::currentDate().toString("/'app'-yyyy-MM-dd'.log'");
}

QStringList readLines(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Text)
               ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
               : QStringList();
}

} // namespace

class TestPipelineRun : public QObject
{
    Q_OBJECT

public slots:
    // Puts the index of the emitted signal into the message output, so that it
    // takes its place among the log and trace lines.
    void onSignal() { qCInfo(lcSignal) << senderSignalIndex(); }

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Runs a pipeline to its finish. Returns its signals (by name), log lines and
    // trace lines in their order, then the finish reason; a time stamp at the
    // clock's start is T, the launcher's id L and a child's C (in brackets or
    // after "required process").
    QStringList run(const PipelineConfig& pipeline)
    {
        g_now = 0;
        MessageCapture capture;
        Controller controller;
        const QMetaObject* meta = controller.metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                connect(&controller, meta->method(i), this,
                        metaObject()->method(metaObject()->indexOfSlot("onSignal()")));
        }
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        if (!controller.start(pipeline, false) || !controller.waitForPipelineFinished(10000))
            return {"no finish"};
        QStringList events;
        for (const MessageCapture::Message& message : capture.messages()) {
            QString text = message.category == "test.signal"
                               ? QString(meta->method(message.text.toInt()).name())
                               : message.text;
            events << text.remove('"')
                          .replace(helperPath(), "H")
                          .replace("[1970-01-01 00:00:00.000]", "T")
                          .replace("[ " + LauncherPid + " ]", "[ L ]")
                          .replace(QRegularExpression(R"((?<=\[ |ed process )[1-9]\d*)"), "C");
        }
        return events << QMetaEnum::fromType<FinishReason>().valueToKey(
                   finished.value(0).value(1).value<FinishReason>());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<QProcess::ExitStatus>();
        qRegisterMetaType<FinishReason>();
        qRegisterMetaType<FailureReason>();
        // Every time stamp is at g_now, in UTC as local time.
        TimeStamp::setClock([]() { return g_now; });
        qputenv("TZ", "UTC");
        tzset();
        qputenv("LAUNCHER_TEST_KEEP", "kept");
        qputenv("LAUNCHER_TEST_OVERRIDE", "system");
        // None of these is a program; some are executable by their mode bits.
        for (const char* name : {"wd/bin/tool", "wd/local", "wd/blocked", "libA/local",
                                 "libB/blocked", "libB/onlylib", "data.txt"})
            QVERIFY(writeFile(path(name), "not a program\n"));
        for (const char* name : {"wd/bin/tool", "wd/local", "libB/blocked", "libB/onlylib"})
            QVERIFY(QFile::setPermissions(path(name), QFile::ReadOwner | QFile::ExeOwner));
    }

    void restartWindow_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QVector<double>>("crashAt"); // the clock, in seconds, at each crash
        QTest::addColumn<int>("runs");

        QTest::newRow("limit 0") << 0 << QVector<double>{0} << 1;
        QTest::newRow("limit 1") << 1 << QVector<double>{0} << 1;
        QTest::newRow("three quick crashes") << 3 << QVector<double>{0, 0.1, 0.2} << 3;
        QTest::newRow("crashes at 0, 5 and 11.5 s") << 3 << QVector<double>{0, 5, 11.5, 12} << 4;
        QTest::newRow("10.9 s old is inside") << 3 << QVector<double>{0, 1, 10.9} << 3;
        QTest::newRow("11.0 s old is outside") << 3 << QVector<double>{0, 1, 11, 11.5} << 4;
    }

    void restartWindow()
    {
        QFETCH(int, limit);
        QFETCH(QVector<double>, crashAt);
        QFETCH(int, runs);

        ProcessConfig config = helperProcess(ProcessMode::Async, true, {"--crash"});
        config.restartOnCrash = true;
        config.restartLimit = limit;
        PipelineProcess process(nullptr, config);
        // The relay reaches this receiver before the process handles the crash.
        int crashes = 0;
        connect(&process, &PipelineProcess::qprocessFinished, this, [&]() {
            if (crashes < crashAt.size())
                g_now = TimeStamp::fromSecondsD(crashAt.at(crashes++)).value();
            else
                process.config().restartOnCrash = false; // more crashes than expected
        });
        QSignalSpy started(&process, &PipelineProcess::qprocessStarted);
        QSignalSpy released(&process, &PipelineProcess::pipelineStartCanProceed);
        QSignalSpy failures(&process, &PipelineProcess::pipelineRequiredProcessFailure);
        QSignalSpy finished(&process, &PipelineProcess::pipelineProcessFinished);
        process.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(started.count(), runs);
        QCOMPARE(released.count(), 1); // restarts release nothing again
        QCOMPARE(failures.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), -1);
    }

    void childSetup_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("libraryPaths");
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<QStringList>("output");

        const QString h = QFileInfo(helperPath()).path();
        const QString t = QFileInfo(m_dir.path()).canonicalFilePath();
        QTest::newRow("no folder: the program's")
            << "" << QStringList{"/a", "/b"}
            << Environment{{"PATH", "/env"}, {"LAUNCHER_TEST_OVERRIDE", "mine"}}
            << QStringList{"PATH=/a:/b", "LAUNCHER_TEST_OVERRIDE=mine", "cwd=" + h};
        QTest::newRow("configured folder, no library paths")
            << t << QStringList() << Environment()
            << QStringList{"PATH=", "LAUNCHER_TEST_OVERRIDE=system", "cwd=" + t};
    }

    // The child runs in its folder, which the process keeps for restarts.
    void childSetup()
    {
        QFETCH(QString, folder);
        QFETCH(QStringList, libraryPaths);
        QFETCH(Environment, environment);
        QFETCH(QStringList, output);

        ProcessConfig config = program(helperPath(), folder, ProcessMode::Sync, libraryPaths);
        config.environment = environment;
        config.arguments =
            QString("--print-env PATH --print-env LAUNCHER_TEST_OVERRIDE --print-cwd "
                    "--print-env LAUNCHER_TEST_KEEP")
                .split(' ');
        PipelineProcess process(nullptr, config);
        QByteArray written;
        connect(&process, &PipelineProcess::readyReadStandardOutput, this,
                [&]() { written += process.readAllStandardOutput(); });
        process.start();
        QTRY_VERIFY_WITH_TIMEOUT(process.isFinished(), 10000);
        QCOMPARE("cwd=" + process.config().workingDirectory, output.last());
        QCOMPARE(QString::fromUtf8(written).split('\n', Qt::SkipEmptyParts),
                 output << "LAUNCHER_TEST_KEEP=kept");
    }

    void validation_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<QStringList>("expected");

        const QString wd = path("wd"), gone = path("gone"), data = path("data.txt");
        const QStringList libs{path("libA"), path("libB")};
        const QString noFolder = "working directory '%1' it not a directory";
        const QString missing = "executable '%1' does not exist";
        const QString notExecutable = "executable file '%1' is not executable by the user";
        const QString daemonsOnly = "pipeline must contain at least one non-daemon process.";
        const auto row = [](const char* name, const QList<ProcessConfig>& processes,
                            const QStringList& expected) {
            QTest::newRow(name) << pipelineOf(processes, "p") << expected;
        };
        const ProcessMode Sync = ProcessMode::Sync, Daemon = ProcessMode::Daemon;

        row("absolute executable", {program(path("wd/local"))}, {});
        row("daemons only", {program(path("wd/local"), {}, Daemon)}, {daemonsOnly});
        row("no processes", {}, {daemonsOnly});
        row("missing folder and program", {program(gone + "/prog", gone)},
            {noFolder.arg(gone), missing.arg(gone + "/prog")});
        row("folder is a file", {program(path("wd/local"), data)}, {noFolder.arg(data)});
        row("empty exec", {program("")}, {missing.arg("")});
        row("exec names a folder", {program(wd)}, {missing.arg(wd)});
        row("bare name of a folder", {program("bin", wd)}, {missing.arg("bin")});
        row("absolute, not executable", {program(data)}, {notExecutable.arg(data)});
        row("relative without folder", {program("bin/tool")},
            {"use of relative executable 'bin/tool' requires working directory to be defined"});
        row("relative below folder", {program("bin/tool", wd)}, {});
        row("relative, missing below folder", {program("bin/none", wd)}, {missing.arg("bin/none")});
        row("relative, not executable", {program("../data.txt", wd)},
            {notExecutable.arg("../data.txt")});
        // libA holds a non-executable "local": the working folder comes first.
        row("bare name, working folder first", {program("local", wd, Sync, libs)}, {});
        // libB holds an executable "blocked": later folders are not tried.
        row("bare name, first match not executable", {program("blocked", wd, Sync, libs)},
            {notExecutable.arg("blocked")});
        row("bare name, second library path", {program("onlylib", {}, Sync, libs)}, {});
        row("bare name, nowhere", {program("nothing", wd, Sync, libs)}, {missing.arg("nothing")});
        // Neither the launcher's PATH nor one of the environment map is searched.
        ProcessConfig shell = program("sh");
        shell.environment.insert("PATH", "/bin:/usr/bin");
        row("bare name, only the child's PATH", {shell}, {missing.arg("sh")});
        row("messages in list order", {program("first", {}, Daemon), program(data, gone, Daemon)},
            {missing.arg("first"), noFolder.arg(gone), notExecutable.arg(data), daemonsOnly});
    }

    // An invalid pipeline's start is refused with every message at once.
    void validation()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, expected);

        MessageCapture capture;
        Controller controller;
        QSignalSpy failures(&controller, &Controller::pipelineFailure);
        QVERIFY(!controller.isPipelineValid(pipelineOf({}))); // its message must not survive
        QCOMPARE(controller.isPipelineValid(pipeline), expected.isEmpty());
        QCOMPARE(controller.validationErrors(), expected);
        if (expected.isEmpty())
            return;
        QVERIFY(!controller.start(pipeline, false));
        const QString message =
            "Failed to start pipeline 'p'. Pipeline configuration is invalid: " +
            expected.join(", ");
        QCOMPARE(capture.trace(), QStringList{"error: " + message});
        QVERIFY(capture.texts("default").last().endsWith("] " + message));
        QCOMPARE(controller.state(), Controller::PipelineState::NotRunning);
        QCOMPARE(failures.count(), 1);
        QCOMPARE(failures.at(0).at(0).toString(), QString("p"));
        QCOMPARE(failures.at(0).at(1).value<FailureReason>(),
                 FailureReason::InvalidPipelineFailure);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("pid");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("addTimeStamp");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QString>("line");

        const qint64 dec4 = qint64(1796379630) << TimeStamp::FractionBits; // 2026-12-04 10:20:30
        QTest::newRow("fraction 0, placeholders are text")
            << -7 << "50% %1 done" << true << dec4
            << "[ -7 ] [2026-12-04 10:20:30.000] 50% %1 done";
        QTest::newRow("just under half a second")
            << 1 << "m" << true << dec4 + 0x7FFFFF << "[ 1 ] [2026-12-04 10:20:30.499] m";
        QTest::newRow("just under a second")
            << 1 << "m" << true << dec4 + 0xFFFFFF << "[ 1 ] [2026-12-04 10:20:30.999] m";
    }

    // Each line goes, unchanged, to the file and to the message output.
    void lineFormat()
    {
        QFETCH(int, pid);
        QFETCH(QString, message);
        QFETCH(bool, addTimeStamp);
        QFETCH(qint64, now);
        QFETCH(QString, line);

        PipelineController controller;
        QVERIFY(!controller.start(logged({}, path("format")), true)); // leaves its log open
        g_now = now;
        MessageCapture capture;
        controller.onLogPipelineMessage(pid, message, addTimeStamp);
        QCOMPARE(capture.texts("default"), QStringList{line});
        QCOMPARE(readLines(logFileName(path("format"))).last(), line);
    }

    // A start while a pipeline runs is refused and touches nothing, its log
    // included; a receiver of pipelineFinished may start the next run at once.
    // The runs of a day append to one file, in a folder made when missing, and
    // the file is closed at each finish. A log that cannot be opened stops no run.
    void startsAndLogFile()
    {
        const QString logPath = path("nested/logs");
        const PipelineConfig other = logged({helperProcess(ProcessMode::Sync)}, logPath, "other");
        g_now = 0;
        MessageCapture capture;
        Controller controller;
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        bool restarted = false;
        connect(&controller, &Controller::pipelineFinished, this, [&]() {
            if (finished.count() == 1)
                restarted = controller.start(other, true) &&
                            controller.state() == Controller::PipelineState::Running;
        });
        QVERIFY(controller.start(logged({helperProcess(ProcessMode::Sync)}, logPath), true));
        const int messageCount = capture.messages().size();
        QVERIFY(!controller.start(other, true));
        QCOMPARE(capture.messages().size(), messageCount + 1);
        QCOMPARE(capture.trace().last(), QString("error: Unable to start pipeline 'other' "
                                                 "because the pipeline 'p' is already running"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);
        QVERIFY(restarted);
        controller.onLogPipelineMessage(1, "after the finish", false);
        const QStringList lines = readLines(logFileName(logPath));
        const QString usingLog = QString("[ %1 ] [1970-01-01 00:00:00.000] Using pipeline log %2")
                                     .arg(LauncherPid, logFileName(logPath));
        QCOMPARE(lines.value(0), usingLog);
        QCOMPARE(lines.count(usingLog), 2);
        QVERIFY(lines.last().endsWith("] Pipeline state changed to NotRunning"));

        QVERIFY(writeFile(path("blocker"), {}));
        QVERIFY(controller.start(logged({helperProcess(ProcessMode::Sync)}, path("blocker/logs")),
                                 true));
        QCOMPARE(capture.trace().filter(" log "),
                 QStringList({"error: Failed to create log folder " + path("blocker/logs"),
                              "warning: Failed to setup pipeline log for pipeline 'p'"}));
        QVERIFY(controller.waitForPipelineFinished(10000));
    }

    void outputSplitting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("timestamps");
        QTest::addColumn<QStringList>("lines");

        const QStringList mixed{"--write-err", R"(a\r\n)", "--write", R"(b\n\n)"};
        QTest::newRow("mixed line ends and channels")
            << mixed << false << QStringList{"[ C ] a", "[ C ] b"};
        QTest::newRow("the same, time stamps")
            << mixed << true << QStringList{"[ C ] T a", "[ C ] T b"};
        QTest::newRow("lone carriage returns and empty lines")
            << QStringList{"--write", R"(\r\none\rtwo\r\r\nthree\n\n\nfour)"} << false
            << QStringList{"[ C ] one", "[ C ] two", "[ C ] three", "[ C ] four"};
        QTest::newRow("NUL ends its line") << QStringList{"--write", R"(left\0right\nmore\n)"}
                                           << false << QStringList{"[ C ] left", "[ C ] more"};
    }

    void outputSplitting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, timestamps);
        QFETCH(QStringList, lines);

        ProcessConfig process = helperProcess(ProcessMode::Sync, false, arguments);
        process.timestampLogEntries = timestamps;
        // The child's own lines, not those of its process object.
        QCOMPARE(
            run(pipelineOf({process})).filter(QRegularExpression(R"(^\[ C \] (?!T Process ))")),
            lines);
    }

    // The signals, log lines and trace lines of a failing required process.
    void orderOfEvents()
    {
        QCOMPARE(
            run(pipelineOf({helperProcess(ProcessMode::Sync, true, {"--exit", "1"})}, "p")),
            QStringList(
                {"Starting pipeline 'p'", "[ L ] T Pipeline state changed to Running",
                 "[ L ] T Starting process 1 of 1 in the pipeline",
                 "[ L ] T Starting process H --exit 1", "processStarted", "Pipeline 'p' started",
                 "pipelineStarted", "[ C ] T Process started: H --exit 1", "processFinished",
                 "[ C ] T Process finished: H --exit 1 with exit code 1 (NormalExit)",
                 "[ L ] T Pipeline failure occurred (RequiredProcessFailure)", "pipelineFailure",
                 "[ L ] T Terminate all running processes in pipeline", "pipelineTerminated",
                 "[ L ] T The required process C (H --exit 1) has finished with exit "
                 "code 1 (NormalExit).",
                 "[ L ] T Pipeline state changed to NotRunning", "Pipeline 'p' finished",
                 "pipelineFinished", "FailureFinish"}));
    }

    void outcome_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<int>("starts");
        QTest::addColumn<int>("failures"); // each a RequiredProcessFailure
        QTest::addColumn<int>("terminations");
        QTest::addColumn<int>("startErrors");

        const auto row = [](const char* name, const QList<ProcessConfig>& processes, int starts,
                            int failures, int terminations, int startErrors) {
            QTest::newRow(name) << pipelineOf(processes) << starts << failures << terminations
                                << startErrors;
        };
        // The daemon is terminated once the other process has ended; the delay
        // gives it time to set up its answer, a normal exit with the code given.
        const auto daemon = [](bool required, int exitOnTerm = -1) {
            const QStringList answer{"--term-exit", QString::number(exitOnTerm)};
            const QStringList wait{"--delay", "30"};
            return helperProcess(ProcessMode::Daemon, required,
                                 exitOnTerm < 0 ? wait : answer + wait);
        };
        const ProcessConfig other = helperProcess(ProcessMode::Sync, false, {"--delay", "0.5"});
        row("required daemon exits with 3", {daemon(true, 3), other}, 2, 1, 2, 0);
        row("required daemon ended by the signal", {daemon(true), other}, 2, 1, 2, 0);
        row("required daemon exits with 0", {daemon(true, 0), other}, 2, 0, 1, 0);
        row("optional daemon exits with 3", {daemon(false, 3), other}, 2, 0, 1, 0);
        // Executable by its mode bits, but not a program: it passes the check.
        const auto garbage = [this](bool required, ProcessMode mode = ProcessMode::Sync) {
            ProcessConfig config = program(path("wd/local"), {}, mode);
            config.isRequired = required;
            return config;
        };
        row("cannot start, required", {garbage(true)}, 0, 1, 1, 1);
        row("cannot start, optional", {garbage(false)}, 0, 0, 0, 1);
        row("cannot start after a daemon, required", {daemon(false), garbage(true)}, 1, 1, 1, 1);
        row("cannot start after a daemon, optional", {daemon(false), garbage(false)}, 1, 0, 1, 1);
        row("cannot start, no release", {garbage(false, ProcessMode::Async), other}, 0, 0, 0, 1);
    }

    // A required daemon that ends unsuccessfully after it was terminated still
    // fails the pipeline; a program that cannot be executed does not wedge it.
    void outcome()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(int, starts);
        QFETCH(int, failures);
        QFETCH(int, terminations);
        QFETCH(int, startErrors);

        const QStringList events = run(pipeline);
        QCOMPARE(events.count("processStarted"), starts);
        QCOMPARE(events.count("pipelineFailure"), failures);
        QCOMPARE(events.filter("failure occurred (RequiredProcessFailure)").size(), failures);
        QCOMPARE(events.count("pipelineTerminated"), terminations);
        QCOMPARE(events.filter(" (FailedToStart)").size(), startErrors);
        QCOMPARE(events.count("pipelineFinished"), 1);
        QCOMPARE(events.last(), QString(failures ? "FailureFinish" : "NormalFinish"));
    }

    // Waiting ends at once when nothing runs, else with the finish or the time.
    void waitForPipelineFinished()
    {
        Controller controller;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(controller.waitForPipelineFinished(20000));
        QVERIFY(timer.elapsed() < 1000);
        for (const QString delay : {"0.3", "30"}) {
            QVERIFY(controller.start(
                pipelineOf({helperProcess(ProcessMode::Sync, false, {"--delay", delay})}), false));
            timer.restart();
            QCOMPARE(controller.waitForPipelineFinished(delay == "30" ? 300 : 20000),
                     delay != "30");
            QVERIFY2(timer.elapsed() >= 290 && timer.elapsed() < 10000,
                     qPrintable(QString::number(timer.elapsed())));
        }
        QCOMPARE(controller.state(), Controller::PipelineState::Running);
    }

    // Children that still run end with the controller.
    void destroyWhileRunning()
    {
        const QStringList pidFiles{path("daemon.pid"), path("sync.pid")};
        auto controller = std::make_unique<Controller>();
        QVERIFY(controller->start(
            pipelineOf({helperProcess(ProcessMode::Daemon, false,
                                      {"--pid-file", pidFiles[0], "--delay", "30"}),
                        helperProcess(ProcessMode::Sync, true,
                                      {"--pid-file", pidFiles[1], "--delay", "30"})}),
            false));
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(pidFiles[0]).size() > 0 && QFileInfo(pidFiles[1]).size() > 0, 10000);
        controller.reset();
        for (const QString& pidFile : pidFiles)
            QVERIFY(::kill(pid_t(readLines(pidFile).value(0).toLong()), 0) == -1 && errno == ESRCH);
    }
};

QTEST_GUILESS_MAIN(TestPipelineRun)
#include "TestPipelineRun.moc"
