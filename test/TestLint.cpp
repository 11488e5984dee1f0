// The configuration linter: each kind of problem and its message, and the new
// process keys as read.

#include "Backend.h"
#include "ConfigLinter.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QTest>

#include <utility>

class TestLint : public QObject
{
    Q_OBJECT

private slots:
    void problems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // "severity: text" lines, the last one's start

        // After a valid process group; the expected texts say which line the problem is on.
        const std::pair<const char*, const char*> cases[] = {
            {"arguments=-c, \"a;b\", \\\\x\nmode=Async\nrequired=0\nrestart-on-exit=3, 4\n"
             "restart-limit=50\nrestart-delay=1\nready=TCP:localhost:80\n"
             "[process-0/environment]\nA=1\n[ui]\nname=Caf\xc3\xa9\n",
             ""},
            {"library-paths=/usr/bin, /bin\n[process-0/environment]\nPATH=/opt/bin\n",
             "warning: [process-0/environment] PATH: replaced by library-paths, so the process "
             "gets PATH=/usr/bin:/bin"},
            {"restart-on-crash=true\nrestart-limit=1\n",
             "warning: [process-0] restart-limit: '1' restarts nothing, since the crash being "
             "handled counts, so restart-on-crash has no effect"},
            {"restart-on-crash=true\nrestart-limit=1000\n",
             "warning: [process-0] restart-limit: 1000 restarts with no restart-delay: a process "
             "that fails at once is restarted in a tight loop"},
            {"restart-period=-1\nrestart-delay-max=-5\n",
             "error: [process-0] restart-delay-max: '-5' is below 0: write 0 or more\n"
             "error: [process-0] restart-period: '-1' is below 0"},
            {"restart-on-exit=256, -1\n",
             "error: [process-0] restart-on-exit: '256' is no exit code a process can end with "
             "(0 to 255), so it never matches\nerror: [process-0] restart-on-exit: '-1' is no"},
            {"[proces-3]\nexec=x\n",
             "warning: [proces-3]: not ui, logs or a process group, so it is "
             "ignored; did you mean [process-3]?"},
            {"argumets=a\n", "warning: [process-0] argumets: unknown key, ignored; did you mean "
                             "'arguments'?"},
            {"required=no\n", "error: [process-0] required: 'no' reads as true"},
            {"restart-on-crash=ture\n", "warning: [process-0] restart-on-crash: 'ture' is neither"},
            {"restart-limit=three\n", "error: [process-0] restart-limit: 'three' is not a whole"},
            {"restart-on-exit=1, x\n", "error: [process-0] restart-on-exit: 'x' is not an exit"},
            {"mode=synch\n", "error: [process-0] mode: 'synch' is not a mode (sync, async or "
                             "daemon), so the process runs as a daemon; did you mean 'sync'?"},
            {"ready=tcp:host:http\n",
             "error: [process-0] ready: 'tcp:host:http' is not a readiness check (the port"},
            {"mode=sync\nready=notify\n", "warning: [process-0] ready: a sync process lets"},
            {"[ui]\nname=Hello, you\n", "error: [ui] name: 'Hello,you' is a list"},
            {"arguments=C:\\new\n", "warning: [process-0] arguments: '\\n' reads as a line feed"},
            {"[ui]\nname=Caf\xe9\n", "warning: [ui]: line 4 is not valid UTF-8"},
            {"[ui\n", "error: [ui]: line 3: the group has no closing ']'"},
            // Found by the fuzzer: the reader once allocated what this claims.
            {"x=@Variant(\\0\\0\\0\\x9@ByteArray(x), @@5y\n",
             "error: holds a serialized value (@Variant(...)"},
        };
        for (const auto& [content, expected] : cases)
            QTest::newRow(content)
                << "a.ini" << QByteArray("[process-0]\nexec=/bin/true\n") + content << expected;
        QTest::newRow("binary") << "a.ini" << QByteArray("[ui]\0", 5) << "error: binary content";
        QTest::newRow("byte-order mark")
            << "a.ini" << QByteArray("\xef\xbb\xbf[process-0]\nexec=/bin/true\n") << "";
        QTest::newRow("settings")
            << "launcher.ini" << QByteArray("[ui]\nallow-exti=0\n")
            << "warning: [ui] allow-exti: unknown key, ignored; did you mean 'allow-exit'?";
        QTest::newRow("size") << "launcher.ini"
                              << QByteArray("[logs]\nmax-total-size=2T\nmax-file-size=64k\n")
                              << "error: [logs] max-total-size: '2T' is not a size: write a whole "
                                 "number of bytes, or "
                                 "one with K, M or G (such as 256M); it reads as 256M";
        QTest::newRow("folder") << "a.ini" << QByteArray() << "error: cannot be read: it is a";
    }

    void problems()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QTemporaryDir folder;
        const QString path = folder.filePath(name);
        QVERIFY(content.isEmpty() ? QDir().mkpath(path) : writeFile(path, content));
        Backend().loadPipelineConfig(QFileInfo(path)); // reads, never crashes
        QStringList found;
        for (const ConfigProblem& problem : ConfigLinter(path, ConfigLinter::kindOf(path)).lint())
            found.append(problem.severityName() + ": " + problem.text());
        const QString all = found.join('\n');
        QVERIFY2(all.left(expected.size()) == expected && all.count('\n') == expected.count('\n') &&
                     all.isEmpty() == expected.isEmpty(),
                 qPrintable(all));
    }

    // What lints clean runs, and what runs lints clean: one grammar of ready=.
    void readyAgrees_data()
    {
        QTest::addColumn<QString>("ready");
        QTest::addColumn<bool>("valid");
        QTest::newRow("kind in capitals") << "TCP:8080" << true;
        QTest::newRow("IPv6 host") << "tcp:[::1]:80" << true;
        QTest::newRow("abstract socket") << "unix:@bus" << true;
        QTest::newRow("empty host") << "tcp::80" << false;
        QTest::newRow("port 0") << "tcp:0" << false;
        QTest::newRow("socket path too long") << "unix:/run/" + QString(110, 'a') << false;
        QTest::newRow("no text") << "log:" << false;
        QTest::newRow("notify with a target") << "notify:x" << false;
    }

    void readyAgrees()
    {
        QFETCH(QString, ready);
        QFETCH(bool, valid);
        const QTemporaryDir folder;
        const QString path = folder.filePath("a.ini");
        QVERIFY(writeFile(path, ("[process-0]\nexec=/bin/true\nmode=async\nready=" + ready +
                                 "\n[process-1]\nexec=/bin/true\nmode=sync\n")
                                    .toUtf8()));
        const QList<ConfigProblem> problems = ConfigLinter(path, ConfigKeys::File::Pipeline).lint();
        Backend backend;
        const bool runs = backend.pipelineController()->isPipelineValid(
            backend.loadPipelineConfig(QFileInfo(path)));
        QCOMPARE(problems.isEmpty(), valid);
        QCOMPARE(runs, valid);
    }

    // Set, as read with UTF-8 text intact; unset, the defaults keep an old file as it was.
    void newKeys()
    {
        const QTemporaryDir folder;
        // After a byte-order mark, which the reader skips.
        QVERIFY(writeFile(folder.filePath("a.ini"),
                          "\xef\xbb\xbf[process-0]\nready=unix:/run/\xc3\xa9\nready-timeout=5\n"
                          "restart-delay=2\n"
                          "restart-delay-max=9\nrestart-on-exit=3, 4\n[process-1]\nexec=x\n"));
        const QList<ProcessConfig> p =
            Backend().loadPipelineConfig(QFileInfo(folder.filePath("a.ini"))).processList;
        QVERIFY(p.size() == 2 && p[0].ready == QString("unix:/run/\u00e9"));
        QCOMPARE(QList<int>({p[0].readyTimeout, p[0].restartDelay, p[0].restartDelayMax,
                             p[0].restartOnExit.size(), p[0].restartOnExit.contains(4)}),
                 QList<int>({5, 2, 9, 2, 1}));
        QCOMPARE(QList<int>({p[1].readyTimeout, p[1].restartDelay, p[1].restartDelayMax,
                             p[1].restartOnExit.size(), p[1].ready.size()}),
                 QList<int>({30, 0, 60, 0, 0}));
    }
};

LAUNCHER_TEST(TestLint)
#include "TestLint.moc"
