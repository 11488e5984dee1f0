#include "Backend.h"

#include <QCoreApplication>
#include <QTimer>

// Runs a one-process pipeline through the installed backend; exits 0 when it
// finishes normally.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Backend backend;
    ProcessConfig process;
    process.exec = QStringLiteral("/bin/true");
    process.mode = ProcessMode::Sync;
    process.isRequired = true;
    PipelineConfig pipeline;
    pipeline.basename = QStringLiteral("consumer");
    pipeline.processList.append(process);

    QObject::connect(
        &backend, &Backend::pipelineFinished,
        [](const QString&, PipelineController::PipelineFinishReason finishReason) {
            QCoreApplication::exit(
                finishReason == PipelineController::PipelineFinishReason::NormalFinish ? 0 : 1);
        });
    QTimer::singleShot(30000, [] { QCoreApplication::exit(2); });
    if (!backend.pipelineController()->start(pipeline, false))
        return 3;
    return app.exec();
}
