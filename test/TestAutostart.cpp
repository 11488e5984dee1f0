#include "Backend.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QStringList g_trace;

void captureTrace(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (QLatin1String(context.category) != QLatin1String("solvane.trace"))
        return;
    const char* level = type == QtInfoMsg ? "info" : type == QtWarningMsg ? "warning" : "error";
    g_trace.append(QLatin1String(level) + QStringLiteral(": ") + text);
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(text) == text.size();
}

// What a front end sees of a countdown, in order, with the controller's state
// at the moment the countdown ends.
class Events : public QObject
{
public:
    explicit Events(Backend& backend)
    {
        m_clock.start();
        connect(&backend, &Backend::autostartTimeRemaining, this,
                [this](int secs) { m_list << QStringLiteral("tick %1").arg(secs); });
        connect(&backend, &Backend::autostartDisabled, this, [this, &backend] {
            m_disabledAfterMs = m_clock.elapsed();
            const bool running =
                backend.pipelineController()->state() == PipelineController::PipelineState::Running;
            m_list << (running ? QStringLiteral("disabled, running") : QStringLiteral("disabled"));
        });
        connect(&backend, &Backend::pipelineStarted, this,
                [this](const QString& basename) { m_list << "started " + basename; });
        connect(&backend, &Backend::pipelineFinished, this,
                [this](const QString& basename, PipelineController::PipelineFinishReason reason) {
                    m_list << QStringLiteral("finished %1 %2").arg(basename).arg(reason);
                });
        connect(&backend, &Backend::pipelineFailure, this,
                [this](const QString& basename, PipelineController::PipelineFailureReason reason) {
                    m_list << QStringLiteral("failure %1 %2").arg(basename).arg(reason);
                });
    }

    const QStringList& list() const { return m_list; }
    QList<int> ticks() const
    {
        QList<int> values;
        for (const QString& event : m_list) {
            if (event.startsWith(QLatin1String("tick ")))
                values << event.mid(5).toInt();
        }
        return values;
    }
    QStringList withoutTicks() const
    {
        QStringList events = m_list;
        events.erase(std::remove_if(events.begin(), events.end(),
                                    [](const QString& event) {
                                        return event.startsWith(QLatin1String("tick "));
                                    }),
                     events.end());
        return events;
    }
    qint64 disabledAfterMs() const { return m_disabledAfterMs; }
    qint64 elapsed() const { return m_clock.elapsed(); }

private:
    QStringList m_list;
    QElapsedTimer m_clock;
    qint64 m_disabledAfterMs = -1;
};

} // namespace

// The autostart countdown with real timers, over pipelines loaded from files
// in a temporary per-user data folder: "player" runs test-helper, "broken"
// names a program that does not exist and is refused by the controller.
class TestAutostart : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(QStringLiteral("user"))));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_dir->filePath(QStringLiteral("machine"))));
        const QString apps = Backend().userDataPath() + QStringLiteral("/apps");
        const QByteArray helper =
            QFile::encodeName(QCoreApplication::applicationDirPath() + "/test-helper");
        QVERIFY(writeFile(apps + "/player.ini",
                          "[ui]\nname=Player\n[process-0]\nmode=sync\nexec=" + helper + "\n"));
        QVERIFY(
            writeFile(apps + "/broken.ini", "[process-0]\nmode=sync\nexec=/nonexistent/program\n"));
        g_trace.clear();
        m_previousHandler = qInstallMessageHandler(captureTrace);
    }

    void cleanup()
    {
        qInstallMessageHandler(m_previousHandler);
        m_dir.reset();
    }

    void countdown_data()
    {
        QTest::addColumn<QString>("tile");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<QStringList>("afterTicks");

        QTest::newRow("3 s, started")
            << "player" << 3
            << QStringList{
                   "disabled, running", "started player",
                   QStringLiteral("finished player %1").arg(PipelineController::NormalFinish)};
        QTest::newRow("1 s, refused by the controller")
            << "broken" << 1
            << QStringList{QStringLiteral("failure broken %1")
                               .arg(PipelineController::InvalidPipelineFailure),
                           "disabled"};
    }

    void countdown()
    {
        QFETCH(QString, tile);
        QFETCH(int, timeout);
        QFETCH(QStringList, afterTicks);

        Backend backend;
        loadSettings(
            backend,
            QStringLiteral("[autostart]\ntile=%1\ntimeout=%2\n").arg(tile).arg(timeout).toUtf8());
        Events events(backend);
        QVERIFY(backend.enableAutostart());
        QVERIFY(events.list().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(events.withoutTicks().size(), afterTicks.size(),
                                  timeout * 1000 + 20000);
        QCOMPARE(events.withoutTicks(), afterTicks);

        // Ticks come first, never rise and never exceed the timeout less one.
        const QList<int> ticks = events.ticks();
        QCOMPARE(events.list().mid(0, ticks.size()),
                 events.list().mid(0, ticks.size()).filter("tick "));
        QVERIFY2(ticks.size() <= timeout, qPrintable(events.list().join(", ")));
        if (timeout > 1)
            QVERIFY2(!ticks.isEmpty(), "no tick in a countdown of several seconds");
        for (int i = 0; i < ticks.size(); ++i) {
            QVERIFY2(ticks[i] >= 0 && ticks[i] <= timeout - 1,
                     qPrintable(events.list().join(", ")));
            QVERIFY2(i == 0 || ticks[i] <= ticks[i - 1], qPrintable(events.list().join(", ")));
        }
        // Coarse timers may fire up to 5 % early.
        QVERIFY2(events.disabledAfterMs() >= timeout * 950 - 50,
                 qPrintable(QString::number(events.disabledAfterMs())));

        // The log was asked for: the controller opened it in the default log folder.
        if (tile == QLatin1String("player")) {
            const QString log = QStringLiteral("%1/player-%2.log").arg(backend.defaultLogPath());
            QVERIFY(QFileInfo::exists(log.arg(QDate::currentDate().toString("yyyy-MM-dd"))) ||
                    QFileInfo::exists(
                        log.arg(QDate::currentDate().addDays(-1).toString("yyyy-MM-dd"))));
        }

        // Both timers are gone: a new countdown may begin.
        QVERIFY(backend.enableAutostart());
        backend.disableAutostart();
    }

    void secondEnableIsRefused()
    {
        Backend backend;
        loadSettings(backend, "[autostart]\ntile=broken\ntimeout=2\n");
        Events events(backend);
        QVERIFY(backend.enableAutostart());
        QTRY_VERIFY_WITH_TIMEOUT(!events.list().isEmpty(), 10000);

        g_trace.clear();
        QVERIFY(!backend.enableAutostart());
        QCOMPARE(
            g_trace,
            QStringList{"warning: Unable to enable autostart: autostart is already in progress."});

        // The first countdown ends as planned: a restarted one would end a second later.
        QTRY_VERIFY_WITH_TIMEOUT(events.list().contains("disabled"), 20000);
        QCOMPARE(
            events.withoutTicks(),
            (QStringList{
                QStringLiteral("failure broken %1").arg(PipelineController::InvalidPipelineFailure),
                "disabled"}));
        QVERIFY2(events.disabledAfterMs() < 2700,
                 qPrintable(QString::number(events.disabledAfterMs())));
    }

    void disableDuringCountdown()
    {
        Backend backend;
        loadSettings(backend, "[autostart]\ntile=player\ntimeout=1\n");
        Events events(backend);
        QVERIFY(backend.enableAutostart());
        backend.disableAutostart();
        QCOMPARE(events.list(), QStringList{"disabled"});

        QTest::qWait(1500);
        QCOMPARE(events.list(), QStringList{"disabled"});
        QCOMPARE(backend.pipelineController()->state(),
                 PipelineController::PipelineState::NotRunning);

        QVERIFY(backend.enableAutostart());
        backend.disableAutostart();
        QCOMPARE(events.list(), (QStringList{"disabled", "disabled"}));
    }

    void disableWithoutCountdown()
    {
        Backend backend;
        Events events(backend);
        backend.disableAutostart();
        QCOMPARE(events.list(), QStringList{"disabled"});
        QCOMPARE(g_trace, QStringList());
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("message");

        QTest::newRow("no tile") << QByteArray("[autostart]\ntimeout=1\n")
                                 << "error: Unable to enable autostart: no autostart pipeline is "
                                    "configured";
        QTest::newRow("unknown tile")
            << QByteArray("[autostart]\ntile=ghost\n")
            << "error: Unable to enable autostart: the specified autostart pipeline 'ghost' does "
               "not exist";
        QTest::newRow("letter case differs")
            << QByteArray("[autostart]\ntile=Player\n")
            << "error: Unable to enable autostart: the specified autostart pipeline 'Player' does "
               "not exist";
        // The settings reader takes the file as Latin-1; the trace carries UTF-8.
        QTest::newRow("non-ASCII name")
            << QByteArray("[autostart]\ntile=St\xf6rung\n")
            << QStringLiteral("error: Unable to enable autostart: the specified autostart pipeline "
                              "'St\u00f6rung' does not exist");
    }

    void refused()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, message);

        Backend backend;
        loadSettings(backend, settings);
        Events events(backend);
        QVERIFY(!backend.enableAutostart());
        QCOMPARE(g_trace, QStringList{message});
        QCOMPARE(backend.isAutoStartEnabled(), !backend.autostartTile().isEmpty());

        // No timer was left behind: a valid countdown may begin at once.
        loadSettings(backend, "[autostart]\ntile=player\ntimeout=1\n");
        QVERIFY(backend.enableAutostart());
        QVERIFY(events.list().isEmpty());
        backend.disableAutostart();
    }

    void timeoutZero()
    {
        Backend backend;
        loadSettings(backend, "[autostart]\ntile=broken\ntimeout=0\n");
        Events events(backend);
        QVERIFY(backend.enableAutostart());
        QVERIFY(events.list().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(events.list().contains("disabled"), 10000);
        QCOMPARE(
            events.list(),
            (QStringList{
                QStringLiteral("failure broken %1").arg(PipelineController::InvalidPipelineFailure),
                "disabled"}));
    }

    void destructionEndsTheCountdownSilently()
    {
        auto backend = std::make_unique<Backend>();
        loadSettings(*backend, "[autostart]\ntile=broken\ntimeout=0\n");
        Events events(*backend);
        QVERIFY(backend->enableAutostart());
        backend.reset();
        QTest::qWait(50);
        QCOMPARE(events.list(), QStringList());
    }

private:
    void loadSettings(Backend& backend, const QByteArray& text)
    {
        QVERIFY(writeFile(backend.userSettingsFile().absoluteFilePath(), text));
        QVERIFY(backend.loadConfig(backend.userSettingsFile()));
        if (backend.processPipelines().isEmpty())
            QCOMPARE(backend.loadApplications(), 2);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QtMessageHandler m_previousHandler = nullptr;
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "TestAutostart.moc"
