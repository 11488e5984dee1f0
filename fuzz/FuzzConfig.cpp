// libFuzzer target: one input is read and linted as a pipeline file and as
// launcher.ini, the way the launcher loads and `launcher check` lints them.
// A crash, a hang or a sanitizer report here is a bug of the readers or the linter.
// An input that our own parser takes must give every group, key and value
// that QSettings gives for it; a difference aborts with both listings.

#include "Backend.h"
#include "ConfigLinter.h"
#include "config/IniDocument.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir* folder = nullptr;

// Every path below the group entered, with its value, as found by walking the
// groups and keys the way a reader does.
template <class Source>
void collect(Source& source, const QString& group, QList<QPair<QString, QVariant>>& entries)
{
    const QStringList all = source.allKeys();
    entries.append({group + QStringLiteral("*all"), all});
    const QStringList keys = source.childKeys();
    for (const QString& key : keys)
        entries.append({group + key, source.value(key, QVariant())});
    const QStringList groups = source.childGroups();
    entries.append({group + QStringLiteral("*groups"), groups});
    for (const QString& child : groups) {
        source.beginGroup(child);
        collect(source, group + child + QLatin1Char('/'), entries);
        source.endGroup();
    }
}

void print(const char* title, const QList<QPair<QString, QVariant>>& entries)
{
    std::fprintf(stderr, "%s:\n", title);
    for (const auto& [path, value] : entries)
        std::fprintf(stderr, "  %s = %s %s\n", qUtf8Printable(path), value.typeName(),
                     qUtf8Printable(value.toStringList().join(QStringLiteral("\u2016"))));
}

bool equal(const QList<QPair<QString, QVariant>>& a, const QList<QPair<QString, QVariant>>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].first != b[i].first || a[i].second.type() != b[i].second.type() ||
            a[i].second != b[i].second)
            return false;
    }
    return true;
}

// QSettings keeps what it parsed by path and may not notice a rewrite within
// the same millisecond: every comparison reads a file of its own.
void compareWithQSettings(const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), int(size));
    IniDocument document(content);
    if (!document.isSupported())
        return;
    static quint64 count = 0;
    const QString path = folder->filePath(QStringLiteral("compare-%1.ini").arg(++count));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return;
    }
    QList<QPair<QString, QVariant>> ours;
    QList<QPair<QString, QVariant>> theirs;
    collect(document, QString(), ours);
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        collect(settings, QString(), theirs);
    }
    QFile::remove(path);
    if (!equal(ours, theirs)) {
        print("IniDocument", ours);
        print("QSettings", theirs);
        std::abort();
    }
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
    return folder->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString pipelinePath = folder->filePath(QStringLiteral("app.ini"));
    const QString settingsPath = folder->filePath(QStringLiteral("launcher.ini"));
    if (!writeFile(pipelinePath, data, size) || !writeFile(settingsPath, data, size))
        return 0;

    compareWithQSettings(data, size);

    Backend backend;
    const PipelineConfig pipeline = backend.loadPipelineConfig(QFileInfo(pipelinePath));
    ConfigLinter(pipelinePath, ConfigKeys::File::Pipeline).lint();
    backend.pipelineController()->isPipelineValid(pipeline);
    backend.loadConfig(QFileInfo(settingsPath));
    ConfigLinter(settingsPath, ConfigKeys::File::Settings).lint();
    return 0;
}
