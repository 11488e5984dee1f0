#include "logs/PipelineLog.h"

#include "logs/LogRotation.h"
#include "support/DateChangeTimer.h"
#include "support/LauncherSupport.h"
#include "support/TimeStamp.h"
#include "support/Trace.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

using LauncherSupport::sizeText;
using Solvane::TimeStamp;
using Solvane::Trace;

namespace {

// How often a write looks whether the file at the path is still its own.
const qint64 ReplacementCheckIntervalMs = 1000;

// Room for the line that crosses the size limit and the notices of a new file,
// beyond that limit, when the folder's total is kept: a line that does not
// fit goes to the next file, so a small total may keep less.
qint64 lineRoom(qint64 maxTotalSize)
{
    return std::min<qint64>(64 * 1024, maxTotalSize / 64);
}

// Piece numbers stay below this: a planted number beyond it is no piece of
// this log, and counting never overflows.
const qint64 MaxPieceNumber = 999999999;

// The last piece of the log that the launcher split off before: pieces count
// from 1 up and the oldest go first, so a piece of its own is number 1 or
// follows one. A number planted on its own, however large, is not taken up.
qint64 lastPieceOf(const QString& logPath)
{
    const QFileInfo file(logPath);
    const QString prefix = file.fileName() + QLatin1Char('.');
    std::vector<qint64> numbers;
    const QStringList names =
        QDir(file.absolutePath())
            .entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (!name.startsWith(prefix))
            continue;
        QStringRef number = name.midRef(prefix.size());
        if (number.endsWith(QLatin1String(".gz")))
            number.chop(3);
        bool ok = false;
        const qint64 value = number.toLongLong(&ok);
        if (ok && value > 0 && value <= MaxPieceNumber && number.at(0).isDigit())
            numbers.push_back(value);
    }
    std::sort(numbers.begin(), numbers.end());
    qint64 last = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i] == 1 || (i > 0 && numbers[i - 1] == numbers[i] - 1))
            last = numbers[i];
    }
    return last;
}

qint64 monotonicMs()
{
    // The coarse clock costs no system call; a tick of a few ms is plenty here.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

QString PipelineLog::filePath(const PipelineConfig& pipelineConfig, const QDate& date)
{
    const QString fileName =
        QStringLiteral("%1-%2.log")
            .arg(pipelineConfig.logBasename, date.toString(QStringLiteral("yyyy-MM-dd")));
    return QFileInfo(QStringLiteral("%1/%2").arg(pipelineConfig.logPath, fileName))
        .absoluteFilePath();
}

QString PipelineLog::filePath(const PipelineConfig& pipelineConfig)
{
    return filePath(pipelineConfig, DateChangeTimer::today());
}

QByteArray PipelineLog::timeStampText()
{
    // Calendar conversion is the costly part, and a chatty child asks many
    // times a second; the text up to the seconds is kept for its second.
    thread_local qint64 cachedSecond = std::numeric_limits<qint64>::min();
    thread_local char cached[64];
    thread_local int cachedLength = 0;

    const TimeStamp now = TimeStamp::currentTime();
    if (now.seconds() != cachedSecond) {
        const time_t seconds = time_t(now.seconds());
        tm local{};
        localtime_r(&seconds, &local);
        cachedLength = std::snprintf(cached, sizeof cached, "[%04d-%02d-%02d %02d:%02d:%02d",
                                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                     local.tm_hour, local.tm_min, local.tm_sec);
        cachedLength = qBound(0, cachedLength, int(sizeof cached) - 1);
        cachedSecond = now.seconds();
    }
    // Truncated to whole microseconds first, then to milliseconds: never rounded up.
    const qint64 microseconds = (qint64(now.fraction()) * 1000000) >> TimeStamp::FractionBits;
    const int milliseconds = int(microseconds / 1000);

    QByteArray text(cachedLength + 5, Qt::Uninitialized);
    char* out = text.data();
    std::memcpy(out, cached, size_t(cachedLength));
    out += cachedLength;
    *out++ = '.';
    *out++ = char('0' + milliseconds / 100);
    *out++ = char('0' + milliseconds / 10 % 10);
    *out++ = char('0' + milliseconds % 10);
    *out = ']';
    return text;
}

std::unique_ptr<PipelineLog> PipelineLog::open(const QString& filePath)
{
    const QFileInfo fileInfo(filePath);
    std::unique_ptr<PipelineLog> log(new PipelineLog(fileInfo.absoluteFilePath()));
    QString problem;
    if (!log->openFolder(problem)) {
        Trace::error("Failed to create log folder %s: %s", qUtf8Printable(fileInfo.absolutePath()),
                     qUtf8Printable(problem));
        return nullptr;
    }
    if (!log->openFile(problem)) {
        Trace::error("Failed to create log file %s: %s", qUtf8Printable(log->m_filePath),
                     qUtf8Printable(problem));
        return nullptr;
    }
    log->m_lastPiece = lastPieceOf(log->m_filePath);
    log->makeRoom();
    return log;
}

PipelineLog::PipelineLog(const QString& filePath)
    : m_filePath(filePath), m_encodedPath(QFile::encodeName(filePath)),
      m_name(QFileInfo(filePath).fileName()), m_encodedName(QFile::encodeName(m_name))
{
}

PipelineLog::~PipelineLog()
{
    closeFile();
}

void PipelineLog::write(const char* data, qint64 size, int lineCount)
{
    checkFile();
    // The per-line path: one comparison with a count kept in memory.
    if (m_size + size > m_limit)
        writeBounded(data, size);
    else
        writeLines(data, size, lineCount);
}

void PipelineLog::writeLines(const char* data, qint64 size, int lineCount)
{
    iovec parts[3];
    int partCount = 0;
    // After a failure, an unfinished line is ended and the loss is told, in
    // the same write as the lines; nothing is copied for it.
    char notice[160];
    if (m_lineOpen)
        parts[partCount++] = {const_cast<char*>("\n"), 1};
    if (m_lostLines > 0) {
        const int length = std::snprintf(
            notice, sizeof notice,
            "[ %lld ] %s %lld log lines were lost: the file could not be "
            "written\n",
            qint64(QCoreApplication::applicationPid()), timeStampText().constData(), m_lostLines);
        parts[partCount++] = {notice, size_t(qBound(0, length, int(sizeof notice) - 1))};
    }
    parts[partCount++] = {const_cast<char*>(data), size_t(size)};
    if (writeAll(parts, partCount))
        m_lostLines = 0;
    else {
        m_lostLines += lineCount;
        m_linesLost += lineCount;
    }
}

// Lines that reach a limit: those that fit go to this file, the rest to the
// next one, and what no file can take is dropped. Whole lines only.
void PipelineLog::writeBounded(const char* data, qint64 size)
{
    while (size > 0) {
        qint64 cut = size;
        if (m_pieceLimit > 0 && m_size + size > m_pieceLimit) {
            // The lines that begin within the limit, the first one always.
            const qint64 within = std::max<qint64>(m_pieceLimit - m_size, m_size == m_openedSize);
            const auto* end = within > 0 ? static_cast<const char*>(std::memchr(
                                               data + within - 1, '\n', size_t(size - within + 1)))
                                         : nullptr;
            cut = end ? end - data + 1 : within > 0 ? size : 0;
        }
        if (m_size + cut > m_room) {
            // The folder's total is never exceeded, not even by a line.
            const qint64 fits = m_room - m_size;
            const auto* end =
                fits > 0 ? static_cast<const char*>(::memrchr(data, '\n', size_t(fits))) : nullptr;
            cut = end ? end - data + 1 : 0;
        }
        if (cut > 0) {
            writeLines(data, cut, int(std::count(data, data + cut, '\n')));
            data += cut;
            size -= cut;
        }
        if (size == 0)
            return;
        // A file of nothing new makes no piece, nor does a folder that refused
        // a split: what the file cannot take is dropped.
        if (m_size == m_openedSize || m_pieceLimit == 0) {
            m_linesLost += std::count(data, data + size, '\n');
            drop(size);
            return;
        }
        split();
    }
}

// The folder is made when missing, and looked at again when it was removed,
// replaced or opened up to others since.
bool PipelineLog::openFolder(QString& problem)
{
    if (m_dir.stillHolds())
        return true;
    m_dir = SafeFolder::open(QFileInfo(m_filePath).absolutePath(), SafeFolder::MakeMissing);
    problem = m_dir.problem();
    return m_dir.isOpen();
}

bool PipelineLog::openFile(QString& problem)
{
    // Never through a link or into someone else's file (SafeFolder), and
    // non-blocking, so that nothing in its place can hold the launcher up.
    if (!openFolder(problem))
        return false;
    m_fd = m_dir.openToAppend(m_name, 0644, problem);
    struct stat status = {};
    if (m_fd >= 0 && ::fstat(m_fd, &status) == 0) {
        m_device = status.st_dev;
        m_inode = status.st_ino;
        m_size = m_openedSize = qint64(status.st_size);
        m_nextCheckMs = monotonicMs() + ReplacementCheckIntervalMs;
        m_lineOpen = false;
        return true;
    }
    closeFile();
    return false;
}

// Once for the run: a file that cannot be made fails at every check.
void PipelineLog::reopenFile()
{
    closeFile();
    QString problem;
    if (!openFile(problem) && !m_failureReported) {
        m_failureReported = true;
        Trace::error("Failed to recreate log file '%s': %s", m_encodedPath.constData(),
                     qUtf8Printable(problem));
    }
}

void PipelineLog::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void PipelineLog::checkFile()
{
    const qint64 now = monotonicMs();
    if (now < m_nextCheckMs)
        return;
    m_nextCheckMs = now + ReplacementCheckIntervalMs;
    // The file is looked up in its folder, and the folder at its path: a
    // folder renamed or replaced takes the file along.
    struct stat status = {};
    if (m_fd >= 0 && isStillAtItsName(status) && m_dir.stillHolds()) {
        // Another writer may append to the same file.
        m_size = std::max(m_size, qint64(status.st_size));
        // While output is dropped, the rotation may have made room since.
        if (m_droppedBytes > 0) {
            makeRoom();
            writeDropNotice();
        }
        if (m_pieceLimit > 0 && (m_size > m_pieceLimit || m_size > m_room))
            split();
        return;
    }
    // Removed, renamed or replaced: the run goes on in a file at its path,
    // in a folder made anew if that went too.
    reopenFile();
    makeRoom();
    writeDropNotice();
}

void PipelineLog::limitSize(qint64 fileBytes, const QString& folder, qint64 totalBytes,
                            std::function<void(const QString&)> onSplit)
{
    m_sizeLimit = std::max<qint64>(fileBytes, 0);
    const QString inside = QDir::cleanPath(folder) + QLatin1Char('/');
    m_folder = folder.isEmpty() || !m_filePath.startsWith(inside) ? QString() : folder;
    m_maxTotalSize = m_folder.isEmpty() ? 0 : std::max<qint64>(totalBytes, 0);
    // The total holds the file being written, a piece that waits and the
    // compression of one: below three files, the pieces are made smaller.
    const qint64 third = m_maxTotalSize / 3 - m_maxTotalSize / 256 - 2 * lineRoom(m_maxTotalSize);
    m_pieceLimit = m_maxTotalSize <= 0 ? m_sizeLimit
                   : m_sizeLimit > 0   ? std::min(m_sizeLimit, std::max<qint64>(third, 1))
                                       : std::max<qint64>(third, 1);
    m_onSplit = std::move(onSplit);
    makeRoom();
    writeDropNotice();
    if (m_fd >= 0 && m_pieceLimit > 0 && (m_size > m_pieceLimit || m_size > m_room))
        split();
}

// Room for this file in the folder, made now: the total holds while the file
// grows up to it, whatever the rotation does meanwhile.
void PipelineLog::makeRoom()
{
    if (m_maxTotalSize <= 0) {
        m_room = std::numeric_limits<qint64>::max();
        m_claim.reset();
    } else {
        if (!m_claim)
            m_claim = std::make_unique<LogRoom>();
        qint64 dropped = 0;
        m_room =
            LogRotation::makeRoom(m_folder, m_maxTotalSize, m_filePath,
                                  m_pieceLimit + lineRoom(m_maxTotalSize), &dropped, m_claim.get());
        drop(dropped);
    }
    updateLimit();
}

// What was dropped is told in the file as soon as it has room for the line.
void PipelineLog::writeDropNotice()
{
    if (m_droppedBytes > 0 &&
        writeNotice(QByteArray("[ ") + QByteArray::number(QCoreApplication::applicationPid()) +
                    " ] " + timeStampText() + " Dropped " + sizeText(m_droppedBytes).toUtf8() +
                    " of earlier output: the logs folder is at its max-total-size of " +
                    sizeText(m_maxTotalSize).toUtf8() + " and compression fell behind\n"))
        m_droppedBytes = 0;
}

void PipelineLog::updateLimit()
{
    m_limit =
        std::min(m_pieceLimit > 0 ? m_pieceLimit : std::numeric_limits<qint64>::max(), m_room);
}

void PipelineLog::drop(qint64 bytes)
{
    if (bytes <= 0)
        return;
    m_droppedBytes += bytes;
    // Told once a run in the trace; every time in the file.
    if (!m_dropReported)
        Trace::warning("Dropped output of log '%s': the logs folder '%s' is at its "
                       "max-total-size of %lld bytes and compression fell behind",
                       m_encodedPath.constData(), qUtf8Printable(m_folder), m_maxTotalSize);
    m_dropReported = true;
}

bool PipelineLog::writeNotice(const QByteArray& text)
{
    if (m_size + text.size() > m_room)
        return false;
    iovec part = {const_cast<char*>(text.constData()), size_t(text.size())};
    return writeAll(&part, 1);
}

// The file moves aside as a whole: what this run wrote and what others
// appended. A rename never splits a line, and the fresh file takes the lines
// that come after it.
bool PipelineLog::split()
{
    const qint64 size = m_size;
    const qint64 limit = m_pieceLimit > 0 ? m_pieceLimit : m_room;
    QString piece;
    QString problem;
    struct stat status = {};
    if (!isStillAtItsName(status)) {
        // Removed meanwhile (to keep the folder's total, say): the lines go
        // on in a file made anew, as after a look at the path.
        reopenFile();
        makeRoom();
        writeDropNotice();
        return false;
    }
    if (!renameToNextPiece(piece, problem)) {
        // Not tried again until the limits are set anew: a folder that refuses
        // once refuses every second.
        Trace::error("Unable to split log file '%s' at its size limit: %s",
                     m_encodedPath.constData(), qUtf8Printable(problem));
        m_pieceLimit = 0;
        updateLimit();
        return false;
    }
    reopenFile();
    makeRoom();
    const QString pieceName = QFileInfo(piece).fileName() + QStringLiteral(".gz");
    writeNotice(
        QStringLiteral("[ %1 ] %2 Log file reached %3 bytes (the limit is %4): the earlier lines "
                       "are in %5\n")
            .arg(QCoreApplication::applicationPid())
            .arg(QString::fromLatin1(timeStampText()))
            .arg(size)
            .arg(limit)
            .arg(pieceName)
            .toUtf8());
    writeDropNotice();
    m_openedSize = m_size;
    Trace::info("Split log file '%s' at %lld bytes: the earlier lines are in '%s'",
                m_encodedPath.constData(), size, qUtf8Printable(piece));
    if (m_onSplit)
        m_onSplit(piece);
    return true;
}

// The next number that names no piece yet, compressed or not; never one that
// another file took meanwhile. Only the file this log writes moves.
bool PipelineLog::renameToNextPiece(QString& piece, QString& problem)
{
    struct stat status = {};
    for (qint64 tries = 0; tries < MaxPieceNumber; ++tries) {
        m_lastPiece = m_lastPiece >= MaxPieceNumber ? 1 : m_lastPiece + 1;
        const QString name = m_name + QLatin1Char('.') + QString::number(m_lastPiece);
        piece = m_dir.pathOf(name);
        if (::fstatat(m_dir.descriptor(),
                      QFile::encodeName(name + QStringLiteral(".gz")).constData(), &status,
                      AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        bool taken = false;
        if (m_dir.moveToNewName(m_name, name, taken, problem))
            return true;
        if (!taken)
            return false;
    }
    problem = QStringLiteral("every piece number is taken");
    return false;
}

bool PipelineLog::isStillAtItsName(struct stat& status) const
{
    return ::fstatat(m_dir.descriptor(), m_encodedName.constData(), &status, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           status.st_dev == m_device && status.st_ino == m_inode;
}

bool PipelineLog::writeAll(iovec* parts, int partCount)
{
    if (m_fd < 0)
        return false;
    // The last byte that reached the file, to know whether a line stays open;
    // when nothing did, the file ends as it did before.
    char last = m_lineOpen ? ' ' : '\n';
    while (partCount > 0) {
        const ssize_t written = ::writev(m_fd, parts, partCount);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_lineOpen = last != '\n';
            if (!m_failureReported) {
                m_failureReported = true;
                Trace::error("Failed to write log file '%s': %s", m_encodedPath.constData(),
                             std::strerror(written < 0 ? errno : ENOSPC));
            }
            return false;
        }
        m_size += written;
        m_bytesWritten += written;
        // A short write (a file that may grow no further) goes on where it ended.
        size_t left = size_t(written);
        while (partCount > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            if (parts->iov_len > 0)
                last = static_cast<const char*>(parts->iov_base)[parts->iov_len - 1];
            ++parts;
            --partCount;
        }
        if (left > 0) {
            last = static_cast<const char*>(parts->iov_base)[left - 1];
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    m_lineOpen = false;
    return true;
}
