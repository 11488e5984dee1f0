#include "Backend.h"
#include "GzipCompress.h"
#include "TestFixtures.h"

#include <QDateTime>
#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// The system's gzip with its integrity check; data after the member fail it, too.
QByteArray gunzipTool(const QByteArray& member)
{
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc")});
    gzip.write(member);
    gzip.closeWriteChannel();
    const bool ok = gzip.waitForFinished(60000) && gzip.exitStatus() == QProcess::NormalExit &&
                    gzip.exitCode() == 0;
    return ok ? gzip.readAllStandardOutput() : "gzip -dc failed: " + gzip.readAllStandardError();
}

// zlib's inflater checks the trailer itself; anything after the member is an error.
QByteArray gunzipZlib(const QByteArray& member, int size)
{
    QByteArray content(size + 1, '\0');
    z_stream stream{};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.constData()));
    stream.avail_in = uInt(member.size());
    stream.next_out = reinterpret_cast<Bytef*>(content.data());
    stream.avail_out = uInt(content.size());
    const bool ok = inflateInit2(&stream, 16 + MAX_WBITS) == Z_OK &&
                    inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    content.chop(int(stream.avail_out));
    return ok ? content : "zlib inflate failed";
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "unreadable";
}

const auto contentOf = [](const QString& name) { return name.toUtf8().repeated(100); };

// Below the log folder, "name@age" is a file modified that many seconds before `now`.
bool createEntries(const QString& logs, const QStringList& entries, const QDateTime& now)
{
    for (const QString& entry : entries) {
        const QString name = entry.section(QLatin1Char('@'), 0, 0);
        QFile file(logs + QLatin1Char('/') + name);
        if (!writeFile(file.fileName(), contentOf(name)) || !file.open(QIODevice::Append) ||
            !file.setFileTime(now.addSecs(-entry.section('@', 1).toInt()),
                              QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

QStringList filesBelow(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestLogRotation : public QObject
{
    Q_OBJECT

private slots:
    // Writes beyond a file size limit fail with EFBIG instead of a signal.
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }

    void gzipMember_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("member"); // empty: round trips only
        QTest::newRow("abc") << QByteArray("abc")
                             << QByteArray::fromHex("1f8b080000000000000b 4b4c4a0600 c2412435 "
                                                    "03000000");
        QTest::newRow("empty") << QByteArray()
                               << QByteArray::fromHex("1f8b080000000000000b 0300 00000000 "
                                                      "00000000");
        QByteArray random(3 << 20, Qt::Uninitialized);
        QRandomGenerator(20170301).fillRange(reinterpret_cast<quint32*>(random.data()),
                                             random.size() / 4);
        QTest::newRow("random 3 MiB") << random << QByteArray();
    }

    void gzipMember()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, member);
        const QByteArray made = gzipCompress(content);
        if (!member.isEmpty())
            QCOMPARE(made.toHex(' '), member.toHex(' '));
        QCOMPARE(gunzipZlib(made, content.size()), content);
        QCOMPARE(gunzipTool(made), content);
    }

    void rotate_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("compress");  // empty: rotateLogs(), else compressFile(), failing
        QTest::addColumn<int>("sizeLimit");     // of files written, 0: none
        QTest::addColumn<QStringList>("files"); // afterwards
        QTest::addColumn<QStringList>("trace"); // %1: the log folder
        const QString compressed = QStringLiteral("info: Compressed old log file '%1/");

        QTest::newRow("age boundary")
            << QStringList{"fresh.log@0", "exact.log@86400", "old.log@86401"} << QString() << 0
            << QStringList{"exact.log", "fresh.log", "old.log.gz"}
            << QStringList{compressed + "old.log'"};
        QTest::newRow("letter case, other names")
            << QStringList{"OLD.LOG@90000", "old.txt@90000", "orphan.log.gz@90000",
                           "dir.log/x@90000"}
            << QString() << 0 << QStringList{"OLD.LOG.gz", "dir.log/x", "old.txt", "orphan.log.gz"}
            << QStringList{compressed + "OLD.LOG'"};
        QTest::newRow("subfolder")
            << QStringList{"2017/03/b.log@90000"} << QString() << 0
            << QStringList{"2017/03/b.log.gz"} << QStringList{compressed + "2017/03/b.log'"};
        QTest::newRow("compressed file exists")
            << QStringList{"d.log@90000", "d.log.gz@90000"} << QString() << 0
            << QStringList{"d.log", "d.log.gz"} << QStringList();
        QTest::newRow("missing folder")
            << QStringList() << QString() << 0 << QStringList() << QStringList();
        QTest::newRow("write fails")
            << QStringList{"full.log@90000"} << QString() << 16 << QStringList{"full.log"}
            << QStringList{"error: Failed to write '%1/full.log.gz' on disk",
                           "error: Failed to compress old log file '%1/full.log'"};
        QTest::newRow("source missing")
            << QStringList() << "none.log" << 0 << QStringList()
            << QStringList{"error: Unable to compress file: file '%1/none.log' does not exist"};
        QTest::newRow("source is a folder")
            << QStringList{"f.log/x@0"} << "f.log" << 0 << QStringList{"f.log/x"}
            << QStringList{"error: Unable to compress file: can't open '%1/f.log' for reading"};
        QTest::newRow("target is a folder")
            << QStringList{"t.log@0", "t.log.gz/x@0"} << "t.log" << 0
            << QStringList{"t.log", "t.log.gz/x"}
            << QStringList{"error: Unable to compress file: can't open '%1/t.log.gz' for writing"};
    }

    void rotate()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, compress);
        QFETCH(int, sizeLimit);
        QFETCH(QStringList, files);
        QFETCH(QStringList, trace);

        const DataFolders folders;
        Backend backend;
        const QString logs = backend.defaultLogPath();
        const QDateTime now = QDateTime::currentDateTime();
        QVERIFY(createEntries(logs, entries, now));
        const MessageCapture capture;
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit limit{sizeLimit ? rlim_t(sizeLimit) : previous.rlim_cur, previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
        const QFileInfo source(logs + QLatin1Char('/') + compress);
        const bool result =
            compress.isEmpty() ? (backend.rotateLogs(), false) : backend.compressFile(source);
        setrlimit(RLIMIT_FSIZE, &previous);
        if (now.msecsTo(QDateTime::currentDateTime()) >= 1000)
            QSKIP("a second or more went by: too slow to check the age boundary");

        QVERIFY(!result);
        QCOMPARE(capture.trace(), trace.replaceInStrings("%1", logs));
        QCOMPARE(filesBelow(logs), files);
        for (const QString& file : qAsConst(files)) {
            const QByteArray bytes = readFile(logs + QLatin1Char('/') + file);
            if (entries.join('\n').prepend('\n').contains('\n' + file + '@'))
                QCOMPARE(bytes, contentOf(file)); // untouched
            else
                QCOMPARE(gunzipTool(bytes), contentOf(file.chopped(3)));
        }
    }

    // In a folder with the sticky bit only a file's owner may remove it: acting
    // as another user, the rotation writes the .gz there but cannot remove root's log.
    void unremovableLog()
    {
        if (geteuid() != 0)
            QSKIP("needs root to act as another user");
        const DataFolders folders;
        Backend backend;
        const QString logs = backend.defaultLogPath();
        QVERIFY(createEntries(logs, {"old.log@90000"}, QDateTime::currentDateTime()));
        QCOMPARE(chmod(QFile::encodeName(folders.root()).constData(), 0755), 0);
        QCOMPARE(chmod(QFile::encodeName(logs).constData(), 01777), 0);
        const MessageCapture capture;
        QCOMPARE(seteuid(65534), 0);
        backend.rotateLogs();
        QCOMPARE(seteuid(0), 0);
        prctl(PR_SET_DUMPABLE, 1); // changing the user cleared it
        backend.rotateLogs();      // every later run skips the pair silently
        QCOMPARE(capture.trace(),
                 (QStringList{"info: Compressed old log file '" + logs + "/old.log'",
                              "error: Failed to remove old log file '" + logs + "/old.log'"}));
        QCOMPARE(filesBelow(logs), (QStringList{"old.log", "old.log.gz"}));
        QCOMPARE(gunzipTool(readFile(logs + "/old.log.gz")), contentOf("old.log"));
    }
};

QTEST_GUILESS_MAIN(TestLogRotation)
#include "TestLogRotation.moc"
