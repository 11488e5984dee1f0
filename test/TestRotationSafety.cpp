// Log rotation and retention: the gzip member written, when a log is old,
// what goes when, and the runs at start-up, at midnight and for a piece split
// off a running log. What is skipped and never read through (links, FIFOs):
// TestHostileFolders.

#include "Backend.h"
#include "ShiftedClock.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/LogRotation.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QtEndian>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// The header, the deflate data of qCompress's zlib stream, zlib's CRC-32 and the length.
QByteArray expectedMember(const QByteArray& content)
{
    const auto* bytes = reinterpret_cast<const Bytef*>(content.constData());
    const quint32 trailer[2] = {qToLittleEndian(quint32(crc32(0, bytes, uInt(content.size())))),
                                qToLittleEndian(quint32(content.size()))};
    return QByteArray::fromHex("1f8b080000000000000b") +
           (content.isEmpty() ? QByteArray::fromHex("0300")
                              : qCompress(content).mid(6).chopped(4)) +
           QByteArray(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

// Every entry of any kind, links, FIFOs and hidden files included, by name.
QStringList entriesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                  QDir::NoDotAndDotDot);
}

// The files as "name bytes seconds-old" (or "@seconds since 1970" for a
// clock not yet set); what is left after one rotation.
const struct
{
    const char* name;
    qint64 period;
    int keepDays;
    qint64 maxTotal;
    const char* files;
    const char* left;
} Rotations[] = {
    // Old means older than the period: a log exactly that old waits for the next run.
    {"exactly the period", 3600, 0, 0, "a.log 5 3600", "a.log"},
    {"a second older", 3600, 0, 0, "a.log 5 3601", "a.log.gz"},
    {"older than the days to keep", 86400, 10, 0,
     "a.log.gz 100 867600 b.log.3.gz 100 864000 c.gz 9 3596400", "b.log.3.gz c.gz"},
    // Whatever the launcher's own age: history from before an upgrade ages too.
    {"days and a year old", 86400, 1, 0,
     "app-2026-12-05.log.gz 100 172800 old.log.gz 100 31536000 new.log.gz 100 3600", "new.log.gz"},
    // A clock not yet set wrote 1970 (or a clock chip's 2000): no age yet,
    // but it counts towards the total.
    {"a log of 1970 is kept for its age", 86400, 1, 0, "boot.log 100 @120", "boot.log.gz"},
    {"a log of 2000 is kept for its age", 86400, 1, 0, "boot.log.gz 100 @946684800", "boot.log.gz"},
    {"a log of 1970 goes for the total", 86400, 10, 150,
     "boot.log.gz 100 @120 new.log.gz 100 86400", "new.log.gz"},
    // Every log counts, compressed or not; other files do not.
    {"beyond the total: the oldest compressed go first", 86400, 0, 400,
     "today.log 150 0 z.log.gz 100 259200 m.log.1.gz 100 172800 a.log.gz 100 86400 notes.txt 999 "
     "0",
     "a.log.gz m.log.1.gz notes.txt today.log"},
    {"logs not compressed take it all: every compressed one goes", 86400, 0, 100,
     "today.log 150 0 a.log.gz 10 86400", "today.log"},
    // app.log is being written: it stays, however old.
    {"a piece is compressed at once, a log being written never", 86400, 0, 0,
     "app.log 100 172800 app.log.2 100 0", "app.log app.log.2.gz"},
};

} // namespace

class TestRotationSafety : public QObject
{
    Q_OBJECT

private slots:
    // The rotation reads a log in pieces, yet writes the member of the whole
    // content (gzip itself finds its CRC and length right), and the .gz takes the log's permission
    // bits (as root, its owner). A short write leaves no .gz and keeps the log, for the next
    // rotation; a log whose .gz exists is left alone.
    void streamedAsWhole()
    {
        // Random bytes in the middle fill deflate's output buffer several times
        // over; the last of the pieces the log is read in is a short one.
        const int chunk = 256 * 1024, mode = 0400;
        const QByteArray text = QByteArray("[ 4242 ] frame decoded\n").repeated(chunk / 11);
        QByteArray noise(chunk / 2, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), chunk / 8);
        const QByteArray content = text + noise + text.left(chunk / 3);
        const DataFolders folders;
        Backend backend;
        const QString logs = backend.defaultLogPath(), log = logs + "/a.log";
        const QByteArray path = QFile::encodeName(log);
        const bool root = geteuid() == 0;
        const timespec old[2] = {{time(nullptr) - 90000, 0}, {time(nullptr) - 90000, 0}};
        QVERIFY(writeFile(log, content) && chmod(path.constData(), mode_t(mode)) == 0 &&
                (!root || chown(path.constData(), 65534, 65534) == 0) &&
                utimensat(AT_FDCWD, path.constData(), old, 0) == 0);
        for (const char* kept : {"/kept.log", "/kept.log.gz"})
            QVERIFY(writeAged(logs + kept, 10, 90000));
        // Beyond the file size limit a write comes back short instead of a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, RLIM_INFINITY}, unlimited{RLIM_INFINITY, RLIM_INFINITY};
        QTest::ignoreMessage(QtCriticalMsg, qPrintable("Failed to write '" + log + ".gz' on disk"));
        QTest::ignoreMessage(QtCriticalMsg,
                             qPrintable("Failed to compress old log file '" + log + "'"));
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        backend.rotateLogs();
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        QCOMPARE(entriesIn(logs).join(' '), QString("a.log kept.log kept.log.gz"));
        QTest::ignoreMessage(QtInfoMsg, qPrintable("Compressed old log file '" + log + "'"));
        backend.rotateLogs();
        QCOMPARE(entriesIn(logs).join(' '), QString("a.log.gz kept.log kept.log.gz"));
        QCOMPARE(fileContent(log + ".gz"), expectedMember(content));
        QCOMPARE(runProgram("gzip", {"-t", log + ".gz"}), std::make_pair(0, QByteArray()));
        QVERIFY(fileContent(logs + "/kept.log.gz") == QByteArray(10, 'x') &&
                fileMode(log + ".gz") == mode &&
                QFileInfo(log + ".gz").ownerId() == (root ? 65534u : geteuid()));
    }

    void rotation_data() { addRows(Rotations); }

    // Logs older than the period are compressed, pieces of split logs
    // whatever their age; compressed logs go by age, then the oldest ones
    // while the logs of the folder take more than the total. The walk is
    // handed its clock, so whole seconds are exact.
    void rotation()
    {
        const auto& row = currentRow(Rotations);
        const QTemporaryDir folder;
        const QDateTime now = QDateTime::currentDateTime();
        const QStringList fields = QString(row.files).split(' ');
        for (int i = 0; i + 2 < fields.size(); i += 3) {
            const QString& age = fields[i + 2];
            QVERIFY(writeAged(folder.filePath(fields[i]), fields[i + 1].toInt(),
                              age.startsWith('@') ? now.toSecsSinceEpoch() - age.mid(1).toLongLong()
                                                  : age.toLongLong(),
                              now));
        }
        LogRotation rotation(folder.path(), row.period);
        rotation.setKeepDays(row.keepDays);
        rotation.setMaxTotalSize(row.maxTotal);
        rotation.setExcluded({folder.filePath("app.log")});
        MessageCapture quiet;
        rotation.rotate(now);
        QCOMPARE(entriesIn(folder.path()).join(' '), QString(row.left));
        // One written before the clock was set is kept the days to keep from
        // now, as if written now.
        for (const QFileInfo& left : QDir(folder.path()).entryInfoList(QDir::Files))
            QVERIFY(!row.keepDays || left.lastModified().date().year() >= 2020);
    }

    // The start-up rotates before it returns, by the period loaded (start.log
    // is not old by the default one); the logs are rotated again, on a thread
    // of their own, when the day changes. The piece that a running log split
    // off is compressed at once; in a log folder of its own, nothing else
    // there is touched.
    void rotatesAtStartAndEachDay()
    {
        const DataFolders folders;
        const QString logs = folders.user() + "/logs";
        const QString piece = folders.root() + "/elsewhere/app-2026-12-07.log.1";
        // Midnight comes 2 s after the start-up; "day" is old then, not before.
        const QDateTime start(QDate(2026, 12, 7), QTime(23, 59, 58));
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[logs]\nrotate-period=1\n") &&
                writeAged(logs + "/start.log", 10, 86400, start) &&
                writeAged(logs + "/day.log", 10, 0, start.addMSecs(-1200)) &&
                writeFile(piece, "early\n") &&
                writeFile(folders.root() + "/elsewhere/other.log.1", "theirs\n"));
        const ShiftedClock clock(start);
        Backend backend;
        QSignalSpy rotated(&backend, &Backend::logsRotated);
        QVERIFY(backend.initialize());
        QCOMPARE(entriesIn(logs), QStringList({"day.log", "start.log.gz"}));
        QVERIFY(rotated.wait(10000));
        QCOMPARE(entriesIn(logs), QStringList({"day.log.gz", "start.log.gz"}));
        emit backend.pipelineController()->logFileSplit(piece);
        QTRY_VERIFY(entriesIn(folders.root() + "/elsewhere") ==
                        QStringList({"app-2026-12-07.log.1.gz", "other.log.1"}) &&
                    !backend.isRotatingLogs());
        QCOMPARE(fileContent(piece + ".gz"), expectedMember("early\n"));
    }
};

LAUNCHER_TEST(TestRotationSafety)
#include "TestRotationSafety.moc"
