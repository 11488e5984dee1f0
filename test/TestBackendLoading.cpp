#include "Backend.h"
#include "TestFixtures.h"

#include <QTest>

// The base name, the fields that differ from their defaults and, after a '|',
// each process: its exec and the fields that differ from those of a group that
// sets no key. A row names only what its file changes and still checks it all.
static QString describe(const PipelineConfig& pipeline, const QString& userFolder)
{
    QStringList out{pipeline.basename};
    const auto add = [&out](const char* field, bool changed, const QString& value) {
        if (changed)
            out.append(QLatin1String(field) + '=' + value);
    };
    add("name", !pipeline.name.isEmpty(), pipeline.name);
    add("icon", !pipeline.icon.isEmpty(), pipeline.icon);
    add("logBasename", pipeline.logBasename != pipeline.basename, pipeline.logBasename);
    add("logPath", pipeline.logPath != userFolder + "/logs", pipeline.logPath);
    for (const ProcessConfig& p : pipeline.processList) {
        QStringList codes;
        for (int code : p.invalidConfigExitCodes)
            codes.append(QString::number(code));
        codes.sort();
        const char* modes[] = {"daemon", "sync", "async"};
        out.append("| " + p.exec);
        add("args", !p.arguments.isEmpty(), p.arguments.join('|'));
        add("wd", !p.workingDirectory.isEmpty(), p.workingDirectory);
        add("mode", p.mode != ProcessMode::Daemon, modes[int(p.mode)]);
        add("restart", p.restartOnCrash, "1");
        add("limit", p.restartLimit != 3, QString::number(p.restartLimit));
        add("period", p.restartPeriod != 10, QString::number(p.restartPeriod));
        add("required", p.isRequired, "1");
        add("codes", codes != QStringList{"100"}, codes.join('|'));
        add("libs", !p.libraryPaths.isEmpty(), p.libraryPaths.join('|'));
        add("env", !p.environment.isEmpty(),
            QStringList(p.environment.keys()).join('|') + ':' + p.environment.values().join('|'));
        add("stamp", p.timestampLogEntries, "1");
    }
    return out.join(' ');
}

// Every setting and the number of pipelines, as "1;1;0;0;tile;60;...".
static QString settingsOf(const Backend& b)
{
    QString text;
    QTextStream(&text) << b.allowUserExit() << ';' << b.showVersionInfo() << ';'
                       << b.showInvalidTiles() << ';' << b.isAutoStartEnabled() << ';'
                       << b.autostartTile() << ';' << b.autostartTimeout() << ';'
                       << b.logRotatePeriod() << ';' << b.uiLocation() << ';' << b.uiWidth() << ';'
                       << b.processPipelines().size();
    return text;
}

// Settings and pipeline files as users write them by hand, the two apps folders
// and the Backend class itself, all in temporary data folders.
class TestBackendLoading : public QObject
{
    Q_OBJECT

private slots:
    // Fresh folders for every row; the old ones must be gone first, as their
    // destructor unsets the variables.
    void init() { m_folders = std::make_unique<DataFolders>(); }
    void cleanup() { m_folders.reset(); }

    // A pipeline file read as its process groups stand; an unknown mode keeps
    // Daemon and warns with the file, the group and the text.
    void pipelineFile_data()
    {
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("text"); // of [process-x]; null: the file vanishes
        QTest::addColumn<QString>("warning");
        const auto row = [](auto name, auto expected, const char* text, const char* warning = "") {
            QTest::newRow(name) << expected << QByteArray(text) << warning;
        };
        // Also the defaults of the other fields and the complete base name.
        row("quoted, SYNC", "a.b | /a b args=-a, -b wd=/s, t mode=sync required=1",
            "exec=\"/a b\"\narguments=\"-a, -b\"\nworking-directory=\"/s, t\"\nrequired=yes\n"
            "mode=SYNC");
        // A single value is a one-element list, never split at blanks.
        row("lists, aSync", "a.b | run args=-x -y|-z mode=async libs=/lib",
            "arguments=-x -y, -z\nlibrary-paths=/lib\nmode=aSync");
        row("non-numeric, blank trimmed", "a.b | run mode=sync limit=0 period=0 codes=0|7",
            "restart-limit=abc\nrestart-period=4294967296\ninvalid-config-exit-codes=7, x, 7, 007\n"
            "mode= sync");
        row("environment, DAEMON", "a.b | run env=A|P:1|a, b",
            "environment\\A=1\nenvironment\\P=\"a, b\"\nenvironment\\deep\\B=2\nenv\\C=3\n"
            "mode=DAEMON");
        row("blank, case kept", "a.b | run", "mode=\" Sync\"", "Failed to parse ' Sync'");
        // Every key outside the groups; groups in plain string order, by prefix.
        row("groups", "a.b name=P icon=i logBasename=b logPath=/l | p | 10 | 2 | run | s",
            "[ui]\nname=P\nicon=i\nexec=ui\n[logs]\nbasename=b\npath=/l\nexec=l\n[General]\n"
            "process-7=k\n[process-2]\nexec=2\n[process-10]\nexec=10\n[Process-1]\nexec=P\n"
            "[processes]\nexec=s\n[process]\nexec=p\n[aprocess]\nexec=a");
        row("vanished", " logPath=", nullptr);
    }

    void pipelineFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, warning);
        const QString path = m_folders->root() + "/a.b.ini";
        QVERIFY(writeFile(path, "[process-x]\nexec=run\n" + text));
        const QFileInfo listed(path);
        // A listing caches that the file existed.
        QVERIFY(listed.exists() && (!text.isNull() || QFile::remove(path)));
        MessageCapture capture;
        QTEST(describe(Backend().loadPipelineConfig(listed), m_folders->user()), "expected");
        const QString trace = capture.trace().join('\n');
        QVERIFY2(warning.isEmpty() ? trace.isEmpty()
                                   : trace.startsWith("warning: ") && !trace.contains('\n') &&
                                         trace.contains(path) && trace.contains("'process-x'") &&
                                         trace.contains(warning),
                 qPrintable(trace));
    }

    // Each row is read after a file that sets every key to another value, so a
    // key the row leaves out must come back as its default.
    void launcherSettings_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no file at all
        QTest::addColumn<QString>("expected");
        QTest::newRow("only the timeout")
            << QByteArray("[autostart]\ntimeout=7\n") << "1;1;0;0;;7;86400;50% 50%;1000px;0";
        QTest::newRow("non-numeric, beyond 32 bits")
            << QByteArray("[autostart]\ntimeout=soon\n[logs]\nrotate-period=4294967296\n")
            << "1;1;0;0;;0;0;50% 50%;1000px;0";
        QTest::newRow("missing file") << QByteArray() << "0;0;1;1;p;5;3600;1% 2%;8vw;0";
    }

    void launcherSettings()
    {
        QFETCH(QByteArray, text);
        const QString base = m_folders->root() + "/base.ini", path = m_folders->root() + "/l.ini";
        QVERIFY(writeFile(base, "[ui]\nallow-exit=FALSE\nshow-version=0\nshow-invalid-tiles=yes\n"
                                "location=1% 2%\nwidth=8vw\n[autostart]\ntile=p\ntimeout=5\n"
                                "[logs]\nrotate-period=3600\n"));
        QVERIFY(text.isNull() || writeFile(path, text));
        Backend backend;
        QVERIFY(backend.loadConfig(QFileInfo(base)));
        QCOMPARE(backend.loadConfig(QFileInfo(path)), !text.isNull());
        QTEST(settingsOf(backend), "expected");
    }

    // A new Backend reports the defaults; folder texts are used as they stand,
    // so a trailing separator is doubled.
    void newBackend()
    {
        qputenv("XDG_DATA_HOME", "/u/");
        qputenv("XDG_CONFIG_DIRS", "/m/:/n");
        const Backend backend;
        QCOMPARE(settingsOf(backend), "1;1;0;0;;60;86400;50% 50%;1000px;0");
        QCOMPARE(backend.userDataPath(), "/u//Orvalen/launcher");
        QCOMPARE(backend.systemDataPath(), "/m//Orvalen/launcher");
        QCOMPARE(backend.userSettingsFile().filePath(), "/u//Orvalen/launcher/launcher.ini");
        QCOMPARE(backend.systemSettingsFile().filePath(), "/m//Orvalen/launcher/launcher.ini");
        QCOMPARE(backend.defaultLogPath(), "/u//Orvalen/launcher/logs");
    }

    // Entries are u/<name> (user apps folder) or m/<name> (machine); a name
    // ending in '/' is a folder. Each file names itself in "ui/name".
    void applicationFiles_data()
    {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const char* entries, const char* expected) {
            QTest::newRow(name) << entries << expected;
        };
        row("no apps folders", "", "");
        row("user file replaces machine file", "m/a.ini m/b.ini u/a.ini", "u/a.ini m/b.ini");
        row("case-sensitive names", "m/app.ini u/App.ini", "u/App.ini m/app.ini");
        row("plain string order", "u/b.ini m/alpha.ini u/Zeta.ini m/C.ini",
            "m/C.ini u/Zeta.ini m/alpha.ini u/b.ini");
        row("only .ini files",
            "u/notes.txt u/old.ini/ u/.hidden.ini u/x.ini.bak u/y.ini m/ini m/z.ini",
            "u/y.ini m/z.ini");
    }

    void applicationFiles()
    {
        QFETCH(QString, entries);
        QFETCH(QString, expected);
        for (const QString& entry : entries.split(' ', Qt::SkipEmptyParts)) {
            const QString folder = entry[0] == 'u' ? m_folders->user() : m_folders->machine();
            const QString path = folder + "/apps" + entry.mid(1);
            QVERIFY(entry.endsWith('/') ? QDir().mkpath(path)
                                        : writeFile(path, "[ui]\nname=" + entry.toUtf8() + '\n'));
        }
        // Loading follows the listing and appends on every call.
        Backend backend;
        QCOMPARE(backend.loadApplications() + backend.loadApplications(), 2 * expected.count('/'));
        QStringList loaded;
        for (const PipelineConfig& pipeline : backend.processPipelines())
            loaded.append(pipeline.name);
        QCOMPARE(loaded.join(' '), (expected + ' ' + expected).trimmed());
    }

    // The first record of a base name wins; names compare exactly.
    void findPipeline()
    {
        QVERIFY(writeFile(m_folders->user() + "/apps/Player.ini", "[ui]\nname=The Player\n"));
        Backend backend;
        QCOMPARE(backend.loadApplications() + backend.loadApplications(), 2);
        QSettings settings(m_folders->root() + "/launcher.ini", QSettings::IniFormat);
        for (const QString& tile : QStringList{"Player", "player", "Player ", "Other"}) {
            settings.setValue("autostart/tile", tile);
            backend.readLauncherSettings(settings);
            const bool found = tile == "Player";
            QCOMPARE(backend.findPipeline(tile), found ? &backend.processPipelines()[0] : nullptr);
            QCOMPARE(backend.autostartPipelineName(), found ? "The Player" : "");
        }
    }

    // The relays are direct: each call has arrived before the controller's
    // emission returns, once, with the controller's arguments.
    void relays()
    {
        Backend backend;
        QStringList got;
        auto note = [&](const QString& n, int r = -1) { got << n + ':' + QString::number(r); };
        connect(&backend, &Backend::pipelineStarted, note);
        connect(&backend, &Backend::pipelineFailure, note);
        connect(&backend, &Backend::pipelineFinished, note);
        PipelineController* c = backend.pipelineController();
        emit c->pipelineStarted("p");
        emit c->pipelineFailure("f", PipelineController::RequiredProcessInvalidConfigFailure);
        emit c->pipelineFinished("e", PipelineController::FailureFinish);
        QCOMPARE(got, (QStringList{"p:-1", "f:3", "e:1"}));
    }

private:
    std::unique_ptr<DataFolders> m_folders;
};

QTEST_GUILESS_MAIN(TestBackendLoading)
#include "TestBackendLoading.moc"
