// The control socket of the real `launcher`: `serve` on a temporary runtime
// folder and the commands of other shells.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/ProcFs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <memory>
#include <optional>

namespace {

const int LimitMs = 60000;

// How often the threads of a process were switched in (each a wake-up).
qint64 wakeUps(qint64 pid)
{
    qint64 count = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QByteArray& line : fileContent(tasks + '/' + task + "/status").split('\n')) {
            if (line.contains("ctxt_switches:"))
                count += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return count;
}

// When the launcher wrote its metrics file, as the file says; 0 for none.
double writtenAt(const QByteArray& text)
{
    static const QRegularExpression line("^launcher_metrics_written_timestamp_seconds (\\S+)$",
                                         QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(text)).captured(1).toDouble();
}

using Result = std::pair<int, QByteArray>; // exit code, output

const struct
{
    const char* name;
    const char* daemon; // the arguments of process 0, after the marker
    const char* target;
    int exitCode;
    const char* output;
    const char* ended; // how the instance before the restart ended
} RestartCases[] = {
    // Asked once, it ends half a second later with code 0.
    {"running", "--count-term, COUNT, --delay, 300", "app/0", 0, "", R"({"code":0})"},
    // A restart limit of 1 restarts no crash: the first one is final.
    {"given up", "--delay, 0.3, --crash", "app/0", 0, "", R"({"signal":9})"},
    {"no such process", "--delay, 300", "app/2", 1, "has no process 2", ""},
};

// A request during the countdown for a (600 s) of a serving or a plain
// launcher: launcher.ini and a.ini are changed first. Each process writes its word.
const struct
{
    const char* name;
    const char* settings; // [autostart] of launcher.ini after the change
    const char* a;        // the word of a.ini after the change
    const char* request;  // reload, or start b, which reads the files too
    bool plain;           // a plain launcher: it ends after what it runs
    int exitCode;         // of the request
    const char* runs;     // the word of what runs then; "": nothing
} CountdownReloads[] = {
    {"switch the tile", "tile=b\ntimeout=1", "a2", "reload", false, 0, "b"},
    {"autostart off", "tile=\ntimeout=1", "a2", "reload", false, 0, ""},
    {"application not valid", "tile=a\ntimeout=1", "a2\nmode=synch\nrequired=no", "reload", false,
     1, ""},
    // The start's own reading of the files cancels the countdown: the
    // launcher stays for the start.
    {"start, autostart off, plain launcher", "tile=\ntimeout=1", "a2", "start b", true, 0, "b"},
};

const char* const BadTimeout =
    R"({"error":"timeout: not a number of seconds from 0 to 86400","ok":false})";

// Requests that a launcher refuses, each with its whole reply; what follows a
// refusal is still answered, and other clients too.
const struct
{
    const char* name;
    QByteArray request; // sent with a line feed, unless the launcher closes the connection
    const char* reply;  // the reply's line
    bool closed;        // the launcher closes the connection after it
} Refusals[] = {
    {"timeout not a number", R"({"command":"stop","timeout":"abc"})", BadTimeout, false},
    {"timeout null", R"({"command":"stop","timeout":null})", BadTimeout, false},
    {"unknown command", R"({"command":"halt"})", R"({"error":"unknown command 'halt'","ok":false})",
     false},
    {"not an object", "[1]", R"({"error":"not a JSON object","ok":false})", false},
    // No line feed yet, and already too long for a request.
    {"longer than a line may be", QByteArray(64 * 1024 + 1, 'x'),
     R"({"error":"request longer than 65536 bytes","ok":false})", true},
};

} // namespace

class TestControl : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QProcess> m_main;      // the launcher under test
    std::optional<ProcessMarker> m_marker; // on the command line of every child

    QString home() const { return m_root->filePath("home"); }
    QString folder() const { return m_root->filePath("run/Orvalen/launcher"); }

    // The exit code and output (both streams) of the launcher.
    Result run(const QStringList& arguments) const
    {
        return runProgram(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments,
                          LimitMs);
    }
    QJsonObject status() const
    {
        return QJsonDocument::fromJson(run({"status", "--json"}).second).object();
    }
    QJsonArray processes() const { return status().value("pipeline")["processes"].toArray(); }
    void launch(const QStringList& arguments)
    {
        m_main->start(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments);
        QTRY_VERIFY_WITH_TIMEOUT(status().value("ok").toBool(), LimitMs);
    }
    // A pipeline file of test-helper processes, one group's rest each; MARKER
    // stands for the marker, which every child carries.
    bool writeApp(const QString& name, const QStringList& processes) const
    {
        QString text;
        for (int i = 0; i < processes.size(); ++i)
            text += QString("[process-%1]\n%2\n%3\n")
                        .arg(QString::number(i),
                             processes.at(i).contains("exec=") ? "" : "exec=" + helperPath(),
                             QString(processes.at(i)).replace("MARKER", m_marker->text()));
        return writeFile(home() + "/Orvalen/launcher/apps/" + name + ".ini", text.toUtf8());
    }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        // Private, as a login's runtime folder.
        QVERIFY(QDir().mkpath(home()) && makePrivateFolder(m_root->filePath("run")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_root->filePath("run")));
        m_marker.emplace();
        m_main = std::make_unique<QProcess>();
    }
    // The launcher's children end with it, however it ends.
    void cleanup()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        m_main->kill();
        m_main->waitForFinished(LimitMs);
        QVERIFY2(m_marker->noneLeft(), "a child outlived the launcher");
    }

    // Another shell starts, stops and asks about what the launcher runs; a
    // stop is done only when what a crashed instance left is gone too; a
    // start reads the files anew; the last result says what failed.
    void superviseFromAnotherShell()
    {
        QCOMPARE(run({"status"}).first, 3);
        // A daemon that crashes (and is restarted) every 0.7 s, leaving a
        // child that ignores the termination request, and a long Sync
        // process; a daily restart in half a day.
        const QDateTime restartAt = QDateTime::currentDateTime().addSecs(12 * 3600);
        QVERIFY(writeApp("app", {"label=chimes\nmode=daemon\nrestart-on-crash=true\n"
                                 "restart-limit=1000\n"
                                 "exec=/bin/sh\nlibrary-paths=/bin, /usr/bin\narguments=-c, "
                                 "\"(trap '' TERM; exec sleep MARKER) & sleep 0.7; kill -9 $$\"",
                                 "mode=sync\narguments=--write, MARKER, --delay, 300\n[pipeline]\n"
                                 "restart-at=" +
                                     restartAt.toString("HH:mm")}));
        // The metrics file is written every interval, changed or not.
        const QString textfile = m_root->filePath("metrics/launcher.prom");
        QVERIFY(QDir().mkpath(m_root->filePath("metrics")) &&
                writeFile(home() + "/Orvalen/launcher/launcher.ini",
                          "[metrics]\ntextfile=" + textfile.toUtf8() + "\ninterval=2\n"));
        launch({"--stop-timeout", "1", "serve"});
        // Owner only: the user flags are the owner's, as the test owns them.
        QVERIFY((QFileInfo(folder()).permissions() & 0x7777) == 0x7700 &&
                (QFileInfo(folder() + "/control").permissions() & 0x7777) == 0x6600);
        QCOMPARE(run({"start", "app"}).first, 0);
        // Both run; the daemon has crashed and runs anew.
        QTRY_VERIFY_WITH_TIMEOUT(processes().size() == 2 &&
                                     processes().at(0)["restarts"].toInt() >= 2 &&
                                     processes().at(0)["lastExit"]["signal"] == SIGKILL,
                                 LimitMs);
        QCOMPARE(run({"start", "app"}),
                 Result(1, "launcher: 'app' was not started\n  - 'app' is running\n"));
        // The metrics of a crashing daemon, asked for and as written to the
        // file, whole as the backend has it (its text: TestBackendFrontend).
        const Result metrics = run({"metrics"});
        const QByteArray restarts = "restarts_total{app=\"app\",process=\"0\"} ";
        QVERIFY2(metrics.first == 0 && metrics.second.startsWith("# HELP ") &&
                     metrics.second.endsWith("\n") && metrics.second.contains(restarts),
                 metrics.second);
        QTRY_VERIFY_WITH_TIMEOUT(fileContent(textfile).contains(restarts), LimitMs);
        // The memory of a process without a cap is looked at when asked for.
        QVERIFY(processes().at(1)["memory"].toDouble() > 0 &&
                processes().at(0)["name"] == "chimes");
        const QByteArray shown = run({"status"}).second;
        QVERIFY2(shown.contains("  0  chimes  ") &&
                     shown.contains("Daily restart: next at " +
                                    restartAt.toString("yyyy-MM-dd hh:mm").toUtf8()),
                 shown);

        QCOMPARE(run({"stop", "--timeout", "5"}), Result(0, "'app' has stopped.\n"));
        QVERIFY(m_marker->processes().isEmpty());
        QVERIFY(run({"status"}).second.contains("Last: app was stopped on request at "));
        // Nothing runs, nothing is watched: the launcher wakes to write the
        // metrics file anew each interval (2 s), its time moving while nothing
        // else does, and sleeps through the second after each write (a
        // minute's look at the date aside); a timer left running, or a second
        // write, would wake it within that second.
        double written = writtenAt(fileContent(textfile));
        bool quiet = false;
        for (int write = 0; write < 10 && !quiet; ++write) {
            QTRY_VERIFY_WITH_TIMEOUT(writtenAt(fileContent(textfile)) > written, LimitMs);
            written = writtenAt(fileContent(textfile));
            const qint64 before = wakeUps(m_main->processId());
            QTest::qWait(1000);
            quiet = wakeUps(m_main->processId()) == before &&
                    writtenAt(fileContent(textfile)) == written;
        }
        QVERIFY(quiet);

        // A file written since the launcher began: its daemon is never ready.
        QVERIFY(writeApp("gate", {"label=gate keeper\nmode=async\nrequired=true\n"
                                  "ready=file:/nonexistent\nready-timeout=3\n"
                                  "arguments=--write, MARKER, --delay, 300",
                                  "mode=sync\narguments=--delay, 300"}));
        QCOMPARE(run({"start", "gate"}).first, 0);
        QTRY_VERIFY_WITH_TIMEOUT(status().value("pipeline").isNull(), LimitMs);
        const QByteArray last = run({"status"}).second;
        QVERIFY2(last.contains("Last: gate failed (RequiredProcessFailure) at ") &&
                     last.contains("\n  because process 0 (gate keeper) was not ready within 3 "
                                   "s: file /nonexistent\n"),
                 last);
        signalProcess(*m_main, SIGTERM);
        QVERIFY(m_main->waitForFinished(LimitMs) && m_main->exitCode() == 143 &&
                !QFileInfo::exists(folder() + "/control") && !QFileInfo::exists(textfile));
    }

    // A launcher that is killed (as the OOM killer does) cannot remove its
    // metrics file: the next launcher replaces what it left right after it
    // starts, not an interval later (here far longer than the test waits).
    void metricsFileOfAKilledLauncher()
    {
        const QString textfile = m_root->filePath("metrics/launcher.prom");
        const QByteArray running = "launcher_pipeline_running{app=\"app\"} 1\n";
        QVERIFY(writeFile(textfile, running + "launcher_metrics_written_timestamp_seconds 1\n") &&
                writeFile(home() + "/Orvalen/launcher/launcher.ini",
                          "[metrics]\ntextfile=" + textfile.toUtf8() + "\ninterval=3600\n"));
        launch({"serve"});
        QTRY_VERIFY_WITH_TIMEOUT(writtenAt(fileContent(textfile)) > 1, LimitMs);
        const QByteArray replaced = fileContent(textfile);
        QVERIFY2(!replaced.contains(running) &&
                     replaced.contains("\nlauncher_metrics_interval_seconds 3600\n"),
                 replaced);
    }

    void refusedRequests_data() { addRows(Refusals); }

    void refusedRequests()
    {
        const auto& row = currentRow(Refusals);
        launch({"serve"});
        QLocalSocket client;
        client.connectToServer(folder() + "/control");
        QVERIFY(client.waitForConnected(LimitMs));
        const auto reply = [&client](const QByteArray& request) {
            client.write(request);
            while (!client.canReadLine() && client.waitForReadyRead(LimitMs)) {
            }
            return client.readLine().trimmed();
        };
        QCOMPARE(reply(row.request + (row.closed ? "" : "\n")), QByteArray(row.reply));
        if (row.closed)
            QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, LimitMs);
        else
            QVERIFY(reply("{\"command\":\"cancel\"}\n").startsWith("{\"cancelled\""));
        QCOMPARE(run({"status"}).first, 0);
    }

    void reloadDuringCountdown_data() { addRows(CountdownReloads); }

    // What the countdown starts is what the files say after the reload, and
    // a file with errors fails the reload, naming them as check does.
    void reloadDuringCountdown()
    {
        const auto& row = currentRow(CountdownReloads);
        const QString data = home() + "/Orvalen/launcher";
        const QString process = "mode=sync\narguments=--write, MARKER, --delay, 300, --write, ";
        QVERIFY(writeApp("a", {process + "a1"}) && writeApp("b", {process + "b"}) &&
                writeFile(data + "/launcher.ini", "[autostart]\ntile=a\ntimeout=600\n"));
        launch(row.plain ? QStringList() : QStringList{"serve"});
        QVERIFY(writeFile(data + "/launcher.ini", QByteArray("[autostart]\n") + row.settings) &&
                writeApp("a", {process + row.a}));
        const Result reloaded = run(QString(row.request).split(' '));
        QCOMPARE(reloaded.first, row.exitCode);
        // Each error as check words it.
        for (const QByteArray& line : run({"check", data + "/apps/a.ini"}).second.split('\n'))
            QVERIFY(!line.startsWith("    - error: ") ||
                    reloaded.second.contains("a.ini': error: " + line.mid(13) + '\n'));
        if (*row.runs)
            QTRY_VERIFY_WITH_TIMEOUT(processes().size() == 1 &&
                                         processes().at(0)["arguments"].toArray().last() ==
                                             row.runs,
                                     LimitMs);
        else
            QVERIFY(status().value("autostart").isNull() && status().value("pipeline").isNull());
    }

    void restartProcess_data() { addRows(RestartCases); }

    // The other process keeps its pid; the restarted one ran before and runs anew.
    void restartProcess()
    {
        const auto& row = currentRow(RestartCases);
        const QString count = m_root->filePath("terms");
        // Required, so that an end on the way that counted as a failure would show.
        const bool givenUp = QString(row.daemon).contains("--crash");
        QVERIFY(writeApp("app", {QString("mode=daemon\nrequired=%1\nrestart-on-crash=true\n"
                                         "restart-limit=1\narguments=--write, MARKER, %2")
                                     .arg(givenUp ? "false" : "true",
                                          QString(row.daemon).replace("COUNT", count)),
                                 "mode=sync\narguments=--write, MARKER, --delay, 300"}));
        launch({"--stop-timeout", "1", "serve"});
        QCOMPARE(run({"start", "app"}).first, 0);
        QTRY_VERIFY_WITH_TIMEOUT(processes().size() == 2 &&
                                     processes().at(1)["state"] == "running" &&
                                     (givenUp ? processes().at(0)["givenUp"].toBool()
                                              : processes().at(0)["state"] == "running"),
                                 LimitMs);
        // A crash ends the window of one: given up after it, in words.
        QVERIFY(!givenUp || run({"status"}).second.contains("  given up after 1 crash  "));
        const QJsonArray before = processes();
        const Result restarted = run({"restart", row.target});
        QVERIFY2(restarted.first == row.exitCode && restarted.second.contains(row.output),
                 restarted.second);
        if (row.exitCode == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(processes().at(0)["restarts"].toInt(), 1, LimitMs);
            const qint64 old = before.at(0)["pid"].toVariant().toLongLong();
            QVERIFY(processes().at(0)["pid"].toVariant().toLongLong() != old &&
                    !ProcFs::commandLine(old).contains(m_marker->text()));
            QCOMPARE(QJsonDocument(processes().at(0)["lastExit"].toObject())
                         .toJson(QJsonDocument::Compact),
                     QByteArray(row.ended));
        }
        QCOMPARE(processes().at(1)["pid"], before.at(1)["pid"]);
        QCOMPARE(processes().at(1)["state"], "running");
    }
};

LAUNCHER_TEST(TestControl)
#include "TestControl.moc"
