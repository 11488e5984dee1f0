#include "logs/LogRotation.h"

#include "logs/GzipWriter.h"
#include "support/SafeFolder.h"
#include "support/Trace.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
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

// Once for each entry and what is said of it, for the launcher's life: a
// link planted in a log folder is named at the first walk, not at every one.
void warnOnce(const QString& key, const QString& text)
{
    static std::mutex mutex;
    static QSet<QString> told;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (told.contains(key))
            return;
        told.insert(key);
    }
    Solvane::Trace::warning("%s", qUtf8Printable(text));
}

void warnOnce(const struct stat& status, const QString& text)
{
    warnOnce(QStringLiteral("%1:%2:").arg(status.st_dev).arg(status.st_ino) + text, text);
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
    // The folder itself, rather than one that holds a file.
    const SafeFolder* folder(const QString& path) { return of(path + QStringLiteral("/.")); }

    // Removes a log through its folder; false, with the reason, when it cannot.
    bool remove(const QString& filePath, QString& problem)
    {
        const SafeFolder* folder = of(filePath);
        if (!folder) {
            problem = QStringLiteral("its folder may not be used");
            return false;
        }
        return folder->remove(QFileInfo(filePath).fileName(), problem);
    }

private:
    std::map<QString, SafeFolder> m_folders;
};

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

// Gives a file the modification time `now`, through a descriptor that names
// the file the walk listed: never a link, nor another file put in its place.
bool restamp(Folders& folders, const QString& path, dev_t device, ino_t inode, const QDateTime& now)
{
    const SafeFolder* folder = folders.of(path);
    QString problem;
    const int fd = folder ? folder->openToRead(QFileInfo(path).fileName(), problem) : -1;
    if (fd < 0)
        return false;
    struct stat status = {};
    const qint64 ms = now.toMSecsSinceEpoch();
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(ms / 1000), long(ms % 1000) * 1000000}};
    const bool done = ::fstat(fd, &status) == 0 && status.st_dev == device &&
                      status.st_ino == inode && ::futimens(fd, times) == 0;
    ::close(fd);
    return done;
}

// Held while the files of a log folder are removed, renamed into place or
// claimed, by every launcher that writes there and by their rotations: a lock
// on the folder itself, and within this process a mutex (which alone serves
// for a file outside any folder that keeps a total).
class FolderLock
{
public:
    explicit FolderLock(const QString& folder) : m_guard(mutex())
    {
        if (folder.isEmpty())
            return;
        // A folder that is not there yet holds nothing to keep.
        m_fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        // Anyone who may open the folder may lock it: a lock held longer than
        // any launcher holds it is no launcher's, and is not waited for (the
        // event loop waits meanwhile).
        QElapsedTimer waited;
        waited.start();
        int error = 0;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            error = errno;
            if ((error != EWOULDBLOCK && error != EINTR) || waited.hasExpired(LockWaitMs)) {
                warnOnce(QStringLiteral("lock:") + folder,
                         QStringLiteral("Unable to lock the logs folder '%1' against other "
                                        "launchers: %2; its total is kept for this launcher's "
                                        "own files")
                             .arg(folder, QString::fromLocal8Bit(std::strerror(error))));
                return;
            }
            QThread::msleep(5);
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    static std::mutex& mutex()
    {
        static std::mutex folderMutex;
        return folderMutex;
    }

    static constexpr int LockWaitMs = 250;
    std::lock_guard<std::mutex> m_guard;
    int m_fd = -1;
};

// A claim on a log folder's room is a hidden, empty file there, named
// ".launcher-room.ID.BYTES.DEVICE.INODE" (the log file whose room it is; 0.0
// for a compression's), which its taker holds a lock on: one free to lock
// was left by a launcher that ended, and counts no more.
const QByteArray RoomPrefix = QByteArrayLiteral(".launcher-room.");
const qint64 MaxClaimBytes = qint64(1) << 40;

QByteArray roomName(const QByteArray& id, qint64 bytes, dev_t device, ino_t inode)
{
    return RoomPrefix + id + '.' + QByteArray::number(bytes) + '.' +
           QByteArray::number(quint64(device)) + '.' + QByteArray::number(quint64(inode));
}

struct Claim
{
    QByteArray name;
    qint64 bytes;
    dev_t device;
    ino_t inode;
};

// The claims of the folder but the one named `ownName`, under its lock; those
// left over are removed.
std::vector<Claim> claimsIn(const QString& folder, const QByteArray& ownName)
{
    std::vector<Claim> claims;
    const SafeFolder checked = SafeFolder::open(folder);
    if (!checked.isOpen())
        return claims;
    const QStringList names =
        QDir(folder).entryList({QString::fromLatin1(RoomPrefix) + QLatin1Char('*')},
                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QByteArray encoded = QFile::encodeName(name);
        if (encoded == ownName)
            continue;
        const QList<QByteArray> fields = encoded.mid(RoomPrefix.size()).split('.');
        bool valid[3] = {};
        const Claim claim{encoded, fields.value(1).toLongLong(&valid[0]),
                          dev_t(fields.value(2).toULongLong(&valid[1])),
                          ino_t(fields.value(3).toULongLong(&valid[2]))};
        const int fd = ::openat(checked.descriptor(), encoded.constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        // Another user's that cannot be looked at is taken as held.
        bool held = fd < 0 && errno == EACCES;
        if (fd >= 0) {
            held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            // Left by a launcher that ended; in a shared folder, only this
            // user's own go.
            QString ignored;
            if (!held)
                checked.remove(name, ignored);
            ::close(fd);
        }
        // No launcher claims a terabyte: a larger number was planted, and
        // is counted as no more, so that sums of them never overflow.
        if (held && fields.size() == 4 && valid[0] && valid[1] && valid[2] && claim.bytes >= 0)
            claims.push_back(
                {claim.name, std::min(claim.bytes, MaxClaimBytes), claim.device, claim.inode});
    }
    return claims;
}

// A log folder as one who makes room in it sees it.
struct Usage
{
    // The logs that may go, oldest first: not the files that logs are written to.
    std::vector<LogFile> removable;
    // The logs, each that is written to at least at the room claimed for it,
    // and the room claimed for logs not there yet.
    qint64 total = 0;
    // The room claimed by compressions under way.
    qint64 compressing = 0;
};

// The log `current` is left out: its room is the one to make.
Usage usageOf(const QString& folder, const std::vector<Claim>& claims, const struct stat* current)
{
    Usage usage;
    for (const Claim& claim : claims)
        (claim.inode == 0 ? usage.compressing : usage.total) += claim.bytes;
    for (const LogFile& log : logsIn(folder, LogRotation::Progress())) {
        if (current && log.device == current->st_dev && log.inode == current->st_ino)
            continue;
        qint64 claimed = -1;
        for (const Claim& claim : claims) {
            if (claim.inode != 0 && claim.device == log.device && claim.inode == log.inode)
                claimed = std::max<qint64>(claimed, 0) + claim.bytes;
        }
        // Written to by another: counted in its room, and beyond it.
        usage.total += claimed < 0 ? log.size : std::max<qint64>(log.size - claimed, 0);
        if (claimed < 0)
            usage.removable.push_back(log);
    }
    return usage;
}

// One log compressed into NAME.gz beside it. The member goes to a new file
// beside the target, private until it is complete, and replaces the target
// only by a rename: a failure never leaves a partial gzip file, and nothing
// in the target's place is written through or replaced.
class Compression
{
public:
    Compression(const SafeFolder& folder, const QString& name)
        : m_folder(folder), m_name(name), m_targetName(name + QStringLiteral(".gz"))
    {
    }
    ~Compression() { m_target.close(); }
    Compression(const Compression&) = delete;
    Compression& operator=(const Compression&) = delete;

    // The log, asked afresh: a file that a walk listed may have gone since.
    bool openSource()
    {
        QString problem;
        const int fd = m_folder.openToRead(m_name, problem);
        if (fd < 0) {
            if (problem.isEmpty())
                Solvane::Trace::error("Unable to compress file: file '%s' does not exist",
                                      qUtf8Printable(sourcePath()));
            else
                Solvane::Trace::error("Unable to compress file: %s", qUtf8Printable(problem));
            return false;
        }
        if (::fstat(fd, &m_before) != 0 ||
            !m_source.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                           QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            Solvane::Trace::error("Unable to compress file: can't open '%s' for reading",
                                  qUtf8Printable(sourcePath()));
            return false;
        }
        return true;
    }

    // The temporary file that the member is written to.
    bool openTarget()
    {
        QString problem;
        const int out = m_folder.createTemporary(m_targetName, 0600, m_temporary, problem);
        if (out >= 0 && m_target.open(out, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
            return true;
        if (out >= 0) {
            ::close(out);
            m_folder.remove(m_temporary, problem);
            problem = m_target.errorString();
        }
        Solvane::Trace::error("Unable to compress file: can't open '%s' for writing: %s",
                              qUtf8Printable(m_folder.pathOf(m_targetName)),
                              qUtf8Printable(problem));
        return false;
    }

    // Reads and deflates the log piece by piece, so memory stays bounded
    // whatever its size. False when it was given up, could not be read or
    // changed meanwhile; a failure to write shows in seal().
    bool deflate(const std::atomic<bool>* cancel, const LogRotation::Progress& progress)
    {
        QByteArray chunk(int(readChunkSize), Qt::Uninitialized);
        qint64 total = 0;
        qint64 count = 0;
        while (m_written && (count = m_source.read(chunk.data(), readChunkSize)) > 0) {
            total += count;
            m_written = m_writer.write(chunk.constData(), count);
            // Given up without a word: the next walk begins this file anew.
            // Removed meanwhile to keep the folder within its total: the
            // member would only take that room again.
            struct stat now = {};
            if (cancelled(cancel) || (::fstat(m_source.handle(), &now) == 0 && now.st_nlink == 0))
                return false;
            report(progress);
        }
        if (count < 0) {
            Solvane::Trace::error("Unable to compress file: can't read '%s'",
                                  qUtf8Printable(sourcePath()));
            return false;
        }
        struct stat after = {};
        if (m_written && (::fstat(m_source.handle(), &after) != 0 || after.st_size != total ||
                          m_before.st_size != total || !sameMtime(m_before, after))) {
            Solvane::Trace::error("Unable to compress file: '%s' changed while it was compressed",
                                  qUtf8Printable(sourcePath()));
            return false;
        }
        return true;
    }

    // Ends the member. The gzip file is readable by whom the log was, and
    // owned by its owner when the launcher may give it away; it reaches the
    // disk before it takes the target's name, so the log is never removed
    // for a member that is not there. Its time is the log's, so that it ages
    // from its last line. True when all of it is written.
    bool seal()
    {
        const int out = m_target.handle();
        const timespec times[2] = {{0, UTIME_NOW}, m_before.st_mtim};
        const bool sealed = m_written && m_writer.finish() && m_target.flush() &&
                            (::geteuid() != 0 || m_before.st_uid == ::geteuid() ||
                             ::fchown(out, m_before.st_uid, m_before.st_gid) == 0) &&
                            ::fchmod(out, m_before.st_mode & 0777) == 0 &&
                            ::futimens(out, times) == 0 && ::fsync(out) == 0;
        m_target.close();
        return sealed;
    }

    // Renames the member into place, only while the log is still there: a
    // log removed to keep the folder within its total leaves no member to
    // take its room.
    bool place(bool written, const QString& lockedFolder)
    {
        QString problem;
        {
            const FolderLock lock(lockedFolder);
            struct stat still = {};
            if (::fstatat(m_folder.descriptor(), QFile::encodeName(m_name).constData(), &still,
                          AT_SYMLINK_NOFOLLOW) != 0) {
                discard();
                return false;
            }
            if (!written || !m_folder.moveIntoPlace(m_temporary, m_targetName, problem)) {
                Solvane::Trace::error(
                    "Failed to write '%s' on disk%s", qUtf8Printable(m_folder.pathOf(m_targetName)),
                    qUtf8Printable(problem.isEmpty() ? problem : QStringLiteral(": ") + problem));
                discard();
                return false;
            }
        }
        // Makes the rename last; a file system that cannot sync a folder still
        // has the file, so a failure here is no failure of the file.
        ::fsync(m_folder.descriptor());
        return true;
    }

    // Removes the temporary file: no partial member is left.
    void discard()
    {
        QString ignored;
        m_target.close();
        m_folder.remove(m_temporary, ignored);
    }

private:
    QString sourcePath() const { return m_folder.pathOf(m_name); }

    const SafeFolder& m_folder;
    const QString m_name;
    const QString m_targetName;
    struct stat m_before = {};
    QFile m_source;
    QFile m_target;
    QString m_temporary;
    GzipWriter m_writer{&m_target};
    bool m_written = true; // false once writing the member failed
};

} // namespace

// What one walk knows of the room in its folder: at most `total` bytes are
// taken, by what it counted last and by the claims it has seen since (a file
// that another launcher writes grows only within its claim, and a piece split
// off it was within one, too; what goes is not taken off). A compression
// that fits that is claimed without counting the folder anew.
struct LogRotation::Bound
{
    qint64 total = -1;
    QSet<QByteArray> seen;
};

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
        const QString name = QFileInfo(m_folder).fileName();
        struct stat status = {};
        if (folder && kindOf(name) == Kind::Piece && lstatPath(m_folder, &status) &&
            folder->readingRefusal(name, status).isEmpty())
            compressLog(*folder, name, status, cancel, progress, nullptr);
        return;
    }
    // A folder that may not be used is not walked at all; one not made yet
    // has nothing to rotate.
    struct stat status = {};
    Folders folders;
    if (!lstatPath(m_folder, &status) || !folders.folder(m_folder))
        return;
    compressOldLogs(now, cancel, progress);
    if (m_keepDays > 0 || m_maxTotalSize > 0)
        removeCompressedLogs(now, cancel, progress);
}

// One reading of the clock serves every file of the walk.
void LogRotation::compressOldLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                                  const Progress& progress) const
{
    // Known by their inodes: a path may spell the folder another way. The
    // logs that other launchers write are theirs, too.
    std::vector<std::pair<dev_t, ino_t>> excluded;
    for (const QString& path : m_excluded) {
        struct stat status = {};
        if (lstatPath(path, &status))
            excluded.emplace_back(status.st_dev, status.st_ino);
    }
    {
        const FolderLock lock(m_folder);
        for (const Claim& claim : claimsIn(m_folder, QByteArray())) {
            if (claim.inode != 0)
                excluded.emplace_back(claim.device, claim.inode);
        }
    }
    Bound bound;
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

        compressLog(*folder, entries.fileName(), status, cancel, progress, &bound);
    }
}

// Compresses a log that the walk found, as it found it, and removes it.
void LogRotation::compressLog(const SafeFolder& folder, const QString& name,
                              const struct stat& status, const std::atomic<bool>* cancel,
                              const Progress& progress, Bound* bound) const
{
    // A pair left by a run that could not remove its log is skipped for
    // good, without a word; anything at the name counts as taken, too.
    const QString logPath = folder.pathOf(name);
    const QByteArray encoded = QFile::encodeName(name);
    const QString compressedName = name + QStringLiteral(".gz");
    struct stat compressedStatus = {};
    if (::fstatat(folder.descriptor(), QFile::encodeName(compressedName).constData(),
                  &compressedStatus, AT_SYMLINK_NOFOLLOW) == 0)
        return;

    // In a folder that keeps a total, the room the .gz may take is claimed
    // first; without it, the log waits for a rotation with room.
    const QString lockedFolder = m_onePiece ? QString() : m_folder;
    LogRoom room;
    if (bound && m_maxTotalSize > 0 && !claimCompression(&room, qint64(status.st_size), bound))
        return;
    // Gone since the walk: compressed, or removed to keep the total, by
    // another launcher that writes the folder.
    struct stat still = {};
    if (::fstatat(folder.descriptor(), encoded.constData(), &still, AT_SYMLINK_NOFOLLOW) != 0 ||
        still.st_ino != status.st_ino)
        return;
    bool compressed = compressFile(folder, name, cancel, progress, lockedFolder);
    if (cancelled(cancel))
        return;
    const FolderLock lock(lockedFolder);
    // Gone: its writer removed it to keep the folder within its total, and
    // said so in the log; a .gz that made it in was counted then.
    struct stat after = {};
    if (::fstatat(folder.descriptor(), encoded.constData(), &after, AT_SYMLINK_NOFOLLOW) != 0)
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
    const FolderLock lock(m_folder);
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
        // A log written before the clock was set says nothing of its age:
        // once the clock is right, it ages from now, and never goes for its
        // age in the rotation that found it.
        const bool plausible = isPlausibleTime(file.modified);
        if (!plausible && m_keepDays > 0 && isPlausibleTime(now) &&
            restamp(folders, file.path, file.device, file.inode, now))
            Solvane::Trace::info("Compressed log '%s' was written before the clock was set: it "
                                 "is kept %d days from now",
                                 qUtf8Printable(file.path), m_keepDays);
        const bool tooOld = m_keepDays > 0 && plausible && file.modified.secsTo(now) > keepSeconds;
        const bool tooMuch = m_maxTotalSize > 0 && total > m_maxTotalSize;
        if (!tooOld && !tooMuch)
            continue;
        if (!folders.remove(file.path, problem)) {
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
                             qint64 room, qint64* dropped, LogRoom* taken)
{
    const FolderLock lock(folder);
    struct stat current = {};
    const bool hasCurrent = lstatPath(currentPath, &current);
    Usage usage = usageOf(folder, claimsIn(folder, taken ? taken->m_name : QByteArray()),
                          hasCurrent ? &current : nullptr);
    std::vector<LogFile>& logs = usage.removable;
    // The rotation compresses one log at a time, and the file it writes grows
    // up to the size of that log: the largest that waits, or the current
    // file once it is split off. Taken before anything goes, as the one being
    // compressed may be among what goes; compressions under way (of other
    // launchers too) have claimed theirs.
    qint64 compressing = room;
    qint64 total = usage.total;
    for (const LogFile& log : logs) {
        if (log.kind != Kind::Compressed)
            compressing = std::max(compressing, log.size);
    }
    const qint64 reserved = std::max(compressionRoom(compressing), usage.compressing);
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
        if (!folders.remove(log.path, problem)) {
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
    const qint64 granted = std::min(room, maxTotalSize - total - reserved);
    if (taken && hasCurrent &&
        !claim(taken, folder, std::max<qint64>(granted, 0), current.st_dev, current.st_ino))
        warnOnce(QStringLiteral("claim:") + folder,
                 QStringLiteral("Unable to claim room in the logs folder '%1' for other "
                                "launchers: they may take it too")
                     .arg(folder));
    return granted;
}

// Where the folder has not the room, the oldest compressed logs make it.
bool LogRotation::claimCompression(LogRoom* room, qint64 size, Bound* bound) const
{
    const FolderLock lock(m_folder);
    const qint64 needed = compressionRoom(size);
    const std::vector<Claim> claims = claimsIn(m_folder, QByteArray());
    for (const Claim& claim : claims) {
        if (bound->total >= 0 && !bound->seen.contains(claim.name))
            bound->total += claim.bytes;
    }
    if (bound->total < 0 || bound->total + needed > m_maxTotalSize) {
        const Usage usage = usageOf(m_folder, claims, nullptr);
        bound->total = usage.total + usage.compressing;
        Folders folders;
        QString problem;
        for (const LogFile& log : usage.removable) {
            if (bound->total + needed <= m_maxTotalSize)
                break;
            if (log.kind != Kind::Compressed)
                continue;
            if (!folders.remove(log.path, problem)) {
                Solvane::Trace::error("Failed to remove old compressed log '%s': %s",
                                      qUtf8Printable(log.path), qUtf8Printable(problem));
                continue;
            }
            bound->total -= log.size;
            Solvane::Trace::info("Removed compressed log '%s': the logs took more than %lld bytes",
                                 qUtf8Printable(log.path), m_maxTotalSize);
        }
    }
    bound->seen.clear();
    for (const Claim& claim : claims)
        bound->seen.insert(claim.name);
    if (bound->total + needed > m_maxTotalSize || !claim(room, m_folder, needed, 0, 0))
        return false;
    // Its own claim is seen, and what it writes stays when it goes.
    bound->seen.insert(room->m_name);
    bound->total += needed;
    return true;
}

// Names the claim in the folder, under its lock: made, or renamed to its new size.
bool LogRotation::claim(LogRoom* room, const QString& folder, qint64 bytes, dev_t device,
                        ino_t inode)
{
    QString problem;
    if (room->m_fd < 0) {
        room->m_folder = SafeFolder::open(folder);
        if (!room->m_folder.isOpen())
            return false;
        room->m_id = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        room->m_name = roomName(room->m_id, bytes, device, inode);
        room->m_fd = room->m_folder.create(QString::fromLatin1(room->m_name), 0644, problem);
        // Readable by the launchers of other users, whatever the mask: they
        // look whether it is still held.
        return room->m_fd >= 0 && ::fchmod(room->m_fd, 0644) == 0 &&
               ::flock(room->m_fd, LOCK_EX | LOCK_NB) == 0;
    }
    const QByteArray name = roomName(room->m_id, bytes, device, inode);
    if (name == room->m_name)
        return true;
    bool taken = false;
    if (!room->m_folder.moveToNewName(QString::fromLatin1(room->m_name), QString::fromLatin1(name),
                                      taken, problem))
        return false;
    room->m_name = name;
    return true;
}

LogRoom::~LogRoom()
{
    if (m_fd < 0)
        return;
    QString ignored;
    m_folder.remove(QString::fromLatin1(m_name), ignored);
    ::close(m_fd);
}

bool LogRotation::compressFile(const QFileInfo& file, const std::atomic<bool>* cancel,
                               const Progress& progress, const QString& lockedFolder)
{
    Folders folders;
    const SafeFolder* folder = folders.of(file.absoluteFilePath());
    if (!folder) {
        Solvane::Trace::error("Unable to compress file: its folder '%s' may not be used",
                              qUtf8Printable(file.absolutePath()));
        return false;
    }
    return compressFile(*folder, file.fileName(), cancel, progress, lockedFolder);
}

bool LogRotation::compressFile(const SafeFolder& folder, const QString& name,
                               const std::atomic<bool>* cancel, const Progress& progress,
                               const QString& lockedFolder)
{
    Compression compression(folder, name);
    if (!compression.openSource() || !compression.openTarget())
        return false;
    if (!compression.deflate(cancel, progress)) {
        compression.discard();
        return false;
    }
    return compression.place(compression.seal(), lockedFolder);
}
