#include "Backend.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(text) == text.size();
}

} // namespace

// The launcher settings, the two apps folders and the Backend class itself,
// with both data folders inside a temporary folder.
class TestBackendLoading : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_userData = m_dir.filePath(QStringLiteral("user"));
        m_machineData = m_dir.filePath(QStringLiteral("machine"));
        m_userApps = m_userData + QStringLiteral("/Orvalen/launcher/apps");
        m_machineApps = m_machineData + QStringLiteral("/Orvalen/launcher/apps");
    }

    void init()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_userData));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_machineData));
    }

    void cleanup()
    {
        QDir(m_userData).removeRecursively();
        QDir(m_machineData).removeRecursively();
    }

    void initialValues()
    {
        const Backend backend;
        QCOMPARE(backend.allowUserExit(), true);
        QCOMPARE(backend.showVersionInfo(), true);
        QCOMPARE(backend.showInvalidTiles(), false);
        QCOMPARE(backend.isAutoStartEnabled(), false);
        QCOMPARE(backend.autostartTile(), QString());
        QCOMPARE(backend.autostartTimeout(), 60);
        QCOMPARE(backend.logRotatePeriod(), qint64(86400));
        QCOMPARE(backend.uiLocation(), QStringLiteral("50% 50%"));
        QCOMPARE(backend.uiWidth(), QStringLiteral("1000px"));
        QVERIFY(backend.processPipelines().isEmpty());
        QCOMPARE(backend.autostartPipelineName(), QString());
    }

    // Each row is read on top of a file that sets every key to another value,
    // so a key the row leaves out must come back as its default.
    void launcherSettings_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no file at all
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<bool>("allowExit");
        QTest::addColumn<bool>("showVersion");
        QTest::addColumn<bool>("showInvalidTiles");
        QTest::addColumn<QString>("tile");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<qint64>("rotatePeriod");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("width");

        QTest::newRow("every key")
            << QByteArray("[ui]\nallow-exit=FALSE\nshow-version=0\nshow-invalid-tiles=yes\n"
                          "location=10% 20%\nwidth=80vw\n"
                          "[autostart]\ntile=player\ntimeout=5\n[logs]\nrotate-period=3600\n")
            << true << false << false << true << "player" << 5 << qint64(3600) << "10% 20%"
            << "80vw";
        QTest::newRow("only the timeout")
            << QByteArray("[autostart]\ntimeout=7\n") << true << true << true << false << QString()
            << 7 << qint64(86400) << "50% 50%"
            << "1000px";
        QTest::newRow("empty file") << QByteArray("") << true << true << true << false << QString()
                                    << 60 << qint64(86400) << "50% 50%"
                                    << "1000px";
        QTest::newRow("non-numeric integers")
            << QByteArray("[autostart]\ntimeout=soon\n[logs]\nrotate-period=1d\n") << true << true
            << true << false << QString() << 0 << qint64(0) << "50% 50%"
            << "1000px";
        QTest::newRow("missing file changes nothing")
            << QByteArray() << false << false << false << true << "base" << 1 << qint64(2) << "base"
            << "base";
    }

    void launcherSettings()
    {
        QFETCH(QByteArray, text);
        const QString basePath = m_dir.filePath(QStringLiteral("base.ini"));
        QVERIFY(writeFile(basePath, "[ui]\nallow-exit=false\nshow-version=false\n"
                                    "show-invalid-tiles=true\nlocation=base\nwidth=base\n"
                                    "[autostart]\ntile=base\ntimeout=1\n"
                                    "[logs]\nrotate-period=2\n"));
        const QString path = m_dir.filePath(QStringLiteral("launcher.ini"));
        QFile::remove(path);
        if (!text.isNull())
            QVERIFY(writeFile(path, text));

        Backend backend;
        QVERIFY(backend.loadConfig(QFileInfo(basePath)));
        QTEST(backend.loadConfig(QFileInfo(path)), "loaded");
        QTEST(backend.allowUserExit(), "allowExit");
        QTEST(backend.showVersionInfo(), "showVersion");
        QTEST(backend.showInvalidTiles(), "showInvalidTiles");
        QTEST(backend.autostartTile(), "tile");
        QCOMPARE(backend.isAutoStartEnabled(), !backend.autostartTile().isEmpty());
        QTEST(backend.autostartTimeout(), "timeout");
        QTEST(backend.logRotatePeriod(), "rotatePeriod");
        QTEST(backend.uiLocation(), "location");
        QTEST(backend.uiWidth(), "width");
        QVERIFY(backend.processPipelines().isEmpty());
    }

    void dataFolders_data()
    {
        QTest::addColumn<QByteArray>("dataHome");
        QTest::addColumn<QByteArray>("configDirs");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("machine");

        QTest::newRow("plain") << QByteArray("/u") << QByteArray("/m:/n") << "/u"
                               << "/m";
        QTest::newRow("trailing separators kept") << QByteArray("/u/") << QByteArray("/m/") << "/u/"
                                                  << "/m/";
    }

    void dataFolders()
    {
        QFETCH(QByteArray, dataHome);
        QFETCH(QByteArray, configDirs);
        QFETCH(QString, user);
        QFETCH(QString, machine);
        qputenv("XDG_DATA_HOME", dataHome);
        qputenv("XDG_CONFIG_DIRS", configDirs);

        const Backend backend;
        QCOMPARE(backend.userDataPath(), user + "/Orvalen/launcher");
        QCOMPARE(backend.systemDataPath(), machine + "/Orvalen/launcher");
        QCOMPARE(backend.userSettingsFile().filePath(), user + "/Orvalen/launcher/launcher.ini");
        QCOMPARE(backend.systemSettingsFile().filePath(),
                 machine + "/Orvalen/launcher/launcher.ini");
        QCOMPARE(backend.defaultLogPath(), user + "/Orvalen/launcher/logs");
    }

    // Entries are "user/<name>" or "machine/<name>"; a name ending in '/' is a
    // folder. Each file names itself in "ui/name".
    void applicationFiles_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("no apps folders") << QStringList() << QStringList();
        QTest::newRow("user file replaces the machine file")
            << QStringList{"machine/a.ini", "machine/b.ini", "user/a.ini"}
            << QStringList{"user/a.ini", "machine/b.ini"};
        QTest::newRow("names compare case-sensitively")
            << QStringList{"machine/app.ini", "user/App.ini"}
            << QStringList{"user/App.ini", "machine/app.ini"};
        QTest::newRow("plain string order")
            << QStringList{"user/b.ini", "machine/alpha.ini", "user/Zeta.ini", "machine/C.ini"}
            << QStringList{"machine/C.ini", "user/Zeta.ini", "machine/alpha.ini", "user/b.ini"};
        QTest::newRow("only .ini files")
            << QStringList{"user/notes.txt", "user/old.ini/", "user/.hidden.ini", "user/x.ini.bak",
                           "user/y.ini",     "machine/ini",   "machine/z.ini"}
            << QStringList{"user/y.ini", "machine/z.ini"};
    }

    void applicationFiles()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expected);
        for (const QString& entry : entries) {
            const QString folder = entry.startsWith("user/") ? m_userApps : m_machineApps;
            const QString path = folder + entry.mid(entry.indexOf('/'));
            if (entry.endsWith('/'))
                QVERIFY(QDir().mkpath(path));
            else
                QVERIFY(writeFile(path, "[ui]\nname=" + entry.toUtf8() + "\n"));
        }

        Backend backend;
        QStringList listed;
        for (const QFileInfo& file : backend.applicationFiles()) {
            const bool isUser = file.absolutePath() == m_userApps;
            listed.append((isUser ? "user/" : "machine/") + file.fileName());
        }
        QCOMPARE(listed, expected);

        // Loading follows the listing and appends on every call.
        QCOMPARE(backend.loadApplications(), expected.size());
        QCOMPARE(backend.loadApplications(), expected.size());
        QStringList loaded;
        for (const PipelineConfig& pipeline : backend.processPipelines())
            loaded.append(pipeline.name);
        QCOMPARE(loaded, expected + expected);
    }

    void findPipeline_data()
    {
        QTest::addColumn<QString>("basename");
        QTest::addColumn<bool>("found");

        QTest::newRow("exact") << "Player" << true;
        QTest::newRow("other letter case") << "player" << false;
        QTest::newRow("trailing blank") << "Player " << false;
        QTest::newRow("not loaded") << "Other" << false;
        QTest::newRow("empty") << QString() << false;
    }

    void findPipeline()
    {
        QFETCH(QString, basename);
        QFETCH(bool, found);
        QVERIFY(writeFile(m_userApps + "/Player.ini", "[ui]\nname=The Player\n"));
        const QString settingsPath = m_dir.filePath(QStringLiteral("autostart.ini"));
        {
            QSettings settings(settingsPath, QSettings::IniFormat);
            settings.setValue(QStringLiteral("autostart/tile"), basename);
        }

        Backend backend;
        QVERIFY(backend.loadConfig(QFileInfo(settingsPath)));
        QCOMPARE(backend.autostartTile(), basename);
        QCOMPARE(backend.autostartPipelineName(), QString());
        backend.loadApplications();
        backend.loadApplications(); // the same base name twice: the first record wins
        const QList<PipelineConfig>& pipelines = backend.processPipelines();
        QCOMPARE(pipelines.size(), 2);

        const PipelineConfig* match = backend.findPipeline(basename);
        QCOMPARE(match, found ? &pipelines[0] : nullptr);
        QCOMPARE(backend.autostartPipelineName(), found ? QStringLiteral("The Player") : QString());
    }

    // The relays are direct: a listener on the Backend has its call before
    // the controller's emission returns, once, with the same arguments.
    void relays()
    {
        qRegisterMetaType<PipelineController::PipelineFinishReason>();
        qRegisterMetaType<PipelineController::PipelineFailureReason>();
        Backend backend;
        PipelineController* controller = backend.pipelineController();
        QSignalSpy started(&backend, &Backend::pipelineStarted);
        QSignalSpy finished(&backend, &Backend::pipelineFinished);
        QSignalSpy failure(&backend, &Backend::pipelineFailure);

        emit controller->pipelineStarted(QStringLiteral("player"));
        QCOMPARE(started.count(), 1);
        QCOMPARE(started[0][0].toString(), QStringLiteral("player"));

        emit controller->pipelineFailure(QStringLiteral("a.b"),
                                         PipelineController::RequiredProcessInvalidConfigFailure);
        QCOMPARE(failure.count(), 1);
        QCOMPARE(failure[0][0].toString(), QStringLiteral("a.b"));
        QCOMPARE(failure[0][1].value<PipelineController::PipelineFailureReason>(),
                 PipelineController::RequiredProcessInvalidConfigFailure);

        emit controller->pipelineFinished(QStringLiteral("x"), PipelineController::FailureFinish);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished[0][0].toString(), QStringLiteral("x"));
        QCOMPARE(finished[0][1].value<PipelineController::PipelineFinishReason>(),
                 PipelineController::FailureFinish);

        QCOMPARE(started.count() + failure.count() + finished.count(), 3);
    }

private:
    QTemporaryDir m_dir;
    QString m_userData;
    QString m_machineData;
    QString m_userApps;
    QString m_machineApps;
};

QTEST_GUILESS_MAIN(TestBackendLoading)
#include "TestBackendLoading.moc"
