// The console on configuration files: arguments and paths in UTF-8 reach the
// child intact, and check fails on a warning only with --strict.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QTest>

class TestConsoleLint : public QObject
{
    Q_OBJECT

    // Everything the launcher wrote, and its exit code last.
    static QString run(const QStringList& arguments)
    {
        const auto [code, output] = runProgram(LAUNCHER_PROGRAM, arguments);
        return QString::fromUtf8(output) + QString::number(code);
    }

private slots:
    void utf8AndStrictCheck()
    {
        const QTemporaryDir home;
        const QString data = home.filePath("Orvalen/launcher");
        const QString folder = home.filePath("Caf\u00e9 \u00d6l");
        QVERIFY(QDir().mkpath(folder + "/R\u00e9pertoire") &&
                QFile::copy(helperPath(), folder + "/h\u00e9lper"));
        QVERIFY(writeFile(data + "/apps/app.ini",
                          ("[ui]\nname=Caf\u00e9\n[process-0]\nexec=" + folder +
                           "/h\u00e9lper\nworking-directory=" + folder + "/R\u00e9pertoire\n" +
                           "mode=sync\narguments=--write, Gr\u00fc\u00dfe\\\\n, --print-cwd\n"
                           "argumets=x\n")
                              .toUtf8()));
        QVERIFY(run({"check", data + "/apps/app.ini"}).endsWith("valid, with warnings\n0"));
        QVERIFY(run({"check", "--strict", data + "/apps/app.ini"}).endsWith("warnings\n1"));
        const QString ran = run({"--data-home", home.path(), "run", "app"});
        QVERIFY2(ran.contains("] Gr\u00fc\u00dfe\n") && ran.endsWith("\n0") &&
                     ran.contains("] cwd=" + folder + "/R\u00e9pertoire\n"),
                 qPrintable(ran));
    }
};

LAUNCHER_TEST(TestConsoleLint)
#include "TestConsoleLint.moc"
