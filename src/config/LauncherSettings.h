#pragma once

#include <QString>

class QSettings;
class SettingsFile;

// What launcher.ini says: every setting, a key that the file lacks at its
// default. A value, read once and handed to whoever applies it.
struct LauncherSettings
{
    bool allowUserExit = false;
    bool showVersionInfo = false;
    bool showInvalidTiles = false;
    QString uiLocation;
    QString uiWidth;
    // The application that starts by itself; empty for none.
    QString autostartTile;
    int autostartTimeout = 0;
    qint64 logRotatePeriod = 0;
    // Compressed logs older than this many days are removed; 0 keeps them.
    int logKeepDays = 0;
    // The most bytes that the logs of the default log folder take; 0: no limit.
    qint64 logMaxTotalSize = 0;
    // A log file larger than this is split; 0: never.
    qint64 logMaxFileSize = 0;
    // What a service's journal gets (logs/journal): every line, or only the
    // launcher's own; as native entries even when standard error is not its stream.
    bool journalGetsAll = false;
    bool journalNative = false;
    // The metrics file (metrics/textfile; empty for none) and its interval.
    QString metricsTextfile;
    int metricsInterval = 0;

    // Every setting at its default: what a missing file reads as.
    static LauncherSettings defaults();
    // Every setting of `settings`, read from the file at `path`. A number
    // beyond its key's range keeps the default, with an error naming the
    // file, the key and the value.
    static LauncherSettings read(const QSettings& settings, const QString& path);
    // The settings of a file read once. When it does not read as written,
    // `problem` says why (the file is warned about, too); when it cannot be
    // read at all, every setting takes its default.
    static LauncherSettings read(const SettingsFile& file, QString* problem = nullptr);

    bool operator==(const LauncherSettings& other) const;
    bool operator!=(const LauncherSettings& other) const { return !(*this == other); }
};
