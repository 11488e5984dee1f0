// The backend as a QML front end sees it: its properties and their notify
// signals, the types of its signals' arguments, the application model, the
// invokable start, stop and cancel, the last result, the log's tail and the
// one number of the autostart countdown. No QML engine is needed for that.

#include "Backend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QTest>

namespace {

// A pipeline file of one test-helper process and the given extra lines.
QByteArray appFile(const QString& name, const QString& mode, const QString& arguments,
                   const QByteArray& more = QByteArray())
{
    QByteArray text = "[ui]\nname=" + name.toUtf8() + "\nicon=" + name.toUtf8() +
                      ".png\n[process-0]\nexec=" + helperPath().toUtf8() +
                      "\nmode=" + mode.toUtf8() + "\n";
    if (!arguments.isEmpty())
        text += "arguments=" + arguments.toUtf8() + "\n";
    return text + more;
}

bool invoke(Backend& backend, const char* method, const QString& basename = QString())
{
    if (basename.isNull())
        return QMetaObject::invokeMethod(&backend, method);
    bool started = false;
    return QMetaObject::invokeMethod(&backend, method, Q_RETURN_ARG(bool, started),
                                     Q_ARG(QString, basename)) &&
           started;
}

} // namespace

class TestBackendFrontend : public QObject
{
    Q_OBJECT

private slots:
    // Every property a view binds to exists, and tells when it changes.
    void properties()
    {
        Backend backend;
        const QMetaObject* meta = backend.metaObject();
        const QStringList notifying{"autostartSeconds",
                                    "autostartActive",
                                    "autostartApplication",
                                    "runningApplication",
                                    "runningApplicationName",
                                    "pipelinePhase",
                                    "lastResult",
                                    "allowUserExit",
                                    "showVersionInfo",
                                    "showInvalidTiles",
                                    "uiLocation",
                                    "uiWidth"};
        for (const QString& name : notifying) {
            const int index = meta->indexOfProperty(qPrintable(name));
            QVERIFY2(index >= 0, qPrintable(name));
            QVERIFY2(meta->property(index).hasNotifySignal(), qPrintable(name));
        }
        for (const char* name : {"applications", "processes", "version"}) {
            const int index = meta->indexOfProperty(name);
            QVERIFY2(index >= 0 && meta->property(index).isConstant(), name);
        }
        QVERIFY(backend.property("applications").value<ApplicationModel*>());
        QVERIFY(backend.property("processes").value<ProcessModel*>());
        QVERIFY(!backend.property("version").toString().isEmpty());
        QCOMPARE(backend.property("pipelinePhase").toString(), QString("idle"));
        QCOMPARE(backend.property("autostartSeconds").toInt(), -1);
        QVERIFY(backend.property("lastResult").toMap().isEmpty());
    }

    // A handler of any signal receives its arguments' values only when their
    // types are known by the names the signals spell.
    void signalArgumentTypes()
    {
        Backend backend;
        for (const char* name : {"PipelineController::PipelineFinishReason",
                                 "PipelineController::PipelineFailureReason",
                                 "PipelineController::Phase", "ProcessStatus"})
            QVERIFY2(QMetaType::type(name) != QMetaType::UnknownType, name);
        for (const QObject* object : {static_cast<const QObject*>(&backend),
                                      static_cast<const QObject*>(backend.pipelineController())}) {
            const QMetaObject* meta = object->metaObject();
            for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
                const QMetaMethod method = meta->method(i);
                if (method.methodType() != QMetaMethod::Signal)
                    continue;
                for (int p = 0; p < method.parameterCount(); ++p)
                    QVERIFY2(method.parameterType(p) != QMetaType::UnknownType,
                             method.methodSignature().constData());
            }
        }
    }

    // One row per application, with the process each problem belongs to.
    void applicationRows_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QStringList>("problems");
        QTest::addColumn<QVariantList>("problemProcesses");
        QTest::addColumn<QString>("lint"); // a text that one lint problem holds

        QTest::newRow("valid") << appFile("good", "sync", "--exit, 0") << true << QStringList()
                               << QVariantList() << QString();
        QTest::newRow("second program missing")
            << appFile("bad", "sync", QString(), "[process-1]\nexec=/no/such/program\n") << false
            << QStringList{"executable '/no/such/program' does not exist"} << QVariantList{1}
            << QString();
        QTest::newRow("daemons only")
            << appFile("daemon", "daemon", QString()) << false
            << QStringList{"pipeline must contain at least one non-daemon process."}
            << QVariantList{-1} << QString();
        QTest::newRow("key misspelt")
            << appFile("typo", "sync", QString(), "restart-limt=2\n") << true << QStringList()
            << QVariantList() << "warning: [process-0] restart-limt: ";
    }

    void applicationRows()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, valid);
        QFETCH(QStringList, problems);
        QFETCH(QVariantList, problemProcesses);
        QFETCH(QString, lint);

        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/first.ini", appFile("First", "sync", {})));
        QVERIFY(writeFile(folders.user() + "/apps/second.ini", file));
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[autostart]\ntile=second\n"));
        Backend backend;
        QVERIFY(backend.load());
        ApplicationModel* model = backend.applications();
        QCOMPARE(model->count(), 2);
        QCOMPARE(model->indexOf("second"), 1);
        QCOMPARE(model->indexOf("none"), -1);
        QCOMPARE(model->get(0).value("valid").toBool(), true);
        QCOMPARE(model->get(0).value("autostart").toBool(), false);

        const QVariantMap row = model->get(1);
        QCOMPARE(row.value("basename").toString(), QString("second"));
        QCOMPARE(row.value("icon").toString(), row.value("name").toString() + ".png");
        QCOMPARE(row.value("valid").toBool(), valid);
        QCOMPARE(row.value("problems").toStringList(), problems);
        QCOMPARE(row.value("problemProcesses").toList(), problemProcesses);
        QCOMPARE(row.value("autostart").toBool(), true);
        const QStringList lintProblems = row.value("lintProblems").toStringList();
        if (lint.isEmpty())
            QVERIFY2(lintProblems.isEmpty(), qPrintable(lintProblems.join('\n')));
        else
            QVERIFY2(lintProblems.size() == 1 && lintProblems.first().startsWith(lint),
                     qPrintable(lintProblems.join('\n')));
    }

    // A reload that changes nothing leaves the model alone; an edit changes
    // its row in place; a new application resets it.
    void applicationReload()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/a.ini", appFile("A", "sync", {})));
        QVERIFY(writeFile(folders.user() + "/apps/b.ini", appFile("B", "sync", {})));
        Backend backend;
        QVERIFY(backend.load());
        ApplicationModel* model = backend.applications();
        QSignalSpy reset(model, &QAbstractItemModel::modelReset);
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        QSignalSpy counted(model, &ApplicationModel::countChanged);

        QVERIFY(QMetaObject::invokeMethod(&backend, "reloadApplications"));
        QCOMPARE(reset.count() + changed.count() + counted.count(), 0);

        QVERIFY(writeFile(folders.user() + "/apps/b.ini", appFile("B edited", "sync", {})));
        backend.reload();
        QCOMPARE(reset.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(model->get(1).value("name").toString(), QString("B edited"));

        QVERIFY(writeFile(folders.user() + "/apps/c.ini", appFile("C", "daemon", {})));
        backend.reload();
        QCOMPARE(reset.count(), 1);
        QCOMPARE(counted.count(), 1);
        QCOMPARE(model->count(), 3);
        QCOMPARE(model->get(2).value("valid").toBool(), false);
    }

    // How a pipeline ended, as the map gives it, and the tail of its log.
    void lastResult_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("failedIndex");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("exitSignal");

        QTest::newRow("normal") << "--write, done\\n"
                                << false << "normal"
                                << "" << -1 << 0 << 0;
        QTest::newRow("exit code") << "--write, done\\n, --exit, 3" << false << "failed"
                                   << "a required process failed" << 0 << 3 << 0;
        QTest::newRow("crash") << "--write, done\\n, --crash" << false << "failed"
                               << "a required process failed" << 0 << 0 << SIGKILL;
        QTest::newRow("stopped") << "--write, done\\n, --delay, 30" << true << "stopped"
                                 << "" << -1 << 0 << 0;
    }

    void lastResult()
    {
        QFETCH(QString, arguments);
        QFETCH(bool, stop);
        QFETCH(QString, outcome);
        QFETCH(QString, reason);
        QFETCH(int, failedIndex);
        QFETCH(int, exitCode);
        QFETCH(int, exitSignal);

        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/app.ini",
                          appFile("App", "sync", arguments, "required=true\n")));
        Backend backend;
        QVERIFY(backend.load());
        QSignalSpy running(&backend, &Backend::runningApplicationChanged);
        QSignalSpy resulted(&backend, &Backend::lastResultChanged);
        QVERIFY(invoke(backend, "startApplication", "app"));
        QVERIFY(!invoke(backend, "startApplication", "app")); // one at a time
        QCOMPARE(backend.property("runningApplication").toString(), QString("app"));
        QCOMPARE(backend.property("runningApplicationName").toString(), QString("App"));
        QTRY_VERIFY(backend.logTail(10).join('\n').contains("done"));
        if (stop)
            QVERIFY(invoke(backend, "stopApplication"));
        QTRY_COMPARE_WITH_TIMEOUT(backend.property("pipelinePhase").toString(), QString("finished"),
                                  15000);
        QCOMPARE(backend.property("runningApplication").toString(), QString());
        QCOMPARE(running.count(), 2);
        QCOMPARE(resulted.count(), 1);

        const QVariantMap result = backend.property("lastResult").toMap();
        QCOMPARE(result.value("basename").toString(), QString("app"));
        QCOMPARE(result.value("name").toString(), QString("App"));
        QCOMPARE(result.value("outcome").toString(), outcome);
        QCOMPARE(result.value("failureReason").toString(), reason);
        QCOMPARE(result.value("failedProcessIndex").toInt(), failedIndex);
        QCOMPARE(result.value("failedExitCode").toInt(), exitCode);
        QCOMPARE(result.value("failedExitSignal").toInt(), exitSignal);
        QCOMPARE(result.value("failedCrashed").toBool(), exitSignal != 0);
        QCOMPARE(result.value("failedProgram").toString(),
                 failedIndex < 0 ? QString() : helperPath());
        QVERIFY(result.value("startedAt").toDateTime() <= result.value("finishedAt").toDateTime());
        QCOMPARE(result.value("problems").toStringList(), QStringList());

        // The tail is the end of the log file, line by line.
        const QString logFile = result.value("logFile").toString();
        const QStringList lines = QString::fromUtf8(fileContent(logFile)).trimmed().split('\n');
        QVERIFY(lines.size() > 3);
        QCOMPARE(backend.logTail(3), lines.mid(lines.size() - 3));
        QCOMPARE(backend.logTail(1000), lines);
        QCOMPARE(backend.logTail(0), QStringList());
    }

    // A long log is read from its end only, and in whole lines.
    void logTailOfLongLog()
    {
        const DataFolders folders;
        QString text;
        for (int i = 0; i < 1000; ++i)
            text += QStringLiteral("line %1 %2\\n")
                        .arg(i, 4, 10, QLatin1Char('0'))
                        .arg(QString(64, 'x'));
        QVERIFY(writeFile(folders.user() + "/apps/app.ini",
                          appFile("App", "sync", "--write, " + text)));
        Backend backend;
        QVERIFY(backend.load());
        QVERIFY(backend.startApplication("app"));
        QVERIFY(backend.pipelineController()->waitForPipelineFinished(15000));
        const QStringList lines =
            QString::fromUtf8(fileContent(backend.pipelineController()->logFilePath()))
                .trimmed()
                .split('\n');
        const QStringList tail = backend.logTail(5000);
        QVERIFY(lines.join('\n').size() > 64 * 1024);
        QVERIFY(tail.join('\n').size() <= 64 * 1024);
        QVERIFY(tail.size() > 100);
        QCOMPARE(tail, lines.mid(lines.size() - tail.size()));
    }

    // Refused starts change nothing; one of a countdown ends it.
    void refusedStarts()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/app.ini", appFile("App", "sync", {})));
        QVERIFY(writeFile(folders.user() + "/apps/broken.ini", appFile("B", "daemon", {})));
        QVERIFY(
            writeFile(folders.user() + "/launcher.ini", "[autostart]\ntile=app\ntimeout=600\n"));
        Backend backend;
        QVERIFY(backend.load());
        QVERIFY(backend.enableAutostart());
        QCOMPARE(backend.property("autostartApplication").toString(), QString("app"));
        QVERIFY(!invoke(backend, "startApplication", "none"));
        QVERIFY(!invoke(backend, "startApplication", "broken"));
        QCOMPARE(backend.property("autostartActive").toBool(), true);
        QCOMPARE(backend.property("pipelinePhase").toString(), QString("idle"));
        QVERIFY(backend.logTail(5).isEmpty());

        QSignalSpy disabled(&backend, &Backend::autostartDisabled);
        QVERIFY(invoke(backend, "startApplication", "app"));
        QCOMPARE(disabled.count(), 1);
        QCOMPARE(backend.property("autostartSeconds").toInt(), -1);
        QTRY_COMPARE(backend.property("pipelinePhase").toString(), QString("finished"));
    }

    // The countdown's number is the same in the signal and the properties,
    // counts down one by one and never shows 0.
    void countdown_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::addColumn<QList<int>>("ticks");  // autostartTimeRemaining
        QTest::addColumn<QList<int>>("values"); // autostartSeconds at each change
        QTest::newRow("3 s") << 3 << QList<int>{2, 1} << QList<int>{3, 2, 1, -1};
        QTest::newRow("1 s") << 1 << QList<int>() << QList<int>{1, -1};
        QTest::newRow("no time") << 0 << QList<int>() << QList<int>();
    }

    void countdown()
    {
        QFETCH(int, timeout);
        QFETCH(QList<int>, ticks);
        QFETCH(QList<int>, values);

        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/app.ini", appFile("App", "sync", {})));
        QVERIFY(writeFile(folders.user() + "/launcher.ini",
                          "[autostart]\ntile=app\ntimeout=" + QByteArray::number(timeout) + "\n"));
        Backend backend;
        QVERIFY(backend.load());
        QList<int> ticked;
        QList<int> changed;
        QStringList mismatches;
        connect(&backend, &Backend::autostartTimeRemaining, this, [&](int seconds) {
            ticked.append(seconds);
            if (backend.autostartSeconds() != seconds ||
                backend.autostartRemainingSeconds() != seconds || !backend.autostartActive())
                mismatches.append(QString::number(seconds));
        });
        connect(&backend, &Backend::autostartSecondsChanged, this,
                [&] { changed.append(backend.property("autostartSeconds").toInt()); });
        QSignalSpy started(&backend, &Backend::pipelineStarted);
        QVERIFY(backend.enableAutostart());
        QVERIFY(started.wait(timeout * 1000 + 5000));
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(", ")));
        QCOMPARE(ticked, ticks);
        QCOMPARE(changed, values);
        QCOMPARE(backend.autostartActive(), false);
        QVERIFY(backend.pipelineController()->waitForPipelineFinished(10000));
    }

    void cancelCountdown()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/app.ini", appFile("App", "sync", {})));
        QVERIFY(
            writeFile(folders.user() + "/launcher.ini", "[autostart]\ntile=app\ntimeout=600\n"));
        Backend backend;
        QVERIFY(backend.load());
        QSignalSpy changed(&backend, &Backend::autostartSecondsChanged);
        QSignalSpy disabled(&backend, &Backend::autostartDisabled);
        QVERIFY(backend.enableAutostart());
        QCOMPARE(backend.autostartRemainingSeconds(), 600);
        QVERIFY(invoke(backend, "cancelAutostart"));
        QCOMPARE(disabled.count(), 1);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(backend.autostartRemainingSeconds(), -1);
        QCOMPARE(backend.property("autostartActive").toBool(), false);
        // Disabling again still tells, and changes no number.
        backend.disableAutostart();
        QCOMPARE(disabled.count(), 2);
        QCOMPARE(changed.count(), 2);
    }

    // An autostart pipeline that is not valid never runs: its result says why.
    void invalidAutostart()
    {
        const DataFolders folders;
        QVERIFY(writeFile(folders.user() + "/apps/app.ini", appFile("App", "daemon", {})));
        QVERIFY(writeFile(folders.user() + "/launcher.ini", "[autostart]\ntile=app\ntimeout=0\n"));
        Backend backend;
        QVERIFY(backend.load());
        QVERIFY(backend.enableAutostart());
        QTRY_VERIFY(!backend.lastResultMap().isEmpty());
        const QVariantMap result = backend.lastResultMap();
        QCOMPARE(result.value("outcome").toString(), QString("failed"));
        QCOMPARE(result.value("failureReason").toString(), QString("the pipeline is not valid"));
        QCOMPARE(result.value("problems").toStringList(),
                 QStringList{"pipeline must contain at least one non-daemon process."});
        QVERIFY(backend.logTail(5).join('\n').contains("non-daemon"));
    }
};

LAUNCHER_TEST(TestBackendFrontend)
#include "TestBackendFrontend.moc"
