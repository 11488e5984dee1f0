// The seams between start, restart, stop and failure: a requested stop is no
// failure, each instance is asked to terminate once, nothing starts once the
// pipeline stops, a restart waits until what the ended instance left is gone,
// and a front end's own processes are never touched.

#include "PipelineController.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/LauncherSupport.h"
#include "support/ProcFs.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>

using FinishReason = PipelineController::PipelineFinishReason;
using FailureReason = PipelineController::PipelineFailureReason;
using LauncherSupport::enumName;

namespace {

const int LimitMs = 20000;

QStringList g_logLines;
QtMessageHandler g_previousHandler = nullptr;

void captureLogLines(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtInfoMsg && qstrcmp(context.category, "default") == 0)
        g_logLines.append(text);
    else
        g_previousHandler(type, context, text);
}

int linesWith(const QString& text)
{
    return int(std::count_if(g_logLines.cbegin(), g_logLines.cend(),
                             [&text](const QString& line) { return line.contains(text); }));
}

} // namespace

class TestSupervision : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_marker; // a sleep's argument that names the processes of these tests

    // A shell script as a process; MARK stands for the marker.
    ProcessConfig shell(ProcessMode mode, QString script, bool required = false) const
    {
        ProcessConfig config = helperProcess(mode, required);
        config.exec = "/bin/sh";
        config.libraryPaths = QStringList{"/usr/bin", "/bin"};
        config.arguments = QStringList{"-c", script.replace("MARK", m_marker)};
        return config;
    }

    // test-helper counting its termination requests in the file "term-NAME";
    // it says "counting" once it does.
    ProcessConfig counting(ProcessMode mode, const QString& name, bool required = false) const
    {
        return helperProcess(mode, required,
                             {"--count-term", termFile(name), "--write", "counting\\n", "--delay",
                              "30", "--exit", "0"});
    }
    QString termFile(const QString& name) const { return m_dir->filePath("term-" + name); }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<FinishReason>();
        qRegisterMetaType<FailureReason>();
        m_dir = std::make_unique<QTemporaryDir>();
        m_marker = QStringLiteral("3600.%1").arg(QRandomGenerator::global()->bounded(1u << 30));
    }
    void cleanupTestCase() { m_dir.reset(); }
    void init()
    {
        for (const QString& file : QDir(m_dir->path()).entryList(QDir::Files))
            QVERIFY(QFile::remove(m_dir->filePath(file)));
        g_logLines.clear();
        g_previousHandler = qInstallMessageHandler(captureLogLines);
    }
    void cleanup()
    {
        qInstallMessageHandler(g_previousHandler);
        if (QTest::currentTestFailed())
            qInfo("%s", qPrintable(g_logLines.join('\n')));
        for (const qint64 pid : markedProcesses(m_marker))
            ::kill(pid_t(pid), SIGKILL);
    }

    void stopIsNoFailure_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<bool>("failedBefore"); // a failure came before the stop
        QTest::newRow("required process killed by the request")
            << pipelineOf({helperProcess(ProcessMode::Sync, true, {"--delay", "30"})}) << false;
        QTest::newRow("required processes that exit non-zero on it")
            << pipelineOf(
                   {shell(ProcessMode::Daemon, "trap 'exit 3' TERM; sleep MARK & wait", true),
                    shell(ProcessMode::Sync, "trap 'exit 4' TERM; sleep MARK & wait", true)})
            << false;
        QTest::newRow("a failure before the stop stands")
            << pipelineOf(
                   {helperProcess(ProcessMode::Async, true, {"--delay", "0.2", "--exit", "1"}),
                    helperProcess(ProcessMode::Sync, true, {"--ignore-term", "--delay", "30"})})
            << true;
    }

    // A front end, the console or the control socket stopping a pipeline of
    // required processes: no failure is reported, and the stop is.
    void stopIsNoFailure()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(bool, failedBefore);
        PipelineController controller;
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy stopped(&controller, &PipelineController::pipelineStopped);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(pipeline, false));
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), pipeline.processList.size(), LimitMs);
        QTRY_COMPARE_WITH_TIMEOUT(failures.count(), failedBefore ? 1 : 0, LimitMs);
        const int failureLines = linesWith("Pipeline failure occurred");
        controller.requestStop(2000);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);

        QCOMPARE(failures.count(), failedBefore ? 1 : 0);
        QCOMPARE(linesWith("Pipeline failure occurred"), failureLines);
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(),
                 failedBefore ? PipelineController::FailureFinish
                              : PipelineController::NormalFinish);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(linesWith("Pipeline stopped on request"), 1);
        // A failure that came first is what the pipeline ended by.
        QCOMPARE(controller.lastResult()->outcome,
                 failedBefore ? PipelineController::Result::Outcome::Failed
                              : PipelineController::Result::Outcome::Stopped);
    }

    void phases_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<bool>("requestStop"); // once every process has started
        QTest::addColumn<QString>("phases");
        QTest::addColumn<QString>("outcome"); // and the failing process's words
        const ProcessConfig waiting = helperProcess(ProcessMode::Sync, true, {"--delay", "30"});
        ProcessConfig notReady = helperProcess(ProcessMode::Async, true, {"--delay", "30"});
        notReady.ready = "file:/nonexistent";
        notReady.readyTimeout = 1;
        QTest::newRow("normal") << pipelineOf({helperProcess(ProcessMode::Sync)}) << false
                                << "Starting Running Finished"
                                << "normal";
        QTest::newRow("only daemons left")
            << pipelineOf({helperProcess(ProcessMode::Daemon, false, {"--delay", "30"}),
                           helperProcess(ProcessMode::Sync)})
            << false << "Starting Running Stopping Finished"
            << "normal";
        QTest::newRow("what an ended process left")
            << pipelineOf({shell(ProcessMode::Sync, "sleep MARK &")}) << false
            << "Starting Running Stopping Finished"
            << "normal";
        QTest::newRow("failure") << pipelineOf(
                                        {helperProcess(ProcessMode::Sync, true, {"--exit", "3"})})
                                 << false << "Starting Running Stopping Finished"
                                 << "failed: exited with code 3";
        QTest::newRow("not ready in time")
            << pipelineOf({notReady, waiting}) << false << "Starting Stopping Finished"
            << "failed: was not ready within 1 s: file /nonexistent";
        QTest::newRow("requested stop")
            << pipelineOf({waiting}) << true << "Starting Running Stopping Finished"
            << "stopped";
    }

    // The phases a front end sees and how the pipeline ended: a failure is
    // reported once, with what failed in words, and never as a crash; the
    // pipeline has finished only once nothing of it runs.
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
                [&](PipelineController::Phase phase) { seen.append(enumName(phase)); });
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        int leftAtFinish = -1;
        connect(&controller, &PipelineController::pipelineFinished, this,
                [&] { leftAtFinish = int(markedProcesses(m_marker).size()); });
        QVERIFY(controller.start(pipeline, false));
        if (requestStop) {
            QTRY_COMPARE_WITH_TIMEOUT(started.count(), pipeline.processList.size(), LimitMs);
            controller.requestStop(2000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        QCOMPARE(seen.join(' '), phases);
        QCOMPARE(leftAtFinish, 0);
        const PipelineController::Result& result = *controller.lastResult();
        const QString words = result.failedProcess.failure;
        const char* const outcomes[] = {"normal", "failed", "stopped"};
        QCOMPARE(outcomes[int(result.outcome)] + (words.isEmpty() ? QString() : ": " + words),
                 outcome);
        const bool failed = result.outcome == PipelineController::Result::Outcome::Failed;
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(),
                 failed ? PipelineController::FailureFinish : PipelineController::NormalFinish);
        QCOMPARE(failures.count(), failed ? 1 : 0);
        QCOMPARE(linesWith("Pipeline failure occurred"), failed ? 1 : 0);
        QCOMPARE(linesWith("(CrashExit)."), 0);
    }

    void oneTermPerInstance_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<bool>("requestStop");
        // The daemon lingers half a second after its request; the Sync
        // process ends on it at once, which leaves the daemon as the last
        // one: it must not be asked again.
        const ProcessConfig daemon = counting(ProcessMode::Daemon, "daemon");
        const ProcessConfig sync = helperProcess(ProcessMode::Sync, false, {"--delay", "30"});
        const ProcessConfig failing =
            helperProcess(ProcessMode::Async, true, {"--delay", "0.3", "--exit", "1"});
        QTest::newRow("requested stop") << pipelineOf({daemon, sync}) << true;
        QTest::newRow("failure, then only daemons left")
            << pipelineOf({daemon, failing, sync}) << false;
        QTest::newRow("stop requested after a failure")
            << pipelineOf({daemon, failing, sync}) << true;
    }

    // Many programs read a second termination request as "quit now, skip the
    // clean-up": each instance is asked once, however often the pipeline
    // terminates its processes.
    void oneTermPerInstance()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(bool, requestStop);
        PipelineController controller;
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(pipeline, false));
        QTRY_COMPARE_WITH_TIMEOUT(linesWith("] counting"), 1, LimitMs);
        if (requestStop) {
            if (pipeline.processList.size() > 2)
                QTRY_COMPARE_WITH_TIMEOUT(failures.count(), 1, LimitMs);
            controller.requestStop(5000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        QCOMPARE(fileContent(termFile("daemon")), QByteArray("T"));
    }

    // After a failure the processes are asked to terminate; a Sync process
    // that ends normally on the request still releases the next one, which
    // must not start.
    void nothingStartsOnceStopping()
    {
        PipelineController controller;
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(
            pipelineOf({helperProcess(ProcessMode::Async, true, {"--delay", "0.3", "--exit", "1"}),
                        counting(ProcessMode::Sync, "sync"),
                        shell(ProcessMode::Sync, "exec sleep MARK")}),
            false));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(), PipelineController::FailureFinish);
        QCOMPARE(fileContent(termFile("sync")), QByteArray("T"));
        for (const QList<QVariant>& start : qAsConst(started))
            QVERIFY(start.at(0).toInt() < 2);
    }

    void restartCleansUp_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("left in its group") << "sleep MARK & sleep 0.3; kill -9 $$";
        QTest::newRow("ignores the request, killed")
            << "(trap '' TERM; exec sleep MARK) & sleep 0.3; kill -9 $$";
        QTest::newRow("left its group") << "setsid sleep MARK & sleep 0.3; kill -9 $$";
    }

    // A crashed instance's children would hold what the new instance needs
    // (a port, a lock) and run on unsupervised: they are gone before it
    // starts, so there is never more than one of them.
    void restartCleansUp()
    {
        QFETCH(QString, script);
        ProcessConfig process = shell(ProcessMode::Sync, script);
        process.restartOnCrash = true;
        process.restartLimit = 4;
        PipelineController controller;
        controller.setStopTimeout(300);
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        int mostAlive = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            mostAlive = std::max(mostAlive, int(markedProcesses(m_marker, true).size()));
        });
        watch.start(20);
        QVERIFY(controller.start(pipelineOf({process}), false));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        watch.stop();
        QCOMPARE(started.count(), 4);
        QCOMPARE(mostAlive, 1);
        // The last instance's is stopped with the pipeline.
        QTRY_COMPARE_WITH_TIMEOUT(markedProcesses(m_marker), QList<qint64>(), LimitMs);
    }

    // The log is read to trace a crash: a line under another instance's pid
    // lies. A new instance may write before its start is reported.
    void linesCarryTheirWritersPid()
    {
        ProcessConfig crashing = shell(ProcessMode::Daemon, "echo up $$; kill -SEGV $$");
        crashing.restartOnCrash = true;
        crashing.restartLimit = 1000;
        crashing.restartPeriod = 1;
        PipelineController controller;
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QVERIFY(controller.start(
            pipelineOf({crashing, helperProcess(ProcessMode::Sync, false, {"--delay", "60"})}),
            false));
        QTRY_VERIFY_WITH_TIMEOUT(started.count() > 200, 60000);
        QVERIFY(controller.stop(2000));
        const QRegularExpression upLine("^\\[ (\\d+) \\] up (\\d+)$");
        int checked = 0;
        for (const QString& line : qAsConst(g_logLines)) {
            const QRegularExpressionMatch match = upLine.match(line);
            if (match.hasMatch()) {
                QCOMPARE(match.captured(1), match.captured(2));
                ++checked;
            }
        }
        QVERIFY2(checked >= 200, qPrintable(QString::number(checked)));
    }

    void endsLeaveNothing_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("stopWhileCleaningUp");
        // Given up after its second crash, while the Sync process runs on.
        QTest::newRow("given up") << "sleep MARK & sleep 0.2; kill -9 $$" << false;
        QTest::newRow("crashed, not restarted") << "sleep MARK & sleep 0.2; kill -9 $$" << false;
        // Stopped while a crashed instance's leftover, which ignores the
        // request, is being cleaned up before the restart.
        QTest::newRow("stopped during the clean-up")
            << "(trap '' TERM; exec sleep MARK) & sleep 0.5; kill -9 $$" << true;
    }

    // What a process that has ended for good left is stopped at once, while
    // the rest of the pipeline goes on; and a pipeline has finished (a stop
    // is reported) only once nothing of it runs.
    void endsLeaveNothing()
    {
        QFETCH(QString, script);
        QFETCH(bool, stopWhileCleaningUp);
        ProcessConfig process = shell(ProcessMode::Daemon, script);
        process.restartOnCrash = QByteArray(QTest::currentDataTag()) != "crashed, not restarted";
        process.restartLimit = stopWhileCleaningUp ? 10 : 2;
        PipelineController controller;
        controller.setStopTimeout(stopWhileCleaningUp ? 1500 : 500);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        int leftAtFinish = -1;
        connect(&controller, &PipelineController::pipelineFinished, this,
                [&] { leftAtFinish = int(markedProcesses(m_marker, true).size()); });
        QVERIFY(controller.start(
            pipelineOf({process, helperProcess(ProcessMode::Sync, false, {"--delay", "60"})}),
            false));
        if (stopWhileCleaningUp) {
            QTRY_COMPARE_WITH_TIMEOUT(linesWith("Stopping what the ended instance left"), 1,
                                      LimitMs);
            controller.requestStop(1500);
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
            QCOMPARE(leftAtFinish, 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(controller.processStatuses().value(0).state,
                                  ProcessStatus::State::Finished, LimitMs);
        QTRY_COMPARE_WITH_TIMEOUT(markedProcesses(m_marker, true), QList<qint64>(), LimitMs);
        QCOMPARE(controller.processStatuses().value(1).state, ProcessStatus::State::Running);
        QCOMPARE(controller.processStatuses().value(0).givenUp, process.restartOnCrash);
        QVERIFY(controller.stop(2000));
        QCOMPARE(leftAtFinish, 0);
    }

    // A graphical front end starts programs of its own: they come to the
    // launcher's process when their parent ends, as the pipeline's orphans
    // do, but are not the pipeline's to stop.
    void frontEndChildrenSurvive()
    {
        qint64 detached = 0;
        auto controller = std::make_unique<PipelineController>();
        QSignalSpy finished(controller.get(), &PipelineController::pipelineFinished);
        QVERIFY(controller->start(pipelineOf({shell(ProcessMode::Sync, "sleep 0.5")}), false));
        QVERIFY(QProcess::startDetached("sleep", {m_marker}, QString(), &detached));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, LimitMs);
        // The next start kills what the last pipeline left, the controller's
        // end whatever still runs.
        QVERIFY(controller->start(pipelineOf({shell(ProcessMode::Sync, "sleep 0.7")}), false));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, LimitMs);
        controller.reset();
        QCOMPARE(markedProcesses(m_marker), QList<qint64>{detached});
    }
};

LAUNCHER_TEST(TestSupervision)
#include "TestSupervision.moc"
