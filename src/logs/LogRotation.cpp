#include "logs/LogRotation.h"

#include "logs/GzipWriter.h"
#include "support/Trace.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Big enough to keep the system calls few, small enough to keep the memory bounded.
constexpr qint64 readChunkSize = 256 * 1024;

// The most that deflate adds to data it cannot make smaller, with the gzip
// header and trailer, for a file of `size` bytes.
qint64 compressionRoom(qint64 size)
{
    return size + size / 1024 + 4096;
}

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

// No clock that was ever set shows a time before 2020 on a system that runs
// this launcher (its libraries are younger); one never set shows 1970 (a
// board without a battery-backed clock before the network sets it) or the
// reset value of a clock chip (2000, 2001). A fixed floor, unlike the build's
// date, never makes the history before an upgrade ageless.
const qint64 PlausibleTimeFloor = 1577836800; // 2020-01-01 00:00:00 UTC

// Whether a file's time, or the clock, can be true.
bool isPlausibleTime(const QDateTime& time)
{
    return time.toSecsSinceEpoch() >= PlausibleTimeFloor;
}

bool cancelled(const std::atomic<bool>* cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

void report(const LogRotation::Progress& progress)
{
    if (progress)
        progress();
}

// What a name in a log folder is to the rotation. Letter case does not matter.
enum class Kind
{
    Log,        // NAME.log
    Piece,      // NAME.log.N, split off at the size limit
    Compressed, // NAME.log.gz, NAME.log.N.gz
    Other,
};

Kind kindOf(const QString& name)
{
    QString lower = name.toLower();
    const bool gzip = lower.endsWith(QLatin1String(".gz"));
    if (gzip)
        lower.chop(3);
    if (lower.endsWith(QLatin1String(".log")))
        return gzip ? Kind::Compressed : Kind::Log;
    const int dot = lower.lastIndexOf(QLatin1Char('.'));
    const QStringRef number = lower.midRef(dot + 1);
    const bool numbered =
        dot > 0 && !number.isEmpty() &&
        std::all_of(number.begin(), number.end(), [](QChar c) { return c >= '0' && c <= '9'; }) &&
        lower.leftRef(dot).endsWith(QLatin1String(".log"));
    if (!numbered)
        return Kind::Other;
    return gzip ? Kind::Compressed : Kind::Piece;
}

bool lstatPath(const QString& path, struct stat* status)
{
    return ::lstat(QFile::encodeName(path).constData(), status) == 0;
}

// A regular file of a log folder that counts towards its total.
struct LogFile
{
    QString path;
    Kind kind;
    qint64 size;
    QDateTime modified;
    dev_t device;
    ino_t inode;
};

// The logs of a folder and its subfolders, oldest first (by the time of their
// last line).
std::vector<LogFile> logsIn(const QString& folder, const LogRotation::Progress& progress)
{
    std::vector<LogFile> logs;
    QDirIterator entries(folder, QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        entries.next();
        report(progress);
        const Kind kind = kindOf(entries.fileName());
        struct stat status = {};
        if (kind == Kind::Other || !lstatPath(entries.filePath(), &status) ||
            !S_ISREG(status.st_mode))
            continue;
        logs.push_back({entries.fileInfo().absoluteFilePath(), kind, qint64(status.st_size),
                        modificationTime(status), status.st_dev, status.st_ino});
    }
    std::sort(logs.begin(), logs.end(), [](const LogFile& a, const LogFile& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
    });
    return logs;
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

// Gives a file the modification time `now`, through a descriptor that names
// the file the walk listed: never a link, nor another file put in its place.
bool restamp(const QString& path, dev_t device, ino_t inode, const QDateTime& now)
{
    struct stat status = {};
    const int fd = openRegularFile(path, &status);
    if (fd < 0)
        return false;
    const qint64 ms = now.toMSecsSinceEpoch();
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(ms / 1000), long(ms % 1000) * 1000000}};
    const bool done =
        status.st_dev == device && status.st_ino == inode && ::futimens(fd, times) == 0;
    ::close(fd);
    return done;
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

LogRotation::LogRotation(const QString& folder, qint64 rotatePeriod)
    : m_folder(folder), m_rotatePeriod(rotatePeriod)
{
}

LogRotation LogRotation::ofPiece(const QString& piecePath)
{
    LogRotation rotation(piecePath, 0);
    rotation.m_onePiece = true;
    return rotation;
}

void LogRotation::rotate(const QDateTime& now, const std::atomic<bool>* cancel,
                         const Progress& progress) const
{
    if (m_onePiece) {
        struct stat status = {};
        if (kindOf(QFileInfo(m_folder).fileName()) == Kind::Piece && lstatPath(m_folder, &status) &&
            S_ISREG(status.st_mode))
            compressLog(m_folder, status, cancel, progress);
        return;
    }
    compressOldLogs(now, cancel, progress);
    if (m_keepDays > 0 || m_maxTotalSize > 0)
        removeCompressedLogs(now, cancel, progress);
}

// One reading of the clock serves every file of the walk.
void LogRotation::compressOldLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                                  const Progress& progress) const
{
    // Known by their inodes: a path may spell the folder another way.
    std::vector<std::pair<dev_t, ino_t>> excluded;
    for (const QString& path : m_excluded) {
        struct stat status = {};
        if (lstatPath(path, &status))
            excluded.emplace_back(status.st_dev, status.st_ino);
    }
    // Links, FIFOs, devices and sockets are listed, too, so that each can be
    // named when it is skipped; links to folders are not walked into.
    QDirIterator entries(m_folder, QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext() && !cancelled(cancel)) {
        entries.next();
        report(progress);
        const Kind kind = kindOf(entries.fileName());
        if (kind != Kind::Log && kind != Kind::Piece)
            continue;
        const QString logPath = entries.fileInfo().absoluteFilePath();
        struct stat status = {};
        if (!lstatPath(logPath, &status) || S_ISDIR(status.st_mode))
            continue;
        // Reading a link's target or a device could leak, block or never end.
        if (!S_ISREG(status.st_mode)) {
            Solvane::Trace::warning("Skipped log file '%s': not a regular file",
                                    qUtf8Printable(logPath));
            continue;
        }
        if (std::find(excluded.cbegin(), excluded.cend(),
                      std::make_pair(status.st_dev, status.st_ino)) != excluded.cend())
            continue;
        // Old only beyond the period: a log exactly that old waits for the
        // next run. A piece is complete once it has been split off.
        if (kind == Kind::Log && modificationTime(status).secsTo(now) <= m_rotatePeriod)
            continue;

        compressLog(logPath, status, cancel, progress);
    }
}

// Compresses a log that the walk found, as it found it, and removes it.
void LogRotation::compressLog(const QString& logPath, const struct stat& status,
                              const std::atomic<bool>* cancel, const Progress& progress)
{
    // A pair left by a run that could not remove its log is skipped for
    // good, without a word; a dangling link there counts as taken, too.
    const QString compressedPath = logPath + QStringLiteral(".gz");
    struct stat compressedStatus = {};
    if (lstatPath(compressedPath, &compressedStatus))
        return;

    bool compressed = compressFile(QFileInfo(logPath), cancel, progress);
    if (cancelled(cancel))
        return;
    const std::lock_guard<std::mutex> lock(folderMutex());
    // Gone: its writer removed it to keep the folder within its total, and
    // said so in the log; a .gz that made it in was counted then.
    struct stat after = {};
    if (!lstatPath(logPath, &after))
        return;
    // Lines appended, or another file put in its place, since the walk
    // looked: the .gz misses them, so it goes and the log stays.
    if (compressed && !sameFile(status, after)) {
        Solvane::Trace::error("Unable to compress file: '%s' changed while it was compressed",
                              qUtf8Printable(logPath));
        QFile::remove(compressedPath);
        compressed = false;
    }
    if (!compressed) {
        Solvane::Trace::error("Failed to compress old log file '%s'", qUtf8Printable(logPath));
        return;
    }
    Solvane::Trace::info("Compressed old log file '%s'", qUtf8Printable(logPath));
    if (!QFile::remove(logPath))
        Solvane::Trace::error("Failed to remove old log file '%s'", qUtf8Printable(logPath));
}

// Every log of the folder counts towards the total, compressed or not, but
// only compressed ones go: the others are today's, or wait for their turn to
// be compressed (the writer of a log removes them when it needs the room).
void LogRotation::removeCompressedLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                                       const Progress& progress) const
{
    const std::lock_guard<std::mutex> lock(folderMutex());
    const std::vector<LogFile> logs = logsIn(m_folder, progress);
    qint64 total = 0;
    for (const LogFile& log : logs)
        total += log.size;

    const qint64 keepSeconds = qint64(m_keepDays) * 86400;
    for (const LogFile& file : logs) {
        if (cancelled(cancel))
            return;
        if (file.kind != Kind::Compressed)
            continue;
        report(progress);
        // A log written before the clock was set says nothing of its age:
        // once the clock is right, it ages from now, and never goes for its
        // age in the rotation that found it.
        const bool plausible = isPlausibleTime(file.modified);
        if (!plausible && m_keepDays > 0 && isPlausibleTime(now) &&
            restamp(file.path, file.device, file.inode, now))
            Solvane::Trace::info("Compressed log '%s' was written before the clock was set: it "
                                 "is kept %d days from now",
                                 qUtf8Printable(file.path), m_keepDays);
        const bool tooOld = m_keepDays > 0 && plausible && file.modified.secsTo(now) > keepSeconds;
        const bool tooMuch = m_maxTotalSize > 0 && total > m_maxTotalSize;
        if (!tooOld && !tooMuch)
            continue;
        if (!QFile::remove(file.path)) {
            Solvane::Trace::error("Failed to remove old compressed log '%s'",
                                  qUtf8Printable(file.path));
            continue;
        }
        total -= file.size;
        if (tooOld)
            Solvane::Trace::info("Removed compressed log '%s': older than %d days",
                                 qUtf8Printable(file.path), m_keepDays);
        else
            Solvane::Trace::info("Removed compressed log '%s': the logs took more than %lld bytes",
                                 qUtf8Printable(file.path), m_maxTotalSize);
    }
    if (m_maxTotalSize > 0 && total > m_maxTotalSize)
        Solvane::Trace::warning("The logs in '%s' take %lld bytes, more than the %lld bytes of "
                                "logs/max-total-size, in files that are not compressed yet",
                                qUtf8Printable(m_folder), total, m_maxTotalSize);
}

qint64 LogRotation::makeRoom(const QString& folder, qint64 maxTotalSize, const QString& currentPath,
                             qint64 room, qint64* dropped)
{
    const std::lock_guard<std::mutex> lock(folderMutex());
    struct stat current = {};
    const bool hasCurrent = lstatPath(currentPath, &current);
    std::vector<LogFile> logs = logsIn(folder, Progress());
    logs.erase(std::remove_if(logs.begin(), logs.end(),
                              [&](const LogFile& log) {
                                  return hasCurrent && log.device == current.st_dev &&
                                         log.inode == current.st_ino;
                              }),
               logs.end());
    // The rotation compresses one log at a time, and the file it writes grows
    // up to the size of that log: the largest that waits, or the current
    // file once it is split off. Taken before anything goes, as the one being
    // compressed may be among what goes.
    qint64 compressing = room;
    qint64 total = 0;
    for (const LogFile& log : logs) {
        total += log.size;
        if (log.kind != Kind::Compressed)
            compressing = std::max(compressing, log.size);
    }
    const qint64 reserved = compressionRoom(compressing);
    // The output that waits for compression goes first, the oldest first
    // (what is compressed keeps much history in little room), then the
    // compressed history; the newest piece last, as it holds the newest output.
    const auto compressed = std::stable_partition(
        logs.begin(), logs.end(), [](const LogFile& log) { return log.kind != Kind::Compressed; });
    if (compressed != logs.begin())
        std::rotate(compressed - 1, compressed, logs.end());
    for (const LogFile& log : logs) {
        if (total + reserved + room <= maxTotalSize)
            break;
        if (!QFile::remove(log.path)) {
            Solvane::Trace::error("Failed to remove log '%s'", qUtf8Printable(log.path));
            continue;
        }
        total -= log.size;
        if (log.kind != Kind::Compressed)
            *dropped += log.size;
        else
            Solvane::Trace::info("Removed compressed log '%s': the logs took more than %lld bytes",
                                 qUtf8Printable(log.path), maxTotalSize);
    }
    return maxTotalSize - total - reserved;
}

std::mutex& LogRotation::folderMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool LogRotation::compressFile(const QFileInfo& file, const std::atomic<bool>* cancel,
                               const Progress& progress)
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
        // Given up without a word: the next walk begins this file anew.
        if (cancelled(cancel))
            return false;
        // Removed meanwhile to keep the folder within its total: the member
        // would only take that room again.
        struct stat now = {};
        if (::fstat(source.handle(), &now) == 0 && now.st_nlink == 0)
            return false;
        report(progress);
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
    // Its time is the log's, so that it ages from its last line.
    const int out = target.handle();
    const timespec times[2] = {{0, UTIME_NOW}, before.st_mtim};
    written = written && writer.finish() && target.flush() &&
              (::geteuid() != 0 || ::fchown(out, before.st_uid, before.st_gid) == 0) &&
              ::fchmod(out, before.st_mode & 0777) == 0 && ::futimens(out, times) == 0 &&
              ::fsync(out) == 0;
    target.close();
    {
        // Renamed into place only while the log is still there: a log removed
        // to keep the folder within its total leaves no member to take its room.
        const std::lock_guard<std::mutex> lock(folderMutex());
        if (!lstatPath(sourcePath, &after))
            return false;
        if (!written || ::rename(QFile::encodeName(target.fileName()).constData(),
                                 QFile::encodeName(targetPath).constData()) != 0) {
            Solvane::Trace::error("Failed to write '%s' on disk", qUtf8Printable(targetPath));
            return false;
        }
    }
    target.setAutoRemove(false);
    syncFolder(QFileInfo(targetPath).absolutePath());
    return true;
}
