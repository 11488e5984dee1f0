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

// Records what the model tells its views, in order: "insert F-L", "remove F-L", "reset".
void record(QAbstractItemModel* model, QStringList& events)
{
    const auto rows = [&events](const char* what) {
        return [&events, what](const QModelIndex&, int first, int last) {
            events.append(QStringLiteral("%1 %2-%3").arg(what).arg(first).arg(last));
        };
    };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, model, rows("insert"));
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, model, rows("remove"));
    QObject::connect(model, &QAbstractItemModel::modelReset, model,
                     [&events] { events << "reset"; });
}

// The rows, each as its values of the roles, joined by spaces.
QStringList rows(const ProcessModel& model,
                 const QStringList& roles = {"state", "lastExitCode", "lastExitSignal", "restarts",
                                             "crashed", "givenUp"})
{
    QStringList rows;
    for (int row = 0; row < model.count(); ++row) {
        QStringList values;
        for (const QString& role : roles)
            values.append(model.get(row).value(role).toString());
        rows.append(values.join(' '));
    }
    return rows;
}

} // namespace

class TestProcessModel : public QObject
{
    Q_OBJECT

private slots:
    // After every change the rows say what the controller says: the
    // crashing process is restarted up to its limit, then given up; the
    // second keeps the pipeline running meanwhile. A model given a controller
    // that already ran shows its processes at once; the next pipeline's rows
    // replace them: removed, then inserted. A pipeline refused as not valid
    // changes nothing.
    void followsPipeline()
    {
        ProcessConfig crashing = helperProcess(ProcessMode::Async, false, {"--crash"});
        crashing.restartOnCrash = true;
        crashing.restartLimit = 2;
        crashing.label = QStringLiteral("crasher");
        QStringList events;
        PipelineController controller;
        ProcessModel model;
        model.setController(&controller);
        record(&model, events);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        int mismatches = 0;
        connect(&controller, &PipelineController::processStatusChanged, &model, [&] {
            QStringList expected;
            for (const ProcessStatus& status : controller.processStatuses())
                expected.append(QStringLiteral("%1 %2 %3")
                                    .arg(status.pid)
                                    .arg(ProcessStatus::stateName(status.state))
                                    .arg(status.restarts));
            mismatches += ::rows(model, {"pid", "state", "restarts"}) != expected;
        });
        QVERIFY(
            controller.start(pipelineOf({crashing, helperProcess(ProcessMode::Sync, false,
                                                                 {"--delay", "1", "--exit", "3"})}),
                             false));
        QVERIFY(controller.waitForPipelineFinished(15000));
        QVERIFY(mismatches == 0 && changed.count() >= 2);
        QCOMPARE(events, (QStringList{"insert 0-0", "insert 1-1"}));
        QCOMPARE(::rows(model),
                 (QStringList{"finished 0 9 1 true true", "finished 3 0 0 false false"}));
        // A label, else the program and its first argument that is no option.
        QCOMPARE(::rows(model, {"name"}), (QStringList{"crasher", "test-helper: 1"}));

        QStringList nextEvents;
        ProcessModel next;
        next.setController(&controller);
        record(&next, nextEvents);
        QSignalSpy counted(&next, &ProcessModel::countChanged);
        QVERIFY(controller.start(
            pipelineOf({helperProcess(ProcessMode::Sync, false, {"--exit", "4"})}), false));
        QVERIFY(controller.waitForPipelineFinished(15000));
        QVERIFY(!controller.start(pipelineOf({ProcessConfig()}), false));
        QCOMPARE(nextEvents, (QStringList{"remove 0-1", "insert 0-0"}));
        QCOMPARE(counted.count(), 2);
        QCOMPARE(::rows(next), QStringList{"finished 4 0 0 false false"});
    }
};

LAUNCHER_TEST(TestProcessModel)
#include "TestProcessModel.moc"
