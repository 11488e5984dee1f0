// libFuzzer target: one input is read and linted as a pipeline file and as
// launcher.ini, the way the launcher loads and `launcher check` lints them.
// A crash, a hang or a sanitizer report here is a bug of the readers or the linter.

#include "Backend.h"
#include "ConfigLinter.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

QTemporaryDir* folder = nullptr;

bool writeFile(const QString& path, const uint8_t* data, size_t size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Kept for the whole run; the trace lines of odd modes would drown the fuzzer's own.
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    folder = new QTemporaryDir();
    return folder->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString pipelinePath = folder->filePath(QStringLiteral("app.ini"));
    const QString settingsPath = folder->filePath(QStringLiteral("launcher.ini"));
    if (!writeFile(pipelinePath, data, size) || !writeFile(settingsPath, data, size))
        return 0;

    Backend backend;
    const PipelineConfig pipeline = backend.loadPipelineConfig(QFileInfo(pipelinePath));
    ConfigLinter(pipelinePath, ConfigKeys::File::Pipeline).lint();
    backend.pipelineController()->isPipelineValid(pipeline);
    backend.loadConfig(QFileInfo(settingsPath));
    ConfigLinter(settingsPath, ConfigKeys::File::Settings).lint();
    return 0;
}
