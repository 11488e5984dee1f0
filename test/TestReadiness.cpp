// Readiness gates hold the next process back until a process is ready, and
// restarts after a crash or a listed exit code back off.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/HostLookUp.h"
#include "support/MonotonicClock.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

using FinishReason = PipelineController::PipelineFinishReason;

namespace {

qint64 g_nowMs = 0;

// A resolver that knows "slow-MS" only, as the loopback address after MS
// milliseconds, and nothing else.
int slowLookUp(const char* host, const char* service, const addrinfo* hints, addrinfo** result)
{
    const QByteArray name(host);
    if (!name.startsWith("slow-"))
        return EAI_NONAME;
    ::usleep(useconds_t(name.mid(5).toUInt() * 1000));
    return ::getaddrinfo("127.0.0.1", service, hints, result);
}

// A loopback port held for the test: bound, never listening, so that nobody
// else takes it and a connection to it is refused until test-helper listens
// on it too (both share it through SO_REUSEPORT).
class ReservedPort
{
public:
    ReservedPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = QString::number(ntohs(address.sin_port));
    }
    ~ReservedPort() { ::close(m_fd); }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    QString port() const { return m_port; }

private:
    int m_fd;
    QString m_port;
};

} // namespace

class TestReadiness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<FinishReason>();
        MonotonicClock::setClock([]() { return g_nowMs; });
        HostLookUp::setFunction(slowLookUp);
    }
    void cleanupTestCase()
    {
        MonotonicClock::setClock(nullptr);
        HostLookUp::setFunction(nullptr);
    }

    // Late and early rows become ready, the others not.
    void gate_data()
    {
        QTest::addColumn<QString>("gate"); // DIR and PORT stand for a folder and a free port
        QTest::addColumn<QString>("helper");
        const auto row = [](const char* name, const char* gate, const char* helper) {
            QTest::newRow(name) << QString(gate) << QString(helper);
        };
        row("tcp, late", "tcp:PORT", "--delay 0.6 --listen tcp:PORT --delay 30");
        row("tcp, never, required", "tcp:127.0.0.1:PORT", "--delay 30");
        // The name is found after 1.5 s, or after the wait is over.
        row("tcp, slow name, late", "tcp:slow-1500:PORT", "--listen tcp:PORT --delay 30");
        row("tcp, slow name, never", "tcp:slow-5000:PORT", "--listen tcp:PORT --delay 30");
        row("unix, late", "unix:DIR/s", "--delay 0.6 --listen unix:DIR/s --delay 30");
        row("file, early", "file:f", "--pid-file f --delay 30"); // in the working folder
        row("file, never, required", "file:DIR/f", "--delay 30");
        row("log, late", "log:port-80-up", "--delay 0.6 --write x:port-80-up\\n --delay 30");
        row("log, never", "log:port-80-up", "--write port-80\\n --delay 30");
        row("notify, late", "notify", "--delay 0.6 --notify A=1\\nREADY=1 --delay 30");
        row("notify, never, required", "notify", "--notify READY=0 --delay 30");
        // Another process sends READY=1 first: it is no process of the daemon's.
        row("notify, another user's first, late", "notify",
            "--delay 0.6 --notify READY=1 --delay 30");
        row("notify, outside its group first, late", "notify",
            "--delay 0.6 --notify READY=1 --delay 30");
        row("ended before it was ready, required", "file:DIR/f", "--delay 0.5");
    }

    // A daemon with a gate, then a Sync process: the Sync process starts once
    // the daemon is ready, or once the wait is over unless the daemon is
    // required. The event loop runs on all the while.
    void gate()
    {
        QFETCH(QString, gate);
        QFETCH(QString, helper);
        const QByteArray tag = QTest::currentDataTag();
        // The stranger sends READY=1 as soon as the daemon runs.
        QStringList stranger;
        if (tag.contains("another user's")) {
            stranger = QStringList{"setpriv", "--reuid",        "65534", "--regid",
                                   "65534",   "--clear-groups", "env"};
            if (QProcess::execute(stranger.first(), stranger.mid(1) + QStringList{"true"}) != 0)
                QSKIP("no process of another user can be started here (setpriv)");
        } else if (tag.contains("outside its group")) {
            stranger = QStringList{"env"};
        }
        const bool ready = tag.contains("late") || tag.contains("early");
        const bool fails = tag.contains("required") && !ready;
        const QTemporaryDir dir;
        const ReservedPort reserved;
        const QString port = reserved.port();
        QVERIFY(!port.isEmpty());
        for (QString* text : {&gate, &helper})
            text->replace("DIR", dir.path()).replace("PORT", port);
        ProcessConfig daemon = helperProcess(ProcessMode::Daemon, tag.contains("required"));
        daemon.arguments = helper.split(' ');
        daemon.workingDirectory = dir.path();
        daemon.ready = gate;
        daemon.readyTimeout = tag.contains("never") ? 1 : 10;
        PipelineController controller;
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QElapsedTimer sinceStart;
        qint64 secondAfter = -1;
        QProcess sender;
        connect(&controller, &PipelineController::processStarted, this, [&](int index) {
            secondAfter = index == 1 ? sinceStart.elapsed() : secondAfter;
            if (index != 0 || stranger.isEmpty() || sender.state() != QProcess::NotRunning)
                return;
            const QString socket = controller.findChildren<PipelineProcess*>()[0]
                                       ->process()
                                       ->processEnvironment()
                                       .value("NOTIFY_SOCKET");
            sender.setProgram(stranger.first());
            sender.setArguments(stranger.mid(1) + QStringList{"NOTIFY_SOCKET=" + socket,
                                                              helperPath(), "--notify", "READY=1",
                                                              "--delay", "5"});
            sender.start();
        });
        QElapsedTimer sinceTick;
        qint64 longestStall = 0;
        QTimer ticks;
        connect(&ticks, &QTimer::timeout, this,
                [&]() { longestStall = std::max(longestStall, sinceTick.restart()); });
        QTest::ignoreMessage(
            QtInfoMsg, QRegularExpression(ready ? "Process ready after"
                                                : "Process (not ready within 1 s|ended before)"));
        if (!stranger.isEmpty())
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QString("Ignored a readiness notification from pid \\d+ of "
                                           "user %1: ")
                                       .arg(tag.contains("another user's") ? 65534 : ::geteuid())));
        sinceStart.start();
        sinceTick.start();
        ticks.start(20);
        QVERIFY(controller.start(pipelineOf({daemon, helperProcess(ProcessMode::Sync)}), false));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        ticks.stop();
        sender.kill();
        sender.waitForFinished();
        QVERIFY2(longestStall < 1000, qPrintable(QString::number(longestStall)));
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(),
                 fails ? PipelineController::FailureFinish : PipelineController::NormalFinish);
        QCOMPARE(secondAfter >= 0, !fails);
        // Nothing released before the daemon was ready, or the wait was over;
        // the wait of 1 s is over in time, whatever holds the gate up.
        if (!fails && (tag.contains("late") || tag.contains("never")))
            QVERIFY2(secondAfter >= 500, qPrintable(QString::number(secondAfter)));
        if (tag.contains("never") && !fails)
            QVERIFY2(secondAfter < 3000, qPrintable(QString::number(secondAfter)));
    }

    void backOff_data()
    {
        QTest::addColumn<QString>("end");             // restart-on-exit lists exit code 3
        QTest::addColumn<QVector<double>>("crashAt"); // the clock at each end, in seconds
        QTest::addColumn<int>("delayMax");
        QTest::addColumn<QString>("delays");
        QTest::newRow("doubling") << "--crash" << QVector<double>{0, 1, 2} << 60 << "1 2 4";
        QTest::newRow("capped") << "--crash" << QVector<double>{0, 1} << 1 << "1 1";
        QTest::newRow("a quiet spell starts over")
            << "--crash" << QVector<double>{0, 20} << 60 << "1 1";
        QTest::newRow("listed exit code") << "--exit 3" << QVector<double>{0, 1} << 60 << "1 2";
    }

    // Each crash within the period doubles the delay, and so does a listed
    // exit code; a stop drops the restart and does not wait for it.
    void backOff()
    {
        QFETCH(QString, end);
        QFETCH(QVector<double>, crashAt);
        QFETCH(int, delayMax);
        QFETCH(QString, delays);
        ProcessConfig config = helperProcess(ProcessMode::Sync, false, end.split(' '));
        config.restartOnCrash = true;
        config.restartOnExit = {3};
        config.restartLimit = 5;
        config.restartDelay = 1;
        config.restartDelayMax = delayMax;
        PipelineController controller;
        // The controller hears of each end before the process handles it.
        int crashes = 0;
        connect(&controller, &PipelineController::processFinished, this,
                [&]() { g_nowMs = qint64(crashAt.value(crashes++) * 1000); });
        for (const QString& delay : delays.split(' '))
            QTest::ignoreMessage(QtInfoMsg,
                                 QRegularExpression(". Restarting it in " + delay + " s"));
        QVERIFY(controller.start(pipelineOf({config}), false));
        const auto pending = [&]() { return controller.findChildren<PipelineProcess*>()[0]; };
        const int ends = delays.count(' ') + 1;
        QTRY_VERIFY_WITH_TIMEOUT(
            crashes == ends && pending()->state() == ProcessStatus::State::Restarting, 20000);
        QVERIFY(controller.stop(1000));
        QCOMPARE(crashes, ends); // no start after the stop
    }
};

LAUNCHER_TEST(TestReadiness)
#include "TestReadiness.moc"
