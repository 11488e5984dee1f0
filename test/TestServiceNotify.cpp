// The launcher under a stand-in service manager: what it sends to the socket
// named in $NOTIFY_SOCKET while it counts down, runs a pipeline, pings the
// watchdog and stops on SIGTERM, and the journal priorities of its standard
// error when that is the journal's stream.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestServiceNotify : public QObject
{
    Q_OBJECT

    int m_socket = -1;
    QByteArrayList m_received;

    // Receives until a message holds the line; false after a generous deadline.
    bool waitFor(const QByteArray& line)
    {
        QDeadlineTimer deadline(30000);
        while (!m_received.join('\n').split('\n').contains(line)) {
            pollfd ready = {m_socket, POLLIN, 0};
            char buffer[4096];
            if (::poll(&ready, 1, int(deadline.remainingTime())) != 1)
                return false;
            const ssize_t size = ::recv(m_socket, buffer, sizeof buffer, 0);
            if (size > 0)
                m_received.append(QByteArray(buffer, int(size)));
        }
        return true;
    }

private slots:
    void notifiesAndStops();
};

void TestServiceNotify::notifiesAndStops()
{
    DataFolders folders;
    const QString pidFile = folders.root() + "/child.pid";
    QVERIFY(writeFile(folders.user() + "/launcher.ini", "[autostart]\ntile=waiter\ntimeout=1\n"));
    QVERIFY(writeFile(folders.user() + "/apps/waiter.ini",
                      QStringLiteral("[process-0]\nexec=%1\nmode=sync\narguments=--print-env, "
                                     "NOTIFY_SOCKET, --pid-file, %2, --delay, 600\n")
                          .arg(helperPath(), pidFile)
                          .toUtf8()));

    const QByteArray socketPath = QFile::encodeName(folders.root() + "/notify");
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(socketPath.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    QVERIFY(::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);

    // Standard error goes to a file that stands in for the journal's stream.
    const QString errorFile = folders.root() + "/stderr";
    struct stat errorStatus = {};
    QVERIFY(writeFile(errorFile, {}) && ::stat(QFile::encodeName(errorFile), &errorStatus) == 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NOTIFY_SOCKET", socketPath);
    environment.insert("WATCHDOG_USEC", "100000");
    environment.insert("JOURNAL_STREAM",
                       QStringLiteral("%1:%2").arg(errorStatus.st_dev).arg(errorStatus.st_ino));
    QProcess launcher;
    launcher.setProcessEnvironment(environment);
    launcher.setStandardErrorFile(errorFile, QIODevice::Append);
    launcher.start(LAUNCHER_PROGRAM, QStringList());

    const bool notified = waitFor("READY=1") && waitFor("STATUS=autostart waiter in 1 s") &&
                          waitFor("STATUS=running waiter (1 process)") && waitFor("WATCHDOG=1") &&
                          QTest::qWaitFor([&] { return QFileInfo(pidFile).size() > 0; }, 30000);
    ::kill(pid_t(launcher.processId()), SIGTERM);
    const bool stopped = waitFor("STOPPING=1");
    const bool finished = launcher.waitForFinished(30000);
    if (!finished)
        launcher.kill();
    launcher.waitForFinished();
    ::close(m_socket);
    QFile pids(pidFile);
    const pid_t child =
        pids.open(QIODevice::ReadOnly) ? pid_t(pids.readAll().trimmed().toInt()) : 0;
    const bool childLeft = child > 0 && ::kill(child, SIGKILL) == 0;

    const QByteArray received = m_received.join("\n--\n");
    QVERIFY2(notified && stopped, received.constData());
    QCOMPARE(finished ? launcher.exitCode() : -1, 143);
    QVERIFY2(!childLeft, "the pipeline's process outlived the launcher");
    QVERIFY(child > 0 && launcher.readAllStandardOutput().contains("NOTIFY_SOCKET unset"));
    QFile errors(errorFile);
    QVERIFY(errors.open(QIODevice::ReadOnly));
    const QByteArrayList lines = errors.readAll().trimmed().split('\n');
    QVERIFY(lines.first().startsWith("<6>info: "));
    for (const QByteArray& line : lines)
        QVERIFY2(QRegExp("<[2-7]>(info|warning|error|launcher): .*").exactMatch(line), line);
}

LAUNCHER_TEST(TestServiceNotify)
#include "TestServiceNotify.moc"
