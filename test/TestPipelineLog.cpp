// The pipeline log: file name and place, line format, failures to open it, and
// the splitting of a child's output into lines.

#include "PipelineController.h"
#include "TestFixtures.h"
#include "support/TimeStamp.h"

#include <QDate>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using Solvane::TimeStamp;

namespace {

qint64 g_fakeNow = 0;
qint64 fakeClock()
{
    return g_fakeNow;
}

qint64 raw(qint64 seconds, quint32 fraction)
{
    return (seconds << TimeStamp::FractionBits) | fraction;
}

const QString LauncherPid = QString::number(QCoreApplication::applicationPid());

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

QString logFileName(const QString& logPath, const QString& basename)
{
    return QStringLiteral("%1/%2-%3.log")
        .arg(QDir(logPath).absolutePath(), basename,
             QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
}

PipelineConfig loggedPipeline(const QList<ProcessConfig>& processes, const QString& logPath)
{
    PipelineConfig pipeline = pipelineOf(processes, "p");
    pipeline.logBasename = "app";
    pipeline.logPath = logPath;
    return pipeline;
}

} // namespace

class TestPipelineLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<PipelineController::PipelineFinishReason>();
        // Time stamps are local time; make it the same everywhere.
        qputenv("TZ", "UTC");
        tzset();
    }

    void cleanup() { TimeStamp::setClock(nullptr); }

    // One file per pipeline and day, in a folder created when missing; runs append.
    void logFile()
    {
        const QString logPath = m_dir.filePath("nested/logs");
        const QString fileName = logFileName(logPath, "app");
        const PipelineConfig pipeline = loggedPipeline({helperProcess(ProcessMode::Sync)}, logPath);

        for (int run = 1; run <= 2; ++run) {
            PipelineController controller;
            QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
            QVERIFY(controller.start(pipeline, true));
            QVERIFY(finished.wait(10000));
            // The log is closed with the finish.
            const int lineCount = readLines(fileName).size();
            controller.onLogPipelineMessage(1, "after the finish", false);
            QCOMPARE(readLines(fileName).size(), lineCount);
        }

        const QStringList lines = readLines(fileName);
        const QRegularExpression usingLog(
            QStringLiteral(
                R"(^\[ %1 \] \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] Using pipeline log %2$)")
                .arg(LauncherPid, QRegularExpression::escape(fileName)));
        QVERIFY2(usingLog.match(lines.value(0)).hasMatch(), qPrintable(lines.value(0)));
        QCOMPARE(lines.filter(usingLog).size(), 2);
        QVERIFY(lines.last().endsWith("] Pipeline state changed to NotRunning"));
        QVERIFY(lines.filter("] Process started: " + helperPath()).size() == 2);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("pid");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("addTimeStamp");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QString>("line");

        const qint64 dec4 = 1796379630; // 2026-12-04 10:20:30 UTC
        QTest::newRow("no time stamp") << 42 << "hello" << false << raw(dec4, 0) << "[ 42 ] hello";
        QTest::newRow("negative id") << -5 << "x" << false << raw(dec4, 0) << "[ -5 ] x";
        QTest::newRow("fraction 0") << 4242 << "hello" << true << raw(dec4, 0)
                                    << "[ 4242 ] [2026-12-04 10:20:30.000] hello";
        QTest::newRow("just under half a second")
            << 1 << "m" << true << raw(dec4, 0x7FFFFF) << "[ 1 ] [2026-12-04 10:20:30.499] m";
        QTest::newRow("just under a second")
            << 1 << "m" << true << raw(1709251199, 0xFFFFFF) << "[ 1 ] [2024-02-29 23:59:59.999] m";
        QTest::newRow("placeholders are text") << 7 << "50% %1 %2 done" << true << raw(dec4, 0)
                                               << "[ 7 ] [2026-12-04 10:20:30.000] 50% %1 %2 done";
    }

    // Each line goes, unchanged, to the file and (quoted) to the message output.
    void lineFormat()
    {
        QFETCH(int, pid);
        QFETCH(QString, message);
        QFETCH(bool, addTimeStamp);
        QFETCH(qint64, now);
        QFETCH(QString, line);

        const QString logPath = m_dir.filePath("format");
        PipelineController controller;
        // A refused start leaves its log open.
        QVERIFY(!controller.start(loggedPipeline({}, logPath), true));

        g_fakeNow = now;
        TimeStamp::setClock(fakeClock);
        MessageCapture capture;
        controller.onLogPipelineMessage(pid, message, addTimeStamp);

        QCOMPARE(capture.texts("default"), QStringList{'"' + line + '"'});
        QCOMPARE(readLines(logFileName(logPath, "app")).last(), line);
    }

    void logFailures_data()
    {
        QTest::addColumn<QString>("logPath");
        QTest::addColumn<QString>("error");

        QFile blocker(m_dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QTest::newRow("folder below a file")
            << m_dir.filePath("blocker/logs")
            << "Failed to create log folder " + m_dir.filePath("blocker/logs");

        const QString folderInTheWay = logFileName(m_dir.filePath("taken"), "app");
        QVERIFY(QDir().mkpath(folderInTheWay));
        QTest::newRow("file name taken by a folder")
            << m_dir.filePath("taken") << "Failed to create log file " + folderInTheWay;
    }

    // Without a file the pipeline still runs and every line still reaches the
    // message output.
    void logFailures()
    {
        QFETCH(QString, logPath);
        QFETCH(QString, error);

        MessageCapture capture;
        PipelineController controller;
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(
            controller.start(loggedPipeline({helperProcess(ProcessMode::Sync)}, logPath), true));
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.at(0).at(1).value<PipelineController::PipelineFinishReason>(),
                 PipelineController::PipelineFinishReason::NormalFinish);

        QList<MessageCapture::Message> traces;
        for (const MessageCapture::Message& message : capture.messages()) {
            if (message.category == "solvane.trace")
                traces.append(message);
        }
        QVERIFY(traces.size() >= 2);
        QCOMPARE(traces.at(0).type, QtCriticalMsg);
        QCOMPARE(traces.at(0).text, error);
        QCOMPARE(traces.at(1).type, QtWarningMsg);
        QCOMPARE(traces.at(1).text, QString("Failed to setup pipeline log for pipeline 'p'"));
        QVERIFY(!capture.texts("default").filter("] Pipeline state changed to Running").isEmpty());
    }

    void outputSplitting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("timestamps");
        QTest::addColumn<QStringList>("lines");

        const QString stamp = "[2026-12-04 10:20:30.499] ";
        QTest::newRow("mixed line ends")
            << QStringList{"--write", R"(a\r\nb\n\n)"} << false << QStringList{"a", "b"};
        QTest::newRow("mixed line ends, time stamps")
            << QStringList{"--write", R"(a\r\nb\n\n)"} << true
            << QStringList{stamp + "a", stamp + "b"};
        QTest::newRow("lone carriage returns and empty lines")
            << QStringList{"--write", R"(\r\none\rtwo\r\r\nthree\n\n\nfour)"} << false
            << QStringList{"one", "two", "three", "four"};
        QTest::newRow("text ends at NUL")
            << QStringList{"--write", R"(left\0right\nmore\n)"} << false << QStringList{"left"};
        QTest::newRow("error output merged")
            << QStringList{"--write-err", R"(err\n)", "--write", R"(out\n)"} << false
            << QStringList{"err", "out"};
    }

    void outputSplitting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, timestamps);
        QFETCH(QStringList, lines);

        g_fakeNow = raw(1796379630, 0x7FFFFF);
        TimeStamp::setClock(fakeClock);
        ProcessConfig process = helperProcess(ProcessMode::Sync, false, arguments);
        process.timestampLogEntries = timestamps;
        MessageCapture capture;
        PipelineController controller;
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(pipelineOf({process}), false));
        QVERIFY(finished.wait(10000));

        // The child's own lines carry its id; its process object's lines are
        // told apart by their text.
        const QRegularExpression logLine(R"re(^"\[ (-?\d+) \] (.*)"$)re");
        const QRegularExpression processMessage(R"(^\[[^\]]*\] Process )");
        QString childPid;
        QStringList output;
        for (const QString& text : capture.texts("default")) {
            const QRegularExpressionMatch match = logLine.match(text);
            QVERIFY2(match.hasMatch(), qPrintable(text));
            if (match.captured(1) == LauncherPid)
                continue;
            if (childPid.isEmpty())
                childPid = match.captured(1);
            QCOMPARE(match.captured(1), childPid);
            if (!processMessage.match(match.captured(2)).hasMatch())
                output.append(match.captured(2));
        }
        QCOMPARE(output, lines);
    }
};

QTEST_GUILESS_MAIN(TestPipelineLog)
#include "TestPipelineLog.moc"
