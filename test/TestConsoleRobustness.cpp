// The console front end `launcher` in hostile surroundings: a reader that goes
// away or stalls, standard files closed at start, a parent that leaves signals
// ignored or blocked and a descriptor open, and the signals that stop a run,
// each with the exit status a shell reports for it (128 + its number).

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// Comfortably above what any run here needs, far below the children's delays.
const int RunLimitMs = 30000;

class TestConsoleRobustness : public QObject
{
    Q_OBJECT

private slots:
    void survives_data()
    {
        QTest::addColumn<QString>("command"); // after the launcher's name; FIFO: the reader's end
        QTest::addColumn<int>("signal"); // once "ready" is out (the countdown shown): stops the run
        QTest::addColumn<QString>("expected"); // on standard output or error
        QTest::addColumn<bool>("logged");      // false: its log folder cannot be made

        QTest::newRow("reader leaves") << "run app >FIFO" << 0 << "" << true;
        // The few lines of the launcher's own (its trace) are in no log file.
        QTest::newRow("reader stalls, SIGTERM")
            << "run app >FIFO" << SIGTERM
            << "launcher: (\\d+) console lines dropped \\(the log file has (\\d+) of them; the "
               "rest are lost\\)"
            << true;
        QTest::newRow("reader stalls, no log file")
            << "run app >FIFO" << SIGTERM
            << "launcher: \\d+ console lines dropped and lost: no log file has them" << false;
        QTest::newRow("standard files closed") << "run app <&- >&- 2>&-" << 0 << "" << true;
        // SIGINT and SIGTERM while running: TestConsole and TestServiceNotify.
        QTest::newRow("SIGHUP") << "run app" << SIGHUP << "'app' was stopped by an interrupt\\."
                                << true;
        QTest::newRow("SIGINT during a countdown")
            << "" << SIGINT << "Autostart cancelled; nothing was started\\." << true;
    }

    void survives()
    {
        QFETCH(QString, command);
        QFETCH(int, signal);
        QFETCH(QString, expected);
        QFETCH(bool, logged);
        // The FIFO's reader reads once, then closes it (as `| head -1` does) and
        // the run ends by itself; or else it never reads while the launcher runs.
        const bool readerLeaves = command.contains("FIFO") && signal == 0;
        // Far more output than the console keeps for a stalled reader.
        const int lines = command.contains("FIFO") ? 100000 : 5;

        QTemporaryDir root;
        const QString folder = root.filePath("Orvalen/launcher");
        const QString pidFile = root.filePath("child.pid");
        const QString fifo = root.filePath("fifo");
        QVERIFY(writeFile(folder + "/launcher.ini", "[autostart]\ntile=app\ntimeout=600\n"));
        QVERIFY(
            writeFile(folder + "/apps/app.ini",
                      QStringLiteral("[process-0]\nexec=/usr/bin/seq\narguments=1, %1\nmode=sync\n"
                                     "[process-1]\nexec=%2\nmode=sync\nrequired=true\n"
                                     "arguments=--pid-file, %3, --write, ready\\\\n, --delay, %4\n"
                                     "[logs]\npath=%5\n")
                          .arg(lines)
                          .arg(helperPath(), pidFile, signal ? "120" : "0.5",
                               logged ? folder + "/logs" : "/dev/null/logs")
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
        if (readerLeaves) {
            pollfd readable = {fifoFd, POLLIN, 0};
            char bytes[64];
            readerDone = ::poll(&readable, 1, RunLimitMs) == 1 && ::read(fifoFd, bytes, 64) > 0;
            ::close(fifoFd);
        }
        const QString logPath = QStringLiteral("%1/logs/app-%2.log")
                                    .arg(folder, QDate::currentDate().toString("yyyy-MM-dd"));
        const QByteArray mark = command.isEmpty() ? "Starting 'app' in 600 s" : "] ready\n";
        QByteArray out;
        bool markSeen = true;
        if (signal != 0) {
            markSeen = QTest::qWaitFor(
                [&] {
                    out += launcher.readAllStandardOutput();
                    // Without a log, the second process's start: the first has ended.
                    return (out + fileContent(logPath)).contains(mark) ||
                           (!logged && QFile::exists(pidFile));
                },
                RunLimitMs);
            ::kill(pid_t(launcher.processId()), signal);
        }
        // Neither a stalled reader nor anything else may delay the stop for long: the
        // stop timeout, then a second for the output.
        // Should it still run, the end of the test kills it.
        const bool finished = launcher.waitForFinished(signal != 0 ? 10000 : RunLimitMs);
        if (!readerLeaves)
            ::close(fifoFd);
        out += launcher.readAllStandardOutput() + launcher.readAllStandardError();
        // A child that wrote its id must have ended; one left behind is killed here.
        QVERIFY(!killedLeftover(pidFile) && readerDone);
        QVERIFY2(markSeen && finished && launcher.exitStatus() == QProcess::NormalExit &&
                     launcher.exitCode() == (signal ? 128 + signal : 0),
                 out.constData());
        const QRegularExpressionMatch match =
            QRegularExpression(expected).match(QString::fromUtf8(out));
        QVERIFY2(match.hasMatch(), out.constData());
        // Of the lines dropped, the log file has all but the launcher's own few.
        if (match.lastCapturedIndex() == 2)
            QVERIFY2(match.captured(2).toInt() > match.captured(1).toInt() - 20, out.constData());
        // The log has every line, whatever the console could show.
        if (!command.isEmpty() && logged)
            QVERIFY(
                fileContent(logPath).contains(QByteArray("] ") + QByteArray::number(lines) + "\n"));
    }

    void reportsComplete_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("count"); // applications, or processes of the one file checked
        QTest::newRow("list --json") << "list --json" << 2500;
        QTest::newRow("check") << "check" << 4000;
    }

    // A report larger than the console's queue and a pipe together, read only
    // once the launcher has long written what fits: every byte arrives.
    void reportsComplete()
    {
        QFETCH(QString, command);
        QFETCH(int, count);
        QTemporaryDir root;
        const QString apps = root.filePath("Orvalen/launcher/apps");
        const QByteArray process = "exec=/bin/true\nmode=sync\n";
        if (command == "check") {
            QByteArray file;
            for (int i = 0; i < count; ++i)
                file += "[process-" + QByteArray::number(10000 + i) + "]\n" + process;
            QVERIFY(writeFile(apps + "/many.ini", file));
            command += " '" + apps + "/many.ini'";
        }
        for (int i = 0; command.startsWith("list") && i < count; ++i)
            QVERIFY(writeFile(QStringLiteral("%1/app%2.ini").arg(apps).arg(i),
                              "[ui]\nname=" + QByteArray(200, 'n') + "\n[process-0]\n" + process));
        const QString fifo = root.filePath("fifo");
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        const int fifoFd = ::open(QFile::encodeName(fifo), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(fifoFd >= 0);
        QProcess launcher;
        launcher.start("/bin/sh", {"-c", QStringLiteral("exec '%1' --data-home '%2' %3 >'%4'")
                                             .arg(LAUNCHER_PROGRAM, root.path(), command, fifo)});
        QVERIFY(launcher.waitForStarted());
        // The reader starts late: by then the launcher has filled the pipe.
        QTest::qWait(1000);
        QByteArray out;
        for (;;) {
            pollfd readable = {fifoFd, POLLIN, 0};
            char bytes[65536];
            const ssize_t got = ::poll(&readable, 1, RunLimitMs) == 1
                                    ? ::read(fifoFd, bytes, sizeof bytes)
                                    : ssize_t(0);
            if (got == 0)
                break;
            if (got > 0)
                out.append(bytes, int(got));
        }
        ::close(fifoFd);
        const bool finished = launcher.waitForFinished(RunLimitMs);
        const QByteArray errors = launcher.readAllStandardError();
        QVERIFY2(finished && launcher.exitCode() == 0 && !errors.contains("dropped"),
                 errors.constData());
        if (command.startsWith("list")) {
            QJsonParseError error;
            const QJsonDocument list = QJsonDocument::fromJson(out, &error);
            QVERIFY2(error.error == QJsonParseError::NoError && out.size() > (1 << 20),
                     qPrintable(QString::number(out.size())));
            QCOMPARE(list.object().value("applications").toArray().size(), count);
        } else {
            QVERIFY2(out.size() > (1 << 20) && out.endsWith("  valid\n"),
                     qPrintable(QString::number(out.size())));
            QCOMPARE(out.count("  process "), count);
        }
    }

    void hostileParent_data()
    {
        QTest::addColumn<int>("signal"); // once the second process runs; 0: none
        QTest::newRow("Sync pipeline finishes") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    // The launcher exec'd by a parent that ignores SIGCHLD, SIGQUIT, SIGUSR1
    // and SIGALRM, blocks every signal and leaves descriptor 7 open: a Sync
    // process's end is still seen, the signals that stop a run still stop it,
    // and the children start clean.
    void hostileParent()
    {
        QFETCH(int, signal);
        QTemporaryDir root;
        const QString pidFile = root.filePath("child.pid");
        QVERIFY(writeFile(
            root.filePath("Orvalen/launcher/apps/app.ini"),
            QStringLiteral("[process-0]\nexec=%1\nmode=sync\narguments=--print-start-state\n"
                           "[process-1]\nexec=%1\nmode=sync\n"
                           "arguments=--pid-file, %2, --write, ready\\\\n, --delay, %3\n")
                .arg(helperPath(), pidFile, signal ? "120" : "0.2")
                .toUtf8()));

        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(helperPath(), {"--exec-hostile", LAUNCHER_PROGRAM, "--data-home",
                                      root.path(), "--stop-timeout", "1", "run", "app"});
        QVERIFY(launcher.waitForStarted());
        QByteArray out;
        bool readySeen = true;
        if (signal != 0) {
            readySeen = QTest::qWaitFor(
                [&] { return (out += launcher.readAllStandardOutput()).contains("] ready\n"); },
                RunLimitMs);
            ::kill(pid_t(launcher.processId()), signal);
        }
        // Should it still run, the end of the test kills it.
        const bool finished = launcher.waitForFinished(RunLimitMs);
        out += launcher.readAllStandardOutput();
        QVERIFY(!killedLeftover(pidFile));
        QVERIFY2(readySeen && finished && launcher.exitStatus() == QProcess::NormalExit &&
                     launcher.exitCode() == (signal ? 128 + signal : 0),
                 out.constData());

        // What the first child wrote about itself, each line after its "[ pid ] ".
        const auto value = [&](const char* key) {
            const QRegularExpression line(QStringLiteral("\\] %1 (\\S+)\n").arg(key));
            return line.match(QString::fromUtf8(out)).captured(1);
        };
        QCOMPARE(value("ignored"), QStringLiteral("0000000000000000"));
        QCOMPARE(value("blocked"), QStringLiteral("0000000000000000"));
        QStringList fds;
        QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("\\] fd (\\d+) "))
                                                 .globalMatch(QString::fromUtf8(out));
        while (it.hasNext())
            fds.append(it.next().captured(1));
        QCOMPARE(fds, (QStringList{"0", "1", "2"}));
    }
};

LAUNCHER_TEST(TestConsoleRobustness)
#include "TestConsoleRobustness.moc"
