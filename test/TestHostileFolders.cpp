// What another user can plant where a root launcher writes: at every name the
// launcher makes, replaces, reads or removes in its logs folder, and at the
// metrics file, in a folder of its own, a shared sticky one, a group-writable
// one, one that all may write and another user's, a link to a private file
// of root's, a second name (hard link) of it, a FIFO and a folder. Nothing
// outside is read, written, truncated, chowned or removed, the planted entry
// stays, and a refusal is one line. The launcher is this test program, so
// that the temporary names (which carry its pid) are known.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "logs/PipelineLog.h"

#include <QDate>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const Intruder = "launcher-intruder";
const QDate OldDay(2026, 1, 1);

enum class Place
{
    Own,       // root's, 0755
    Sticky,    // root's, 1777: every user may add names
    GroupOpen, // root's, 0775, the intruder's group may write
    AllOpen,   // root's, 0777
    Stranger   // the intruder's, 0755
};

enum class Plant
{
    Link,
    HardLink,
    Fifo,
    Folder
};

// The names, each with how many lines a plant there is worth, by plant: the
// rotation names what it does not read where a log or a piece would be (a
// folder is walked into), the log and the metrics file are refused, and a
// taken piece number, temporary name or compressed log's name is passed
// over without a word (the log stays as it is).
const struct
{
    const char* name;
    const char* entry; // TODAY: today's date; PID: this launcher's
    bool old;          // made as old as a log to compress
    int refusals[4];   // Plant
} Names[] = {
    {"today's log", "kiosk-TODAY.log", false, {2, 2, 2, 1}},
    {"a piece of it", "kiosk-TODAY.log.1", false, {1, 1, 1, 0}},
    {"an old log to compress", "kiosk-2026-01-01.log", true, {1, 1, 1, 0}},
    {"an old log's compressed name", "old-2026-01-01.log.gz", true, {0, 0, 0, 0}},
    {"the compression's temporary file", ".old-2026-01-01.log.gz.PID.tmp", false, {0, 0, 0, 0}},
    {"the metrics file", "kiosk.prom", false, {1, 1, 1, 1}},
    {"the metrics file's temporary file", ".kiosk.prom.PID.tmp", false, {0, 0, 0, 0}},
};

// What a change to the entry would change; never a link's target.
auto statusOf(const QString& path)
{
    struct stat s = {};
    const int found = ::lstat(QFile::encodeName(path).constData(), &s);
    return std::make_tuple(found, s.st_ino, s.st_size, s.st_mode, s.st_uid, s.st_gid, s.st_nlink,
                           s.st_mtim.tv_sec, s.st_mtim.tv_nsec);
}

} // namespace

class TestHostileFolders : public QObject
{
    Q_OBJECT

    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_madeUser = false;

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("Planting files as another user needs root");
        if (!::getpwnam(Intruder)) {
            const int code =
                QProcess::execute("useradd", {"--system", "--no-create-home", "--user-group",
                                              "--shell", "/usr/sbin/nologin", Intruder});
            if (code != 0)
                QSKIP("useradd cannot make the user who plants files here");
            m_madeUser = true;
        }
        const passwd* user = ::getpwnam(Intruder);
        QVERIFY(user);
        m_uid = user->pw_uid;
        m_gid = user->pw_gid;
    }

    void cleanupTestCase()
    {
        if (m_madeUser)
            QProcess::execute("userdel", {Intruder});
    }

    // A folder that others may write without the sticky bit, or that is
    // another user's, is not used: a link in it stands for every plant.
    void planted_data()
    {
        QTest::addColumn<int>("place");
        QTest::addColumn<int>("plant");
        QTest::addColumn<int>("name");
        const char* const places[] = {"own folder", "sticky folder", "group-writable folder",
                                      "folder all may write", "another user's folder"};
        const char* const plants[] = {"link", "hard link", "FIFO", "folder"};
        for (int place = 0; place <= int(Place::Stranger); ++place) {
            for (int plant = 0; plant < (place <= int(Place::Sticky) ? 4 : 1); ++plant) {
                for (int name = 0; name < int(std::size(Names)); ++name)
                    QTest::addRow("%s, %s at %s", places[place], plants[plant], Names[name].name)
                        << place << plant << name;
            }
        }
    }

    void planted()
    {
        QFETCH(int, place);
        QFETCH(int, plant);
        QFETCH(int, name);
        const DataFolders folders;
        const QString logs = folders.user() + "/logs";
        const QString victim = folders.root() + "/private";
        const QString entry = QString(Names[name].entry)
                                  .replace("TODAY", QDate::currentDate().toString(Qt::ISODate))
                                  .replace("PID", QString::number(::getpid()));
        const QString planted = logs + '/' + entry;
        const QByteArray plantedPath = QFile::encodeName(planted);
        ProcessMarker marker;

        // Root's private file, and the launcher's own old log beside the plant.
        QVERIFY(writeFile(victim, "root's secret\n") && ::chmod(qPrintable(victim), 0600) == 0 &&
                writeAged(logs + "/old-2026-01-01.log", 100, 3 * 86400));
        const mode_t modes[] = {0755, 01777, 0775, 0777, 0755};
        QVERIFY(::chmod(qPrintable(logs), modes[place]) == 0 &&
                ::chown(qPrintable(logs), Place(place) == Place::Stranger ? m_uid : 0,
                        Place(place) == Place::GroupOpen ? m_gid : 0) == 0);
        QVERIFY(Plant(plant) == Plant::Link       ? QFile::link(victim, planted)
                : Plant(plant) == Plant::HardLink ? ::link(qPrintable(victim), plantedPath) == 0
                : Plant(plant) == Plant::Fifo     ? ::mkfifo(plantedPath, 0666) == 0
                                                  : QDir().mkdir(planted));
        // The intruder's own entry; a second name of root's file is root's.
        const bool own = Plant(plant) == Plant::HardLink;
        const qint64 age = Names[name].old ? 3 * 86400 : 0;
        const timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
        QVERIFY(::lchown(plantedPath.constData(), own ? 0 : m_uid, own ? 0 : m_gid) == 0 &&
                ::utimensat(AT_FDCWD, plantedPath.constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
        const auto before = std::make_pair(statusOf(victim), statusOf(planted));
        QVERIFY(std::get<0>(before.first) == 0 && std::get<0>(before.second) == 0);

        // A run that splits its log, compresses the old one and keeps metrics.
        const QByteArray writes =
            "--write, " + marker.text().toUtf8() +
            (", --delay, 0.1, --write, " + QByteArray(300, 'x') + "\\n").repeated(5);
        QVERIFY(writeFile(folders.user() + "/launcher.ini",
                          "[logs]\nrotate-period=86400\nmax-file-size=1K\n[metrics]\ntextfile=" +
                              QFile::encodeName(logs) + "/kiosk.prom\ninterval=1\n") &&
                writeFile(folders.user() + "/apps/kiosk.ini",
                          "[process-0]\nmode=sync\nexec=" + QFile::encodeName(helperPath()) +
                              "\narguments=" + writes + "\n"));
        MessageCapture messages;
        {
            Backend backend;
            QSignalSpy finished(&backend, &Backend::pipelineFinished);
            QVERIFY(backend.initialize());
            QVERIFY(backend.startApplication("kiosk"));
            QVERIFY(finished.wait(30000));
            // The metrics file's first write, or its refusal; in a folder
            // that may be used, only a plant at its name is refused.
            QTRY_VERIFY_WITH_TIMEOUT(messages.count(logs + "/kiosk.prom") > 0 ||
                                         QFile::exists(logs + "/kiosk.prom"),
                                     15000);
            QVERIFY(place > int(Place::Sticky) || entry == "kiosk.prom" ||
                    QFileInfo(logs + "/kiosk.prom").isFile());
        }
        QVERIFY(marker.noneLeft());

        // Nothing outside changed, and the plant is where it was.
        QCOMPARE(fileContent(victim), QByteArray("root's secret\n"));
        QVERIFY2(std::make_pair(statusOf(victim), statusOf(planted)) == before,
                 "the private file or the planted entry changed");
        // No copy of the private file went into a log either.
        for (const QString& log : QDir(logs).entryList({"*.gz"}, QDir::Files))
            QVERIFY2(!runProgram("gzip", {"-dc", logs + '/' + log}).second.contains("secret"),
                     qPrintable(log));

        // Refused in one line each, naming what was refused.
        const QStringList problems = messages.texts(QtWarningMsg) + messages.texts(QtCriticalMsg);
        if (place > int(Place::Sticky)) {
            QStringList refusals = problems.filter(logs);
            QVERIFY2(!refusals.isEmpty() && refusals.removeDuplicates() == 0,
                     qPrintable(problems.join('\n')));
            QStringList left({entry, "old-2026-01-01.log"});
            left.sort();
            QCOMPARE(QDir(logs).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                              QDir::NoDotAndDotDot,
                                          QDir::Name),
                     left);
        } else {
            QVERIFY2(problems.filter(planted).size() == Names[name].refusals[plant],
                     qPrintable(problems.join('\n')));
        }
    }
};

LAUNCHER_TEST(TestHostileFolders)
#include "TestHostileFolders.moc"
