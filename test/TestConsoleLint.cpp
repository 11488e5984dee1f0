// The console on configuration files: names, arguments and paths in UTF-8
// reach the child intact, list only looks and names the process of a problem,
// and check fails on a warning only with --strict.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDateTime>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

class TestConsoleLint : public QObject
{
    Q_OBJECT

    // Everything the launcher wrote, and its exit code last.
    static QString run(const QStringList& arguments)
    {
        QProcess launcher;
        launcher.setProcessChannelMode(QProcess::MergedChannels);
        launcher.start(LAUNCHER_PROGRAM, arguments);
        launcher.waitForFinished(60000); // one that hangs is killed with the object
        return QString::fromUtf8(launcher.readAll()) + QString::number(launcher.exitCode());
    }

private slots:
    void utf8ListAndCheck()
    {
        const QTemporaryDir home;
        const QString data = home.filePath("Orvalen/launcher");
        const QString folder = home.filePath("Caf\u00e9 \u00d6l");
        QVERIFY(QDir().mkpath(folder + "/R\u00e9pertoire") &&
                QFile::copy(helperPath(), folder + "/h\u00e9lper"));
        QVERIFY(writeFile(
            data + "/apps/app.ini",
            ("[ui]\nname=Caf\u00e9\n[process-0]\nexec=" + folder +
             "/h\u00e9lper\nworking-directory=" + folder + "/R\u00e9pertoire\n" +
             "mode=sync\narguments=--write, Gr\u00fc\u00dfe\\\\n, --print-cwd\nargumets=x\n")
                .toUtf8()));
        QVERIFY(writeFile(data + "/apps/bad.ini", "[process-7]\nexec=/no/such\nmode=sync\n"));
        // Large enough that compressing it outlasts the run, which waits for it.
        QByteArray noise(16 << 20, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        QFile old(data + "/logs/old.log");
        QVERIFY(writeFile(old.fileName(), noise) && old.open(QIODevice::Append) &&
                old.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                QFileDevice::FileModificationTime));

        const QString list = run({"--data-home", home.path(), "list"});
        QVERIFY2(list.contains("app  Caf\u00e9  1 process ") &&
                     list.contains("process-7: executable '/no/such' does not exist\n") &&
                     list.contains("warning: [process-0] argumets: unknown key") && old.exists(),
                 qPrintable(list));
        QVERIFY(run({"check", data + "/apps/app.ini"}).endsWith("valid, with warnings\n0"));
        QVERIFY(run({"check", "--strict", data + "/apps/app.ini"}).endsWith("warnings\n1"));
        const QString ran = run({"--data-home", home.path(), "run", "app"});
        QVERIFY2(ran.contains("] Gr\u00fc\u00dfe\n") && ran.endsWith("\n0") &&
                     ran.contains("] cwd=" + folder + "/R\u00e9pertoire\n"),
                 qPrintable(ran));
        QVERIFY(!old.exists() && QFile::exists(old.fileName() + ".gz"));
    }
};

LAUNCHER_TEST(TestConsoleLint)
#include "TestConsoleLint.moc"
