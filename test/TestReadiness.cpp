// Readiness gates hold the next process back until a process is ready, or
// until the wait for it is over.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/HostLookUp.h"

#include <QProcess>
#include <QSemaphore>
#include <QTest>
#include <QTimer>

#include <atomic>

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

QSemaphore g_ticks;                 // one for each tick of the event loop
QSemaphore g_answer;                // the look-up of "slow-never" may answer
std::atomic<bool> g_loopRan{false}; // the event loop ran on during the last look-up
std::atomic<int> g_lookUps{0};      // under way

// A resolver that knows "slow-late" and "slow-never" only, as the loopback
// address: the first answers once the event loop has ticked on meanwhile, the
// second once the test lets it.
int slowLookUp(const char* host, const char* service, const addrinfo* hints, addrinfo** result)
{
    const QByteArray name(host);
    if (!name.startsWith("slow-"))
        return EAI_NONAME;
    ++g_lookUps;
    g_ticks.acquire(g_ticks.available());
    g_loopRan = g_ticks.tryAcquire(5, 20000);
    if (name == "slow-never")
        g_answer.tryAcquire(1, 20000);
    --g_lookUps;
    return ::getaddrinfo("127.0.0.1", service, hints, result);
}

// A loopback port held for the test: bound, never listening, so that nobody
// else takes it and a connection to it is refused until test-helper listens
// on it too (both share it through SO_REUSEPORT).
struct ReservedPort
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QString port;

    ReservedPort()
    {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = QString::number(ntohs(address.sin_port));
    }
    ~ReservedPort() { ::close(fd); }
};

} // namespace

class TestReadiness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { HostLookUp::setFunction(slowLookUp); }
    void cleanupTestCase() { HostLookUp::setFunction(nullptr); }

    // Late and early rows become ready, the others not.
    void gate_data()
    {
        QTest::addColumn<QString>("gate"); // DIR and PORT stand for a folder and a free port
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("stranger"); // sends READY=1 first, as no process of the daemon's
        const auto row = [](const char* name, const char* gate, const char* helper,
                            const char* stranger = "") {
            QTest::newRow(name) << QString(gate) << QString(helper) << QString(stranger);
        };
        row("tcp, late", "tcp:PORT", "--delay 0.6 --listen tcp:PORT --delay 30");
        row("tcp, never, required", "tcp:127.0.0.1:PORT", "--delay 30");
        // The name is found once the event loop has run on, or after the wait is over.
        row("tcp, slow name, late", "tcp:slow-late:PORT", "--listen tcp:PORT --delay 30");
        row("tcp, slow name, never", "tcp:slow-never:PORT", "--listen tcp:PORT --delay 30");
        row("unix, late", "unix:DIR/s", "--delay 0.6 --listen unix:DIR/s --delay 30");
        row("file, early", "file:f", "--pid-file f --delay 30"); // in the working folder
        row("log, late", "log:port-80-up", "--delay 0.6 --write x:port-80-up\\n --delay 30");
        row("log, never", "log:port-80-up", "--write port-80\\n --delay 30");
        row("notify, late", "notify", "--delay 0.6 --notify A=1\\nREADY=1 --delay 30");
        row("notify, never, required", "notify", "--notify READY=0 --delay 30");
        row("notify, another user's first, late", "notify",
            "--delay 0.6 --notify READY=1 --delay 30",
            "setpriv --reuid 65534 --regid 65534 --clear-groups env");
        row("notify, outside its group first, late", "notify",
            "--delay 0.6 --notify READY=1 --delay 30", "env");
        row("ended before it was ready, required", "file:DIR/f", "--delay 0.5");
    }

    // A daemon with a gate, then a Sync process: the Sync process starts once
    // the daemon is ready, or once the wait is over unless the daemon is
    // required; a slow name look-up holds up neither the event loop nor the
    // end of the wait.
    void gate()
    {
        QFETCH(QString, gate);
        QFETCH(QString, helper);
        QFETCH(QString, stranger);
        const QByteArray tag = QTest::currentDataTag();
        const QStringList sender = stranger.split(' ', Qt::SkipEmptyParts);
        if (stranger.startsWith("setpriv") &&
            QProcess::execute(sender.first(), sender.mid(1) + QStringList{"true"}) != 0)
            QSKIP("no process of another user can be started here (setpriv)");
        const bool ready = tag.contains("late") || tag.contains("early");
        const bool fails = tag.contains("required") && !ready;
        const QString cause = ready                          ? "Process ready after"
                              : tag.contains("ended before") ? "Process ended before it was ready"
                                                             : "Process not ready within 1 s";
        const QTemporaryDir dir;
        const ReservedPort reserved;
        for (QString* text : {&gate, &helper})
            text->replace("DIR", dir.path()).replace("PORT", reserved.port);
        ProcessConfig daemon =
            helperProcess(ProcessMode::Daemon, tag.contains("required"), helper.split(' '));
        daemon.workingDirectory = dir.path();
        daemon.ready = gate;
        daemon.readyTimeout = tag.contains("never") ? 1 : 10;
        const MessageCapture messages;
        PipelineController controller;
        int causesBeforeSecond = -1; // lines of the cause once the Sync process has started
        QProcess notifier;
        connect(&controller, &PipelineController::processStarted, this, [&](int index) {
            if (index == 1)
                causesBeforeSecond = messages.count(cause, QtInfoMsg);
            if (index > 0 || sender.isEmpty())
                return;
            const QString socket = controller.findChildren<PipelineProcess*>()[0]
                                       ->process()
                                       ->processEnvironment()
                                       .value("NOTIFY_SOCKET");
            notifier.start(sender.first(),
                           sender.mid(1) + QStringList{"NOTIFY_SOCKET=" + socket, helperPath(),
                                                       "--notify", "READY=1", "--delay", "5"});
        });
        QTimer ticks;
        connect(&ticks, &QTimer::timeout, this, [] { g_ticks.release(); });
        ticks.start(20);
        g_loopRan = false;
        QVERIFY(controller.start(pipelineOf({daemon, helperProcess(ProcessMode::Sync)}), false));
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), PipelineController::Phase::Finished, 20000);
        if (gate.contains("slow-never"))
            g_answer.release();
        QTRY_COMPARE_WITH_TIMEOUT(g_lookUps.load(), 0, 20000); // none runs into the next row
        notifier.kill();
        notifier.waitForFinished();
        QCOMPARE(controller.lastResult()->outcome == PipelineController::Result::Outcome::Failed,
                 fails);
        QCOMPARE(messages.count(cause, QtInfoMsg), 1);
        QCOMPARE(causesBeforeSecond, fails ? -1 : 1);
        QCOMPARE(g_loopRan.load(), gate.contains("slow"));
        QCOMPARE(messages.count("Ignored a notification", QtWarningMsg) > 0, !sender.isEmpty());
    }
};

LAUNCHER_TEST(TestReadiness)
#include "TestReadiness.moc"
