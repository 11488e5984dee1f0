#include "Backend.h"
#include "GzipCompress.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// The piece in which the rotation reads a log.
constexpr int chunk = 256 * 1024;

QByteArray logText(int size)
{
    QByteArray text;
    for (int line = 0; text.size() < size; ++line)
        text += "[ 4242 ] frame " + QByteArray::number(line * 7919 % 100003) + " decoded\n";
    return text.left(size);
}

QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(20170301).fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

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

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "unreadable";
}

// Old enough for the rotation; a link itself, not its target.
bool makeOld(const QString& path)
{
    const timespec times[2] = {{time(nullptr) - 90000, 0}, {time(nullptr) - 90000, 0}};
    return !utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

// Every entry of any kind, links, FIFOs and hidden files included, by name.
QStringList entriesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                  QDir::NoDotAndDotDot);
}

} // namespace

class TestRotationSafety : public QObject
{
    Q_OBJECT

private slots:
    // Writes beyond a file size limit fail with EFBIG instead of a signal.
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }

    void streamedAsWhole_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::newRow("empty") << QByteArray() << 0600;
        QTest::newRow("1 byte") << QByteArray("x") << 0644;
        QTest::newRow("chunk - 1") << logText(chunk - 1) << 0640;
        QTest::newRow("chunk") << logText(chunk) << 0400;
        QTest::newRow("chunk + 1") << logText(chunk + 1) << 0604;
        QTest::newRow("mixed, some chunks")
            << logText(2 * chunk) + noise(chunk / 2) + logText(chunk / 3 + 17) << 0600;
    }

    // The rotation reads a log in pieces, yet writes the member of the whole
    // content, and the .gz takes the log's permission bits (as root, its owner).
    void streamedAsWhole()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        const QByteArray whole = gzipCompress(content);
        QCOMPARE(whole, expectedMember(content));

        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/a.log";
        QVERIFY(writeFile(log, content));
        QCOMPARE(chmod(QFile::encodeName(log).constData(), mode_t(mode)), 0);
        const bool root = geteuid() == 0;
        if (root)
            QCOMPARE(chown(QFile::encodeName(log).constData(), 65534, 65534), 0);
        QVERIFY(makeOld(log));
        QTest::ignoreMessage(QtInfoMsg, qPrintable("Compressed old log file '" + log + "'"));
        backend.rotateLogs();
        QCOMPARE(entriesIn(backend.defaultLogPath()), QStringList{"a.log.gz"});
        QCOMPARE(readFile(log + ".gz"), whole);
        struct stat status = {};
        QCOMPARE(lstat(QFile::encodeName(log + ".gz").constData(), &status), 0);
        QCOMPARE(int(status.st_mode & 07777), mode);
        QCOMPARE(int(status.st_uid), root ? 65534 : int(geteuid()));
    }

    void skipped_data()
    {
        QTest::addColumn<QString>("entry"); // "fifo", "device", or a link to that path
        QTest::newRow("link to /dev/full") << "/dev/full";
        QTest::newRow("link to a FIFO") << "outside/fifo";
        QTest::newRow("link to a private file") << "outside/secret";
        QTest::newRow("dangling link") << "outside/gone";
        QTest::newRow("link to a folder") << "outside";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("device") << "device";
    }

    // Reading through a link could publish another's file (a root launcher made
    // a world-readable copy of a private file); a FIFO or a device
    // could block or never end. Each is named and left alone, by the rotation
    // and by a direct compression alike.
    void skipped()
    {
        QFETCH(QString, entry);
        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/x.log";
        const QString outside = folders.root() + "/outside/";
        QVERIFY(QDir().mkpath(backend.defaultLogPath()) && writeFile(outside + "secret", "root"));
        QVERIFY(makeOld(outside + "secret")); // so that a link followed would count as old
        QCOMPARE(mkfifo(QFile::encodeName(outside + "fifo").constData(), 0600), 0);
        const QByteArray path = QFile::encodeName(log);
        if (entry == "fifo")
            QCOMPARE(mkfifo(path.constData(), 0644), 0);
        else if (entry == "device" && mknod(path.constData(), S_IFCHR | 0644, makedev(1, 7)) != 0)
            QSKIP("no right to make a device node here");
        else if (entry != "device")
            QVERIFY(QFile::link(entry.startsWith('/') ? entry : folders.root() + '/' + entry, log));
        QVERIFY(makeOld(log));

        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable("Skipped log file '" + log + "': not a regular file"));
        QTest::ignoreMessage(
            QtCriticalMsg, qPrintable("Unable to compress file: can't open '" + log + "' for reading"));
        backend.rotateLogs();
        QVERIFY(!backend.compressFile(QFileInfo(log)));
        QCOMPARE(entriesIn(backend.defaultLogPath()), QStringList{"x.log"});
        QCOMPARE(entriesIn(outside), (QStringList{"fifo", "secret"}));
    }

    // The .gz outgrows a file size limit halfway: the log stays whole and no
    // .gz, partial or temporary, is left.
    void failedWriteKeepsLog()
    {
        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/big.log";
        const QByteArray content = noise(3 * chunk);
        QVERIFY(writeFile(log, content) && makeOld(log));
        QTest::ignoreMessage(QtCriticalMsg, qPrintable("Failed to write '" + log + ".gz' on disk"));
        QTest::ignoreMessage(QtCriticalMsg,
                             qPrintable("Failed to compress old log file '" + log + "'"));
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit limit{rlim_t(chunk), previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
        backend.rotateLogs();
        setrlimit(RLIMIT_FSIZE, &previous);
        QCOMPARE(entriesIn(backend.defaultLogPath()), QStringList{"big.log"});
        QCOMPARE(readFile(log), content);
    }

    // A link planted where the .gz goes is replaced, never written through.
    void targetLinkReplaced()
    {
        const DataFolders folders;
        Backend backend;
        const QString log = backend.defaultLogPath() + "/t.log";
        const QString victim = folders.root() + "/victim";
        QVERIFY(writeFile(log, "log") && writeFile(victim, "keep"));
        QVERIFY(QFile::link(victim, log + ".gz"));
        QVERIFY(backend.compressFile(QFileInfo(log)));
        QCOMPARE(readFile(victim), QByteArray("keep"));
        QCOMPARE(readFile(log + ".gz"), gzipCompress("log"));
    }
};

LAUNCHER_TEST(TestRotationSafety)
#include "TestRotationSafety.moc"
