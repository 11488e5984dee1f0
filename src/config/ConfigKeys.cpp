#include "config/ConfigKeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QPair>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

namespace ConfigKeys {

namespace {

// The key a reader names, whose default the table holds or, with `computed`,
// the reader supplies. Anything else is a fault of the reader's code.
// The key of the table, found by its bytes and checked once.
const Key& find(File file, const char* group, const char* name, bool computed)
{
    const Key* key = table(file);
    while (key->name && (qstrcmp(key->name, name) != 0 || qstrcmp(key->group, group) != 0))
        ++key;
    if (!key->name)
        qFatal("A reader uses the key '%s/%s', which is not in the table of its file", group, name);
    if (!computed && !key->computedDefault && !key->defaultValue.isValid())
        qFatal("The key '%s/%s' has no default in the table of its file", group, name);
    return *key;
}

// What QSettings::value() takes: "group/name", or the name alone for a process
// key, which is read inside its group.
QString path(const Key& key)
{
    if (qstrcmp(key.group, ProcessGroup) == 0)
        return QLatin1String(key.name);
    return QLatin1String(key.group) + QLatin1Char('/') + QLatin1String(key.name);
}

struct Known
{
    const Key* key;
    QString path;
};

// This runs for every key of every file loaded. The readers pass their own
// literals, so each is looked up once, by its address.
const Known& known(File file, const char* group, const char* name, bool computed)
{
    thread_local QHash<QPair<const void*, const void*>, Known> found[2];
    QHash<QPair<const void*, const void*>, Known>& cache = found[file == File::Pipeline ? 0 : 1];
    auto it =
        cache.find(qMakePair(static_cast<const void*>(group), static_cast<const void*>(name)));
    if (it == cache.end()) {
        const Key& key = find(file, group, name, computed);
        it =
            cache.insert(qMakePair(static_cast<const void*>(group), static_cast<const void*>(name)),
                         Known{&key, path(key)});
    }
    if (it->key->computedDefault != computed)
        qFatal(computed ? "A reader computes the default of the key '%s/%s', which the table holds"
                        : "The default of the key '%s/%s' is computed: its reader supplies it",
               group, name);
    return *it;
}

} // namespace

const Key* table(File file)
{
    // Built on first use: no reader, however early it runs, finds them unbuilt.
    static const Key pipelineKeys[] = {
        {"ui", "name", Kind::Text, QString()},
        {"ui", "icon", Kind::Text, QString()},
        {"logs", "basename", Kind::Text, QVariant(), true}, // the file's complete base name
        {"logs", "path", Kind::Text, QVariant(), true},     // the default log folder
        {PipelineGroup, "restart-at", Kind::TimeOfDay, QString()},
        {ProcessGroup, "exec", Kind::Text, QString()},
        {ProcessGroup, "label", Kind::Text, QString()},
        {ProcessGroup, "arguments", Kind::TextList, QStringList()},
        {ProcessGroup, "restart-on-crash", Kind::Boolean, false},
        {ProcessGroup, "restart-limit", Kind::Integer, 3},
        {ProcessGroup, "restart-period", Kind::Integer, 10, false, 0},
        {ProcessGroup, "restart-delay", Kind::Integer, 0, false, 0, MaxTimerSeconds},
        {ProcessGroup, "restart-delay-max", Kind::Integer, 60, false, 0, MaxTimerSeconds},
        {ProcessGroup, "restart-on-exit", Kind::ExitCodes, QStringList()},
        {ProcessGroup, "required", Kind::Boolean, false},
        {ProcessGroup, "library-paths", Kind::TextList, QStringList()},
        {ProcessGroup, "add-log-timestamp", Kind::Boolean, false},
        {ProcessGroup, "invalid-config-exit-codes", Kind::ExitCodes,
         QStringList{QStringLiteral("100")}},
        {ProcessGroup, "mode", Kind::Mode, QStringLiteral("daemon")},
        {ProcessGroup, "ready", Kind::Ready, QString()},
        {ProcessGroup, "ready-timeout", Kind::Integer, 30, false, 0, MaxTimerSeconds},
        {ProcessGroup, "working-directory", Kind::Text, QString()},
        // Written, a watchdog or a check is on: 0 is no period.
        {ProcessGroup, "watchdog", Kind::Integer, 0, false, 1, MaxTimerSeconds},
        {ProcessGroup, "alive", Kind::Ready, QString()},
        {ProcessGroup, "alive-interval", Kind::Integer, 10, false, 1, MaxTimerSeconds},
        {ProcessGroup, "alive-timeout", Kind::Integer, 5, false, 1, MaxTimerSeconds},
        {ProcessGroup, "alive-failures", Kind::Integer, 3, false, 1},
        {ProcessGroup, "memory-max", Kind::Size, QStringLiteral("0")},
        {nullptr, nullptr, Kind::Text, QVariant()},
    };
    static const Key settingsKeys[] = {
        {"ui", "allow-exit", Kind::Boolean, true},
        {"ui", "show-version", Kind::Boolean, true},
        {"autostart", "tile", Kind::Text, QString()},
        {"autostart", "timeout", Kind::Integer, 60, false, 0, MaxTimerSeconds},
        {"logs", "rotate-period", Kind::Integer, 86400, false, 0},
        {"logs", "keep-days", Kind::Integer, 90, false, 0},
        {"logs", "max-total-size", Kind::Size, QStringLiteral("256M")},
        {"logs", "max-file-size", Kind::Size, QStringLiteral("32M")},
        {"logs", "journal", Kind::Journal, QStringLiteral("events")},
        {"ui", "show-invalid-tiles", Kind::Boolean, false},
        {"ui", "location", Kind::Text, QStringLiteral("50% 50%")},
        {"ui", "width", Kind::Text, QStringLiteral("1000px")},
        // The owner's brand; empty keeps the screen's own look.
        {"ui", "title", Kind::Text, QString()},
        {"ui", "accent-color", Kind::Color, QString()},
        {"ui", "background-color", Kind::Color, QString()},
        {"ui", "background-image", Kind::Picture, QString()},
        {"ui", "logo", Kind::Picture, QString()},
        {"ui", "text-scale", Kind::Scale, QStringLiteral("1")},
        {"ui", "language", Kind::Language, QString()},
        {"ui", "renderer", Kind::Renderer, QStringLiteral("auto")},
        {"metrics", "textfile", Kind::MetricsFile, QString()},
        {"metrics", "interval", Kind::Integer, 15, false, 1, 86400}, // a day at most
        {nullptr, nullptr, Kind::Text, QVariant()},
    };
    return file == File::Pipeline ? pipelineKeys : settingsKeys;
}

const Key* find(File file, const QString& group, const QString& name)
{
    for (const Key* key = table(file); key->name; ++key) {
        if (group == QLatin1String(key->group) && name == QLatin1String(key->name))
            return key;
    }
    return nullptr;
}

QVariant value(const QSettings& settings, File file, const char* group, const char* name)
{
    const Known& key = known(file, group, name, false);
    return settings.value(key.path, key.key->defaultValue);
}

QVariant value(const QSettings& settings, File file, const char* group, const char* name,
               const QVariant& computedDefault)
{
    return settings.value(known(file, group, name, true).path, computedDefault);
}

QVariant defaultValue(File file, const char* group, const char* name)
{
    return known(file, group, name, false).key->defaultValue;
}

Integer integer(const Key& key, const QVariant& value)
{
    const QString text = value.toString();
    bool ok = false;
    const qint64 number = text.toLongLong(&ok, 10);
    // Digits that no 64-bit number holds are a number all the same: too large.
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]+$"));
    if (!ok && !digits.match(text).hasMatch())
        return {0, false, QStringLiteral("'%1' is not a whole number, so it reads as 0").arg(text)};
    if (ok && number >= key.minimum && number <= key.maximum)
        return {int(number), false, QString()};
    const int fallback = key.defaultValue.toInt();
    return {fallback, true,
            QStringLiteral("'%1' is out of range (%2 to %3), so it reads as the default, %4")
                .arg(text)
                .arg(key.minimum)
                .arg(key.maximum)
                .arg(fallback)};
}

Integer integer(const QSettings& settings, File file, const char* group, const char* name)
{
    const Known& key = known(file, group, name, false);
    if (!settings.contains(key.path))
        return {key.key->defaultValue.toInt(), false, QString()};
    return integer(*key.key, settings.value(key.path));
}

JournalMode journalMode(const QString& text, bool* ok)
{
    int mode = int(std::size(JournalModeNames)) - 1;
    while (mode > 0 && text != QLatin1String(JournalModeNames[mode]))
        --mode;
    if (ok)
        *ok = text == QLatin1String(JournalModeNames[mode]);
    return JournalMode(mode);
}

Renderer renderer(const QString& text, QString* problem)
{
    int choice = int(std::size(RendererNames)) - 1;
    while (choice > 0 && text != QLatin1String(RendererNames[choice]))
        --choice;
    if (problem && text != QLatin1String(RendererNames[choice]))
        *problem = QStringLiteral("'%1' is none of auto, opengl and software, so it reads as auto")
                       .arg(text);
    return Renderer(choice);
}

qint64 parseSize(const QString& text)
{
    QString digits = text.trimmed();
    const QString suffixes = QStringLiteral("KMG");
    const int suffix = digits.isEmpty() ? -1 : suffixes.indexOf(digits.back().toUpper());
    if (suffix >= 0)
        digits.chop(1);
    const bool allDigits = !digits.isEmpty() && std::all_of(digits.cbegin(), digits.cend(),
                                                            [](QChar c) { return c.isDigit(); });
    bool ok = false;
    const qint64 number = allDigits ? digits.toLongLong(&ok) : 0;
    const int shift = 10 * (suffix + 1);
    if (!ok || number > (std::numeric_limits<qint64>::max() >> shift))
        return -1;
    return number << shift;
}

Color color(const QString& text)
{
    QString value = text.toLower();
    value.remove(QLatin1Char(' '));
    static const QRegularExpression hex(QStringLiteral("^#([0-9a-f]{3}|[0-9a-f]{6}|[0-9a-f]{8})$"));
    if (value.isEmpty() || hex.match(value).hasMatch() || colorNames().contains(value))
        return {value, QString()};
    return {QString(), QStringLiteral("'%1' is not a colour: write #rrggbb (such as #3d8bfd) or "
                                      "a colour's name (such as navy); the default is used")
                           .arg(text)};
}

const QStringList& colorNames()
{
    static const QStringList names =
        QStringLiteral(
            "aliceblue antiquewhite aqua aquamarine azure beige bisque black blanchedalmond "
            "blue blueviolet brown burlywood cadetblue chartreuse chocolate coral "
            "cornflowerblue cornsilk crimson cyan darkblue darkcyan darkgoldenrod darkgray "
            "darkgreen darkgrey darkkhaki darkmagenta darkolivegreen darkorange darkorchid "
            "darkred darksalmon darkseagreen darkslateblue darkslategray darkslategrey "
            "darkturquoise darkviolet deeppink deepskyblue dimgray dimgrey dodgerblue "
            "firebrick floralwhite forestgreen fuchsia gainsboro ghostwhite gold goldenrod "
            "gray green greenyellow grey honeydew hotpink indianred indigo ivory khaki "
            "lavender lavenderblush lawngreen lemonchiffon lightblue lightcoral lightcyan "
            "lightgoldenrodyellow lightgray lightgreen lightgrey lightpink lightsalmon "
            "lightseagreen lightskyblue lightslategray lightslategrey lightsteelblue "
            "lightyellow lime limegreen linen magenta maroon mediumaquamarine mediumblue "
            "mediumorchid mediumpurple mediumseagreen mediumslateblue mediumspringgreen "
            "mediumturquoise mediumvioletred midnightblue mintcream mistyrose moccasin "
            "navajowhite navy oldlace olive olivedrab orange orangered orchid palegoldenrod "
            "palegreen paleturquoise palevioletred papayawhip peachpuff peru pink plum "
            "powderblue purple red rosybrown royalblue saddlebrown salmon sandybrown "
            "seagreen seashell sienna silver skyblue slateblue slategray slategrey snow "
            "springgreen steelblue tan teal thistle tomato transparent turquoise violet "
            "wheat white whitesmoke yellow yellowgreen")
            .split(QLatin1Char(' '));
    return names;
}

Picture picture(const QString& settingsFile, const QString& text)
{
    if (text.isEmpty())
        return {};
    const QFileInfo file(QFileInfo(settingsFile).absoluteDir(), text);
    const QString path = file.absoluteFilePath();
    const auto problem = [&text](const char* why) {
        return Picture{QString(), QStringLiteral("'%1' %2; no picture is shown").arg(text, why)};
    };
    if (!file.exists())
        return problem("does not exist");
    // Never opened unless regular: a FIFO would hold the reader for ever.
    if (!file.isFile())
        return problem("is no regular file");
    QFile picture(path);
    if (!picture.open(QIODevice::ReadOnly))
        return problem("cannot be read");
    const QByteArray start = picture.read(8);
    const bool known = start.startsWith("\x89PNG\r\n\x1a\n") || start.startsWith("\xff\xd8\xff") ||
                       start.startsWith("GIF8") || start.startsWith("BM");
    if (!known)
        return problem("is no PNG, JPEG, GIF or BMP picture");
    return {path, QString()};
}

Scale scale(const QString& text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (ok && value >= MinTextScale && value <= MaxTextScale)
        return {value, QString()};
    return {1, QStringLiteral("'%1' is no factor from %2 to %3 (such as 1.5); it reads as 1")
                   .arg(text)
                   .arg(MinTextScale)
                   .arg(MaxTextScale)};
}

QTime parseTimeOfDay(const QString& text)
{
    // Strict: "4am", "4.00" or "04:00:30" are not taken for something else.
    static const QRegularExpression form(QStringLiteral("^([01]?[0-9]|2[0-3]):([0-5][0-9])$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    return match.hasMatch() ? QTime(match.captured(1).toInt(), match.captured(2).toInt()) : QTime();
}

bool holdsSerializedValue(const QByteArray& content)
{
    // The C library's search: this looks at every byte of every file loaded.
    return ::memmem(content.constData(), size_t(content.size()), SerializedValueMarker,
                    std::strlen(SerializedValueMarker)) != nullptr;
}

QString searchPath(const QStringList& libraryPaths)
{
    return libraryPaths.join(QLatin1Char(':'));
}

QStringList screenLanguages()
{
    // The build names the translations (LAUNCHER_SCREEN_LANGUAGES: "de,fr").
    QStringList languages =
        QStringLiteral(LAUNCHER_SCREEN_LANGUAGES).split(QLatin1Char(','), Qt::SkipEmptyParts);
    languages.append(QStringLiteral("en"));
    languages.sort();
    languages.removeDuplicates();
    return languages;
}

QString screenLanguage(const QString& text, QString* problem)
{
    if (text.isEmpty())
        return QString();
    // A locale's own name: "de_DE.UTF-8" is a locale, QLocale reads "de_DE".
    const QLocale wanted(text.section(QLatin1Char('.'), 0, 0));
    const QStringList languages = screenLanguages();
    // The translation for the country first (pt_BR), else the language's.
    if (languages.contains(wanted.name()))
        return wanted.name();
    for (const QString& language : languages) {
        if (wanted.language() != QLocale::C && QLocale(language).language() == wanted.language())
            return language;
    }
    if (problem) {
        QStringList quoted = languages;
        const QString last = quoted.takeLast();
        *problem = QStringLiteral("'%1' is no language of the screen (%2 or %3), so it follows "
                                  "the locale")
                       .arg(text, quoted.join(QLatin1String(", ")), last);
    }
    return QString();
}

} // namespace ConfigKeys
