// Whole pipelines: the order of events of a failure, daemons that fail after
// termination, starts that collide, waiting, programs that cannot be executed
// and a controller destroyed while its children run.

#include "PipelineController.h"
#include "TestFixtures.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>

namespace {

Q_LOGGING_CATEGORY(lcSignal, "test.signal")

using Controller = PipelineController;
using FinishReason = PipelineController::PipelineFinishReason;
using FailureReason = PipelineController::PipelineFailureReason;

template <typename Enum>
const char* name(Enum value)
{
    return QMetaEnum::fromType<Enum>().valueToKey(value);
}

// Puts every signal of the controller into the message output, so that signals,
// log lines and trace lines can be checked in one order.
void reportSignals(Controller& controller)
{
    QObject::connect(&controller, &Controller::processStarted,
                     [](int index) { qCInfo(lcSignal, "processStarted(%d)", index); });
    QObject::connect(&controller, &Controller::processFinished,
                     [](int index, int code, QProcess::ExitStatus status) {
                         qCInfo(lcSignal, "processFinished(%d,%d,%s)", index, code, name(status));
                     });
    QObject::connect(&controller, &Controller::pipelineStarted, [](const QString& basename) {
        qCInfo(lcSignal, "pipelineStarted(%s)", qPrintable(basename));
    });
    QObject::connect(&controller, &Controller::pipelineFailure,
                     [](const QString& basename, FailureReason reason) {
                         qCInfo(lcSignal, "pipelineFailure(%s,%s)", qPrintable(basename),
                                name(reason));
                     });
    QObject::connect(&controller, &Controller::pipelineTerminated,
                     []() { qCInfo(lcSignal, "pipelineTerminated()"); });
    QObject::connect(&controller, &Controller::pipelineFinished,
                     [](const QString& basename, FinishReason reason) {
                         qCInfo(lcSignal, "pipelineFinished(%s,%s)", qPrintable(basename),
                                name(reason));
                     });
}

// "signal: …", "trace: …" and "log L|C: …" (launcher's or a child's id, time
// stamp dropped), with the helper path as H and the child's id as PID.
QStringList events(const MessageCapture& capture)
{
    const QRegularExpression logLine(R"re(^"\[ (\d+) \] \[[^\]]*\] (.*)"$)re");
    const QString launcherPid = QString::number(QCoreApplication::applicationPid());
    QString childPid;
    QStringList result;
    for (const MessageCapture::Message& message : capture.messages()) {
        if (message.category == "test.signal") {
            result << "signal: " + message.text;
        } else if (message.category == "solvane.trace") {
            result << "trace: " + message.text;
        } else {
            const QRegularExpressionMatch match = logLine.match(message.text);
            const bool launcher = match.captured(1) == launcherPid;
            if (!launcher)
                childPid = match.captured(1);
            QString text = match.captured(2).replace(helperPath(), "H");
            if (!childPid.isEmpty())
                text.replace(childPid, "PID");
            result << (launcher ? "log L: " : "log C: ") + text;
        }
    }
    return result;
}

bool isGone(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == -1 && errno == ESRCH;
}

} // namespace

class TestPipelineRun : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_garbage;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<QProcess::ExitStatus>();
        qRegisterMetaType<FinishReason>();
        qRegisterMetaType<FailureReason>();
        // Executable by its mode bits, but no program: exec must fail.
        m_garbage = m_dir.filePath("garbage");
        QFile file(m_garbage);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x01\x02\x03 not a program\n\xff\xfe", 20));
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner));
    }

    void orderOfEvents_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<QStringList>("expected");

        const auto expected = [](const QString& arguments, const QStringList& ending,
                                 const QString& failure, const QString& code) {
            return QStringList{"trace: Starting pipeline 'p'",
                               "log L: Pipeline state changed to Running",
                               "log L: Starting process 1 of 1 in the pipeline",
                               "log L: Starting process H " + arguments,
                               "signal: processStarted(0)",
                               "trace: Pipeline 'p' started",
                               "signal: pipelineStarted(p)",
                               "log C: Process started: H " + arguments} +
                   ending +
                   QStringList{"log L: Pipeline failure occurred (" + failure + ")",
                               "signal: pipelineFailure(p," + failure + ")",
                               "log L: Terminate all running processes in pipeline",
                               "signal: pipelineTerminated()",
                               "log L: The required process PID (H " + arguments +
                                   ") has finished with exit code " + code + ".",
                               "log L: Pipeline state changed to NotRunning",
                               "trace: Pipeline 'p' finished",
                               "signal: pipelineFinished(p,FailureFinish)"};
        };

        QTest::newRow("required sync exits with 1")
            << pipelineOf({helperProcess(ProcessMode::Sync, true, {"--exit", "1"})}, "p")
            << expected("--exit 1",
                        {"signal: processFinished(0,1,NormalExit)",
                         "log C: Process finished: H --exit 1 with exit code 1 (NormalExit)"},
                        "RequiredProcessFailure", "1 (NormalExit)");

        ProcessConfig invalidConfig = helperProcess(ProcessMode::Sync, true, {"--exit", "102"});
        invalidConfig.invalidConfigExitCodes = {102};
        QTest::newRow("required sync reports an invalid configuration")
            << pipelineOf({invalidConfig}, "p")
            << expected("--exit 102",
                        {"signal: processFinished(0,102,NormalExit)",
                         "log C: Process finished: H --exit 102 with exit code 102 (NormalExit)"},
                        "RequiredProcessInvalidConfigFailure", "102 (NormalExit)");

        QTest::newRow("required sync crashes")
            << pipelineOf({helperProcess(ProcessMode::Sync, true, {"--crash"})}, "p")
            << expected("--crash",
                        {"log C: Process error: H --crash (Crashed)",
                         "signal: processFinished(0,9,CrashExit)",
                         "log C: Process finished: H --crash (CrashExit)"},
                        "RequiredProcessFailure", "-1 (CrashExit)");
    }

    void orderOfEvents()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, expected);

        MessageCapture capture;
        Controller controller;
        reportSignals(controller);
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        QVERIFY(controller.start(pipeline, false));
        QVERIFY(finished.wait(10000));
        QCOMPARE(events(capture), expected);
    }

    void daemonEnd_data()
    {
        QTest::addColumn<bool>("required");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("terminations");
        QTest::addColumn<FinishReason>("finishReason");

        const QStringList waits{"--delay", "30"};
        QTest::newRow("required, exits with 3")
            << true << QStringList{"--term-exit", "3"} + waits << 2 << FinishReason::FailureFinish;
        QTest::newRow("required, ended by the signal")
            << true << waits << 2 << FinishReason::FailureFinish;
        QTest::newRow("required, exits with 0")
            << true << QStringList{"--term-exit", "0"} + waits << 1 << FinishReason::NormalFinish;
        QTest::newRow("optional, exits with 3")
            << false << QStringList{"--term-exit", "3"} + waits << 1 << FinishReason::NormalFinish;
    }

    // Only a daemon is left, so it is terminated; a required daemon that then
    // ends unsuccessfully still fails the pipeline.
    void daemonEnd()
    {
        QFETCH(bool, required);
        QFETCH(QStringList, arguments);
        QFETCH(int, terminations);
        QFETCH(FinishReason, finishReason);

        Controller controller;
        QSignalSpy failures(&controller, &Controller::pipelineFailure);
        QSignalSpy terminated(&controller, &Controller::pipelineTerminated);
        QSignalSpy processFinished(&controller, &Controller::processFinished);
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        // The delay gives the daemon time to set up its termination handling.
        QVERIFY(controller.start(
            pipelineOf({helperProcess(ProcessMode::Daemon, required, arguments),
                        helperProcess(ProcessMode::Sync, false, {"--delay", "0.3"})}),
            false));
        QVERIFY(finished.wait(10000));

        QCOMPARE(terminated.count(), terminations);
        QCOMPARE(failures.count(), terminations - 1);
        if (!failures.isEmpty()) {
            QCOMPARE(failures.at(0).at(1).value<FailureReason>(),
                     FailureReason::RequiredProcessFailure);
        }
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(), finishReason);
        QCOMPARE(processFinished.count(), 2);
        QCOMPARE(processFinished.at(1).at(0).toInt(), 0); // the daemon ends last
    }

    // A second start is refused without touching the running pipeline.
    void startWhileRunning()
    {
        MessageCapture capture;
        Controller controller;
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        QSignalSpy failures(&controller, &Controller::pipelineFailure);
        QVERIFY(controller.start(
            pipelineOf({helperProcess(ProcessMode::Sync, false, {"--delay", "0.5"})}, "first"),
            false));

        const int messageCount = capture.messages().size();
        PipelineConfig second = pipelineOf({helperProcess(ProcessMode::Sync)}, "second");
        second.logPath = m_dir.filePath("second-logs");
        second.logBasename = "second";
        QVERIFY(!controller.start(second, true));
        QCOMPARE(controller.state(), Controller::PipelineState::Running);
        QCOMPARE(capture.messages().size(), messageCount + 1);
        QCOMPARE(capture.messages().last().type, QtCriticalMsg);
        QCOMPARE(capture.messages().last().text,
                 QString("Unable to start pipeline 'second' because the pipeline 'first' is "
                         "already running"));
        QVERIFY(!QFileInfo::exists(second.logPath));

        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toString(), QString("first"));
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(), FinishReason::NormalFinish);
        QCOMPARE(failures.count(), 0);
    }

    // When pipelineFinished is emitted the controller is ready for the next start
    // and the old log is closed.
    void startFromFinishedReceiver()
    {
        const QString logPath = m_dir.filePath("restart-logs");
        PipelineConfig first = pipelineOf({helperProcess(ProcessMode::Sync)}, "first");
        first.logPath = logPath;
        first.logBasename = "app";
        PipelineConfig second = first;
        second.basename = "second";

        Controller controller;
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        bool restarted = false;
        Controller::PipelineState stateAfterRestart = Controller::PipelineState::NotRunning;
        connect(&controller, &Controller::pipelineFinished, this, [&]() {
            if (finished.count() == 1) {
                restarted = controller.start(second, true);
                stateAfterRestart = controller.state();
            }
        });
        QVERIFY(controller.start(first, true));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);

        QVERIFY(restarted);
        QCOMPARE(stateAfterRestart, Controller::PipelineState::Running);
        QCOMPARE(finished.at(0).at(0).toString(), QString("first"));
        QCOMPARE(finished.at(1).at(0).toString(), QString("second"));
        QCOMPARE(finished.at(1).at(1).value<FinishReason>(), FinishReason::NormalFinish);

        QDir logs(logPath);
        const QStringList files = logs.entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QFile log(logs.filePath(files.first()));
        QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(log.readAll()).split('\n');
        QCOMPARE(lines.filter("] Using pipeline log ").size(), 2);
        QCOMPARE(lines.filter("] Pipeline state changed to NotRunning").size(), 2);
    }

    void waitForPipelineFinished_data()
    {
        QTest::addColumn<QStringList>("arguments"); // empty: nothing runs
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");

        QTest::newRow("nothing runs") << QStringList() << 20000 << true << 0 << 1000;
        QTest::newRow("finishes in time")
            << QStringList{"--delay", "0.2"} << 20000 << true << 150 << 10000;
        QTest::newRow("time runs out")
            << QStringList{"--delay", "30"} << 300 << false << 290 << 10000;
    }

    void waitForPipelineFinished()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, timeoutMs);
        QFETCH(bool, result);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);

        Controller controller;
        if (!arguments.isEmpty()) {
            QVERIFY(controller.start(
                pipelineOf({helperProcess(ProcessMode::Sync, false, arguments)}), false));
        }
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(controller.waitForPipelineFinished(timeoutMs), result);
        QVERIFY2(timer.elapsed() >= minMs && timer.elapsed() <= maxMs,
                 qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(controller.state(), result ? Controller::PipelineState::NotRunning
                                            : Controller::PipelineState::Running);
    }

    void failedToStart_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline"); // exec "G" is the garbage file
        QTest::addColumn<int>("processStarts");
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("terminations");
        QTest::addColumn<FinishReason>("finishReason");

        const auto garbage = [](ProcessMode mode, bool required) {
            ProcessConfig config = helperProcess(mode, required);
            config.exec = "G";
            return config;
        };
        const ProcessConfig daemon = helperProcess(ProcessMode::Daemon, false, {"--delay", "30"});

        QTest::newRow("required, alone") << pipelineOf({garbage(ProcessMode::Sync, true)}) << 0 << 1
                                         << 1 << FinishReason::FailureFinish;
        QTest::newRow("optional, alone") << pipelineOf({garbage(ProcessMode::Sync, false)}) << 0
                                         << 0 << 0 << FinishReason::NormalFinish;
        QTest::newRow("required, after a daemon")
            << pipelineOf({daemon, garbage(ProcessMode::Sync, true)}) << 1 << 1 << 1
            << FinishReason::FailureFinish;
        QTest::newRow("optional, after a daemon")
            << pipelineOf({daemon, garbage(ProcessMode::Sync, false)}) << 1 << 0 << 1
            << FinishReason::NormalFinish;
        QTest::newRow("releases nothing")
            << pipelineOf({garbage(ProcessMode::Async, false), helperProcess(ProcessMode::Sync)})
            << 0 << 0 << 0 << FinishReason::NormalFinish;
    }

    // A program that cannot be executed passes validation but must not wedge
    // the pipeline.
    void failedToStart()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(int, processStarts);
        QFETCH(int, failures);
        QFETCH(int, terminations);
        QFETCH(FinishReason, finishReason);

        for (ProcessConfig& process : pipeline.processList) {
            if (process.exec == "G")
                process.exec = m_garbage;
        }
        MessageCapture capture;
        Controller controller;
        QSignalSpy started(&controller, &Controller::processStarted);
        QSignalSpy failed(&controller, &Controller::pipelineFailure);
        QSignalSpy terminated(&controller, &Controller::pipelineTerminated);
        QSignalSpy finished(&controller, &Controller::pipelineFinished);
        QVERIFY(controller.start(pipeline, false));
        QVERIFY(finished.count() > 0 || finished.wait(10000));

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(), finishReason);
        QCOMPARE(started.count(), processStarts);
        QCOMPARE(failed.count(), failures);
        if (failures > 0) {
            QCOMPARE(failed.at(0).at(1).value<FailureReason>(),
                     FailureReason::RequiredProcessFailure);
        }
        QCOMPARE(terminated.count(), terminations);
        QCOMPARE(controller.state(), Controller::PipelineState::NotRunning);
        QCOMPARE(capture.texts("default").filter("] Process error: " + m_garbage).size(), 1);
        QVERIFY(capture.texts("default").filter("(FailedToStart)").size() == 1);
    }

    // Children that still run are ended with the controller, which emits nothing.
    void destroyWhileRunning()
    {
        const QString daemonPidFile = m_dir.filePath("daemon.pid");
        const QString syncPidFile = m_dir.filePath("sync.pid");
        PipelineConfig pipeline = pipelineOf(
            {helperProcess(ProcessMode::Daemon, false,
                           {"--pid-file", daemonPidFile, "--delay", "30"}),
             helperProcess(ProcessMode::Sync, true, {"--pid-file", syncPidFile, "--delay", "30"})});
        pipeline.logPath = m_dir.filePath("destroy-logs");
        pipeline.logBasename = "app";

        auto controller = std::make_unique<Controller>();
        QSignalSpy started(controller.get(), &Controller::processStarted);
        bool emittedOnDestruction = false;
        QObject observer;
        const auto onEmission = [&emittedOnDestruction]() { emittedOnDestruction = true; };
        connect(controller.get(), &Controller::processFinished, &observer, onEmission);
        connect(controller.get(), &Controller::pipelineFailure, &observer, onEmission);
        connect(controller.get(), &Controller::pipelineFinished, &observer, onEmission);
        QVERIFY(controller->start(pipeline, true));
        QTRY_VERIFY_WITH_TIMEOUT(started.count() == 2 && QFileInfo(daemonPidFile).size() > 0 &&
                                     QFileInfo(syncPidFile).size() > 0,
                                 10000);

        QElapsedTimer timer;
        timer.start();
        controller.reset();
        QVERIFY(timer.elapsed() < 10000);
        QVERIFY(!emittedOnDestruction);
        for (const QString& pidFile : {daemonPidFile, syncPidFile}) {
            QFile file(pidFile);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(isGone(file.readAll().trimmed().toLongLong()));
        }
    }
};

QTEST_GUILESS_MAIN(TestPipelineRun)
#include "TestPipelineRun.moc"
