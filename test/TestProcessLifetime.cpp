// Nothing that a pipeline's processes start outlives the pipeline: not after a
// normal finish, an interrupt, a termination request that a daemon ignores,
// nor after the launcher was killed (the next start cleans up). Runs the real
// launcher; every test's processes carry a marker of their own.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/ProcFs.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>

// Comfortably above what any wait here needs, far below the children's sleeps.
const int LimitMs = 30000;

class TestProcessLifetime : public QObject
{
    Q_OBJECT

    std::unique_ptr<DataFolders> m_folders;
    QByteArray m_marker; // the argument of the test's sleeps: "3600.<random>"

    // The data home of the launcher, and of the test's own Backend.
    QString home() const { return m_folders->root() + "/user"; }
    QString records() const { return m_folders->root() + "/run/Orvalen/launcher"; }

    // The processes whose command line holds the marker; only the sleeps if asked.
    QList<qint64> marked(bool sleepsOnly = false) const
    {
        QList<qint64> pids;
        for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
            const QString line = ProcFs::commandLine(entry.toLongLong());
            if (sleepsOnly ? line.endsWith("sleep " + m_marker) : line.contains(m_marker))
                pids.append(entry.toLongLong());
        }
        return pids;
    }

    // An application "app" of sh scripts as "mode:script"; MARK is the marker.
    void writeApp(const QStringList& processes) const
    {
        QSettings file(home() + "/Orvalen/launcher/apps/app.ini", QSettings::IniFormat);
        for (int i = 0; i < processes.size(); ++i) {
            const QString group = QStringLiteral("process-%1/").arg(i);
            QString script = processes[i].section(':', 1);
            file.setValue(group + "exec", "lifetime-sh");
            file.setValue(group + "library-paths", QStringList{home(), "/usr/bin", "/bin"});
            file.setValue(group + "mode", processes[i].section(':', 0, 0));
            file.setValue(group + "arguments", QStringList{"-c", script.replace("MARK", m_marker)});
        }
    }

    void launch(QProcess& launcher, const QStringList& arguments) const
    {
        launcher.start(LAUNCHER_PROGRAM, QStringList{"--data-home", home()} + arguments);
    }

    static int zombieChildren(qint64 pid)
    {
        const QList<qint64> children = ProcFs::children(pid);
        return int(std::count_if(children.cbegin(), children.cend(), [](qint64 child) {
            ProcFs::ProcessStat stat;
            return ProcFs::readStat(child, stat) && stat.state == 'Z';
        }));
    }

    QByteArray record(qint64 launcherPid) const
    {
        QFile file(QStringLiteral("%1/%2.processes").arg(records()).arg(launcherPid));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        m_folders = std::make_unique<DataFolders>();
        // The launchers keep their records in the test's own runtime folder.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_folders->root() + "/run"));
        QVERIFY(QDir().mkpath(home()));
        // Runs only if started by the path that validation found, not the launcher's PATH.
        QVERIFY(QFile::link("/bin/sh", home() + "/lifetime-sh"));
        // A start that cleans up after a dead launcher, and starts nothing marked.
        QVERIFY(writeFile(home() + "/Orvalen/launcher/apps/next.ini",
                          "[process-0]\nexec=/bin/true\nmode=sync\n"));
        m_marker = "3600." + QByteArray::number(QRandomGenerator::global()->bounded(1u << 30));
    }
    void cleanup()
    {
        for (const qint64 pid : marked())
            ::kill(pid_t(pid), SIGKILL);
        qunsetenv("XDG_RUNTIME_DIR");
        m_folders.reset();
    }
    void stopped_data();
    void stopped();
    void reusedPidLeftAlone();
    void inProcess();
};

void TestProcessLifetime::stopped_data()
{
    QTest::addColumn<bool>("ignoresTerm"); // the daemon, and so its children
    QTest::addColumn<QString>("syncEnd");
    QTest::addColumn<int>("signal"); // to the launcher once all sleeps run; 0: none

    QTest::newRow("normal finish") << false << "exit" << 0;
    QTest::newRow("SIGINT") << false << "wait" << int(SIGINT);
    QTest::newRow("SIGTERM, daemon ignores it") << true << "wait" << int(SIGTERM);
    QTest::newRow("SIGKILL, next start") << true << "wait" << int(SIGKILL);
}

// The daemon starts a child in its group, a setsid grandchild and a
// double-forked daemon; the Sync process a child in its group, a
// double-forked daemon, and orphans that end at once, which the launcher reaps.
// It reads its standard input, which must be at its end.
void TestProcessLifetime::stopped()
{
    QFETCH(bool, ignoresTerm);
    QFETCH(QString, syncEnd);
    QFETCH(int, signal);

    writeApp({"daemon:" + QString(ignoresTerm ? "trap '' TERM; " : "") +
                  "sleep MARK & setsid sleep MARK & (setsid sleep MARK &); wait",
              "sync:sleep MARK & (setsid sleep MARK &); i=0; while [ $i -lt 20 ]; do "
              "(sleep 0.01 &); i=$((i+1)); done; sleep 1; read x; echo spawned-$i; " +
                  syncEnd});
    QProcess launcher;
    launch(launcher, {"--stop-timeout", "1", "run", "app"});
    const qint64 pid = launcher.processId();
    QByteArray output; // each check reads on
    QTRY_VERIFY_WITH_TIMEOUT((output += launcher.readAll()).contains("spawned-20"), LimitMs);
    if (signal) {
        QTRY_COMPARE_WITH_TIMEOUT(marked(true).size(), 5, LimitMs);
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(pid), 0, LimitMs);
        // Killed, the launcher leaves only its record of them.
        for (const qint64 sleep : marked(true)) {
            const QByteArray entry = " " + QByteArray::number(sleep) + " ";
            QTRY_VERIFY_WITH_TIMEOUT(signal != SIGKILL || record(pid).contains(entry), LimitMs);
        }
        ::kill(pid_t(pid), signal);
    }
    QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, LimitMs);
    if (signal == SIGKILL) {
        QProcess next;
        launch(next, {"run", "next"});
        QVERIFY(next.waitForFinished(LimitMs));
        output = next.readAllStandardError();
        QVERIFY2(output.contains("Stopping 5 processes that launcher"), output.constData());
    }
    QTRY_COMPARE_WITH_TIMEOUT(marked(), QList<qint64>(), LimitMs);
    QVERIFY(QDir(records()).isEmpty());
}

// A recorded pid counts only with its start time; a launcher's, too.
void TestProcessLifetime::reusedPidLeftAlone()
{
    qint64 recorded = 0, reused = 0;
    QVERIFY(QProcess::startDetached("sleep", {m_marker}, QString(), &recorded));
    QVERIFY(QProcess::startDetached("sleep", {m_marker}, QString(), &reused));
    const QByteArray one =
        QByteArray::number(recorded) + ' ' + QByteArray::number(ProcFs::startTime(recorded));
    const QByteArray other =
        QByteArray::number(reused) + ' ' + QByteArray::number(ProcFs::startTime(reused) + 1);
    QVERIFY(writeFile(records() + "/1.processes",
                      "launcher 1 7\nprocess " + one + "\nprocess " + other + "\n"));
    QProcess launcher;
    launch(launcher, {"run", "next"});
    QVERIFY(launcher.waitForFinished(LimitMs));
    QTRY_COMPARE_WITH_TIMEOUT(marked(), QList<qint64>{reused}, LimitMs);
    QVERIFY(QDir(records()).isEmpty());
}

// The backend of a front end: stop() escalates and returns once finished;
// destroyed while running, the backend kills and reaps silently.
void TestProcessLifetime::inProcess()
{
    static int destroyedWhileRunning = 0;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            destroyedWhileRunning += text.contains("Destroyed while");
        });
    writeApp({"sync:trap '' TERM; sleep MARK & (setsid sleep MARK &); wait"});
    auto backend = std::make_unique<Backend>();
    backend->initialize();
    for (const bool destroy : {false, true}) {
        QVERIFY(backend->pipelineController()->start(*backend->findPipeline("app"), false));
        QTRY_COMPARE_WITH_TIMEOUT(marked(true).size(), 2, LimitMs);
        if (destroy)
            backend.reset();
        else
            QVERIFY(backend->pipelineController()->stop(200));
        QTRY_COMPARE_WITH_TIMEOUT(marked(), QList<qint64>(), LimitMs);
    }
    qInstallMessageHandler(previous);
    QCOMPARE(destroyedWhileRunning, 0);
}

LAUNCHER_TEST(TestProcessLifetime)
#include "TestProcessLifetime.moc"
