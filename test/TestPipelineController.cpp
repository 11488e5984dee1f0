#include "TestPipelineController.h"

#include "PipelineController.h"
#include "TestFixtures.h"

#include <QMetaEnum>
#include <QTest>

namespace {

template <typename Enum>
QString nameOf(Enum value)
{
    return QMetaEnum::fromType<Enum>().valueToKey(int(value));
}

} // namespace

TestPipelineController::TestPipelineController(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<PipelineController::PipelineFinishReason>(
        "PipelineController::PipelineFinishReason");
    qRegisterMetaType<PipelineController::PipelineFailureReason>(
        "PipelineController::PipelineFailureReason");
}

void TestPipelineController::events_data()
{
    QTest::addColumn<PipelineConfig>("pipeline");
    QTest::addColumn<QString>("events");
    const auto row = [](const char* name, const QList<ProcessConfig>& processes,
                        const char* events) {
        QTest::newRow(name) << pipelineOf(processes) << QString(events);
    };
    const QStringList exit1{"--exit", "1"};
    ProcessConfig invalidConfig = helperProcess(ProcessMode::Async, true, {"--exit", "102"});
    invalidConfig.invalidConfigExitCodes = {102};
    const char* const normal = "s0 pipeline f0 finished NormalFinish";
    const char* const failed = "s0 pipeline f0 failure RequiredProcessFailure terminated finished "
                               "FailureFinish";
    row("S ok", {helperProcess(ProcessMode::Sync)}, normal);
    row("S nok", {helperProcess(ProcessMode::Sync, false, exit1)}, normal);
    row("SR ok", {helperProcess(ProcessMode::Sync, true)}, normal);
    row("SR nok", {helperProcess(ProcessMode::Sync, true, exit1)}, failed);
    row("A ok", {helperProcess(ProcessMode::Async)}, normal);
    row("A nok", {helperProcess(ProcessMode::Async, false, exit1)}, normal);
    row("AR ok", {helperProcess(ProcessMode::Async, true)}, normal);
    row("AR nok", {helperProcess(ProcessMode::Async, true, exit1)}, failed);
    row("AR config failure", {invalidConfig},
        "s0 pipeline f0 failure RequiredProcessInvalidConfigFailure terminated finished "
        "FailureFinish");
    // The daemon runs until only daemons are left, and is then terminated.
    row("D_S_SR ok",
        {helperProcess(ProcessMode::Daemon, false, {"--delay", "30"}),
         helperProcess(ProcessMode::Sync), helperProcess(ProcessMode::Sync, true)},
        "s0 pipeline s1 f1 s2 f2 terminated f0 finished NormalFinish");
    row("S_SR_D_SR ok",
        {helperProcess(ProcessMode::Sync), helperProcess(ProcessMode::Sync, true),
         helperProcess(ProcessMode::Daemon, false, {"--delay", "30"}),
         helperProcess(ProcessMode::Sync, true, {"--delay", "1"})},
        "s0 pipeline f0 s1 f1 s2 s3 f3 terminated f2 finished NormalFinish");
}

// A process that is not required never fails its pipeline; a required one
// that exits non-zero, or with an exit code of invalid-config-exit-codes,
// does. The pipeline has started with its first process; nothing starts
// while a Sync process before it runs.
void TestPipelineController::events()
{
    QFETCH(PipelineConfig, pipeline);
    QFETCH(QString, events);
    PipelineController controller;
    QStringList seen;
    connect(&controller, &PipelineController::pipelineStarted, this, [&] { seen << "pipeline"; });
    connect(&controller, &PipelineController::processStarted, this,
            [&](int index) { seen << QString("s%1").arg(index); });
    connect(&controller, &PipelineController::processFinished, this,
            [&](int index) { seen << QString("f%1").arg(index); });
    connect(&controller, &PipelineController::pipelineFailure, this,
            [&](const QString&, PipelineController::PipelineFailureReason reason) {
                seen << "failure" << nameOf(reason);
            });
    connect(&controller, &PipelineController::pipelineTerminated, this,
            [&] { seen << "terminated"; });
    connect(&controller, &PipelineController::pipelineFinished, this,
            [&](const QString&, PipelineController::PipelineFinishReason reason) {
                seen << "finished" << nameOf(reason);
            });
    controller.start(pipeline, false);
    QCOMPARE(controller.state(), PipelineController::PipelineState::Running);
    QTRY_VERIFY_WITH_TIMEOUT(seen.contains("finished"), 20000);
    QCOMPARE(seen.join(' '), events);
    QCOMPARE(controller.state(), PipelineController::PipelineState::NotRunning);
}
