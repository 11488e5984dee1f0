#pragma once

#include <QString>

// What launcher.ini says, as Backend::settings() gives it: read once, with a
// key that the file lacks at its default, and handed to whatever follows it.
// Made by hand, every member is zero or empty, which is not what a file
// without keys reads as.
struct LauncherSettings
{
    bool allowUserExit = false;
    bool showVersionInfo = false;
    bool showInvalidTiles = false;
    QString uiLocation;
    QString uiWidth;
    // Whether the file gives ui/width: where a compositor places the window,
    // a width left to the default is the compositor's, not 1000px.
    bool uiWidthSet = false;
    // The owner's brand on the screen, each empty for the screen's own: the
    // title over the tiles, colours as the screen takes them, the absolute
    // paths of pictures; and the factor of every text size (1 as it is).
    QString uiTitle;
    QString uiAccentColor;
    QString uiBackgroundColor;
    QString uiBackgroundImage;
    QString uiLogo;
    double uiTextScale = 0;
    // The screen's language (ui/language: "de", "en", "fr"); empty: the locale's.
    QString uiLanguage;
    // What draws the screen (ui/renderer: "auto", "opengl" or "software").
    QString uiRenderer;
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

    bool operator==(const LauncherSettings& other) const;
    bool operator!=(const LauncherSettings& other) const { return !(*this == other); }
};
