// Readiness gates hold the next process back until a process is ready, or
// until the wait for it is over; once it is, a process that no longer works
// is stopped and restarted.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "metrics/Metrics.h"
#include "process/HostLookUp.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
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

// A process that stops working. Its helper is test-helper's options, or after
// "sh:" a shell script; PORT, MARK, DIR and HELPER stand for a free port, the
// marker, a folder of the test's (the working folder) and test-helper.
// DIR/large is a file of 200 MiB. Once DIR/sent exists, the process's
// notifications have been sent by processes that have ended: the test reads
// none before (its event loop waits), so each sender is gone when its
// notification is read.
struct HealthRow
{
    const char* name;
    const char* helper;
    int watchdog;
    const char* alive;
    int aliveFailures;
    int memoryMaxMib;
    int restartLimit;
    const char* found; // the warning, as a pattern
    int hangs;         // before the test stops it; the last is given up at the restart limit
    const char* givenUp;
    const char* lastCheck; // as status shows it at the end, when asked
    const char* after;     // a line that comes before the first warning, as a pattern
    int ignored;           // warnings about notifications that were ignored
};

// Pings for two periods and more, each well within the period; `systemd-notify
// --pid=$$` sends as the script itself, or, as another user, as itself and
// stays until it is read.
#define PINGS_FOR_TWO_PERIODS                                                                      \
    "for i in $(seq 16); do systemd-notify --pid=$$ WATCHDOG=1; sleep 0.25; done; echo pinged; "

const HealthRow healthRows[] = {
    {"watchdog, pings for two periods, then stops; given up at the limit",
     "sh:" PINGS_FOR_TWO_PERIODS "exec sleep MARK", 2, "", 0, 0, 2,
     "is hung: no watchdog ping for 2 s$", 2, "was hung 2 times within 60 s", "watchdog ping",
     "\\] pinged$", 0},
    {"watchdog, pings as another user, then stops",
     "sh:exec setpriv --reuid 65534 --regid 65534 --clear-groups /bin/sh -c '" PINGS_FOR_TWO_PERIODS
     "exec sleep MARK'",
     2, "", 0, 0, 3, "is hung: no watchdog ping for 2 s$", 1, nullptr, "watchdog ping",
     "\\] pinged$", 0},
    // A barrier (BARRIER=1, which systemd-notify sends after its message)
    // asks for nothing: its sender, gone by then, is not looked for. The
    // trigger is sent twice: one read before the start is known would find
    // nothing watched yet.
    {"watchdog, triggered, after a barrier of an ended sender",
     "sh:HELPER --notify BARRIER=1; : > DIR/sent; exec HELPER --delay 0.5 --notify "
     "WATCHDOG=trigger --delay 1 --notify WATCHDOG=trigger --delay MARK",
     60, "", 0, 0, 2, "is hung: it triggered its watchdog \\(WATCHDOG=trigger\\)$", 2,
     "was hung 2 times within 60 s", nullptr, nullptr, 0},
    // Three pings, none of which counts, and one line about them.
    {"watchdog, pings whose senders have ended",
     "sh:for i in 1 2 3; do HELPER --notify WATCHDOG=1; done; : > DIR/sent; exec sleep MARK", 2, "",
     0, 0, 3, "is hung: no watchdog ping for 2 s$", 1, nullptr, nullptr, nullptr, 1},
    // Listening late: a check before the process is ready would fail at once.
    {"tcp, answers once, checked once ready",
     "--delay 1.5 --write serving\n --serve tcp:PORT 1 --delay MARK", 0, "tcp:PORT", 1, 0, 3,
     "is hung: tcp localhost:\\d+ failed once \\(Connection refused\\)$", 1, nullptr, nullptr,
     "Process ready after", 0},
    {"http, stops answering", "--write serving\n --serve http:PORT 1 --delay MARK", 0,
     "http://localhost:PORT/health", 2, 0, 3,
     "is hung: http localhost:\\d+/health failed 2 times in a row \\(timed out after 1 s\\)$", 1,
     nullptr, nullptr, "Process ready after", 0},
    // The file's pages, which the kernel may drop, do not count: over the
    // cap at two looks in a row (2 s apart) would stop it before it grows.
    {"memory, maps a large file, then grows past its cap",
     "--map-file DIR/large --delay 6 --write growing\n --grow-memory 256 --delay MARK", 0, "", 0,
     64, 3, "uses (6[5-9]|[7-9]\\d|\\d{3}) MiB, over its memory-max of 64 MiB$", 1, nullptr,
     nullptr, "\\] growing$", 0},
};

// Waits for the file without running the event loop, for at most the bound.
bool fileAppears(const QString& path, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!QFileInfo::exists(path)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

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
        const auto row = [](const char* name, const char* gate, const char* helper) {
            QTest::newRow(name) << QString(gate) << QString(helper);
        };
        row("tcp, late", "tcp:PORT", "--delay 0.6 --listen tcp:PORT --delay 30");
        // The name is found once the event loop has run on, or after the wait is over.
        row("tcp, slow name, late", "tcp:slow-late:PORT", "--listen tcp:PORT --delay 30");
        row("tcp, slow name, never", "tcp:slow-never:PORT", "--listen tcp:PORT --delay 30");
        row("unix, late", "unix:DIR/s", "--delay 0.6 --listen unix:DIR/s --delay 30");
        row("file, early", "file:f", "--pid-file f --delay 30"); // in the working folder
        row("log, late", "log:port-80-up", "--delay 0.6 --write x:port-80-up\\n --delay 30");
        // Written at once: it may come before the start is reported.
        row("log, early", "log:port-80-up", "--write x:port-80-up\\n --delay 30");
        row("log, never", "log:port-80-up", "--write port-80\\n --delay 30");
        row("notify, never, required", "notify", "--notify READY=0 --delay 30");
        row("notify, outside its group first, late", "notify",
            "--delay 0.6 --notify A=1\\nREADY=1 --delay 30");
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
        const QByteArray tag = QTest::currentDataTag();
        // Sends READY=1 first, as no process of the daemon's.
        const bool stranger = tag.contains("outside its group");
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
            if (index > 0 || !stranger)
                return;
            const QString socket = controller.findChildren<PipelineProcess*>()[0]
                                       ->process()
                                       ->processEnvironment()
                                       .value("NOTIFY_SOCKET");
            notifier.start("env", {"NOTIFY_SOCKET=" + socket, helperPath(), "--notify", "READY=1",
                                   "--delay", "5"});
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
        QCOMPARE(messages.count("Ignored a notification", QtWarningMsg) > 0, stranger);
    }

    void health_data() { addRows(healthRows); }

    // A required process that is hung or over its memory cap is named in one
    // warning, stopped and restarted, counted against its restart limit; a
    // check begins only once the process is ready.
    void health()
    {
        const HealthRow& row = currentRow(healthRows);
        QString helper = row.helper;
        if (helper.contains("systemd-notify") &&
            QStandardPaths::findExecutable("systemd-notify", {"/usr/bin", "/bin"}).isEmpty())
            QSKIP("systemd-notify is not installed (Debian's package systemd)");
        if (helper.contains("setpriv") &&
            QProcess::execute(
                "setpriv", {"--reuid", "65534", "--regid", "65534", "--clear-groups", "true"}) != 0)
            QSKIP("no process of another user can be started here (setpriv)");
        const ReservedPort reserved;
        const ProcessMarker marker;
        // Beside the test program, not in a temporary folder that may be
        // memory itself (tmpfs), whose pages the kernel cannot drop.
        const QTemporaryDir dir(QCoreApplication::applicationDirPath() + "/health-XXXXXX");
        // Of data: its pages are the file's, not holes.
        if (helper.contains("DIR/large"))
            QVERIFY(writeFile(dir.filePath("large"), QByteArray(200 << 20, 'x')));
        helper.replace("PORT", reserved.port)
            .replace("MARK", marker.text())
            .replace("DIR", dir.path())
            .replace("HELPER", helperPath());
        ProcessConfig process = helperProcess(ProcessMode::Async, true, helper.split(' '));
        if (helper.startsWith("sh:")) {
            process.exec = "/bin/sh";
            process.arguments = QStringList{"-c", helper.mid(3)};
            process.libraryPaths = QStringList{"/usr/bin", "/bin"};
        }
        process.workingDirectory = dir.path();
        process.ready = helper.contains("serving") ? "log:serving" : "";
        process.watchdog = row.watchdog;
        process.alive = QString(row.alive).replace("PORT", reserved.port);
        process.aliveInterval = process.aliveTimeout = 1;
        process.aliveFailures = row.aliveFailures;
        process.memoryMax = qint64(row.memoryMaxMib) << 20;
        process.restartLimit = row.restartLimit;
        process.restartPeriod = 60; // two hangs fall within it on a busy machine too
        const MessageCapture messages;
        PipelineController controller;
        controller.setStopTimeout(2000);
        Metrics metrics(&controller);
        QSignalSpy started(&controller, &PipelineController::processStarted);
        const QRegularExpression found(QStringLiteral("Process 0 \\((test-helper|sh)\\) ") +
                                       row.found);
        PipelineConfig pipeline = pipelineOf({process});
        pipeline.basename = "health";
        QVERIFY(controller.start(pipeline, false));
        if (QString(row.helper).contains("DIR/sent"))
            QVERIFY(fileAppears(dir.filePath("sent"), 20000));
        QTRY_COMPARE_WITH_TIMEOUT(messages.texts(QtInfoMsg).filter(found).size(), row.hangs, 40000);
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), row.hangs + (row.givenUp ? 0 : 1), 40000);
        // The last hung instance is given up once it has ended; a stop asked
        // for before then is the end it gets.
        if (row.givenUp)
            QTRY_COMPARE_WITH_TIMEOUT(messages.count(row.givenUp, QtInfoMsg), 1, 20000);
        const QStringList lines = messages.texts(QtInfoMsg);
        const auto firstLine = [&lines](const QString& pattern) {
            return lines.indexOf(QRegularExpression(".*(?:" + pattern + ").*"));
        };
        if (row.after)
            QVERIFY2(firstLine(row.after) >= 0 && firstLine(row.after) < firstLine(found.pattern()),
                     qPrintable(lines.join('\n')));
        if (row.lastCheck)
            QCOMPARE(controller.processStatuses().value(0).lastCheck, QString(row.lastCheck));
        controller.requestStop(2000);
        QTRY_COMPARE_WITH_TIMEOUT(controller.phase(), PipelineController::Phase::Finished, 20000);
        // Counted as what ended it, and as nothing else.
        const QByteArray counted = row.memoryMaxMib ? "memory_cap_stops" : "hangs";
        for (const QByteArray kind : {"hangs", "memory_cap_stops", "crashes"})
            QVERIFY2(metrics.text().contains("launcher_process_" + kind +
                                             "_total{app=\"health\",process=\"0\"} " +
                                             QByteArray::number(kind == counted ? row.hangs : 0)),
                     kind + '\n' + metrics.text());
        // Given up after its hangs, as the screen and status tell it.
        const ProcessStatus::Ends after = controller.processStatuses().value(0).givenUpAfter;
        QCOMPARE(QList<int>({after.crashes, after.hangs, after.memoryCapStops, after.failedStarts}),
                 QList<int>({0, row.givenUp ? row.hangs : 0, 0, 0}));
        QCOMPARE(messages.count("Ignored a notification", QtWarningMsg), row.ignored);
        // Given up, a required process fails its pipeline as a final crash does.
        QCOMPARE(controller.lastResult()->outcome,
                 row.givenUp ? PipelineController::Result::Outcome::Failed
                             : PipelineController::Result::Outcome::Stopped);
        QVERIFY(marker.noneLeft());
    }
};

LAUNCHER_TEST(TestReadiness)
#include "TestReadiness.moc"
