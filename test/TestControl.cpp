// The control socket of the real `launcher`: `serve` on a temporary runtime
// folder, the commands of other shells, and bad clients on the socket.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/ProcFs.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <vector>

#include <pwd.h>
#include <unistd.h>

const int LimitMs = 60000;
using Result = std::pair<int, QByteArray>; // exit code, output

class TestControl : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QProcess> m_main; // the launcher under test
    QString m_marker;                 // on the command line of every child

    QString home() const { return m_root->filePath("home"); }
    QString folder() const { return m_root->filePath("run/Orvalen/launcher"); }

    // A command's exit code and output (both streams).
    Result run(const QStringList& arguments) const
    {
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments);
        client.waitForFinished(LimitMs);
        return {client.exitCode(), client.readAll()};
    }
    QJsonObject status() const
    {
        return QJsonDocument::fromJson(run({"status", "--json"}).second).object();
    }
    void launch(const QStringList& arguments)
    {
        m_main = std::make_unique<QProcess>();
        m_main->start(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments);
        QTRY_VERIFY_WITH_TIMEOUT(status().value("ok").toBool(), LimitMs);
    }
    // A daemon that crashes (and is restarted) every 0.7 s, and a long Sync process.
    void writeApp(const QString& autostart = QString()) const
    {
        const char* const processes[] = {"daemon\nrestart-on-crash=true\nrestart-limit="
                                         "1000\narguments=--write, %1, --delay, 0.7, --crash",
                                         "sync\narguments=--write, %1, --delay, 300"};
        QString app;
        for (int i = 0; i < 2; ++i)
            app += QString("[process-%1]\nexec=%2\nlibrary-paths=%3\nmode=%4\n")
                       .arg(QString::number(i), helperPath(), QFileInfo(helperPath()).path(),
                            QString(processes[i]).arg(m_marker));
        QVERIFY(writeFile(home() + "/Orvalen/launcher/apps/app.ini", app.toUtf8()) &&
                writeFile(home() + "/Orvalen/launcher/launcher.ini",
                          "[autostart]\ntimeout=600\ntile=" + autostart.toUtf8()));
    }
    // A pipeline file of test-helper processes, one group's rest each; every
    // child carries the marker.
    bool writePipeline(const QString& name, const QStringList& processes) const
    {
        QString text;
        for (int i = 0; i < processes.size(); ++i)
            text += QString("[process-%1]\nexec=%2\n%3\n")
                        .arg(QString::number(i), helperPath(),
                             QString(processes.at(i)).replace("MARKER", m_marker));
        return writeFile(home() + "/Orvalen/launcher/apps/" + name + ".ini", text.toUtf8());
    }
    QJsonArray processes() const { return status().value("pipeline")["processes"].toArray(); }
    // Both processes run, their pids are the test's children, the daemon has crashed.
    bool pidsMatch() const
    {
        const QJsonArray processes = status().value("pipeline")["processes"].toArray();
        bool match = processes.size() == 2 && processes.at(0)["restarts"].toInt() >= 2 &&
                     processes.at(0)["lastExit"]["signal"].toInt() == SIGKILL;
        for (const QJsonValue& process : processes)
            match = match && process["state"] == "running" &&
                    ProcFs::commandLine(process["pid"].toVariant().toLongLong()).contains(m_marker);
        return match;
    }
    // A command as the user's service (no $XDG_RUNTIME_DIR: the folder its
    // unit makes), a login (the runtime folder of the user's service manager)
    // or a shell without a runtime folder, in a mount namespace with a /run of
    // the test's own, so that no real service is touched. The first command
    // makes the namespace, the others enter the launcher's.
    QStringList inNamespace(const QString& role, const QStringList& arguments) const
    {
        const QString uid = QString::number(::geteuid());
        QString setUp;
        QStringList command{"nsenter", "--target", QString::number(m_main->processId()), "--mount"};
        if (m_main->state() == QProcess::NotRunning) {
            setUp = "mount -t tmpfs -o mode=0755 tmpfs /run && mkdir -p -m 0700 /run/user/" + uid +
                    " && ";
            command = QStringList{"unshare", "--mount", "--propagation", "private"};
        }
        if (role == "service" && arguments.value(0) == "serve")
            setUp += QString("mkdir -p /run/Orvalen/launcher && mkdir -p -m 0700 "
                             "/run/Orvalen/launcher/%1 && ")
                         .arg(QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
        const QString environment =
            role == "login" ? "XDG_RUNTIME_DIR=/run/user/" + uid : "-u XDG_RUNTIME_DIR";
        return command + QStringList{"sh",
                                     "-c",
                                     setUp + "exec env " + environment + " \"$@\"",
                                     "sh",
                                     LAUNCHER_PROGRAM,
                                     "--data-home",
                                     home()} +
               arguments;
    }
    Result runInNamespace(const QString& role, const QStringList& arguments) const
    {
        const QStringList command = inNamespace(role, arguments);
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(command.first(), command.mid(1));
        client.waitForFinished(LimitMs);
        return {client.exitCode(), client.readAll()};
    }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        // Private, as a login's runtime folder.
        QVERIFY(QDir().mkpath(m_root->filePath("run")) &&
                QFile::setPermissions(m_root->filePath("run"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_root->filePath("run")));
        QVERIFY(QDir().mkpath(home()));
        m_marker = QStringLiteral("control-%1").arg(QRandomGenerator::global()->generate());
        m_main = std::make_unique<QProcess>();
    }
    void cleanup()
    {
        if (m_main->state() != QProcess::NotRunning) {
            m_main->kill();
            m_main->waitForFinished(LimitMs);
        }
        const QList<qint64> leftovers = markedProcesses(m_marker);
        for (const qint64 pid : leftovers)
            ::kill(pid_t(pid), SIGKILL);
        QVERIFY2(leftovers.isEmpty(), "a child outlived the launcher");
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void superviseFromAnotherShell()
    {
        QCOMPARE(run({"status"}).first, 3);
        writeApp();
        launch({"serve"});
        // Owner only: the user flags are the owner's, as the test owns them.
        QCOMPARE(int(QFileInfo(folder()).permissions()) & 0x7777, 0x7700);
        QCOMPARE(int(QFileInfo(folder() + "/control").permissions()) & 0x7777, 0x6600);
        const Result second = run({"serve"});
        QVERIFY(second.first == 1 &&
                second.second.contains(" " + QByteArray::number(m_main->processId())));
        QCOMPARE(run({"start", "app"}).first, 0);
        // Evaluated more than once: a match must stay, though the daemon crashes on.
        bool matched = false;
        QTRY_VERIFY_WITH_TIMEOUT(matched = matched || pidsMatch(), LimitMs);
        QCOMPARE(run({"start", "app"}),
                 Result(1, "launcher: 'app' was not started\n  - 'app' is running\n"));
        QCOMPARE(run({"stop", "--timeout", "1"}), Result(0, "'app' has stopped.\n"));
        QVERIFY(markedProcesses(m_marker).isEmpty());
        ::kill(pid_t(m_main->processId()), SIGTERM);
        QVERIFY(m_main->waitForFinished(LimitMs) && m_main->exitCode() == 143 &&
                !QFileInfo::exists(folder() + "/control"));
    }

    // `logs -f` goes on in the file made anew after its log was moved away,
    // and misses no line; status names the file that the run writes.
    void followLogAcrossMove()
    {
        QVERIFY(writeFile(home() + "/Orvalen/launcher/apps/app.ini",
                          QString("[process-0]\nexec=%1\nmode=sync\narguments=--write, %2, "
                                  "--delay, 1, --write, one, --delay, 2, --write, two, --delay, "
                                  "1, --write, three, --delay, 300\n")
                              .arg(helperPath(), m_marker)
                              .toUtf8()));
        launch({"serve"});
        QCOMPARE(run({"start", "app"}).first, 0);
        const QString log = home() + "/Orvalen/launcher/logs/app-" +
                            QDate::currentDate().toString(Qt::ISODate) + ".log";
        QCOMPARE(status().value("pipeline")["log"].toString(), log);
        QProcess follower;
        follower.start(LAUNCHER_PROGRAM, {"--data-home", home(), "logs", "-f", "app"});
        QByteArray out;
        const auto until = [&](const QByteArray& text) {
            return QTest::qWaitFor(
                [&] { return (out += follower.readAllStandardOutput()).contains(text); }, LimitMs);
        };
        const bool moved = until("] one\n") && QFile::rename(log, log + ".old");
        const bool followed = moved && until("] three\n");
        follower.kill();
        follower.waitForFinished(LimitMs);
        QVERIFY2(followed, out.constData());
        QVERIFY(QFileInfo(log).exists() && out.indexOf("] one\n") < out.indexOf("] two\n") &&
                out.indexOf("] two\n") < out.indexOf("] three\n"));
        QCOMPARE(run({"stop", "--timeout", "1"}).first, 0);
    }

    // The front end job, started over the socket a killed launcher left.
    void countdownStaleSocketAndBadClients()
    {
        launch({"serve"});
        m_main->kill();
        QVERIFY(m_main->waitForFinished(LimitMs) && QFileInfo::exists(folder() + "/control"));
        writeApp("app");
        launch({});

        const QByteArray requests[] = {"garbage\n", "[1]\n", "{\"command\":\"nope\"}\n",
                                       QByteArray(70000, 'x'), "{\"comm"};
        for (const QByteArray& request : requests) {
            QLocalSocket client;
            client.connectToServer(folder() + "/control");
            QVERIFY(client.waitForConnected(LimitMs) && client.write(request) > 0 &&
                    client.waitForBytesWritten(LimitMs));
            if (request.endsWith('\n') || request.size() > 65536) {
                QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), LimitMs);
                const QJsonObject reply = QJsonDocument::fromJson(client.readLine()).object();
                QVERIFY(reply["ok"] == false && !reply["error"].toString().isEmpty());
            }
            // Closed at once, or it stays open while the launcher answers others.
            QVERIFY(status().value("ok").toBool());
        }
        // The countdown of 600 s has just begun.
        QCOMPARE((status().value("autostart")["remaining"].toInt() + 99) / 100, 6);
        QCOMPARE(run({"cancel"}).second, QByteArray("Autostart cancelled.\n"));
        // The front end job has nothing left to do.
        QVERIFY(m_main->waitForFinished(LimitMs) && m_main->exitCode() == 0);
    }

    // Idle clients fill every place: a new one is answered at once, in the
    // place of the one idle longest that has sent nothing, and the launcher
    // says why it closed that one.
    void idleClientsMakeRoom()
    {
        launch({"serve"});
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        const auto connectIdle = [&]() {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(folder() + "/control");
            return idle.back()->waitForConnected(LimitMs);
        };
        // The first is part way through a request; a status afterwards shows
        // that the launcher has taken it and the others in.
        QVERIFY(connectIdle() && idle[0]->write("{\"command\":") > 0 &&
                idle[0]->waitForBytesWritten(LimitMs));
        for (int i = 1; i < 63; ++i)
            QVERIFY(connectIdle());
        QVERIFY(status().value("ok").toBool());
        QVERIFY(connectIdle());

        QElapsedTimer answered;
        answered.start();
        QCOMPARE(run({"status"}).first, 0);
        QVERIFY2(answered.elapsed() < 5000, qPrintable(QString::number(answered.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(idle[1]->state(), QLocalSocket::UnconnectedState, LimitMs);
        for (int i = 2; i < 64; ++i)
            QCOMPARE(idle[i]->state(), QLocalSocket::ConnectedState);
        QVERIFY(idle[0]->write("\"status\"}\n") > 0);
        QTRY_VERIFY_WITH_TIMEOUT(idle[0]->canReadLine(), LimitMs);
        QVERIFY(QJsonDocument::fromJson(idle[0]->readLine()).object().value("ok").toBool());
        m_main->terminate();
        QVERIFY(m_main->waitForFinished(LimitMs));
        const QByteArray trace = m_main->readAllStandardError();
        QVERIFY2(trace.contains("warning: Closed the control connection of pid " +
                                QByteArray::number(QCoreApplication::applicationPid()) +
                                ", idle for ") &&
                     !trace.contains("Refused"),
                 trace);
    }

    void serviceAndLogin_data()
    {
        QTest::addColumn<QString>("first");  // the role of the launcher that serves
        QTest::addColumn<QString>("second"); // the role of the next command, and the command
        QTest::addColumn<int>("exitCode");
        QTest::newRow("a shell finds the service") << "service"
                                                   << "bare status" << 0;
        QTest::newRow("a login's main job refuses while the service runs") << "service"
                                                                           << "login" << 1;
        QTest::newRow("the service refuses while a login's main job runs") << "login"
                                                                           << "service serve" << 1;
        QTest::newRow("a shell finds a login's launcher") << "login"
                                                          << "bare status" << 0;
    }

    // The user's service and a login of the same user, each with its own
    // runtime folder: a shell without one finds the launcher that runs, and
    // a second launcher refuses, naming the first.
    void serviceAndLogin()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(int, exitCode);
        if (QProcess::execute("unshare", {"--mount", "true"}) != 0)
            QSKIP("no mount namespace can be made here (unshare --mount)");
        const QStringList command = inNamespace(first, {"serve"});
        m_main->start(command.first(), command.mid(1));
        QTRY_VERIFY_WITH_TIMEOUT(runInNamespace(first, {"status"}).first == 0, LimitMs);
        // Each where its clients look first.
        const QString socket =
            first == "service"
                ? QString("/run/Orvalen/launcher/%1/control").arg(::getpwuid(::geteuid())->pw_name)
                : QString("/run/user/%1/Orvalen/launcher/control").arg(::geteuid());
        QCOMPARE(QProcess::execute("nsenter", {"--target", QString::number(m_main->processId()),
                                               "--mount", "test", "-S", socket}),
                 0);
        const QStringList next = second.split(' ');
        const Result result = runInNamespace(next.first(), next.mid(1));
        QVERIFY2(result.first == exitCode &&
                     result.second.contains("pid " + QByteArray::number(m_main->processId())),
                 result.second);
    }

    void reload_data()
    {
        QTest::addColumn<QString>("file");    // changed while the launcher runs a.ini (v1)
        QTest::addColumn<QString>("content"); // a version to run, a text as it stands, "-": removed
        QTest::addColumn<bool>("reload"); // `reload` before `start`, which reads the files itself
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("runs"); // the version that runs; empty: the start is refused
        QTest::addColumn<QString>("output");

        QTest::newRow("new file starts") << "b"
                                         << "v2" << false << "b"
                                         << "v2"
                                         << "";
        QTest::newRow("edited runs as edited") << "a"
                                               << "v2" << false << "a"
                                               << "v2"
                                               << "";
        QTest::newRow("removed cannot start") << "a"
                                              << "-" << false << "a"
                                              << ""
                                              << "unknown application 'a'";
        QTest::newRow("unreadable is reported, others stay")
            << "b"
            << "[process-0\n"
            << true << "a"
            << "v1"
            << "b.ini': [process-0]: line 1: the group has no closing ']'";
    }

    void reload()
    {
        QFETCH(QString, file);
        QFETCH(QString, content);
        QFETCH(bool, reload);
        QFETCH(QString, app);
        QFETCH(QString, runs);
        QFETCH(QString, output);
        const auto version = [](const QString& v) {
            return QStringList{"mode=sync\narguments=--write, MARKER-" + v + ", --delay, 300"};
        };
        QVERIFY(writePipeline("a", version("v1")));
        launch({"serve"});
        const QString path = home() + "/Orvalen/launcher/apps/" + file + ".ini";
        QVERIFY(content == "-"            ? QFile::remove(path)
                : content.startsWith('[') ? writeFile(path, content.toUtf8())
                                          : writePipeline(file, version(content)));
        if (reload) {
            const Result reloaded = run({"reload"});
            QVERIFY2(reloaded.first == 1 && reloaded.second.contains(output.toUtf8()),
                     reloaded.second);
        }
        const Result started = run({"start", app});
        QVERIFY2(started.first == (runs.isEmpty() ? 1 : 0) &&
                     (reload || started.second.contains(output.toUtf8())),
                 started.second);
        if (runs.isEmpty())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(processes().at(0)["arguments"][1].toString(),
                                  m_marker + "-" + runs, LimitMs);
        QCOMPARE(status().value("pipeline")["application"].toString(), app);
        QCOMPARE(run({"stop", "--timeout", "1"}).first, 0);
    }

    void restartProcess_data()
    {
        QTest::addColumn<QString>("daemon"); // the arguments of process 0, after the marker
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("ended"); // how the instance before the restart ended

        // Asked once, it ends half a second later with code 0.
        const QString running = "--count-term, $COUNT, --delay, 300";
        QTest::newRow("running") << running << "app/0" << 0 << ""
                                 << R"({"code":0})";
        // A restart limit of 1 restarts no crash: the first one is final.
        QTest::newRow("given up") << "--delay, 0.3, --crash"
                                  << "app/0" << 0 << ""
                                  << R"({"signal":9})";
        QTest::newRow("killed when it ignores the request") << "--ignore-term, --delay, 300"
                                                            << "app/0" << 0 << ""
                                                            << R"({"signal":9})";
        QTest::newRow("no such process") << running << "app/2" << 1 << "has no process 2"
                                         << "";
        QTest::newRow("another application")
            << running << "other/0" << 1 << "'other' is not running ('app' is)"
            << "";
        QTest::newRow("no index") << running << "app" << 2 << "restart needs APP/N"
                                  << "";
    }

    // The other process keeps its pid; the restarted one ran before and runs anew.
    void restartProcess()
    {
        QFETCH(QString, daemon);
        QFETCH(QString, target);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QString, ended);
        const QString count = m_root->filePath("terms");
        // Required, so that an end on the way that counted as a failure would show.
        const bool givenUp = daemon.contains("--crash");
        QVERIFY(writePipeline(
            "app", {QString("mode=daemon\nrequired=%1\nrestart-on-crash=true\nrestart-limit=1\n"
                            "arguments=--write, MARKER, %2")
                        .arg(givenUp ? "false" : "true", QString(daemon).replace("$COUNT", count)),
                    "mode=sync\narguments=--write, MARKER, --delay, 300"}));
        launch({"--stop-timeout", "1", "serve"});
        QCOMPARE(run({"start", "app"}).first, 0);
        QTRY_VERIFY_WITH_TIMEOUT(processes().size() == 2 &&
                                     processes().at(1)["state"] == "running" &&
                                     (givenUp ? processes().at(0)["givenUp"].toBool()
                                              : processes().at(0)["state"] == "running"),
                                 LimitMs);
        const QJsonArray before = processes();

        const Result restarted = run({"restart", target});
        QVERIFY2(restarted.first == exitCode && restarted.second.contains(output.toUtf8()),
                 restarted.second);
        if (exitCode == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(processes().at(0)["restarts"].toInt(), 1, LimitMs);
            const qint64 old = before.at(0)["pid"].toVariant().toLongLong();
            QVERIFY(processes().at(0)["pid"].toVariant().toLongLong() != old);
            QVERIFY(!ProcFs::commandLine(old).contains(m_marker));
            QCOMPARE(QJsonDocument(processes().at(0)["lastExit"].toObject())
                         .toJson(QJsonDocument::Compact),
                     ended.toUtf8());
            QCOMPARE(fileContent(count), QByteArray(daemon.contains("$COUNT") ? "T" : ""));
        }
        QCOMPARE(processes().at(1)["pid"], before.at(1)["pid"]);
        QCOMPARE(processes().at(1)["state"], "running");
        QCOMPARE(run({"stop", "--timeout", "1"}).first, 0);
    }

    void lastResult_data()
    {
        QTest::addColumn<QString>("arguments"); // of the one required process
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("exitCode"); // of the process that failed it; -1: none did
        QTest::addColumn<QString>("text");

        QTest::newRow("failure") << "--exit, 3" << false << "failed"
                                 << "RequiredProcessFailure" << 3
                                 << "Last: app failed (RequiredProcessFailure) at ";
        QTest::newRow("stop") << "--delay, 300" << true << "stopped"
                              << "" << -1 << "Last: app was stopped on request at ";
    }

    void lastResult()
    {
        QFETCH(QString, arguments);
        QFETCH(bool, stop);
        QFETCH(QString, outcome);
        QFETCH(QString, failure);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        QVERIFY(writePipeline(
            "app", {"mode=sync\nrequired=true\narguments=--write, MARKER, " + arguments}));
        launch({"serve"});
        QVERIFY(status().value("lastResult").isNull());
        QCOMPARE(run({"start", "app"}).first, 0);
        if (stop) {
            QTRY_COMPARE_WITH_TIMEOUT(processes().at(0)["state"], "running", LimitMs);
            QCOMPARE(run({"stop"}).first, 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(status().value("pipeline").isNull(), LimitMs);
        const QJsonObject result = status().value("lastResult").toObject();
        QCOMPARE(result["application"], "app");
        QCOMPARE(result["outcome"].toString(), outcome);
        QCOMPARE(result["failure"].toString(), failure);
        QCOMPARE(result["process"]["lastExit"]["code"].toInt(-1), exitCode);
        QVERIFY(result["finishedAt"].toString() >= result["startedAt"].toString());
        const Result shown = run({"status"});
        QVERIFY2(shown.second.contains("Nothing is running.\n" + text.toUtf8()), shown.second);
    }
};

LAUNCHER_TEST(TestControl)
#include "TestControl.moc"
