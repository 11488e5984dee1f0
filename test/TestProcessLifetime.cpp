// Nothing that a pipeline's processes start outlives the pipeline: not after a
// normal finish, a termination request that a daemon ignores, nor after the
// launcher was killed (the next start cleans up). A controller destroyed while
// its pipeline runs: TestSupervision.
// Runs the real launcher; the processes carry the test's marker.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/ProcFs.h"

#include <QProcess>
#include <QSettings>
#include <QTest>

#include <memory>

// Comfortably above what any wait here needs, far below the children's sleeps.
const int LimitMs = 30000;

class TestProcessLifetime : public QObject
{
    Q_OBJECT

    std::unique_ptr<DataFolders> m_folders;
    const ProcessMarker m_marker;

    // The launcher's data home, and the folder of its records.
    QString home() const { return m_folders->root() + "/user"; }
    QString records() const { return m_folders->root() + "/run/Orvalen/launcher"; }
    QList<qint64> sleeps() const { return m_marker.processes(true); }

    static int zombieChildren(qint64 pid)
    {
        int zombies = 0;
        for (const qint64 child : ProcFs::children(pid)) {
            ProcFs::ProcessStat stat;
            zombies += ProcFs::readStat(child, stat) && stat.state == 'Z';
        }
        return zombies;
    }

    // An application "app" of sh scripts as "mode:script"; MARK is the marker.
    void writeApp(const QStringList& processes) const
    {
        QSettings file(home() + "/Orvalen/launcher/apps/app.ini", QSettings::IniFormat);
        for (int i = 0; i < processes.size(); ++i) {
            const QString group = QStringLiteral("process-%1/").arg(i);
            file.setValue(group + "exec", "lifetime-sh");
            file.setValue(group + "library-paths", QStringList{home(), "/usr/bin", "/bin"});
            file.setValue(group + "mode", processes[i].section(':', 0, 0));
            file.setValue(
                group + "arguments",
                QStringList{"-c", processes[i].section(':', 1).replace("MARK", m_marker.text())});
        }
    }

private slots:
    void init()
    {
        m_folders = std::make_unique<DataFolders>();
        // The launchers keep their records in the test's own runtime folder,
        // private as a login's.
        const QString runtime = m_folders->root() + "/run";
        QVERIFY(makePrivateFolder(runtime));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        // Runs only if started by the path that validation found, not the launcher's PATH.
        QVERIFY(QDir().mkpath(home()) && QFile::link("/bin/sh", home() + "/lifetime-sh"));
        // A start that cleans up after a dead launcher, and starts nothing marked.
        QVERIFY(writeFile(home() + "/Orvalen/launcher/apps/next.ini",
                          "[process-0]\nexec=/bin/true\nmode=sync\n"));
    }
    void cleanup()
    {
        m_marker.killAll();
        qunsetenv("XDG_RUNTIME_DIR");
        m_folders.reset();
    }

    void stopped_data()
    {
        QTest::addColumn<int>("signal"); // to the launcher once all sleeps run; 0: none
        QTest::newRow("normal finish") << 0;
        QTest::newRow("SIGTERM, daemon ignores it") << int(SIGTERM);
        QTest::newRow("SIGKILL, next start") << int(SIGKILL);
    }

    // The daemon starts a child in its group, a setsid grandchild and a
    // double-forked daemon, which all ignore the termination request when the
    // launcher is to be signalled; the Sync process a child in its group, a
    // double-forked daemon, and orphans that end at once, which the launcher
    // reaps. It reads its standard input, which must be at its end, and ends
    // unless the launcher is to be signalled. After a SIGKILL the next start
    // stops what the record names: a pid counts only with its start time, a
    // launcher's, too.
    void stopped()
    {
        QFETCH(int, signal);
        writeApp({"daemon:" + QString(signal ? "trap '' TERM; " : "") +
                      "sleep MARK & setsid sleep MARK & (setsid sleep MARK &); wait",
                  "sync:sleep MARK & (setsid sleep MARK &); i=0; while [ $i -lt 20 ]; do "
                  "(sleep 0.01 &); i=$((i+1)); done; sleep 1; read x; echo spawned-$i; " +
                      QString(signal ? "wait" : "exit")});
        QProcess launcher;
        launcher.start(LAUNCHER_PROGRAM,
                       {"--data-home", home(), "--stop-timeout", "1", "run", "app"});
        const qint64 pid = launcher.processId();
        QByteArray output; // each check reads on
        QTRY_VERIFY_WITH_TIMEOUT((output += launcher.readAll()).contains("spawned-20"), LimitMs);
        if (signal) {
            QTRY_COMPARE_WITH_TIMEOUT(sleeps().size(), 5, LimitMs);
            QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(pid), 0, LimitMs);
            // Killed, the launcher leaves only its record of them.
            const QString record = QStringLiteral("%1/%2.processes").arg(records()).arg(pid);
            for (const qint64 sleep : sleeps())
                QTRY_VERIFY_WITH_TIMEOUT(
                    signal != SIGKILL ||
                        fileContent(record).contains(" " + QByteArray::number(sleep) + " "),
                    LimitMs);
            ::kill(pid_t(pid), signal);
        }
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, LimitMs);
        qint64 reused = 0; // recorded by a launcher whose pid (1) names another process now
        if (signal == SIGKILL) {
            // Its own children, the shells, died with it at once; what they
            // started is the next start's to stop.
            QTRY_COMPARE_WITH_TIMEOUT(m_marker.processes().size(), 5, LimitMs);
            QVERIFY(QProcess::startDetached("sleep", {m_marker.text()}, QString(), &reused));
            QVERIFY(writeFile(records() + "/1.processes",
                              QStringLiteral("launcher 1 7\nprocess %1 %2\n")
                                  .arg(reused)
                                  .arg(ProcFs::startTime(reused) + 1)
                                  .toUtf8()));
            QProcess next;
            next.start(LAUNCHER_PROGRAM, {"--data-home", home(), "run", "next"});
            QVERIFY(next.waitForFinished(LimitMs));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_marker.processes(),
                                  reused ? QList<qint64>{reused} : QList<qint64>(), LimitMs);
        QVERIFY(QDir(records()).isEmpty());
    }
};

LAUNCHER_TEST(TestProcessLifetime)
#include "TestProcessLifetime.moc"
