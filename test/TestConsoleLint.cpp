// The console on configuration files: names, arguments and paths in UTF-8
// reach the child intact, list only looks, and check's exit status.

#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QDateTime>
#include <QProcess>
#include <QTest>

#include <tuple>
#include <utility>

namespace {

// The launcher's exit code and everything it wrote, or -1 when it did not end.
std::pair<int, QString> runLauncher(const QStringList& arguments)
{
    QProcess launcher;
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    launcher.start(LAUNCHER_PROGRAM, arguments);
    const bool ended = launcher.waitForFinished(60000);
    if (!ended)
        launcher.kill();
    return {ended ? launcher.exitCode() : -1, QString::fromUtf8(launcher.readAll())};
}

} // namespace

class TestConsoleLint : public QObject
{
    Q_OBJECT

private slots:
    void utf8AndListOnlyLooks()
    {
        const QTemporaryDir home;
        const QString data = home.filePath("Orvalen/launcher");
        const QString folder = home.filePath("Caf\u00e9 \u00d6l");
        QVERIFY(QDir().mkpath(folder + "/R\u00e9pertoire"));
        QVERIFY(QFile::copy(helperPath(), folder + "/h\u00e9lper"));
        QVERIFY(writeFile(data + "/apps/app.ini",
                          ("[ui]\nname=Caf\u00e9\n[process-0]\nexec=" + folder +
                           "/h\u00e9lper\nworking-directory=" + folder +
                           "/R\u00e9pertoire\nmode=sync\nrequired=true\n"
                           "arguments=--write, Gr\u00fc\u00dfe\\\\n, --print-cwd\n")
                              .toUtf8()));
        QFile old(data + "/logs/old.log");
        QVERIFY(writeFile(old.fileName(), "x") && old.open(QIODevice::Append));
        QVERIFY(old.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                QFileDevice::FileModificationTime));

        auto [status, output] = runLauncher({"--data-home", home.path(), "list"});
        QVERIFY2(status == 0 && output.contains("app  Caf\u00e9  1 process "), qPrintable(output));
        QVERIFY(old.exists());

        std::tie(status, output) = runLauncher({"--data-home", home.path(), "run", "app"});
        QVERIFY2(status == 0 && output.contains("] Gr\u00fc\u00dfe\n") &&
                     output.contains("] cwd=" + folder + "/R\u00e9pertoire\n"),
                 qPrintable(output));
        QVERIFY(!old.exists() && QFile::exists(old.fileName() + ".gz"));
    }

    void checkStatus_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("strict");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected");

        const QByteArray helper = "[process-0]\nmode=sync\nexec=" + helperPath().toUtf8() + '\n';
        QTest::newRow("warning") << helper + "argumets=x\n"
                                 << false << 0 << "warning: [process-0] argumets: unknown key";
        QTest::newRow("warning, strict") << helper + "argumets=x\n"
                                         << true << 1 << "valid, with warnings";
        QTest::newRow("error") << helper + "required=off\n" << false << 1 << "'off' reads as true";
        QTest::newRow("named process")
            << QByteArray("[process-7]\nexec=/no/such\nmode=sync\n") << false << 1
            << "error: process-7: executable '/no/such' does not exist";
    }

    void checkStatus()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, strict);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const QTemporaryDir folder;
        QVERIFY(writeFile(folder.filePath("app.ini"), content));
        QStringList arguments{"check", folder.filePath("app.ini")};
        if (strict)
            arguments.append("--strict");
        const auto [status, output] = runLauncher(arguments);
        QVERIFY2(output.contains(expected), qPrintable(output));
        QCOMPARE(status, exitCode);
    }
};

LAUNCHER_TEST(TestConsoleLint)
#include "TestConsoleLint.moc"
