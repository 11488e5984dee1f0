#include "Backend.h"
#include "ShiftedClock.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/GzipCompress.h"
#include "logs/LogRotation.h"
#include "support/DayTimer.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

class TestRotationSafety : public QObject
{
    Q_OBJECT

    // The piece in which the rotation reads a log.
    static constexpr int chunk = 256 * 1024;

    // The header, the deflate data of qCompress's zlib stream, zlib's CRC-32 and the length.
    static QByteArray expectedMember(const QByteArray& content)
    {
        const auto* bytes = reinterpret_cast<const Bytef*>(content.constData());
        const quint32 trailer[2] = {qToLittleEndian(quint32(crc32(0, bytes, uInt(content.size())))),
                                    qToLittleEndian(quint32(content.size()))};
        return QByteArray::fromHex("1f8b080000000000000b") +
               (content.isEmpty() ? QByteArray::fromHex("0300")
                                  : qCompress(content).mid(6).chopped(4)) +
               QByteArray(reinterpret_cast<const char*>(trailer), sizeof trailer);
    }

    // A file of `size` bytes last modified `age` seconds before `now`.
    static bool writeAged(const QString& path, int size, const QDateTime& now, qint64 age)
    {
        QFile file(path);
        return writeFile(path, QByteArray(size, 'x')) && file.open(QIODevice::Append) &&
               file.setFileTime(now.addSecs(-age), QFileDevice::FileModificationTime);
    }

    // Every entry of any kind, links, FIFOs and hidden files included, by name.
    static QStringList entriesIn(const QString& folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                      QDir::NoDotAndDotDot);
    }

private slots:
    void streamedAsWhole_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        // Random bytes in the middle fill deflate's output buffer several times
        // over; the last piece is a short one.
        const QByteArray text = QByteArray("[ 4242 ] frame decoded\n").repeated(chunk / 11);
        QByteArray noise(chunk / 2, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), chunk / 8);
        QTest::newRow("empty") << QByteArray() << 0644;
        QTest::newRow("text and noise, some chunks") << text + noise + text.left(chunk / 3) << 0400;
    }

    // The rotation reads a log in pieces, yet writes the member of the whole
    // content, and the .gz takes the log's permission bits (as root, its owner).
    void streamedAsWhole()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QCOMPARE(gzipCompress(content), expectedMember(content));

        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/a.log";
        const QByteArray path = QFile::encodeName(log);
        const bool root = geteuid() == 0;
        const timespec old[2] = {{time(nullptr) - 90000, 0}, {time(nullptr) - 90000, 0}};
        QVERIFY(writeFile(log, content) && chmod(path.constData(), mode_t(mode)) == 0 &&
                (!root || chown(path.constData(), 65534, 65534) == 0) &&
                utimensat(AT_FDCWD, path.constData(), old, 0) == 0);
        QTest::ignoreMessage(QtInfoMsg, qPrintable("Compressed old log file '" + log + "'"));
        backend.rotateLogs();
        QCOMPARE(entriesIn(backend.defaultLogPath()), QStringList{"a.log.gz"});
        QCOMPARE(fileContent(log + ".gz"), expectedMember(content));
        struct stat status = {};
        QCOMPARE(lstat(QFile::encodeName(log + ".gz").constData(), &status), 0);
        QCOMPARE(int(status.st_mode & 07777), mode);
        QCOMPARE(int(status.st_uid), root ? 65534 : int(geteuid()));
    }

    void skipped_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("link to a private file") << "link";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("device") << "device";
    }

    // Reading through a link could publish another's file (a root launcher made
    // a world-readable copy of a private file); a FIFO could block, a device
    // (/dev/full) never end. Each is named and left alone, by the rotation and
    // by a direct compression alike. Named before its age counts, it needs none.
    void skipped()
    {
        QFETCH(QString, entry);
        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/x.log";
        const QString secret = folders.root() + "/secret";
        QVERIFY(QDir().mkpath(backend.defaultLogPath()) && writeFile(secret, "root"));
        const QByteArray path = QFile::encodeName(log);
        if (entry == "fifo")
            QCOMPARE(mkfifo(path.constData(), 0644), 0);
        else if (entry == "device" && mknod(path.constData(), S_IFCHR | 0644, makedev(1, 7)) != 0)
            QSKIP("no right to make a device node here");
        else if (entry == "link")
            QVERIFY(QFile::link(secret, log));

        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable("Skipped log file '" + log + "': not a regular file"));
        QTest::ignoreMessage(QtCriticalMsg, qPrintable("Unable to compress file: can't open '" +
                                                       log + "' for reading"));
        backend.rotateLogs();
        QVERIFY(!backend.compressFile(QFileInfo(log)));
        QCOMPARE(entriesIn(backend.defaultLogPath()), QStringList{"x.log"});
    }

    void ageRule_data()
    {
        QTest::addColumn<qint64>("period");
        QTest::addColumn<qint64>("age");
        QTest::addColumn<bool>("compressed");
        QTest::newRow("exactly the period") << qint64(86400) << qint64(86400) << false;
        QTest::newRow("a second older") << qint64(86400) << qint64(86401) << true;
        QTest::newRow("no period, this second") << qint64(0) << qint64(0) << false;
        QTest::newRow("no period, a second old") << qint64(0) << qint64(1) << true;
        QTest::newRow("from the future") << qint64(0) << qint64(-3600) << false;
    }

    // Old means older than the period: a log exactly that old waits for the
    // next run. The walk is handed its clock, so whole seconds are exact.
    void ageRule()
    {
        QFETCH(qint64, period);
        QFETCH(qint64, age);
        QFETCH(bool, compressed);
        const QTemporaryDir folder;
        const QString log = folder.filePath("a.log");
        const QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000);
        QFile file(log);
        QVERIFY(writeFile(log, "line\n") && file.open(QIODevice::Append) &&
                file.setFileTime(now.addSecs(-age), QFileDevice::FileModificationTime));
        file.close();
        if (compressed)
            QTest::ignoreMessage(QtInfoMsg, qPrintable("Compressed old log file '" + log + "'"));
        LogRotation(folder.path(), period).rotate(now);
        QCOMPARE(entriesIn(folder.path()), QStringList{compressed ? "a.log.gz" : "a.log"});
    }

    void retention_data()
    {
        QTest::addColumn<int>("keepDays");
        QTest::addColumn<qint64>("maxTotal");
        QTest::addColumn<QStringList>("files"); // "name bytes hours-old"
        QTest::addColumn<QStringList>("left");
        QTest::newRow("older than the days to keep")
            << 10 << qint64(0)
            << QStringList{"a.log.gz 100 241", "b.log.3.gz 100 240", "c.gz 9 999"}
            << QStringList{"b.log.3.gz", "c.gz"};
        // Every log counts, compressed or not; other files do not.
        QTest::newRow("beyond the total: the oldest compressed go first")
            << 0 << qint64(400)
            << QStringList{"today.log 150 0", "z.log.gz 100 72", "m.log.1.gz 100 48",
                           "a.log.gz 100 24", "notes.txt 999 0"}
            << QStringList{"a.log.gz", "m.log.1.gz", "notes.txt", "today.log"};
        QTest::newRow("logs not compressed take it all: every compressed one goes")
            << 0 << qint64(100) << QStringList{"today.log 150 0", "a.log.gz 10 24"}
            << QStringList{"today.log"};
        // app.log is being written: it stays, however old.
        QTest::newRow("a piece is compressed at once, a log being written never")
            << 0 << qint64(0) << QStringList{"app.log 100 48", "app.log.2 100 0"}
            << QStringList{"app.log", "app.log.2.gz"};
    }

    // Compressed logs go by age, then the oldest ones while the logs of the
    // folder take more than the total; pieces of split logs are compressed
    // whatever their age.
    void retention()
    {
        QFETCH(int, keepDays);
        QFETCH(qint64, maxTotal);
        QFETCH(QStringList, files);
        QFETCH(QStringList, left);
        const QTemporaryDir folder;
        const QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000);
        for (const QString& file : files) {
            const QStringList fields = file.split(' ');
            QVERIFY(writeAged(folder.filePath(fields[0]), fields[1].toInt(), now,
                              fields[2].toLongLong() * 3600));
        }
        LogRotation rotation(folder.path(), 86400);
        rotation.setKeepDays(keepDays);
        rotation.setMaxTotalSize(maxTotal);
        rotation.setExcluded({folder.filePath("app.log")});
        rotation.rotate(now);
        QCOMPARE(entriesIn(folder.path()), left);
    }

    // The start-up rotates before it returns; the logs are rotated again, on
    // a thread of their own, when the day changes.
    void rotatesAtStartAndEachDay()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[logs]\nrotate-period=1\n"));
        const QString logs = folders.user() + "/logs";
        // Midnight comes 2 s after the start-up; "day" is old then, not before.
        const QDateTime start(QDate(2026, 12, 7), QTime(23, 59, 58));
        QVERIFY(writeAged(logs + "/start.log", 10, start, 86400) &&
                writeAged(logs + "/day.log", 10, start.addMSecs(-1200), 0));
        const ShiftedClock clock(start);
        Backend backend;
        QSignalSpy rotated(&backend, &Backend::logsRotated);
        QVERIFY(backend.initialize());
        QCOMPARE(entriesIn(logs), QStringList({"day.log", "start.log.gz"}));
        QVERIFY(rotated.wait(10000));
        QCOMPARE(entriesIn(logs), QStringList({"day.log.gz", "start.log.gz"}));
    }

    // At midnight the rotation may run before the pipeline has moved on to
    // the new day's file: that file is the pipeline's, whatever its time.
    void newDaysLogIsNotOld()
    {
        const DataFolders folders;
        const QString logs = folders.user() + "/logs";
        const ShiftedClock clock(QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 980)));
        Backend backend;
        PipelineConfig app =
            pipelineOf({helperProcess(ProcessMode::Sync, false, {"--delay", "30"})}, "app");
        app.logBasename = "app";
        app.logPath = logs;
        QVERIFY(backend.pipelineController()->start(app, true));
        // Without the event loop, which would let the pipeline move on.
        while (DayTimer::today() != QDate(2026, 12, 8))
            QThread::msleep(1);
        QVERIFY(
            writeAged(logs + "/app-2026-12-08.log", 10, QDateTime::currentDateTime(), 86400 * 2));
        QCOMPARE(QFileInfo(backend.pipelineController()->logFilePath()).fileName(),
                 QString("app-2026-12-07.log"));
        backend.rotateLogs();
        QCOMPARE(entriesIn(logs), QStringList({"app-2026-12-07.log", "app-2026-12-08.log"}));
    }

    void splitPiece_data()
    {
        QTest::addColumn<bool>("ownFolder"); // the log is written outside the logs folder
        QTest::newRow("in the logs folder") << false;
        QTest::newRow("in a folder of its own: nothing else there is touched") << true;
    }

    // The piece that a running log split off is compressed at once.
    void splitPiece()
    {
        QFETCH(bool, ownFolder);
        const DataFolders folders;
        Backend backend;
        const QString folder = ownFolder ? folders.root() + "/elsewhere" : backend.defaultLogPath();
        const QString piece = folder + "/app-2026-12-07.log.1";
        QVERIFY(writeFile(piece, "early\n") && writeFile(folder + "/other.log.1", "theirs\n"));
        emit backend.pipelineController()->logFileSplit(piece);
        QTRY_VERIFY(QFile::exists(piece + ".gz") && !QFile::exists(piece));
        QCOMPARE(fileContent(piece + ".gz"), expectedMember("early\n"));
        QTRY_VERIFY(!backend.isRotatingLogs());
        QCOMPARE(QFile::exists(folder + "/other.log.1"), ownFolder);
    }

    // A link planted where the .gz goes is replaced, never written through.
    void targetLinkReplaced()
    {
        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/t.log";
        const QString victim = folders.root() + "/victim";
        QVERIFY(writeFile(log, "log") && writeFile(victim, "keep") &&
                QFile::link(victim, log + ".gz"));
        QVERIFY(backend.compressFile(QFileInfo(log)));
        QCOMPARE(fileContent(victim), QByteArray("keep"));
        QCOMPARE(fileContent(log + ".gz"), gzipCompress("log"));
    }
};

LAUNCHER_TEST(TestRotationSafety)
#include "TestRotationSafety.moc"
