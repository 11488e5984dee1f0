// The console front end `launcher` in hostile surroundings: a reader that goes
// away or stalls, standard files closed at start, and the signals that stop a
// run, each with the exit status a shell reports for it.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <tuple>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

enum class Reader
{
    None,   // standard output is not the FIFO
    Leaves, // reads once, then closes the FIFO, as `| head -1` does
    Stalls  // never reads while the launcher runs
};
Q_DECLARE_METATYPE(Reader)

// Comfortably above what any run here needs, far below the children's delays.
const int RunLimitMs = 30000;

class TestConsoleRobustness : public QObject
{
    Q_OBJECT

private slots:
    void survives_data();
    void survives();
};

void TestConsoleRobustness::survives_data()
{
    QTest::addColumn<QString>("command"); // after the launcher's name; FIFO: the reader's end
    QTest::addColumn<Reader>("reader");
    QTest::addColumn<int>("lines");       // that the first process writes
    QTest::addColumn<QString>("delay");   // of the second one, which writes "ready"
    QTest::addColumn<QByteArray>("mark"); // in the log or on standard output: send the signal
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // on standard output or error

    // Far more output than the console keeps for a stalled reader.
    QTest::newRow("reader leaves")
        << "run app >FIFO" << Reader::Leaves << 100000 << "0.2" << QByteArray() << 0 << 0 << "";
    QTest::newRow("reader stalls, SIGTERM")
        << "run app >FIFO" << Reader::Stalls << 100000 << "120" << QByteArray("] ready\n")
        << SIGTERM << 143 << "launcher: \\d+ console lines dropped \\(the log file has them\\)";
    QTest::newRow("standard files closed")
        << "run app <&- >&- 2>&-" << Reader::None << 5 << "1" << QByteArray() << 0 << 0 << "";
    for (const auto& [name, signal, exitCode] :
         {std::tuple("SIGINT", SIGINT, 130), std::tuple("SIGTERM", SIGTERM, 143),
          std::tuple("SIGHUP", SIGHUP, 129)})
        QTest::newRow(name) << "run app" << Reader::None << 5 << "120" << QByteArray("] ready\n")
                            << signal << exitCode << "'app' was stopped by an interrupt\\.";
    QTest::newRow("SIGHUP during a countdown")
        << "" << Reader::None << 0 << "120" << QByteArray("Starting 'app' in 600 s") << SIGHUP
        << 129 << "Autostart cancelled; nothing was started\\.";
}

void TestConsoleRobustness::survives()
{
    QFETCH(QString, command);
    QFETCH(Reader, reader);
    QFETCH(int, lines);
    QFETCH(QString, delay);
    QFETCH(QByteArray, mark);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    QTemporaryDir root;
    const QString folder = root.filePath("Orvalen/launcher");
    const QString pidFile = root.filePath("child.pid");
    const QString fifo = root.filePath("fifo");
    QVERIFY(writeFile(folder + "/launcher.ini", "[autostart]\ntile=app\ntimeout=600\n"));
    QVERIFY(writeFile(folder + "/apps/app.ini",
                      QStringLiteral("[process-0]\nexec=/usr/bin/seq\narguments=1, %1\nmode=sync\n"
                                     "[process-1]\nexec=%2\nmode=sync\nrequired=true\n"
                                     "arguments=--pid-file, %3, --write, ready\\\\n, --delay, %4\n")
                          .arg(lines)
                          .arg(helperPath(), pidFile, delay)
                          .toUtf8()));
    // The reader's end is open before the launcher opens the other one.
    QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
    const int fifoFd = ::open(QFile::encodeName(fifo), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fifoFd >= 0);

    // The shell execs the launcher: its process is the launcher's.
    QProcess launcher;
    launcher.start("/bin/sh",
                   {"-c", QStringLiteral("exec '%1' --data-home '%2' --stop-timeout 1 %3")
                              .arg(LAUNCHER_PROGRAM, root.path(), command)
                              .replace("FIFO", "'" + fifo + "'")});
    QVERIFY(launcher.waitForStarted());
    // Failures are verified once the launcher has ended, so that none leaves it running.
    bool readerDone = true;
    if (reader == Reader::Leaves) {
        pollfd readable = {fifoFd, POLLIN, 0};
        char bytes[64];
        readerDone = ::poll(&readable, 1, RunLimitMs) == 1 && ::read(fifoFd, bytes, 64) > 0;
        ::close(fifoFd);
    }
    const QString logPath = QStringLiteral("%1/logs/app-%2.log")
                                .arg(folder, QDate::currentDate().toString("yyyy-MM-dd"));
    auto logText = [&logPath] {
        QFile log(logPath);
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    };
    QByteArray out;
    const QDeadlineTimer deadline(RunLimitMs);
    while (signal != 0 && !(out + logText()).contains(mark) && !deadline.hasExpired()) {
        launcher.waitForReadyRead(100);
        out += launcher.readAllStandardOutput();
    }
    if (signal != 0)
        ::kill(pid_t(launcher.processId()), signal);
    // Neither a stalled reader nor anything else may delay the stop for long: the
    // stop timeout, then a second for the output.
    const bool finished = launcher.waitForFinished(signal != 0 ? 10000 : RunLimitMs);
    if (!finished)
        launcher.kill();
    launcher.waitForFinished();
    if (reader != Reader::Leaves)
        ::close(fifoFd);
    out += launcher.readAllStandardOutput() + launcher.readAllStandardError();
    // A child that wrote its id must have ended; one left behind is killed here.
    QFile pid(pidFile);
    const bool leftBehind = pid.open(QIODevice::ReadOnly) &&
                            ::kill(pid_t(pid.readAll().trimmed().toInt()), SIGKILL) == 0;
    QVERIFY(!leftBehind);
    QVERIFY(readerDone);
    QVERIFY2(signal == 0 || (out + logText()).contains(mark), out.constData());
    QVERIFY2(finished, out.constData());
    QVERIFY2(launcher.exitStatus() == QProcess::NormalExit && launcher.exitCode() == exitCode,
             out.constData());
    QVERIFY2(QString::fromUtf8(out).contains(QRegularExpression(expected)), out.constData());
    // The log has every line, whatever the console could show.
    if (lines > 0)
        QVERIFY(logText().contains(QByteArray("] ") + QByteArray::number(lines) + "\n"));
}

LAUNCHER_TEST(TestConsoleRobustness)
#include "TestConsoleRobustness.moc"
