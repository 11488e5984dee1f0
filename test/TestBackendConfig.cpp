#include "TestBackendConfig.h"

#include "Backend.h"
#include "TestFixtures.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

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

// Every field read, the defaults of the keys not set included; lists as the
// settings writer writes them ("100, 101").
void TestBackendConfig::pipelineConfigLoad()
{
    const QTemporaryDir dir;
    QSettings settings(dir.filePath("app.ini"), QSettings::IniFormat);
    const std::pair<const char*, QVariant> values[] = {
        {"ui/name", "ZQ Brisel"},
        {"pipeline/restart-at", "04:05"},
        {"process-0/exec", "pulseaudio"},
        {"process-0/arguments", "--start"},
        {"process-0/mode", "sync"},
        {"process-0/add-log-timestamp", true},
        {"process-1/exec", "/opt/zq-brisel-1.6.2/bin/zq-brisel-app"},
        {"process-1/working-directory", "/foo/bar"},
        {"process-1/library-paths", QStringList{"/opt/zq-brisel-1.6.2/lib"}},
        {"process-1/restart-on-crash", true},
        {"process-1/environment/BRISEL_ROOT", "/opt/zq-brisel-1.6.2"},
        {"process-2/exec", "zq-vitrel"},
        {"process-2/mode", "async"},
        {"process-2/required", true},
        {"process-2/restart-limit", 9},
        {"process-2/restart-period", 12},
        {"process-2/invalid-config-exit-codes", QStringList{"100", "101"}},
    };
    for (const auto& [key, value] : values)
        settings.setValue(key, value);
    settings.sync();

    const PipelineConfig pipeline = Backend().loadPipelineConfig(settings.fileName());
    QCOMPARE(pipeline.name, "ZQ Brisel");
    QCOMPARE(pipeline.restartAt, QTime(4, 5));
    QVector<ProcessConfig> expected(3);
    for (int i = 0; i < 3; ++i) {
        expected[i].group = QString("process-%1").arg(i);
        expected[i].invalidConfigExitCodes = {100};
    }
    expected[0].exec = "pulseaudio";
    expected[0].arguments = QStringList{"--start"};
    expected[0].mode = ProcessMode::Sync;
    expected[0].timestampLogEntries = true;
    expected[1].exec = "/opt/zq-brisel-1.6.2/bin/zq-brisel-app";
    expected[1].workingDirectory = "/foo/bar";
    expected[1].libraryPaths = QStringList{"/opt/zq-brisel-1.6.2/lib"};
    expected[1].restartOnCrash = true;
    expected[1].environment.insert("BRISEL_ROOT", "/opt/zq-brisel-1.6.2");
    expected[2].exec = "zq-vitrel";
    expected[2].mode = ProcessMode::Async;
    expected[2].isRequired = true;
    expected[2].restartLimit = 9;
    expected[2].restartPeriod = 12;
    expected[2].invalidConfigExitCodes = {100, 101};
    for (int i = 0; i < 3; ++i)
        QVERIFY2(pipeline.processList.value(i) == expected[i], qPrintable(expected[i].group));
    QCOMPARE(pipeline.processList.size(), 3);
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
