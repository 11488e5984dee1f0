// One supervised child: order of emissions, restart window, environment and
// working folder.

#include "PipelineProcess.h"
#include "TestFixtures.h"
#include "support/TimeStamp.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Solvane::TimeStamp;

namespace {

using Environment = QMap<QString, QString>;

const qint64 FakeEpoch = qint64(1796379630) << TimeStamp::FractionBits;
qint64 g_fakeNow = FakeEpoch;
qint64 fakeClock()
{
    return g_fakeNow;
}

QString statusName(QProcess::ExitStatus status)
{
    return status == QProcess::NormalExit ? QStringLiteral("NormalExit")
                                          : QStringLiteral("CrashExit");
}

// Writes every emission of a process as one text, in order. Log lines say whose
// id they carry: the launcher's, the current child's, or none (0).
void recordEmissions(PipelineProcess& process, QStringList& events)
{
    QStringList* out = &events;
    PipelineProcess* p = &process;
    QObject::connect(p, &PipelineProcess::qprocessStarted, [out]() { *out << "qprocessStarted"; });
    QObject::connect(
        p, &PipelineProcess::qprocessFinished, [out](int code, QProcess::ExitStatus status) {
            *out << QStringLiteral("qprocessFinished(%1,%2)").arg(code).arg(statusName(status));
        });
    QObject::connect(p, &PipelineProcess::pipelineProcessStarted,
                     [out]() { *out << "pipelineProcessStarted"; });
    QObject::connect(p, &PipelineProcess::pipelineProcessFinished,
                     [out](int code, QProcess::ExitStatus status) {
                         *out << QStringLiteral("pipelineProcessFinished(%1,%2)")
                                     .arg(code)
                                     .arg(statusName(status));
                     });
    QObject::connect(p, &PipelineProcess::pipelineStartCanProceed,
                     [out]() { *out << "pipelineStartCanProceed"; });
    QObject::connect(p, &PipelineProcess::pipelineRequiredProcessFailure,
                     [out]() { *out << "pipelineRequiredProcessFailure"; });
    QObject::connect(p, &PipelineProcess::pipelineConfigurationFailure,
                     [out]() { *out << "pipelineConfigurationFailure"; });
    QObject::connect(p, &PipelineProcess::pipelineProcessFailedToStart,
                     [out]() { *out << "pipelineProcessFailedToStart"; });
    QObject::connect(
        p, &PipelineProcess::pipelineLogMessage, [out, p](int pid, const QString& msg) {
            const char* owner = pid == int(QCoreApplication::applicationPid()) ? "launcher"
                                : pid == int(p->processId()) && pid != 0       ? "child"
                                : pid == 0                                     ? "none"
                                                                               : "other";
            *out << QStringLiteral("%1: %2").arg(QLatin1String(owner), msg);
        });
}

} // namespace

class TestPipelineProcess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_garbage;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<QProcess::ExitStatus>();
        // Executable by its mode bits, but no program: exec must fail.
        m_garbage = m_dir.filePath("garbage");
        QFile file(m_garbage);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x01\x02\x03 not a program\n\xff\xfe", 20));
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                    QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther));
        qputenv("LAUNCHER_TEST_KEEP", "kept");
        qputenv("LAUNCHER_TEST_OVERRIDE", "system");
    }

    void cleanup() { TimeStamp::setClock(nullptr); }

    void emissionOrder_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline"); // its one process
        QTest::addColumn<QStringList>("expected");

        // H stands for the helper path, @ for the arguments, S for a state file,
        // G for the garbage file.
        const QStringList started{"qprocessStarted", "child: Process started: H @",
                                  "pipelineProcessStarted"};
        const QStringList releasedAtStart{"qprocessStarted", "child: Process started: H @",
                                          "pipelineStartCanProceed", "pipelineProcessStarted"};
        const auto exit = [](int code) {
            return QStringList{
                QStringLiteral("qprocessFinished(%1,NormalExit)").arg(code),
                QStringLiteral("child: Process finished: H @ with exit code %1 (NormalExit)")
                    .arg(code)};
        };
        const QStringList crash{"child: Process error: H @ (Crashed)",
                                "qprocessFinished(9,CrashExit)",
                                "child: Process finished: H @ (CrashExit)"};
        const QString launch = "launcher: Starting process H @";

        const auto row = [](const char* name, ProcessConfig process, const QStringList& events) {
            QStringList expected;
            for (const QString& event : events)
                expected << QString(event).replace('@', process.arguments.join(' '));
            QTest::newRow(name) << pipelineOf({process}) << expected;
        };

        row("sync, exit 0", helperProcess(ProcessMode::Sync),
            QStringList{launch} + started + exit(0) +
                QStringList{"pipelineStartCanProceed", "pipelineProcessFinished(0,NormalExit)"});
        row("async, exit 0", helperProcess(ProcessMode::Async),
            QStringList{launch} + releasedAtStart + exit(0) +
                QStringList{"pipelineProcessFinished(0,NormalExit)"});

        ProcessConfig required = helperProcess(ProcessMode::Sync, true, {"--exit", "1"});
        required.invalidConfigExitCodes = {102};
        row("required sync, exit 1", required,
            QStringList{launch} + started + exit(1) +
                QStringList{"pipelineRequiredProcessFailure",
                            "pipelineProcessFinished(1,NormalExit)"});
        required.arguments = QStringList{"--exit", "102"};
        row("required sync, exit 102 of invalidConfigExitCodes", required,
            QStringList{launch} + started + exit(102) +
                QStringList{"pipelineConfigurationFailure",
                            "pipelineProcessFinished(102,NormalExit)"});
        ProcessConfig optional = required;
        optional.isRequired = false;
        row("optional sync, exit 102 of invalidConfigExitCodes", optional,
            QStringList{launch} + started + exit(102) +
                QStringList{"pipelineStartCanProceed", "pipelineProcessFinished(102,NormalExit)"});

        row("required sync, final crash", helperProcess(ProcessMode::Sync, true, {"--crash"}),
            QStringList{launch} + started + crash +
                QStringList{"pipelineRequiredProcessFailure",
                            "pipelineProcessFinished(-1,CrashExit)"});

        ProcessConfig restarted =
            helperProcess(ProcessMode::Sync, false, {"--state", "S", "--crash-first", "1"});
        restarted.restartOnCrash = true;
        row("sync, restarted, then exit 0", restarted,
            QStringList{launch} + started + crash +
                QStringList{"child: Process crashed. Restarting it...", launch} + started +
                exit(0) +
                QStringList{"pipelineStartCanProceed", "pipelineProcessFinished(0,NormalExit)"});
        restarted.mode = ProcessMode::Async;
        row("async, restarted, released only once", restarted,
            QStringList{launch} + releasedAtStart + crash +
                QStringList{"child: Process crashed. Restarting it...", launch} + started +
                exit(0) + QStringList{"pipelineProcessFinished(0,NormalExit)"});

        ProcessConfig garbage = helperProcess(ProcessMode::Sync, true);
        garbage.exec = "G";
        row("program that cannot be executed", garbage,
            QStringList{"launcher: Starting process G ", "none: Process error: G  (FailedToStart)",
                        "pipelineProcessFailedToStart"});
    }

    void emissionOrder()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, expected);

        ProcessConfig config = pipeline.processList.first();
        const QString stateFile = m_dir.filePath(QTest::currentDataTag());
        QFile::remove(stateFile);
        config.arguments.replaceInStrings(QRegExp("^S$"), stateFile);
        if (config.exec == "G")
            config.exec = m_garbage;

        PipelineProcess process(nullptr, config);
        QStringList events;
        recordEmissions(process, events);
        process.start();
        QTRY_VERIFY_WITH_TIMEOUT(
            events.contains("pipelineProcessFailedToStart") || process.isFinished(), 10000);

        for (QString& event : events) {
            event.replace(helperPath(), "H").replace(stateFile, "S").replace(m_garbage, "G");
        }
        QCOMPARE(events, expected);
        QCOMPARE(process.isFinished(), !events.contains("pipelineProcessFailedToStart"));
    }

    void restartWindow_data()
    {
        QTest::addColumn<int>("restartLimit");
        QTest::addColumn<int>("restartPeriod");
        QTest::addColumn<QVector<double>>("crashSeconds"); // clock at each crash
        QTest::addColumn<int>("runs");

        QTest::newRow("limit 0") << 0 << 10 << QVector<double>{0} << 1;
        QTest::newRow("limit -1") << -1 << 10 << QVector<double>{0} << 1;
        QTest::newRow("limit 1") << 1 << 10 << QVector<double>{0} << 1;
        QTest::newRow("three quick crashes") << 3 << 10 << QVector<double>{0, 0.1, 0.2} << 3;
        QTest::newRow("crashes at 0, 5 and 11.5 s")
            << 3 << 10 << QVector<double>{0, 5, 11.5, 12} << 4;
        QTest::newRow("10.9 s old is inside") << 3 << 10 << QVector<double>{0, 1, 10.9} << 3;
        QTest::newRow("11.0 s old is outside") << 3 << 10 << QVector<double>{0, 1, 11, 11.5} << 4;
        QTest::newRow("limit 2, period 0") << 2 << 0 << QVector<double>{0, 0.9} << 2;
    }

    void restartWindow()
    {
        QFETCH(int, restartLimit);
        QFETCH(int, restartPeriod);
        QFETCH(QVector<double>, crashSeconds);
        QFETCH(int, runs);

        TimeStamp::setClock(fakeClock);
        ProcessConfig config = helperProcess(ProcessMode::Async, true, {"--crash"});
        config.restartOnCrash = true;
        config.restartLimit = restartLimit;
        config.restartPeriod = restartPeriod;
        PipelineProcess process(nullptr, config);

        // The relay reaches this receiver before the process handles the crash.
        int crashes = 0;
        connect(&process, &PipelineProcess::qprocessFinished, this, [&]() {
            if (crashes < crashSeconds.size())
                g_fakeNow = FakeEpoch + TimeStamp::fromSecondsD(crashSeconds.at(crashes)).value();
            else
                process.config().restartOnCrash = false; // more crashes than expected
            ++crashes;
        });
        QSignalSpy started(&process, &PipelineProcess::qprocessStarted);
        QSignalSpy finished(&process, &PipelineProcess::pipelineProcessFinished);
        QSignalSpy failures(&process, &PipelineProcess::pipelineRequiredProcessFailure);
        QStringList messages;
        connect(&process, &PipelineProcess::pipelineLogMessage, this,
                [&messages](int, const QString& msg) { messages << msg; });

        process.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(crashes, runs);
        QCOMPARE(started.count(), runs);
        QCOMPARE(messages.count("Process crashed. Restarting it..."), runs - 1);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), -1);
        QCOMPARE(finished.at(0).at(1).value<QProcess::ExitStatus>(), QProcess::CrashExit);
        QCOMPARE(failures.count(), 1);
    }

    void buildEnvironment_data()
    {
        QTest::addColumn<QStringList>("libraryPaths");
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<QString>("path");

        QTest::newRow("two library paths") << QStringList{"/a", "/b"} << Environment() << "/a:/b";
        QTest::newRow("no library paths") << QStringList() << Environment() << "";
        QTest::newRow("PATH of the map is replaced")
            << QStringList{"/lib"} << Environment{{"PATH", "/env"}} << "/lib";
        QTest::newRow("a variable overridden")
            << QStringList{"/lib"}
            << Environment{{"LAUNCHER_TEST_OVERRIDE", "mine"}, {"LAUNCHER_TEST_NEW", "new"}}
            << "/lib";
    }

    void buildEnvironment()
    {
        QFETCH(QStringList, libraryPaths);
        QFETCH(Environment, environment);
        QFETCH(QString, path);

        ProcessConfig config;
        config.libraryPaths = libraryPaths;
        config.environment = environment;
        const QProcessEnvironment built = PipelineProcess::buildEnvironment(config);

        QVERIFY(built.contains("PATH"));
        QCOMPARE(built.value("PATH"), path);
        const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
        for (const QString& key : system.keys()) {
            if (key != "PATH")
                QCOMPARE(built.value(key), environment.value(key, system.value(key)));
        }
        for (auto it = environment.cbegin(); it != environment.cend(); ++it) {
            if (it.key() != "PATH")
                QCOMPARE(built.value(it.key()), it.value());
        }
    }

    void childSetup_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<bool>("configuredFolder"); // else empty
        QTest::addColumn<bool>("folderFilledIn");

        QTest::newRow("absolute exec, no folder") << helperPath() << false << true;
        QTest::newRow("absolute exec, configured folder") << helperPath() << true << false;
        QTest::newRow("relative exec, no folder") << "./test-helper" << false << false;
    }

    // The child sees the built environment and runs in the folder of the rule.
    void childSetup()
    {
        QFETCH(QString, exec);
        QFETCH(bool, configuredFolder);
        QFETCH(bool, folderFilledIn);

        const QString helperFolder = QFileInfo(helperPath()).absolutePath();
        const QString launcherFolder = QDir::currentPath();
        QVERIFY(QDir::setCurrent(helperFolder)); // where a relative exec is found
        ProcessConfig config = helperProcessConfig();
        config.exec = exec;
        config.workingDirectory = configuredFolder ? m_dir.path() : QString();
        config.environment = Environment{{"LAUNCHER_TEST_OVERRIDE", "mine"}};
        config.arguments =
            QStringList{"--print-env",        "PATH",        "--print-env",
                        "LAUNCHER_TEST_KEEP", "--print-env", "LAUNCHER_TEST_OVERRIDE",
                        "--print-cwd"};
        PipelineProcess process(nullptr, config);
        QByteArray output;
        connect(&process, &PipelineProcess::readyReadStandardOutput, this,
                [&]() { output += process.readAllStandardOutput(); });
        process.start();
        QDir::setCurrent(launcherFolder);
        QTRY_VERIFY_WITH_TIMEOUT(process.isFinished(), 10000);

        const QString expectedFolder = configuredFolder ? m_dir.path() : helperFolder;
        QCOMPARE(QString::fromUtf8(output).split('\n', Qt::SkipEmptyParts),
                 QStringList({"PATH=" + helperFolder, "LAUNCHER_TEST_KEEP=kept",
                              "LAUNCHER_TEST_OVERRIDE=mine",
                              "cwd=" + QFileInfo(expectedFolder).canonicalFilePath()}));
        QCOMPARE(process.config().workingDirectory,
                 folderFilledIn ? helperFolder : config.workingDirectory);
    }
};

QTEST_GUILESS_MAIN(TestPipelineProcess)
#include "TestPipelineProcess.moc"
