#include "support/PlatformUtils.h"
#include "support/TimeStamp.h"
#include "support/Trace.h"

#include <QDateTime>
#include <QDir>
#include <QTest>

using Solvane::PlatformUtils;
using Solvane::TimeStamp;
using Solvane::Trace;

namespace {

qint64 g_fakeNow = 0;
qint64 fakeClock()
{
    return g_fakeNow;
}

struct CapturedMessage
{
    QtMsgType type;
    QString category;
    QString text;
};
QList<CapturedMessage> g_captured;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_captured.append({type, QString::fromUtf8(context.category), text});
}

// Sets or unsets an environment variable for the scope of a test row.
void setEnv(const char* name, const QVariant& value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value.toString().toUtf8());
}

} // namespace

class TestSupport : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { TimeStamp::setClock(nullptr); }

    void timeStampRepresentation_data()
    {
        QTest::addColumn<qint64>("raw");
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<quint32>("fraction");
        QTest::newRow("zero") << qint64(0) << qint64(0) << quint32(0);
        QTest::newRow("one second") << (qint64(1) << 24) << qint64(1) << quint32(0);
        QTest::newRow("just under half")
            << ((qint64(1700000000) << 24) | 0x7FFFFF) << qint64(1700000000) << quint32(0x7FFFFF);
        QTest::newRow("beyond 2038")
            << ((qint64(4102444800) << 24) | 1) << qint64(4102444800) << quint32(1);
        QTest::newRow("negative") << -(qint64(1) << 23) << qint64(-1) << quint32(0x800000);
    }

    void timeStampRepresentation()
    {
        QFETCH(qint64, raw);
        QFETCH(qint64, seconds);
        QFETCH(quint32, fraction);
        const TimeStamp stamp(raw);
        QCOMPARE(stamp.value(), raw);
        QCOMPARE(stamp.seconds(), seconds);
        QCOMPARE(stamp.fraction(), fraction);
    }

    void timeStampFollowsTheWallClock()
    {
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const TimeStamp now = TimeStamp::currentTime();
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        const qint64 stampMs = now.seconds() * 1000 + (qint64(now.fraction()) * 1000 >> 24);
        QVERIFY2(
            stampMs >= before - 1 && stampMs <= after + 1,
            qPrintable(QStringLiteral("%1 not in [%2, %3]").arg(stampMs).arg(before).arg(after)));
        QVERIFY(qAbs(now.sinceSecondsD()) < 1.0);
    }

    void timeStampClockCanBeSubstituted()
    {
        TimeStamp::setClock(fakeClock);
        g_fakeNow = qint64(1000) << 24;
        const TimeStamp then = TimeStamp::currentTime();
        QCOMPARE(then.value(), g_fakeNow);
        g_fakeNow += (qint64(11) << 24) + (qint64(1) << 23); // 11.5 s later
        QCOMPARE(then.sinceSecondsD(), 11.5);
        QCOMPARE(TimeStamp::fromSecondsD(1000.5).value(), (qint64(1000) << 24) | 0x800000);
        TimeStamp::setClock(nullptr);
        QVERIFY(TimeStamp::currentTime().seconds() > 1700000000);
    }

    void userDataPath_data()
    {
        QTest::addColumn<QVariant>("dataHome");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("set") << QVariant("/srv/data") << "/home/u"
                             << "/srv/data/Orvalen/launcher";
        QTest::newRow("trailing separator kept") << QVariant("/srv/data/") << "/home/u"
                                                 << "/srv/data//Orvalen/launcher";
        QTest::newRow("empty") << QVariant("") << "/home/u"
                               << "/home/u/.local/share/Orvalen/launcher";
        QTest::newRow("unset") << QVariant() << "/home/v"
                               << "/home/v/.local/share/Orvalen/launcher";
    }

    void userDataPath()
    {
        QFETCH(QVariant, dataHome);
        QFETCH(QString, home);
        QFETCH(QString, expected);
        const QByteArray savedHome = qgetenv("HOME");
        const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
        setEnv("HOME", home);
        setEnv("XDG_DATA_HOME", dataHome);
        const QString path = PlatformUtils::getModuleUserDataPath("Orvalen/launcher", false);
        qputenv("HOME", savedHome);
        qputenv("XDG_DATA_HOME", savedDataHome);
        QCOMPARE(path, expected);
    }

    void machineDataPath_data()
    {
        QTest::addColumn<QVariant>("configDirs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("single") << QVariant("/opt/etc") << "/opt/etc";
        QTest::newRow("first of several") << QVariant("/a:/b") << "/a";
        QTest::newRow("empty entries skipped") << QVariant("::/b/:/c") << "/b/";
        QTest::newRow("empty") << QVariant("") << "/etc/xdg";
        QTest::newRow("only separators") << QVariant("::") << "/etc/xdg";
        QTest::newRow("unset") << QVariant() << "/etc/xdg";
    }

    void machineDataPath()
    {
        QFETCH(QVariant, configDirs);
        QFETCH(QString, expected);
        setEnv("XDG_CONFIG_DIRS", configDirs);
        const QString path = PlatformUtils::windowsProgramDataPath();
        qunsetenv("XDG_CONFIG_DIRS");
        QCOMPARE(path, expected);
    }

    void dataPathsAreNotCached()
    {
        qputenv("XDG_DATA_HOME", "/first");
        qputenv("XDG_CONFIG_DIRS", "/one");
        const QString user1 = PlatformUtils::getModuleUserDataPath("m", false);
        const QString machine1 = PlatformUtils::windowsProgramDataPath();
        qputenv("XDG_DATA_HOME", "/second");
        qputenv("XDG_CONFIG_DIRS", "/two");
        const QString user2 = PlatformUtils::getModuleUserDataPath("m", false);
        const QString machine2 = PlatformUtils::windowsProgramDataPath();
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("XDG_CONFIG_DIRS");
        QCOMPARE(user1, QStringLiteral("/first/m"));
        QCOMPARE(user2, QStringLiteral("/second/m"));
        QCOMPARE(machine1, QStringLiteral("/one"));
        QCOMPARE(machine2, QStringLiteral("/two"));
    }

    void traceGoesThroughTheMessageHandler()
    {
        g_captured.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        const QByteArray longText(10000, 'x');
        Trace::info("Loaded %d applications", 3);
        Trace::warning("Unable to enable autostart: %s", "busy");
        Trace::error("path '%s'", "/tmp/\xc3\xa4"); // UTF-8 passes unchanged
        Trace::info("%s|", longText.constData());
        Trace::info("%s", "");
        qInstallMessageHandler(previous);

        QCOMPARE(g_captured.size(), 5);
        const QList<QtMsgType> types = {QtInfoMsg, QtWarningMsg, QtCriticalMsg, QtInfoMsg,
                                        QtInfoMsg};
        for (int i = 0; i < g_captured.size(); ++i) {
            QCOMPARE(g_captured[i].category, QStringLiteral("solvane.trace"));
            QCOMPARE(g_captured[i].type, types[i]);
        }
        QCOMPARE(g_captured[0].text, QStringLiteral("Loaded 3 applications"));
        QCOMPARE(g_captured[1].text, QStringLiteral("Unable to enable autostart: busy"));
        QCOMPARE(g_captured[2].text, QStringLiteral("path '/tmp/\u00e4'"));
        QCOMPARE(g_captured[3].text, QString::fromLatin1(longText) + QLatin1Char('|'));
        QCOMPARE(g_captured[4].text, QString());
    }

    void traceCanBeFilteredByCategory()
    {
        g_captured.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        QLoggingCategory::setFilterRules(QStringLiteral("solvane.trace.info=false"));
        Trace::info("hidden");
        Trace::error("shown");
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(previous);
        QCOMPARE(g_captured.size(), 1);
        QCOMPARE(g_captured[0].text, QStringLiteral("shown"));
    }
};

QTEST_GUILESS_MAIN(TestSupport)
#include "TestSupport.moc"
