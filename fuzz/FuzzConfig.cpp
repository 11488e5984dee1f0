// libFuzzer target: one input is loaded as a pipeline file and as launcher.ini
// of a data folder, the way the launcher loads its files, and linted from the
// bytes loaded, the way `launcher list` shows the problems of the files.
// A crash, a hang or a sanitizer report here is a bug of the reading (the file
// check, its private copy, the readers of the keys) or of the linter.

#include "Backend.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

QTemporaryDir* folder = nullptr;

QString dataFolder()
{
    return folder->filePath(QStringLiteral("data/Orvalen/launcher"));
}

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
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder->filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(folder->filePath(QStringLiteral("machine"))));
    return folder->isValid() && QDir().mkpath(dataFolder() + QStringLiteral("/apps")) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!writeFile(dataFolder() + QStringLiteral("/apps/app.ini"), data, size) ||
        !writeFile(dataFolder() + QStringLiteral("/launcher.ini"), data, size))
        return 0;

    Backend backend;
    backend.load();
    for (const PipelineConfig& pipeline : backend.processPipelines())
        backend.pipelineController()->isPipelineValid(pipeline);
    backend.configProblems();
    return 0;
}
