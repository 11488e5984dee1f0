#include "config/LauncherSettingsReader.h"

#include "config/ConfigKeys.h"
#include "config/SettingsFile.h"
#include "support/Trace.h"

#include <QSettings>

#include <memory>
#include <tuple>

namespace {

// Reads every key with its default; without settings, the defaults alone.
LauncherSettings readKeys(const QSettings* settings, const QString& path)
{
    const auto value = [settings](const char* group, const char* name) {
        return settings ? ConfigKeys::value(*settings, ConfigKeys::File::Settings, group, name)
                        : ConfigKeys::defaultValue(ConfigKeys::File::Settings, group, name);
    };
    // A number beyond its key's range keeps the key's default, with an error
    // that names the file, the key and the value: it never wraps.
    const auto integer = [settings, &value, &path](const char* group, const char* name) {
        if (!settings)
            return value(group, name).toInt();
        const ConfigKeys::Integer number =
            ConfigKeys::integer(*settings, ConfigKeys::File::Settings, group, name);
        if (number.outOfRange)
            Solvane::Trace::error("Settings file '%s': [%s] %s: %s", qUtf8Printable(path), group,
                                  name, qUtf8Printable(number.problem));
        return number.value;
    };
    // A size that does not parse keeps the bound of the default, never none.
    const auto size = [&value](const char* name) {
        const qint64 bytes = ConfigKeys::parseSize(value("logs", name).toString());
        return bytes >= 0 ? bytes
                          : ConfigKeys::parseSize(
                                ConfigKeys::defaultValue(ConfigKeys::File::Settings, "logs", name)
                                    .toString());
    };
    // A brand or a language that does not read keeps the screen's own, with a
    // warning that names the file, the key and the value.
    const auto warn = [settings, &path](const char* name, const QString& problem) {
        if (settings && !problem.isEmpty())
            Solvane::Trace::warning("Settings file '%s': [ui] %s: %s", qUtf8Printable(path), name,
                                    qUtf8Printable(problem));
    };
    // A value with a comma reads as a list: the warning shows it as written.
    const auto written = [&value](const char* name) {
        const QVariant text = value("ui", name);
        return text.type() == QVariant::StringList ? text.toStringList().join(QLatin1Char(','))
                                                   : text.toString();
    };
    const auto color = [&written, &warn](const char* name) {
        const ConfigKeys::Color color = ConfigKeys::color(written(name));
        warn(name, color.problem);
        return color.value;
    };
    const auto picture = [&written, &warn, &path](const char* name) {
        const ConfigKeys::Picture picture = ConfigKeys::picture(path, written(name));
        warn(name, picture.problem);
        return picture.path;
    };
    LauncherSettings read;
    read.allowUserExit = value("ui", "allow-exit").toBool();
    read.showVersionInfo = value("ui", "show-version").toBool();
    read.autostartTile = value("autostart", "tile").toString();
    read.autostartTimeout = integer("autostart", "timeout");
    read.logRotatePeriod = integer("logs", "rotate-period");
    read.logKeepDays = integer("logs", "keep-days");
    read.logMaxTotalSize = size("max-total-size");
    read.logMaxFileSize = size("max-file-size");
    const ConfigKeys::JournalMode journal =
        ConfigKeys::journalMode(value("logs", "journal").toString());
    read.journalGetsAll = journal == ConfigKeys::JournalMode::All;
    read.journalNative = journal == ConfigKeys::JournalMode::Native;
    read.showInvalidTiles = value("ui", "show-invalid-tiles").toBool();
    read.metricsTextfile = value("metrics", "textfile").toString();
    read.metricsInterval = integer("metrics", "interval");
    read.uiLocation = value("ui", "location").toString();
    read.uiWidth = value("ui", "width").toString();
    read.uiWidthSet = settings && settings->contains(QStringLiteral("ui/width"));
    read.uiTitle = value("ui", "title").toString();
    read.uiAccentColor = color("accent-color");
    read.uiBackgroundColor = color("background-color");
    read.uiBackgroundImage = picture("background-image");
    read.uiLogo = picture("logo");
    const ConfigKeys::Scale scale = ConfigKeys::scale(written("text-scale"));
    warn("text-scale", scale.problem);
    read.uiTextScale = scale.value;
    // A language that the screen does not speak leaves it to the locale.
    QString problem;
    read.uiLanguage = ConfigKeys::screenLanguage(written("language"), &problem);
    warn("language", problem);
    // One the screen does not know leaves the drawing to it.
    problem.clear();
    read.uiRenderer = QLatin1String(
        ConfigKeys::RendererNames[int(ConfigKeys::renderer(written("renderer"), &problem))]);
    warn("renderer", problem);
    return read;
}

} // namespace

LauncherSettings LauncherSettingsReader::defaults()
{
    return readKeys(nullptr, QString());
}

LauncherSettings LauncherSettingsReader::read(const QSettings& settings, const QString& path)
{
    return readKeys(&settings, path);
}

// Unreadable, every setting takes its default: the warning says why autostart is off.
LauncherSettings LauncherSettingsReader::read(const SettingsFile& file, QString* problem)
{
    QString copyError;
    const std::unique_ptr<QSettings> settings = file.settings(&copyError);
    const QString why = file.loadProblem(copyError);
    if (!file.isReadable() || !copyError.isEmpty())
        Solvane::Trace::warning("Settings file '%s': %s; every setting takes its default",
                                qUtf8Printable(file.path()), qUtf8Printable(why));
    else if (!why.isEmpty())
        Solvane::Trace::warning("Settings file '%s': %s", qUtf8Printable(file.path()),
                                qUtf8Printable(why));
    if (problem)
        *problem = why;
    return readKeys(settings.get(), file.path());
}

bool LauncherSettings::operator==(const LauncherSettings& other) const
{
    const auto tied = [](const LauncherSettings& s) {
        return std::tie(s.allowUserExit, s.showVersionInfo, s.showInvalidTiles, s.uiLocation,
                        s.uiWidth, s.uiWidthSet, s.uiTitle, s.uiAccentColor, s.uiBackgroundColor,
                        s.uiBackgroundImage, s.uiLogo, s.uiTextScale, s.autostartTile,
                        s.autostartTimeout, s.logRotatePeriod, s.logKeepDays, s.logMaxTotalSize,
                        s.logMaxFileSize, s.journalGetsAll, s.journalNative, s.metricsTextfile,
                        s.metricsInterval, s.uiLanguage, s.uiRenderer);
    };
    return tied(*this) == tied(other);
}
