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
        QVERIFY(config.exec.isEmpty());
        QVERIFY(config.arguments.isEmpty());
        QVERIFY(config.workingDirectory.isEmpty());
        QVERIFY(config.mode == ProcessMode::Daemon);
        QCOMPARE(config.restartOnCrash, false);
        QCOMPARE(config.restartLimit, 3);
        QCOMPARE(config.restartPeriod, 10);
        QCOMPARE(config.isRequired, false);
        QVERIFY(config.invalidConfigExitCodes.isEmpty());
        QVERIFY(config.libraryPaths.isEmpty());
        QVERIFY(config.environment.isEmpty());
        QCOMPARE(config.timestampLogEntries, false);
    }

    void modeNumbers()
    {
        QCOMPARE(int(ProcessMode::Daemon), 0);
        QCOMPARE(int(ProcessMode::Sync), 1);
        QCOMPARE(int(ProcessMode::Async), 2);
        QVERIFY(ProcessMode{} == ProcessMode::Daemon);
    }

    void copiesAreIndependent()
    {
        PipelineConfig original;
        original.basename = QStringLiteral("player");
        ProcessConfig process;
        process.exec = QStringLiteral("/bin/true");
        process.environment.insert(QStringLiteral("A"), QStringLiteral("1"));
        original.processList.append(process);

        PipelineConfig copy = original;
        copy.basename = QStringLiteral("other");
        copy.processList[0].environment.insert(QStringLiteral("B"), QStringLiteral("2"));
        copy.processList[0].arguments.append(QStringLiteral("--x"));
        copy.processList.append(ProcessConfig());

        QCOMPARE(original.basename, QStringLiteral("player"));
        QCOMPARE(original.processList.size(), 1);
        QCOMPARE(original.processList[0].environment.size(), 1);
        QVERIFY(original.processList[0].arguments.isEmpty());
        QCOMPARE(copy.processList.size(), 2);
    }

    void variantRoundTrip()
    {
        PipelineConfig stored;
        stored.basename = QStringLiteral("a.b");
        stored.name = QStringLiteral("Display");
        stored.icon = QStringLiteral("icon.png");
        stored.logBasename = QStringLiteral("log");
        stored.logPath = QStringLiteral("/var/tmp/logs");
        ProcessConfig process;
        process.exec = QStringLiteral("prog");
        process.arguments = QStringList{QStringLiteral("--a"), QStringLiteral("b c")};
        process.workingDirectory = QStringLiteral("/w");
        process.mode = ProcessMode::Async;
        process.restartOnCrash = true;
        process.restartLimit = 7;
        process.restartPeriod = 70;
        process.isRequired = true;
        process.invalidConfigExitCodes = {100, 101};
        process.libraryPaths = QStringList{QStringLiteral("/lib1")};
        process.environment.insert(QStringLiteral("K"), QStringLiteral("V"));
        process.timestampLogEntries = true;
        stored.processList = {process, ProcessConfig()};

        const QVariant variant = QVariant::fromValue(stored);
        QCOMPARE(QMetaType::typeName(variant.userType()), "PipelineConfig");
        QVERIFY(variant.canConvert<PipelineConfig>());
        const PipelineConfig loaded = variant.value<PipelineConfig>();

        QCOMPARE(loaded.basename, stored.basename);
        QCOMPARE(loaded.name, stored.name);
        QCOMPARE(loaded.icon, stored.icon);
        QCOMPARE(loaded.logBasename, stored.logBasename);
        QCOMPARE(loaded.logPath, stored.logPath);
        QCOMPARE(loaded.processList.size(), 2);
        const ProcessConfig& p = loaded.processList[0];
        QCOMPARE(p.exec, process.exec);
        QCOMPARE(p.arguments, process.arguments);
        QCOMPARE(p.workingDirectory, process.workingDirectory);
        QVERIFY(p.mode == process.mode);
        QCOMPARE(p.restartOnCrash, true);
        QCOMPARE(p.restartLimit, 7);
        QCOMPARE(p.restartPeriod, 70);
        QCOMPARE(p.isRequired, true);
        QCOMPARE(p.invalidConfigExitCodes, process.invalidConfigExitCodes);
        QCOMPARE(p.libraryPaths, process.libraryPaths);
        QCOMPARE(p.environment, process.environment);
        QCOMPARE(p.timestampLogEntries, true);
        QVERIFY(loaded.processList[1].exec.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "TestRecords.moc"
