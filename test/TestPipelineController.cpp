#include "TestPipelineController.h"

#include "PipelineController.h"

TestPipelineController::TestPipelineController(QObject* parent) : QObject(parent) {}

TestPipelineController::~TestPipelineController() = default;

void TestPipelineController::init() {}
void TestPipelineController::cleanup() {}
void TestPipelineController::testPipeline1() {}
void TestPipelineController::testPipeline1_data() {}
void TestPipelineController::testPipeline3() {}
void TestPipelineController::testPipeline3_data() {}
void TestPipelineController::testValidatePipeline() {}
void TestPipelineController::testValidatePipeline_data() {}
