// Configuration files in the two data folders, and the compression of old logs.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDateTime>
#include <QMap>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <utility>

#include <sys/resource.h>
#include <zlib.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "unreadable";
}

// zlib's inflater checks the header, the CRC-32 and the length itself.
QByteArray gunzip(const QByteArray& member)
{
    QByteArray content(1 << 20, '\0');
    z_stream stream{};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.constData()));
    stream.avail_in = uInt(member.size());
    stream.next_out = reinterpret_cast<Bytef*>(content.data());
    stream.avail_out = uInt(content.size());
    const bool ok = inflateInit2(&stream, 16 + MAX_WBITS) == Z_OK &&
                    inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    content.truncate(int(stream.total_out));
    return ok ? content : "not one gzip member";
}

// Every key of a file set to a value that is not its default, as "group/key".
const QMap<QString, QString> settingsSet = {
    {"ui/allow-exit", "false"},  {"ui/show-version", "false"}, {"autostart/tile", "player"},
    {"autostart/timeout", "29"}, {"logs/rotate-period", "19"}, {"ui/show-invalid-tiles", "true"},
    {"ui/location", "0% 0%"},    {"ui/width", "640px"},
};
const QMap<QString, QString> pipelineSet = {
    {"ui/name", "Player"},
    {"ui/icon", "player.png"},
    {"logs/basename", "player-log"},
    {"logs/path", "/var/log/player"},
    {"process-0/exec", "/bin/true"},
    {"process-0/arguments", "-a,-b"},
    {"process-0/restart-on-crash", "true"},
    {"process-0/restart-limit", "5"},
    {"process-0/restart-period", "20"},
    {"process-0/restart-delay", "1"},
    {"process-0/restart-delay-max", "9"},
    {"process-0/restart-on-exit", "3"},
    {"process-0/required", "true"},
    {"process-0/library-paths", "/usr/bin"},
    {"process-0/add-log-timestamp", "true"},
    {"process-0/invalid-config-exit-codes", "7"},
    {"process-0/mode", "sync"},
    {"process-0/ready", "notify"},
    {"process-0/ready-timeout", "5"},
    {"process-0/working-directory", "/tmp"},
};

QByteArray iniText(const QMap<QString, QString>& values)
{
    QByteArray text;
    QString group;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString keyGroup = it.key().section('/', 0, 0);
        if (keyGroup != group)
            text += "[" + keyGroup.toUtf8() + "]\n";
        group = keyGroup;
        text += it.key().section('/', 1).toUtf8() + "=" + it.value().toUtf8() + "\n";
    }
    return text;
}

// "key=value" lines, which a failed comparison shows one by one.
QStringList lines(const QMap<QString, QString>& values)
{
    QStringList result;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        result.append(it.key() + '=' + it.value());
    return result;
}

QString boolText(bool value)
{
    return value ? "true" : "false";
}

// What a backend reports for each key of launcher.ini, as the file writes it.
QMap<QString, QString> settingsOf(const Backend& backend)
{
    return {{"ui/allow-exit", boolText(backend.allowUserExit())},
            {"ui/show-version", boolText(backend.showVersionInfo())},
            {"autostart/tile", backend.autostartTile()},
            {"autostart/timeout", QString::number(backend.autostartTimeout())},
            {"logs/rotate-period", QString::number(backend.logRotatePeriod())},
            {"ui/show-invalid-tiles", boolText(backend.showInvalidTiles())},
            {"ui/location", backend.uiLocation()},
            {"ui/width", backend.uiWidth()}};
}

QString codesText(const QSet<int>& codes)
{
    QList<int> sorted = codes.values();
    std::sort(sorted.begin(), sorted.end());
    QStringList texts;
    for (int code : sorted)
        texts.append(QString::number(code));
    return texts.join(',');
}

// What a pipeline of one process holds for each key, as the file writes it.
QMap<QString, QString> fieldsOf(const PipelineConfig& pipeline)
{
    if (pipeline.processList.size() != 1)
        return {{"processes", QString::number(pipeline.processList.size())}};
    const ProcessConfig& process = pipeline.processList.first();
    return {{"ui/name", pipeline.name},
            {"ui/icon", pipeline.icon},
            {"logs/basename", pipeline.logBasename},
            {"logs/path", pipeline.logPath},
            {"process-0/exec", process.exec},
            {"process-0/arguments", process.arguments.join(',')},
            {"process-0/restart-on-crash", boolText(process.restartOnCrash)},
            {"process-0/restart-limit", QString::number(process.restartLimit)},
            {"process-0/restart-period", QString::number(process.restartPeriod)},
            {"process-0/restart-delay", QString::number(process.restartDelay)},
            {"process-0/restart-delay-max", QString::number(process.restartDelayMax)},
            {"process-0/restart-on-exit", codesText(process.restartOnExit)},
            {"process-0/required", boolText(process.isRequired)},
            {"process-0/library-paths", process.libraryPaths.join(',')},
            {"process-0/add-log-timestamp", boolText(process.timestampLogEntries)},
            {"process-0/invalid-config-exit-codes", codesText(process.invalidConfigExitCodes)},
            {"process-0/mode", processModeName(process.mode)},
            {"process-0/ready", process.ready},
            {"process-0/ready-timeout", QString::number(process.readyTimeout)},
            {"process-0/working-directory", process.workingDirectory}};
}

} // namespace

class TestConfigLogs : public QObject
{
    Q_OBJECT

private slots:
    // The per-user settings file hides the machine-wide one completely, a user
    // pipeline file replaces the machine file of the same name, process groups
    // start in plain string order, and logs age by the rotate period loaded.
    void dataFolders()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[logs]\nrotate-period=60\n"));
        QVERIFY(writeFile(folders.machine() + "/launcher.ini", "[autostart]\ntile=b\n"));
        QVERIFY(writeFile(folders.machine() + "/apps/a.ini", "[ui]\nname=machine a\n"));
        QVERIFY(writeFile(folders.machine() + "/apps/b.ini", "[ui]\nname=machine b\n"));
        QVERIFY(writeFile(folders.user() + "/apps/a.ini",
                          "[process-2]\nexec=2\n[process-10]\nexec=10\n"));
        // Old by the period loaded, though not by the default one.
        const QString log = folders.user() + "/logs/a.log";
        QFile logFile(log);
        QVERIFY(writeFile(log, "line\n") && logFile.open(QIODevice::Append) &&
                logFile.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                    QFileDevice::FileModificationTime));
        logFile.close();
        QTest::ignoreMessage(
            QtInfoMsg, qPrintable("Loading settings from '" + folders.user() + "/launcher.ini'"));
        QTest::ignoreMessage(QtInfoMsg, "Loaded 2 applications");
        QTest::ignoreMessage(QtInfoMsg, qPrintable("Compressed old log file '" + log + "'"));
        Backend backend;
        QVERIFY(backend.initialize());
        QCOMPARE(backend.logRotatePeriod(), 60);
        QVERIFY(QFile::exists(log + ".gz") && !QFile::exists(log));
        QCOMPARE(backend.isAutoStartEnabled(), false);
        const QList<PipelineConfig>& pipelines = backend.processPipelines();
        QCOMPARE(pipelines.size(), 2);
        QCOMPARE(pipelines[0].name, QString());
        QCOMPARE(pipelines[0].processList.size(), 2);
        QCOMPARE(pipelines[0].processList[0].exec, "10");
        QCOMPARE(pipelines[0].processList[1].exec, "2");
        QCOMPARE(pipelines[1].name, "machine b");
    }

    void missingKeyTakesDefault_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // $USER_DATA: the per-user data folder
        const std::pair<const char*, const char*> settings[] = {
            {"ui/allow-exit", "true"},       {"ui/show-version", "true"},
            {"autostart/tile", ""},          {"autostart/timeout", "60"},
            {"logs/rotate-period", "86400"}, {"ui/show-invalid-tiles", "false"},
            {"ui/location", "50% 50%"},      {"ui/width", "1000px"},
        };
        for (const auto& [key, expected] : settings)
            QTest::addRow("launcher.ini %s", key) << "launcher.ini" << key << expected;
        // The keys whose default is neither empty, false nor 0, which a reader
        // without a default would read as well, and a name that must not fall back.
        const std::pair<const char*, const char*> pipeline[] = {
            {"ui/name", ""},
            {"logs/basename", "player"},
            {"logs/path", "$USER_DATA/logs"},
            {"process-0/restart-limit", "3"},
            {"process-0/restart-period", "10"},
            {"process-0/restart-delay-max", "60"},
            {"process-0/invalid-config-exit-codes", "100"},
            {"process-0/mode", "daemon"},
            {"process-0/ready-timeout", "30"},
        };
        for (const auto& [key, expected] : pipeline)
            QTest::addRow("pipeline %s", key) << "apps/player.ini" << key << expected;
    }

    // A key missing among present ones reads as its default, also after a file
    // that set it, while the others read as set. A backend that never loads
    // reports the defaults, too.
    void missingKeyTakesDefault()
    {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const DataFolders folders;
        const QString path = folders.user() + '/' + file;
        const bool isSettings = file == "launcher.ini";
        QMap<QString, QString> values = isSettings ? settingsSet : pipelineSet;
        Backend backend;
        if (isSettings) {
            QVERIFY(writeFile(path, iniText(values)) && backend.loadConfig(QFileInfo(path)));
            QCOMPARE(lines(settingsOf(backend)), lines(values));
        }

        values.remove(key);
        QVERIFY(writeFile(path, iniText(values)));
        values.insert(key, expected.replace("$USER_DATA", folders.user()));
        if (isSettings) {
            QVERIFY(backend.loadConfig(QFileInfo(path)));
            QCOMPARE(lines(settingsOf(backend)), lines(values));
            QCOMPARE(settingsOf(Backend()).value(key), expected);
        } else {
            QCOMPARE(lines(fieldsOf(backend.loadPipelineConfig(QFileInfo(path)))), lines(values));
        }
    }

    // A short write leaves no .gz and keeps the log; a log whose .gz exists is
    // left alone; what is written is one gzip member of the log.
    void compressOldLogs()
    {
        const DataFolders folders;
        Backend backend;
        const QString logs = backend.defaultLogPath();
        const QByteArray content = QByteArray("a line of the log\n").repeated(100);
        for (const char* name : {"old.log", "kept.log", "kept.log.gz"}) {
            QFile file(logs + '/' + name);
            QVERIFY(writeFile(file.fileName(), content) && file.open(QIODevice::Append));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                     QFileDevice::FileModificationTime));
        }
        // Beyond the file size limit a write comes back short instead of a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        const rlimit limit{16, previous.rlim_max};
        QTest::ignoreMessage(QtCriticalMsg,
                             qPrintable("Failed to write '" + logs + "/old.log.gz' on disk"));
        QTest::ignoreMessage(QtCriticalMsg,
                             qPrintable("Failed to compress old log file '" + logs + "/old.log'"));
        setrlimit(RLIMIT_FSIZE, &limit);
        backend.rotateLogs();
        setrlimit(RLIMIT_FSIZE, &previous);
        QCOMPARE(QDir(logs).entryList(QDir::Files),
                 QStringList({"kept.log", "kept.log.gz", "old.log"}));

        QTest::ignoreMessage(QtInfoMsg,
                             qPrintable("Compressed old log file '" + logs + "/old.log'"));
        backend.rotateLogs();
        QCOMPARE(QDir(logs).entryList(QDir::Files),
                 QStringList({"kept.log", "kept.log.gz", "old.log.gz"}));
        QCOMPARE(readFile(logs + "/kept.log.gz"), content);
        QCOMPARE(gunzip(readFile(logs + "/old.log.gz")), content);
    }
};

LAUNCHER_TEST(TestConfigLogs)
#include "TestConfigLogs.moc"
