#pragma once

#include <QObject>
#include <QSignalSpy>

#include <memory>

class PipelineController;

// Runs real pipelines of test-helper children and checks the counts, reasons
// and order of the controller's events.
class TestPipelineController : public QObject
{
    Q_OBJECT

public:
    explicit TestPipelineController(QObject* parent = nullptr);
    ~TestPipelineController() override;

private slots:
    void init();
    void cleanup();
    void testPipeline1();
    void testPipeline1_data();
    void testPipeline3();
    void testPipeline3_data();
    void testValidatePipeline();
    void testValidatePipeline_data();

private:
    std::unique_ptr<PipelineController> m_controller;
    std::unique_ptr<QSignalSpy> m_spyProcessStarted;
    std::unique_ptr<QSignalSpy> m_spyProcessFinished;
    std::unique_ptr<QSignalSpy> m_spyPipelineStarted;
    std::unique_ptr<QSignalSpy> m_spyPipelineFinished;
    std::unique_ptr<QSignalSpy> m_spyPipelineFailure;
    std::unique_ptr<QSignalSpy> m_spyPipelineTerminated;
};
