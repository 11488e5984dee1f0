#include "Backend.h"
#include "TestFixtures.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

// What a front end sees of a countdown: the ticks, then the other signals in
// order, the end marked with whether the controller was running by then.
struct Events : QObject
{
    explicit Events(Backend& backend)
    {
        // A tick after the end is out of range.
        connect(&backend, &Backend::autostartTimeRemaining, this,
                [this](int secs) { ticks << (list.isEmpty() ? secs : 99); });
        connect(&backend, &Backend::autostartDisabled, this, [this, &backend] {
            const bool running =
                backend.pipelineController()->state() == PipelineController::Running;
            list << QString(running ? "disabled, running" : "disabled");
        });
        connect(&backend, &Backend::pipelineFinished, this,
                [this](const QString& basename) { list << "finished " + basename; });
        connect(&backend, &Backend::pipelineFailure, this,
                [this](const QString& basename) { list << "failure " + basename; });
    }

    QList<int> ticks;
    QStringList list;
};

// The settings `text` over two loaded pipelines: "player" runs test-helper,
// "broken" a program that does not exist, which the controller refuses.
bool load(Backend& backend, const QByteArray& text)
{
    const QString apps = backend.userDataPath() + QStringLiteral("/apps/");
    return writeFile(apps + "player.ini",
                     "[process-0]\nmode=sync\nexec=" + QFile::encodeName(helperPath()) + '\n') &&
           writeFile(apps + "broken.ini", "[process-0]\nmode=sync\nexec=/nonexistent/program\n") &&
           writeFile(backend.userSettingsFile().absoluteFilePath(), text) &&
           backend.loadConfig(backend.userSettingsFile()) && backend.loadApplications() == 2;
}

const QString inProgress =
    QStringLiteral("warning: Unable to enable autostart: autostart is already in progress.");

} // namespace

class TestAutostart : public QObject
{
    Q_OBJECT

private slots:
    void enable_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("refusal"); // of both tries, empty: the second is refused
        QTest::addColumn<QStringList>("afterTicks");
        QTest::newRow("3 s, started") << "tile=player\ntimeout=3" << QString()
                                      << QStringList{"disabled, running", "finished player"};
        QTest::newRow("1 s, refused by the controller")
            << "tile=broken\ntimeout=1" << QString() << QStringList{"failure broken", "disabled"};
        QTest::newRow("0 s") << "tile=broken\ntimeout=0" << QString()
                             << QStringList{"failure broken", "disabled"};
        QTest::newRow("no tile")
            << "timeout=0"
            << "error: Unable to enable autostart: no autostart pipeline is configured"
            << QStringList();
        QTest::newRow("unknown tile") << "tile=ghost\ntimeout=0"
                                      << "error: Unable to enable autostart: the specified "
                                         "autostart pipeline 'ghost' does not exist"
                                      << QStringList();
    }

    void enable()
    {
        QFETCH(QString, settings);
        QFETCH(QString, refusal);
        QFETCH(QStringList, afterTicks);

        const DataFolders folders;
        Backend backend;
        QVERIFY(load(backend, "[autostart]\n" + settings.toUtf8() + '\n'));
        const int timeout = backend.autostartTimeout();
        Events events(backend);
        const MessageCapture capture;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(backend.enableAutostart(), refusal.isEmpty());
        // A second countdown is refused and the first goes on as planned; a
        // refusal leaves no timer behind.
        QVERIFY(!backend.enableAutostart());
        QCOMPARE(capture.trace(),
                 (refusal.isEmpty() ? QStringList{inProgress} : QStringList{refusal, refusal}));
        QCOMPARE(backend.isAutoStartEnabled(), settings.contains("tile"));
        QTRY_COMPARE_WITH_TIMEOUT(events.list.size(), afterTicks.size(), timeout * 1000 + 20000);
        QTest::qWait(100);
        QCOMPARE(events.list, afterTicks);
        QVERIFY(clock.elapsed() >= timeout * 950 - 50); // coarse timers fire up to 5 % early

        // Ticks never rise and never exceed the timeout less one.
        QVERIFY(events.ticks.size() <= timeout && (timeout < 2 || !events.ticks.isEmpty()));
        QList<int> bounded = events.ticks;
        std::sort(bounded.rbegin(), bounded.rend());
        for (int& secs : bounded)
            secs = qBound(0, secs, timeout - 1);
        QCOMPARE(events.ticks, bounded);
        if (settings.contains("player")) // the controller was asked for the log
            QCOMPARE(QDir(backend.defaultLogPath()).entryList({"player-*.log"}).size(), 1);
        // Both timers are gone: a new countdown may begin.
        QCOMPARE(backend.enableAutostart(), refusal.isEmpty());
    }

    // Cancelling always signals, also without a countdown; destroying the
    // Backend ends a countdown without a signal or a start.
    void disableAndDestroy()
    {
        const DataFolders folders;
        auto backend = std::make_unique<Backend>();
        QVERIFY(load(*backend, "[autostart]\ntile=broken\ntimeout=0\n"));
        Events events(*backend);
        backend->disableAutostart();
        QVERIFY(backend->enableAutostart());
        backend->disableAutostart();
        QTest::qWait(100);
        QVERIFY(backend->enableAutostart());
        backend.reset();
        QTest::qWait(100);
        QCOMPARE(events.list, (QStringList{"disabled", "disabled"}));
    }

    void initialize_data()
    {
        // "path content": %1 the user folder, %2 the machine folder, %3 the log folder
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("trace");
        QTest::addColumn<bool>("counting");

        QTest::newRow("nothing at all")
            << QStringList() << QStringList{"info: Loaded 0 applications"} << false;
        QTest::newRow("user file hides the machine's")
            << QStringList{"%1/launcher.ini [logs]\nrotate-period=60",
                           "%2/launcher.ini [autostart]\ntile=a", "%1/apps/a.ini"}
            << QStringList{"info: Loading settings from '%1/launcher.ini'",
                           "info: Loaded 1 applications",
                           "info: Compressed old log file '%3/old.log'"}
            << false;
        QTest::newRow("machine file, countdown")
            << QStringList{"%2/launcher.ini [autostart]\ntile=c\n[logs]\nrotate-period=60",
                           "%1/apps/a.ini", "%1/apps/b.ini", "%2/apps/c.ini"}
            << QStringList{"info: Loading settings from '%2/launcher.ini'",
                           "info: Loaded 3 applications",
                           "info: Compressed old log file '%3/old.log'"}
            << true;
    }

    void initialize()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, trace);
        QFETCH(bool, counting);

        const DataFolders folders;
        Backend backend;
        for (QStringList* list : {&files, &trace})
            list->replaceInStrings("%1", folders.user())
                .replaceInStrings("%2", folders.machine())
                .replaceInStrings("%3", backend.defaultLogPath());
        for (const QString& file : qAsConst(files))
            QVERIFY(writeFile(file.section(' ', 0, 0), file.section(' ', 1).toUtf8()));
        QFile log(backend.defaultLogPath() + "/old.log"); // old for a period of 60 s only
        QVERIFY(writeFile(log.fileName(), "a line\n") && log.open(QIODevice::Append) &&
                log.setFileTime(QDateTime::currentDateTime().addSecs(-120),
                                QFileDevice::FileModificationTime));
        log.close();

        const MessageCapture capture;
        QVERIFY(backend.initialize());
        QCOMPARE(capture.trace(), trace);
        // Only a running countdown refuses another one with the warning.
        QVERIFY(!backend.enableAutostart());
        QCOMPARE(capture.trace().constLast() == inProgress, counting);
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "TestAutostart.moc"
