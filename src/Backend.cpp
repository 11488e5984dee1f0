#include "Backend.h"

#include "ConfigLinter.h"
#include "config/ConfigKeys.h"
#include "config/ProcessModeResult.h"
#include "logs/GzipWriter.h"
#include "process/ProcessRecord.h"
#include "support/PlatformUtils.h"
#include "support/Trace.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a launcher that died left running gets this long to end before it is killed.
const int LeftoverGraceMs = 1000;

} // namespace

Backend::Backend(QObject* parent) : QObject(parent)
{
    connect(&m_pipelineController, &PipelineController::pipelineStarted, this,
            &Backend::pipelineStarted);
    connect(&m_pipelineController, &PipelineController::pipelineFailure, this,
            &Backend::pipelineFailure);
    connect(&m_pipelineController, &PipelineController::pipelineFinished, this,
            &Backend::pipelineFinished);
    connect(&m_pipelineController, &PipelineController::pipelineStopped, this,
            &Backend::pipelineStopped);
}

Backend::~Backend() = default;

// What a launcher that died left running goes first: it may hold what the
// applications need. Then the settings (they name the rotate period and the
// autostart pipeline), the pipelines that autostart looks up, the log
// maintenance, and the countdown last.
bool Backend::initialize()
{
    ProcessRecord().cleanUpAfterEndedLaunchers(LeftoverGraceMs);
    load();
    rotateLogs();
    if (isAutoStartEnabled())
        enableAutostart();
    return true;
}

bool Backend::load()
{
    // A per-user file hides the machine-wide one completely; the two are never merged.
    QFileInfo settingsFile = userSettingsFile();
    if (!settingsFile.exists())
        settingsFile = systemSettingsFile();
    if (settingsFile.exists()) {
        m_settingsFilePath = settingsFile.absoluteFilePath();
        Solvane::Trace::info("Loading settings from '%s'", qUtf8Printable(m_settingsFilePath));
        loadConfig(settingsFile);
        m_configProblems.reset();
    }

    Solvane::Trace::info("Loaded %d applications", loadApplications());
    return true;
}

namespace {

// A QFileInfo from a folder listing caches that the file existed; a file
// removed since then must count as missing.
bool existsNow(const QFileInfo& file)
{
    return QFileInfo::exists(file.absoluteFilePath());
}

QList<QFileInfo> pipelineFilesIn(const QString& folder)
{
    return QDir(folder).entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name);
}

} // namespace

bool Backend::loadConfig(const QFileInfo& file)
{
    if (!existsNow(file))
        return false;
    // Unreadable, every setting takes its default: the warning says why autostart is off.
    const QString path = file.absoluteFilePath();
    QByteArray content;
    QString error;
    const bool readable = ConfigLinter::readFile(path, &content, &error);
    if (!readable)
        Solvane::Trace::warning("Unable to read settings file '%s': %s; every setting takes its "
                                "default",
                                qUtf8Printable(path), qUtf8Printable(error));
    const std::unique_ptr<QSettings> settings =
        ConfigKeys::openSettingsFile(readable ? path : QString());
    readLauncherSettings(*settings);
    return true;
}

// Every key is read with its default, so a file that lacks a key resets it.
void Backend::readLauncherSettings(QSettings& settings)
{
    const auto key = [](const char* group, const char* name) {
        return ConfigKeys::path(ConfigKeys::File::Settings, group, name);
    };
    m_allowUserExit = settings.value(key("ui", "allow-exit"), true).toBool();
    m_showVersionInfo = settings.value(key("ui", "show-version"), true).toBool();
    m_autostartTile = settings.value(key("autostart", "tile"), QString()).toString();
    m_autostartTimeout = settings.value(key("autostart", "timeout"), 60).toInt();
    m_logRotatePeriod = settings.value(key("logs", "rotate-period"), 86400).toInt();
    m_showInvalidTiles = settings.value(key("ui", "show-invalid-tiles"), false).toBool();
    m_uiLocation = settings.value(key("ui", "location"), QStringLiteral("50% 50%")).toString();
    m_uiWidth = settings.value(key("ui", "width"), QStringLiteral("1000px")).toString();
}

PipelineConfig Backend::loadPipelineConfig(const QFileInfo& file)
{
    if (!existsNow(file))
        return PipelineConfig();
    const std::unique_ptr<QSettings> settings =
        ConfigKeys::openSettingsFile(file.absoluteFilePath());
    PipelineConfig config = readPipelineConfig(*settings);
    // A refused file is read as empty, but keeps the application's name.
    if (config.basename.isEmpty()) {
        config.basename = file.completeBaseName();
        config.logBasename = config.basename;
    }
    return config;
}

PipelineConfig Backend::readPipelineConfig(QSettings& settings)
{
    const auto key = [](const char* group, const char* name) {
        return ConfigKeys::path(ConfigKeys::File::Pipeline, group, name);
    };
    const auto processKey = [&key](const char* name) {
        return key(ConfigKeys::ProcessGroup, name);
    };
    const auto exitCodes = [&settings](const QString& name, const QStringList& defaultCodes) {
        QSet<int> codes;
        const QStringList texts = settings.value(name, defaultCodes).toStringList();
        for (const QString& text : texts)
            codes.insert(text.toInt(nullptr, 10));
        return codes;
    };

    PipelineConfig config;
    config.basename = QFileInfo(settings.fileName()).completeBaseName();
    config.name = settings.value(key("ui", "name"), QString()).toString();
    config.icon = settings.value(key("ui", "icon"), QString()).toString();
    config.logBasename = settings.value(key("logs", "basename"), config.basename).toString();
    config.logPath = settings.value(key("logs", "path"), defaultLogPath()).toString();

    // The reader sorts the groups by plain string comparison, which makes the
    // start order: process-10 comes before process-2.
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        if (!group.startsWith(QLatin1String(ConfigKeys::ProcessGroup)))
            continue;
        settings.beginGroup(group);
        ProcessConfig process;
        process.group = group;
        process.exec = settings.value(processKey("exec"), QString()).toString();
        process.arguments = settings.value(processKey("arguments"), QStringList()).toStringList();
        process.restartOnCrash = settings.value(processKey("restart-on-crash"), false).toBool();
        process.restartLimit = settings.value(processKey("restart-limit"), 3).toInt();
        process.restartPeriod = settings.value(processKey("restart-period"), 10).toInt();
        process.restartDelay = settings.value(processKey("restart-delay"), 0).toInt();
        process.restartDelayMax = settings.value(processKey("restart-delay-max"), 60).toInt();
        process.restartOnExit = exitCodes(processKey("restart-on-exit"), QStringList());
        process.isRequired = settings.value(processKey("required"), false).toBool();
        process.libraryPaths =
            settings.value(processKey("library-paths"), QStringList()).toStringList();
        process.timestampLogEntries =
            settings.value(processKey("add-log-timestamp"), false).toBool();
        process.invalidConfigExitCodes =
            exitCodes(processKey("invalid-config-exit-codes"), {QStringLiteral("100")});
        process.ready = settings.value(processKey("ready"), QString()).toString();
        process.readyTimeout = settings.value(processKey("ready-timeout"), 30).toInt();

        // An unknown mode keeps Daemon; the warning tells the user why the
        // process does not pace the pipeline as the file seems to ask.
        const ProcessModeResult mode = parseProcessMode(
            settings.value(processKey("mode"), QStringLiteral("daemon")).toString());
        if (mode.success) {
            process.mode = mode.mode;
        } else {
            process.modeError = mode.errorText;
            Solvane::Trace::warning(
                "Pipeline file '%s', group '%s': %s; the process runs as a daemon",
                qUtf8Printable(settings.fileName()), qUtf8Printable(group),
                qUtf8Printable(mode.errorText));
        }
        process.workingDirectory =
            settings.value(processKey("working-directory"), QString()).toString();

        settings.beginGroup(QLatin1String(ConfigKeys::EnvironmentGroup));
        const QStringList names = settings.childKeys();
        for (const QString& name : names)
            process.environment.insert(name, settings.value(name).toString());
        settings.endGroup();

        config.processList.append(process);
        settings.endGroup();
    }
    return config;
}

QList<QFileInfo> Backend::userApplicationFiles()
{
    return pipelineFilesIn(QStringLiteral("%1/apps").arg(userDataPath()));
}

QList<QFileInfo> Backend::systemApplicationFiles()
{
    return pipelineFilesIn(QStringLiteral("%1/apps").arg(systemDataPath()));
}

// A user file replaces the machine file of exactly the same name; the result
// is ordered by file name in plain string comparison.
QList<QFileInfo> Backend::applicationFiles()
{
    const QList<QFileInfo> userFiles = userApplicationFiles();
    const QList<QFileInfo> systemFiles = systemApplicationFiles();
    QMap<QString, QFileInfo> filesByName;
    for (const QFileInfo& file : systemFiles)
        filesByName.insert(file.fileName(), file);
    for (const QFileInfo& file : userFiles)
        filesByName.insert(file.fileName(), file);
    return filesByName.values();
}

// Appends: a second call lists every pipeline again.
int Backend::loadApplications()
{
    const QList<QFileInfo> files = applicationFiles();
    for (const QFileInfo& file : files) {
        m_processPipelines.append(loadPipelineConfig(file));
        m_pipelineFilePaths.append(file.absoluteFilePath());
    }
    m_configProblems.reset();
    return files.size();
}

const QList<ConfigProblem>& Backend::configProblems() const
{
    if (!m_configProblems) {
        QList<ConfigProblem> problems;
        if (!m_settingsFilePath.isEmpty())
            problems += ConfigLinter(m_settingsFilePath, ConfigKeys::File::Settings).lint();
        for (const QString& path : m_pipelineFilePaths)
            problems += ConfigLinter(path, ConfigKeys::File::Pipeline).lint();
        m_configProblems = problems;
    }
    return *m_configProblems;
}

QString Backend::userDataPath() const
{
    return Solvane::PlatformUtils::getModuleUserDataPath("Orvalen/launcher", false);
}

QString Backend::systemDataPath() const
{
    return QStringLiteral("%1/Orvalen/launcher")
        .arg(Solvane::PlatformUtils::windowsProgramDataPath());
}

QString Backend::defaultLogPath() const
{
    return QStringLiteral("%1/logs").arg(userDataPath());
}

QFileInfo Backend::userSettingsFile() const
{
    return QFileInfo(QStringLiteral("%1/launcher.ini").arg(userDataPath()));
}

QFileInfo Backend::systemSettingsFile() const
{
    return QFileInfo(QStringLiteral("%1/launcher.ini").arg(systemDataPath()));
}

const PipelineConfig* Backend::findPipeline(const QString& basename) const
{
    for (const PipelineConfig& pipeline : m_processPipelines) {
        if (pipeline.basename == basename)
            return &pipeline;
    }
    return nullptr;
}

QString Backend::autostartPipelineName() const
{
    const PipelineConfig* pipeline = findPipeline(m_autostartTile);
    return pipeline ? pipeline->name : QString();
}

bool Backend::enableAutostart()
{
    if (m_autostartTimer) {
        Solvane::Trace::warning("Unable to enable autostart: autostart is already in progress.");
        return false;
    }
    if (m_autostartTile.isEmpty()) {
        Solvane::Trace::error("Unable to enable autostart: no autostart pipeline is configured");
        return false;
    }
    const PipelineConfig* pipeline = findPipeline(m_autostartTile);
    if (!pipeline) {
        Solvane::Trace::error(
            "Unable to enable autostart: the specified autostart pipeline '%s' does not exist",
            qUtf8Printable(m_autostartTile));
        return false;
    }

    // A negative timeout starts at once; one too long for a timer interval is
    // cut to the longest interval rather than overflowing.
    const qint64 intervalMs = std::clamp<qint64>(qint64(m_autostartTimeout) * 1000, 0, INT_MAX);

    // The handler holds its own copy of the record, so reloading the list of
    // pipelines during the countdown cannot leave it dangling. It ends the
    // countdown last: disableAutostart() deletes the very timer whose timeout
    // is being handled, so nothing may follow that call.
    m_autostartTimer = std::make_unique<QTimer>();
    m_autostartTimer->setSingleShot(true);
    m_autostartTimer->setInterval(static_cast<int>(intervalMs));
    connect(m_autostartTimer.get(), &QTimer::timeout, this, [this, record = *pipeline] {
        m_pipelineController.start(record, true);
        disableAutostart();
    });
    m_autostartTimer->start();

    // The remaining seconds come from the autostart timer on every tick, so the
    // countdown cannot drift from the moment the pipeline really starts.
    m_autostartCountdownTimer = std::make_unique<QTimer>();
    m_autostartCountdownTimer->setInterval(1000);
    connect(m_autostartCountdownTimer.get(), &QTimer::timeout, this,
            [this] { emit autostartTimeRemaining(m_autostartTimer->remainingTime() / 1000); });
    m_autostartCountdownTimer->start();
    return true;
}

// Emits in every case, so a front end can always hide its countdown on this signal.
int Backend::autostartRemainingSeconds() const
{
    if (!m_autostartTimer || !m_autostartTimer->isActive())
        return -1;
    // A coarse timer may run a little past its interval.
    const int remainingMs =
        std::min(m_autostartTimer->remainingTime(), m_autostartTimer->interval());
    return (remainingMs + 999) / 1000;
}

void Backend::disableAutostart()
{
    if (m_autostartTimer) {
        m_autostartTimer->stop();
        m_autostartTimer.reset();
    }
    if (m_autostartCountdownTimer) {
        m_autostartCountdownTimer->stop();
        m_autostartCountdownTimer.reset();
    }
    emit autostartDisabled();
}

namespace {

// Big enough to keep the system calls few, small enough to keep the memory bounded.
constexpr qint64 readChunkSize = 256 * 1024;

QDateTime modificationTime(const struct stat& status)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(status.st_mtim.tv_sec) * 1000 +
                                          status.st_mtim.tv_nsec / 1000000);
}

bool sameMtime(const struct stat& a, const struct stat& b)
{
    return a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The same file, unchanged: same inode, size and modification time.
bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           sameMtime(a, b);
}

bool lstatPath(const QString& path, struct stat* status)
{
    return ::lstat(QFile::encodeName(path).constData(), status) == 0;
}

// Opens a regular file for reading: never through a symbolic link, and without
// blocking on a FIFO before fstat can tell what it is. -1 with errno set on failure.
int openRegularFile(const QString& path, struct stat* status)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, status) != 0 || !S_ISREG(status->st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Makes the rename of a file in `folder` last; a file system that cannot sync
// a folder still has the file, so a failure here is no failure of the file.
void syncFolder(const QString& folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

void Backend::rotateLogs()
{
    // One reading of the clock serves every file of the walk.
    const QDateTime now = QDateTime::currentDateTime();
    // Links, FIFOs, devices and sockets are listed, too, so that each can be
    // named when it is skipped; links to folders are not walked into.
    QDirIterator logFiles(defaultLogPath(), {QStringLiteral("*.log")},
                          QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot,
                          QDirIterator::Subdirectories);
    while (logFiles.hasNext()) {
        logFiles.next();
        const QString logPath = logFiles.fileInfo().absoluteFilePath();
        struct stat status = {};
        if (!lstatPath(logPath, &status) || S_ISDIR(status.st_mode))
            continue;
        // Reading a link's target or a device could leak, block or never end.
        if (!S_ISREG(status.st_mode)) {
            Solvane::Trace::warning("Skipped log file '%s': not a regular file",
                                    qUtf8Printable(logPath));
            continue;
        }
        if (modificationTime(status).secsTo(now) <= m_logRotatePeriod)
            continue;

        // A pair left by a run that could not remove its log is skipped for
        // good, without a word; a dangling link there counts as taken, too.
        const QString compressedPath = logPath + QStringLiteral(".gz");
        struct stat compressedStatus = {};
        if (lstatPath(compressedPath, &compressedStatus))
            continue;

        bool compressed = compressFile(QFileInfo(logPath));
        // Lines appended, or another file put in its place, since the walk
        // looked: the .gz misses them, so it goes and the log stays.
        struct stat after = {};
        if (compressed && (!lstatPath(logPath, &after) || !sameFile(status, after))) {
            Solvane::Trace::error("Unable to compress file: '%s' changed while it was compressed",
                                  qUtf8Printable(logPath));
            QFile::remove(compressedPath);
            compressed = false;
        }
        if (!compressed) {
            Solvane::Trace::error("Failed to compress old log file '%s'", qUtf8Printable(logPath));
            continue;
        }
        Solvane::Trace::info("Compressed old log file '%s'", qUtf8Printable(logPath));
        if (!QFile::remove(logPath))
            Solvane::Trace::error("Failed to remove old log file '%s'", qUtf8Printable(logPath));
    }
}

bool Backend::compressFile(const QFileInfo& file)
{
    // Asked afresh: a file that a walk listed may have gone since.
    const QString sourcePath = file.absoluteFilePath();
    struct stat before = {};
    const int fd = openRegularFile(sourcePath, &before);
    if (fd < 0 && errno == ENOENT) {
        Solvane::Trace::error("Unable to compress file: file '%s' does not exist",
                              qUtf8Printable(sourcePath));
        return false;
    }
    QFile source;
    if (fd < 0 || !source.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                               QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        Solvane::Trace::error("Unable to compress file: can't open '%s' for reading",
                              qUtf8Printable(sourcePath));
        return false;
    }

    // The member goes to a new file beside the target, private until it is
    // complete, and replaces the target only by a rename: a failure never
    // leaves a partial gzip file, and a link in the target's place is replaced,
    // never followed.
    const QString targetPath = sourcePath + QStringLiteral(".gz");
    struct stat targetStatus = {};
    QTemporaryFile target(targetPath + QStringLiteral(".XXXXXX"));
    if ((lstatPath(targetPath, &targetStatus) && S_ISDIR(targetStatus.st_mode)) || !target.open()) {
        Solvane::Trace::error("Unable to compress file: can't open '%s' for writing",
                              qUtf8Printable(targetPath));
        return false;
    }

    // Read and deflated piece by piece, so memory stays bounded whatever the size.
    GzipWriter writer(&target);
    QByteArray chunk(int(readChunkSize), Qt::Uninitialized);
    qint64 total = 0;
    qint64 count = 0;
    bool written = true;
    while (written && (count = source.read(chunk.data(), readChunkSize)) > 0) {
        total += count;
        written = writer.write(chunk.constData(), count);
    }
    if (count < 0) {
        Solvane::Trace::error("Unable to compress file: can't read '%s'",
                              qUtf8Printable(sourcePath));
        return false;
    }
    struct stat after = {};
    if (written && (::fstat(source.handle(), &after) != 0 || after.st_size != total ||
                    before.st_size != total || !sameMtime(before, after))) {
        Solvane::Trace::error("Unable to compress file: '%s' changed while it was compressed",
                              qUtf8Printable(sourcePath));
        return false;
    }

    // The gzip file is readable by whom the log was, and owned by its owner
    // when the launcher may give it away; it reaches the disk before it takes
    // the target's name, so the log is never removed for a member that is not there.
    const int out = target.handle();
    written = written && writer.finish() && target.flush() &&
              (::geteuid() != 0 || ::fchown(out, before.st_uid, before.st_gid) == 0) &&
              ::fchmod(out, before.st_mode & 0777) == 0 && ::fsync(out) == 0;
    target.close();
    if (!written || ::rename(QFile::encodeName(target.fileName()).constData(),
                             QFile::encodeName(targetPath).constData()) != 0) {
        Solvane::Trace::error("Failed to write '%s' on disk", qUtf8Printable(targetPath));
        return false;
    }
    target.setAutoRemove(false);
    syncFolder(QFileInfo(targetPath).absolutePath());
    return true;
}
