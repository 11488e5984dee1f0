#pragma once

#include "ConfigFile.h"

#include <QByteArray>
#include <QString>
#include <QTime>
#include <QVariant>

#include <climits>

class QSettings;
class QStringList;

// The keys that the readers know, by the group they belong in, with what a
// missing key reads as. The readers read every key through these tables, so the
// linter, which flags every key that is not in them, can never flag a key that a
// reader uses, and a default is written nowhere else.
namespace ConfigKeys {

// How a reader converts the text of a key.
enum class Kind
{
    Text,        // one text; a comma makes it a list, which reads as empty
    TextList,    // comma-separated texts
    Boolean,     // false for "", "0" and "false", true for anything else
    Integer,     // a whole number in the key's range; 0 when it does not parse, the
                 // default when it lies beyond the range
    ExitCodes,   // a list of whole numbers
    Mode,        // sync, async or daemon
    Ready,       // a readiness gate (tcp:, unix:, file:, log:, notify) or an alive= check
    Size,        // bytes, or KiB, MiB, GiB with K, M, G; the default when it does not parse
    Journal,     // what a service's journal gets: events or all
    TimeOfDay,   // HH:MM, local time; none when empty or when it does not parse
    MetricsFile, // an absolute path ending in .prom, or empty for none
    Color,       // #rgb, #rrggbb, #aarrggbb or a colour's name; the default when it is none
    Picture,     // a picture's path, relative to the settings file's folder or absolute
    Scale,       // a decimal factor from MinTextScale to MaxTextScale; 1 when it is none
    Language,    // a language of the screen (de, fr_CH); empty: the locale's
    Renderer,    // what draws the screen: auto, opengl or software
};

struct Key
{
    const char* group; // "process" stands for every process group
    const char* name;
    Kind kind;
    // What a missing key reads as, typed as a reader takes it. Invalid only
    // when computedDefault is set.
    QVariant defaultValue;
    // The default depends on the file or the data folders: the reader supplies it.
    bool computedDefault = false;
    // The range of values that mean what they say (Kind::Integer): below the
    // least, a period, delay or timeout is no longer one; beyond the most, a
    // number would no longer fit where it goes (a timer's milliseconds).
    int minimum = INT_MIN;
    int maximum = INT_MAX;
};

// The most seconds that a key may give a timer: its milliseconds fit an int
// (24 days and a bit).
inline const int MaxTimerSeconds = INT_MAX / 1000;

// The group of every process; its subgroup of environment variables; the
// group of what concerns the whole pipeline (not a process: it does not begin
// with "process").
inline const char* const ProcessGroup = "process";
inline const char* const PipelineGroup = "pipeline";
inline const char* const EnvironmentGroup = "environment";

// The table of a file kind, ending with a key whose name is null.
const Key* table(File file);

// The key `name` of `group` in the table, or null. For process groups pass ProcessGroup.
const Key* find(File file, const QString& group, const QString& name);

// The value of the key `name` of `group` as a reader takes it: the file's, or
// the table's default when the file lacks the key. A process key is read inside
// its group (pass ProcessGroup). Naming a key that the table lacks, or taking a
// default from the wrong place (the table for a computed one, or the reverse),
// is a fault of the reader's code that no file can cause: it stops the program
// at the first read, so no test run misses it.
QVariant value(const QSettings& settings, File file, const char* group, const char* name);
// The same for a key whose default is computed: the reader supplies it.
QVariant value(const QSettings& settings, File file, const char* group, const char* name,
               const QVariant& computedDefault);
// What the key reads as when the file lacks it; for a state that no file set.
QVariant defaultValue(File file, const char* group, const char* name);

// A whole number (Kind::Integer) as the readers take it, and what check says
// of it. Numbers never wrap: one beyond the key's range, however large,
// reads as the key's default.
struct Integer
{
    int value = 0;           // what the reader uses
    bool outOfRange = false; // a whole number, beyond the key's range
    QString problem;         // why the text does not read as written; empty when it does
};
Integer integer(const Key& key, const QVariant& value);
// The same for the key `name` of `group` in the settings (a process key inside
// its group: pass ProcessGroup). A key that the file lacks reads as its
// default, which may lie outside the range (watchdog: none).
Integer integer(const QSettings& settings, File file, const char* group, const char* name);

// The bytes of a size (Kind::Size): a whole number, optionally followed by K,
// M or G (either case) for KiB, MiB or GiB; -1 when the text is no size.
qint64 parseSize(const QString& text);

// logs/journal: what the journal of a service gets.
enum class JournalMode
{
    Events, // the launcher's own lines
    All,    // the applications' lines too
    Native, // the launcher's own, its events as native entries even without $JOURNAL_STREAM
};
// The words, in the order of JournalMode.
inline const char* const JournalModeNames[] = {"events", "all", "native"};
// Anything but the words is no choice (ok false) and reads as "events".
JournalMode journalMode(const QString& text, bool* ok = nullptr);

// ui/renderer: what draws the screen. Auto: software where OpenGL is no
// more than Mesa's own rasteriser, or where there is none.
enum class Renderer
{
    Auto,
    OpenGL,
    Software,
};
// The words, in the order of Renderer.
inline const char* const RendererNames[] = {"auto", "opengl", "software"};
// Anything but the words is no choice, with the problem, and reads as auto.
Renderer renderer(const QString& text, QString* problem = nullptr);

// A colour (Kind::Color) as the screen takes it: "#rgb", "#rrggbb" or
// "#aarrggbb" in hexadecimal digits, or one of the names of colorNames() in
// any case and with spaces; empty with `problem` set when the text is none.
struct Color
{
    QString value; // lower case, without spaces; empty for the default
    QString problem;
};
Color color(const QString& text);
// The names of colours, as the screen's colours know them.
const QStringList& colorNames();

// The path of a picture (Kind::Picture): `text` relative to the folder of
// `settingsFile`, or absolute; empty for none. `problem` says why the screen
// would not show it: no such file, no regular file (a FIFO would never end
// its read), or no PNG, JPEG, GIF or BMP picture by its first bytes.
struct Picture
{
    QString path;
    QString problem;
};
Picture picture(const QString& settingsFile, const QString& text);

// The factor of every text size on the screen (Kind::Scale): big screens read
// from afar want larger text, and beyond these the tiles no longer hold it.
inline const double MinTextScale = 0.5;
inline const double MaxTextScale = 3;
struct Scale
{
    double value = 1; // what the screen uses
    QString problem;
};
Scale scale(const QString& text);

// A time of day (Kind::TimeOfDay): H:MM or HH:MM, from 0:00 to 23:59; an
// invalid time when the text is none.
QTime parseTimeOfDay(const QString& text);

// ui/language: the languages that the screen speaks, English and one for
// each of its translations, sorted ("de", "en", "fr").
QStringList screenLanguages();
// The language of screenLanguages() that `text` names, as a locale names it
// ("de", "de_CH", "de-AT" and "de_DE.UTF-8" are "de"); empty for an empty
// text, and for one that names no language of the screen, with the problem.
QString screenLanguage(const QString& text, QString* problem = nullptr);

// How the settings reader marks a value serialized from binary data.
inline const char* const SerializedValueMarker = "@Variant(";
// True when a file's bytes hold such a value, which no file of the launcher
// needs and which could make the reader allocate without bound.
bool holdsSerializedValue(const QByteArray& content);

// The PATH of a process: its library-paths joined with ':', nothing inherited.
QString searchPath(const QStringList& libraryPaths);

// Exit codes that a process can end with; others never match.
inline const int MaxExitCode = 255;

} // namespace ConfigKeys
