#pragma once

#include "ConfigFile.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QSettings;

// The keys that the readers know, by the group they belong in. The readers
// read every key through these tables, so the linter, which flags every key
// that is not in them, can never flag a key that a reader uses.
namespace ConfigKeys {

// How a reader converts the text of a key.
enum class Kind
{
    Text,      // one text; a comma makes it a list, which reads as empty
    TextList,  // comma-separated texts
    Boolean,   // false for "", "0" and "false", true for anything else
    Integer,   // a whole number, 0 when it does not parse
    ExitCodes, // a list of whole numbers
    Mode,      // sync, async or daemon
    Ready,     // a readiness check: tcp:, unix:, file:, log: or notify
};

struct Key
{
    const char* group; // "process" stands for every process group
    const char* name;
    Kind kind;
};

// The group of every process; its subgroup of environment variables.
inline const char* const ProcessGroup = "process";
inline const char* const EnvironmentGroup = "environment";

// The table of a file kind, ending with a key whose name is null.
const Key* table(File file);

// The key `name` of `group` in the table, or null. For process groups pass ProcessGroup.
const Key* find(File file, const QString& group, const QString& name);

// What a reader passes to QSettings::value() for a known key: "group/name", or
// the name alone for a process key, which is read inside its group. Asserts
// that the table has the key, so a reader cannot use a key the linter flags.
QString path(File file, const char* group, const char* name);

// How the settings reader marks a value serialized from binary data.
inline const char* const SerializedValueMarker = "@Variant(";
// True when a file's bytes hold such a value, which no file of the launcher
// needs and which could make the reader allocate without bound.
bool holdsSerializedValue(const QByteArray& content);

// A settings reader on a configuration file, decoding it as UTF-8 as every
// text file on Linux is written. An empty path, or a file that holds a
// serialized value (refused with a trace error), gives a reader with no keys.
std::unique_ptr<QSettings> openSettingsFile(const QString& path);

} // namespace ConfigKeys
