// The pipeline log file: writes that fail and work again, a run past midnight
// (a link in the new day's place included), the size limit, the numbers of
// its pieces and the folder's total under a flood; a reader that follows a
// log through its pieces and the files after it.

#include "Backend.h"
#include "PipelineController.h"
#include "ShiftedClock.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/LogFollower.h"
#include "logs/LogRotation.h"
#include "logs/PipelineLog.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Files beside a log before it is split twice, and the pieces the splits make.
const struct
{
    const char* name;
    const char* planted;
    const char* pieces;
} PlantedPieces[] = {
    {"planted numbers, one beyond 64 bits", ".500 .99999999999999999999", ".1 .2"},
    {"beside pieces of its own", ".1.gz .2 .2147483647", ".3 .4"},
    {"its oldest pieces removed", ".5.gz .6", ".7 .8"},
    {"at the highest number", ".999999998 .999999999", ".1 .2"},
    {"a name taken further on", ".1 .3.gz", ".2 .4"},
    // Removed just before it splits (to make room, or by hand): it goes on in
    // a file made anew at its path, and splits from there.
    {"the log removed after its first line", "", ".1"},
};

// What the files of a folder take in all, hidden and temporary ones included.
qint64 folderSize(const QString& folder)
{
    qint64 sum = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System); it.hasNext();) {
        it.next();
        sum += it.fileInfo().size();
    }
    return sum;
}

} // namespace

class TestPipelineLog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // The lines of a child's own output (not time-stamped) in a log, without the
    // prefix.
    static QStringList childLines(const QString& path)
    {
        const QRegularExpression prefix(R"(^\[ \d+ \] (?!\[))");
        return QString(fileContent(path)).split('\n').filter(prefix).replaceInStrings(prefix, "");
    }

    // A logged pipeline of test-helper in a folder of its own.
    PipelineConfig logged(const QStringList& arguments, const QString& folder)
    {
        PipelineConfig pipeline = pipelineOf({helperProcess(ProcessMode::Sync, true, arguments)});
        pipeline.logBasename = "app";
        QDir().mkpath(pipeline.logPath = m_dir.filePath(folder));
        return pipeline;
    }

private slots:
    // A file that may not grow fails every write: reported once, nothing kept
    // in memory, and the loss is told when writing works again.
    void failedWritesResume()
    {
        const QString path = m_dir.filePath("app.log");
        const MessageCapture messages;
        const std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
        QVERIFY(log);
        log->write("first\n", 6, 1);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{10, RLIM_INFINITY}, unlimited{RLIM_INFINITY, RLIM_INFINITY};
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const QByteArray line = QByteArray(4095, 'x') + '\n';
        for (int i = 0; i < 16384; ++i) // 64 MiB
            log->write(line, 1);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        getrusage(RUSAGE_SELF, &after);
        QVERIFY2(after.ru_maxrss - before.ru_maxrss < 8192, "the failed lines were kept");
        log->write("resumed\n", 8, 1);
        QCOMPARE(messages.count("Failed to write log file '"), 1);
        QList<QByteArray> lines = fileContent(path).split('\n');
        QVERIFY(
            lines.takeAt(2).endsWith("] 16384 log lines were lost: the file could not be written"));
        QCOMPARE(lines, QList<QByteArray>({"first", "xxxx", "resumed", ""}));
    }

    void childLinesAlike_data() { addFlagRows("stamped", "as written", "time-stamped"); }

    // A child's lines reach the message output and the file alike, byte for
    // byte and in order, under the writer's pid and, with add-log-timestamp,
    // the time of their read. A CR, a CRLF or an LF ends a line, empty lines
    // are dropped, and a NUL ends its line; a line that a read cut off, and
    // the last one without its line feed, are lines of their own.
    void childLinesAlike()
    {
        QFETCH(bool, stamped); // add-log-timestamp
        const QString go = m_dir.filePath(stamped ? "go-stamped" : "go");
        PipelineConfig pipeline = logged({}, stamped ? "alike-stamped" : "alike");
        ProcessConfig& process = pipeline.processList[0];
        process.exec = "/bin/sh";
        process.libraryPaths = QStringList{"/usr/bin", "/bin"};
        // The rest once the first read has been logged.
        process.arguments =
            QStringList{"-c", "printf '\\r\\none\\r\\ntw'; until [ -e '" + go +
                                  "' ]; do sleep 0.05; done; printf "
                                  "'o\\n\\n\\nna\\303\\257ve\\r\\rfo\\0ur\\n'; printf last"};
        process.timestampLogEntries = stamped;
        const MessageCapture messages;
        PipelineController controller;
        QVERIFY(controller.start(pipeline, true));
        // The child's own log lines: not the launcher's, nor the process's
        // that tell its start and end.
        const QRegularExpression own(QString(R"(^\[ (?!%1 )\d+ \] (?!.*\] Process ))")
                                         .arg(QCoreApplication::applicationPid()));
        const auto childLines = [&](const QStringList& lines) { return lines.filter(own); };
        QTRY_VERIFY_WITH_TIMEOUT(childLines(messages.texts(QtInfoMsg)).size() == 2, 20000);
        QVERIFY(writeFile(go, ""));
        QVERIFY(controller.waitForPipelineFinished(20000));

        const QStringList lines = childLines(messages.texts(QtInfoMsg));
        QCOMPARE(childLines(QString::fromUtf8(fileContent(controller.logFilePath())).split('\n')),
                 lines);
        const QString started = messages.texts(QtInfoMsg).filter("] Process started: ").value(0);
        const QRegularExpression shape(
            QString(R"(^\[ %1 \] %2(.*)$)")
                .arg(started.section(' ', 1, 1),
                     stamped ? R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )" : ""));
        QStringList texts;
        for (const QString& line : lines)
            texts << shape.match(line).captured(1);
        QCOMPARE(texts,
                 QStringList({"one", "tw", "o", QString::fromUtf8("na\303\257ve"), "fo", "last"}));
    }

    void followsTheDay_data()
    {
        addFlagRows("refused", "the new day's file",
                    "the new day's file refused: the run stays in its file");
    }

    // At midnight the run goes on in the new day's file, and the controller
    // names the file it writes; a file it cannot open loses no line.
    void followsTheDay()
    {
        QFETCH(bool, refused); // a link stands where the new day's file goes
        const PipelineConfig pipeline =
            logged({"--delay", "2", "--write", "after\n"}, refused ? "refused" : "day");
        const QString first = PipelineLog::filePath(pipeline, QDate(2026, 12, 7));
        const QString second = PipelineLog::filePath(pipeline, QDate(2026, 12, 8));
        if (refused) {
            QVERIFY(writeFile(second + ".old", "") && QFile::link(second + ".old", second));
            QTest::ignoreMessage(QtCriticalMsg,
                                 qPrintable("Failed to create log file " + second + ": '" + second +
                                            "' is a symbolic link"));
        }
        // Midnight comes 0.7 s after the start, the child's line 2 s after it.
        const ShiftedClock clock(QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 300)));
        PipelineController controller;
        QVERIFY(controller.start(pipeline, true));
        QCOMPARE(controller.logFilePath(), first);
        QVERIFY(controller.waitForPipelineFinished(20000));
        const QString last = refused ? first : second;
        QCOMPARE(controller.logFilePath(), last);
        QCOMPARE(childLines(last), QStringList{"after"});
        QCOMPARE(fileContent(first).contains("] Pipeline log continues in " + second.toUtf8()),
                 !refused);
        // The new file's first line bears the new day's time.
        const QString opening = QString(fileContent(second)).section('\n', 0, 0);
        QVERIFY2(refused || (opening.contains("] [2026-12-08 00:00:") &&
                             opening.endsWith("] Using pipeline log " + second)),
                 qPrintable(opening));
    }

    void sizeLimit_data()
    {
        QTest::addColumn<int>("before"); // lines of 300 a's in today's file before the run
        QTest::addColumn<QStringList>("helper");
        QTest::addColumn<QString>("piece"); // where the lines so far go
        // A piece compressed earlier counts: numbers follow the order of the
        // pieces.
        QTest::newRow("above the limit at the start")
            << 4 << QStringList{"--write", "new\n"} << ".2";
        // Split on the write that crosses the limit, not at the next look.
        QTest::newRow("grows beyond it while running")
            << 0 << QStringList{"--write", QString(300, 'a') + "\n", "--delay", "0.1", "--write",
                                "new\n"}
            << ".1";
    }

    // A file beyond the limit moves aside as the next piece, and the lines go
    // on in a new file that says where the earlier ones are.
    void sizeLimit()
    {
        QFETCH(int, before);
        QFETCH(QStringList, helper);
        QFETCH(QString, piece);
        const PipelineConfig pipeline = logged(helper, QTest::currentDataTag());
        const QString path = PipelineLog::filePath(pipeline);
        QVERIFY(before == 0 ||
                (writeFile(path, ("[ 1 ] " + QByteArray(300, 'a') + '\n').repeated(before)) &&
                 writeFile(path + ".1.gz", "older piece")));
        PipelineController controller;
        controller.setLogFileSizeLimit(1024);
        QSignalSpy split(&controller, &PipelineController::logFileSplit);
        QVERIFY(controller.start(pipeline, true) && controller.waitForPipelineFinished(20000));
        QCOMPARE(split, QList<QList<QVariant>>{{path + piece}});
        QCOMPARE(childLines(path + piece).join(QString()), QString(std::max(before, 1) * 300, 'a'));
        QCOMPARE(childLines(path), QStringList{"new"});
        const QByteArray opening = fileContent(path).split('\n').first();
        QVERIFY2(opening.endsWith("(the limit is 1024): the earlier lines are in " +
                                  QFileInfo(path + piece).fileName().toUtf8() + ".gz"),
                 opening.constData());
    }

    void plantedPieces_data() { addRows(PlantedPieces); }

    // Numbers follow the pieces the log split off itself: a planted one is
    // neither taken up nor replaced.
    void plantedPieces()
    {
        const auto& row = currentRow(PlantedPieces);
        const QString path = m_dir.filePath(QString(QTest::currentDataTag()) + "/a.log");
        const QStringList planted = QString(row.planted).split(' ', Qt::SkipEmptyParts);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        for (const QString& suffix : planted)
            QVERIFY(writeFile(path + suffix, "planted"));
        const MessageCapture messages;
        const std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
        QStringList pieces;
        log->limitSize(10, QString(), 0,
                       [&](const QString& piece) { pieces << piece.mid(path.size()); });
        for (int i = 0; i < 3; ++i) {
            log->write("0123456789\n", 11, 1);
            QVERIFY(i > 0 || !planted.isEmpty() || QFile::remove(path));
        }
        QCOMPARE(pieces.join(' '), QString(row.pieces));
        QVERIFY(QFile::exists(path) && messages.count("Unable to split") == 0);
        for (const QString& suffix : planted)
            QCOMPARE(fileContent(path + suffix), QByteArray("planted"));
    }

    void movedAway_data() { addFlagRows("folder", "the file removed", "the folder renamed"); }

    // The run goes on in a file made anew at its path (in a folder made anew
    // when that went), not in what was moved away.
    void movedAway()
    {
        QFETCH(bool, folder); // else the file
        const QString dir = m_dir.filePath(QTest::currentDataTag());
        const QString path = dir + "/a.log";
        const std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
        QVERIFY(log);
        log->write("before\n", 7, 1);
        QVERIFY(folder ? QDir().rename(dir, dir + ".old") : QFile::remove(path));
        // Looked at once a second: lines go on until one reaches the new file.
        int written = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (log->write("after\n", 6, 1), ++written, fileContent(path).contains("after")), 10000);
        QVERIFY(!fileContent(path).contains("before"));
        // What went to a removed file is gone with it; a moved one keeps it.
        if (folder)
            QCOMPARE(int(fileContent(path).count("after") +
                         fileContent(dir + ".old/a.log").count("after")),
                     written);
    }

    // A follower that comes to a log after it was split several times reads
    // each piece in order, from its file or its .gz, the one it had open even
    // when removed, and tells where a piece removed meanwhile is missing. The
    // pieces are removed (-), compressed (z) or kept (p); the first is the
    // file it had open.
    void followerComesLate()
    {
        const char fates[] = "-z-p";
        const QString path = m_dir.filePath("late/app.log");
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        const MessageCapture quiet;
        const std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
        QStringList pieces;
        log->limitSize(300, QString(), 0, [&](const QString& piece) { pieces << piece; });
        LogFollower follower([path] { return path; }, -1);
        QVERIFY(follower.open());
        for (int i = 1; pieces.size() < 4; ++i)
            log->write("line " + QByteArray::number(i) + '\n', 1);
        QByteArray expected;
        qint64 missingAt = -1;
        for (int i = 0; i < pieces.size(); ++i) {
            const QByteArray content = fileContent(pieces[i]);
            const char fate = fates[i];
            if (fate == 'z')
                LogRotation::ofPiece(pieces[i]).rotate(QDateTime::currentDateTime());
            if (fate == '-')
                QVERIFY(QFile::remove(pieces[i]));
            if (fate == '-' && i > 0)
                missingAt = expected.size();
            else
                expected += content;
        }
        expected += fileContent(path);
        QVERIFY(QFile::exists(pieces[1] + ".gz"));
        QByteArray out;
        qint64 lostAt = -1;
        for (;;) {
            const QByteArray bytes = follower.read();
            const int lost = follower.takeLost();
            if (lost > 0)
                lostAt = lostAt < 0 && lost == 1 ? out.size() : -2;
            out += bytes;
            if (bytes.isEmpty() && lost == 0)
                break;
        }
        QCOMPARE(out, expected);
        QCOMPARE(lostAt, missingAt);
    }

    void followerGoesOn_data()
    {
        QTest::addColumn<int>("next"); // 0: a file made anew, 1: the next day's, 2: both
        QTest::newRow("moved away, then made anew") << 0;
        QTest::newRow("the next day's file") << 1;
        QTest::newRow("the next day's file, the first removed") << 2;
    }

    // A follower goes on in the file that follows the one it reads only once
    // that one's writer has moved on and it is read to its end: a file made
    // anew at the path, or the next day's file that the locator names (also
    // when the one read was removed).
    void followerGoesOn()
    {
        QFETCH(int, next);
        const QString folder = m_dir.filePath(QTest::currentDataTag());
        const QString first = folder + "/app-2026-12-07.log",
                      second = folder + "/app-2026-12-08.log";
        const auto append = [](const QString& path, const QByteArray& text) {
            QFile file(path);
            return file.open(QIODevice::Append) && file.write(text) == text.size();
        };
        bool switched = false, appended = false;
        QVERIFY(writeFile(first, "one\n"));
        // The writer's last line lands as the locator names the next file.
        LogFollower follower(
            [&] {
                if (switched && !std::exchange(appended, true))
                    append(first, "two\n");
                return switched ? second : first;
            },
            -1);
        QVERIFY(follower.open());
        QCOMPARE(follower.read(), QByteArray("one\n"));
        if (next == 0) {
            // A writer notices a move late, and begins a new file only then.
            QVERIFY(QFile::rename(first, first + ".old"));
            QCOMPARE(follower.read(), QByteArray());
            QVERIFY(append(first + ".old", "two\n") && writeFile(first, "three\n"));
        } else {
            appended = next == 2;
            QVERIFY(!appended || (append(first, "two\n") && QFile::remove(first)));
            QVERIFY(writeFile(second, "three\n"));
            switched = true;
        }
        QByteArray out;
        QTRY_COMPARE_WITH_TIMEOUT(out += follower.read(), QByteArray("two\nthree\n"), 10000);
    }

    // Launchers that write one logs folder keep its total together: each
    // takes room for its file under the folder's lock (which another may
    // hold), where no other has claimed it, and never removes a file that
    // another writes to. Three logs begin in a folder full of compressed
    // history and fill their files, then a fourth begins.
    void sharedFolder()
    {
        const QString folder = m_dir.filePath("shared");
        const qint64 total = 100 * 1024;
        for (int i = 0; i < 10; ++i)
            QVERIFY(
                writeAged(folder + QString("/old-%1.log.gz").arg(i), 10 * 1024, 86400 * (10 - i)));
        const MessageCapture quiet;
        std::unique_ptr<PipelineLog> logs[4];
        const auto begin = [&](int i) {
            logs[i] = PipelineLog::open(folder + '/' + char('a' + i) + ".log");
            logs[i]->limitSize(20 * 1024, folder, total, {});
        };
        // A lock that someone holds longer than a launcher ever does (anyone
        // who may open the folder may take it) is waited for a moment only:
        // the writer goes on, keeping the total for its own files, and says so once.
        const int held = ::open(QFile::encodeName(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        begin(0);
        ::close(held);
        QCOMPARE(quiet.count("Unable to lock the logs folder '" + folder + "'"), 1);
        begin(1);
        begin(2);
        const QByteArray line = QByteArray(99, 'x') + '\n';
        for (int i = 0; i < 3; ++i) {
            for (int n = 0; n < 190; ++n)
                logs[i]->write(line, 1);
        }
        QVERIFY2(folderSize(folder) <= total, qPrintable(QString::number(folderSize(folder))));
        begin(3);
        QVERIFY2(folderSize(folder) <= total, qPrintable(QString::number(folderSize(folder))));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(QFileInfo(logs[i]->filePath()).size(), 190 * 100);
    }

    // A child that writes as fast as it can never takes the logs folder
    // beyond its total (sampled every 100 ms, temporary files included), nor
    // a file beyond its size and a line; what has to go is told in the log.
    void flood()
    {
        const DataFolders folders;
        const ProcessMarker marker;
        const qint64 fileSize = 256 * 1024, total = 1024 * 1024;
        const QString logs = folders.user() + "/logs";
        QVERIFY(writeFile(folders.user() + "/launcher.ini",
                          "[logs]\nmax-file-size=256K\nmax-total-size=1M\n"));
        QVERIFY(writeFile(folders.user() + "/apps/flood.ini",
                          "[process-0]\nexec=/usr/bin/yes\nmode=sync\narguments=" +
                              marker.text().toUtf8()));
        // An earlier run's output that waits for its compression.
        QVERIFY(writeFile(logs + "/flood-2026-12-06.log", QByteArray(600 * 1024, 'x')));
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        Backend backend;
        QVERIFY(backend.initialize() && backend.startApplication("flood"));
        QVERIFY(fileContent(backend.pipelineController()->logFilePath())
                    .contains("] Dropped 600 KiB of earlier output: the logs folder is at its "
                              "max-total-size of 1 MiB and compression fell behind\n"));
        const QRegularExpression uncompressed(R"(\.log(\.\d+)?$)");
        qint64 largest = 0, largestFile = 0;
        for (int sample = 0; sample < 30; ++sample) {
            QTest::qWait(100);
            qint64 sum = 0;
            for (QDirIterator it(logs, QDir::Files | QDir::Hidden | QDir::System); it.hasNext();) {
                sum += QFileInfo(it.next()).size();
                if (uncompressed.match(it.fileName()).hasMatch())
                    largestFile = std::max(largestFile, it.fileInfo().size());
            }
            largest = std::max(largest, sum);
        }
        backend.stopApplication();
        QVERIFY(marker.noneLeft());
        QVERIFY2(largest <= total, qPrintable(QString::number(largest)));
        QVERIFY2(largestFile <= fileSize + marker.text().size() + 16,
                 qPrintable(QString::number(largestFile)));
    }
};

LAUNCHER_TEST(TestPipelineLog)
#include "TestPipelineLog.moc"
