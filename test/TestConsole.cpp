// The console front end `launcher`, run as a program on temporary data folders:
// what it lists and checks, its exit statuses, and how it stops a pipeline on
// an interrupt or when a process ignores the termination request.

#include "TestFixtures.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>
#include <memory>

using Texts = QStringList;
using Apps = QList<QStringList>; // of TestConsole::writeApp()
using Marks = QByteArrayList;

// Comfortably above what any run here needs, far below the children's delays.
const int RunLimitMs = 30000;

struct Result
{
    int exitCode;
    QString out, err;
};

// The exit code, and patterns that the output must match ('!' first: must not).
static void verify(const Result& result, int exitCode, const Texts& expected)
{
    const QString output = result.out + result.err;
    QVERIFY2(result.exitCode == exitCode, qPrintable(output));
    for (const QString& pattern : expected) {
        const bool negated = pattern.startsWith('!');
        QVERIFY2(output.contains(QRegularExpression(pattern.mid(negated ? 1 : 0))) != negated,
                 qPrintable(pattern + "\n" + output));
    }
}

class TestConsole : public QObject
{
    Q_OBJECT

    std::unique_ptr<DataFolders> m_folders;

    // The launcher folder of the data home that every run passes with --data-home.
    QString folder() const { return m_folders->root() + "/home/Orvalen/launcher"; }

    // Processes of test-helper, each its mode ('!' last when required) and the
    // helper's arguments, in which PIDFILE stands for a file in the data folders.
    void writeApp(const QString& basename, const Apps& processes, const QString& name = {}) const
    {
        QSettings file(QStringLiteral("%1/apps/%2.ini").arg(folder(), basename),
                       QSettings::IniFormat);
        if (!name.isEmpty())
            file.setValue("ui/name", name);
        for (int i = 0; i < processes.size(); ++i) {
            Texts arguments = processes[i];
            QString mode = arguments.takeFirst();
            const QString group = QStringLiteral("process-%1/").arg(i);
            file.setValue(group + "exec", helperPath());
            file.setValue(group + "required", mode.endsWith('!'));
            file.setValue(group + "mode", mode.remove('!'));
            file.setValue(group + "arguments",
                          arguments.replaceInStrings("PIDFILE", m_folders->root() + "/child.pid"));
        }
    }

    // Runs the launcher in the apps folder; once its output holds the first
    // marker it gets SIGINT, after the second one SIGTERM.
    Result launch(const Texts& arguments, const Marks& interruptAfter = {}) const
    {
        QProcess launcher;
        launcher.setWorkingDirectory(folder() + "/apps");
        launcher.start(LAUNCHER_PROGRAM,
                       Texts{"--data-home", m_folders->root() + "/home"} + arguments);
        QByteArray out;
        for (int i = 0; i < interruptAfter.size(); ++i) {
            while (!out.contains(interruptAfter[i]) && launcher.waitForReadyRead(RunLimitMs))
                out += launcher.readAllStandardOutput();
            if (launcher.state() == QProcess::Running)
                ::kill(pid_t(launcher.processId()), i == 0 ? SIGINT : SIGTERM);
        }
        if (!launcher.waitForFinished(RunLimitMs))
            launcher.kill();
        launcher.waitForFinished();
        out += launcher.readAllStandardOutput();
        return {launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1,
                QString::fromUtf8(out), QString::fromUtf8(launcher.readAllStandardError())};
    }

private slots:
    // Every test sees the autostart application "good", an invalid "bad", "odd"
    // with an unknown mode, and a machine-wide application that --data-home hides.
    void init()
    {
        m_folders = std::make_unique<DataFolders>();
        QVERIFY(writeFile(folder() + "/launcher.ini", "[autostart]\ntile=good\ntimeout=30\n"));
        QVERIFY(writeFile(m_folders->machine() + "/apps/machine.ini", "[process-0]\n"));
        writeApp("good", {{"sync!"}}, "Good app");
        writeApp("bad", {{"daemon"}}, "Bad app");
        writeApp("odd", {{"Sometimes"}});
    }
    void cleanup() { m_folders.reset(); }
    void commands_data();
    void commands();
    void listJson();
    void run_data();
    void run();
};

void TestConsole::commands_data()
{
    QTest::addColumn<Texts>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<Texts>("expected");

    QTest::newRow("list") << Texts{"list"} << 0
                          << Texts{"good +Good app +1 process +valid +autostart after 30 s\n",
                                   "bad +Bad app +1 process +INVALID\n +pipeline must", "!machine"};
    QTest::newRow("check valid") << Texts{"check", "good.ini"} << 0
                                 << Texts{"mode: +sync\n +required: +yes\n", "\n  valid\n"};
    QTest::newRow("check invalid")
        << Texts{"check", "bad.ini"} << 1
        << Texts{"problems:\n +- pipeline must contain at least one non-daemon process"};
    QTest::newRow("check unknown mode")
        << Texts{"check", "odd.ini"} << 1
        << Texts{"mode: +daemon \\(Failed to parse 'Sometimes'",
                 "- \\[process-0\\] mode: Failed to parse 'Sometimes'\n"};
    QTest::newRow("check one of two invalid")
        << Texts{"check", "good.ini", "bad.ini"} << 1 << Texts{"\n  valid\n", "problems:"};
    QTest::newRow("check missing file")
        << Texts{"check", "gone.ini"} << 1 << Texts{"'gone.ini': no such file"};
    QTest::newRow("unknown name")
        << Texts{"run", "Good"} << 2
        << Texts{"unknown application 'Good'; known applications: bad, good, odd\n"};
    QTest::newRow("help") << Texts{"--help"} << 0 << Texts{"run NAME"};
    QTest::newRow("unknown command") << Texts{"start"} << 2 << Texts{"command 'start'"};
    QTest::newRow("unknown option") << Texts{"--fast"} << 2 << Texts{"fast"};
    QTest::newRow("run without name") << Texts{"run"} << 2 << Texts{"exactly one"};
    QTest::newRow("stop timeout not a number")
        << Texts{"--stop-timeout", "soon", "list"} << 2 << Texts{"'soon'"};
    QTest::newRow("data home missing")
        << Texts{"--data-home", "/nonexistent", "list"} << 2 << Texts{"not a folder"};
}

void TestConsole::commands()
{
    QFETCH(Texts, arguments);
    QFETCH(int, exitCode);
    QFETCH(Texts, expected);
    verify(launch(arguments), exitCode, expected);
}

void TestConsole::listJson()
{
    const Result result = launch({"list", "--json"});
    QCOMPARE(result.exitCode, 0);
    // The data home alone decides, every time.
    QCOMPARE(launch({"list", "--json"}).out, result.out);
    QByteArray expected = R"({"dataFolder":"HOME","autostart":{"application":"good","timeout":30,)"
                          R"("loaded":true},"applications":[{"basename":"bad","name":"Bad app",)"
                          R"("icon":"","processes":1,BAD,{"basename":"good","name":"Good app",)"
                          R"("icon":"","processes":1,"valid":true,"autostart":true,"errors":[],)"
                          R"("logPath":"LOGS"},{"basename":"odd","name":"","icon":"",)"
                          R"("processes":1,BAD]})";
    expected
        .replace("BAD", R"("valid":false,"autostart":false,"errors":["pipeline must contain )"
                        R"(at least one non-daemon process."],"logPath":"LOGS"})")
        .replace("LOGS", "HOME/logs")
        .replace("HOME", folder().toUtf8());
    QCOMPARE(QJsonDocument::fromJson(result.out.toUtf8()).toJson(QJsonDocument::Compact),
             QJsonDocument::fromJson(expected).toJson(QJsonDocument::Compact));
}

void TestConsole::run_data()
{
    QTest::addColumn<Texts>("arguments");
    QTest::addColumn<QByteArray>("autostart"); // empty: "good" after 30 s
    QTest::addColumn<Apps>("processes");
    QTest::addColumn<Marks>("interruptAfter");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<Texts>("expected"); // ROOT: the data folders

    const Texts run{"run", "app"};
    const Texts stop1 = Texts{"--stop-timeout", "1"} + run;
    const QByteArray none;
    const Apps ignoring{{"sync!", "--pid-file", "PIDFILE", "--ignore-term", "--write", "ready\\n",
                         "--delay", "120"}};

    // The child's line comes through unquoted and unescaped, and the child gets
    // the launcher's own XDG variables, not the data home option's.
    QTest::newRow("succeeds")
        << run << none
        << Apps{{"sync", "--write", "say \"hi\" \\\\ x\\n", "--print-env", "XDG_DATA_HOME",
                 "--print-env", "XDG_CONFIG_DIRS"}}
        << Marks() << 0
        << Texts{"\\] say \"hi\" \\\\ x\n", "\\] XDG_DATA_HOME=ROOT/user\n", "!\\\\\"",
                 "\\] XDG_CONFIG_DIRS=ROOT/machine\n",
                 "'app' finished normally\\.\nLog file: ROOT/home/Orvalen/launcher/logs/app-"};
    QTest::newRow("required process fails")
        << run << none << Apps{{"sync!", "--exit", "3"}} << Marks() << 1
        << Texts{"'app' failed \\(RequiredProcessFailure\\)\\.\nLog file: "};
    QTest::newRow("invalid refused")
        << run << none << Apps{{"daemon"}} << Marks() << 1
        << Texts{"'app' was not started: its pipeline is invalid:\n  - pipeline must"};
    QTest::newRow("daemon ignoring termination is killed")
        << stop1 << none
        << Apps{{"daemon", "--pid-file", "PIDFILE", "--ignore-term", "--delay", "120"},
                {"sync", "--delay", "0.2"}}
        << Marks() << 0 << Texts{"is still running 1 s after the termination request: killing"};
    QTest::newRow("SIGINT during a run")
        << stop1 << none << ignoring << Marks{"] ready\n"} << 130
        << Texts{"Interrupted: asking", "1 s after the termination request: killing",
                 "'app' was stopped by an interrupt\\."};
    // Far beyond the run limit: only the second interrupt can end the run.
    QTest::newRow("second interrupt kills")
        << Texts{"--stop-timeout", "600", "run", "app"} << none << ignoring
        << Marks{"] ready\n", "Interrupted:"} << 130
        << Texts{"Interrupted again: killing", "stopped by an interrupt"};
    QTest::newRow("autostart") << Texts() << QByteArray("tile=app\ntimeout=1")
                               << Apps{{"sync", "--write", "autostarted\\n"}} << Marks() << 0
                               << Texts{"\n  app +1 process", "Starting 'app' in 1 s",
                                        "\\] autostarted\n", "'app' finished normally"};
    QTest::newRow("autostart off")
        << Texts() << QByteArray("tile=") << Apps{{"sync"}} << Marks() << 0
        << Texts{"Start an application with: launcher --data-home ROOT/home run NAME\n"};
    QTest::newRow("autostart not loaded") << Texts() << QByteArray("tile=gone") << Apps{{"sync"}}
                                          << Marks() << 1 << Texts{"'gone' is not loaded"};
    QTest::newRow("SIGINT during a countdown")
        << Texts() << QByteArray("tile=app\ntimeout=600") << Apps{{"sync", "--pid-file", "PIDFILE"}}
        << Marks{"Starting 'app' in 600 s"} << 130
        << Texts{"Autostart cancelled; nothing was started\\.", "!Pipeline state"};
}

void TestConsole::run()
{
    QFETCH(Texts, arguments);
    QFETCH(QByteArray, autostart);
    QFETCH(Apps, processes);
    QFETCH(Marks, interruptAfter);
    QFETCH(int, exitCode);
    QFETCH(Texts, expected);

    if (!autostart.isEmpty())
        QVERIFY(writeFile(folder() + "/launcher.ini", "[autostart]\n" + autostart));
    writeApp("app", processes);
    verify(launch(arguments, interruptAfter), exitCode,
           expected.replaceInStrings("ROOT", QRegularExpression::escape(m_folders->root())));
    // A child that wrote its id has ended: it cannot be killed.
    QFile pidFile(m_folders->root() + "/child.pid");
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toInt());
        QVERIFY(pid > 0 && ::kill(pid, SIGKILL) != 0);
    }
}

QTEST_GUILESS_MAIN(TestConsole)
#include "TestConsole.moc"
