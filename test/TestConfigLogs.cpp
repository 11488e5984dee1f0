// Configuration files in the two data folders, and the compression of old logs.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDateTime>
#include <QMap>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

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

// Files that set every key a row leaves out to something else than its default.
const char* const SettingsSet = "[autostart]\ntile=player\ntimeout=29\n[logs]\nrotate-period=19\n"
                                "keep-days=7\nmax-total-size=1G\n"
                                "[ui]\nallow-exit=false\nshow-version=false\n"
                                "show-invalid-tiles=true\nlocation=0% 0%\nwidth=640px\n";
const char* const PipelineSet = "[logs]\nbasename=log\npath=/var/log/player\n[process-0]\n"
                                "exec=/bin/true\nmode=sync\nrestart-limit=5\nrestart-period=20\n"
                                "invalid-config-exit-codes=7\nready-timeout=5\n";

// A key as the backend, or the pipeline of one process, reports it.
QString valueOf(const Backend& backend, const PipelineConfig& pipeline, const QString& key)
{
    const ProcessConfig process = pipeline.processList.value(0);
    const QMap<QString, QString> values{
        {"autostart/timeout", QString::number(backend.autostartTimeout())},
        {"logs/rotate-period", QString::number(backend.logRotatePeriod())},
        {"logs/keep-days", QString::number(backend.logKeepDays())},
        {"logs/max-total-size", QString::number(backend.logMaxTotalSize())},
        {"ui/allow-exit", backend.allowUserExit() ? "true" : "false"},
        {"ui/width", backend.uiWidth()},
        {"logs/path", pipeline.logPath},
        {"process-0/mode", processModeName(process.mode)},
        {"process-0/restart-limit", QString::number(process.restartLimit)},
        {"process-0/invalid-config-exit-codes",
         QString::number(process.invalidConfigExitCodes.values().value(0))}};
    return values.value(key);
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
        // Rotated by the time the start-up returns.
        QVERIFY(QFile::exists(log + ".gz") && !QFile::exists(log));
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

    void missingKeyTakesDefault_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // $USER_DATA: the per-user data folder
        QTest::newRow("autostart/timeout") << "autostart/timeout"
                                           << "60";
        QTest::newRow("logs/rotate-period") << "logs/rotate-period"
                                            << "86400";
        QTest::newRow("logs/keep-days") << "logs/keep-days"
                                        << "90";
        QTest::newRow("logs/max-total-size") << "logs/max-total-size"
                                             << "268435456";
        QTest::newRow("ui/allow-exit") << "ui/allow-exit"
                                       << "true";
        QTest::newRow("ui/width") << "ui/width"
                                  << "1000px";
        QTest::newRow("logs/path") << "logs/path"
                                   << "$USER_DATA/logs";
        QTest::newRow("mode") << "process-0/mode"
                              << "daemon";
        QTest::newRow("restart-limit") << "process-0/restart-limit"
                                       << "3";
        QTest::newRow("invalid-config-exit-codes") << "process-0/invalid-config-exit-codes"
                                                   << "100";
    }

    // A key missing among present ones reads as its default, also after a
    // file that set it; a backend that never loads reports the same.
    void missingKeyTakesDefault()
    {
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const DataFolders folders;
        expected.replace("$USER_DATA", folders.user());
        const bool isSettings = !key.startsWith("process-0/") && key != "logs/path";
        const QString path = folders.user() + (isSettings ? "/launcher.ini" : "/apps/player.ini");
        QString text = isSettings ? SettingsSet : PipelineSet;
        Backend backend;
        const auto value = [&]() {
            if (isSettings)
                return backend.loadConfig(QFileInfo(path)) ? valueOf(backend, {}, key) : "unread";
            return valueOf(backend, backend.loadPipelineConfig(QFileInfo(path)), key);
        };
        QVERIFY(writeFile(path, text.toUtf8()));
        QVERIFY(value() != expected);
        text.remove(QRegularExpression("(?m)^" + key.section('/', 1) + "=.*\n"));
        QVERIFY(writeFile(path, text.toUtf8()));
        QCOMPARE(value(), expected);
        if (isSettings)
            QCOMPARE(valueOf(Backend(), {}, key), expected);
    }

    void reloadReadsAnew_data()
    {
        QTest::addColumn<QString>("file"); // of a.ini (A) and b.ini (B), changed before reloading
        QTest::addColumn<QByteArray>("content"); // empty: removed
        QTest::addColumn<QStringList>("names");  // the applications' names after the reload
        QTest::addColumn<int>("changes");        // applicationsChanged() signals

        QTest::newRow("unchanged")
            << "a" << QByteArray("[ui]\nname=A\n") << QStringList{"A", "B"} << 0;
        QTest::newRow("edited") << "a" << QByteArray("[ui]\nname=A2\n") << QStringList{"A2", "B"}
                                << 1;
        QTest::newRow("added") << "c" << QByteArray("[ui]\nname=C\n") << QStringList{"A", "B", "C"}
                               << 1;
        QTest::newRow("removed") << "b" << QByteArray() << QStringList{"A"} << 1;
    }

    // In place of what was loaded, and a signal only when something differs.
    void reloadReadsAnew()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, names);
        QFETCH(int, changes);
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/a.ini", "[ui]\nname=A\n") &&
                writeFile(folders.user() + "/apps/b.ini", "[ui]\nname=B\n"));
        Backend backend;
        backend.load();
        QSignalSpy changed(&backend, &Backend::applicationsChanged);
        const QString path = folders.user() + "/apps/" + file + ".ini";
        QVERIFY(content.isEmpty() ? QFile::remove(path) : writeFile(path, content));
        QVERIFY(backend.reload().isEmpty());
        QStringList loaded;
        for (const PipelineConfig& pipeline : backend.processPipelines())
            loaded.append(pipeline.name);
        QCOMPARE(loaded, names);
        QCOMPARE(changed.count(), changes);
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
