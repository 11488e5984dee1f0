#pragma once

#include "LauncherSettings.h"

class QSettings;
class SettingsFile;

// Reads launcher.ini into a LauncherSettings, every key through the table of
// keys (ConfigKeys): a key that the file lacks takes its default.
namespace LauncherSettingsReader {

// Every setting at its default: what a missing file reads as.
LauncherSettings defaults();
// Every setting of `settings`, read from the file at `path`. A number beyond
// its key's range keeps the default, with an error naming the file, the key
// and the value.
LauncherSettings read(const QSettings& settings, const QString& path);
// The settings of a file read once. When it does not read as written,
// `problem` says why (the file is warned about, too); when it cannot be read
// at all, every setting takes its default.
LauncherSettings read(const SettingsFile& file, QString* problem = nullptr);

} // namespace LauncherSettingsReader
