#include "config/ConfigKeys.h"

#include "support/Trace.h"

#include <QFile>
#include <QSettings>

namespace ConfigKeys {

namespace {

const Key PipelineKeys[] = {
    {"ui", "name", Kind::Text},
    {"ui", "icon", Kind::Text},
    {"logs", "basename", Kind::Text},
    {"logs", "path", Kind::Text},
    {ProcessGroup, "exec", Kind::Text},
    {ProcessGroup, "arguments", Kind::TextList},
    {ProcessGroup, "restart-on-crash", Kind::Boolean},
    {ProcessGroup, "restart-limit", Kind::Integer},
    {ProcessGroup, "restart-period", Kind::Integer},
    {ProcessGroup, "restart-delay", Kind::Integer},
    {ProcessGroup, "restart-delay-max", Kind::Integer},
    {ProcessGroup, "restart-on-exit", Kind::ExitCodes},
    {ProcessGroup, "required", Kind::Boolean},
    {ProcessGroup, "library-paths", Kind::TextList},
    {ProcessGroup, "add-log-timestamp", Kind::Boolean},
    {ProcessGroup, "invalid-config-exit-codes", Kind::ExitCodes},
    {ProcessGroup, "mode", Kind::Mode},
    {ProcessGroup, "ready", Kind::Ready},
    {ProcessGroup, "ready-timeout", Kind::Integer},
    {ProcessGroup, "working-directory", Kind::Text},
    {nullptr, nullptr, Kind::Text},
};

const Key SettingsKeys[] = {
    {"ui", "allow-exit", Kind::Boolean},      {"ui", "show-version", Kind::Boolean},
    {"autostart", "tile", Kind::Text},        {"autostart", "timeout", Kind::Integer},
    {"logs", "rotate-period", Kind::Integer}, {"ui", "show-invalid-tiles", Kind::Boolean},
    {"ui", "location", Kind::Text},           {"ui", "width", Kind::Text},
    {nullptr, nullptr, Kind::Text},
};

} // namespace

const Key* table(File file)
{
    return file == File::Pipeline ? PipelineKeys : SettingsKeys;
}

const Key* find(File file, const QString& group, const QString& name)
{
    for (const Key* key = table(file); key->name; ++key) {
        if (group == QLatin1String(key->group) && name == QLatin1String(key->name))
            return key;
    }
    return nullptr;
}

QString path(File file, const char* group, const char* name)
{
    Q_ASSERT_X(find(file, QLatin1String(group), QLatin1String(name)), "ConfigKeys::path",
               "a reader uses a key that is not in its table");
    if (qstrcmp(group, ProcessGroup) == 0)
        return QLatin1String(name);
    return QLatin1String(group) + QLatin1Char('/') + QLatin1String(name);
}

bool holdsSerializedValue(const QByteArray& content)
{
    return content.contains(SerializedValueMarker);
}

std::unique_ptr<QSettings> openSettingsFile(const QString& path)
{
    // The settings reader turns a value written as @Variant(...) into an
    // object from binary data, trusting sizes that the file states; a file
    // that holds one is refused before the reader sees it.
    QString readPath = path;
    QFile file(path);
    if (!path.isEmpty() && file.open(QIODevice::ReadOnly) && holdsSerializedValue(file.readAll())) {
        Solvane::Trace::error("Settings file '%s' holds a serialized value (%s...), which the "
                              "launcher does not read: the file is ignored",
                              qUtf8Printable(path), SerializedValueMarker);
        readPath.clear();
    }
    auto settings = std::make_unique<QSettings>(readPath, QSettings::IniFormat);
    settings->setIniCodec("UTF-8");
    return settings;
}

} // namespace ConfigKeys
