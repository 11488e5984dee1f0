// The console front end `launcher`, run as a program on temporary data folders:
// what it lists and checks, its exit statuses, and how it stops a pipeline on
// an interrupt or when a process ignores the termination request.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

// Comfortably above what any run here needs, far below the children's delays.
const int RunLimitMs = 30000;

QString helperPath()
{
    return QStringLiteral("%1/test-helper").arg(QCoreApplication::applicationDirPath());
}

struct Process
{
    QString mode;
    QStringList arguments;
    bool required = false;
    QString exec = helperPath();
};

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// A data home whose launcher folder holds launcher.ini and apps/.
class DataHome
{
public:
    QString path() const { return m_dir.path(); }
    QString launcherFolder() const { return m_dir.path() + QStringLiteral("/Orvalen/launcher"); }
    QString appFile(const QString& basename) const
    {
        return QStringLiteral("%1/apps/%2.ini").arg(launcherFolder(), basename);
    }

    void writeSettings(const QString& tile, int timeout) const
    {
        QSettings settings(launcherFolder() + QStringLiteral("/launcher.ini"),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("autostart/tile"), tile);
        settings.setValue(QStringLiteral("autostart/timeout"), timeout);
    }

    void writeApp(const QString& basename, const QList<Process>& processes,
                  const QString& name = QString()) const
    {
        QSettings settings(appFile(basename), QSettings::IniFormat);
        if (!name.isEmpty())
            settings.setValue(QStringLiteral("ui/name"), name);
        for (int i = 0; i < processes.size(); ++i) {
            const Process& process = processes.at(i);
            settings.beginGroup(QStringLiteral("process-%1").arg(i));
            settings.setValue(QStringLiteral("exec"), process.exec);
            settings.setValue(QStringLiteral("arguments"), process.arguments);
            settings.setValue(QStringLiteral("mode"), process.mode);
            settings.setValue(QStringLiteral("required"), process.required);
            settings.endGroup();
        }
    }

private:
    QTemporaryDir m_dir;
};

QProcessEnvironment launcherEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // What the launcher was started with, and what its children must see.
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QStringLiteral("/original/data-home"));
    environment.remove(QStringLiteral("NO_COLOR"));
    return environment;
}

void startLauncher(QProcess& launcher, const DataHome& home, const QStringList& arguments)
{
    launcher.setProcessEnvironment(launcherEnvironment());
    launcher.start(QStringLiteral(LAUNCHER_PROGRAM),
                   QStringList{QStringLiteral("--data-home"), home.path()} + arguments);
    QVERIFY2(launcher.waitForStarted(), qPrintable(launcher.errorString()));
}

Result finish(QProcess& launcher, QByteArray out = QByteArray())
{
    Result result;
    if (!launcher.waitForFinished(RunLimitMs)) {
        launcher.kill();
        launcher.waitForFinished();
    }
    result.out = out + launcher.readAllStandardOutput();
    result.err = launcher.readAllStandardError();
    if (launcher.exitStatus() == QProcess::NormalExit)
        result.exitCode = launcher.exitCode();
    return result;
}

Result runLauncher(const DataHome& home, const QStringList& arguments)
{
    QProcess launcher;
    startLauncher(launcher, home, arguments);
    return finish(launcher);
}

// Reads the launcher's output until it holds the marker.
bool waitForOutput(QProcess& launcher, QByteArray& out, const QByteArray& marker)
{
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(marker) && timer.elapsed() < RunLimitMs) {
        if (!launcher.waitForReadyRead(100) && launcher.state() == QProcess::NotRunning)
            break;
        out += launcher.readAllStandardOutput();
    }
    return out.contains(marker);
}

// A child that writes its process id to a file; one that outlives its test
// (when the launcher failed to end it) is killed, so that it holds nothing up.
class ChildPid
{
public:
    explicit ChildPid(const QString& file) : m_file(file) {}
    ~ChildPid()
    {
        if (running())
            ::kill(pid(), SIGKILL);
    }

    QString file() const { return m_file; }
    bool written() const { return pid() > 0; }
    bool running() const { return written() && ::kill(pid(), 0) == 0; }

private:
    pid_t pid() const
    {
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        return pid_t(file.readAll().trimmed().toLongLong());
    }

    QString m_file;
};

QByteArray describe(const Result& result)
{
    return "exit " + QByteArray::number(result.exitCode) + "\n--- stdout\n" + result.out +
           "--- stderr\n" + result.err;
}

} // namespace

Q_DECLARE_METATYPE(Process)

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void list();
    void listJson();
    void check_data();
    void check();
    void run_data();
    void run();
    void runUnknownName();
    void usageErrors_data();
    void usageErrors();
    void mainJob_data();
    void mainJob();
    void daemonIgnoringTerminationIsKilled();
    void interruptRun_data();
    void interruptRun();
    void interruptCountdown();

private:
    // One valid application "good" (autostart) and one invalid "bad".
    void writeGoodAndBad(const DataHome& home) const
    {
        home.writeSettings(QStringLiteral("good"), 30);
        home.writeApp(QStringLiteral("good"), {{QStringLiteral("sync"), {}}},
                      QStringLiteral("Good app"));
        home.writeApp(QStringLiteral("bad"),
                      {{QStringLiteral("sync"), {}, false, QStringLiteral("/nonexistent/program")}},
                      QStringLiteral("Bad app"));
    }
};

void TestConsole::list()
{
    DataHome home;
    writeGoodAndBad(home);
    const Result result = runLauncher(home, {QStringLiteral("list")});
    QVERIFY2(result.exitCode == 0, describe(result));
    const QString out = QString::fromUtf8(result.out);
    const QRegularExpression good(QStringLiteral("good +Good app +1 process +valid +autostart"));
    QVERIFY2(out.contains(good), describe(result));
    QVERIFY2(out.contains(QRegularExpression(QStringLiteral("bad +Bad app +1 process +INVALID\n +"
                                                            "executable '/nonexistent/program' "
                                                            "does not exist\n"))),
             describe(result));
    // Listing starts nothing, not even after the countdown the settings ask for.
    QVERIFY(!QFileInfo::exists(home.launcherFolder() + QStringLiteral("/logs")));
}

void TestConsole::listJson()
{
    DataHome home;
    writeGoodAndBad(home);
    const Result result = runLauncher(home, {QStringLiteral("list"), QStringLiteral("--json")});
    QVERIFY2(result.exitCode == 0, describe(result));
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(result.out, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, describe(result));

    QCOMPARE(root.value(QStringLiteral("dataFolder")).toString(), home.launcherFolder());
    QCOMPARE(root.value(QStringLiteral("autostart")).toObject().value("application").toString(),
             QStringLiteral("good"));
    const QJsonArray applications = root.value(QStringLiteral("applications")).toArray();
    QCOMPARE(applications.size(), 2);
    const QJsonObject bad = applications.at(0).toObject();
    const QJsonObject good = applications.at(1).toObject();
    QCOMPARE(bad.value("basename").toString(), QStringLiteral("bad"));
    QCOMPARE(bad.value("valid").toBool(), false);
    QCOMPARE(bad.value("autostart").toBool(), false);
    QCOMPARE(bad.value("errors").toArray(),
             QJsonArray{QStringLiteral("executable '/nonexistent/program' does not exist")});
    QCOMPARE(good.value("name").toString(), QStringLiteral("Good app"));
    QCOMPARE(good.value("processes").toInt(), 1);
    QCOMPARE(good.value("valid").toBool(), true);
    QCOMPARE(good.value("autostart").toBool(), true);
    QCOMPARE(good.value("errors").toArray(), QJsonArray());
}

void TestConsole::check_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expected"); // patterns

    // Files: good and bad as written by writeGoodAndBad, odd with an unknown mode.
    QTest::newRow("valid") << QStringList{"good"} << 0
                           << QStringList{"mode: +sync\n", "\n  valid\n"};
    QTest::newRow("invalid") << QStringList{"bad"} << 1
                             << QStringList{"problems:",
                                            "- executable '/nonexistent/program' does not exist\n"};
    QTest::newRow("unknown mode shown")
        << QStringList{"odd"} << 1
        << QStringList{"mode: +daemon \\(Failed to parse 'Sometimes'",
                       "- \\[process-0\\] mode: Failed to parse 'Sometimes'\n",
                       "- pipeline must contain at least one non-daemon process.\n"};
    QTest::newRow("one of two invalid")
        << QStringList{"good", "bad"} << 1 << QStringList{"\n  valid\n", "problems:"};
    QTest::newRow("no such file") << QStringList{"missing"} << 1
                                  << QStringList{"missing.ini': no such file"};
    QTest::newRow("no file") << QStringList() << 2 << QStringList{"check needs"};
}

void TestConsole::check()
{
    QFETCH(QStringList, files);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);

    DataHome home;
    writeGoodAndBad(home);
    home.writeApp(QStringLiteral("odd"), {{QStringLiteral("Sometimes"), {}}});
    QStringList arguments{QStringLiteral("check")};
    for (const QString& file : files)
        arguments.append(home.appFile(file));

    const Result result = runLauncher(home, arguments);
    QVERIFY2(result.exitCode == exitCode, describe(result));
    const QString output = QString::fromUtf8(result.out + result.err);
    for (const QString& pattern : expected)
        QVERIFY2(output.contains(QRegularExpression(pattern)),
                 qPrintable(pattern + "\n" + describe(result)));
}

void TestConsole::run_data()
{
    QTest::addColumn<QList<Process>>("processes");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("logged");
    QTest::addColumn<QStringList>("expected");

    // The child's line comes through unquoted and unescaped, and the child
    // gets the launcher's own XDG_DATA_HOME, not the data home option's.
    QTest::newRow("succeeds")
        << QList<Process>{{QStringLiteral("sync"),
                           {QStringLiteral("--write"), QStringLiteral("say \"hi\" \\\\ there\\n"),
                            QStringLiteral("--print-env"), QStringLiteral("XDG_DATA_HOME")}}}
        << 0 << true
        << QStringList{"] say \"hi\" \\ there\n", "] XDG_DATA_HOME=/original/data-home\n",
                       "finished normally"};
    QTest::newRow("required process fails")
        << QList<Process>{{QStringLiteral("sync"),
                           {QStringLiteral("--exit"), QStringLiteral("3")},
                           true}}
        << 1 << true << QStringList{"'app' failed (RequiredProcessFailure)"};
    QTest::newRow("invalid pipeline refused")
        << QList<Process>{{QStringLiteral("daemon"), {}}} << 1 << false
        << QStringList{"'app' was not started",
                       "- pipeline must contain at least one non-daemon process."};
}

void TestConsole::run()
{
    QFETCH(QList<Process>, processes);
    QFETCH(int, exitCode);
    QFETCH(bool, logged);
    QFETCH(QStringList, expected);

    DataHome home;
    home.writeApp(QStringLiteral("app"), processes);
    const Result result = runLauncher(home, {QStringLiteral("run"), QStringLiteral("app")});
    QVERIFY2(result.exitCode == exitCode, describe(result));
    const QString out = QString::fromUtf8(result.out);
    for (const QString& text : expected)
        QVERIFY2(out.contains(text), qPrintable(text + "\n" + describe(result)));
    QVERIFY2(!out.contains(QLatin1String("\\\"")), describe(result));

    // A run that started ends by naming its log, which holds the run.
    const QRegularExpressionMatch logLine =
        QRegularExpression(QStringLiteral("Log file: (.*)\n")).match(out);
    QCOMPARE(logLine.hasMatch(), logged);
    if (logLine.hasMatch()) {
        QFile log(logLine.captured(1));
        QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(log.fileName()));
        QVERIFY(log.fileName().startsWith(home.launcherFolder() + QStringLiteral("/logs/app-")));
        QVERIFY(log.readAll().contains("Pipeline state changed to NotRunning"));
    }
}

void TestConsole::runUnknownName()
{
    DataHome home;
    writeGoodAndBad(home);
    const Result result = runLauncher(home, {QStringLiteral("run"), QStringLiteral("Good")});
    QVERIFY2(result.exitCode == 2, describe(result));
    QVERIFY2(result.err.contains("unknown application 'Good'; known applications: bad, good"),
             describe(result));
}

void TestConsole::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");

    QTest::newRow("help") << QStringList{"--help"} << 0 << "run NAME";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "launcher 1.";
    QTest::newRow("unknown command") << QStringList{"start"} << 2 << "unknown command 'start'";
    QTest::newRow("unknown option") << QStringList{"--fast"} << 2 << "fast";
    QTest::newRow("run without name") << QStringList{"run"} << 2 << "exactly one";
    QTest::newRow("list with argument") << QStringList{"list", "x"} << 2 << "unexpected";
    QTest::newRow("json outside list") << QStringList{"run", "x", "--json"} << 2 << "--json";
    QTest::newRow("stop timeout not a number")
        << QStringList{"--stop-timeout", "soon", "list"} << 2 << "'soon'";
    QTest::newRow("stop timeout negative")
        << QStringList{"--stop-timeout", "-1", "list"} << 2 << "'-1'";
    QTest::newRow("data home missing")
        << QStringList{"--data-home", "/nonexistent/folder", "list"} << 2 << "not a folder";
}

void TestConsole::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    DataHome home;
    const Result result = runLauncher(home, arguments);
    QVERIFY2(result.exitCode == exitCode, describe(result));
    QVERIFY2(QString::fromUtf8(result.out + result.err).contains(expected), describe(result));
}

void TestConsole::mainJob_data()
{
    QTest::addColumn<QString>("tile");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("autostart") << "app"
                               << "sync" << 0
                               << QStringList{"Starting 'app' in 1 s", "] autostarted\n",
                                              "'app' finished normally.", "Log file: "};
    QTest::newRow("autostart refused")
        << "app"
        << "daemon" << 1 << QStringList{"Starting 'app' in 1 s", "'app' was not started"};
    QTest::newRow("autostart off") << ""
                                   << "sync" << 0 << QStringList{"run NAME"};
    QTest::newRow("autostart application not loaded")
        << "gone"
        << "sync" << 1 << QStringList{"'gone' is not loaded"};
}

void TestConsole::mainJob()
{
    QFETCH(QString, tile);
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);

    DataHome home;
    home.writeSettings(tile, 1);
    home.writeApp(QStringLiteral("app"), {{mode, {QStringLiteral("--write"), "autostarted\\n"}}});
    const Result result = runLauncher(home, {});
    QVERIFY2(result.exitCode == exitCode, describe(result));
    const QString output = QString::fromUtf8(result.out + result.err);
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("\n  app +1 process"))),
             describe(result));
    for (const QString& text : expected)
        QVERIFY2(output.contains(text), qPrintable(text + "\n" + describe(result)));
}

void TestConsole::daemonIgnoringTerminationIsKilled()
{
    DataHome home;
    const ChildPid daemon(home.path() + QStringLiteral("/daemon.pid"));
    // When the application ends only the daemon is left; it ignores the request.
    home.writeApp(QStringLiteral("app"),
                  {{QStringLiteral("daemon"),
                    {QStringLiteral("--pid-file"), daemon.file(), QStringLiteral("--ignore-term"),
                     QStringLiteral("--delay"), QStringLiteral("120")}},
                   {QStringLiteral("sync"), {QStringLiteral("--delay"), QStringLiteral("0.2")}}});

    QElapsedTimer timer;
    timer.start();
    const Result result = runLauncher(home, {QStringLiteral("--stop-timeout"), QStringLiteral("1"),
                                             QStringLiteral("run"), QStringLiteral("app")});
    QVERIFY2(result.exitCode == 0, describe(result));
    QVERIFY2(result.out.contains("is still running 1 s after the termination request: killing"),
             describe(result));
    QVERIFY(timer.elapsed() < RunLimitMs);
    QVERIFY(daemon.written());
    QVERIFY(!daemon.running());
}

void TestConsole::interruptRun_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("interrupts");
    QTest::addColumn<bool>("ignoreTerm");
    QTest::addColumn<QString>("stopTimeout");
    QTest::addColumn<QString>("expected");

    // With a stop timeout far beyond the limit of the run, an early end shows
    // that the termination request or the kill did it.
    QTest::newRow("SIGINT terminates") << int(SIGINT) << 1 << false << "600"
                                       << "Interrupted:";
    QTest::newRow("SIGTERM terminates") << int(SIGTERM) << 1 << false << "600"
                                        << "Interrupted:";
    QTest::newRow("killed after the stop timeout") << int(SIGINT) << 1 << true << "1"
                                                   << "killing its processes";
    QTest::newRow("second interrupt kills at once") << int(SIGINT) << 2 << true << "600"
                                                    << "Interrupted again: killing";
}

void TestConsole::interruptRun()
{
    QFETCH(int, signalNumber);
    QFETCH(int, interrupts);
    QFETCH(bool, ignoreTerm);
    QFETCH(QString, stopTimeout);
    QFETCH(QString, expected);

    DataHome home;
    const ChildPid app(home.path() + QStringLiteral("/app.pid"));
    QStringList arguments{QStringLiteral("--pid-file"), app.file()};
    if (ignoreTerm)
        arguments.append(QStringLiteral("--ignore-term"));
    arguments += QStringList{QStringLiteral("--write"), QStringLiteral("ready\\n"),
                             QStringLiteral("--delay"), QStringLiteral("120")};
    home.writeApp(QStringLiteral("app"), {{QStringLiteral("sync"), arguments, true}});

    QProcess launcher;
    QElapsedTimer timer;
    timer.start();
    startLauncher(launcher, home,
                  {QStringLiteral("--stop-timeout"), stopTimeout, QStringLiteral("run"),
                   QStringLiteral("app")});
    QByteArray out;
    QVERIFY2(waitForOutput(launcher, out, "] ready\n"), out);
    ::kill(pid_t(launcher.processId()), signalNumber);
    if (interrupts == 2) {
        QVERIFY2(waitForOutput(launcher, out, "Interrupted:"), out);
        ::kill(pid_t(launcher.processId()), signalNumber);
    }

    const Result result = finish(launcher, out);
    QVERIFY2(result.exitCode == 130, describe(result));
    QVERIFY2(result.out.contains(expected.toUtf8()), describe(result));
    QVERIFY2(result.out.contains("'app' was stopped by an interrupt."), describe(result));
    QVERIFY(timer.elapsed() < RunLimitMs);
    QVERIFY(app.written());
    QVERIFY(!app.running());
}

void TestConsole::interruptCountdown()
{
    DataHome home;
    const ChildPid app(home.path() + QStringLiteral("/app.pid"));
    home.writeSettings(QStringLiteral("app"), 600);
    home.writeApp(QStringLiteral("app"),
                  {{QStringLiteral("sync"), {QStringLiteral("--pid-file"), app.file()}}});

    QProcess launcher;
    startLauncher(launcher, home, {});
    QByteArray out;
    QVERIFY2(waitForOutput(launcher, out, "Starting 'app' in 600 s"), out);
    ::kill(pid_t(launcher.processId()), SIGINT);

    const Result result = finish(launcher, out);
    QVERIFY2(result.exitCode == 130, describe(result));
    QVERIFY2(result.out.contains("Autostart cancelled; nothing was started."), describe(result));
    QVERIFY(!app.written());
    QVERIFY(!QFileInfo::exists(home.launcherFolder() + QStringLiteral("/logs")));
}

QTEST_GUILESS_MAIN(TestConsole)
#include "TestConsole.moc"
