// What another user can plant where the launcher keeps its runtime files
// harms no one: runtime folders open to others or not their own, records of
// strangers, records that name pid 1 or the launcher's own ancestor, links
// where a record is written. And a launcher without a control socket still
// runs its autostart application. Runs the real launcher where processes are
// at stake; every process a test starts carries the test's marker.

#include "TestFixtures.h"
#include "TestRegistry.h"
#include "process/ProcessRecord.h"
#include "support/ProcFs.h"
#include "support/RuntimeFolder.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const int LimitMs = 30000;
// The owner of what another user plants.
const uid_t Stranger = 65534;
// No launcher has this pid: the records planted here are of ended launchers.
const QByteArray DeadLauncher = "launcher 999999999 7\n";

using Result = std::pair<int, QByteArray>; // exit code, both streams

QStringList s_warnings; // the trace warnings of the in-process test

int modeOf(const QString& path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                    : -1;
}

bool makePrivateFolder(const QString& path)
{
    return QDir().mkpath(path) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool chownPath(const QString& path, uid_t owner)
{
    return ::lchown(QFile::encodeName(path).constData(), owner, gid_t(-1)) == 0;
}

// The lines of the output that the console marks as warnings.
QList<QByteArray> warningLines(const QByteArray& output)
{
    QList<QByteArray> warnings;
    for (const QByteArray& line : output.split('\n'))
        if (line.startsWith("warning: "))
            warnings.append(line);
    return warnings;
}

} // namespace

class TestRuntimeSafety : public QObject
{
    Q_OBJECT

    std::unique_ptr<DataFolders> m_folders;
    QByteArray m_marker; // a number of seconds for sleep, unique to the test: "3600.<random>"

    // The data home of the launcher (XDG_DATA_HOME, too), its private
    // runtime folder (XDG_RUNTIME_DIR), and where the runtime files go.
    QString home() const { return m_folders->root() + "/user"; }
    QString runtime() const { return m_folders->root() + "/runtime"; }
    QString records() const { return runtime() + "/Orvalen/launcher"; }
    QString dataRun() const { return m_folders->user() + "/run"; }

    Result launch(const QStringList& arguments, const QString& program = LAUNCHER_PROGRAM,
                  const QStringList& before = QStringList()) const
    {
        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(program, before + QStringList{"--data-home", home()} + arguments);
        launcher.waitForFinished(LimitMs);
        return {launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1,
                launcher.readAll()};
    }

    // A marked sleep that is no child of the test's; its pid and start time.
    std::pair<qint64, quint64> startSleep() const
    {
        qint64 pid = 0;
        if (!QProcess::startDetached("sleep", {m_marker}, QString(), &pid))
            return {0, 0};
        return {pid, ProcFs::startTime(pid)};
    }

    static bool isRunning(qint64 pid, quint64 startTime)
    {
        ProcFs::ProcessStat stat;
        return ProcFs::readStat(pid, stat) && stat.startTime == startTime && stat.state != 'Z';
    }

    QByteArray recordOf(qint64 pid, quint64 startTime) const
    {
        return DeadLauncher + "process " + QByteArray::number(pid) + ' ' +
               QByteArray::number(startTime) + '\n';
    }

    // The application "app" of test-helper with these options, started at
    // once by the main job.
    void writeApp(const QString& options) const
    {
        QVERIFY(
            writeFile(m_folders->user() + "/apps/app.ini",
                      QString("[process-0]\nexec=%1\nlibrary-paths=%2\nmode=sync\n"
                              "arguments=--write, %3, %4\n")
                          .arg(helperPath(), QFileInfo(helperPath()).path(), m_marker, options)
                          .toUtf8()) &&
            writeFile(m_folders->user() + "/launcher.ini", "[autostart]\ntimeout=-1\ntile=app\n"));
    }

private slots:
    void init()
    {
        m_folders = std::make_unique<DataFolders>();
        QVERIFY(makePrivateFolder(runtime()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime()));
        // A start that cleans up and starts nothing marked.
        QVERIFY(writeFile(m_folders->user() + "/apps/next.ini",
                          "[process-0]\nexec=/bin/true\nmode=sync\n"));
        m_marker = "3600." + QByteArray::number(QRandomGenerator::global()->bounded(1u << 30));
    }
    void cleanup()
    {
        for (const qint64 pid : markedProcesses(m_marker))
            ::kill(pid_t(pid), SIGKILL);
        qunsetenv("XDG_RUNTIME_DIR");
        m_folders.reset();
    }

    void runtimeFolder_data()
    {
        QTest::addColumn<QString>("runtimeCase"); // what $XDG_RUNTIME_DIR is
        QTest::addColumn<QString>("dataCase");    // what is wrong with the data folder, if anything
        QTest::addColumn<QString>("expected");    // runtime, data or none
        QTest::addColumn<QString>("warning");     // RUNTIME and DATA stand for the folders

        const struct
        {
            const char *row, *runtime, *data, *expected, *warning;
        } rows[] = {
            {"private", "private", "", "runtime", ""},
            {"unset", "unset", "", "data", ""},
            {"shared, 1777", "1777", "", "data", "'RUNTIME' is open to other users (mode 1777)"},
            {"another user's", "stranger", "", "data", "'RUNTIME' is owned by user 65534"},
            {"a link", "link", "", "data", "'RUNTIME-link' is a link"},
            {"own folders below, too open", "loose below", "", "runtime", ""},
            {"another user's folder below", "stranger below", "", "data",
             "'RUNTIME/Orvalen' is owned by user 65534"},
            {"neither: shared, and run a file", "1777", "run file", "none",
             "No folder for the launcher's runtime files, so no process record and no control "
             "socket: 'RUNTIME' is open to other users (mode 1777); 'DATA/run' is not a folder"},
            {"neither: data folder writable by others", "unset", "data 0777", "none",
             "'DATA' may be written by other users (mode 0777)"},
        };
        for (const auto& row : rows)
            QTest::newRow(row.row) << QString(row.runtime) << QString(row.data)
                                   << QString(row.expected) << QString(row.warning);
    }

    // Looked at, then made: both find the same folder, only the second makes
    // it, private; a refused folder is named once.
    void runtimeFolder()
    {
        QFETCH(QString, runtimeCase);
        QFETCH(QString, dataCase);
        QFETCH(QString, expected);
        QFETCH(QString, warning);
        if (runtimeCase == "unset") {
            qunsetenv("XDG_RUNTIME_DIR");
        } else if (runtimeCase == "1777") {
            QVERIFY(::chmod(QFile::encodeName(runtime()).constData(), 01777) == 0);
        } else if (runtimeCase == "stranger") {
            QVERIFY(chownPath(runtime(), Stranger));
        } else if (runtimeCase == "link") {
            QVERIFY(QFile::link(runtime(), runtime() + "-link"));
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime() + "-link"));
        } else if (runtimeCase == "loose below") {
            QVERIFY(QDir().mkpath(records()) &&
                    ::chmod(QFile::encodeName(records()).constData(), 0777) == 0);
        } else if (runtimeCase == "stranger below") {
            QVERIFY(makePrivateFolder(records()) && chownPath(runtime() + "/Orvalen", Stranger));
        }
        if (dataCase == "run file") {
            QVERIFY(writeFile(dataRun(), ""));
        } else if (dataCase == "data 0777") {
            QVERIFY(QDir().mkpath(m_folders->user()) &&
                    ::chmod(QFile::encodeName(m_folders->user()).constData(), 0777) == 0);
        }
        const QString path = expected == "runtime" ? records()
                             : expected == "data"  ? dataRun()
                                                   : QString();
        const bool existed = QFileInfo::exists(path);

        s_warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& text) {
                if (type == QtWarningMsg)
                    s_warnings.append(text);
            });
        const RuntimeFolder folder;
        const RuntimeFolder::Found looked = folder.find(RuntimeFolder::Look);
        const bool madeByLooking = !existed && QFileInfo::exists(path);
        const RuntimeFolder::Found made = folder.find(RuntimeFolder::Make);
        qInstallMessageHandler(previous);

        QCOMPARE(looked.path, path);
        QVERIFY(!madeByLooking);
        QCOMPARE(made.path, path);
        QCOMPARE(made.problem.isEmpty(), !path.isEmpty());
        if (!path.isEmpty()) {
            // The folders below the runtime or data folder are the launcher's: 0700.
            QCOMPARE(modeOf(path), 0700);
            if (expected == "runtime")
                QCOMPARE(modeOf(runtime() + "/Orvalen"), 0700);
            QCOMPARE(QFileInfo(path).ownerId(), uint(::geteuid()));
        }
        if (warning.isEmpty()) {
            QCOMPARE(s_warnings, QStringList());
        } else {
            QCOMPARE(s_warnings.size(), 1);
            const QString text =
                QString(warning).replace("RUNTIME", runtime()).replace("DATA", m_folders->user());
            QVERIFY2(s_warnings.first().contains(text), qPrintable(s_warnings.first()));
        }
        // A shared folder is left as it was.
        if (runtimeCase == "1777")
            QVERIFY(!QFileInfo::exists(runtime() + "/Orvalen"));
    }

    void plantedRecords_data()
    {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("stopped");    // the marked sleep that the record names
        QTest::addColumn<QString>("message"); // RECORD: the record's path; PID: the sleep's

        // The one record that counts shows that the others are read, too.
        QTest::newRow("own record") << "own" << true << "info: Stopping process PID '";
        QTest::newRow("another user's record")
            << "stranger" << false
            << "warning: Ignoring the process record 'RECORD': it belongs to user 65534";
        QTest::newRow("a link to a record")
            << "link" << false << "warning: Ignoring the process record 'RECORD': it is a link";
        QTest::newRow("a FIFO") << "fifo" << false
                                << "warning: Ignoring the process record 'RECORD': it is not a "
                                   "regular file";
        QTest::newRow("the launcher's ancestor")
            << "ancestor" << false
            << "warning: Leaving process PID 'CMDLINE' that the record 'RECORD' names alone: "
               "it is an ancestor of this launcher";
    }

    void plantedRecords()
    {
        QFETCH(QString, plant);
        QFETCH(bool, stopped);
        QFETCH(QString, message);
        auto [pid, startTime] = startSleep();
        QVERIFY(pid > 0 && startTime > 0);
        if (plant == "ancestor") {
            // The test runs the launcher: it is its parent. Were it signalled,
            // the test program would end, a failure all the same.
            pid = QCoreApplication::applicationPid();
            startTime = ProcFs::startTime(pid);
        }
        QVERIFY(makePrivateFolder(records()));
        const QString record = records() + "/4242.processes";
        if (plant == "link") {
            QVERIFY(
                writeFile(m_folders->root() + "/elsewhere.processes", recordOf(pid, startTime)) &&
                QFile::link(m_folders->root() + "/elsewhere.processes", record));
        } else if (plant == "fifo") {
            QVERIFY(::mkfifo(QFile::encodeName(record).constData(), 0600) == 0);
        } else {
            QVERIFY(writeFile(record, recordOf(pid, startTime)));
            if (plant == "stranger")
                QVERIFY(chownPath(record, Stranger));
        }

        const Result result = launch({"run", "next"});
        QCOMPARE(result.first, 0);
        QCOMPARE(isRunning(pid, startTime), !stopped);
        const QString expected = QString(message)
                                     .replace("RECORD", record)
                                     .replace("CMDLINE", ProcFs::commandLine(pid))
                                     .replace("PID", QString::number(pid));
        QVERIFY2(result.second.contains(expected.toUtf8()), result.second);
    }

    // Inside a pid namespace of the test's own, whose pid 1 leads its group
    // and session as an init does; the launcher enters it from outside, so
    // pid 1 is not its ancestor there. A signal to pid 1's group would be
    // kill(-1): every process of the namespace.
    void pidOneInNamespace()
    {
        QProcess probe;
        probe.start("unshare", {"--pid", "--fork", "--mount-proc", "true"});
        if (!probe.waitForFinished(LimitMs) || probe.exitStatus() != QProcess::NormalExit ||
            probe.exitCode() != 0)
            QSKIP("no pid namespace can be made here (unshare --pid --fork --mount-proc)");
        QProcess space;
        space.start("unshare", {"--pid", "--fork", "--mount-proc", "setsid", "sh", "-c",
                                "sleep \"$0\" & wait", m_marker});
        qint64 init = 0; // pid 1 of the namespace, as the test sees it
        qint64 sleep = 0;
        QTRY_VERIFY_WITH_TIMEOUT((init = ProcFs::children(space.processId()).value(0)) > 0 &&
                                     (sleep = ProcFs::children(init).value(0)) > 0 &&
                                     ProcFs::commandLine(sleep) == "sleep " + m_marker,
                                 LimitMs);
        const quint64 sleepStart = ProcFs::startTime(sleep);
        QVERIFY(makePrivateFolder(records()) &&
                writeFile(records() + "/4242.processes", recordOf(1, ProcFs::startTime(init))));

        const Result result =
            launch({"run", "next"}, "nsenter",
                   {"--target", QString::number(init), "--pid", "--mount", LAUNCHER_PROGRAM});
        const bool survived = isRunning(sleep, sleepStart);
        ::kill(pid_t(init), SIGKILL); // the namespace ends with its pid 1
        QVERIFY(space.waitForFinished(LimitMs));
        QVERIFY2(survived, result.second);
        QVERIFY2(result.first == 0 && result.second.contains("warning: Leaving process 1 'sh -c "),
                 result.second);
    }

    void linkedRecord_data()
    {
        QTest::addColumn<QString>("name");   // where the link is planted, after the pid
        QTest::addColumn<bool>("strangers"); // the link is another user's
        QTest::newRow("at the old temporary name") << ".processes.new" << false;
        QTest::newRow("at the record") << ".processes" << false;
        QTest::newRow("another user's, at the record") << ".processes" << true;
    }

    // Links planted under this launcher's pid, pointing at a private file:
    // the file stays as it was; another user's link is not replaced.
    void linkedRecord()
    {
        QFETCH(QString, name);
        QFETCH(bool, strangers);
        const QString victim = m_folders->root() + "/private";
        QVERIFY(writeFile(victim, "private\n") &&
                QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(makePrivateFolder(records()));
        const QString prefix =
            QStringLiteral("%1/%2").arg(records()).arg(QCoreApplication::applicationPid());
        QVERIFY(QFile::link(victim, prefix + name));
        if (strangers) {
            QVERIFY(chownPath(prefix + name, Stranger));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("belongs to user 65534"));
        }
        ProcessRecord record;
        QCOMPARE(record.write({{1234, 5678}}), !strangers);
        record.remove();
        QCOMPARE(fileContent(victim), QByteArray("private\n"));
        QCOMPARE(modeOf(victim), 0600);
        QCOMPARE(QFileInfo(prefix + name).isSymLink(), name != ".processes" || strangers);
    }

    void noControlSocket_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("warning"); // SOCKET, DATA: the socket's path, the data folder

        const QString tooLong = "warning: No control socket: 'SOCKET' is too long for a socket "
                                "(BYTES bytes, at most 107)";
        QTest::newRow("main job, path too long") << ""
                                                 << "long" << tooLong;
        QTest::newRow("main job, no folder")
            << ""
            << "no folder"
            << "warning: No folder for the launcher's runtime files, so no process record and no "
               "control socket: 'DATA/run' is not a folder";
        QTest::newRow("serve, a folder in the socket's place")
            << "serve"
            << "folder"
            << "warning: No control socket: unable to listen on 'SOCKET': ";
    }

    // The autostart application runs and finishes; one warning says why
    // there is no socket.
    void noControlSocket()
    {
        QFETCH(QString, command);
        QFETCH(QString, fault);
        QFETCH(QString, warning);
        QString socket = records() + "/control";
        if (fault == "long") {
            const QString longer = m_folders->root() + '/' + QString(100, 'r');
            QVERIFY(makePrivateFolder(longer));
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(longer));
            socket = longer + "/Orvalen/launcher/control";
        } else if (fault == "no folder") {
            qunsetenv("XDG_RUNTIME_DIR");
            QVERIFY(writeFile(dataRun(), ""));
        } else {
            QVERIFY(makePrivateFolder(socket));
        }
        writeApp("--delay, 0");

        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(LAUNCHER_PROGRAM,
                       QStringList{"--data-home", home()} +
                           (command.isEmpty() ? QStringList() : QStringList{command}));
        QByteArray output; // each check reads on
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += launcher.readAll()).contains("'app' finished normally.") ||
                launcher.state() == QProcess::NotRunning,
            LimitMs);
        output += launcher.readAll();
        QVERIFY2(output.contains("'app' finished normally."), output);
        if (command == "serve")
            ::kill(pid_t(launcher.processId()), SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(launcher.state(), QProcess::NotRunning, LimitMs);
        output += launcher.readAll();
        QVERIFY2(output.contains(m_marker), output);
        QCOMPARE(launcher.exitCode(), command == "serve" ? 143 : 0);

        const QList<QByteArray> warnings = warningLines(output);
        const QString expected =
            QString(warning)
                .replace("SOCKET", socket)
                .replace("BYTES", QString::number(QFile::encodeName(socket).size()))
                .replace("DATA", m_folders->user());
        QVERIFY2(warnings.size() == 1 && warnings.first().startsWith(expected.toUtf8()), output);
    }
};

LAUNCHER_TEST(TestRuntimeSafety)
#include "TestRuntimeSafety.moc"
