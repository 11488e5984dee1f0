// The seams between start, restart, stop and failure: a requested stop is no
// failure, each instance is asked to terminate once, nothing starts once the
// pipeline stops, a restart waits until what the ended instance left is gone,
// and a front end's own processes are never touched.

#include "PipelineController.h"
#include "ShiftedClock.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/DateChangeTimer.h"
#include "support/LauncherSupport.h"

#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using FinishReason = PipelineController::PipelineFinishReason;

const int LimitMs = 20000;

class TestSupervision : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const ProcessMarker m_marker;
    std::unique_ptr<MessageCapture> m_messages;

    // A shell script as a process; MARK stands for the marker.
    ProcessConfig shell(ProcessMode mode, QString script) const
    {
        ProcessConfig config =
            helperProcess(mode, false, {"-c", script.replace("MARK", m_marker.text())});
        config.exec = "/bin/sh";
        config.libraryPaths = QStringList{"/usr/bin", "/bin"};
        return config;
    }
    // The pipeline log's lines that contain the text.
    int logLines(const QString& text) const { return m_messages->count(text, QtInfoMsg); }

private slots:
    void initTestCase() { qRegisterMetaType<FinishReason>(); }
    void init() { m_messages = std::make_unique<MessageCapture>(); }
    void cleanup()
    {
        m_messages.reset();
        m_marker.killAll();
    }

    void phases_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<bool>("requestStop"); // once every process has started (and failed)
        QTest::addColumn<QString>("phases");
        QTest::addColumn<QString>("outcome"); // and the failing process's words
        const auto row = [](const char* name, const QList<ProcessConfig>& processes,
                            const char* outcome, bool requestStop = false,
                            const char* phases = "Starting Running Stopping Finished") {
            QTest::newRow(name) << pipelineOf(processes) << requestStop << phases << outcome;
        };
        const ProcessConfig waiting = helperProcess(ProcessMode::Sync, true, {"--delay", "30"});
        row("normal", {helperProcess(ProcessMode::Sync)}, "normal", false,
            "Starting Running Finished");
        row("only daemons left",
            {helperProcess(ProcessMode::Daemon, false, {"--delay", "30"}),
             helperProcess(ProcessMode::Sync)},
            "normal");
        row("what an ended process left", {shell(ProcessMode::Sync, "sleep MARK &")}, "normal");
        row("failure", {helperProcess(ProcessMode::Sync, true, {"--exit", "3"})},
            "failed: exited with code 3");
        // Ended as only daemons are left: a required one that fails then fails it.
        ProcessConfig failsAtEnd =
            shell(ProcessMode::Daemon, "trap 'exit 4' TERM; sleep MARK & wait");
        failsAtEnd.isRequired = true;
        row("a failure while ending", {failsAtEnd, helperProcess(ProcessMode::Sync)},
            "failed: exited with code 4");
        // The required process ends by the request's signal, a failure were it
        // not requested.
        row("requested stop", {waiting}, "stopped", true);
        row("a failure before the stop stands",
            {helperProcess(ProcessMode::Async, true, {"--delay", "0.2", "--exit", "1"}),
             helperProcess(ProcessMode::Sync, true, {"--ignore-term", "--delay", "30"})},
            "failed: exited with code 1", true);
    }

    // The phases a front end sees and how the pipeline ended: a failure is
    // reported once, with what failed in words, and never as a crash; a stop
    // on request is no failure; the pipeline has finished only once nothing
    // of it runs.
    void phases()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(bool, requestStop);
        QFETCH(QString, phases);
        QFETCH(QString, outcome);
        PipelineController controller;
        controller.setStopTimeout(2000);
        QStringList seen;
        connect(&controller, &PipelineController::phaseChanged, this,
                [&](PipelineController::Phase phase) {
                    seen.append(LauncherSupport::enumName(phase));
                });
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy stopped(&controller, &PipelineController::pipelineStopped);
        int leftAtFinish = -1;
        connect(&controller, &PipelineController::pipelineFinished, this,
                [&] { leftAtFinish = int(m_marker.processes().size()); });
        QVERIFY(controller.start(pipeline, false));
        if (requestStop) {
            QTRY_VERIFY_WITH_TIMEOUT(started.count() == pipeline.processList.size() &&
                                         failures.count() == outcome.startsWith("failed"),
                                     LimitMs);
            controller.requestStop(2000);
        }
        // It has finished, and nothing of it ran by then.
        QTRY_COMPARE_WITH_TIMEOUT(leftAtFinish, 0, LimitMs);
        QCOMPARE(seen.join(' '), phases);
        const PipelineController::Result& result = *controller.lastResult();
        const QString words = result.failedProcess.failure;
        const char* const outcomes[] = {"normal", "failed", "stopped"};
        QCOMPARE(outcomes[int(result.outcome)] + (words.isEmpty() ? QString() : ": " + words),
                 outcome);
        QCOMPARE(failures.count(), outcome.startsWith("failed") ? 1 : 0);
        QCOMPARE(stopped.count(), requestStop ? 1 : 0);
        QCOMPARE(logLines("(CrashExit)."), 0);
    }

    // Many programs read a second termination request as "quit now, skip the
    // clean-up": each instance is asked once, however often the pipeline
    // terminates its processes. A failure terminates them, and a stop is
    // requested, and again, which only brings the kill forward (one process
    // ignores the request: the first stop would wait a minute). The Sync
    // process ends normally half a second after the request (it counts it),
    // as the daemon does, and so releases the next one, which must not start
    // once the pipeline stops.
    void oneTermPerInstance()
    {
        const QString termFile = m_dir.filePath("daemon-terms"); // a byte for each request
        PipelineController controller;
        controller.setStopTimeout(60000);
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(
            pipelineOf(
                {helperProcess(ProcessMode::Daemon, false,
                               {"--count-term", termFile, "--delay", "30"}),
                 helperProcess(ProcessMode::Async, true, {"--delay", "0.3", "--exit", "1"}),
                 helperProcess(ProcessMode::Async, false, {"--ignore-term", "--delay", "60"}),
                 helperProcess(ProcessMode::Sync, false,
                               {"--count-term", "/dev/null", "--delay", "30"}),
                 shell(ProcessMode::Sync, "exec sleep MARK")}),
            false));
        QTRY_COMPARE_WITH_TIMEOUT(failures.count(), 1, LimitMs);
        controller.requestStop(60000);
        controller.requestStop(0);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        QCOMPARE(fileContent(termFile), QByteArray("T"));
        QCOMPARE(logLines("Stop requested"), 1);
        QCOMPARE(started.count(), 4);
    }

    void dailyRestart_data()
    {
        QTest::addColumn<bool>("stoppedBefore");
        QTest::addColumn<bool>("setBack"); // after the restart, the clock is set back over 04:00
        QTest::newRow("running at 04:00") << false << false;
        QTest::newRow("stopped before 04:00") << true << false;
        QTest::newRow("clock set back over 04:00") << false << true;
    }

    // At 04:00 by the launcher's clock a running pipeline with restart-at
    // stops as on request and starts again, without finishing; a stopped one
    // neither starts nor has its time watched; a clock set back over 04:00
    // after the restart does not restart it again that day.
    void dailyRestart()
    {
        QFETCH(bool, stoppedBefore);
        QFETCH(bool, setBack);
        const QDateTime beforeFour(QDate(2026, 12, 7), QTime(3, 59, 59));
        ShiftedClock clock(beforeFour);
        DateChangeTimer::setLookInterval(100);
        PipelineController controller;
        PipelineConfig pipeline = pipelineOf({shell(ProcessMode::Sync, "exec sleep MARK")});
        pipeline.restartAt = QTime(4, 0);
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(pipeline, false));
        QCOMPARE(controller.nextRestart(), beforeFour.addSecs(1));
        if (stoppedBefore) {
            controller.requestStop(2000);
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
            QVERIFY(!controller.nextRestart().isValid());
        }
        const int restarts = stoppedBefore ? 0 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1 + restarts, LimitMs);
        if (setBack)
            clock.set(beforeFour);
        QTRY_VERIFY_WITH_TIMEOUT(ShiftedClock::now() > beforeFour.addSecs(3), LimitMs);
        QCOMPARE(logLines("Daily restart at 04:00: terminating"), restarts);
        QCOMPARE(started.count(), 1 + restarts);
        QCOMPARE(finished.count(), stoppedBefore ? 1 : 0);
        QCOMPARE(m_marker.processes(true).size(), restarts);
        if (!stoppedBefore)
            QCOMPARE(controller.nextRestart(), beforeFour.addDays(1).addSecs(1));
        DateChangeTimer::setLookInterval(60000);
    }

    void leftovers_data()
    {
        QTest::addColumn<QString>("child"); // what each instance leaves when it crashes
        QTest::addColumn<int>("starts");    // of the crashing daemon; 1: not restarted
        QTest::addColumn<bool>("stopDuringCleanUp");
        QTest::newRow("left in its group") << "sleep MARK" << 4 << false;
        QTest::newRow("ignores the request, killed")
            << "(trap '' TERM; exec sleep MARK)" << 4 << false;
        QTest::newRow("left its group") << "setsid sleep MARK" << 4 << false;
        QTest::newRow("not restarted") << "sleep MARK" << 1 << false;
        QTest::newRow("stopped during the clean-up")
            << "(trap '' TERM; exec sleep MARK)" << 10 << true;
    }

    // A crashed instance's children would hold what the new instance needs
    // (a port, a lock) and run on unsupervised: they are gone before it
    // starts, so there is never more than one of them. What an instance that
    // has ended for good left is stopped at once, while the Sync process runs
    // on; and a pipeline has finished (a stop is reported) only once nothing
    // of it runs, also when stopped while a leftover that ignores the
    // request is being cleaned up before the restart.
    void leftovers()
    {
        QFETCH(QString, child);
        QFETCH(int, starts);
        QFETCH(bool, stopDuringCleanUp);
        ProcessConfig process = shell(ProcessMode::Daemon, child + " & sleep 0.3; kill -9 $$");
        process.restartOnCrash = starts > 1;
        process.restartLimit = starts;
        PipelineController controller;
        controller.setStopTimeout(stopDuringCleanUp ? 1500 : 300);
        QSignalSpy started(&controller, &PipelineController::processStarted);
        int mostAlive = 0, leftAtFinish = -1;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this,
                [&] { mostAlive = std::max(mostAlive, int(m_marker.processes(true).size())); });
        watch.start(20);
        connect(&controller, &PipelineController::pipelineFinished, this,
                [&] { leftAtFinish = int(m_marker.processes(true).size()); });
        QVERIFY(controller.start(
            pipelineOf({process, helperProcess(ProcessMode::Sync, false, {"--delay", "60"})}),
            false));
        if (stopDuringCleanUp) {
            QTRY_COMPARE_WITH_TIMEOUT(logLines("Stopping what the ended instance left"), 1,
                                      LimitMs);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(controller.processStatuses().value(0).state,
                                      ProcessStatus::State::Finished, LimitMs);
            QVERIFY(m_marker.noneLeft(LimitMs));
            QCOMPARE(controller.processStatuses().value(1).state, ProcessStatus::State::Running);
            QCOMPARE(started.count(), starts + 1);
        }
        QVERIFY(controller.stop(1500));
        QCOMPARE(leftAtFinish, 0);
        QCOMPARE(mostAlive, 1);
    }

    // The log is read to trace a crash: a line under another instance's pid
    // lies, and so does one before its instance's "Process started". A new
    // instance may write before its start is reported.
    void linesCarryTheirWritersPid()
    {
        ProcessConfig crashing =
            shell(ProcessMode::Daemon, "echo up $$; echo again $$; kill -SEGV $$");
        crashing.restartOnCrash = true;
        crashing.restartLimit = 1000;
        crashing.restartPeriod = 1;
        PipelineController controller;
        QVERIFY(controller.start(
            pipelineOf({crashing, helperProcess(ProcessMode::Sync, false, {"--delay", "60"})}),
            false));
        // The lines themselves are waited for: an instance counted as started
        // may not have written its line yet when the pipeline stops.
        const QRegularExpression up("^\\[ \\d+ \\] up \\d+$");
        const QRegularExpression again("^\\[ \\d+ \\] again \\d+$");
        const auto upLines = [&] { return m_messages->texts(QtInfoMsg).filter(up); };
        QTRY_VERIFY_WITH_TIMEOUT(upLines().size() >= 200, 120000);
        QVERIFY(controller.stop(2000));
        QSet<QString> started; // the pids whose start was logged
        for (const QString& line : m_messages->texts(QtInfoMsg)) {
            const QString pid = line.section(' ', 1, 1);
            if (line.contains("] Process started: "))
                started.insert(pid);
            else if (line.contains(up) || line.contains(again)) // "[ PID ] up PID"
                QVERIFY2(pid == line.section(' ', 4, 4) && started.contains(pid), qPrintable(line));
        }
    }

    // A graphical front end starts programs of its own: they come to the
    // launcher's process when their parent ends, as the pipeline's orphans
    // do, but are not the pipeline's to stop, neither by the next start,
    // which kills what the last pipeline left, nor by the controller's end,
    // which kills and reaps silently whatever of the pipeline still runs.
    void frontEndChildrenSurvive()
    {
        qint64 detached = 0;
        auto controller = std::make_unique<PipelineController>();
        QSignalSpy finished(controller.get(), &PipelineController::pipelineFinished);
        QVERIFY(controller->start(pipelineOf({shell(ProcessMode::Sync, "sleep 0.5")}), false));
        QVERIFY(QProcess::startDetached("sleep", {m_marker.text()}, QString(), &detached));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        QVERIFY(controller->start(
            pipelineOf({shell(ProcessMode::Sync,
                              "trap '' TERM; sleep MARK & (setsid sleep MARK &); wait")}),
            false));
        QTRY_COMPARE_WITH_TIMEOUT(m_marker.processes(true).size(), 2, LimitMs); // the pipeline's
        controller.reset();
        QCOMPARE(m_marker.processes(), QList<qint64>{detached});
        QCOMPARE(m_messages->count("Destroyed while"), 0);
    }
};

LAUNCHER_TEST(TestSupervision)
#include "TestSupervision.moc"
