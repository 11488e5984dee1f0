// The console front end `launcher`, run as a program on a temporary data home:
// its exit statuses, how it stops a process that ignores the termination
// request, the priorities of its warnings in the journal, what the journal
// gets of a child's output, `logs -f` on a log split fast, UTF-8 in paths
// and arguments, and the environment and folder a child starts with.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

#include <sys/stat.h>

namespace {

const char* const Ignoring = "arguments=--ignore-term, --write, ready\\n, --delay, 120";

// "app" is a required sync process with these keys, which may add processes
// ($HELPER: test-helper, $SCRIPT: a script whose interpreter is missing,
// $LINES: 10,000 lines "x"); standard error stands in for the journal's
// stream: what a service's `journalctl -p warning` must show carries the
// warning priority. Where `copied` is set, standard output is the journal's,
// too, which gets that many of the lines.
const struct
{
    const char* name;
    const char* arguments;
    const char* process;
    int interrupts; // once it is ready, then once more if 2
    int exitCode;
    const char* expected; // on standard output
    const char* warning;  // on standard error, after "<4>warning: "
    const char* settings = "";
    int copied = -1;
} Cases[] = {
    {"failed", "run app", "arguments=--write, $LINES, --exit, 3", 0, 1, "] Process finished: ",
     "Pipeline 'app': the required process 0 ($HELPER) has finished with exit code 3", "", 0},
    {"failed, the journal gets all", "run app", "arguments=--write, $LINES, --exit, 3", 0, 1,
     "'app' failed (RequiredProcessFailure).", "", "[logs]\njournal=all\n", 10000},
    // Its first process cannot start. Whether the next one runs:
    // TestPipelineRun::failedStarts.
    {"failed to start", "run app",
     "exec=$SCRIPT\nmode=async\n[process-1]\nexec=$HELPER\nmode=sync\n", 0, 1,
     "'app' failed (RequiredProcessFailure).",
     "Pipeline 'app': process 0 ($SCRIPT) could not be started: "},
    {"killed after the stop timeout", "--stop-timeout 1 run app", Ignoring, 1, 130,
     "is still running 1 s after the termination request: killing", ""},
    // Far beyond the time the test waits: only the second interrupt can end the run.
    {"second interrupt kills at once", "--stop-timeout 600 run app", Ignoring, 2, 130,
     "Interrupted again: killing", ""},
};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data() { addRows(Cases); }

    void exitStatus()
    {
        const auto& row = currentRow(Cases);
        const QTemporaryDir home;
        const QString data = home.filePath("Orvalen/launcher");
        const QString script = home.filePath("bad-interpreter");
        const auto expanded = [&](QString text) {
            return text.replace("$HELPER", helperPath())
                .replace("$SCRIPT", script)
                .replace("$LINES", QString("x\\\\n").repeated(10000));
        };
        QVERIFY(writeFile(script, "#!/nonexistent/interp\n") &&
                QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(writeFile(
            data + "/apps/app.ini",
            expanded(QString("[process-0]\nexec=$HELPER\nmode=sync\nrequired=true\n") + row.process)
                .toUtf8()));
        // An autostart that `run` leaves alone.
        QVERIFY(writeFile(data + "/launcher.ini",
                          QByteArray("[autostart]\ntile=app\ntimeout=9\n") + row.settings));
        const QString errorFile = home.filePath("stderr");
        struct stat error = {};
        QVERIFY(writeFile(errorFile, {}) && ::stat(QFile::encodeName(errorFile), &error) == 0);

        QProcess launcher;
        launcher.setStandardErrorFile(errorFile, QIODevice::Append);
        if (row.copied >= 0)
            launcher.setStandardOutputFile(errorFile, QIODevice::Append);
        launcher.start(
            "/usr/bin/env",
            QStringList{QString("JOURNAL_STREAM=%1:%2").arg(error.st_dev).arg(error.st_ino),
                        LAUNCHER_PROGRAM, "--data-home", home.path()} +
                QString(row.arguments).split(' '));
        QByteArray out;
        const QByteArray marks[] = {"] ready\n", "Interrupted:"};
        for (int i = 0; i < row.interrupts; ++i) {
            while (!out.contains(marks[i]) && launcher.waitForReadyRead(30000))
                out += launcher.readAllStandardOutput();
            signalProcess(launcher, SIGINT);
        }
        const bool ended = launcher.waitForFinished(30000);
        const QString output =
            QString::fromUtf8(out + launcher.readAllStandardOutput() + fileContent(errorFile));
        // The child has ended: it cannot be killed (a leftover is, before the check fails).
        const auto child = QRegularExpression(R"(\[ (\d+) \] ready)").match(output);
        QVERIFY(!child.hasMatch() || ::kill(pid_t(child.captured(1).toInt()), SIGKILL) != 0);
        // Nobody at a terminal reads the hints; a restart is no new start.
        QVERIFY2(ended && launcher.exitCode() == row.exitCode && output.contains(row.expected) &&
                     (!*row.warning || output.contains("<4>warning: " + expanded(row.warning))) &&
                     !output.contains("Ctrl+C") && !output.contains("interrupt again") &&
                     output.count("Pipeline 'app' started") <= 1,
                 qPrintable(output));
        const QByteArray logged =
            fileContent(QDir(data + "/logs").entryInfoList({"app-*.log"}).value(0).filePath());
        QVERIFY(row.copied < 0 ||
                (logged.count("] x\n") == 10000 && output.count("] x\n") == row.copied));
    }

    // `logs -f` reads each piece of a split log to its end before the next,
    // however fast they are split off and compressed (here about every
    // 0.15 s): every line once, in order.
    void followsEveryPiece()
    {
        const ProcessMarker marker;
        const QTemporaryDir home;
        const QString data = home.filePath("Orvalen/launcher"), go = home.filePath("go");
        // 2,000 numbered lines, 50 every 0.1 s, once the follower reads.
        QVERIFY(writeFile(data + "/launcher.ini", "[logs]\nmax-file-size=1K\n"));
        QVERIFY(writeFile(data + "/apps/app.ini",
                          "[process-0]\nexec=/bin/sh\nlibrary-paths=/bin, /usr/bin\nmode=sync\n"
                          "arguments=-c, \"while [ ! -e " +
                              go.toUtf8() +
                              " ]; do sleep 0.05; done; i=0; while [ $i -lt 40 ]; do seq "
                              "$((i*50+1)) $((i*50+50)); i=$((i+1)); sleep 0.1; done\", " +
                              marker.text().toUtf8() + "\n"));
        QProcess run, follower;
        run.start(LAUNCHER_PROGRAM, {"--data-home", home.path(), "run", "app"});
        follower.start(LAUNCHER_PROGRAM, {"--data-home", home.path(), "logs", "app", "-f"});
        QByteArray out;
        const auto read = [&](const QByteArray& text) {
            out += follower.readAllStandardOutput();
            return out.contains(text);
        };
        QTRY_VERIFY_WITH_TIMEOUT(read("] Using pipeline log "), 30000);
        QVERIFY(writeFile(go, {}));
        const bool all = QTest::qWaitFor([&] { return read("] 2000\n"); }, 60000);
        follower.kill();
        follower.waitForFinished(30000);
        QVERIFY(all && (run.state() == QProcess::NotRunning || run.waitForFinished(30000)) &&
                run.exitCode() == 0);
        // The child's lines, less their prefix.
        const QRegularExpression numbered(R"(^\[ \d+ \] (?=\d+$))");
        QStringList expected;
        for (int i = 1; i <= 2000; ++i)
            expected.append(QString::number(i));
        QCOMPARE(QString(out).split('\n').filter(numbered).replaceInStrings(numbered, ""),
                 expected);
        QCOMPARE(follower.readAllStandardError(), QByteArray());
        QVERIFY(marker.noneLeft());
    }

    // check shows what a settings file says, each setting away from its
    // default; arguments and paths in UTF-8 reach the child intact, and check
    // fails on a warning only with --strict; a child starts with PATH made of
    // its library paths, the launcher's environment with its own map over
    // it, and, given an absolute program and no folder, the program's folder.
    void checkAndUtf8()
    {
        // Everything the launcher wrote, and its exit code last.
        const auto run = [](const QStringList& arguments) {
            const auto [code, output] = runProgram(LAUNCHER_PROGRAM, arguments);
            return QString::fromUtf8(output) + QString::number(code);
        };
        const QTemporaryDir home;
        const QString path = home.filePath("launcher.ini");
        QVERIFY(writeFile(path, "[autostart]\ntile=player\ntimeout=29\n[logs]\nrotate-period=19\n"
                                "keep-days=7\nmax-total-size=1G\nmax-file-size=5M\njournal=all\n"
                                "[ui]\nallow-exit=false\nshow-version=false\n"
                                "show-invalid-tiles=true\nlocation=0% 0%\nwidth=640px\n"
                                "title=Museum of Clocks\naccent-color=Navy\ntext-scale=1.5\n"
                                "renderer=software\n"));
        QCOMPARE(run({"check", path}),
                 path + "\n  autostart:  player after 29 s\n  rotate logs: older than 19 s\n"
                        "  keep logs:  compressed for 7 days, 1 GiB in all, files split at 5 MiB\n"
                        "  journal:    every line\n  ui:         allow-exit no, show-version no, "
                        "show-invalid-tiles yes, location 0% 0%, width 640px, renderer software\n"
                        "  brand:      title 'Museum of Clocks', accent-color navy, "
                        "text-scale 1.5\n  valid\n0");

        const QString data = home.filePath("Orvalen/launcher");
        const QString folder = home.filePath("Caf\u00e9 \u00d6l");
        QVERIFY(QDir().mkpath(folder + "/R\u00e9pertoire") &&
                QFile::copy(helperPath(), folder + "/h\u00e9lper"));
        QVERIFY(writeFile(
            data + "/apps/app.ini",
            ("[ui]\nname=Caf\u00e9\n[process-0]\nexec=" + folder +
             "/h\u00e9lper\nworking-directory=" + folder +
             "/R\u00e9pertoire\nlibrary-paths=/a, /b\nmode=sync\narguments=--write, "
             "Gr\u00fc\u00dfe\\\\n, --print-cwd, --print-env, PATH, --print-env, TEST_KEPT, "
             "--print-env, "
             "TEST_MINE\nargumets=x\n[process-0/environment]\nPATH=/env\nTEST_MINE=mine\n"
             "[process-1]\nmode=sync\nexec=" +
             folder + "/h\u00e9lper\narguments=--print-cwd\n")
                .toUtf8()));
        QVERIFY(run({"check", data + "/apps/app.ini"}).endsWith("valid, with warnings\n0"));
        QVERIFY(run({"check", "--strict", data + "/apps/app.ini"}).endsWith("warnings\n1"));
        qputenv("TEST_KEPT", "kept");
        qputenv("TEST_MINE", "launcher");
        const QString ran = run({"--data-home", home.path(), "run", "app"});
        QVERIFY2(ran.contains("] Gr\u00fc\u00dfe\n") && ran.endsWith("\n0") &&
                     ran.contains("] cwd=" + folder + "/R\u00e9pertoire\n") &&
                     ran.contains("] cwd=" + folder + "\n") && ran.contains("] PATH=/a:/b\n") &&
                     ran.contains("] TEST_KEPT=kept\n") && ran.contains("] TEST_MINE=mine\n"),
                 qPrintable(ran));
    }
};

LAUNCHER_TEST(TestConsole)
#include "TestConsole.moc"
