#include "TestBackendConfig.h"

#include "Backend.h"
#include "TestFixtures.h"

#include <QSettings>
#include <QTest>

namespace {

// The processes of a pipeline, one a line: a label ("label=NAME"), or the
// program and its arguments, separated by '|'; and the name of each.
const struct
{
    const char* name;
    const char* processes;
    const char* shown;
} ShownNames[] = {
    {"alone: its first argument that is no option",
     "/bin/sh|-c|echo checking the temperature sensor; exit 3",
     "sh: echo checking the temperature senso…"},
    {"one interpreter twice: where the scripts part",
     "/bin/sh|-c|echo checking the temperature sensor; exit 3\n"
     "/bin/sh|-c|echo checking the temperature of the hall; sleep 300",
     "sh: …sensor; exit 3\nsh: …of the hall; sleep 300"},
    {"an option's value, with the option",
     "/usr/bin/python3|serve.py|--port|8080\n/usr/bin/python3|serve.py|--port|8081",
     "python3: --port 8080\npython3: --port 8081"},
    {"a label, or another program, needs no more",
     "label=player\n/usr/bin/mpv|--fs|/srv/kiosk/videos/welcome to the museum.mp4\n"
     "/bin/sh|-c|echo one\n/usr/bin/mpv|--fs|/srv/kiosk/videos/opening hours.mp4",
     "player\nmpv: /srv/kiosk/videos/welcome to the m…\nsh: echo one\n"
     "mpv: /srv/kiosk/videos/opening hours.mp4"},
    {"the same command twice, and no argument", "/bin/sleep|300\n/bin/sleep|300\n/usr/bin/true",
     "sleep: 300\nsleep: 300\ntrue"},
};

} // namespace

TestBackendConfig::TestBackendConfig(QObject* parent) : QObject(parent) {}

// The temporary file goes first, then the backend (reverse member order).
TestBackendConfig::~TestBackendConfig() = default;

void TestBackendConfig::init()
{
    m_backend = std::make_unique<Backend>();
    m_tempFile = std::make_unique<QTemporaryFile>();
    m_tempFile->open();
}

void TestBackendConfig::cleanup()
{
    m_backend.reset();
    m_tempFile.reset();
}

void TestBackendConfig::testLauncherConfigLoad()
{
    QSettings settings(m_tempFile->fileName(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("ui/allow-exit"), false);
    settings.setValue(QStringLiteral("ui/show-version"), false);
    settings.setValue(QStringLiteral("ui/show-invalid-tiles"), true);
    settings.setValue(QStringLiteral("autostart/tile"), QStringLiteral("foobar"));
    settings.setValue(QStringLiteral("autostart/timeout"), 29);
    settings.setValue(QStringLiteral("logs/rotate-period"), 19);
    settings.sync();

    QVERIFY(m_backend->loadConfig(m_tempFile->fileName()));
    QCOMPARE(m_backend->allowUserExit(), false);
    QCOMPARE(m_backend->showVersionInfo(), false);
    QCOMPARE(m_backend->showInvalidTiles(), true);
    QCOMPARE(m_backend->isAutoStartEnabled(), true);
    QCOMPARE(m_backend->autostartTimeout(), 29);
    QCOMPARE(m_backend->processPipelines().size(), 0);
    QCOMPARE(m_backend->logRotatePeriod(), qint64(19));
}

void TestBackendConfig::testPipelineConfigLoad()
{
    QSettings settings(m_tempFile->fileName(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("ui/name"), QStringLiteral("ZQ Brisel"));
    settings.setValue(QStringLiteral("pipeline/restart-at"), QStringLiteral("04:05"));
    settings.beginGroup(QStringLiteral("process-0"));
    settings.setValue(QStringLiteral("exec"), QStringLiteral("pulseaudio"));
    settings.setValue(QStringLiteral("arguments"), QStringLiteral("--start"));
    settings.setValue(QStringLiteral("mode"), QStringLiteral("sync"));
    settings.setValue(QStringLiteral("add-log-timestamp"), true);
    settings.endGroup();
    settings.beginGroup(QStringLiteral("process-1"));
    settings.setValue(QStringLiteral("exec"),
                      QStringLiteral("/opt/zq-brisel-1.6.2/bin/zq-brisel-app"));
    settings.setValue(QStringLiteral("working-directory"), QStringLiteral("/foo/bar"));
    settings.setValue(QStringLiteral("library-paths"),
                      QStringList{QStringLiteral("/opt/zq-brisel-1.6.2/lib")});
    settings.setValue(QStringLiteral("restart-on-crash"), true);
    settings.beginGroup(QStringLiteral("environment"));
    settings.setValue(QStringLiteral("BRISEL_ROOT"), QStringLiteral("/opt/zq-brisel-1.6.2"));
    settings.endGroup();
    settings.endGroup();
    settings.beginGroup(QStringLiteral("process-2"));
    settings.setValue(QStringLiteral("exec"), QStringLiteral("zq-vitrel"));
    settings.setValue(QStringLiteral("mode"), QStringLiteral("async"));
    settings.setValue(QStringLiteral("required"), true);
    settings.setValue(QStringLiteral("restart-limit"), 9);
    settings.setValue(QStringLiteral("restart-period"), 12);
    settings.setValue(QStringLiteral("invalid-config-exit-codes"),
                      QStringList{QStringLiteral("100"), QStringLiteral("101")});
    settings.endGroup();
    settings.sync();

    const PipelineConfig pipelineConfig = m_backend->loadPipelineConfig(settings.fileName());

    QCOMPARE(pipelineConfig.name, QStringLiteral("ZQ Brisel"));
    QCOMPARE(pipelineConfig.restartAt, QTime(4, 5));
    QVERIFY(pipelineConfig.processList.size() == 3);

    ProcessConfig processConfig = pipelineConfig.processList[0];
    QCOMPARE(processConfig.exec, QStringLiteral("pulseaudio"));
    QCOMPARE(processConfig.arguments, QStringList{QStringLiteral("--start")});
    QCOMPARE(processConfig.workingDirectory, QString());
    QCOMPARE(processConfig.mode, ProcessMode::Sync);
    QCOMPARE(processConfig.libraryPaths.size(), 0);
    QCOMPARE(processConfig.restartOnCrash, false);
    QCOMPARE(processConfig.environment.isEmpty(), true);
    QCOMPARE(processConfig.timestampLogEntries, true);

    processConfig = pipelineConfig.processList[1];
    QCOMPARE(processConfig.exec, QStringLiteral("/opt/zq-brisel-1.6.2/bin/zq-brisel-app"));
    QCOMPARE(processConfig.workingDirectory, QStringLiteral("/foo/bar"));
    QCOMPARE(processConfig.mode, ProcessMode::Daemon);
    QVERIFY(processConfig.libraryPaths.size() == 1);
    QCOMPARE(processConfig.libraryPaths[0], QStringLiteral("/opt/zq-brisel-1.6.2/lib"));
    QCOMPARE(processConfig.restartOnCrash, true);
    QVERIFY(processConfig.environment.size() == 1);
    QCOMPARE(processConfig.environment.value(QStringLiteral("BRISEL_ROOT"), QString()),
             QStringLiteral("/opt/zq-brisel-1.6.2"));
    QCOMPARE(processConfig.invalidConfigExitCodes, QSet<int>{100});
    QCOMPARE(processConfig.timestampLogEntries, false);

    processConfig = pipelineConfig.processList[2];
    QCOMPARE(processConfig.exec, QStringLiteral("zq-vitrel"));
    QCOMPARE(processConfig.workingDirectory, QString());
    QCOMPARE(processConfig.mode, ProcessMode::Async);
    QCOMPARE(processConfig.restartLimit, 9);
    QCOMPARE(processConfig.restartPeriod, 12);
    QCOMPARE(processConfig.isRequired, true);
    QCOMPARE(processConfig.invalidConfigExitCodes, (QSet<int>{100, 101}));
}

void TestBackendConfig::shownNames_data()
{
    addRows(ShownNames);
}

// Rows without a label read apart from each other, in the screen and status.
void TestBackendConfig::shownNames()
{
    const auto& row = currentRow(ShownNames);
    QList<ProcessConfig> processes;
    for (const QString& line : QString(row.processes).split('\n')) {
        ProcessConfig process;
        if (line.startsWith("label="))
            process.label = line.mid(6);
        else
            process.arguments = line.split('|');
        process.exec = process.arguments.value(0);
        if (!process.arguments.isEmpty())
            process.arguments.removeFirst();
        processes.append(process);
    }
    QStringList names;
    for (int i = 0; i < processes.size(); ++i)
        names.append(processShownName(processes, i));
    QCOMPARE(names.join('\n'), QString(row.shown));
}
