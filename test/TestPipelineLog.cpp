// The pipeline log file: a link in its place, writes that fail and work again,
// a file removed or renamed during a run, and long lines while another writer
// appends to the same file.

#include "PipelineController.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/PipelineLog.h"

#include <QRegularExpression>
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
};

LAUNCHER_TEST(TestPipelineLog)
#include "TestPipelineLog.moc"
