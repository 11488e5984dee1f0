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

QList<QPair<QtMsgType, QString>> g_captured;
void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (QByteArray(context.category) == "solvane.trace")
        g_captured.append({type, text});
}

// A null variant unsets the variable.
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
    void cleanup()
    {
        TimeStamp::setClock(nullptr);
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("XDG_CONFIG_DIRS");
    }

    void timeStampRepresentation()
    {
        const TimeStamp halfSecond((qint64(1700000000) << 24) | 0x7FFFFF);
        QCOMPARE(halfSecond.seconds(), qint64(1700000000));
        QCOMPARE(halfSecond.fraction(), quint32(0x7FFFFF));
        const TimeStamp beyond2038((qint64(4102444800) << 24) | 1);
        QCOMPARE(beyond2038.seconds(), qint64(4102444800));
        QCOMPARE(TimeStamp(-(qint64(1) << 23)).seconds(), qint64(-1)); // arithmetic shift

        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const TimeStamp now = TimeStamp::currentTime();
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        const qint64 nowMs = now.seconds() * 1000 + (qint64(now.fraction()) * 1000 >> 24);
        QVERIFY(nowMs >= before - 1 && nowMs <= after + 1);
    }

    void timeStampClockCanBeSubstituted()
    {
        TimeStamp::setClock(fakeClock);
        g_fakeNow = qint64(1000) << 24;
        const TimeStamp then = TimeStamp::currentTime();
        QCOMPARE(then.value(), g_fakeNow);
        g_fakeNow += (qint64(11) << 24) + (qint64(1) << 23);
        QCOMPARE(then.sinceSecondsD(), 11.5);
        QCOMPARE(TimeStamp::fromSecondsD(1000.5).value(), (qint64(1000) << 24) | 0x800000);
        TimeStamp::setClock(nullptr);
        QVERIFY(TimeStamp::currentTime().seconds() > 1700000000);
    }

    void dataFolders_data()
    {
        QTest::addColumn<QVariant>("dataHome");
        QTest::addColumn<QVariant>("configDirs");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("machine");
        const QString home = QDir::homePath() + QStringLiteral("/.local/share/m");
        QTest::newRow("set") << QVariant("/srv/data") << QVariant("/opt/etc") << "/srv/data/m"
                             << "/opt/etc";
        QTest::newRow("separators kept")
            << QVariant("/srv/data/") << QVariant("/a/:/b") << "/srv/data//m"
            << "/a/";
        QTest::newRow("empty entries skipped") << QVariant("/d") << QVariant("::/b:/c") << "/d/m"
                                               << "/b";
        QTest::newRow("empty") << QVariant("") << QVariant("") << home << "/etc/xdg";
        QTest::newRow("only separators") << QVariant("") << QVariant("::") << home << "/etc/xdg";
        QTest::newRow("unset") << QVariant() << QVariant() << home << "/etc/xdg";
    }

    void dataFolders()
    {
        QFETCH(QVariant, dataHome);
        QFETCH(QVariant, configDirs);
        setEnv("XDG_DATA_HOME", dataHome);
        setEnv("XDG_CONFIG_DIRS", configDirs);
        QTEST(PlatformUtils::getModuleUserDataPath("m", false), "user");
        QTEST(PlatformUtils::windowsProgramDataPath(), "machine");
        // Read anew on every call.
        qputenv("XDG_DATA_HOME", "/changed");
        qputenv("XDG_CONFIG_DIRS", "/changed");
        QCOMPARE(PlatformUtils::getModuleUserDataPath("m", false), QStringLiteral("/changed/m"));
        QCOMPARE(PlatformUtils::windowsProgramDataPath(), QStringLiteral("/changed"));
    }

    void traceGoesThroughTheMessageHandler()
    {
        g_captured.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        const QByteArray longText(10000, 'x');
        Trace::info("Loaded %d applications", 3);
        Trace::warning("Unable to enable autostart: %s", "busy");
        Trace::error("path '%s'", "/tmp/\xc3\xa4");
        Trace::info("%s|", longText.constData());
        QLoggingCategory::setFilterRules(QStringLiteral("solvane.trace.info=false"));
        Trace::info("filtered out");
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(previous);

        const QList<QPair<QtMsgType, QString>> expected = {
            {QtInfoMsg, QStringLiteral("Loaded 3 applications")},
            {QtWarningMsg, QStringLiteral("Unable to enable autostart: busy")},
            {QtCriticalMsg, QStringLiteral("path '/tmp/\u00e4'")},
            {QtInfoMsg, QString::fromLatin1(longText) + QLatin1Char('|')},
        };
        QCOMPARE(g_captured, expected);
    }
};

QTEST_GUILESS_MAIN(TestSupport)
#include "TestSupport.moc"
