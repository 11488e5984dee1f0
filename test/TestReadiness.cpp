// Readiness gates hold the next process back until a process is ready, and
// restarts after a crash or a listed exit code back off.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/TimeStamp.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using Solvane::TimeStamp;
using FinishReason = PipelineController::PipelineFinishReason;
using FailureReason = PipelineController::PipelineFailureReason;

namespace {

qint64 g_now = 0;

// A loopback port that nothing listens on, as far as one can tell.
QString freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return QString::number(ntohs(address.sin_port));
}

} // namespace

class TestReadiness : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        qRegisterMetaType<FinishReason>();
        qRegisterMetaType<FailureReason>();
        qRegisterMetaType<QProcess::ExitStatus>();
        TimeStamp::setClock([]() { return g_now; });
    }
    void cleanupTestCase() { TimeStamp::setClock(nullptr); }

    void gate_data()
    {
        QTest::addColumn<QString>("gate"); // DIR and PORT stand for a folder and a free port
        QTest::addColumn<QStringList>("helper");
        QTest::addColumn<bool>("required");
        QTest::addColumn<QString>("outcome");
        const QStringList late{"--delay", "0.6"};
        const QStringList stay{"--delay", "30"};
        const QString never = "not ready within 1 s";
        QTest::newRow("tcp, late")
            << "tcp:PORT" << late + QStringList{"--listen", "tcp:PORT"} + stay << false
            << "ready after";
        QTest::newRow("tcp with host, never, required")
            << "tcp:127.0.0.1:PORT" << stay << true << never;
        QTest::newRow("unix, late")
            << "unix:DIR/socket" << late + QStringList{"--listen", "unix:DIR/socket"} + stay
            << false << "ready after";
        QTest::newRow("unix, never") << "unix:DIR/socket" << stay << false << never;
        QTest::newRow("file, early")
            << "file:DIR/file" << QStringList{"--pid-file", "DIR/file"} + stay << false
            << "ready after";
        QTest::newRow("file, never, required") << "file:DIR/file" << stay << true << never;
        QTest::newRow("log, late")
            << "log:listening on" << late + QStringList{"--write", "now listening on 80\\n"} + stay
            << false << "ready after";
        QTest::newRow("log, never")
            << "log:listening on" << QStringList{"--write", "listening\\n"} + stay << false
            << never;
        QTest::newRow("notify, late")
            << "notify" << late + QStringList{"--notify", "STATUS=up\\nREADY=1"} + stay << false
            << "ready after";
        QTest::newRow("notify, never, required")
            << "notify" << QStringList{"--notify", "READY=0"} + stay << true << never;
        QTest::newRow("ended before ready, required")
            << "file:DIR/file" << QStringList{"--delay", "0.5"} << true
            << "ended before it was ready";
    }

    // A daemon with a gate, then a Sync process: the Sync process starts once
    // the daemon is ready, or once the wait is over unless the daemon is required.
    void gate()
    {
        QFETCH(QString, gate);
        QFETCH(QStringList, helper);
        QFETCH(bool, required);
        QFETCH(QString, outcome);
        const QTemporaryDir dir;
        const QString port = freePort();
        const auto fill = [&](QString text) {
            return text.replace("DIR", dir.path()).replace("PORT", port);
        };
        ProcessConfig daemon = helperProcess(ProcessMode::Daemon, required);
        for (const QString& argument : helper)
            daemon.arguments.append(fill(argument));
        daemon.ready = fill(gate);
        const bool ready = outcome == "ready after";
        daemon.readyTimeout = outcome == "not ready within 1 s" ? 1 : 10;
        PipelineController controller;
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QElapsedTimer sinceFirst;
        connect(&controller, &PipelineController::processStarted, this, [&](int index) {
            if (index == 0)
                sinceFirst.start();
        });
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("Process " + outcome));
        QVERIFY(controller.start(pipelineOf({daemon, helperProcess(ProcessMode::Sync)}), false));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        const bool fails = required && !ready;
        QCOMPARE(started.count(), fails ? 1 : 2);
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(),
                 fails ? PipelineController::FailureFinish : PipelineController::NormalFinish);
        if (fails)
            QCOMPARE(failures.at(0).at(1).value<FailureReason>(),
                     PipelineController::RequiredProcessFailure);
        else if (helper.startsWith("--delay") || !ready) // not released before it was ready
            QVERIFY2(sinceFirst.elapsed() >= 500,
                     qPrintable(QString::number(sinceFirst.elapsed())));
    }

    void backOff_data()
    {
        QTest::addColumn<QVector<double>>("crashAt"); // the clock at each crash, in seconds
        QTest::addColumn<int>("delayMax");
        QTest::addColumn<QStringList>("delays");
        QTest::newRow("doubling") << QVector<double>{0, 1, 2} << 60 << QStringList{"1", "2", "4"};
        QTest::newRow("capped") << QVector<double>{0, 1} << 1 << QStringList{"1", "1"};
        QTest::newRow("a quiet spell starts over")
            << QVector<double>{0, 20} << 60 << QStringList{"1", "1"};
    }

    // Each crash within the period doubles the delay; a stop drops the restart.
    void backOff()
    {
        QFETCH(QVector<double>, crashAt);
        QFETCH(int, delayMax);
        QFETCH(QStringList, delays);
        ProcessConfig config = helperProcess(ProcessMode::Async, false, {"--crash"});
        config.restartOnCrash = true;
        config.restartLimit = 5;
        config.restartDelay = 1;
        config.restartDelayMax = delayMax;
        PipelineProcess process(nullptr, config);
        int crashes = 0;
        connect(&process, &PipelineProcess::qprocessFinished, this,
                [&]() { g_now = TimeStamp::fromSecondsD(crashAt.value(crashes++)).value(); });
        QStringList logged;
        connect(
            &process, &PipelineProcess::pipelineLogMessage, this, [&](int, const QString& line) {
                const auto match =
                    QRegularExpression("^Process crashed. Restarting it in (\\d+) s").match(line);
                if (match.hasMatch())
                    logged.append(match.captured(1));
            });
        QSignalSpy finished(&process, &PipelineProcess::pipelineProcessFinished);
        process.start();
        QTRY_COMPARE_WITH_TIMEOUT(logged.size(), delays.size(), 20000);
        QVERIFY(process.isRestartPending());
        process.prepareStop();
        QVERIFY(!process.isRestartPending());
        QVERIFY(finished.wait(5000));
        QCOMPARE(logged, delays);
        QCOMPARE(crashes, delays.size()); // no start after the stop
    }

    // A stop of the pipeline does not wait for a delayed restart.
    void stopDuringDelay()
    {
        ProcessConfig config = helperProcess(ProcessMode::Sync, true, {"--crash"});
        config.restartOnCrash = true;
        config.restartDelay = 30;
        PipelineController controller;
        QVERIFY(controller.start(pipelineOf({config}), false));
        QTRY_VERIFY_WITH_TIMEOUT(
            controller.findChildren<PipelineProcess*>().value(0) &&
                controller.findChildren<PipelineProcess*>()[0]->isRestartPending(),
            10000);
        QVERIFY(controller.stop(1000));
    }

    void restartOnExit_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("runs");
        QTest::newRow("listed code: restarted up to the limit") << 3 << 3;
        QTest::newRow("other code: final") << 4 << 1;
    }

    // A listed exit code counts as a crash: the same window, then the end is
    // handled as the exit it is.
    void restartOnExit()
    {
        QFETCH(int, exitCode);
        QFETCH(int, runs);
        g_now = 0;
        ProcessConfig config =
            helperProcess(ProcessMode::Async, true, {"--exit", QString::number(exitCode)});
        config.restartOnExit = {3};
        PipelineProcess process(nullptr, config);
        QSignalSpy started(&process, &PipelineProcess::qprocessStarted);
        QSignalSpy failures(&process, &PipelineProcess::pipelineRequiredProcessFailure);
        QSignalSpy finished(&process, &PipelineProcess::pipelineProcessFinished);
        QStringList lines;
        connect(&process, &PipelineProcess::pipelineLogMessage, this,
                [&](int, const QString& line) { lines.append(line); });
        process.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(started.count(), runs);
        QCOMPARE(finished.at(0).at(0).toInt(), exitCode);
        QCOMPARE(failures.count(), 1);
        QCOMPARE(lines.filter("Process exited with code 3. Restarting it...").size(), runs - 1);
        QCOMPARE(lines.contains("Process crashed 3 times within 10 s: not restarted again"),
                 runs > 1);
    }
};

LAUNCHER_TEST(TestReadiness)
#include "TestReadiness.moc"
