// The check of a pipeline before it runs: every message, in order, and the
// refused start that reports them.

#include "PipelineController.h"
#include "TestFixtures.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString NonDaemonMessage = "pipeline must contain at least one non-daemon process.";

QString missing(const QString& exec)
{
    return QStringLiteral("executable '%1' does not exist").arg(exec);
}

QString notExecutable(const QString& exec)
{
    return QStringLiteral("executable file '%1' is not executable by the user").arg(exec);
}

ProcessConfig process(const QString& exec, const QString& workingDirectory = QString(),
                      const QStringList& libraryPaths = QStringList(),
                      ProcessMode mode = ProcessMode::Sync)
{
    ProcessConfig config;
    config.exec = exec;
    config.workingDirectory = workingDirectory;
    config.libraryPaths = libraryPaths;
    config.mode = mode;
    return config;
}

bool createFile(const QString& path, bool executable)
{
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\n");
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (executable)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    return file.setPermissions(permissions);
}

} // namespace

class TestPipelineValidation : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<PipelineController::PipelineFailureReason>();
        qRegisterMetaType<PipelineController::PipelineFinishReason>();
        QVERIFY(createFile(path("wd/bin/tool"), true));
        QVERIFY(createFile(path("wd/local"), true));
        QVERIFY(createFile(path("wd/blocked"), false));
        QVERIFY(createFile(path("libA/local"), false));
        QVERIFY(createFile(path("libB/blocked"), true));
        QVERIFY(createFile(path("libB/onlylib"), true));
        QVERIFY(createFile(path("data.txt"), false));
    }

    void messages_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<QStringList>("expected");

        const QString wd = path("wd");
        const QString tool = path("wd/local");
        const QStringList libs{path("libA"), path("libB")};

        QTest::newRow("absolute executable") << pipelineOf({process(tool)}) << QStringList();
        QTest::newRow("daemons only") << pipelineOf({process(tool, {}, {}, ProcessMode::Daemon)})
                                      << QStringList{NonDaemonMessage};
        QTest::newRow("no processes") << pipelineOf({}) << QStringList{NonDaemonMessage};
        QTest::newRow("missing folder and program")
            << pipelineOf({process(path("gone/prog"), path("gone"))})
            << QStringList{
                   QStringLiteral("working directory '%1' it not a directory").arg(path("gone")),
                   missing(path("gone/prog"))};
        QTest::newRow("folder is a file")
            << pipelineOf({process(tool, path("data.txt"))})
            << QStringList{QStringLiteral("working directory '%1' it not a directory")
                               .arg(path("data.txt"))};
        QTest::newRow("empty exec") << pipelineOf({process(QString())}) << QStringList{missing("")};
        QTest::newRow("exec names a folder")
            << pipelineOf({process(wd)}) << QStringList{missing(wd)};
        QTest::newRow("bare name of a folder")
            << pipelineOf({process("bin", wd)}) << QStringList{missing("bin")};
        QTest::newRow("absolute, not executable") << pipelineOf({process(path("data.txt"))})
                                                  << QStringList{notExecutable(path("data.txt"))};
        QTest::newRow("relative without folder")
            << pipelineOf({process("bin/tool")})
            << QStringList{"use of relative executable 'bin/tool' requires working directory "
                           "to be defined"};
        QTest::newRow("relative below folder")
            << pipelineOf({process("bin/tool", wd)}) << QStringList();
        QTest::newRow("relative, missing below folder")
            << pipelineOf({process("bin/none", wd)}) << QStringList{missing("bin/none")};
        QTest::newRow("relative, not executable below folder")
            << pipelineOf({process("../data.txt", wd)})
            << QStringList{notExecutable("../data.txt")};
        // libA holds a non-executable "local": the working folder must come first.
        QTest::newRow("bare name, working folder first")
            << pipelineOf({process("local", wd, libs)}) << QStringList();
        // libB holds an executable "blocked": later folders are not tried.
        QTest::newRow("bare name, first match not executable")
            << pipelineOf({process("blocked", wd, libs)}) << QStringList{notExecutable("blocked")};
        QTest::newRow("bare name, second library path")
            << pipelineOf({process("onlylib", {}, libs)}) << QStringList();
        QTest::newRow("bare name, nowhere")
            << pipelineOf({process("nothing", wd, libs)}) << QStringList{missing("nothing")};
        // The launcher's PATH (and a PATH of the environment map) is not searched.
        ProcessConfig shell = process("sh");
        shell.environment.insert("PATH", "/bin:/usr/bin");
        QTest::newRow("bare name, only the child's PATH")
            << pipelineOf({shell}) << QStringList{missing("sh")};
        QTest::newRow("messages in list order")
            << pipelineOf({process("first", {}, {}, ProcessMode::Daemon),
                           process(path("data.txt"), path("gone"), {}, ProcessMode::Daemon)})
            << QStringList{
                   missing("first"),
                   QStringLiteral("working directory '%1' it not a directory").arg(path("gone")),
                   notExecutable(path("data.txt")), NonDaemonMessage};
    }

    void messages()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, expected);

        const PipelineConfig original = pipeline;
        PipelineController controller;
        // Messages of an earlier check must not survive into this one.
        QVERIFY(!controller.isPipelineValid(pipelineOf({process("earlier")})));

        QCOMPARE(controller.isPipelineValid(pipeline), expected.isEmpty());
        QCOMPARE(controller.validationErrors(), expected);
        for (int i = 0; i < pipeline.processList.size(); ++i) {
            QCOMPARE(pipeline.processList.at(i).exec, original.processList.at(i).exec);
            QCOMPARE(pipeline.processList.at(i).workingDirectory,
                     original.processList.at(i).workingDirectory);
        }
    }

    // A refused start reports every message at once and starts nothing.
    void refusedStart()
    {
        MessageCapture capture;
        PipelineController controller;
        QSignalSpy failures(&controller, &PipelineController::pipelineFailure);
        QSignalSpy others(&controller, &PipelineController::pipelineStarted);
        QSignalSpy finished(&controller, &PipelineController::pipelineFinished);
        const PipelineConfig pipeline = pipelineOf(
            {process("a", {}, {}, ProcessMode::Daemon), process("b", {}, {}, ProcessMode::Daemon)},
            "bad");

        QVERIFY(!controller.start(pipeline, false));
        QCOMPARE(controller.state(), PipelineController::PipelineState::NotRunning);
        QCOMPARE(failures.count(), 1);
        QCOMPARE(failures.at(0).at(0).toString(), QString("bad"));
        QCOMPARE(failures.at(0).at(1).value<PipelineController::PipelineFailureReason>(),
                 PipelineController::PipelineFailureReason::InvalidPipelineFailure);
        QCOMPARE(others.count(), 0);
        QCOMPARE(finished.count(), 0);

        const QString message = "Failed to start pipeline 'bad'. Pipeline configuration is "
                                "invalid: executable 'a' does not exist, executable 'b' does "
                                "not exist, " +
                                NonDaemonMessage;
        QCOMPARE(capture.texts("solvane.trace"), QStringList{message});
        const QStringList logLines = capture.texts("default");
        QCOMPARE(logLines.size(), 1);
        QVERIFY2(logLines.first().endsWith("] " + message + '"'), qPrintable(logLines.first()));
    }
};

QTEST_GUILESS_MAIN(TestPipelineValidation)
#include "TestPipelineValidation.moc"
