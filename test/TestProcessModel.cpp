// The process model beside a real pipeline: rows inserted as processes start,
// changed in place as they run, restart and end, and replaced row by row when
// the next pipeline starts; never a reset.

#include "PipelineController.h"
#include "ProcessModel.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// What the model told its views, in order: "insert F-L", "remove F-L", "reset".
class ModelEvents : public QObject
{
public:
    explicit ModelEvents(QAbstractItemModel* model)
    {
        connect(model, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex&, int first, int last) {
                    events.append(QStringLiteral("insert %1-%2").arg(first).arg(last));
                });
        connect(model, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex&, int first, int last) {
                    events.append(QStringLiteral("remove %1-%2").arg(first).arg(last));
                });
        connect(model, &QAbstractItemModel::modelReset, this,
                [this] { events.append(QStringLiteral("reset")); });
    }
    QStringList events;
};

// One row as the test compares it: "state exit N signal N crashed givenUp".
QString summary(const QVariantMap& row)
{
    return QStringLiteral("%1 exit %2 signal %3%4%5")
        .arg(row.value("state").toString())
        .arg(row.value("lastExitCode").toInt())
        .arg(row.value("lastExitSignal").toInt())
        .arg(row.value("crashed").toBool() ? " crashed" : "")
        .arg(row.value("givenUp").toBool() ? " givenUp" : "");
}

} // namespace

class TestProcessModel : public QObject
{
    Q_OBJECT

private slots:
    void followsPipeline_data()
    {
        QTest::addColumn<PipelineConfig>("pipeline");
        QTest::addColumn<QStringList>("inserts");
        QTest::addColumn<QStringList>("rows"); // at the end, by summary()
        QTest::addColumn<bool>("restarted");   // the first process started more than once

        QTest::newRow("two sync processes, one after the other")
            << pipelineOf({helperProcess(ProcessMode::Sync),
                           helperProcess(ProcessMode::Sync, false, {"--exit", "3"})})
            << QStringList{"insert 0-0", "insert 1-1"}
            << QStringList{"finished exit 0 signal 0", "finished exit 3 signal 0"} << false;

        // The crashing process is restarted twice, then given up; the
        // second keeps the pipeline running meanwhile.
        ProcessConfig crashing = helperProcess(ProcessMode::Async, false, {"--crash"});
        crashing.restartOnCrash = true;
        crashing.restartLimit = 2;
        QTest::newRow("crashing process restarted until given up")
            << pipelineOf({crashing, helperProcess(ProcessMode::Sync, false, {"--delay", "1"})})
            << QStringList{"insert 0-0", "insert 1-1"}
            << QStringList{"finished exit 0 signal 9 crashed givenUp", "finished exit 0 signal 0"}
            << true;
    }

    void followsPipeline()
    {
        QFETCH(PipelineConfig, pipeline);
        QFETCH(QStringList, inserts);
        QFETCH(QStringList, rows);
        QFETCH(bool, restarted);

        PipelineController controller;
        ProcessModel model;
        model.setController(&controller);
        ModelEvents events(&model);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        // After every change the rows say what the controller says.
        QStringList mismatches;
        connect(&controller, &PipelineController::processStatusChanged, &model, [&] {
            const QList<ProcessStatus> statuses = controller.processStatuses();
            if (statuses.size() != model.count()) {
                mismatches.append(QStringLiteral("count %1").arg(model.count()));
                return;
            }
            for (int row = 0; row < statuses.size(); ++row) {
                const QVariantMap shown = model.get(row);
                if (shown.value("pid").toLongLong() != statuses.at(row).pid ||
                    shown.value("state").toString() !=
                        QLatin1String(ProcessStatus::stateName(statuses.at(row).state)) ||
                    shown.value("restarts").toInt() != statuses.at(row).restarts)
                    mismatches.append(QStringLiteral("row %1").arg(row));
            }
        });

        QVERIFY(controller.start(pipeline, false));
        QVERIFY(controller.waitForPipelineFinished(15000));
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(", ")));
        QCOMPARE(events.events, inserts);
        QVERIFY(changed.count() >= pipeline.processList.size());
        QStringList shown;
        for (int row = 0; row < model.count(); ++row)
            shown.append(summary(model.get(row)));
        QCOMPARE(shown, rows);
        QCOMPARE(model.get(0).value("restarts").toInt() > 0, restarted);
        QCOMPARE(model.get(1).value("processIndex").toInt(), 1);
        QCOMPARE(model.get(1).value("mode").toString(), QString("sync"));
        QCOMPARE(model.get(1).value("program").toString(), helperPath());
        QVERIFY(model.get(2).isEmpty());
    }

    // The next pipeline's rows replace the last one's: removed, then inserted.
    void nextPipelineReplacesRows()
    {
        PipelineController controller;
        ProcessModel model;
        model.setController(&controller);
        QVERIFY(controller.start(
            pipelineOf({helperProcess(ProcessMode::Sync), helperProcess(ProcessMode::Sync)}),
            false));
        QVERIFY(controller.waitForPipelineFinished(15000));
        QCOMPARE(model.count(), 2);

        ModelEvents events(&model);
        QSignalSpy counted(&model, &ProcessModel::countChanged);
        QVERIFY(controller.start(
            pipelineOf({helperProcess(ProcessMode::Sync, false, {"--exit", "4"})}), false));
        QVERIFY(controller.waitForPipelineFinished(15000));
        QCOMPARE(events.events, (QStringList{"remove 0-1", "insert 0-0"}));
        QCOMPARE(counted.count(), 2);
        QCOMPARE(model.count(), 1);
        QCOMPARE(model.get(0).value("lastExitCode").toInt(), 4);

        // A pipeline refused as not valid changes nothing.
        QVERIFY(!controller.start(pipelineOf({ProcessConfig()}), false));
        QCOMPARE(model.count(), 1);
        QCOMPARE(events.events.size(), 2);
    }

    // A model given a controller that already ran shows its processes at once.
    void controllerGivenLate()
    {
        PipelineController controller;
        QVERIFY(controller.start(pipelineOf({helperProcess(ProcessMode::Sync)}), false));
        QVERIFY(controller.waitForPipelineFinished(15000));
        ProcessModel model;
        model.setController(&controller);
        QCOMPARE(model.count(), 1);
        QCOMPARE(model.roleNames().value(ProcessModel::CrashedRole), QByteArray("crashed"));
        model.setController(nullptr);
        QCOMPARE(model.count(), 0);
    }
};

LAUNCHER_TEST(TestProcessModel)
#include "TestProcessModel.moc"
