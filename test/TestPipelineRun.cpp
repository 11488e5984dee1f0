// Pipelines of real children: the restart window, what a child is started
// with, the check before a start, how a child's output becomes log lines, and
// pipelines that must end although a program cannot start or the controller goes.

#include "PipelineController.h"
#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/LineSplitter.h"
#include "process/ReadinessProbe.h"
#include "support/MonotonicClock.h"
#include "support/TimeStamp.h"

#include <QDate>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using FinishReason = PipelineController::PipelineFinishReason;
using Solvane::TimeStamp;

namespace {

qint64 g_nowMs = 0;
qint64 g_wallNow = 0;

ProcessConfig program(const QString& exec, const QString& folder = QString(),
                      const QStringList& libraryPaths = {}, ProcessMode mode = ProcessMode::Sync)
{
    ProcessConfig config;
    config.exec = exec;
    config.workingDirectory = folder;
    config.libraryPaths = libraryPaths;
    config.mode = mode;
    return config;
}

} // namespace

class TestPipelineRun : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<FinishReason>();
        qRegisterMetaType<QProcess::ExitStatus>();
        MonotonicClock::setClock([]() { return g_nowMs; });
        TimeStamp::setClock([]() { return g_wallNow; });
        // None of these is a program; some are executable by their mode bits.
        for (const char* name : {"wd/local", "libA/local", "libA/blocked", "libB/blocked", "data"})
            QVERIFY(writeFile(path(name), "not a program\n"));
        for (const char* name : {"wd/local", "libB/blocked"})
            QVERIFY(QFile::setPermissions(path(name), QFile::ReadOwner | QFile::ExeOwner));
    }
    void cleanupTestCase()
    {
        MonotonicClock::setClock(nullptr);
        TimeStamp::setClock(nullptr);
    }

    void restartWindow_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QVector<double>>("crashAt"); // the clock at each crash, in seconds
        QTest::addColumn<double>("wallStep"); // seconds the wall clock jumps at the last crash
        QTest::addColumn<int>("runs");
        QTest::newRow("limit 0") << 0 << QVector<double>{0} << 0.0 << 1;
        QTest::newRow("oldest crash 10.9 s ago: inside")
            << 3 << QVector<double>{0, 1, 10.9} << 0.0 << 3;
        QTest::newRow("oldest crash 11 s ago: outside")
            << 3 << QVector<double>{0, 1, 11, 11.5} << 0.0 << 4;
        // A kiosk without a real-time clock sets its time when NTP answers.
        QTest::newRow("wall clock an hour back: still outside")
            << 3 << QVector<double>{0, 5, 20} << -3600.0 << 4;
        QTest::newRow("wall clock an hour on: still inside")
            << 3 << QVector<double>{0, 1, 2} << 3600.0 << 3;
    }

    // Within a period of 10 s, the limit-th crash is final.
    void restartWindow()
    {
        QFETCH(int, limit);
        QFETCH(QVector<double>, crashAt);
        QFETCH(double, wallStep);
        QFETCH(int, runs);

        ProcessConfig config = helperProcess(ProcessMode::Async, true, {"--crash"});
        config.restartOnCrash = true;
        config.restartLimit = limit;
        PipelineProcess process(nullptr, config);
        // The relay reaches this receiver before the process handles the crash.
        int crashes = 0;
        connect(&process, &PipelineProcess::qprocessFinished, this, [&]() {
            if (crashes >= crashAt.size())
                process.config().restartOnCrash = false; // more crashes than expected
            g_nowMs = qint64(crashAt.value(crashes) * 1000);
            // The wall clock runs with the monotonic one, but for its step.
            const double step = crashes == crashAt.size() - 1 ? wallStep : 0;
            g_wallNow = TimeStamp::fromSecondsD(double(g_nowMs) / 1000 + step).value();
            ++crashes;
        });
        QSignalSpy failures(&process, &PipelineProcess::pipelineRequiredProcessFailure);
        QSignalSpy finished(&process, &PipelineProcess::pipelineProcessFinished);
        process.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(crashes, runs);
        QCOMPARE(failures.count(), 1);
    }

    // PATH holds the library paths only, the environment map overrides the
    // launcher's, and an absolute program without a folder runs in its own.
    void childSetup()
    {
        qputenv("LAUNCHER_TEST_KEEP", "kept");
        qputenv("LAUNCHER_TEST_OVERRIDE", "launcher");
        ProcessConfig config = program(helperPath(), QString(), {"/a", "/b"});
        config.environment = {{"PATH", "/env"}, {"LAUNCHER_TEST_OVERRIDE", "mine"}};
        config.arguments =
            QStringList{"--print-env",        "PATH",        "--print-env",
                        "LAUNCHER_TEST_KEEP", "--print-env", "LAUNCHER_TEST_OVERRIDE",
                        "--print-cwd"};
        PipelineProcess process(nullptr, config);
        QByteArray written;
        connect(&process, &PipelineProcess::readyReadStandardOutput, this,
                [&]() { written += process.readAllStandardOutput(); });
        process.start();
        QTRY_VERIFY_WITH_TIMEOUT(process.isFinished(), 10000);
        QCOMPARE(written, "PATH=/a:/b\nLAUNCHER_TEST_KEEP=kept\nLAUNCHER_TEST_OVERRIDE=mine\ncwd=" +
                              QFile::encodeName(QFileInfo(helperPath()).canonicalPath()) + '\n');
    }

    // Each reason with the process it concerns (-1: the pipeline) and its key.
    void validation_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<QList<int>>("processes");
        QTest::addColumn<QStringList>("keys");
        const QStringList libs{path("libA"), path("libB")};
        const QString missing = "executable '%1' does not exist";
        const QString notExecutable = "executable file '%1' is not executable by the user";
        // wd/local is executable, libA/local is not.
        QTest::newRow("bare name: working folder first")
            << pipelineOf({program("local", path("wd"), libs)}) << QStringList() << QList<int>()
            << QStringList();
        // libA/blocked is not executable, libB/blocked is.
        QTest::newRow("bare name: the first match decides")
            << pipelineOf({program("blocked", QString(), libs)})
            << QStringList{notExecutable.arg("blocked")} << QList<int>{0} << QStringList{"exec"};
        QTest::newRow("empty exec is no folder")
            << pipelineOf({program("")}) << QStringList{missing.arg("")} << QList<int>{0}
            << QStringList{"exec"};
        QTest::newRow("a folder is no program")
            << pipelineOf({program(path("wd"))}) << QStringList{missing.arg(path("wd"))}
            << QList<int>{0} << QStringList{"exec"};
        QTest::newRow("relative path without a working folder")
            << pipelineOf({program(helperPath()), program("wd/local")})
            << QStringList{"use of relative executable 'wd/local' requires working directory to "
                           "be defined"}
            << QList<int>{1} << QStringList{"exec"};
        ProcessConfig gated = program(helperPath(), {}, {}, ProcessMode::Async);
        gated.ready = "tcp:none";
        QTest::newRow("readiness gate of the second process")
            << pipelineOf({program(helperPath()), gated})
            << QStringList{QString("readiness gate 'tcp:none' is not valid: %1")
                               .arg(ReadinessProbe::gateError("tcp:none"))}
            << QList<int>{1} << QStringList{"ready"};
        QTest::newRow("every message once, in order")
            << pipelineOf({program("first", {}, {}, ProcessMode::Daemon),
                           program(path("data"), path("gone"), {}, ProcessMode::Daemon)})
            << QStringList{missing.arg("first"),
                           QString("working directory '%1' it not a directory").arg(path("gone")),
                           notExecutable.arg(path("data")),
                           "pipeline must contain at least one non-daemon process."}
            << QList<int>{0, 1, 1, -1} << QStringList{"exec", "working-directory", "exec", "mode"};
    }

    void validation()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, errors);
        QFETCH(QList<int>, processes);
        QFETCH(QStringList, keys);
        PipelineController controller;
        QVERIFY(!controller.isPipelineValid(pipelineOf({}))); // its message must not survive
        QCOMPARE(controller.isPipelineValid(pipeline), errors.isEmpty());
        QCOMPARE(controller.validationErrors(), errors);

        // The structured problems say the same, and the const check keeps nothing.
        const PipelineController& checker = controller;
        QVERIFY(!checker.isPipelineValid(pipelineOf({})));
        QCOMPARE(checker.validationProblems(), checker.validate(pipeline));
        QStringList texts;
        QList<int> indexes;
        QStringList keysFound;
        for (const ValidationProblem& problem : checker.validate(pipeline)) {
            texts.append(problem.text());
            indexes.append(problem.processIndex);
            keysFound.append(problem.key);
        }
        QCOMPARE(texts, errors);
        QCOMPARE(indexes, processes);
        QCOMPARE(keysFound, keys);
    }

    void outputLines_data()
    {
        QTest::addColumn<QByteArray>("read"); // one read of a child's output
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR, CRLF and LF; empty lines dropped")
            << QByteArray("\r\none\rtwo\r\r\nthree\n\n\nfour")
            << QStringList{"one", "two", "three", "four"};
        QTest::newRow("NUL ends its line, not the read")
            << QByteArray("left\0right\nmore\n", 16) << QStringList{"left", "more"};
        QTest::newRow("nothing but line ends") << QByteArray("\n\r\n\r") << QStringList();
    }

    // Each line of a read gets the prefix, and the batch holds them all, for
    // one write of the log file.
    void outputLines()
    {
        QFETCH(QByteArray, read);
        QFETCH(QStringList, lines);
        LineSplitter splitter;
        QCOMPARE(splitter.split("[ 7 ] ", read), lines.size());
        QStringList split;
        QByteArray batch;
        for (int i = 0; i < splitter.lineCount(); ++i) {
            split.append(QString::fromUtf8(splitter.lineData(i), splitter.lineLength(i)));
            batch += split.last().toUtf8() + '\n';
        }
        QCOMPARE(split, lines.replaceInStrings(QRegularExpression("^"), "[ 7 ] "));
        QCOMPARE(QByteArray::fromStdString(splitter.batch()), batch);
    }

    void cannotStart_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<FinishReason>("reason");
        QTest::addColumn<QString>("error"); // the end of its log line
        // Executable by its mode bits, so it passes the check, but no program.
        ProcessConfig garbage = program(path("wd/local"));
        garbage.isRequired = true;
        const QString noFormat = "(FailedToStart): execve: Exec format error";
        QTest::newRow("required") << pipelineOf({garbage}) << PipelineController::FailureFinish
                                  << noFormat;
        garbage.isRequired = false;
        garbage.mode = ProcessMode::Async;
        QTest::newRow("releases nothing") << pipelineOf({garbage, helperProcess(ProcessMode::Sync)})
                                          << PipelineController::NormalFinish << noFormat;
        QVERIFY(writeFile(path("script"), "#!/no/such/shell -e\n"));
        QVERIFY(QFile::setPermissions(path("script"), QFile::ReadOwner | QFile::ExeOwner));
        QTest::newRow("missing interpreter")
            << pipelineOf({program(path("script"))}) << PipelineController::NormalFinish
            << "No such file or directory: its interpreter '/no/such/shell' is missing";
        ProcessConfig huge = program("/bin/true");
        for (int i = 0; i < 12; ++i)
            huge.arguments.append(QString(200000, 'x'));
        QTest::newRow("argument list too long")
            << pipelineOf({huge}) << PipelineController::NormalFinish
            << "...(12 arguments, 2400011 characters in all) (FailedToStart): execve: Argument "
               "list too long";
    }

    // A program that cannot be executed never wedges its pipeline, and its log
    // line tells why in words, without echoing a huge argument.
    void cannotStart()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(FinishReason, reason);
        QFETCH(QString, error);
        static QStringList lines;
        lines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& message) {
                if (type == QtInfoMsg && message.contains("Process error: "))
                    lines.append(message);
            });
        PipelineController controller;
        QSignalSpy started(&controller, &PipelineController::processStarted);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        QVERIFY(controller.start(pipeline, false));
        const bool ended = QTest::qWaitFor([&] { return finished.count() == 1; }, 10000);
        qInstallMessageHandler(previous);
        QVERIFY(ended);
        QCOMPARE(finished.at(0).at(1).value<FinishReason>(), reason);
        QCOMPARE(started.count(), 0);
        QVERIFY2(lines.size() == 1 && lines.first().endsWith(error) && lines.first().size() < 3000,
                 qPrintable(lines.join('\n').left(3000)));
    }
};

LAUNCHER_TEST(TestPipelineRun)
#include "TestPipelineRun.moc"
