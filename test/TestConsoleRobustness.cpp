// The console front end `launcher` in hostile surroundings: a reader that goes
// away or stalls, standard files closed at start, a parent that leaves signals
// ignored or blocked and a descriptor open, and the signals that stop a run,
// each with the exit status a shell reports for it (128 + its number).

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDate>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Comfortably above what any run here needs, far below the children's delays.
const int RunLimitMs = 30000;

const struct
{
    const char* name;
    const char* command;  // for sh, which execs the launcher (L); FIFO: the reader's end;
                          // HOSTILE: a parent that ignores SIGCHLD, SIGQUIT, SIGUSR1 and
                          // SIGALRM, blocks every signal and leaves descriptor 7 open; $PPID:
                          // the test, which sends the signal
    int signal;           // once "ready" is out (the countdown shown): stops the run
    const char* expected; // on standard output or error
} Cases[] = {
    {"reader leaves", "exec L run app >FIFO", 0, ""},
    // The few lines of the launcher's own (its trace) are in no log file.
    {"reader stalls", "exec L run app >FIFO", SIGTERM,
     "launcher: (\\d+) console lines dropped \\(the log file has (\\d+) of them; the rest are "
     "lost\\)"},
    {"standard files closed", "exec L run app <&- >&- 2>&-", 0, ""},
    {"SIGINT during a countdown", "exec L", SIGINT, "Autostart cancelled; nothing was started\\."},
    // A Sync process's end is still seen, the signals that stop a run still stop it.
    {"hostile parent, finished", "exec HOSTILE L run app", 0, "'app' finished normally"},
    {"hostile parent, SIGHUP", "exec HOSTILE L run app", SIGHUP, "'app' was stopped by SIGHUP\\."},
    // Only Ctrl+C is an interrupt; a service manager's stop says so.
    {"SIGINT", "exec L run app", SIGINT,
     "Interrupted: asking the processes of 'app' to terminate(?s:.*)'app' was stopped by an "
     "interrupt\\."},
    // The test is the user's service manager.
    {"SIGTERM of the service manager", "export MANAGERPID=$PPID; exec L run app", SIGTERM,
     "SIGTERM from the service manager: asking the processes of 'app' to terminate(?s:.*)'app' was "
     "stopped by the service manager \\(SIGTERM\\)\\."},
    {"SIGTERM of another process", "exec L run app", SIGTERM,
     "SIGTERM: asking the processes of 'app' to terminate(?s:.*)'app' was stopped by SIGTERM\\."},
};

// A FIFO in the folder, and its reader's end, open before a writer opens it.
int openFifo(const QTemporaryDir& root)
{
    const QByteArray fifo = QFile::encodeName(root.filePath("fifo"));
    return ::mkfifo(fifo, 0600) == 0 ? ::open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
}

// Runs the launcher with these arguments, its output and errors to the FIFO,
// which is non-blocking (as another program may leave it), so that a write
// that finds some room writes part; and reads it only once the pipe is full
// and the launcher sleeps, waiting for room (or has ended): what it wrote
// meanwhile waits in its queue.
QByteArray readLate(const QTemporaryDir& root, int fifoFd, const QString& arguments)
{
    const int writeFd = ::open(QFile::encodeName(root.filePath("fifo")), O_WRONLY | O_NONBLOCK);
    QProcess launcher;
    launcher.start("/bin/sh",
                   {"-c", QStringLiteral("unset JOURNAL_STREAM; exec '%1' %2 >&%3 2>&1 %3>&-")
                              .arg(LAUNCHER_PROGRAM, arguments)
                              .arg(writeFd)});
    launcher.waitForStarted();
    ::close(writeFd);
    const bool full = QTest::qWaitFor(
        [&] {
            int queued = 0;
            return launcher.state() == QProcess::NotRunning ||
                   (::ioctl(fifoFd, FIONREAD, &queued) == 0 &&
                    queued >= ::fcntl(fifoFd, F_GETPIPE_SZ) / 2 &&
                    fileContent(QString("/proc/%1/stat").arg(launcher.processId()))
                        .contains(") S "));
        },
        RunLimitMs);
    QByteArray out = full ? QByteArray() : "the pipe never filled ";
    char bytes[65536];
    for (ssize_t got = 1; got != 0;) {
        pollfd readable = {fifoFd, POLLIN, 0};
        got = ::poll(&readable, 1, RunLimitMs) == 1 ? ::read(fifoFd, bytes, sizeof bytes) : 0;
        out.append(bytes, int(std::max<ssize_t>(got, 0)));
    }
    ::close(fifoFd);
    if (!launcher.waitForFinished(RunLimitMs))
        return "the launcher did not end";
    return out;
}

} // namespace

class TestConsoleRobustness : public QObject
{
    Q_OBJECT

private slots:
    void survives_data() { addRows(Cases); }

    void survives()
    {
        const auto& row = currentRow(Cases);
        const QString command = row.command;
        // The FIFO's reader reads once, then closes it (as `| head -1` does) and
        // the run ends by itself; or else it never reads while the launcher runs.
        const bool readerLeaves = command.contains("FIFO") && row.signal == 0;
        // Far more output than the console keeps for a stalled reader.
        const int lines = command.contains("FIFO") ? 100000 : 5;
        QTemporaryDir root;
        const QString folder = root.filePath("Orvalen/launcher");
        const QString pidFile = root.filePath("child.pid");
        int fifoFd = openFifo(root);
        QVERIFY(
            fifoFd >= 0 &&
            writeFile(folder + "/launcher.ini", "[autostart]\ntile=app\ntimeout=600\n") &&

            writeFile(folder + "/apps/app.ini",
                      QStringLiteral("[process-0]\nexec=/usr/bin/seq\narguments=1, %2\nmode=sync\n"
                                     "[process-1]\nexec=%1\nmode=sync\nrequired=true\n"
                                     "arguments=--pid-file, %3, --write, ready\\\\n, --delay, %4\n"
                                     "[logs]\npath=%5\n")
                          .arg(helperPath())
                          .arg(lines)
                          .arg(pidFile, row.signal ? "120" : "0.5", folder + "/logs")
                          .toUtf8()));

        // The shell execs the launcher: its process is the launcher's.
        QProcess launcher;
        launcher.start(
            "/bin/sh",
            {"-c", QString(command)
                       .replace("HOSTILE", "'" + helperPath() + "' --exec-hostile")
                       .replace(" L", QStringLiteral(" '%1' --data-home '%2' --stop-timeout 1")
                                          .arg(LAUNCHER_PROGRAM, root.path()))
                       .replace("FIFO", "'" + root.filePath("fifo") + "'")});
        QVERIFY(launcher.waitForStarted());
        // Failures are verified once the launcher has ended, so that none leaves it running.
        bool readerDone = true;
        if (readerLeaves) {
            pollfd readable = {fifoFd, POLLIN, 0};
            char bytes[64];
            readerDone = ::poll(&readable, 1, RunLimitMs) == 1 && ::read(fifoFd, bytes, 64) > 0;
            ::close(std::exchange(fifoFd, -1));
        }
        const QString logPath = QStringLiteral("%1/logs/app-%2.log")
                                    .arg(folder, QDate::currentDate().toString("yyyy-MM-dd"));
        const bool runs = command.contains("run app"); // else it counts down
        const QByteArray mark = runs ? "] ready\n" : "Starting 'app' in 600 s";
        QByteArray out;
        const auto seen = [&] {
            return (out += launcher.readAllStandardOutput()).contains(mark) ||
                   fileContent(logPath).contains(mark);
        };
        const bool markSeen = row.signal == 0 || QTest::qWaitFor(seen, RunLimitMs);
        signalProcess(launcher, row.signal);
        // Should it still run, the end of the test kills it.
        const bool finished = launcher.waitForFinished(RunLimitMs);
        if (fifoFd >= 0)
            ::close(fifoFd);
        out += launcher.readAllStandardOutput() + launcher.readAllStandardError();
        // A child that wrote its id must have ended; one left behind is killed here.
        QVERIFY(!killedLeftover(pidFile) && readerDone);
        QVERIFY2(markSeen && finished && launcher.exitStatus() == QProcess::NormalExit &&
                     launcher.exitCode() == (row.signal ? 128 + row.signal : 0),
                 out.constData());
        const QRegularExpressionMatch match =
            QRegularExpression(row.expected).match(QString::fromUtf8(out));
        QVERIFY2(match.hasMatch(), out.constData());
        // Of the lines dropped, the log file has all but the launcher's own few;
        // it has every line, whatever the console could show.
        QVERIFY2(match.lastCapturedIndex() < 2 ||
                     match.captured(2).toInt() > match.captured(1).toInt() - 20,
                 out.constData());
        QVERIFY(!runs || fileContent(logPath).contains("] " + QByteArray::number(lines) + "\n"));
    }

    // Standard output and error in one pipe, read late, so that the console
    // writes what it queued meanwhile in batches: a report of each file, an
    // error for each missing one, every line whole and in the order written,
    // none lost although they are more than the console's queue and the pipe
    // hold together.
    void reportAndErrorsInOrder()
    {
        QTemporaryDir root;
        const int fifoFd = openFifo(root);
        QVERIFY(fifoFd >= 0);
        QString arguments, expected;
        // Reports of a few thousand lines: more than a batch of one stream,
        // and about 2 MiB in all.
        QByteArray file;
        for (int i = 0; i < 80; ++i)
            file += "[process-" + QByteArray::number(i) + "]\nexec=/bin/true\nmode=sync\n";
        for (int i = 0; i < 60; ++i) {
            const QString path = root.filePath(QStringLiteral("%1/app.ini").arg(i));
            const QString missing = root.filePath(QStringLiteral("missing-%1.ini").arg(i));
            QVERIFY(writeFile(path, file));
            arguments += " '" + path + "' '" + missing + "'";
            expected += path + "\nREPORT\nlauncher: '" + missing + "': no such file\n";
        }
        const QString text = QString::fromUtf8(readLate(root, fifoFd, "check" + arguments));
        // Each report's first line is its file's path; the report is the same
        // for every file but for it.
        const int first = text.indexOf('\n'), error = text.indexOf("\nlauncher: ");
        const QString report = text.mid(first + 1, error - first - 1);
        QVERIFY2(report.endsWith("  valid") && report.count("  process ") == 80 &&
                     text == expected.replace("REPORT", report),
                 qPrintable(text.left(2000)));
    }
};

LAUNCHER_TEST(TestConsoleRobustness)
#include "TestConsoleRobustness.moc"
