#include "logs/PipelineLog.h"

#include "support/DayTimer.h"
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

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

using Solvane::TimeStamp;
using Solvane::Trace;

namespace {

// How often a write looks whether the file at the path is still its own.
const qint64 ReplacementCheckIntervalMs = 1000;

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
    return filePath(pipelineConfig, DayTimer::today());
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
    const QString folder = fileInfo.absolutePath();
    if (!QDir().mkpath(folder)) {
        Trace::error("Failed to create log folder %s", qUtf8Printable(folder));
        return nullptr;
    }
    std::unique_ptr<PipelineLog> log(new PipelineLog(fileInfo.absoluteFilePath()));
    if (!log->openFile(false)) {
        Trace::error("Failed to create log file %s", qUtf8Printable(log->m_filePath));
        return nullptr;
    }
    return log;
}

PipelineLog::PipelineLog(const QString& filePath)
    : m_filePath(filePath), m_encodedPath(QFile::encodeName(filePath))
{
}

PipelineLog::~PipelineLog()
{
    closeFile();
}

void PipelineLog::write(const char* data, qint64 size, int lineCount)
{
    checkFile();
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
    else
        m_lostLines += lineCount;
}

bool PipelineLog::openFile(bool reportFailure)
{
    // Never through a link: a link planted in the log's place would have the
    // launcher append to whatever file it points at. Non-blocking, so that a
    // FIFO in its place cannot hold the launcher up (a regular file ignores it).
    m_fd = ::open(m_encodedPath.constData(),
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    struct stat status = {};
    if (m_fd >= 0 && ::fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode)) {
        m_device = status.st_dev;
        m_inode = status.st_ino;
        m_nextCheckMs = monotonicMs() + ReplacementCheckIntervalMs;
        m_lineOpen = false;
        return true;
    }
    // Anything but a regular file (a FIFO, a device) is no log either.
    const int error = m_fd >= 0 ? EINVAL : errno;
    closeFile();
    if (reportFailure && !m_failureReported) {
        m_failureReported = true;
        Trace::error("Failed to recreate log file '%s': %s", m_encodedPath.constData(),
                     std::strerror(error));
    }
    return false;
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
    struct stat status = {};
    if (m_fd >= 0 && ::lstat(m_encodedPath.constData(), &status) == 0 &&
        status.st_dev == m_device && status.st_ino == m_inode) {
        if (m_sizeLimit > 0 && status.st_size > m_sizeLimit)
            split();
        return;
    }
    // Removed, renamed or replaced: the run goes on in a file at its path,
    // in a folder made anew if that went too.
    closeFile();
    if (!openFile(false)) {
        QDir().mkpath(QFileInfo(m_filePath).absolutePath());
        openFile(true);
    }
}

void PipelineLog::limitSize(qint64 bytes, std::function<void(const QString&)> onSplit)
{
    m_sizeLimit = std::max<qint64>(bytes, 0);
    m_onSplit = std::move(onSplit);
    struct stat status = {};
    if (m_sizeLimit > 0 && m_fd >= 0 && ::fstat(m_fd, &status) == 0 && status.st_size > m_sizeLimit)
        split();
}

int PipelineLog::nextPieceNumber() const
{
    const QFileInfo file(m_filePath);
    const QString prefix = file.fileName() + QLatin1Char('.');
    int highest = 0;
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
        const int value = number.toInt(&ok);
        if (ok && value > highest && number.at(0).isDigit())
            highest = value;
    }
    return highest + 1;
}

// The file moves aside as a whole: what this run wrote and what others
// appended. A rename never splits a line, and the fresh file takes the lines
// that come after it.
void PipelineLog::split()
{
    const QString piece = m_filePath + QLatin1Char('.') + QString::number(nextPieceNumber());
    struct stat status = {};
    const qint64 size = ::fstat(m_fd, &status) == 0 ? qint64(status.st_size) : 0;
    if (::rename(m_encodedPath.constData(), QFile::encodeName(piece).constData()) != 0) {
        // Not tried again in this run: a folder that refuses once refuses every second.
        Trace::error("Unable to split log file '%s' at its size limit: %s",
                     m_encodedPath.constData(), std::strerror(errno));
        m_sizeLimit = 0;
        return;
    }
    closeFile();
    if (!openFile(false)) {
        QDir().mkpath(QFileInfo(m_filePath).absolutePath());
        openFile(true);
    }
    const QString pieceName = QFileInfo(piece).fileName() + QStringLiteral(".gz");
    const QByteArray notice =
        QStringLiteral("[ %1 ] %2 Log file reached %3 bytes (the limit is %4): the earlier lines "
                       "are in %5\n")
            .arg(QCoreApplication::applicationPid())
            .arg(QString::fromLatin1(timeStampText()))
            .arg(size)
            .arg(m_sizeLimit)
            .arg(pieceName)
            .toUtf8();
    iovec part = {const_cast<char*>(notice.constData()), size_t(notice.size())};
    writeAll(&part, 1);
    Trace::info("Split log file '%s' at %lld bytes: the earlier lines are in '%s'",
                m_encodedPath.constData(), size, qUtf8Printable(piece));
    if (m_onSplit)
        m_onSplit(piece);
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
