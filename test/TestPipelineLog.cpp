// The pipeline log file: a link in its place, writes that fail and work again,
// a file removed or renamed during a run, long lines while another writer
// appends to the same file, a run past midnight, the size limit, and a reader
// that follows the file.

#include "PipelineController.h"
#include "ShiftedClock.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/LogFollower.h"
#include "logs/PipelineLog.h"
#include "support/MonotonicClock.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

class TestPipelineLog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // The lines of a child's own output (not time-stamped) in a log, without the prefix.
    static QStringList childLines(const QString& path)
    {
        const QRegularExpression prefix(R"(^\[ \d+ \] (?!\[))");
        return QString(fileContent(path)).split('\n').filter(prefix).replaceInStrings(prefix, "");
    }

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
        static int errors = 0;
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
                errors += text.startsWith("Failed to write log file '") && text.endsWith("large");
            });
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
        qInstallMessageHandler(previous);
        QCOMPARE(errors, 1);
        QList<QByteArray> lines = fileContent(path).split('\n');
        QVERIFY(
            lines.takeAt(2).endsWith("] 16384 log lines were lost: the file could not be written"));
        QCOMPARE(lines, QList<QByteArray>({"first", "xxxx", "resumed", ""}));
    }

    void replacedFile_data()
    {
        QTest::addColumn<QString>("change"); // "link" before the run, the others once "one" is in
        QTest::addColumn<QStringList>("atPath"); // the child's lines at the path afterwards
        QTest::addColumn<QStringList>("beside"); // and in the file beside it
        QTest::newRow("link planted")
            << "link" << QStringList{"precious"} << QStringList{"precious"};
        QTest::newRow("removed") << "remove" << QStringList{"two"} << QStringList();
        QTest::newRow("renamed") << "rename" << QStringList{"two"} << QStringList{"one"};
    }

    // A link planted as today's log is refused, and the run goes on without a
    // file; after a file was removed or renamed, the run goes on in one made anew.
    void replacedFile()
    {
        QFETCH(QString, change);
        QFETCH(QStringList, atPath);
        QFETCH(QStringList, beside);
        const PipelineConfig pipeline =
            logged({"--write", "one\n", "--delay", "1.5", "--write", "two\n"}, change);
        const QString path = PipelineLog::filePath(pipeline);
        if (change == "link") {
            QVERIFY(writeFile(path + ".old", "[ 1 ] precious\n") &&
                    QFile::link(path + ".old", path));
            QTest::ignoreMessage(QtCriticalMsg, qPrintable("Failed to create log file " + path));
            QTest::ignoreMessage(QtWarningMsg, "Failed to setup pipeline log for pipeline ''");
        }
        PipelineController controller;
        QVERIFY(controller.start(pipeline, true));
        if (change != "link") {
            QTRY_VERIFY_WITH_TIMEOUT(fileContent(path).contains("] one\n"), 10000);
            QVERIFY(change == "rename" ? QFile::rename(path, path + ".old") : QFile::remove(path));
        }
        QVERIFY(controller.waitForPipelineFinished(20000));
        QCOMPARE(childLines(path), atPath);
        QCOMPARE(childLines(path + ".old"), beside);
    }

    // Another writer appending all the while (as a second launcher would)
    // never gets its lines glued into our long ones, nor ours into its; a read
    // may end inside a line, so ours may come in pieces, each with its prefix.
    void twoWritersLongLines()
    {
        QStringList arguments;
        for (int i = 0; i < 12; ++i)
            arguments << "--write" << QString(68000, 'b') + R"(\n)";
        const PipelineConfig pipeline = logged(arguments, "two");
        const QString path = PipelineLog::filePath(pipeline);
        const int fd = ::open(QFile::encodeName(path), O_WRONLY | O_APPEND | O_CREAT, 0644);
        std::atomic<bool> running{true};
        int theirLines = 0;
        std::thread other([&] {
            while (running && ::write(fd, "aaaa\n", 5) == 5)
                ++theirLines;
        });
        PipelineController controller;
        const bool finished =
            controller.start(pipeline, true) && controller.waitForPipelineFinished(20000);
        running = false;
        other.join();
        QVERIFY(finished && ::close(fd) == 0);
        QCOMPARE(childLines(path).join(QString()), QString(12 * 68000, 'b'));
        QCOMPARE(fileContent(path).split('\n').count("aaaa"), theirLines);
    }

    void followsTheDay_data()
    {
        QTest::addColumn<bool>("refused"); // a link stands where the new day's file goes
        QTest::newRow("the new day's file") << false;
        QTest::newRow("the new day's file refused: the run stays in its file") << true;
    }

    // At midnight the run goes on in the new day's file, and the controller
    // names the file it writes; a file it cannot open loses no line.
    void followsTheDay()
    {
        QFETCH(bool, refused);
        const PipelineConfig pipeline =
            logged({"--delay", "2", "--write", "after\n"}, refused ? "refused" : "day");
        const QString first = PipelineLog::filePath(pipeline, QDate(2026, 12, 7));
        const QString second = PipelineLog::filePath(pipeline, QDate(2026, 12, 8));
        if (refused) {
            QVERIFY(writeFile(second + ".old", "") && QFile::link(second + ".old", second));
            QTest::ignoreMessage(QtCriticalMsg, qPrintable("Failed to create log file " + second));
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
        if (refused)
            return;
        QVERIFY(fileContent(first).contains("] Pipeline log continues in " + second.toUtf8()));
        const QString opening = QString(fileContent(second)).section('\n', 0, 0);
        QVERIFY2(QRegularExpression(R"(^\[ \d+ \] \[2026-12-08 00:00:\d\d\.\d{3}\] Using pipeline )"
                                    R"(log )" +
                                    QRegularExpression::escape(second) + "$")
                     .match(opening)
                     .hasMatch(),
                 qPrintable(opening));
    }

    void sizeLimit_data()
    {
        QTest::addColumn<int>("before"); // lines in today's file before the run
        QTest::addColumn<QStringList>("helper");
        QTest::addColumn<int>("piece"); // its number
        QTest::addColumn<int>("pieceLines");
        const QString line(300, 'a');
        // A piece compressed earlier counts: numbers follow the order of the pieces.
        QTest::newRow("above the limit at the start")
            << 4 << QStringList{"--write", "new\n"} << 2 << 4;
        // The file is looked at once a second.
        QTest::newRow("grows beyond it while running")
            << 0 << QStringList{"--write", line + "\n", "--delay", "1.3", "--write", "new\n"} << 1
            << 1;
    }

    // A file beyond the limit moves aside as the next piece, and the lines go
    // on in a new file that says where the earlier ones are.
    void sizeLimit()
    {
        QFETCH(int, before);
        QFETCH(QStringList, helper);
        QFETCH(int, piece);
        QFETCH(int, pieceLines);
        const QString line(300, 'a');
        const PipelineConfig pipeline = logged(helper, QTest::currentDataTag());
        const QString path = PipelineLog::filePath(pipeline);
        if (before > 0)
            QVERIFY(writeFile(path, ("[ 1 ] " + line.toUtf8() + '\n').repeated(before)) &&
                    writeFile(path + ".1.gz", "older piece"));
        const QString piecePath = path + '.' + QString::number(piece);
        PipelineController controller;
        controller.setLogFileSizeLimit(1024);
        QSignalSpy split(&controller, &PipelineController::logFileSplit);
        QVERIFY(controller.start(pipeline, true) && controller.waitForPipelineFinished(20000));
        QCOMPARE(split.count(), 1);
        QCOMPARE(split.at(0).at(0).toString(), piecePath);
        QStringList expected;
        for (int i = 0; i < pieceLines; ++i)
            expected << line;
        QCOMPARE(childLines(piecePath), expected);
        QCOMPARE(childLines(path), QStringList{"new"});
        const QByteArray opening = fileContent(path).split('\n').first();
        QVERIFY2(opening.endsWith(QString("] Log file reached %1 bytes (the limit is 1024): the "
                                          "earlier lines are in %2.gz")
                                      .arg(QFileInfo(piecePath).size())
                                      .arg(QFileInfo(piecePath).fileName())
                                      .toUtf8()),
                 opening.constData());
    }

    void follower_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QByteArray>("late"); // the writer's last line in the file it leaves
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("moved away, made anew")
            << "move" << QByteArray("2\n") << QByteArray("1\n2\n3\n");
        QTest::newRow("the next day") << "day" << QByteArray("2\n") << QByteArray("1\n2\n3\n");
        QTest::newRow("cut short") << "truncate" << QByteArray() << QByteArray("1\n3\n");
    }

    // The reader of a log goes on in the file that takes its place, but only
    // once the file it reads has been quiet for a while: a line the writer
    // still puts there is not lost.
    void follower()
    {
        QFETCH(QString, change);
        QFETCH(QByteArray, late);
        QFETCH(QByteArray, expected);
        static qint64 nowMs;
        nowMs = 100000;
        MonotonicClock::setClock([] { return nowMs; });
        const QString path = m_dir.filePath("follow-" + change + ".log");
        const QString next = m_dir.filePath("follow-" + change + "-next.log");
        QString current = path;
        QVERIFY(writeFile(path, "0\n1\n"));
        LogFollower follower([&current] { return current; }, 1);
        QVERIFY(follower.open());
        QByteArray read = follower.read();
        if (change == "move")
            QVERIFY(QFile::rename(path, path + ".old") && writeFile(path, "3\n"));
        else if (change == "day")
            QVERIFY(writeFile(current = next, "3\n"));
        else
            QVERIFY(writeFile(path, "3\n"));
        read += follower.read(); // the follower notices
        QFile left(change == "move" ? path + ".old" : path);
        QVERIFY(late.isEmpty() || (left.open(QIODevice::Append) && left.write(late) > 0));
        left.close();
        for (int i = 0; i < 10; ++i, nowMs += 500)
            read += follower.read();
        MonotonicClock::setClock(nullptr);
        QCOMPARE(read, expected);
        QCOMPARE(follower.filePath(), change == "day" ? next : path);
    }
};

LAUNCHER_TEST(TestPipelineLog)
#include "TestPipelineLog.moc"
