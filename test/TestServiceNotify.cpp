// The launcher under a stand-in service manager: what it sends to the socket
// named in $NOTIFY_SOCKET while it rotates old logs at its start, counts down,
// runs a pipeline, pings the watchdog and stops on SIGTERM, and the journal
// priorities of its standard error when that is the journal's stream.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QProcess>
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

    // Receives until a message holds the line; false when none comes for long.
    bool waitFor(const QByteArray& line)
    {
        char buffer[4096];
        while (!m_received.join('\n').split('\n').contains(line)) {
            const ssize_t size = ::recv(m_socket, buffer, sizeof buffer, 0);
            if (size < 0)
                return false;
            m_received.append(QByteArray(buffer, int(size)));
        }
        return true;
    }

private slots:
    void notifiesAndStops_data()
    {
        QTest::addColumn<bool>("oldLog"); // else nothing in the logs folder
        QTest::newRow("an old log to compress") << true;
        QTest::newRow("nothing to rotate") << false;
    }

    // The start-up's rotation holds the event loop: the start timeout is
    // extended while it runs, and READY=1 comes once it is done.
    void notifiesAndStops()
    {
        QFETCH(bool, oldLog);
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

        // Standard error goes to a file that stands in for the journal's stream.
        const QString errorFile = folders.root() + "/stderr";
        struct stat error = {};
        QVERIFY(writeFile(errorFile, {}) && ::stat(QFile::encodeName(errorFile), &error) == 0);
        QProcess launcher;
        launcher.setStandardErrorFile(errorFile, QIODevice::Append);
        launcher.start("/usr/bin/env",
                       {"NOTIFY_SOCKET=" + socketPath, "WATCHDOG_USEC=100000",
                        QStringLiteral("JOURNAL_STREAM=%1:%2").arg(error.st_dev).arg(error.st_ino),
                        LAUNCHER_PROGRAM});

        const bool ready = waitFor("READY=1");
        const bool rotated = QFile::exists(log + ".gz") && !QFile::exists(log);
        const bool notified = ready && waitFor("STATUS=autostart w in 1 s") &&
                              waitFor("STATUS=running w (1 process)") && waitFor("WATCHDOG=1") &&
                              QTest::qWaitFor([&] { return QFileInfo(pidFile).size() > 0; }, 30000);
        signalProcess(launcher, SIGTERM);
        const bool stopped = waitFor("STOPPING=1");
        // Should it still run, the end of the test kills it.
        const bool finished = launcher.waitForFinished(30000);
        char buffer[4096];
        for (ssize_t size = 0; (size = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            m_received.append(QByteArray(buffer, int(size)));
        ::close(m_socket);
        const bool childLeft = killedLeftover(pidFile);

        QVERIFY2(notified && stopped, m_received.join("\n--\n").constData());
        QCOMPARE(finished ? launcher.exitCode() : -1, 143);
        QVERIFY2(!childLeft, "the pipeline's process outlived the launcher");
        QCOMPARE(rotated, oldLog);
        const QByteArrayList received = m_received.join('\n').split('\n');
        // Straight from the countdown to the start, and silent once stopping.
        const QByteArray all = m_received.join('\n');
        QVERIFY(!all.contains("STATUS=idle") && !all.contains("(0 processes)") &&
                !all.mid(all.indexOf("STOPPING=1")).contains("STATUS="));
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
        QTest::addColumn<bool>("stream"); // standard error is the journal's stream
        QTest::newRow("under the journal's stream") << true;
        QTest::newRow("logs/journal=native") << false;
    }

    // The launcher's events reach the journal's socket as native entries with
    // their fields: a private mount namespace puts the test's socket where the
    // journal's is, so the sending code is the one a service runs.
    void nativeJournalEntries()
    {
        QFETCH(bool, stream);
        const ProcessMarker marker;
        DataFolders folders;
        QVERIFY(
            writeFile(folders.user() + "/launcher.ini", stream ? "" : "[logs]\njournal=native\n"));
        QVERIFY(writeFile(folders.user() + "/apps/kiosk.ini",
                          QStringLiteral("[process-0]\nexec=%1\nmode=sync\nrequired=true\n"
                                         "restart-on-crash=true\nrestart-limit=2\n"
                                         "arguments=--write, %2, --crash\n")
                              .arg(helperPath(), marker.text())
                              .toUtf8()));
        const QString socketFolder = folders.root() + "/journal";
        QVERIFY(QDir().mkpath(socketFolder));
        m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {AF_UNIX, {}};
        qstrncpy(address.sun_path, QFile::encodeName(socketFolder + "/socket").constData(),
                 sizeof address.sun_path);
        QVERIFY(::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);

        const QString errorFile = folders.root() + "/stderr";
        struct stat error = {};
        QVERIFY(writeFile(errorFile, {}) && ::stat(QFile::encodeName(errorFile), &error) == 0);
        QProcess launcher;
        launcher.setStandardErrorFile(errorFile, QIODevice::Append);
        launcher.start(
            "unshare",
            {"-m", "sh", "-c",
             "mount -t tmpfs none /run/systemd && mkdir /run/systemd/journal && "
             "mount --bind \"$0\" /run/systemd/journal && exec env \"$@\"",
             socketFolder,
             stream ? QStringLiteral("JOURNAL_STREAM=%1:%2").arg(error.st_dev).arg(error.st_ino)
                    : QStringLiteral("JOURNAL_STREAM="),
             LAUNCHER_PROGRAM, "run", "kiosk"});
        const bool ended = launcher.waitForFinished(60000);
        const QByteArray errors = fileContent(errorFile);
        if (ended && launcher.exitCode() != 1 && errors.contains("mount"))
            QSKIP(qPrintable("no private mount namespace here: " + errors));
        QVERIFY2(ended && launcher.exitCode() == 1, errors + launcher.readAllStandardOutput());

        // Each datagram is an entry of KEY=VALUE lines; by MESSAGE_ID.
        QHash<QByteArray, QByteArray> entries;
        char buffer[65536];
        for (ssize_t size = 0;
             (size = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            const QByteArray entry(buffer, int(size));
            entries.insert(entry.mid(entry.indexOf("MESSAGE_ID=") + 11, 32), entry);
        }
        ::close(m_socket);
        const QByteArray givenUp = "53a10729452f47d2abf7b017ef12a8c9";
        const QByteArray failed = entries.value("dd1dc249dd78416fb6b25c97eaa8f1cf");
        const QByteArray crashed = entries.value("1a3d659bdd5c4f04bb3b6e67d71c0b81");
        const QByteArray message = "Pipeline 'kiosk': process 0 (" + helperPath().toUtf8() +
                                   ") crashed 2 times within 10 s: not restarted again";
        // The last crash, the give-up and the failure are of one child.
        const int at = crashed.indexOf("LAUNCHER_PID=");
        const QByteArray pid = crashed.mid(at, crashed.indexOf('\n', at) - at + 1);
        QVERIFY2(pid.mid(13).toLongLong() > 0 && failed.contains(pid) &&
                     failed.contains("\nLAUNCHER_REASON=RequiredProcessFailure\n") &&
                     crashed.contains("\nLAUNCHER_APP=kiosk\nLAUNCHER_PROCESS=0\n"),
                 failed + crashed);
        QCOMPARE(entries.value(givenUp),
                 "MESSAGE=" + message + "\nPRIORITY=4\nMESSAGE_ID=" + givenUp +
                     "\nLAUNCHER_APP=kiosk\nLAUNCHER_PROCESS=0\n" +
                     "LAUNCHER_PROGRAM=" + helperPath().toUtf8() + '\n' + pid +
                     "LAUNCHER_SIGNAL=9\nSYSLOG_IDENTIFIER=launcher\n");
        // In the journal once; a terminal still gets the line.
        QCOMPARE(errors.contains(message), !stream);
        QVERIFY(marker.noneLeft());
    }
};

LAUNCHER_TEST(TestServiceNotify)
#include "TestServiceNotify.moc"
