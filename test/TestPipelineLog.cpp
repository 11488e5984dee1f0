// The pipeline log file: a link in its place, writes that fail and work again,
// a file removed or renamed during a run, and long lines while another writer
// appends to the same file.

#include "PipelineController.h"
#include "PipelineLog.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines of a child's own output (not time-stamped), without the prefix.
QStringList childLines(const QStringList& lines)
{
    return lines.filter(QRegularExpression(R"(^\[ \d+ \] (?!\[))"))
        .replaceInStrings(QRegularExpression(R"(^\[ \d+ \] )"), "");
}

} // namespace

class TestPipelineLog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    PipelineConfig logged(const QStringList& arguments, const QString& folder)
    {
        PipelineConfig pipeline = pipelineOf({helperProcess(ProcessMode::Sync, true, arguments)});
        pipeline.logBasename = "app";
        QDir().mkpath(pipeline.logPath = m_dir.filePath(folder));
        return pipeline;
    }

private slots:
    // A link planted as today's log is refused; the run goes on without a file.
    void linkRefused()
    {
        const PipelineConfig pipeline = logged({"--write", "child\n"}, "link");
        const QString path = PipelineLog::filePath(pipeline);
        QVERIFY(writeFile(m_dir.filePath("target"), "precious\n") &&
                QFile::link(m_dir.filePath("target"), path));
        QTest::ignoreMessage(QtCriticalMsg, qPrintable("Failed to create log file " + path));
        QTest::ignoreMessage(QtWarningMsg, "Failed to setup pipeline log for pipeline ''");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(R"(^\[ \d+ \] child$)"));
        PipelineController controller;
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(pipeline, true) && controller.waitForPipelineFinished(20000));
        QCOMPARE(finished.at(0).at(1).value<PipelineController::PipelineFinishReason>(),
                 PipelineController::NormalFinish);
        QCOMPARE(readAll(path), QByteArray("precious\n"));
    }

    // A file that may not grow fails every write: reported once, nothing kept
    // in memory, and the loss is told when writing works again.
    void failedWritesResume()
    {
        const QString path = m_dir.filePath("app.log");
        static int errors = 0;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& text) {
                errors += type == QtCriticalMsg && text.startsWith("Failed to write log file '") &&
                          text.endsWith("': File too large");
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
        QList<QByteArray> lines = readAll(path).split('\n');
        QVERIFY(
            lines.takeAt(2).endsWith("] 16384 log lines were lost: the file could not be written"));
        QCOMPARE(lines, QList<QByteArray>({"first", "xxxx", "resumed", ""}));
    }

    void replacedFile_data()
    {
        QTest::addColumn<bool>("renamed");
        QTest::newRow("removed") << false;
        QTest::newRow("renamed") << true;
    }

    // The run goes on in a file made anew at the path.
    void replacedFile()
    {
        QFETCH(bool, renamed);
        const PipelineConfig pipeline = logged(
            {"--write", "one\n", "--delay", "1.5", "--write", "two\n"}, QTest::currentDataTag());
        const QString path = PipelineLog::filePath(pipeline);
        PipelineController controller;
        QVERIFY(controller.start(pipeline, true));
        QTRY_VERIFY_WITH_TIMEOUT(readAll(path).contains("] one\n"), 10000);
        QVERIFY(renamed ? QFile::rename(path, path + ".old") : QFile::remove(path));
        QVERIFY(controller.waitForPipelineFinished(20000));
        QCOMPARE(childLines(QString(readAll(path)).split('\n')), QStringList{"two"});
        QCOMPARE(childLines(QString(readAll(path + ".old")).split('\n')),
                 renamed ? QStringList{"one"} : QStringList());
    }

    // Another writer appending all the while (as a second launcher would)
    // never gets its lines glued into our long ones, nor ours into its.
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
        // A line glued into another breaks both: neither counts then.
        const QRegularExpression ourLine(R"(^\[ \d+ \] b+$)");
        int ourBytes = 0;
        for (const QByteArray& line : readAll(path).split('\n')) {
            theirLines -= line == "aaaa";
            ourBytes += ourLine.match(line).hasMatch() ? line.count('b') : 0;
        }
        QCOMPARE(theirLines, 0);
        QCOMPARE(ourBytes, 12 * 68000);
    }
};

LAUNCHER_TEST(TestPipelineLog)
#include "TestPipelineLog.moc"
