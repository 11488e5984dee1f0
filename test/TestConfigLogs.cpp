// Configuration files in the two data folders, and the compression of old logs.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDateTime>
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

} // namespace

class TestConfigLogs : public QObject
{
    Q_OBJECT

private slots:
    // The per-user settings file hides the machine-wide one completely, a user
    // pipeline file replaces the machine file of the same name, and process
    // groups start in plain string order.
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
        QTest::ignoreMessage(QtInfoMsg, "Loaded 2 applications");
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
