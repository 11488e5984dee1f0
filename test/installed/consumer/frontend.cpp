#include <Backend.h>

#include <QCoreApplication>
#include <QDebug>

// A front end in twenty lines: the applications as tiles, the countdown, the end.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Backend backend;
    QObject::connect(&backend, &Backend::autostartTimeRemaining,
                     [](int seconds) { qInfo() << "starting in" << seconds << "s"; });
    QObject::connect(
        &backend, &Backend::pipelineFinished,
        [](const QString& name, PipelineController::PipelineFinishReason reason) {
            qInfo() << name << (reason == PipelineController::NormalFinish ? "ended" : "failed");
            QCoreApplication::quit();
        });
    backend.initialize(); // settings, applications, the autostart countdown
    for (const PipelineConfig& pipeline : backend.processPipelines())
        qInfo() << "tile:" << pipeline.basename << pipeline.name;
    return backend.isAutoStartEnabled() ? app.exec() : 0;
}
