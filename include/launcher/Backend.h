#pragma once

#include "ApplicationModel.h"
#include "AutostartCountdown.h"
#include "ConfigProblem.h"
#include "LauncherSettings.h"
#include "PipelineConfig.h"
#include "PipelineController.h"
#include "ProcessModel.h"

#include <QDateTime>
#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <optional>
#include <vector>

// The one object a launcher front end talks to: launcher settings, the loaded
// pipelines, the pipeline controller and the autostart countdown. Its
// properties and invokable functions serve a QML front end as they are.
class Backend : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ApplicationModel* applications READ applications CONSTANT)
    Q_PROPERTY(ProcessModel* processes READ processes CONSTANT)
    Q_PROPERTY(int autostartSeconds READ autostartSeconds NOTIFY autostartSecondsChanged)
    Q_PROPERTY(bool autostartActive READ autostartActive NOTIFY autostartSecondsChanged)
    Q_PROPERTY(QString autostartApplication READ autostartTile NOTIFY settingsChanged)
    Q_PROPERTY(QString runningApplication READ runningApplication NOTIFY runningApplicationChanged)
    Q_PROPERTY(
        QString runningApplicationName READ runningApplicationName NOTIFY runningApplicationChanged)
    Q_PROPERTY(QString pipelinePhase READ pipelinePhase NOTIFY pipelinePhaseChanged)
    Q_PROPERTY(QVariantMap lastResult READ lastResultMap NOTIFY lastResultChanged)
    Q_PROPERTY(QDateTime nextRestart READ nextRestart NOTIFY pipelinePhaseChanged)
    Q_PROPERTY(bool allowUserExit READ allowUserExit NOTIFY settingsChanged)
    Q_PROPERTY(bool showVersionInfo READ showVersionInfo NOTIFY settingsChanged)
    Q_PROPERTY(bool showInvalidTiles READ showInvalidTiles NOTIFY settingsChanged)
    Q_PROPERTY(QString uiLocation READ uiLocation NOTIFY settingsChanged)
    Q_PROPERTY(QString uiWidth READ uiWidth NOTIFY settingsChanged)
    Q_PROPERTY(QString version READ version CONSTANT)

public:
    explicit Backend(QObject* parent = nullptr);
    ~Backend() override;

    // The whole start-up: cleans up after a dead launcher, loads, rotates the
    // old logs (rotateLogs(): done when it returns, logRotationProgress()
    // meanwhile) and begins the autostart countdown; always true. From then
    // on the logs are rotated at every local midnight, too, on a thread of
    // their own (rotateLogsInBackground()).
    bool initialize();
    // The settings and the applications with their problems, and nothing more:
    // no log rotation, no autostart. For front ends that only look.
    bool load();

    // Settings and pipeline files
    // Reads launcher.ini; false when the file does not exist (settings untouched).
    bool loadConfig(const QFileInfo& file);
    // Every setting from `settings`, a missing key restoring its default.
    void readLauncherSettings(QSettings& settings);
    // The pipeline of a file; a missing or unreadable file gives an empty record.
    PipelineConfig loadPipelineConfig(const QFileInfo& file);
    PipelineConfig readPipelineConfig(QSettings& settings);
    // The *.ini files of one apps folder, by name.
    QList<QFileInfo> userApplicationFiles();
    QList<QFileInfo> systemApplicationFiles();
    // Both folders, a per-user file replacing the machine-wide one of its name.
    QList<QFileInfo> applicationFiles();
    // Appends every pipeline file's record and returns how many were read.
    int loadApplications();
    // Reads launcher.ini and every pipeline file again, in place of what was
    // loaded: a new file is an application, a removed one is gone, an edited
    // one reads as edited. The running pipeline keeps the configuration it
    // started with. Returns the files that do not read as written (each is
    // warned about, too); their applications read as far as the reader gets,
    // every other file as usual. applicationsChanged() follows when the
    // applications differ from before. A countdown that runs follows the
    // files: another tile or timeout counts down anew for it (with
    // autostartTimeRemaining()), and one that can no longer start
    // (autostartProblem()) is cancelled (autostartCancelled()).
    QList<ConfigProblem> reload();

    // Data folders
    static QString userDataPath();
    static QString systemDataPath();
    QString defaultLogPath() const;
    static QFileInfo userSettingsFile();
    static QFileInfo systemSettingsFile();
    // The launcher.ini that load() reads: the user's where it exists, else
    // the machine's, which may not exist either.
    static QFileInfo settingsFile();

    // Settings as loaded
    const LauncherSettings& settings() const { return m_settings; }
    bool allowUserExit() const { return m_settings.allowUserExit; }
    bool showVersionInfo() const { return m_settings.showVersionInfo; }
    bool showInvalidTiles() const { return m_settings.showInvalidTiles; }
    bool isAutoStartEnabled() const { return !m_settings.autostartTile.isEmpty(); }
    int autostartTimeout() const { return m_settings.autostartTimeout; }
    qint64 logRotatePeriod() const { return m_settings.logRotatePeriod; }
    int logKeepDays() const { return m_settings.logKeepDays; }
    qint64 logMaxTotalSize() const { return m_settings.logMaxTotalSize; }
    // A log file larger than this is split (PipelineController::setLogFileSizeLimit).
    qint64 logMaxFileSize() const { return m_settings.logMaxFileSize; }
    bool journalGetsAll() const { return m_settings.journalGetsAll; }
    bool journalNative() const { return m_settings.journalNative; }
    QString autostartTile() const { return m_settings.autostartTile; }
    QString uiLocation() const { return m_settings.uiLocation; }
    QString uiWidth() const { return m_settings.uiWidth; }
    const QList<PipelineConfig>& processPipelines() const { return m_processPipelines; }
    // The file that processPipelines().at(index) was read from; empty when
    // there is none (a pipeline read from settings given by a front end).
    QString pipelineFilePath(int index) const;
    // What the linter finds in the settings file and the pipeline files loaded,
    // in the order loaded; each names its file. Linted on the first call, so
    // that a start-up that does not ask pays nothing for it.
    const QList<ConfigProblem>& configProblems() const;
    // The settings file that load() read; empty when there is none.
    QString settingsFilePath() const { return m_settingsFilePath; }

    // The loaded pipeline of that base name, or null.
    const PipelineConfig* findPipeline(const QString& basename) const;
    // The display name of the autostart pipeline; empty when it is not loaded.
    QString autostartPipelineName() const;
    // Runs one pipeline at a time; owned by the backend.
    PipelineController* pipelineController() { return &m_pipelineController; }
    // The autostart countdown, for a front end to watch and stop; the
    // functions below start and end it as the settings say.
    AutostartCountdown* autostartCountdown() { return &m_autostartCountdown; }

    // Autostart countdown
    // Starts the countdown to the autostart pipeline; false (traced) when one
    // runs already or the pipeline is not loaded.
    bool enableAutostart();
    // Ends the countdown, if any; always emits autostartDisabled().
    void disableAutostart();
    // The seconds left of the countdown, as autostartTimeRemaining() last
    // told them (the timeout at its start); never 0; -1 when none runs.
    int autostartRemainingSeconds() const;
    // Why autostart cannot start its application as the settings stand: off,
    // not loaded or not valid, in words; empty when it can.
    QString autostartProblem() const;

    // For a front end
    // The loaded applications, one row each. Filled at the first call and
    // from then on at every load and reload: validating and linting every
    // file is a front end's cost, not that of a launcher that never shows
    // tiles.
    ApplicationModel* applications();
    // The processes of the running (or last) pipeline, row by row.
    ProcessModel* processes() { return &m_processModel; }
    // autostartRemainingSeconds(), and whether a countdown runs.
    int autostartSeconds() const { return m_autostartCountdown.seconds(); }
    bool autostartActive() const { return m_autostartCountdown.seconds() > 0; }
    // The base name and display name of the pipeline that runs; empty when none does.
    QString runningApplication() const;
    QString runningApplicationName() const;
    // "idle", "starting", "running", "stopping" or "finished".
    QString pipelinePhase() const;
    // When the running pipeline is restarted next by its restart-at (local
    // time); invalid when it has none or nothing runs. A daily restart shows
    // as the phases "stopping", "starting" and "running" again, never as a finish.
    QDateTime nextRestart() const { return m_pipelineController.nextRestart(); }
    // How the last pipeline ended, for a front end: basename, name, outcome
    // ("normal", "failed", "stopped"), failureReason (words, or empty),
    // failureCause (its PipelineFailureReason's name, such as
    // "RequiredProcessFailure", or empty),
    // failedProcessIndex (-1: none), failedProgram, failedName (its label, or
    // processShownName()), failedExitCode,
    // failedExitSignal, failedCrashed, failedBecause (the process's failure
    // in words), stoppedProcesses (the indexes of the processes that the
    // launcher stopped after the failure), startedAt, finishedAt, logFile and
    // problems (the validation problems of a pipeline that is not valid).
    // Empty before any pipeline has finished.
    QVariantMap lastResultMap() const;
    // The launcher's version, as its --version gives it.
    static QString version();
    // The launcher's metrics in the Prometheus text format (0.0.4); the
    // memory of what runs is looked at now.
    QByteArray metricsText() const;

    // Ends a countdown and starts the application with its log; false
    // (traced) when a pipeline runs, or it is not loaded or not valid.
    Q_INVOKABLE bool startApplication(const QString& basename);
    // Stops the running pipeline on request, with the controller's stop timeout.
    Q_INVOKABLE void stopApplication();
    Q_INVOKABLE void cancelAutostart() { disableAutostart(); }
    Q_INVOKABLE void reloadApplications() { reload(); }
    // The last lines of the running pipeline's log, or else of the last
    // one's; read from a bounded tail of the file. Empty when there is none.
    Q_INVOKABLE QStringList logTail(int lines) const;
    // The log's tail for a failure screen: logTail(lines) from the failing
    // process's first line in it on (the whole tail when it has none), each
    // line a map of text and whose: "failed" for the failing process's
    // lines, "stopped" for those of a process that the launcher stopped
    // after the failure, else empty.
    Q_INVOKABLE QVariantList failureLog(int lines) const;

    // Everything `launcher check` finds wrong with a pipeline: why it cannot
    // start (PipelineController::validate(), each an error of its process's
    // group or of the whole pipeline), then `lint` (the linter's problems of
    // its file). Each carries the index of the process it concerns, -1 for
    // none. `path` names the file.
    QList<ConfigProblem> pipelineProblems(const PipelineConfig& pipeline, const QString& path,
                                          const QList<ConfigProblem>& lint) const;
    // The same of a loaded application, for a screen: one map per problem,
    // the pipeline's own first, then process by process in order, each
    // process's errors before its warnings; each has processIndex, process
    // ("process-1 (lighttpd)", empty for the pipeline's own), severity
    // ("error", "warning") and text (without the process's group).
    Q_INVOKABLE QVariantList applicationProblems(const QString& basename) const;

    // Log maintenance
    // Compresses and removes the old regular *.log files of the default log
    // folder, and the pieces of split logs, then removes the compressed logs
    // beyond the days to keep and the total size; returns when it is done,
    // having emitted logRotationProgress() as it went.
    void rotateLogs();
    // The same on a thread of its own: returns at once, and logsRotated()
    // tells when it is done. The event loop goes on meanwhile; a backend
    // destroyed before the end leaves the log it was compressing as it was.
    void rotateLogsInBackground();
    bool isRotatingLogs() const;
    // Writes file.gz beside a regular file, streaming; the file itself stays.
    bool compressFile(const QFileInfo& file);

signals:
    void pipelineStarted(QString basename);
    void pipelineFinished(QString basename, PipelineController::PipelineFinishReason finishReason);
    void pipelineFailure(QString basename, PipelineController::PipelineFailureReason failureReason);
    void autostartDisabled();
    void autostartTimeRemaining(int remainingSecs);
    // A reload cancelled the countdown: autostart is off now, or its
    // application is gone or not valid (`reason`, as autostartProblem()
    // words it); autostartDisabled() follows.
    void autostartCancelled(QString reason);
    // The pipeline ended because a stop was requested (a front end's stop, a
    // signal, the control socket): no failure; pipelineFinished follows.
    void pipelineStopped(QString basename);
    // The rotations begun by rotateLogsInBackground() (or by a new day, a
    // split log) are done.
    void logsRotated();
    // rotateLogs() (as initialize() calls it) goes on: at its first step and
    // then at most once a second, while the event loop waits for it.
    void logRotationProgress();
    // reload() read applications that differ from those before: added,
    // removed or edited.
    void applicationsChanged();
    // autostartSeconds changed: a countdown began, ticked or ended (-1).
    void autostartSecondsChanged();
    // The settings were read again (load, reload).
    void settingsChanged();
    void runningApplicationChanged();
    void pipelinePhaseChanged();
    void lastResultChanged();

private:
    void followCountdown();
    void onPhaseChanged(PipelineController::Phase phase);
    // The application model from the loaded pipelines.
    void updateApplicationModel();
    // Takes the settings in and hands them to what follows them.
    void applySettings(const LauncherSettings& settings);
    // The folder that the rotation keeps: the default one as initialize() found it.
    QString maintainedLogFolder() const;
    void onLogFileSplit(const QString& piecePath);
    // launcher.ini of the data folders, when there is one; why it does not
    // read as written, or empty.
    QString loadSettingsFile();
    // The files as loaded, bytes and all: the linter reads none of them again.
    struct Files;
    void readApplications(Files& files, QList<PipelineConfig>& pipelines,
                          QList<ConfigProblem>& problems);

    // As loaded; at their defaults until then.
    LauncherSettings m_settings;
    QList<PipelineConfig> m_processPipelines;
    QString m_settingsFilePath;
    mutable std::optional<QList<ConfigProblem>> m_configProblems;
    PipelineController m_pipelineController;
    // What is not installed: the files as loaded, the metrics, the log
    // maintenance. Made once the controller is.
    struct Private;
    std::unique_ptr<Private> d;
    AutostartCountdown m_autostartCountdown;
    // The default log folder as initialize() found it.
    QString m_logFolder;
    ApplicationModel m_applicationModel;
    bool m_applicationModelWanted = false;
    ProcessModel m_processModel;
};
