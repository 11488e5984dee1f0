// The control socket of the real `launcher`: `serve` on a temporary runtime
// folder, the commands of other shells, and bad clients on the socket.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/ProcFs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>

#include <csignal>
#include <functional>
#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestControl : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QProcess> m_main; // the launcher under test
    QString m_marker;                 // on the command line of every child

    QString home() const { return m_root->filePath("home"); }
    QString folder() const { return m_root->filePath("run/Orvalen/launcher"); }

    // A command's output (both streams) and exit code.
    QByteArray run(const QStringList& arguments, int* exitCode = nullptr) const
    {
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments);
        client.waitForFinished(60000);
        if (exitCode)
            *exitCode = client.exitCode();
        return client.readAll();
    }
    QJsonObject status() const
    {
        return QJsonDocument::fromJson(run({"status", "--json"})).object();
    }
    static bool waitFor(const std::function<bool()>& condition)
    {
        for (int i = 0; i < 600 && !condition(); ++i)
            QTest::qWait(100);
        return condition();
    }
    void launch(const QStringList& arguments)
    {
        m_main = std::make_unique<QProcess>();
        m_main->setProcessChannelMode(QProcess::MergedChannels);
        m_main->start(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments);
        QVERIFY(waitFor([this] { return status().value("ok").toBool(); }));
    }
    void writeApp(const QString& autostart = QString()) const
    {
        QSettings app(home() + "/Orvalen/launcher/apps/app.ini", QSettings::IniFormat);
        const QStringList arguments[] = {{"--write", m_marker, "--delay", "0.3", "--crash"},
                                         {"--write", m_marker, "--delay", "300"}};
        for (int i = 0; i < 2; ++i) {
            const QString group = QStringLiteral("process-%1/").arg(i);
            app.setValue(group + "exec", helperPath());
            app.setValue(group + "library-paths", QFileInfo(helperPath()).absolutePath());
            app.setValue(group + "arguments", arguments[i]);
            app.setValue(group + "mode", i == 0 ? "daemon" : "sync");
        }
        app.setValue("process-0/restart-on-crash", true);
        app.setValue("process-0/restart-limit", 1000);
        QSettings launcher(home() + "/Orvalen/launcher/launcher.ini", QSettings::IniFormat);
        launcher.setValue("autostart/tile", autostart);
        launcher.setValue("autostart/timeout", 600);
    }
    QList<qint64> marked() const
    {
        QList<qint64> pids;
        for (const QString& entry : QDir("/proc").entryList(QDir::Dirs))
            if (ProcFs::commandLine(entry.toLongLong()).contains(m_marker))
                pids.append(entry.toLongLong());
        return pids;
    }
    static int mode(const QString& path)
    {
        struct stat info = {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777)
                                                                       : -1;
    }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_root->filePath("run")));
        QVERIFY(QDir().mkpath(home()));
        m_marker = QStringLiteral("control-%1").arg(QRandomGenerator::global()->generate());
    }
    void cleanup()
    {
        if (m_main && m_main->state() != QProcess::NotRunning) {
            m_main->kill();
            m_main->waitForFinished(30000);
        }
        const QList<qint64> leftovers = marked();
        for (const qint64 pid : leftovers)
            ::kill(pid_t(pid), SIGKILL);
        QVERIFY2(leftovers.isEmpty(), "a child outlived the launcher");
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void superviseFromAnotherShell()
    {
        int code = -1;
        run({"status"}, &code);
        QCOMPARE(code, 3);
        writeApp();
        launch({"serve"});
        QCOMPARE(mode(folder()), 0700);
        QCOMPARE(mode(folder() + "/control"), 0600);
        QVERIFY(run({"serve"}, &code).contains(QByteArray::number(m_main->processId())));
        QCOMPARE(code, 1);
        run({"start", "app"}, &code);
        QCOMPARE(code, 0);
        QJsonArray processes;
        QVERIFY(waitFor([&] {
            processes = status().value("pipeline")["processes"].toArray();
            return processes.size() == 2 && processes.at(0)["restarts"].toInt() >= 2 &&
                   processes.at(0)["state"].toString() == "running";
        }));
        QCOMPARE(processes.at(0)["lastExit"]["signal"].toInt(), int(SIGKILL));
        for (const QJsonValue& process : processes)
            QVERIFY(
                ProcFs::commandLine(process["pid"].toVariant().toLongLong()).contains(m_marker));
        QVERIFY(run({"start", "app"}, &code).contains("is running"));
        QCOMPARE(code, 1);
        QVERIFY(run({"stop", "--timeout", "1"}, &code).contains("'app' has stopped."));
        QCOMPARE(code, 0);
        QVERIFY(status().value("pipeline").isNull());
        QVERIFY(marked().isEmpty());
        ::kill(pid_t(m_main->processId()), SIGTERM);
        QVERIFY(m_main->waitForFinished(30000));
        QCOMPARE(m_main->exitCode(), 143);
        QVERIFY(!QFileInfo::exists(folder() + "/control"));
    }

    void cancelCountdown()
    {
        writeApp("app");
        launch({});
        const int remaining = status().value("autostart")["remaining"].toInt();
        QVERIFY2(remaining > 500 && remaining <= 600, qPrintable(QString::number(remaining)));
        QVERIFY(run({"cancel"}).contains("Autostart cancelled."));
        // The front end job has nothing left to do.
        QVERIFY(m_main->waitForFinished(30000));
        QCOMPARE(m_main->exitCode(), 0);
    }

    void staleSocketAndBadClients()
    {
        // A socket that nobody listens on any more, as a killed launcher leaves it.
        QVERIFY(QDir().mkpath(folder()));
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(folder() + "/control"),
                 sizeof address.sun_path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        ::close(fd);
        launch({"serve"});

        const QByteArray requests[] = {"garbage\n", "[1]\n", "{\"command\":\"nope\"}\n",
                                       QByteArray(70000, 'x'), "{\"comm"};
        for (const QByteArray& request : requests) {
            QLocalSocket client;
            client.connectToServer(folder() + "/control");
            QVERIFY(client.waitForConnected(30000));
            client.write(request);
            QVERIFY(client.waitForBytesWritten(30000));
            if (request.endsWith('\n') || request.size() > 65536) {
                while (!client.canReadLine() && client.waitForReadyRead(30000)) {
                }
                const QJsonObject reply = QJsonDocument::fromJson(client.readLine()).object();
                QVERIFY2(reply.value("ok") == false && !reply.value("error").toString().isEmpty(),
                         request.left(40).constData());
            }
            // Closed at once, or it stays open while the launcher answers others.
            QVERIFY(status().value("ok").toBool());
        }
    }
};

LAUNCHER_TEST(TestControl)
#include "TestControl.moc"
