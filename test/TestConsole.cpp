// The console front end `launcher`, run as a program on a temporary data home:
// its exit statuses, and how it stops a process that ignores the termination
// request.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>

#include <sys/stat.h>

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("helper"); // the options of the application's one process
        QTest::addColumn<int>("interrupts");     // once it is ready, then once more if 2
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");

        const QStringList run{"run", "app"};
        const QStringList ignoring{"--ignore-term", "--write", "ready\n", "--delay", "120"};
        QTest::newRow("finished") << run << QStringList() << 0 << 0 << "'app' finished normally.";
        QTest::newRow("failed") << run << QStringList{"--exit", "3"} << 0 << 1
                                << "'app' failed (RequiredProcessFailure).";
        QTest::newRow("usage error") << QStringList{"run"} << QStringList() << 0 << 2
                                     << "run needs exactly one application name";
        QTest::newRow("killed after the stop timeout")
            << QStringList{"--stop-timeout", "1"} + run << ignoring << 1 << 130
            << "is still running 1 s after the termination request: killing";
        // Far beyond the time the test waits: only the second interrupt can end the run.
        QTest::newRow("second interrupt kills at once")
            << QStringList{"--stop-timeout", "600"} + run << ignoring << 2 << 130
            << "Interrupted again: killing";
    }

    void exitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, helper);
        QFETCH(int, interrupts);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);

        const QTemporaryDir home;
        {
            QSettings app(home.filePath("Orvalen/launcher/apps/app.ini"), QSettings::IniFormat);
            app.setValue("process-0/exec", helperPath());
            app.setValue("process-0/mode", "sync");
            app.setValue("process-0/required", true);
            if (!helper.isEmpty())
                app.setValue("process-0/arguments", helper);
        }
        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(LAUNCHER_PROGRAM, QStringList{"--data-home", home.path()} + arguments);
        QByteArray out;
        const QByteArray marks[] = {"] ready\n", "Interrupted:"};
        for (int i = 0; i < interrupts; ++i) {
            while (!out.contains(marks[i]) && launcher.waitForReadyRead(30000))
                out += launcher.readAllStandardOutput();
            ::kill(pid_t(launcher.processId()), SIGINT);
        }
        const bool ended = launcher.waitForFinished(30000);
        out += launcher.readAllStandardOutput();
        const QString output = QString::fromUtf8(out);
        // The child has ended: it cannot be killed (a leftover is, before the check fails).
        const auto child = QRegularExpression(R"(\[ (\d+) \] ready)").match(output);
        QVERIFY(!child.hasMatch() || ::kill(pid_t(child.captured(1).toInt()), SIGKILL) != 0);
        QVERIFY2(ended && output.contains(expected), qPrintable(output));
        QCOMPARE(launcher.exitCode(), exitCode);
    }

    // One line per second of the countdown, from the timeout down to 1.
    void countdownLines_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("2 s") << 2
                             << QStringList{"Starting 'app' in 2 s (Ctrl+C to cancel)",
                                            "Starting 'app' in 1 s (Ctrl+C to cancel)"};
        QTest::newRow("no time") << 0 << QStringList();
    }

    void countdownLines()
    {
        QFETCH(int, timeout);
        QFETCH(QStringList, lines);
        const QTemporaryDir home;
        QVERIFY(writeFile(home.filePath("Orvalen/launcher/apps/app.ini"),
                          "[process-0]\nexec=" + helperPath().toUtf8() + "\nmode=sync\n"));
        QVERIFY(writeFile(home.filePath("Orvalen/launcher/launcher.ini"),
                          "[autostart]\ntile=app\ntimeout=" + QByteArray::number(timeout) + "\n"));
        QProcess launcher;
        launcher.start(LAUNCHER_PROGRAM, {"--data-home", home.path()});
        QVERIFY(launcher.waitForFinished(30000));
        QStringList shown;
        for (const QString& line : QString::fromUtf8(launcher.readAllStandardOutput()).split('\n'))
            if (line.startsWith("Starting 'app' in"))
                shown.append(line);
        QCOMPARE(shown, lines);
        QCOMPARE(launcher.exitCode(), 0);
    }

    void journalPriorities_data()
    {
        QTest::addColumn<QString>("process"); // its group's keys; $SCRIPT a script that cannot run
        QTest::addColumn<QStringList>("warnings");

        QTest::newRow("required process fails")
            << "exec=$HELPER\nmode=sync\nrequired=true\narguments=--exit, 3"
            << QStringList{
                   "Pipeline 'app': failure occurred (RequiredProcessFailure)",
                   "Pipeline 'app': the required process 0 ($HELPER) has finished with exit "
                   "code 3 (NormalExit)"};
        QTest::newRow("given up after its restart limit")
            << "exec=$HELPER\nmode=sync\nrestart-on-crash=true\nrestart-limit=2\narguments=--crash"
            << QStringList{"Pipeline 'app': process 0 ($HELPER) crashed 2 times within 10 s: not "
                           "restarted again"};
        QTest::newRow("failed to start") << "exec=$SCRIPT\nmode=sync"
                                         << QStringList{"Pipeline 'app': process 0 ($SCRIPT) could "
                                                        "not be started: "};
    }

    // Standard error stands in for the journal's stream: what a service's
    // `journalctl -p warning` must show carries the warning priority.
    void journalPriorities()
    {
        QFETCH(QString, process);
        QFETCH(QStringList, warnings);
        const QTemporaryDir home;
        const QString script = home.filePath("bad-interpreter");
        QVERIFY(writeFile(script, "#!/no/such/interpreter\n") &&
                QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner));
        const auto expanded = [&](QString text) {
            return text.replace("$HELPER", helperPath()).replace("$SCRIPT", script);
        };
        QVERIFY(writeFile(home.filePath("Orvalen/launcher/apps/app.ini"),
                          ("[process-0]\n" + expanded(process) + "\n").toUtf8()));
        const QString errorFile = home.filePath("stderr");
        struct stat error = {};
        QVERIFY(writeFile(errorFile, {}) && ::stat(QFile::encodeName(errorFile), &error) == 0);

        QProcess launcher;
        launcher.setStandardOutputFile(QProcess::nullDevice());
        launcher.setStandardErrorFile(errorFile);
        launcher.start("/usr/bin/env",
                       {QStringLiteral("JOURNAL_STREAM=%1:%2").arg(error.st_dev).arg(error.st_ino),
                        LAUNCHER_PROGRAM, "--data-home", home.path(), "run", "app"});
        QVERIFY(launcher.waitForFinished(30000));
        const QString lines = QString::fromUtf8(fileContent(errorFile));
        for (const QString& warning : warnings)
            QVERIFY2(lines.contains("<4>warning: " + expanded(warning)), qPrintable(lines));
    }
};

LAUNCHER_TEST(TestConsole)
#include "TestConsole.moc"
