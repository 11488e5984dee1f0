// Nothing that a pipeline's processes start outlives the pipeline: not after a
// normal finish, a termination request that a daemon ignores, nor after the
// launcher was killed (the next start stops what its record names). A
// controller destroyed while its pipeline runs: TestSupervision.
// What another user can plant where the launcher keeps its runtime files
// harms no one: runtime folders open to others or not their own, records of
// strangers, records that name pid 1, the launcher's own ancestor or a pid
// now another process's, links in place of records. And a launcher
// without a control socket still runs its autostart application. Runs the
// real launcher where processes are at stake; every process a test starts
// carries the test's marker.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "support/ProcFs.h"
#include "support/RuntimeFolder.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>
#include <optional>

#include <unistd.h>

namespace {

const int LimitMs = 30000;

bool isRunning(qint64 pid, quint64 startTime)
{
    ProcFs::ProcessStat stat;
    return ProcFs::readStat(pid, stat) && stat.startTime == startTime && stat.state != 'Z';
}

int zombieChildren(qint64 pid)
{
    int zombies = 0;
    for (const qint64 child : ProcFs::children(pid)) {
        ProcFs::ProcessStat stat;
        zombies += ProcFs::readStat(child, stat) && stat.state == 'Z';
    }
    return zombies;
}

// A record of an ended launcher that names the process: pid 1 runs, but
// started later than the record says, so its pid counts as reused.
QByteArray recordOf(qint64 pid, quint64 startTime)
{
    return QStringLiteral("launcher 1 7\nprocess %1 %2\n").arg(pid).arg(startTime).toUtf8();
}

// In the shell commands that set a case up and in the texts expected,
// RUNTIME, DATA and RECORDS stand for the runtime folder, the data folder and
// where the records go; 65534 is the user who plants.
const struct
{
    const char* name;
    const char* runtime; // what $XDG_RUNTIME_DIR is
    const char* setUp;
    const char* expected; // the folder found
    const char* warning;
} FolderCases[] = {
    {"private", "RUNTIME", "", "RECORDS", ""},
    {"readable by others, 0755", "RUNTIME", "chmod 0755 RUNTIME", "DATA/run",
     "'RUNTIME' is open to other users (mode 0755)"},
    {"another user's", "RUNTIME", "chown 65534 RUNTIME", "DATA/run",
     "'RUNTIME' is owned by user 65534"},
    {"a link", "RUNTIME-link", "ln -s RUNTIME RUNTIME-link", "DATA/run",
     "'RUNTIME-link' is a link"},
    {"neither: shared, and run a file", "RUNTIME",
     "chmod 1777 RUNTIME && mkdir -p DATA && touch DATA/run", "",
     "'RUNTIME' is open to other users (mode 1777); 'DATA/run' is not a folder"},
};

const struct
{
    const char* name;
    const char* setUp;   // RECORD: the record's path; its content is in RECORD.new
    bool stopped;        // the marked sleep that the record names
    const char* message; // PID: the sleep's, CMDLINE: its command line
} RecordCases[] = {
    // The one record that counts shows that the others are read, too.
    {"own record", "mv RECORD.new RECORD", true, "info: Stopping process PID '"},
    {"another user's record", "mv RECORD.new RECORD && chown 65534 RECORD", false,
     "Ignoring a process record: 'RECORD' belongs to user 65534"},
    {"a link to a record", "ln -s RECORD.new RECORD", false,
     "Ignoring a process record: 'RECORD' is a symbolic link"},
    // The test runs the launcher: it is its parent. Were it signalled, the
    // test program would end, a failure all the same.
    {"the launcher's ancestor", "mv RECORD.new RECORD", false,
     "Leaving process PID 'CMDLINE' that the record 'RECORD' names alone: it is an ancestor"},
    // Recorded with another start time: the pid of a process that has ended.
    {"a pid now another process's", "mv RECORD.new RECORD", false, ""},
};

} // namespace

class TestRuntimeSafety : public QObject
{
    Q_OBJECT

    std::unique_ptr<DataFolders> m_folders;
    std::optional<ProcessMarker> m_marker;

    // The data home of the launcher (XDG_DATA_HOME, too) and its private
    // runtime folder (XDG_RUNTIME_DIR).
    QString home() const { return m_folders->root() + "/user"; }
    QString runtime() const { return m_folders->root() + "/runtime"; }
    QString expanded(QString text) const
    {
        return text.replace("RECORDS", runtime() + "/Orvalen/launcher")
            .replace("RUNTIME", runtime())
            .replace("DATA", m_folders->user());
    }
    bool setUp(const QString& command, const QString& runtime) const
    {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(expanded(runtime)));
        return QProcess::execute("sh", {"-c", expanded(command)}) == 0;
    }

    // An application "app" of sh scripts as "mode:script", run by the path
    // that validation found, not the launcher's PATH; MARK is the marker.
    bool writeApp(const QStringList& processes) const
    {
        QString text;
        for (int i = 0; i < processes.size(); ++i)
            text +=
                QStringLiteral("[process-%1]\nexec=lifetime-sh\nlibrary-paths=%2, /usr/bin, /bin\n"
                               "mode=%3\narguments=-c, \"%4\"\n")
                    .arg(i)
                    .arg(home(), processes[i].section(':', 0, 0),
                         processes[i].section(':', 1).replace("MARK", m_marker->text()));
        return writeFile(m_folders->user() + "/apps/app.ini", text.toUtf8());
    }

private slots:
    void init()
    {
        m_folders = std::make_unique<DataFolders>();
        m_marker.emplace();
        QVERIFY(makePrivateFolder(runtime()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime()));
        // A start that cleans up and starts nothing marked.
        QVERIFY(writeFile(m_folders->user() + "/apps/next.ini",
                          "[process-0]\nexec=/bin/true\nmode=sync\n"));
    }
    void cleanup()
    {
        m_marker.reset();
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
    // stops what the record names.
    void stopped()
    {
        QFETCH(int, signal);
        QVERIFY(QFile::link("/bin/sh", home() + "/lifetime-sh"));
        QVERIFY(writeApp({"daemon:" + QString(signal ? "trap '' TERM; " : "") +
                              "sleep MARK & setsid sleep MARK & (setsid sleep MARK &); wait",
                          "sync:sleep MARK & (setsid sleep MARK &); i=0; while [ $i -lt 20 ]; do "
                          "(sleep 0.01 &); i=$((i+1)); done; sleep 1; read x; echo spawned-$i; " +
                              QString(signal ? "wait" : "exit")}));
        QProcess launcher;
        launcher.start(LAUNCHER_PROGRAM,
                       {"--data-home", home(), "--stop-timeout", "1", "run", "app"});
        const qint64 pid = launcher.processId();
        QByteArray output; // each check reads on
        QTRY_VERIFY_WITH_TIMEOUT((output += launcher.readAll()).contains("spawned-20"), LimitMs);
        if (signal) {
            QTRY_COMPARE_WITH_TIMEOUT(m_marker->processes(true).size(), 5, LimitMs);
            QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(pid), 0, LimitMs);
            // Killed, the launcher leaves only its record of them.
            const QString record = expanded("RECORDS/%1.processes").arg(pid);
            for (const qint64 sleep : m_marker->processes(true))
                QTRY_VERIFY_WITH_TIMEOUT(
                    signal != SIGKILL ||
                        fileContent(record).contains(" " + QByteArray::number(sleep) + " "),
                    LimitMs);
            ::kill(pid_t(pid), signal);
        }
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, LimitMs);
        if (signal == SIGKILL) {
            // Its own children, the shells, died with it at once; what they
            // started is the next start's to stop.
            QTRY_COMPARE_WITH_TIMEOUT(m_marker->processes().size(), 5, LimitMs);
            QCOMPARE(runProgram(LAUNCHER_PROGRAM, {"--data-home", home(), "run", "next"}).first, 0);
        }
        QVERIFY(m_marker->noneLeft(LimitMs));
        QVERIFY(QDir(expanded("RECORDS")).isEmpty());
    }
    void runtimeFolder_data() { addRows(FolderCases); }

    // Looked at, then made: both find the same folder, only the second makes
    // it, private; a refused folder is named once; a shared one is left as it was.
    void runtimeFolder()
    {
        const auto& row = currentRow(FolderCases);
        QVERIFY(setUp(row.setUp, row.runtime));
        const QString path = expanded(row.expected);
        const bool existed = QFileInfo::exists(path);
        std::optional<MessageCapture> capture(std::in_place);
        const RuntimeFolder folder;
        const RuntimeFolder::Found looked = folder.find(RuntimeFolder::Look);
        const bool madeByLooking = !existed && QFileInfo::exists(path);
        const RuntimeFolder::Found made = folder.find(RuntimeFolder::Make);
        const QStringList warnings = capture->texts(QtWarningMsg);
        capture.reset();

        QVERIFY(looked.path == path && made.path == path && !madeByLooking);
        QCOMPARE(made.problem.isEmpty(), !path.isEmpty());
        // The folders below the runtime or data folder are the launcher's: 0700.
        QVERIFY(path.isEmpty() ||
                (fileMode(path) == 0700 && QFileInfo(path).ownerId() == ::geteuid()));
        QVERIFY(path != expanded("RECORDS") || fileMode(runtime() + "/Orvalen") == 0700);
        QVERIFY2(warnings.size() == (*row.warning ? 1 : 0) &&
                     warnings.value(0).contains(expanded(row.warning)),
                 qPrintable(warnings.join('\n')));
        QVERIFY(fileMode(runtime()) != 01777 || !QFileInfo::exists(runtime() + "/Orvalen"));
    }

    void plantedRecords_data() { addRows(RecordCases); }

    // A pid counts only with its start time, a launcher's too: the records'
    // launcher, pid 1, is another process now.
    void plantedRecords()
    {
        const auto& row = currentRow(RecordCases);
        qint64 pid = 0;
        QVERIFY(QProcess::startDetached("sleep", {m_marker->text()}, QString(), &pid));
        if (qstrcmp(row.name, "the launcher's ancestor") == 0)
            pid = ::getppid(); // an ancestor whose /proc no emulator rewrites
        const quint64 startTime = ProcFs::startTime(pid);
        const bool reused = !*row.message;
        const QString record = expanded("RECORDS/4242.processes");
        QVERIFY(makePrivateFolder(expanded("RECORDS")) &&
                writeFile(record + ".new", recordOf(pid, startTime + (reused ? 1 : 0))));
        QVERIFY(setUp(QString(row.setUp).replace("RECORD", record), "RUNTIME"));

        const auto [code, output] =
            runProgram(LAUNCHER_PROGRAM, {"--data-home", home(), "run", "next"}, LimitMs);
        QCOMPARE(code, 0);
        QCOMPARE(isRunning(pid, startTime), !row.stopped);
        const QString expected = QString(row.message)
                                     .replace("RECORD", record)
                                     .replace("CMDLINE", ProcFs::commandLine(pid))
                                     .replace("PID", QString::number(pid));
        QVERIFY2(output.contains(expected.toUtf8()), output);
    }

    // Inside a pid namespace of the test's own, whose pid 1 leads its group
    // and session as an init does; the launcher enters it from outside, so
    // pid 1 is not its ancestor there. A signal to pid 1's group would be
    // kill(-1): every process of the namespace.
    void pidOneInNamespace()
    {
        if (QProcess::execute("unshare", {"--pid", "--fork", "--mount-proc", "true"}) != 0)
            QSKIP("no pid namespace can be made here (unshare --pid --fork --mount-proc)");
        QProcess space;
        space.start("unshare", {"--pid", "--fork", "--mount-proc", "setsid", "sh", "-c",
                                "sleep \"$0\" & wait", m_marker->text()});
        qint64 init = 0; // pid 1 of the namespace, as the test sees it
        qint64 sleep = 0;
        QTRY_VERIFY_WITH_TIMEOUT((init = ProcFs::children(space.processId()).value(0)) > 0 &&
                                     (sleep = ProcFs::children(init).value(0)) > 0 &&
                                     m_marker->processes(true) == QList<qint64>{sleep},
                                 LimitMs);
        const quint64 sleepStart = ProcFs::startTime(sleep);
        QVERIFY(
            makePrivateFolder(expanded("RECORDS")) &&
            writeFile(expanded("RECORDS/4242.processes"), recordOf(1, ProcFs::startTime(init))));
        const auto [code, output] =
            runProgram("nsenter", {"--target", QString::number(init), "--pid", "--mount",
                                   LAUNCHER_PROGRAM, "--data-home", home(), "run", "next"});
        const bool survived = isRunning(sleep, sleepStart);
        ::kill(pid_t(init), SIGKILL); // the namespace ends with its pid 1
        QVERIFY(space.waitForFinished(LimitMs));
        QVERIFY2(survived && code == 0 && output.contains("warning: Leaving process 1 'sh -c "),
                 output);
    }

    void noControlSocket_data()
    {
        addFlagRows("tooLong", "a folder where the socket goes", "a path too long for a socket");
    }

    // The autostart application runs and finishes all the same; one warning
    // says why there is no socket.
    void noControlSocket()
    {
        QFETCH(bool, tooLong); // the runtime folder's path; else a folder in its place
        const QString folder = tooLong ? m_folders->root() + '/' + QString(100, 'r') : runtime();
        const QString socket = folder + "/Orvalen/launcher/control";
        QVERIFY(
            makePrivateFolder(tooLong ? folder : socket) &&
            writeFile(m_folders->user() + "/launcher.ini", "[autostart]\ntimeout=0\ntile=next"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder));
        const auto [code, output] = runProgram(LAUNCHER_PROGRAM, {"--data-home", home()}, LimitMs);
        const QString why = tooLong ? "'" + socket + "' is too long for a socket ("
                                    : "'" + socket + "' is a folder";
        QVERIFY2(code == 0 && output.contains("'next' finished normally.") &&
                     output.count("warning: ") == 1 &&
                     output.contains("warning: No control socket: " + why.toUtf8()),
                 output);
    }
};

LAUNCHER_TEST(TestRuntimeSafety)
#include "TestRuntimeSafety.moc"
