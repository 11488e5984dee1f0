// The configuration linter: each kind of problem and its message, the new
// process keys as read, and loading that only looks.

#include "Backend.h"
#include "ConfigLinter.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDateTime>
#include <QTest>

class TestLint : public QObject
{
    Q_OBJECT

private slots:
    void problems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // "severity: text" lines

        const QByteArray process = "[process-0]\nexec=/bin/true\n";
        QTest::newRow("clean, every key")
            << "app.ini"
            << process + "arguments=-c, \"a;b\", \\\\x\nmode=Async\nrequired=false\n"
                         "restart-on-crash=1\nrestart-limit=3\nrestart-delay=2\n"
                         "restart-delay-max=30\nrestart-on-exit=3, 4\nready=tcp:localhost:80\n"
                         "ready-timeout=5\n[process-0/environment]\nA=1\n[ui]\nname=Caf\xc3\xa9\n"
            << "";
        QTest::newRow("misspelt group")
            << "app.ini" << QByteArray("[proces-3]\nexec=x\n")
            << "warning: [proces-3]: not ui, logs or a process group, so it is ignored; did you "
               "mean [process-3]?";
        QTest::newRow("unknown key")
            << "app.ini" << process + "argumets=a\n"
            << "warning: [process-0] argumets: unknown key, ignored; did you mean 'arguments'?";
        QTest::newRow("no for a boolean")
            << "app.ini" << process + "required=no\n"
            << "error: [process-0] required: 'no' reads as true; write false (or true)";
        QTest::newRow("typo for a boolean")
            << "app.ini" << process + "restart-on-crash=ture\n"
            << "warning: [process-0] restart-on-crash: 'ture' is neither true nor false, and "
               "reads as true";
        QTest::newRow("not a number")
            << "app.ini" << process + "restart-limit=three\n"
            << "error: [process-0] restart-limit: 'three' is not a whole number, so it reads as 0";
        QTest::newRow("exit code list")
            << "app.ini" << process + "restart-on-exit=1, x\n"
            << "error: [process-0] restart-on-exit: 'x' is not an exit code, so it reads as 0";
        QTest::newRow("unknown mode")
            << "app.ini" << process + "mode=synch\n"
            << "error: [process-0] mode: 'synch' is not a mode (sync, async or daemon), so the "
               "process runs as a daemon; did you mean 'sync'?";
        QTest::newRow("bad ready form")
            << "app.ini" << process + "ready=tcp:host:http\n"
            << "error: [process-0] ready: 'tcp:host:http' is not a readiness check: write "
               "tcp:PORT, tcp:HOST:PORT, unix:PATH, file:PATH, log:TEXT or notify";
        QTest::newRow("ready on sync")
            << "app.ini" << process + "mode=sync\nready=notify\n"
            << "warning: [process-0] ready: a sync process lets the next one start when it has "
               "ended, so ready= has no effect";
        QTest::newRow("comma in a text")
            << "app.ini" << QByteArray("[ui]\nname=Hello, you\n")
            << "error: [ui] name: 'Hello,you' is a list (a comma separates items), which this "
               "key does not take; put the value in double quotes";
        QTest::newRow("escape")
            << "app.ini" << QByteArray("[process-0]\nexec=C:\\new\n")
            << "warning: [process-0] exec: '\\n' reads as a line feed; write '\\\\' for a "
               "backslash";
        QTest::newRow("control character")
            << "app.ini" << process + "arguments=a\x01\n"
            << "warning: [process-0] arguments: line 3: control character 0x01 in the value";
        QTest::newRow("Latin-1 text")
            << "app.ini" << QByteArray("[ui]\nname=Caf\xe9\n")
            << "warning: [ui]: line 2 is not valid UTF-8, and the file is read as UTF-8; save "
               "it as UTF-8";
        QTest::newRow("binary") << "app.ini" << QByteArray("[ui]\0name=x\n", 12)
                                << "error: binary content (a NUL byte), so no settings file";
        QTest::newRow("unclosed group")
            << "app.ini" << QByteArray("[ui\nname=x\n")
            << "error: [ui]: line 1: the group has no closing ']', so the file is no valid "
               "settings file";
        QTest::newRow("settings file")
            << "launcher.ini"
            << QByteArray("[autostart]\ntimeout=3s\n[ui]\nallow-exti=false\n[proces-1]\n")
            << "error: [autostart] timeout: '3s' is not a whole number, so it reads as 0\n"
               "warning: [ui] allow-exti: unknown key, ignored; did you mean 'allow-exit'?";
        QTest::newRow("folder") << "folder.ini" << QByteArray()
                                << "error: cannot be read: it is a folder";
    }

    void problems()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QTemporaryDir folder;
        const QString path = folder.filePath(name);
        QVERIFY(content.isEmpty() ? QDir().mkpath(path) : writeFile(path, content));
        QStringList found;
        for (const ConfigProblem& problem : ConfigLinter(path, ConfigLinter::kindOf(path)).lint()) {
            QCOMPARE(problem.file, path);
            found.append(problem.severityName() + ": " + problem.text());
        }
        QCOMPARE(found.join('\n'), expected);
    }

    // The new keys as read, UTF-8 text intact; defaults keep an old file as it was.
    void newKeys()
    {
        const QTemporaryDir folder;
        QVERIFY(writeFile(folder.filePath("a.ini"),
                          "[ui]\nname=Caf\xc3\xa9\n[process-0]\nready=unix:/run/\xc3\xa9.sock\n"
                          "ready-timeout=5\nrestart-delay=2\nrestart-delay-max=9\n"
                          "restart-on-exit=3, 4\n[process-1]\nexec=x\n"));
        Backend backend;
        const PipelineConfig config =
            backend.loadPipelineConfig(QFileInfo(folder.filePath("a.ini")));
        QCOMPARE(config.name, QString("Caf\u00e9"));
        const ProcessConfig& set = config.processList.at(0);
        QCOMPARE(set.ready, QString("unix:/run/\u00e9.sock"));
        QCOMPARE(set.readyTimeout, 5);
        QCOMPARE(set.restartDelay, 2);
        QCOMPARE(set.restartDelayMax, 9);
        QCOMPARE(set.restartOnExit, (QSet<int>{3, 4}));
        const ProcessConfig& unset = config.processList.at(1);
        QVERIFY(unset.ready.isEmpty() && unset.restartOnExit.isEmpty());
        QCOMPARE(unset.readyTimeout, 30);
        QCOMPARE(unset.restartDelay, 0);
        QCOMPARE(unset.restartDelayMax, 60);
    }

    // load() touches no file; an unreadable launcher.ini is named in a warning.
    void loadOnlyLooks()
    {
        const DataFolders folders;
        QVERIFY(QDir().mkpath(folders.user() + "/launcher.ini"));
        QFile old(folders.user() + "/logs/old.log");
        QVERIFY(writeFile(old.fileName(), "x") && old.open(QIODevice::Append));
        QVERIFY(old.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                QFileDevice::FileModificationTime));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable("Unable to read settings file '" + folders.user() +
                                        "/launcher.ini': it is a folder; every setting takes "
                                        "its default"));
        Backend backend;
        QVERIFY(backend.load());
        QCOMPARE(backend.configProblems().size(), 1);
        QCOMPARE(backend.configProblems().at(0).message, "cannot be read: it is a folder");
        QVERIFY(old.exists());
    }
};

LAUNCHER_TEST(TestLint)
#include "TestLint.moc"
