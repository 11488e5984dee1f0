#include "TestBackendConfig.h"

#include "Backend.h"

TestBackendConfig::TestBackendConfig(QObject* parent) : QObject(parent) {}

// The temporary file goes first, then the backend (reverse member order).
TestBackendConfig::~TestBackendConfig() = default;

void TestBackendConfig::init() {}

void TestBackendConfig::cleanup() {}

void TestBackendConfig::testLauncherConfigLoad() {}

void TestBackendConfig::testPipelineConfigLoad() {}
