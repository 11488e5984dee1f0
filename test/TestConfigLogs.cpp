// Configuration files in the two data folders: which file counts, defaults,
// reloads.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Files that set each key below to something else than its default.
const char* const SettingsSet = "[autostart]\ntile=player\ntimeout=29\n[logs]\nrotate-period=19\n"
                                "keep-days=7\nmax-total-size=1G\n"
                                "[ui]\nallow-exit=false\nshow-version=false\n"
                                "show-invalid-tiles=true\nlocation=0% 0%\nwidth=640px\n";
const char* const PipelineSet = "[logs]\nbasename=log\npath=/var/log/player\n[process-0]\n"
                                "exec=/bin/true\nmode=sync\nrestart-limit=5\nrestart-period=20\n"
                                "invalid-config-exit-codes=7\nready-timeout=5\n";

// The keys that the files set, as the backend, or the pipeline of one
// process, reports them.
QStringList valuesOf(const Backend& backend, const PipelineConfig& pipeline)
{
    const ProcessConfig process = pipeline.processList.value(0);
    return {QString::number(backend.autostartTimeout()),
            QString::number(backend.logRotatePeriod()),
            QString::number(backend.logKeepDays()),
            QString::number(backend.logMaxTotalSize()),
            backend.allowUserExit() ? "true" : "false",
            backend.uiWidth(),
            pipeline.logPath,
            processModeName(process.mode),
            QString::number(process.restartLimit),
            QString::number(process.invalidConfigExitCodes.values().value(0))};
}

// Their defaults, the settings' six first; $USER_DATA stands for the per-user data folder.
const char* const Defaults = "60 86400 90 268435456 true 1000px $USER_DATA/logs daemon 3 100";

// Before a reload, a.ini (A) or b.ini (B) is changed or removed, or c.ini
// added (FIFO: as a FIFO, which does not read). A file changed keeps its size
// and time, as cp -p, rsync -a and tar leave it.
const struct
{
    const char* name;
    const char* file;
    const char* content; // empty: removed
    const char* names;   // the applications' names after the reload
    int changes;         // applicationsChanged() signals
} Reloads[] = {
    {"unchanged", "a", "[ui]\nname=A\n", "A B", 0}, {"edited", "a", "[ui]\nname=Z\n", "Z B", 1},
    {"added", "c", "[ui]\nname=C\n", "A B C", 1},   {"removed", "b", "", "A", 1},
    {"FIFO added", "c", "FIFO", "A B ", 1}, // listed, with why it does not read
};

} // namespace

class TestConfigLogs : public QObject
{
    Q_OBJECT

private slots:
    // The per-user settings file hides the machine-wide one completely, a user
    // pipeline file replaces the machine file of the same name, and process
    // groups start in plain string order. Logs age by the rotate period
    // loaded: TestRotationSafety::rotatesAtStartAndEachDay.
    void dataFolders()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[logs]\nrotate-period=60\n"));
        QVERIFY(writeFile(folders.machine() + "/launcher.ini", "[autostart]\ntile=b\n"));
        QVERIFY(writeFile(folders.machine() + "/apps/a.ini", "[ui]\nname=machine a\n"));
        QVERIFY(writeFile(folders.machine() + "/apps/b.ini", "[ui]\nname=machine b\n"));
        QVERIFY(writeFile(folders.user() + "/apps/a.ini",
                          "[process-2]\nexec=2\n[process-10]\nexec=10\n"));
        QTest::ignoreMessage(
            QtInfoMsg, qPrintable("Loading settings from '" + folders.user() + "/launcher.ini'"));
        Backend backend;
        QVERIFY(backend.initialize());
        QCOMPARE(backend.logRotatePeriod(), 60);
        QCOMPARE(backend.isAutoStartEnabled(), false);
        const QList<PipelineConfig>& pipelines = backend.processPipelines();
        QCOMPARE(pipelines.size(), 2);
        QCOMPARE(pipelines[0].name, QString());
        QCOMPARE(pipelines[0].processList.size(), 2);
        QCOMPARE(pipelines[0].processList[0].exec, "10");
        QCOMPARE(pipelines[0].processList[1].exec, "2");
        QCOMPARE(pipelines[1].name, "machine b");
    }

    // A key missing among present ones reads as its default, also after a
    // file that set it; a backend that never loads reports the same.
    void missingKeyTakesDefault()
    {
        const DataFolders folders;
        const QString settings = folders.user() + "/launcher.ini";
        const QString pipeline = folders.user() + "/apps/player.ini";
        const QStringList defaults =
            QString(Defaults).replace("$USER_DATA", folders.user()).split(' ');
        Backend backend;
        const auto values = [&] {
            return backend.loadConfig(QFileInfo(settings))
                       ? valuesOf(backend, backend.loadPipelineConfig(QFileInfo(pipeline)))
                       : QStringList();
        };
        QVERIFY(writeFile(settings, SettingsSet) && writeFile(pipeline, PipelineSet));
        const QStringList set = values();
        for (int i = 0; i < defaults.size(); ++i)
            QVERIFY2(set.value(i) != defaults.at(i), qPrintable(set.join(' ')));
        QVERIFY(
            writeFile(settings, "[autostart]\ntile=player\n[logs]\n[ui]\nshow-version=false\n") &&
            writeFile(pipeline, "[logs]\nbasename=log\n[process-0]\nexec=/bin/true\n"));
        QCOMPARE(values(), defaults);
        QCOMPARE(valuesOf(Backend(), {}).mid(0, 6), defaults.mid(0, 6));
    }

    void reloadReadsAnew_data() { addRows(Reloads); }

    // In place of what was loaded, and a signal only when something differs,
    // whatever the size and time say.
    void reloadReadsAnew()
    {
        const auto& row = currentRow(Reloads);
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/a.ini", "[ui]\nname=A\n") &&
                writeFile(folders.user() + "/apps/b.ini", "[ui]\nname=B\n"));
        Backend backend;
        backend.load();
        QSignalSpy changed(&backend, &Backend::applicationsChanged);
        const QString path = folders.user() + "/apps/" + row.file + ".ini";
        struct stat before = {};
        const bool kept = *row.content && ::stat(QFile::encodeName(path), &before) == 0;
        const timespec times[2] = {before.st_atim, before.st_mtim};
        const bool fifo = row.content == QLatin1String("FIFO");
        QVERIFY(fifo           ? ::mkfifo(QFile::encodeName(path), 0600) == 0
                : *row.content ? writeFile(path, row.content)
                               : QFile::remove(path));
        QVERIFY(fifo || !kept || ::utimensat(AT_FDCWD, QFile::encodeName(path), times, 0) == 0);
        QCOMPARE(backend.reload().size(), fifo ? 1 : 0);
        QStringList loaded;
        for (const PipelineConfig& pipeline : backend.processPipelines())
            loaded.append(pipeline.name);
        QCOMPARE(loaded.join(' '), QString(row.names));
        QCOMPARE(changed.count(), row.changes);
    }
};

LAUNCHER_TEST(TestConfigLogs)
#include "TestConfigLogs.moc"
