// The pipeline log file: writes that fail and work again, a run past midnight
// (a link in the new day's place included), the size limit, the numbers of
// its pieces and the folder's total under a flood. A log moved away during a
// run, and a reader that follows it: TestControl.

#include "Backend.h"
#include "PipelineController.h"
#include "ShiftedClock.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/PipelineLog.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

#include <sys/resource.h>

namespace {

// Files beside a log before it is split twice, and the pieces the splits make.
const struct
{
    const char* name;
    const char* planted;
    const char* pieces;
} PlantedPieces[] = {
    {"a number that overflows an int", ".2147483647", ".1 .2"},
    {"planted numbers, one beyond 64 bits", ".500 .99999999999999999999", ".1 .2"},
    {"beside pieces of its own", ".1.gz .2 .2147483647", ".3 .4"},
    {"its oldest pieces removed", ".5.gz .6", ".7 .8"},
    {"at the highest number", ".999999998 .999999999", ".1 .2"},
    {"a name taken further on", ".1 .3.gz", ".2 .4"},
};

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
        const QStringList planted = QString(row.planted).split(' ');
        for (const QString& suffix : planted)
            QVERIFY(writeFile(path + suffix, "planted"));
        const MessageCapture quiet;
        const std::unique_ptr<PipelineLog> log = PipelineLog::open(path);
        QStringList pieces;
        log->limitSize(10, QString(), 0,
                       [&](const QString& piece) { pieces << piece.mid(path.size()); });
        for (int i = 0; i < 3; ++i)
            log->write("0123456789\n", 11, 1);
        QCOMPARE(pieces.join(' '), QString(row.pieces));
        for (const QString& suffix : planted)
            QCOMPARE(fileContent(path + suffix), QByteArray("planted"));
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
