#include "Backend.h"
#include "ProcessModeResult.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(ProcessConfig)
Q_DECLARE_METATYPE(ProcessMode)

namespace {

QStringList g_warnings;

void captureWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "solvane.trace") == 0)
        g_warnings.append(text);
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(text) == text.size();
}

// The values a pipeline file gives a process that sets no key at all.
ProcessConfig readDefaults()
{
    ProcessConfig process;
    process.invalidConfigExitCodes = {100};
    return process;
}

} // namespace

// Pipeline files as users write them by hand, read through Backend.
class TestPipelineParsing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
    }

    void processValues_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<ProcessConfig>("expected");

        ProcessConfig p = readDefaults();
        p.exec = QStringLiteral("run");
        QTest::newRow("missing keys take defaults") << QByteArray("exec=run\n") << p;

        p = readDefaults();
        p.exec = QStringLiteral("/opt/my app/run");
        p.workingDirectory = QStringLiteral("/srv/a, b");
        QTest::newRow("quoted texts")
            << QByteArray("exec=\"/opt/my app/run\"\nworking-directory=\"/srv/a, b\"\n") << p;

        p = readDefaults();
        p.arguments = QStringList{QStringLiteral("--a"), QStringLiteral("--b")};
        p.libraryPaths = QStringList{QStringLiteral("/l1"), QStringLiteral("/l2")};
        QTest::newRow("comma lists")
            << QByteArray("arguments=--a, --b\nlibrary-paths=/l1,/l2\n") << p;

        p = readDefaults();
        p.arguments = QStringList{QStringLiteral("--a, --b")};
        QTest::newRow("quoted comma") << QByteArray("arguments=\"--a, --b\"\n") << p;

        p = readDefaults();
        p.arguments = QStringList{QStringLiteral("--x --y")};
        p.libraryPaths = QStringList{QStringLiteral("/lib")};
        QTest::newRow("single value, never split at blanks")
            << QByteArray("arguments=--x --y\nlibrary-paths=/lib\n") << p;

        p = readDefaults();
        p.restartOnCrash = true;
        p.isRequired = true;
        p.timestampLogEntries = true;
        QTest::newRow("true texts")
            << QByteArray("restart-on-crash=yes\nrequired=1\nadd-log-timestamp=True\n") << p;
        QTest::newRow("false texts")
            << QByteArray("restart-on-crash=FALSE\nrequired=0\nadd-log-timestamp=\n")
            << readDefaults();

        p = readDefaults();
        p.restartLimit = 0;
        p.restartPeriod = 0;
        p.invalidConfigExitCodes = {7, 0};
        QTest::newRow("non-numeric integers")
            << QByteArray("restart-limit=abc\nrestart-period=12s\n"
                          "invalid-config-exit-codes=7, x, 7, 007\n")
            << p;

        p = readDefaults();
        p.restartLimit = 0;
        p.restartPeriod = -5;
        QTest::newRow("beyond 32 bits, negative")
            << QByteArray("restart-limit=4294967296\nrestart-period=-5\n") << p;

        p = readDefaults();
        p.invalidConfigExitCodes = {3};
        QTest::newRow("one exit code") << QByteArray("invalid-config-exit-codes=3\n") << p;

        p = readDefaults();
        p.environment.insert(QStringLiteral("A"), QStringLiteral("1"));
        p.environment.insert(QStringLiteral("PATH_X"), QStringLiteral("a, b"));
        QTest::newRow("environment, deeper keys ignored")
            << QByteArray("environment\\A=1\nenvironment\\PATH_X=\"a, b\"\n"
                          "environment\\deep\\B=2\nenv\\C=3\n")
            << p;
    }

    void processValues()
    {
        QFETCH(QByteArray, body);
        QFETCH(ProcessConfig, expected);
        const QString path = m_dir.filePath(QStringLiteral("values.ini"));
        QVERIFY(writeFile(path, "[process-0]\n" + body));

        Backend backend;
        const PipelineConfig pipeline = backend.loadPipelineConfig(QFileInfo(path));
        QCOMPARE(pipeline.processList.size(), 1);
        const ProcessConfig& actual = pipeline.processList[0];
        QCOMPARE(actual.exec, expected.exec);
        QCOMPARE(actual.arguments, expected.arguments);
        QCOMPARE(actual.workingDirectory, expected.workingDirectory);
        QCOMPARE(actual.mode, expected.mode);
        QCOMPARE(actual.restartOnCrash, expected.restartOnCrash);
        QCOMPARE(actual.restartLimit, expected.restartLimit);
        QCOMPARE(actual.restartPeriod, expected.restartPeriod);
        QCOMPARE(actual.isRequired, expected.isRequired);
        QCOMPARE(actual.invalidConfigExitCodes, expected.invalidConfigExitCodes);
        QCOMPARE(actual.libraryPaths, expected.libraryPaths);
        QCOMPARE(actual.environment, expected.environment);
        QCOMPARE(actual.timestampLogEntries, expected.timestampLogEntries);
    }

    // An unknown mode keeps Daemon and warns with the file, the group and the
    // text as it was read.
    void modeText_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<ProcessMode>("expected");
        QTest::addColumn<QString>("error");

        QTest::newRow("sync") << QByteArray("mode=sync") << ProcessMode::Sync << QString();
        QTest::newRow("SYNC") << QByteArray("mode=SYNC") << ProcessMode::Sync << QString();
        QTest::newRow("aSync") << QByteArray("mode=aSync") << ProcessMode::Async << QString();
        QTest::newRow("DAEMON") << QByteArray("mode=DAEMON") << ProcessMode::Daemon << QString();
        QTest::newRow("missing") << QByteArray() << ProcessMode::Daemon << QString();
        QTest::newRow("blank trimmed by the reader")
            << QByteArray("mode= sync") << ProcessMode::Sync << QString();
        QTest::newRow("quoted blank kept") << QByteArray("mode=\" sync\"") << ProcessMode::Daemon
                                           << QStringLiteral("Failed to parse ' sync'");
        QTest::newRow("typo") << QByteArray("mode=syn") << ProcessMode::Daemon
                              << QStringLiteral("Failed to parse 'syn'");
        QTest::newRow("case kept in the error")
            << QByteArray("mode=Background") << ProcessMode::Daemon
            << QStringLiteral("Failed to parse 'Background'");
        QTest::newRow("empty") << QByteArray("mode=") << ProcessMode::Daemon
                               << QStringLiteral("Failed to parse ''");
    }

    void modeText()
    {
        QFETCH(QByteArray, line);
        QFETCH(ProcessMode, expected);
        QFETCH(QString, error);
        const QString path = m_dir.filePath(QStringLiteral("mode.ini"));
        QVERIFY(writeFile(path, "[process-main]\nexec=run\n" + line + "\n"));

        Backend backend;
        g_warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
        const PipelineConfig pipeline = backend.loadPipelineConfig(QFileInfo(path));
        qInstallMessageHandler(previous);

        QCOMPARE(pipeline.processList.size(), 1);
        QCOMPARE(pipeline.processList[0].mode, expected);
        if (error.isEmpty()) {
            QCOMPARE(g_warnings, QStringList());
            return;
        }
        QCOMPARE(g_warnings.size(), 1);
        const QString warning = g_warnings[0];
        QVERIFY2(warning.contains(path) && warning.contains(QLatin1String("'process-main'")) &&
                     warning.contains(error),
                 qPrintable(warning));
    }

    void parseProcessModeResult()
    {
        const ProcessModeResult ok = parseProcessMode(QStringLiteral("ASYNC"));
        QVERIFY(ok.success);
        QCOMPARE(ok.mode, ProcessMode::Async);
        QVERIFY(ok.errorText.isEmpty());
        const ProcessModeResult failed = parseProcessMode(QStringLiteral("sync "));
        QVERIFY(!failed.success);
        QCOMPARE(failed.mode, ProcessMode::Daemon);
        QCOMPARE(failed.errorText, QStringLiteral("Failed to parse 'sync '"));
    }

    void processGroups()
    {
        const QString path = m_dir.filePath(QStringLiteral("groups.ini"));
        QVERIFY(writeFile(path, "[General]\nprocess-7=top-level key\n"
                                "[process-2]\nexec=2\n[process-10]\nexec=10\n"
                                "[Process-1]\nexec=upper\n[processes]\nexec=s\n"
                                "[process_x]\nexec=_\n[process]\nexec=p\n"
                                "[aprocess]\nexec=a\n[ui]\nexec=ui\n[logs]\nexec=logs\n"));

        Backend backend;
        const PipelineConfig pipeline = backend.loadPipelineConfig(QFileInfo(path));
        QStringList order;
        for (const ProcessConfig& process : pipeline.processList)
            order.append(process.exec);
        QCOMPARE(order, (QStringList{"p", "10", "2", "_", "s"}));
    }

    void pipelineFields_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("basename");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QString>("logBasename");
        QTest::addColumn<QString>("logPath");

        const QString defaultLogs = m_dir.filePath(QStringLiteral("data/Orvalen/launcher/logs"));
        QTest::newRow("defaults, last extension only")
            << "a.b.ini" << QByteArray("[process-0]\nexec=run\n") << "a.b" << QString() << QString()
            << "a.b" << defaultLogs;
        QTest::newRow("every key") << "player.ini"
                                   << QByteArray("[ui]\nname=Player\nicon=qrc:/p.png\n"
                                                 "[logs]\nbasename=play\npath=/var/log/p\n")
                                   << "player"
                                   << "Player"
                                   << "qrc:/p.png"
                                   << "play"
                                   << "/var/log/p";
        QTest::newRow("empty file") << "empty.ini" << QByteArray() << "empty" << QString()
                                    << QString() << "empty" << defaultLogs;
    }

    void pipelineFields()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, text);
        const QString path = m_dir.filePath(fileName);
        QVERIFY(writeFile(path, text));

        Backend backend;
        const PipelineConfig pipeline = backend.loadPipelineConfig(QFileInfo(path));
        QTEST(pipeline.basename, "basename");
        QTEST(pipeline.name, "name");
        QTEST(pipeline.icon, "icon");
        QTEST(pipeline.logBasename, "logBasename");
        QTEST(pipeline.logPath, "logPath");
    }

    // A file listed earlier and removed since gives an empty record, like one
    // that never existed.
    void missingFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("gone.ini"));
        QVERIFY(writeFile(path, "[ui]\nname=Gone\n[process-0]\nexec=run\n"));
        const QFileInfo listed(path);
        QVERIFY(listed.exists());
        QVERIFY(QFile::remove(path));

        Backend backend;
        for (const QFileInfo& file : {listed, QFileInfo(path)}) {
            const PipelineConfig pipeline = backend.loadPipelineConfig(file);
            QVERIFY(pipeline.basename.isEmpty());
            QVERIFY(pipeline.name.isEmpty());
            QVERIFY(pipeline.logBasename.isEmpty());
            QVERIFY(pipeline.logPath.isEmpty());
            QVERIFY(pipeline.processList.isEmpty());
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestPipelineParsing)
#include "TestPipelineParsing.moc"
