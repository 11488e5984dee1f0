// The launcher under a stand-in service manager: what it sends to the socket
// named in $NOTIFY_SOCKET while it rotates old logs at its start, counts down,
// runs a pipeline, pings the watchdog and stops on SIGTERM; the journal
// priorities of its standard error when that is the journal's stream, and the
// entries with fields that a real journal keeps of its events.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestServiceNotify : public QObject
{
    Q_OBJECT

    int m_socket = -1;
    QByteArrayList m_received;

    // Receives until a message holds the line; false when none comes for
    // long, or at once with MSG_DONTWAIT.
    bool waitFor(const QByteArray& line, int flags = 0)
    {
        char buffer[4096];
        while (!m_received.join('\n').split('\n').contains(line)) {
            const ssize_t size = ::recv(m_socket, buffer, sizeof buffer, flags);
            if (size < 0)
                return false;
            m_received.append(QByteArray(buffer, int(size)));
        }
        return true;
    }

    // Standard error to a file that stands in for the journal's stream, and
    // the JOURNAL_STREAM that names it.
    static QString journalStream(QProcess& launcher, const QString& file)
    {
        struct stat error = {};
        launcher.setStandardErrorFile(file, QIODevice::Append);
        return writeFile(file, {}) && ::stat(QFile::encodeName(file), &error) == 0
                   ? QStringLiteral("JOURNAL_STREAM=%1:%2").arg(error.st_dev).arg(error.st_ino)
                   : QString();
    }

private slots:
    void notifiesAndStops_data()
    {
        addFlagRows("oldLog", "nothing to rotate", "an old log to compress");
    }

    // The start-up's rotation holds the event loop: the start timeout is
    // extended while it runs, and READY=1 comes once it is done.
    void notifiesAndStops()
    {
        QFETCH(bool, oldLog); // else nothing in the logs folder
        DataFolders folders;
        const QString pidFile = folders.root() + "/child.pid";
        const QString log = folders.user() + "/logs/old.log";
        QVERIFY(!oldLog || writeAged(log, 7, 2 * 86400));
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[autostart]\ntile=w\ntimeout=1\n"));
        QVERIFY(writeFile(folders.user() + "/apps/w.ini",
                          QStringLiteral("[process-0]\nexec=%1\nmode=sync\narguments=--print-env, "
                                         "NOTIFY_SOCKET, --pid-file, %2, --delay, 600\n")
                              .arg(helperPath(), pidFile)
                              .toUtf8()));

        // The stand-in service manager's socket, with a bound on each wait.
        const QByteArray socketPath = QFile::encodeName(folders.root() + "/notify");
        m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {AF_UNIX, {}};
        qstrncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path);
        const timeval timeout = {30, 0};
        QVERIFY(::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0);
        m_received.clear();

        const QString errorFile = folders.root() + "/stderr";
        QProcess launcher;
        const QString stream = journalStream(launcher, errorFile);
        QVERIFY(!stream.isEmpty());
        launcher.start("/usr/bin/env", {"NOTIFY_SOCKET=" + socketPath, "WATCHDOG_USEC=100000",
                                        stream, LAUNCHER_PROGRAM});

        const bool ready = waitFor("READY=1");
        const bool rotated = QFile::exists(log + ".gz") && !QFile::exists(log);
        const bool notified = ready && waitFor("STATUS=autostart w in 1 s") &&
                              waitFor("STATUS=running w (1 process)") && waitFor("WATCHDOG=1") &&
                              QTest::qWaitFor([&] { return QFileInfo(pidFile).size() > 0; }, 30000);
        signalProcess(launcher, SIGTERM);
        const bool stopped = waitFor("STOPPING=1");
        // Should it still run, the end of the test kills it.
        const bool finished = launcher.waitForFinished(30000);
        waitFor("all that is left", MSG_DONTWAIT);
        ::close(m_socket);
        const bool childLeft = killedLeftover(pidFile);

        QVERIFY2(notified && stopped, m_received.join("\n--\n").constData());
        QCOMPARE(finished ? launcher.exitCode() : -1, 143);
        QVERIFY2(!childLeft, "the pipeline's process outlived the launcher");
        QCOMPARE(rotated, oldLog);
        // Straight from the countdown to the start, and silent once stopping.
        const QByteArray all = m_received.join('\n');
        QVERIFY(!all.contains("STATUS=idle") && !all.contains("(0 processes)") &&
                !all.mid(all.indexOf("STOPPING=1")).contains("STATUS="));
        const QByteArrayList received = all.split('\n');
        const int extended = received.indexOf("EXTEND_TIMEOUT_USEC=30000000");
        QCOMPARE(extended >= 0 && extended < received.indexOf("READY=1"), oldLog);
        QVERIFY(launcher.readAllStandardOutput().contains("NOTIFY_SOCKET unset"));
        const QByteArrayList lines = fileContent(errorFile).trimmed().split('\n');
        QVERIFY(lines.first().startsWith("<6>info: "));
        for (const QByteArray& line : lines)
            QVERIFY2(QRegExp("<[2-7]>(info|warning|error|launcher): .*").exactMatch(line), line);
    }

    void nativeJournalEntries_data()
    {
        addFlagRows("stream", "logs/journal=native", "under the journal's stream");
    }

    // The launcher's events reach a real journal as native entries with their
    // fields: in a private mount and pid namespace, a journald of the test's
    // own stands where the machine's would, and the fleet's query for an
    // application's warnings finds the give-up and the failure, nothing else.
    void nativeJournalEntries()
    {
        QFETCH(bool, stream); // standard error is the journal's stream
        const QString journald = "/lib/systemd/systemd-journald";
        if (!QFileInfo(journald).isExecutable() ||
            QStandardPaths::findExecutable("journalctl").isEmpty())
            QSKIP("systemd-journald or journalctl is not installed: no journal to send to");
        const ProcessMarker marker;
        DataFolders folders;
        QVERIFY(
            writeFile(folders.user() + "/launcher.ini", stream ? "" : "[logs]\njournal=native\n"));
        // A daemon, stopped by the launcher once the crashing process fails.
        QVERIFY(writeFile(folders.user() + "/apps/kiosk.ini",
                          QStringLiteral("[process-0]\nexec=%1\nmode=daemon\n"
                                         "arguments=--write, %2, --delay, 300\n"
                                         "[process-1]\nexec=%1\nmode=sync\nrequired=true\n"
                                         "restart-on-crash=true\nrestart-limit=2\n"
                                         "arguments=--write, %2, --crash\n")
                              .arg(helperPath(), marker.text())
                              .toUtf8()));
        const QByteArray givenUp = "53a10729452f47d2abf7b017ef12a8c9";
        const QByteArray failed = "dd1dc249dd78416fb6b25c97eaa8f1cf";
        // Runs journald on empty folders, then the launcher; once the failure
        // is in the journal, prints the application's warnings as JSON lines.
        const QString script =
            "mount -t tmpfs none /run || exit 90\n"
            "[ ! -d /var/log/journal ] || mount -t tmpfs none /var/log/journal || exit 90\n"
            "\"$0\" </dev/null >/dev/null 2>&1 &\n"
            "i=0; until [ -S /run/systemd/journal/socket ]; do\n"
            "  i=$((i+1)); [ $i -lt 600 ] || exit 91; sleep 0.05; done\n"
            "env \"$@\" >/dev/null; status=$?\n"
            "i=0; until journalctl -q MESSAGE_ID=" +
            failed +
            " | grep -q .; do\n"
            "  i=$((i+1)); [ $i -lt 600 ] || break; sleep 0.05; done\n"
            "journalctl -q -o json LAUNCHER_APP=kiosk -p warning\nexit $status\n";

        const QString errorFile = folders.root() + "/stderr";
        QProcess launcher;
        const QString journal = journalStream(launcher, errorFile);
        QVERIFY(!journal.isEmpty());
        // Whatever ends the test, the namespace's processes end with it.
        launcher.start("unshare", {"-m", "-p", "-f", "--kill-child", "--mount-proc", "sh", "-c",
                                   script, journald, stream ? journal : "JOURNAL_STREAM=",
                                   LAUNCHER_PROGRAM, "run", "kiosk"});
        const bool ended = launcher.waitForFinished(60000);
        const QByteArray errors = fileContent(errorFile);
        const QByteArray output = launcher.readAllStandardOutput();
        if (ended && (launcher.exitCode() == 90 || errors.startsWith("unshare: ")))
            QSKIP(qPrintable("no private namespaces here: " + errors));
        QVERIFY2(ended && launcher.exitCode() == 1, errors + output);

        // In the order written, less the journal's own addresses and times.
        QJsonArray entries;
        for (const QByteArray& line : output.split('\n')) {
            QJsonObject entry = QJsonDocument::fromJson(line).object();
            for (const QString& key : entry.keys()) {
                if (key.startsWith('_') && key != "_COMM")
                    entry.remove(key);
            }
            if (!entry.isEmpty())
                entries.append(entry);
        }
        const QString pid = entries.at(0)["LAUNCHER_PID"].toString();
        QVERIFY2(pid.toLongLong() > 0, output);
        QJsonObject expected{{"MESSAGE", "Pipeline 'kiosk': process 1 (" + helperPath() +
                                             ") crashed 2 times within 10 s: not restarted again"},
                             {"PRIORITY", "4"},
                             {"MESSAGE_ID", QString(givenUp)},
                             {"LAUNCHER_APP", "kiosk"},
                             {"LAUNCHER_PROCESS", "1"},
                             {"LAUNCHER_PROGRAM", helperPath()},
                             {"LAUNCHER_PID", pid},
                             {"LAUNCHER_SIGNAL", "9"},
                             {"SYSLOG_IDENTIFIER", "launcher"},
                             {"_COMM", "launcher"}};
        // The give-up, then the failure of the same child, with its reason.
        QJsonObject failure = expected;
        failure.insert("MESSAGE_ID", QString(failed));
        failure.insert("MESSAGE", "Pipeline 'kiosk': failure occurred (RequiredProcessFailure): " +
                                      expected.value("MESSAGE").toString().mid(18));
        failure.insert("LAUNCHER_REASON", "RequiredProcessFailure");
        QCOMPARE(QJsonDocument(entries).toJson(),
                 QJsonDocument(QJsonArray{expected, failure}).toJson());
        // In the journal once; a terminal still gets the line.
        QCOMPARE(errors.contains(failure.value("MESSAGE").toString().toUtf8()), !stream);
        QVERIFY(marker.noneLeft());
    }
};

LAUNCHER_TEST(TestServiceNotify)
#include "TestServiceNotify.moc"
