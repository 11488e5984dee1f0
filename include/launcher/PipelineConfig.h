#pragma once

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTime>

// How a process paces its pipeline. A zero-initialised mode is Daemon.
enum class ProcessMode : int
{
    Daemon = 0, // the next process may start once this one runs; never keeps a pipeline alive
    Sync = 1,   // the next process may start only after this one has ended normally
    Async = 2,  // the next process may start once this one runs
};

// The mode's name as a pipeline file writes it: "daemon", "sync" or "async".
QString processModeName(ProcessMode mode);

struct ProcessConfig;

// The name a person tells process `index` of a pipeline's processes by: its
// label, else the file name of its program and its first argument that is no
// option ("sh: echo checking the sensor"). Among the other processes without
// a label that run the same program, the argument is the first one that
// differs from theirs, from where it differs ("sh: …sensor; exit 3"), and an
// option just before it is shown with it ("python3: --port 8081"). At most
// MaxLabelLength characters, unless a label is longer. Screens and status
// show this.
QString processShownName(const QList<ProcessConfig>& processes, int index);
// The same for a process as if it ran alone in its pipeline.
QString processShownName(const ProcessConfig& process);

// The longest label that a row of a screen shows whole.
constexpr int MaxLabelLength = 40;

// One process of a pipeline.
struct ProcessConfig
{
    QString exec;
    QStringList arguments;
    // What a person calls it on a screen and in status; empty: processShownName() makes one.
    QString label;
    QString workingDirectory;
    ProcessMode mode = ProcessMode::Daemon;
    bool restartOnCrash = false;
    int restartLimit = 3;
    int restartPeriod = 10;
    bool isRequired = false;
    QSet<int> invalidConfigExitCodes;
    QStringList libraryPaths;
    QMap<QString, QString> environment;
    bool timestampLogEntries = false;
    // Start pacing and restarts; each is off by default.
    QString ready;         // what makes an Async or Daemon process ready: tcp:, unix:,
                           // file:, log:, notify; empty: ready once started
    int readyTimeout = 30; // seconds
    int restartDelay = 0; // seconds before a restart after a crash, doubled per crash in the period
    int restartDelayMax = 60; // seconds
    QSet<int> restartOnExit;  // exit codes restarted like a crash
    // Health; each is off by default. A process found hung or over its cap is
    // stopped and restarted like after a crash.
    int watchdog = 0;       // seconds within which it sends WATCHDOG=1; 0: no watchdog
    QString alive;          // a periodic check in the grammar of ready, or http://HOST:PORT/PATH
    int aliveInterval = 10; // seconds between checks
    int aliveTimeout = 5;   // seconds one check may take
    int aliveFailures = 3;  // failed checks in a row that make the process hung
    qint64 memoryMax = 0;   // bytes of proportional set size for it and its descendants; 0: none
    // As the reader found them, for reports: the group the process was read
    // from, and why its mode text was not understood (empty when it was).
    QString group;
    QString modeError;
};

// Every field compared: a configuration read again is the same exactly when
// nothing in it changed. A new field belongs in the comparison, too.
bool operator==(const ProcessConfig& a, const ProcessConfig& b);
inline bool operator!=(const ProcessConfig& a, const ProcessConfig& b)
{
    return !(a == b);
}

// One application: an ordered list of processes, identified by basename.
struct PipelineConfig
{
    QString basename;
    QString name;
    QString icon;
    QList<ProcessConfig> processList;
    QString logBasename;
    QString logPath;
    // The local time at which a running pipeline is restarted each day
    // ([pipeline] restart-at); invalid: never.
    QTime restartAt;
};

bool operator==(const PipelineConfig& a, const PipelineConfig& b);
inline bool operator!=(const PipelineConfig& a, const PipelineConfig& b)
{
    return !(a == b);
}

Q_DECLARE_METATYPE(PipelineConfig)
