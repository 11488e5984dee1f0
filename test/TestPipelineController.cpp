#include "TestPipelineController.h"

#include "PipelineController.h"
#include "TestFixtures.h"

#include <QMetaType>
#include <QTest>
#include <QVector>

#include <memory>

namespace {

using Indices = QVector<int>;
using IndicesPerProcess = QVector<QVector<int>>;

QByteArray toText(const Indices& indices)
{
    QByteArray text = "[";
    for (int i = 0; i < indices.size(); ++i)
        text += (i ? ", " : "") + QByteArray::number(indices.at(i));
    return text + "]";
}

// What the observers of testPipeline3 have seen so far.
struct EventOrder
{
    Indices started;
    Indices finished;
};

// Records that a process has started or ended (event is started or finished)
// and checks which processes have started and ended up to that moment.
void checkOrder(EventOrder& order, Indices EventOrder::*event, int processIndex,
                const IndicesPerProcess& expectedStarted, const IndicesPerProcess& expectedFinished)
{
    QVERIFY(processIndex < expectedStarted.size());
    QVERIFY(processIndex < expectedFinished.size());
    Indices& seen = order.*event;
    QVERIFY2(!seen.contains(processIndex), toText(seen).constData());
    seen.append(processIndex);
    QVERIFY2(order.started == expectedStarted.at(processIndex),
             ("started " + toText(order.started) + ", expected " +
              toText(expectedStarted.at(processIndex)))
                 .constData());
    QVERIFY2(order.finished == expectedFinished.at(processIndex),
             ("finished " + toText(order.finished) + ", expected " +
              toText(expectedFinished.at(processIndex)))
                 .constData());
}

} // namespace

TestPipelineController::TestPipelineController(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    qRegisterMetaType<PipelineController::PipelineFinishReason>(
        "PipelineController::PipelineFinishReason");
    qRegisterMetaType<PipelineController::PipelineFailureReason>(
        "PipelineController::PipelineFailureReason");
}

TestPipelineController::~TestPipelineController() = default;

void TestPipelineController::init()
{
    m_controller = std::make_unique<PipelineController>();
    PipelineController* controller = m_controller.get();
    m_spyProcessStarted =
        std::make_unique<QSignalSpy>(controller, &PipelineController::processStarted);
    m_spyProcessFinished =
        std::make_unique<QSignalSpy>(controller, &PipelineController::processFinished);
    m_spyPipelineStarted =
        std::make_unique<QSignalSpy>(controller, &PipelineController::pipelineStarted);
    m_spyPipelineFinished =
        std::make_unique<QSignalSpy>(controller, &PipelineController::pipelineFinished);
    m_spyPipelineFailure =
        std::make_unique<QSignalSpy>(controller, &PipelineController::pipelineFailure);
    m_spyPipelineTerminated =
        std::make_unique<QSignalSpy>(controller, &PipelineController::pipelineTerminated);
}

void TestPipelineController::cleanup()
{
    // The controller goes first: a failed row may leave children running.
    m_controller.reset();
    m_spyProcessStarted.reset();
    m_spyProcessFinished.reset();
    m_spyPipelineStarted.reset();
    m_spyPipelineFinished.reset();
    m_spyPipelineFailure.reset();
    m_spyPipelineTerminated.reset();
}

void TestPipelineController::testPipeline1()
{
    QFETCH(PipelineConfig, pipelineConfig);
    QFETCH(int, pipelineFinishedWaitMs);
    QFETCH(PipelineController::PipelineFinishReason, pipelineFinishReason);
    QFETCH(int, qprocessStartedCount);
    QFETCH(int, qprocessFinishedCount);
    QFETCH(int, pipelineFailureCount);
    QFETCH(PipelineController::PipelineFailureReason, pipelineFailureReason);
    QFETCH(int, pipelineStartedCount);
    QFETCH(int, pipelineTerminatedCount);

    m_controller->start(pipelineConfig, false);
    QCOMPARE(m_controller->state(), PipelineController::PipelineState::Running);

    QVERIFY(m_spyPipelineFinished->count() > 0 ||
            m_spyPipelineFinished->wait(pipelineFinishedWaitMs));
    QCOMPARE(m_spyPipelineFinished->at(0).at(1).value<PipelineController::PipelineFinishReason>(),
             pipelineFinishReason);
    QCOMPARE(m_controller->state(), PipelineController::PipelineState::NotRunning);

    QCOMPARE(m_spyProcessStarted->count(), qprocessStartedCount);
    QCOMPARE(m_spyProcessFinished->count(), qprocessFinishedCount);
    QCOMPARE(m_spyPipelineFailure->count(), pipelineFailureCount);
    if (pipelineFailureCount > 0) {
        QCOMPARE(
            m_spyPipelineFailure->at(0).at(1).value<PipelineController::PipelineFailureReason>(),
            pipelineFailureReason);
    }
    QCOMPARE(m_spyPipelineStarted->count(), pipelineStartedCount);
    QCOMPARE(m_spyPipelineTerminated->count(), pipelineTerminatedCount);
}

void TestPipelineController::testPipeline1_data()
{
    QTest::addColumn<PipelineConfig>("pipelineConfig");
    QTest::addColumn<int>("pipelineFinishedWaitMs");
    QTest::addColumn<PipelineController::PipelineFinishReason>("pipelineFinishReason");
    QTest::addColumn<int>("qprocessStartedCount");
    QTest::addColumn<int>("qprocessFinishedCount");
    QTest::addColumn<int>("pipelineFailureCount");
    QTest::addColumn<PipelineController::PipelineFailureReason>("pipelineFailureReason");
    QTest::addColumn<int>("pipelineStartedCount");
    QTest::addColumn<int>("pipelineTerminatedCount");

    using Controller = PipelineController;
    const auto normal = Controller::PipelineFinishReason::NormalFinish;
    const auto failure = Controller::PipelineFinishReason::FailureFinish;
    const auto noFailure = Controller::PipelineFailureReason::NoFailure;
    const auto requiredFailure = Controller::PipelineFailureReason::RequiredProcessFailure;
    const QStringList exit1{"--exit", "1"};

    ProcessConfig configFailure = helperProcess(ProcessMode::Async, true, {"--exit", "102"});
    configFailure.invalidConfigExitCodes = {102};

    const auto row = [](const char* name, const ProcessConfig& process,
                        Controller::PipelineFinishReason finishReason, int failureCount,
                        Controller::PipelineFailureReason failureReason, int terminatedCount) {
        QTest::newRow(name) << pipelineOf({process}) << 5000 << finishReason << 1 << 1
                            << failureCount << failureReason << 1 << terminatedCount;
    };
    row("S ok", helperProcess(ProcessMode::Sync), normal, 0, noFailure, 0);
    row("S nok", helperProcess(ProcessMode::Sync, false, exit1), normal, 0, noFailure, 0);
    row("SR ok", helperProcess(ProcessMode::Sync, true), normal, 0, noFailure, 0);
    row("SR nok", helperProcess(ProcessMode::Sync, true, exit1), failure, 1, requiredFailure, 1);
    row("A ok", helperProcess(ProcessMode::Async), normal, 0, noFailure, 0);
    row("A nok", helperProcess(ProcessMode::Async, false, exit1), normal, 0, noFailure, 0);
    row("AR ok", helperProcess(ProcessMode::Async, true), normal, 0, noFailure, 0);
    row("AR nok", helperProcess(ProcessMode::Async, true, exit1), failure, 1, requiredFailure, 1);
    row("AR config failure", configFailure, failure, 1,
        Controller::PipelineFailureReason::RequiredProcessInvalidConfigFailure, 1);
}

void TestPipelineController::testPipeline3()
{
    QFETCH(PipelineConfig, pipelineConfig);
    QFETCH(int, pipelineWaitMs);
    QFETCH(IndicesPerProcess, startedProcessesOnProcessStart);
    QFETCH(IndicesPerProcess, finishedProcessesOnProcessStart);
    QFETCH(IndicesPerProcess, startedProcessesOnProcessFinish);
    QFETCH(IndicesPerProcess, finishedProcessesOnProcessFinish);
    QFETCH(PipelineController::PipelineFinishReason, pipelineFinishReason);
    QFETCH(int, pipelineFailureCount);
    QFETCH(PipelineController::PipelineFailureReason, pipelineFailureReason);
    QFETCH(int, pipelineTerminatedCount);

    // Shared with the observers, which stay connected until the controller goes.
    const auto order = std::make_shared<EventOrder>();
    connect(m_controller.get(), &PipelineController::processStarted, m_controller.get(),
            [order, startedProcessesOnProcessStart, finishedProcessesOnProcessStart](int index) {
                checkOrder(*order, &EventOrder::started, index, startedProcessesOnProcessStart,
                           finishedProcessesOnProcessStart);
            });
    connect(m_controller.get(), &PipelineController::processFinished, m_controller.get(),
            [order, startedProcessesOnProcessFinish, finishedProcessesOnProcessFinish](int index) {
                checkOrder(*order, &EventOrder::finished, index, startedProcessesOnProcessFinish,
                           finishedProcessesOnProcessFinish);
            });

    m_controller->start(pipelineConfig, false);

    QVERIFY(m_spyPipelineFinished->count() > 0 || m_spyPipelineFinished->wait(pipelineWaitMs));
    QCOMPARE(m_spyPipelineFinished->count(), 1);
    QCOMPARE(m_spyPipelineFinished->at(0).at(1).value<PipelineController::PipelineFinishReason>(),
             pipelineFinishReason);
    QCOMPARE(m_spyPipelineFailure->count(), pipelineFailureCount);
    if (pipelineFailureCount > 0) {
        QCOMPARE(
            m_spyPipelineFailure->at(0).at(1).value<PipelineController::PipelineFailureReason>(),
            pipelineFailureReason);
    }
    QCOMPARE(m_controller->state(), PipelineController::PipelineState::NotRunning);
    QCOMPARE(m_spyPipelineTerminated->count(), pipelineTerminatedCount);
}

void TestPipelineController::testPipeline3_data()
{
    QTest::addColumn<PipelineConfig>("pipelineConfig");
    QTest::addColumn<int>("pipelineWaitMs");
    QTest::addColumn<IndicesPerProcess>("startedProcessesOnProcessStart");
    QTest::addColumn<IndicesPerProcess>("finishedProcessesOnProcessStart");
    QTest::addColumn<IndicesPerProcess>("startedProcessesOnProcessFinish");
    QTest::addColumn<IndicesPerProcess>("finishedProcessesOnProcessFinish");
    QTest::addColumn<PipelineController::PipelineFinishReason>("pipelineFinishReason");
    QTest::addColumn<int>("pipelineFailureCount");
    QTest::addColumn<PipelineController::PipelineFailureReason>("pipelineFailureReason");
    QTest::addColumn<int>("pipelineTerminatedCount");

    const auto normal = PipelineController::PipelineFinishReason::NormalFinish;
    const auto noFailure = PipelineController::PipelineFailureReason::NoFailure;

    QTest::newRow("D_S_SR ok")
        << pipelineOf({helperProcess(ProcessMode::Daemon, false, {"--delay", "2"}),
                       helperProcess(ProcessMode::Sync), helperProcess(ProcessMode::Sync, true)})
        << 1000 << IndicesPerProcess{{0}, {0, 1}, {0, 1, 2}} << IndicesPerProcess{{}, {}, {1}}
        << IndicesPerProcess{{0, 1, 2}, {0, 1}, {0, 1, 2}}
        << IndicesPerProcess{{1, 2, 0}, {1}, {1, 2}} << normal << 0 << noFailure << 1;

    QTest::newRow("S_SR_D_SR ok")
        << pipelineOf({helperProcess(ProcessMode::Sync), helperProcess(ProcessMode::Sync, true),
                       helperProcess(ProcessMode::Daemon, false, {"--delay", "10"}),
                       helperProcess(ProcessMode::Sync, true, {"--delay", "1"})})
        << 10000 << IndicesPerProcess{{0}, {0, 1}, {0, 1, 2}, {0, 1, 2, 3}}
        << IndicesPerProcess{{}, {0}, {0, 1}, {0, 1}}
        << IndicesPerProcess{{0}, {0, 1}, {0, 1, 2, 3}, {0, 1, 2, 3}}
        << IndicesPerProcess{{0}, {0, 1}, {0, 1, 3, 2}, {0, 1, 3}} << normal << 0 << noFailure << 1;
}

void TestPipelineController::testValidatePipeline()
{
    QFETCH(PipelineConfig, pipelineConfig);
    QFETCH(bool, isValid);

    QCOMPARE(m_controller->isPipelineValid(pipelineConfig), isValid);
}

void TestPipelineController::testValidatePipeline_data()
{
    QTest::addColumn<PipelineConfig>("pipelineConfig");
    QTest::addColumn<bool>("isValid");

    QTest::newRow("S ok") << pipelineOf({helperProcess(ProcessMode::Async, true,
                                                       {"--delay", "1", "--exit", "1"})})
                          << true;
    QTest::newRow("D nok") << pipelineOf({ProcessConfig()}) << false;
}
