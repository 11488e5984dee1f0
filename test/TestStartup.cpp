#include "Backend.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <sys/stat.h>

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

bool setAge(const QString& path, qint64 ageSecs)
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch() - ageSecs * 1000;
    const timespec time{ms / 1000, (ms % 1000) * 1000000};
    const timespec times[2] = {time, time};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace

// The whole start-up of a Backend, with both data folders inside a temporary folder.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(QStringLiteral("user"))));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_dir->filePath(QStringLiteral("machine"))));
        g_trace.clear();
        m_previousHandler = qInstallMessageHandler(captureTrace);
    }

    void cleanup()
    {
        qInstallMessageHandler(m_previousHandler);
        m_dir.reset();
    }

    void initialize_data()
    {
        QTest::addColumn<QByteArray>("userSettings"); // empty: no file
        QTest::addColumn<QByteArray>("machineSettings");
        QTest::addColumn<QStringList>("userApps");
        QTest::addColumn<QStringList>("machineApps");
        QTest::addColumn<int>("logAge"); // of logs/old.log, 0: no log
        // %1 the user data folder, %2 the machine data folder, %3 the log folder
        QTest::addColumn<QStringList>("trace");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<bool>("counting");

        QTest::newRow("nothing at all")
            << QByteArray() << QByteArray() << QStringList() << QStringList() << 0
            << QStringList{"info: Loaded 0 applications"} << 60 << false;
        QTest::newRow("user settings hide the machine's")
            << QByteArray("[autostart]\ntimeout=7\n")
            << QByteArray("[autostart]\ntile=a\n[logs]\nrotate-period=60\n") << QStringList{"a.ini"}
            << QStringList() << 120
            << QStringList{"info: Loading settings from '%1/launcher.ini'",
                           "info: Loaded 1 applications"}
            << 7 << false;
        QTest::newRow("machine settings, merged apps, countdown")
            << QByteArray()
            << QByteArray("[autostart]\ntile=b\ntimeout=2\n[logs]\nrotate-period=60\n")
            << QStringList{"a.ini", "b.ini", "notes.txt"} << QStringList{"b.ini", "c.ini"} << 120
            << QStringList{"info: Loading settings from '%2/launcher.ini'",
                           "info: Loaded 3 applications",
                           "info: Compressed old log file '%3/old.log'"}
            << 2 << true;
        QTest::newRow("autostart pipeline not loaded")
            << QByteArray("[autostart]\ntile=ghost\n") << QByteArray() << QStringList{"a.ini"}
            << QStringList() << 90000
            << QStringList{"info: Loading settings from '%1/launcher.ini'",
                           "info: Loaded 1 applications",
                           "info: Compressed old log file '%3/old.log'",
                           "error: Unable to enable autostart: the specified autostart pipeline "
                           "'ghost' does not exist"}
            << 60 << false;
    }

    void initialize()
    {
        QFETCH(QByteArray, userSettings);
        QFETCH(QByteArray, machineSettings);
        QFETCH(QStringList, userApps);
        QFETCH(QStringList, machineApps);
        QFETCH(int, logAge);
        QFETCH(QStringList, trace);
        QFETCH(int, timeout);
        QFETCH(bool, counting);

        Backend backend;
        const QString user = backend.userDataPath();
        const QString machine = backend.systemDataPath();
        if (!userSettings.isEmpty())
            QVERIFY(writeFile(user + "/launcher.ini", userSettings));
        if (!machineSettings.isEmpty())
            QVERIFY(writeFile(machine + "/launcher.ini", machineSettings));
        for (const QString& app : qAsConst(userApps))
            QVERIFY(writeFile(user + "/apps/" + app, "[ui]\nname=user " + app.toUtf8() + "\n"));
        for (const QString& app : qAsConst(machineApps))
            QVERIFY(
                writeFile(machine + "/apps/" + app, "[ui]\nname=machine " + app.toUtf8() + "\n"));
        const QString log = backend.defaultLogPath() + "/old.log";
        if (logAge) {
            QVERIFY(writeFile(log, "a line\n"));
            QVERIFY(setAge(log, logAge));
        }

        QSignalSpy ticks(&backend, &Backend::autostartTimeRemaining);
        QVERIFY(backend.initialize());
        for (QString& line : trace)
            line.replace("%1", user).replace("%2", machine).replace("%3", backend.defaultLogPath());
        QCOMPARE(g_trace, trace);
        QCOMPARE(backend.autostartTimeout(), timeout);
        if (logAge) {
            const bool compressed = trace.join('\n').contains("Compressed old log file");
            QCOMPARE(QFileInfo::exists(log), !compressed);
            QCOMPARE(QFileInfo::exists(log + ".gz"), compressed);
        }

        // A running countdown refuses a second one; otherwise the refusal has
        // another reason.
        g_trace.clear();
        QVERIFY(!backend.enableAutostart());
        QCOMPARE(g_trace.value(0) ==
                     "warning: Unable to enable autostart: autostart is already in progress.",
                 counting);
        if (counting)
            QVERIFY(ticks.wait(5000));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QtMessageHandler m_previousHandler = nullptr;
};

QTEST_GUILESS_MAIN(TestStartup)
#include "TestStartup.moc"
