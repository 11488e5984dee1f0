#include "logs/LogRotation.h"

#include "logs/GzipWriter.h"
#include "support/SafeFolder.h"
#include "support/Trace.h"

#include <QDirIterator>
#include <QFile>
#include <QScopeGuard>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
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

// Once for each entry and what is said of it, for the launcher's life: a
// link planted in a log folder is named at the first walk, not at every one.
void warnOnce(const struct stat& status, const QString& text)
{
    static std::mutex mutex;
    static QSet<QString> told;
    const QString key = QStringLiteral("%1:%2:").arg(status.st_dev).arg(status.st_ino) + text;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (told.contains(key))
            return;
        told.insert(key);
    }
    Solvane::Trace::warning("%s", qUtf8Printable(text));
}

// The folders of one walk, each opened once and checked (SafeFolder): every
// file of the logs is read, made, renamed and removed through its folder. A
// folder that may not be used is named once and left alone.
class Folders
{
public:
    const SafeFolder* of(const QString& filePath)
    {
        const QString path = QFileInfo(filePath).absolutePath();
        auto found = m_folders.find(path);
        if (found == m_folders.end()) {
            found = m_folders.emplace(path, SafeFolder::open(path)).first;
            const SafeFolder& folder = found->second;
            struct stat status = {};
            if (!folder.isOpen() && lstatPath(path, &status))
                warnOnce(status, QStringLiteral("Not touching the logs in '%1': %2")
                                     .arg(path, folder.problem()));
        }
        return found->second.isOpen() ? &found->second : nullptr;
    }

private:
    std::map<QString, SafeFolder> m_folders;
};

QString nameOf(const QString& path)
{
    return QFileInfo(path).fileName();
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
        Folders folders;
        const SafeFolder* folder = folders.of(m_folder);
        struct stat status = {};
        if (folder && kindOf(nameOf(m_folder)) == Kind::Piece && lstatPath(m_folder, &status) &&
            folder->readingRefusal(nameOf(m_folder), status).isEmpty())
            compressLog(*folder, nameOf(m_folder), status, cancel, progress);
        return;
    }
    // A folder that may not be used is not walked at all; one not made yet
    // has nothing to rotate.
    struct stat status = {};
    if (!lstatPath(m_folder, &status))
        return;
    Folders folders;
    if (!folders.of(m_folder + QStringLiteral("/.")))
        return;
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
    Folders folders;
    QDirIterator entries(m_folder, QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext() && !cancelled(cancel)) {
        entries.next();
        report(progress);
        const Kind kind = kindOf(entries.fileName());
        if (kind != Kind::Log && kind != Kind::Piece)
            continue;
        const QString logPath = entries.fileInfo().absoluteFilePath();
        const SafeFolder* folder = folders.of(logPath);
        struct stat status = {};
        if (!folder ||
            ::fstatat(folder->descriptor(), QFile::encodeName(entries.fileName()).constData(),
                      &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISDIR(status.st_mode))
            continue;
        // Reading a link's target, a second name of someone's file or a
        // device could leak, block or never end.
        const QString refusal = folder->readingRefusal(entries.fileName(), status);
        if (!refusal.isEmpty()) {
            warnOnce(status, QStringLiteral("Skipped log file: %1").arg(refusal));
            continue;
        }
        if (std::find(excluded.cbegin(), excluded.cend(),
                      std::make_pair(status.st_dev, status.st_ino)) != excluded.cend())
            continue;
        // Old only beyond the period: a log exactly that old waits for the
        // next run. A piece is complete once it has been split off.
        if (kind == Kind::Log && modificationTime(status).secsTo(now) <= m_rotatePeriod)
            continue;

        compressLog(*folder, entries.fileName(), status, cancel, progress);
    }
}

// Compresses a log that the walk found, as it found it, and removes it.
void LogRotation::compressLog(const SafeFolder& folder, const QString& name,
                              const struct stat& status, const std::atomic<bool>* cancel,
                              const Progress& progress)
{
    // A pair left by a run that could not remove its log is skipped for
    // good, without a word; anything at the name counts as taken, too.
    const QString logPath = folder.pathOf(name);
    const QString compressedName = name + QStringLiteral(".gz");
    struct stat compressedStatus = {};
    if (::fstatat(folder.descriptor(), QFile::encodeName(compressedName).constData(),
                  &compressedStatus, AT_SYMLINK_NOFOLLOW) == 0)
        return;

    bool compressed = compressFile(folder, name, cancel, progress);
    if (cancelled(cancel))
        return;
    const std::lock_guard<std::mutex> lock(folderMutex());
    // Gone: its writer removed it to keep the folder within its total, and
    // said so in the log; a .gz that made it in was counted then.
    struct stat after = {};
    if (::fstatat(folder.descriptor(), QFile::encodeName(name).constData(), &after,
                  AT_SYMLINK_NOFOLLOW) != 0)
        return;
    QString problem;
    // Lines appended, or another file put in its place, since the walk
    // looked: the .gz misses them, so it goes and the log stays.
    if (compressed && !sameFile(status, after)) {
        Solvane::Trace::error("Unable to compress file: '%s' changed while it was compressed",
                              qUtf8Printable(logPath));
        folder.remove(compressedName, problem);
        compressed = false;
    }
    if (!compressed) {
        Solvane::Trace::error("Failed to compress old log file '%s'", qUtf8Printable(logPath));
        return;
    }
    Solvane::Trace::info("Compressed old log file '%s'", qUtf8Printable(logPath));
    if (!folder.remove(name, problem))
        Solvane::Trace::error("Failed to remove old log file '%s': %s", qUtf8Printable(logPath),
                              qUtf8Printable(problem));
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
    Folders folders;
    QString problem;
    for (const LogFile& file : logs) {
        if (cancelled(cancel))
            return;
        if (file.kind != Kind::Compressed)
            continue;
        report(progress);
        // A time before the build says nothing about the age.
        const bool tooOld = m_keepDays > 0 && isPlausibleTime(file.modified) &&
                            file.modified.secsTo(now) > keepSeconds;
        const bool tooMuch = m_maxTotalSize > 0 && total > m_maxTotalSize;
        if (!tooOld && !tooMuch)
            continue;
        const SafeFolder* folder = folders.of(file.path);
        if (!folder)
            continue;
        if (!folder->remove(nameOf(file.path), problem)) {
            Solvane::Trace::error("Failed to remove old compressed log '%s': %s",
                                  qUtf8Printable(file.path), qUtf8Printable(problem));
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
    Folders folders;
    QString problem;
    for (const LogFile& log : logs) {
        if (total + reserved + room <= maxTotalSize)
            break;
        const SafeFolder* logFolder = folders.of(log.path);
        if (!logFolder)
            continue;
        if (!logFolder->remove(nameOf(log.path), problem)) {
            Solvane::Trace::error("Failed to remove log '%s': %s", qUtf8Printable(log.path),
                                  qUtf8Printable(problem));
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

bool LogRotation::isPlausibleTime(const QDateTime& time)
{
    // The start of the build's day, from the build system: the one place it is set.
    return time.toSecsSinceEpoch() >= qint64(LAUNCHER_BUILD_TIME) / 86400 * 86400;
}

std::mutex& LogRotation::folderMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool LogRotation::compressFile(const QFileInfo& file, const std::atomic<bool>* cancel,
                               const Progress& progress)
{
    Folders folders;
    const SafeFolder* folder = folders.of(file.absoluteFilePath());
    if (!folder) {
        Solvane::Trace::error("Unable to compress file: its folder '%s' may not be used",
                              qUtf8Printable(file.absolutePath()));
        return false;
    }
    return compressFile(*folder, file.fileName(), cancel, progress);
}

bool LogRotation::compressFile(const SafeFolder& folder, const QString& name,
                               const std::atomic<bool>* cancel, const Progress& progress)
{
    // Asked afresh: a file that a walk listed may have gone since.
    const QString sourcePath = folder.pathOf(name);
    QString problem;
    const int fd = folder.openToRead(name, problem);
    if (fd < 0) {
        if (problem.isEmpty())
            Solvane::Trace::error("Unable to compress file: file '%s' does not exist",
                                  qUtf8Printable(sourcePath));
        else
            Solvane::Trace::error("Unable to compress file: %s", qUtf8Printable(problem));
        return false;
    }
    struct stat before = {};
    QFile source;
    if (::fstat(fd, &before) != 0 || !source.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                                                  QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        Solvane::Trace::error("Unable to compress file: can't open '%s' for reading",
                              qUtf8Printable(sourcePath));
        return false;
    }

    // The member goes to a new file beside the target, private until it is
    // complete, and replaces the target only by a rename: a failure never
    // leaves a partial gzip file, and nothing in the target's place is
    // written through or replaced.
    const QString targetName = name + QStringLiteral(".gz");
    const QString targetPath = folder.pathOf(targetName);
    QString temporary;
    const int out = folder.createTemporary(targetName, 0600, temporary, problem);
    QFile target;
    if (out < 0 || !target.open(out, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        if (out >= 0)
            ::close(out);
        Solvane::Trace::error("Unable to compress file: can't open '%s' for writing: %s",
                              qUtf8Printable(targetPath), qUtf8Printable(problem));
        return false;
    }
    const auto removeTemporary = [&] {
        QString ignored;
        target.close();
        folder.remove(temporary, ignored);
    };

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
        if (cancelled(cancel)) {
            removeTemporary();
            return false;
        }
        // Removed meanwhile to keep the folder within its total: the member
        // would only take that room again.
        struct stat now = {};
        if (::fstat(source.handle(), &now) == 0 && now.st_nlink == 0) {
            removeTemporary();
            return false;
        }
        report(progress);
    }
    if (count < 0) {
        Solvane::Trace::error("Unable to compress file: can't read '%s'",
                              qUtf8Printable(sourcePath));
        removeTemporary();
        return false;
    }
    struct stat after = {};
    if (written && (::fstat(source.handle(), &after) != 0 || after.st_size != total ||
                    before.st_size != total || !sameMtime(before, after))) {
        Solvane::Trace::error("Unable to compress file: '%s' changed while it was compressed",
                              qUtf8Printable(sourcePath));
        removeTemporary();
        return false;
    }

    // The gzip file is readable by whom the log was, and owned by its owner
    // when the launcher may give it away; it reaches the disk before it takes
    // the target's name, so the log is never removed for a member that is not there.
    // Its time is the log's, so that it ages from its last line.
    // Given away only once in place: until then it is the launcher's own file.
    const timespec times[2] = {{0, UTIME_NOW}, before.st_mtim};
    written = written && writer.finish() && target.flush() &&
              ::fchmod(out, before.st_mode & 0777) == 0 && ::futimens(out, times) == 0 &&
              ::fsync(out) == 0;
    const int placed = ::geteuid() == 0 ? ::fcntl(out, F_DUPFD_CLOEXEC, 0) : -1;
    const auto closePlaced = qScopeGuard([placed] {
        if (placed >= 0)
            ::close(placed);
    });
    target.close();
    {
        // Renamed into place only while the log is still there: a log removed
        // to keep the folder within its total leaves no member to take its room.
        const std::lock_guard<std::mutex> lock(folderMutex());
        if (::fstatat(folder.descriptor(), QFile::encodeName(name).constData(), &after,
                      AT_SYMLINK_NOFOLLOW) != 0) {
            removeTemporary();
            return false;
        }
        if (!written || !folder.moveIntoPlace(temporary, targetName, problem)) {
            Solvane::Trace::error(
                "Failed to write '%s' on disk%s", qUtf8Printable(targetPath),
                qUtf8Printable(problem.isEmpty() ? problem : QStringLiteral(": ") + problem));
            removeTemporary();
            return false;
        }
    }
    if (placed >= 0 && before.st_uid != ::geteuid() &&
        ::fchown(placed, before.st_uid, before.st_gid) != 0)
        Solvane::Trace::warning("'%s' keeps the launcher's user: %s", qUtf8Printable(targetPath),
                                std::strerror(errno));
    // Makes the rename last; a file system that cannot sync a folder still
    // has the file, so a failure here is no failure of the file.
    ::fsync(folder.descriptor());
    return true;
}
