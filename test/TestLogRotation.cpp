#include "Backend.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every message, not only the trace: a stray Qt warning is an unexpected line, too.
QStringList g_messages;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const QString category = QString::fromUtf8(context.category);
    QString level = QStringLiteral("debug");
    if (type == QtInfoMsg)
        level = QStringLiteral("info");
    else if (type == QtWarningMsg)
        level = QStringLiteral("warning");
    else if (type == QtCriticalMsg)
        level = QStringLiteral("error");
    if (category != QLatin1String("solvane.trace"))
        level = category + QLatin1Char('/') + level;
    g_messages.append(level + QStringLiteral(": ") + text);
}

// Files named "empty..." are empty.
QByteArray contentOf(const QString& path)
{
    if (QFileInfo(path).fileName().startsWith(QLatin1String("empty")))
        return QByteArray();
    return QStringLiteral("line of %1\n").arg(path).toUtf8().repeated(40);
}

bool setAge(const QString& path, const QDateTime& now, qint64 ageSecs)
{
    const qint64 ms = now.toMSecsSinceEpoch() - ageSecs * 1000;
    const timespec time{ms / 1000, (ms % 1000) * 1000000};
    const timespec times[2] = {time, time};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) ==
           0;
}

// Entries below `base`: "path@age" is a file that many seconds old, "path/@age"
// a folder, "path->target" a symbolic link. Returns an error text, empty on success.
QString createEntries(const QString& base, const QStringList& entries, const QDateTime& now)
{
    const QDir dir(base);
    for (const QString& entry : entries) {
        if (entry.contains(QLatin1String("->"))) {
            const QStringList parts = entry.split(QStringLiteral("->"));
            const QString link = dir.filePath(parts[0]);
            if (!QDir().mkpath(QFileInfo(link).absolutePath()) || !QFile::link(parts[1], link))
                return QStringLiteral("cannot create the link ") + entry;
            continue;
        }
        const QString path = dir.filePath(entry.section(QLatin1Char('@'), 0, 0));
        if (path.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return QStringLiteral("cannot create the folder ") + entry;
            continue;
        }
        QFile file(path);
        const QByteArray content = contentOf(entry.section(QLatin1Char('@'), 0, 0));
        if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly) ||
            file.write(content) != content.size())
            return QStringLiteral("cannot write ") + entry;
    }
    // Ages last, so that creating a file cannot refresh its folder's time.
    for (const QString& entry : entries) {
        if (entry.contains(QLatin1Char('@')) &&
            !setAge(dir.filePath(entry.section(QLatin1Char('@'), 0, 0)), now,
                    entry.section(QLatin1Char('@'), 1).toLongLong()))
            return QStringLiteral("cannot set the time of ") + entry;
    }
    return QString();
}

// Every file below `base`, hidden ones and dangling links included, without
// following links to folders.
QStringList filesBelow(const QString& base)
{
    QStringList files;
    QDirIterator it(base, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(base).relativeFilePath(it.next());
    files.sort();
    return files;
}

QByteArray gunzip(const QString& path)
{
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc"), path});
    if (!gzip.waitForFinished(30000) || gzip.exitStatus() != QProcess::NormalExit ||
        gzip.exitCode() != 0)
        return "gzip -dc failed: " + gzip.readAllStandardError();
    return gzip.readAllStandardOutput();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
}

// Writes beyond a few bytes fail (EFBIG) while this lives: a full disk, for root too.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
};

// Acts as the unprivileged user "nobody" while this lives; the saved user id
// stays root, so the destructor can return.
class OtherUser
{
public:
    OtherUser() : m_switched(seteuid(65534) == 0) {}
    ~OtherUser()
    {
        if (m_switched && seteuid(0) == 0)
            prctl(PR_SET_DUMPABLE, 1); // changing the user cleared it
    }
    bool switched() const { return m_switched; }
    OtherUser(const OtherUser&) = delete;
    OtherUser& operator=(const OtherUser&) = delete;

private:
    bool m_switched;
};

} // namespace

// Compression of old logs below the default log folder, with the per-user data
// folder inside a temporary folder.
class TestLogRotation : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(QStringLiteral("user"))));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_dir->filePath(QStringLiteral("machine"))));
        const Backend backend;
        m_base = backend.userDataPath();
        m_logs = backend.defaultLogPath();
        QVERIFY(QDir().mkpath(m_base));
        g_messages.clear();
        m_previousHandler = qInstallMessageHandler(captureMessage);
    }

    void cleanup()
    {
        qInstallMessageHandler(m_previousHandler);
        m_dir.reset();
    }

    void rotate_data()
    {
        QTest::addColumn<int>("rotatePeriod"); // 0: the default
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("expectedFiles");
        QTest::addColumn<QStringList>("compressed"); // traced, relative to the log folder

        QTest::newRow("age boundary")
            << 0
            << QStringList{"logs/fresh.log@0", "logs/exact.log@86400", "logs/old.log@86401",
                           "logs/ancient.log@315360000"}
            << QStringList{"logs/ancient.log.gz", "logs/exact.log", "logs/fresh.log",
                           "logs/old.log.gz"}
            << QStringList{"ancient.log", "old.log"};
        QTest::newRow("period from the settings")
            << 60 << QStringList{"logs/exact.log@60", "logs/old.log@61"}
            << QStringList{"logs/exact.log", "logs/old.log.gz"} << QStringList{"old.log"};
        QTest::newRow("name pattern")
            << 0 << QStringList{"logs/OLD.LOG@90000",  "logs/Mixed.Log@90000",
                                "logs/old.txt@90000",  "logs/orphan.log.gz@90000",
                                "logs/logfile@90000",  "logs/dir.log/inner.txt@90000",
                                "logs/dir.log/@90000", "logs/empty.log@90000"}
            << QStringList{"logs/Mixed.Log.gz", "logs/OLD.LOG.gz", "logs/dir.log/inner.txt",
                           "logs/empty.log.gz", "logs/logfile",    "logs/old.txt",
                           "logs/orphan.log.gz"}
            << QStringList{"Mixed.Log", "OLD.LOG", "empty.log"};
        QTest::newRow("subfolders")
            << 0
            << QStringList{"logs/a.log@90000", "logs/2017/03/b.log@90000", "logs/2017/c.log@100"}
            << QStringList{"logs/2017/03/b.log.gz", "logs/2017/c.log", "logs/a.log.gz"}
            << QStringList{"2017/03/b.log", "a.log"};
        QTest::newRow("compressed file exists")
            << 0
            << QStringList{"logs/d.log@90000", "logs/d.log.gz@90000", "logs/e.log@90000",
                           "logs/e.log.gz->nowhere"}
            << QStringList{"logs/d.log", "logs/d.log.gz", "logs/e.log", "logs/e.log.gz"}
            << QStringList();
        QTest::newRow("hidden entries")
            << 0 << QStringList{"logs/.hidden.log@90000", "logs/.cache/f.log@90000"}
            << QStringList{"logs/.cache/f.log", "logs/.hidden.log"} << QStringList();
        QTest::newRow("link to a folder")
            << 0 << QStringList{"outside/g.log@90000", "logs/linked->../outside"}
            << QStringList{"outside/g.log"} << QStringList();
    }

    void rotate()
    {
        QFETCH(int, rotatePeriod);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expectedFiles);
        QFETCH(QStringList, compressed);

        Backend backend;
        if (rotatePeriod) {
            QFile settings(backend.userSettingsFile().absoluteFilePath());
            QVERIFY(settings.open(QIODevice::WriteOnly));
            settings.write("[logs]\nrotate-period=" + QByteArray::number(rotatePeriod) + "\n");
            settings.close();
            QVERIFY(backend.loadConfig(backend.userSettingsFile()));
            QCOMPARE(backend.logRotatePeriod(), qint64(rotatePeriod));
            QVERIFY(settings.remove());
        }

        QElapsedTimer elapsed;
        elapsed.start();
        const QString error = createEntries(m_base, entries, QDateTime::currentDateTime());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        backend.rotateLogs();
        if (elapsed.elapsed() >= 1000)
            QSKIP("the machine took a second or more, too slow to check the age boundary");

        QStringList expectedMessages;
        for (const QString& file : qAsConst(compressed))
            expectedMessages
                << QStringLiteral("info: Compressed old log file '%1/%2'").arg(m_logs, file);
        g_messages.sort();
        QCOMPARE(g_messages, expectedMessages);
        QCOMPARE(filesBelow(m_base), expectedFiles);

        // Kept files are untouched; new .gz files hold their log's content.
        for (const QString& file : qAsConst(expectedFiles)) {
            const QString path = QDir(m_base).filePath(file);
            const QString source = file.chopped(3);
            if (QFileInfo(path).isSymLink())
                continue;
            if (file.endsWith(QLatin1String(".gz")) &&
                entries.filter(QRegExp(QStringLiteral("^%1@").arg(QRegExp::escape(file))))
                    .isEmpty())
                QCOMPARE(gunzip(path), contentOf(source));
            else
                QCOMPARE(readFile(path), contentOf(file));
        }
    }

    void missingFolder()
    {
        Backend backend;
        backend.rotateLogs();
        QCOMPARE(g_messages, QStringList());
        QVERIFY(!QFileInfo::exists(m_logs));
    }

    void failedCompressionKeepsTheLog()
    {
        QVERIFY(
            createEntries(m_base, {"logs/full.log@90000"}, QDateTime::currentDateTime()).isEmpty());
        Backend backend;
        {
            const FileSizeLimit limit(16);
            backend.rotateLogs();
        }
        QCOMPARE(g_messages,
                 (QStringList{
                     QStringLiteral("error: Failed to write '%1/full.log.gz' on disk").arg(m_logs),
                     QStringLiteral("error: Failed to compress old log file '%1/full.log'")
                         .arg(m_logs)}));
        QCOMPARE(filesBelow(m_base), QStringList{"logs/full.log"});
        QCOMPARE(readFile(m_logs + "/full.log"), contentOf("logs/full.log"));
    }

    // In a shared folder with the sticky bit only the owner of a file may
    // remove it: run as another user, the launcher can write the compressed
    // file there but not remove a log that root wrote.
    void unremovableLog()
    {
        if (geteuid() != 0)
            QSKIP("needs root to run the rotation as another user");
        QVERIFY(
            createEntries(m_base, {"logs/old.log@90000"}, QDateTime::currentDateTime()).isEmpty());
        QCOMPARE(chmod(QFile::encodeName(m_dir->path()).constData(), 0755), 0);
        QCOMPARE(chmod(QFile::encodeName(m_logs).constData(), 01777), 0);

        Backend backend;
        {
            const OtherUser nobody;
            QVERIFY(nobody.switched());
            backend.rotateLogs();
        }
        QCOMPARE(
            g_messages,
            (QStringList{
                QStringLiteral("info: Compressed old log file '%1/old.log'").arg(m_logs),
                QStringLiteral("error: Failed to remove old log file '%1/old.log'").arg(m_logs)}));
        const QStringList pair{"logs/old.log", "logs/old.log.gz"};
        QCOMPARE(filesBelow(m_base), pair);
        QCOMPARE(gunzip(m_logs + "/old.log.gz"), contentOf("logs/old.log"));

        // Every later run leaves the pair alone without a word.
        g_messages.clear();
        backend.rotateLogs();
        QCOMPARE(g_messages, QStringList());
        QCOMPARE(filesBelow(m_base), pair);
        QCOMPARE(readFile(m_logs + "/old.log"), contentOf("logs/old.log"));
    }

    void compressFileFailure_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("sizeLimit");   // 0: none
        QTest::addColumn<QString>("message"); // %1: the log folder

        QTest::newRow("source missing")
            << QStringList{"logs/"} << "logs/none.log" << 0
            << "error: Unable to compress file: file '%1/none.log' does not exist";
        QTest::newRow("source is a folder")
            << QStringList{"logs/folder.log/"} << "logs/folder.log" << 0
            << "error: Unable to compress file: can't open '%1/folder.log' for reading";
        QTest::newRow("target is a folder")
            << QStringList{"logs/t.log@0", "logs/t.log.gz/"} << "logs/t.log" << 0
            << "error: Unable to compress file: can't open '%1/t.log.gz' for writing";
        QTest::newRow("write fails, earlier target stays")
            << QStringList{"logs/big.log@0", "logs/big.log.gz@0"} << "logs/big.log" << 16
            << "error: Failed to write '%1/big.log.gz' on disk";
    }

    void compressFileFailure()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, source);
        QFETCH(int, sizeLimit);
        QFETCH(QString, message);

        QVERIFY(createEntries(m_base, entries, QDateTime::currentDateTime()).isEmpty());
        const QStringList filesBefore = filesBelow(m_base);
        Backend backend;
        bool result = true;
        {
            std::optional<FileSizeLimit> limit;
            if (sizeLimit)
                limit.emplace(rlim_t(sizeLimit));
            result = backend.compressFile(QFileInfo(QDir(m_base).filePath(source)));
        }
        QCOMPARE(result, false);
        QCOMPARE(g_messages, QStringList{message.arg(m_logs)});
        QCOMPARE(filesBelow(m_base), filesBefore);
        for (const QString& file : filesBefore)
            QCOMPARE(readFile(QDir(m_base).filePath(file)), contentOf(file));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_base;
    QString m_logs;
    QtMessageHandler m_previousHandler = nullptr;
};

QTEST_GUILESS_MAIN(TestLogRotation)
#include "TestLogRotation.moc"
