// The backend as a QML front end sees it: the application model, the
// invokable start, stop and cancel, the last result, the log's tail and the
// autostart countdown. No QML engine is needed for that.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <sys/stat.h>

namespace {

// A pipeline file of one test-helper process and the given extra lines.
QByteArray appFile(const QString& name, const QString& mode, const QString& arguments = {},
                   const QByteArray& more = {})
{
    return ("[ui]\nname=" + name + "\nicon=" + name + ".png\n[process-0]\nexec=" + helperPath() +
            "\nmode=" + mode + (arguments.isEmpty() ? "" : "\narguments=" + arguments) + "\n")
               .toUtf8() +
           more;
}

// Data folders with these files below the user's one, by their paths there.
struct Folders : DataFolders
{
    explicit Folders(const QMap<QString, QByteArray>& files)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            written = written && writeFile(user() + '/' + it.key(), it.value());
    }
    bool written = true;
};

// How the application's one process ends: LINES is more than the tail holds.
// An exit code, as the failure screen shows it: TestLauncherScreen.
const struct
{
    const char* name;
    const char* arguments;
    // basename, name, outcome, reason, and index, program, exit code, signal and
    // crashed of the process that failed
    const char* result;
} Results[] = {
    {"normal, long log", "LINES, --write, done\\n", "app|App|normal||-1||0|0|false"},
    {"crash", "--write, done\\n, --crash",
     "app|App|failed|a required process failed|0|HELPER|0|9|true"},
};

} // namespace

class TestBackendFrontend : public QObject
{
    Q_OBJECT

private slots:
    // One row per application, with the process each problem belongs to; a
    // reload that changes nothing leaves the model alone, an edit changes its
    // row in place, a new application resets it.
    void applications()
    {
        Folders folders({{"apps/a.ini", appFile("A", "sync")},
                         {"apps/b.ini", appFile("B", "sync", {}, "[process-1]\nexec=/no/such\n")},
                         {"apps/c.ini", appFile("C", "daemon", {}, "restart-limt=2\n")},
                         {"launcher.ini", "[autostart]\ntile=b\n"}});
        QVERIFY(folders.written);
        Backend backend;
        QVERIFY(backend.load());
        ApplicationModel* model = backend.applications();
        QStringList rows;
        for (int row = 0; row < model->count(); ++row) {
            const QVariantMap shown = model->get(row);
            rows.append(QStringList{shown["basename"].toString(), shown["icon"].toString(),
                                    shown["valid"].toString(), shown["autostart"].toString(),
                                    shown["problems"].toStringList().join(','),
                                    QVariant(shown["problemProcesses"]).toStringList().join(','),
                                    shown["lintProblems"].toStringList().join(',')}
                            .join('|'));
        }
        QCOMPARE(rows, (QStringList{
                           "a|A.png|true|false|||",
                           "b|B.png|false|true|executable '/no/such' does not exist|1|",
                           "c|C.png|false|false|pipeline must contain at least one non-daemon "
                           "process.|-1|warning: [process-0] restart-limt: unknown key, ignored; "
                           "did you mean 'restart-limit'?"}));

        QSignalSpy reset(model, &QAbstractItemModel::modelReset);
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        QSignalSpy counted(model, &ApplicationModel::countChanged);
        QVERIFY(QMetaObject::invokeMethod(&backend, "reloadApplications"));
        QCOMPARE(reset.count() + changed.count() + counted.count(), 0);
        QVERIFY(writeFile(folders.user() + "/apps/b.ini", appFile("B edited", "sync")));
        backend.reload();
        QVERIFY(reset.isEmpty() && changed.count() == 1 && counted.isEmpty());
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(model->get(1).value("name").toString(), QString("B edited"));
        QVERIFY(writeFile(folders.user() + "/apps/d.ini", appFile("D", "sync")));
        backend.reload();
        QVERIFY(reset.count() == 1 && counted.count() == 1 && model->count() == 4);
    }

    // How a pipeline ended, as the map gives it, and the tail of its log: its
    // end, in whole lines, no more than 64 KiB of it.
    void lastResult_data() { addRows(Results); }

    void lastResult()
    {
        const auto& row = currentRow(Results);
        QString longLog; // more than the tail can hold
        for (int i = 0; i < 1000; ++i)
            longLog += QStringLiteral("--write, line %1 %2\\n, ").arg(i).arg(QString(64, 'x'));
        Folders folders({{"apps/app.ini",
                          appFile("App", "sync", QString(row.arguments).replace("LINES, ", longLog),
                                  "required=true")}});
        QVERIFY(folders.written);
        Backend backend;
        QVERIFY(backend.load());
        QSignalSpy running(&backend, &Backend::runningApplicationChanged);
        QSignalSpy resulted(&backend, &Backend::lastResultChanged);
        QVERIFY(backend.startApplication("app"));
        QTRY_VERIFY(backend.logTail(100).join('\n').contains("done"));
        QTRY_COMPARE_WITH_TIMEOUT(backend.property("pipelinePhase").toString(), QString("finished"),
                                  15000);
        QVERIFY(backend.runningApplication().isEmpty() && running.count() == 2 &&
                resulted.count() == 1);
        const QVariantMap map = backend.property("lastResult").toMap();
        QStringList fields;
        for (const char* key :
             {"basename", "name", "outcome", "failureReason", "failedProcessIndex", "failedProgram",
              "failedExitCode", "failedExitSignal", "failedCrashed"})
            fields.append(map.value(key).toString());
        QCOMPARE(fields.join('|'), QString(row.result).replace("HELPER", helperPath()));

        const QByteArray log = fileContent(map.value("logFile").toString());
        const QStringList lines = QString::fromUtf8(log).trimmed().split('\n');
        const QStringList tail = backend.logTail(5000);
        QCOMPARE(tail.size() == lines.size(), log.size() <= 64 * 1024);
        QVERIFY(tail.size() > 3 && tail.join('\n').size() <= 64 * 1024);
        QCOMPARE(tail, lines.mid(lines.size() - tail.size()));
        QVERIFY(backend.logTail(3) == lines.mid(lines.size() - 3) && backend.logTail(0).isEmpty());
    }

    // The countdown as a front end hears it, signal for signal: refused
    // starts that leave it as it was, a cancel that ends it for good (and is
    // told again when disabled again) so that it can begin anew, a reload that
    // counts down anew, one that cancels, a start that ends it, and an end
    // that starts the application before the countdown is gone.
    void countdown()
    {
        Folders folders({{"apps/app.ini", appFile("App", "sync")},
                         {"apps/broken.ini", appFile("B", "daemon")},
                         {"launcher.ini", "[autostart]\ntile=app\ntimeout=600"}});
        QVERIFY(folders.written);
        Backend backend;
        QVERIFY(backend.load());
        QStringList story;
        connect(&backend, &Backend::autostartSecondsChanged, this,
                [&] { story << "seconds " + QString::number(backend.autostartSeconds()); });
        connect(&backend, &Backend::autostartTimeRemaining, this,
                [&](int left) { story << "left " + QString::number(left); });
        connect(&backend, &Backend::autostartCancelled, this, [&] { story << "cancelled"; });
        // The end of the countdown comes once its application has started.
        connect(&backend, &Backend::autostartDisabled, this, [&] {
            story << "disabled" + backend.pipelineController()->pipelineConfig().basename;
        });

        QVERIFY(backend.enableAutostart());
        QVERIFY(!backend.startApplication("none") && !backend.startApplication("broken"));
        QVERIFY(backend.autostartRemainingSeconds() == 600 && backend.logTail(5).isEmpty());
        QVERIFY(QMetaObject::invokeMethod(&backend, "cancelAutostart"));
        QVERIFY(!backend.autostartActive() && backend.autostartRemainingSeconds() == -1);
        backend.disableAutostart();
        QVERIFY(backend.enableAutostart());
        const QString settings = folders.user() + "/launcher.ini";
        QVERIFY(writeFile(settings, "[autostart]\ntile=app\ntimeout=300"));
        backend.reload();
        QVERIFY(writeFile(settings, "[autostart]\ntile=gone\ntimeout=300"));
        backend.reload();
        QVERIFY(writeFile(settings, "[autostart]\ntile=app\ntimeout=1"));
        backend.reload();
        QVERIFY(backend.enableAutostart());
        QTRY_COMPARE_WITH_TIMEOUT(story.size(), 13, 30000);
        QTRY_COMPARE(backend.property("pipelinePhase").toString(), QString("finished"));
        QVERIFY(backend.enableAutostart() && backend.startApplication("app"));
        QCOMPARE(story.join('|'), QString("seconds 600|seconds -1|disabled|disabled|seconds 600|"
                                          "seconds 300|left 300|cancelled|seconds -1|disabled|"
                                          "seconds 1|seconds -1|disabledapp|seconds 1|seconds -1|"
                                          "disabledapp"));
        QTRY_COMPARE(backend.property("pipelinePhase").toString(), QString("finished"));
    }

    // What the numbers say after a scripted life: a daemon that crashes, is
    // restarted and given up, a stop, a failure, a reload and the daemon's
    // second run, whose counts add to the first's.
    void metricsOfARun()
    {
        ProcessMarker marker;
        const QString daemon = "--write, " + marker.text() + ", --delay, 0.2, --crash";
        const QString sync = "--write, " + marker.text() + ", --delay, 300";
        Folders folders({{"launcher.ini", "[autostart]\ntile=kiosk\ntimeout=600\n"},
                         {"apps/kiosk.ini",
                          appFile("Kiosk", "daemon", daemon,
                                  "label=sound\nrestart-on-crash=true\nrestart-limit=2\n"
                                  "memory-max=64M\n[process-1]\nlabel=screen\nmode=sync\nexec=" +
                                      helperPath().toUtf8() + "\narguments=" + sync.toUtf8())},
                         {"apps/check.ini",
                          appFile("Check", "sync", "--write, " + marker.text() + ", --exit, 3",
                                  "required=true\nlabel=check")}});
        QVERIFY(folders.written);
        Backend backend;
        QVERIFY(backend.load());
        QCOMPARE(backend.pipelinePhase(), QString("idle"));
        const qint64 began = QDateTime::currentSecsSinceEpoch();
        const auto runKiosk = [&backend] {
            QVERIFY(backend.startApplication("kiosk"));
            QTRY_VERIFY_WITH_TIMEOUT(
                backend.metricsText().contains(
                    "launcher_process_given_up{app=\"kiosk\",process=\"0\"} 1\n"),
                15000);
            const QByteArray text = backend.metricsText();
            // The phases by their words, which a renamed value must not rename.
            QVERIFY2(text.contains("phase{app=\"kiosk\",phase=\"starting\"} 0\nlauncher_pipeline_"
                                   "phase{app=\"kiosk\",phase=\"running\"} 1\nlauncher_pipeline_"
                                   "phase{app=\"kiosk\",phase=\"stopping\"} 0\n") &&
                         text.contains("memory_bytes{app=\"kiosk\",process=\"1\"} ") &&
                         !text.contains("memory_bytes{app=\"kiosk\",process=\"0\"} "),
                     text);
            QVERIFY(backend.pipelineController()->stop(15000));
        };
        runKiosk();
        QVERIFY(backend.startApplication("check"));
        QTRY_COMPARE_WITH_TIMEOUT(backend.pipelinePhase(), QString("finished"), 15000);
        backend.reload();
        runKiosk();
        // Application names as file names may have them: a label value escapes
        // a backslash, a quote and a line feed.
        PipelineConfig empty; // refused: nothing to run
        empty.basename = "say \"hi\"\\\n";
        QVERIFY(!backend.pipelineController()->start(empty, false));

        // The start times are the only values that vary from run to run.
        QString text = QString::fromUtf8(backend.metricsText());
        const QRegularExpression stamp("(timestamp_seconds\\S+) (\\d+)\n");
        for (auto match = stamp.globalMatch(text); match.hasNext();) {
            const qint64 at = match.next().captured(2).toLongLong();
            QVERIFY(at >= began && at <= QDateTime::currentSecsSinceEpoch());
        }
        text.replace(stamp, "\\1 T\n");
        QFile expected(QFINDTESTDATA("metrics-of-a-run.txt"));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        // Each application's log bytes are those of its files.
        QString want = QString::fromUtf8(expected.readAll()).replace("VERSION", Backend::version());
        for (const QString app : {"check", "kiosk"}) {
            qint64 bytes = 0;
            for (const QFileInfo& log :
                 QDir(backend.defaultLogPath()).entryInfoList({app + "-*.log"}, QDir::Files))
                bytes += log.size();
            want.replace(app.toUpper() + "_LOG", QString::number(bytes));
        }
        QCOMPARE(text, want);
    }

    // node_exporter serves the file while a process crashes, is restarted
    // and given up, each after the interval; where it cannot run, the file is
    // read directly. Its folder is a file at first: that is said once, not at
    // each interval's try, and once more when a write works again. The
    // folders that are refused, and a shared sticky one: TestHostileFolders.
    void metricsTextfile()
    {
        ProcessMarker marker;
        // node_exporter carries the marker in the folder it reads.
        QTemporaryDir temp(QDir::tempPath() + "/textfile-" + marker.text() + "-XXXXXX");
        const QString folder = temp.path() + "/metrics", path = folder + "/launcher.prom";
        const QString sync = "\n[process-1]\nmode=sync\nexec=" + helperPath() +
                             "\narguments=--write, " + marker.text() + ", --delay, 300\n";
        Folders folders(
            {{"launcher.ini", "[metrics]\ntextfile=" + path.toUtf8() + "\ninterval=1\n"},
             {"apps/kiosk.ini",
              appFile("Kiosk", "daemon", "--write, " + marker.text() + ", --delay, 1.5, --crash",
                      "restart-on-crash=true\nrestart-limit=2" + sync.toUtf8())}});
        QVERIFY(folders.written && writeFile(folder, "not a folder"));
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString address = "127.0.0.1:" + QString::number(probe.serverPort());
        probe.close();
        QProcess node;
        node.start(QStandardPaths::findExecutable("prometheus-node-exporter"),
                   {"--web.listen-address=" + address, "--collector.disable-defaults",
                    "--collector.textfile", "--collector.textfile.directory=" + folder});
        const bool scraped = node.waitForStarted() && !node.waitForFinished(500);
        if (!scraped)
            qInfo("node_exporter does not run here: the file is read directly");
        const auto read = [&] {
            return scraped ? runProgram("curl", {"-s", address + "/metrics"}).second
                           : fileContent(path);
        };
        const QByteArray givenUp = "launcher_process_given_up{app=\"kiosk\",process=\"0\"} 1\n";
        const MessageCapture messages;
        {
            Backend backend;
            QVERIFY(backend.load());
            QTRY_COMPARE_WITH_TIMEOUT(messages.count(folder, QtWarningMsg), 1, 15000);
            QTest::qWait(2500); // room for more tries, which must say nothing
            QVERIFY(QFile::remove(folder) && QDir().mkpath(folder));
            QVERIFY(backend.startApplication("kiosk"));
            // The first file, held open: its inode cannot be reused while it is.
            QFile first(path);
            QTRY_VERIFY_WITH_TIMEOUT(first.isOpen() || first.open(QIODevice::ReadOnly), 15000);
            QTRY_VERIFY_WITH_TIMEOUT(read().contains(givenUp), 30000);
            const QByteArray text = read();
            QVERIFY2(text.contains("restarts_total{app=\"kiosk\",process=\"0\"} 1\n") &&
                         (!scraped || text.contains("node_textfile_scrape_error 0\n")),
                     text);
            // Replaced by renames, never written over, with nothing else left.
            struct stat held = {};
            struct stat last = {};
            QVERIFY(::fstat(first.handle(), &held) == 0 && ::stat(qPrintable(path), &last) == 0 &&
                    last.st_ino != held.st_ino);
            QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                     QStringList{"launcher.prom"});
            QVERIFY(messages.count(folder) == 2 && messages.count(folder, QtWarningMsg) == 1);
        }
        QVERIFY(!QFile::exists(path));
        node.terminate();
        node.waitForFinished();
    }
};

LAUNCHER_TEST(TestBackendFrontend)
#include "TestBackendFrontend.moc"
