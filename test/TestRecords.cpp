#include "PipelineConfig.h"

#include <QTest>
#include <QVariant>

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void processDefaults()
    {
        const ProcessConfig config;
        QVERIFY(config.exec.isEmpty() && config.arguments.isEmpty());
        QVERIFY(config.workingDirectory.isEmpty() && config.libraryPaths.isEmpty());
        QVERIFY(config.environment.isEmpty() && config.invalidConfigExitCodes.isEmpty());
        QVERIFY(config.mode == ProcessMode::Daemon && ProcessMode{} == ProcessMode::Daemon);
        QVERIFY(!config.restartOnCrash && !config.isRequired && !config.timestampLogEntries);
        QCOMPARE(config.restartLimit, 3);
        QCOMPARE(config.restartPeriod, 10);
    }

    // Copies share nothing: a change to a copy's nested containers stays in the copy,
    // also after a round trip through a QVariant.
    void copiesAreIndependent()
    {
        PipelineConfig original;
        original.basename = QStringLiteral("a.b");
        original.logPath = QStringLiteral("/var/tmp/logs");
        ProcessConfig process;
        process.exec = QStringLiteral("/bin/true");
        process.mode = ProcessMode::Async;
        process.invalidConfigExitCodes = {100, 101};
        process.environment.insert(QStringLiteral("A"), QStringLiteral("1"));
        original.processList.append(process);

        const QVariant variant = QVariant::fromValue(original);
        QCOMPARE(QMetaType::typeName(variant.userType()), "PipelineConfig");
        PipelineConfig copy = variant.value<PipelineConfig>();
        QCOMPARE(copy.basename, original.basename);
        QCOMPARE(copy.logPath, original.logPath);
        QCOMPARE(copy.processList.size(), 1);
        QCOMPARE(copy.processList[0].exec, process.exec);
        QVERIFY(copy.processList[0].mode == ProcessMode::Async);
        QCOMPARE(copy.processList[0].invalidConfigExitCodes, process.invalidConfigExitCodes);
        QCOMPARE(copy.processList[0].environment, process.environment);

        copy.processList[0].environment.insert(QStringLiteral("B"), QStringLiteral("2"));
        copy.processList[0].arguments.append(QStringLiteral("--x"));
        copy.processList.append(ProcessConfig());
        QCOMPARE(original.processList.size(), 1);
        QCOMPARE(original.processList[0].environment.size(), 1);
        QVERIFY(original.processList[0].arguments.isEmpty());
        QCOMPARE(variant.value<PipelineConfig>().processList.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "TestRecords.moc"
