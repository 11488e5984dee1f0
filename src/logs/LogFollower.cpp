#include "logs/LogFollower.h"

#include "support/MonotonicClock.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// How often the locator is asked while nothing is written: it may ask the
// running launcher.
const qint64 LookIntervalMs = 1000;
const qint64 ReadLimit = 1 << 20;

// A regular file, never through a link, and without blocking on a FIFO; -1
// when there is none.
int openRegular(const QString& path, struct stat* status)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && (::fstat(fd, status) != 0 || !S_ISREG(status->st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Where the last `lines` lines of a file of `size` bytes begin: read back from its end.
qint64 lastLinesStart(int fd, qint64 size, int lines)
{
    if (lines < 0)
        return 0;
    if (lines == 0)
        return size;
    int found = 0;
    QByteArray block(65536, Qt::Uninitialized);
    for (qint64 end = size; end > 0;) {
        const qint64 begin = std::max<qint64>(0, end - block.size());
        if (::pread(fd, block.data(), size_t(end - begin), begin) != end - begin)
            return 0;
        for (qint64 i = end - begin - 1; i >= 0; --i) {
            // The line feed that ends the file ends the last line, not one more.
            if (block[int(i)] == '\n' && begin + i != size - 1 && ++found == lines)
                return begin + i + 1;
        }
        end = begin;
    }
    return 0;
}

} // namespace

LogFollower::LogFollower(Locator locator, int lastLines)
    : m_locator(std::move(locator)), m_lastLines(lastLines)
{
}

LogFollower::~LogFollower()
{
    closeAll();
    if (m_inotify >= 0)
        ::close(m_inotify);
}

bool LogFollower::open()
{
    if (!m_files.empty())
        return true;
    const QString path = m_locator();
    if (!path.isEmpty())
        m_path = path;
    return !m_path.isEmpty() && follow(m_path, -1);
}

// Follows the file at `path` from `position` (negative: where the last lines
// begin); what came before is forgotten.
bool LogFollower::follow(const QString& path, qint64 position)
{
    closeAll();
    m_nextPath.clear();
    const QFileInfo info(path);
    m_path = path;
    m_name = QFile::encodeName(info.fileName());
    m_folder = info.absolutePath();
    // Watched before the file is opened, so that no change after it is missed.
    watch();
    m_files.push_back(File());
    m_files.back().serial = ++m_nextSerial;
    if (openAtPath(position))
        return true;
    closeAll();
    return false;
}

void LogFollower::closeAll()
{
    for (File& file : m_files)
        close(file);
    m_files.clear();
    m_moving = 0;
}

// A watch of its own: the events of an earlier one, still queued, are left
// aside by their watch number.
void LogFollower::watch()
{
    if (m_inotify < 0)
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0)
        ::inotify_rm_watch(m_inotify, m_watch);
    m_watch = m_inotify < 0
                  ? -1
                  : ::inotify_add_watch(m_inotify, QFile::encodeName(m_folder).constData(),
                                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                            IN_MOVE_SELF | IN_ONLYDIR);
    m_watchProblem = m_watch < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QString();
}

// What happened to the log's path, in order. Without a watch (the folder
// went, or cannot be watched) the path is looked at instead.
void LogFollower::readEvents()
{
    // Watched anew, what happened while it was not is looked at once.
    const bool watched = m_watch >= 0;
    if (!watched)
        watch();
    alignas(inotify_event) char buffer[16384];
    ssize_t size = 0;
    while (m_watch >= 0 && ((size = ::read(m_inotify, buffer, sizeof buffer)) > 0 ||
                            (size < 0 && errno == EINTR))) {
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                overflowed();
                continue;
            }
            if (event->wd != m_watch)
                continue;
            if (event->mask & (IN_IGNORED | IN_MOVE_SELF)) {
                // The folder itself went: watched anew once it is back.
                ::inotify_rm_watch(m_inotify, m_watch);
                m_watch = -1;
                break;
            }
            const QByteArray name(event->len > 0 ? event->name : "");
            if (name == m_name) {
                if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    appeared();
                } else if (!m_files.empty() && m_files.back().atPath) {
                    m_files.back().atPath = false;
                    m_moving = event->mask & IN_MOVED_FROM ? m_files.back().serial : 0;
                    m_moveCookie = event->cookie;
                }
            } else if ((event->mask & IN_MOVED_TO) && m_moving != 0 &&
                       event->cookie == m_moveCookie) {
                // Split off as a piece (or moved aside): found there, or compressed.
                if (File* file = find(m_moving))
                    file->name = m_folder + QLatin1Char('/') + QFile::decodeName(name);
                m_moving = 0;
            }
        }
    }
    if (!watched || m_watch < 0)
        lookAtPath();
}

// Another file at the path than the last one opened there: it came after.
void LogFollower::lookAtPath()
{
    if (m_files.empty() || m_files.back().fd < 0 || !m_files.back().atPath)
        return;
    struct stat status = {};
    const File& last = m_files.back();
    if (::lstat(QFile::encodeName(m_path).constData(), &status) != 0)
        m_files.back().atPath = false;
    else if (status.st_dev != last.device || status.st_ino != last.inode)
        appeared();
}

// A new file at the path: the one before it is no longer there.
void LogFollower::appeared()
{
    if (!m_files.empty())
        m_files.back().atPath = false;
    m_files.push_back(File());
    m_files.back().serial = ++m_nextSerial;
}

// Events were lost: which files came and went meanwhile is not known. The
// one at the path now comes next, and what was between is told as lost.
void LogFollower::overflowed()
{
    ++m_lost;
    m_moving = 0;
    m_files.erase(std::remove_if(m_files.begin(), m_files.end(),
                                 [](const File& file) {
                                     return file.fd < 0 && !file.gzip && file.name.isEmpty();
                                 }),
                  m_files.end());
    struct stat status = {};
    const bool exists = ::lstat(QFile::encodeName(m_path).constData(), &status) == 0;
    for (auto file = m_files.begin(); file != m_files.end(); ++file) {
        file->atPath = exists && file->fd >= 0 && file->device == status.st_dev &&
                       file->inode == status.st_ino;
        if (file->atPath) {
            for (auto after = file + 1; after != m_files.end(); ++after)
                close(*after);
            m_files.erase(file + 1, m_files.end());
            return;
        }
    }
    appeared();
}

LogFollower::File* LogFollower::find(quint64 serial)
{
    for (File& file : m_files) {
        if (file.serial == serial)
            return &file;
    }
    return nullptr;
}

// Opens the file at the path for the first file to read, which is there as
// far as the events tell. When a file came since, the one opened may be
// that one: it is taken only while it is still there after the events up to
// now. False while nothing can be opened there.
bool LogFollower::openAtPath(qint64 position)
{
    const quint64 serial = m_files.front().serial;
    struct stat status = {};
    const int fd = openRegular(m_path, &status);
    if (fd < 0)
        return false;
    readEvents();
    File* file = find(serial);
    struct stat there = {};
    if (file && file->atPath && ::lstat(QFile::encodeName(m_path).constData(), &there) == 0 &&
        there.st_dev == status.st_dev && there.st_ino == status.st_ino) {
        file->fd = fd;
        file->device = status.st_dev;
        file->inode = status.st_ino;
        file->position =
            position >= 0 ? position : lastLinesStart(fd, qint64(status.st_size), m_lastLines);
        return true;
    }
    ::close(fd);
    // Moved away meanwhile: read under its new name.
    return file && !file->atPath;
}

// A file that left the path before it was opened: under the name it was
// moved to or, compressed since, in that name's .gz, which takes its place
// before the piece goes.
bool LogFollower::openMoved(File& file)
{
    if (file.name.isEmpty())
        return false;
    struct stat status = {};
    file.fd = openRegular(file.name, &status);
    if (file.fd >= 0)
        return true;
    const int fd = openRegular(file.name + QStringLiteral(".gz"), &status);
    if (fd >= 0 && !(file.gzip = ::gzdopen(fd, "rb")))
        ::close(fd);
    return file.gzip != nullptr;
}

QByteArray LogFollower::readFrom(File& file)
{
    QByteArray bytes;
    qint64 count = 0;
    if (file.gzip) {
        bytes.resize(int(ReadLimit));
        count = ::gzread(static_cast<gzFile>(file.gzip), bytes.data(), unsigned(ReadLimit));
    } else {
        struct stat status = {};
        if (::fstat(file.fd, &status) != 0)
            return QByteArray();
        // A log cut short (emptied in place) is read from its start.
        if (status.st_size < file.position)
            file.position = 0;
        bytes.resize(int(std::min(ReadLimit, qint64(status.st_size) - file.position)));
        count = bytes.isEmpty()
                    ? 0
                    : ::pread(file.fd, bytes.data(), size_t(bytes.size()), file.position);
    }
    if (count <= 0)
        return QByteArray();
    file.position += count;
    bytes.truncate(int(count));
    return bytes;
}

void LogFollower::close(File& file)
{
    if (file.gzip)
        ::gzclose(static_cast<gzFile>(file.gzip));
    else if (file.fd >= 0)
        ::close(file.fd);
    file.gzip = nullptr;
    file.fd = -1;
}

QByteArray LogFollower::read()
{
    if (m_files.empty() && !follow(m_path, 0))
        return QByteArray();
    readEvents();
    while (!m_files.empty()) {
        File& file = m_files.front();
        bool atEnd = false;
        if (file.fd < 0 && !file.gzip) {
            if (file.atPath && openAtPath(0))
                continue;
            // Not there (yet): as at the end of the file.
            atEnd = file.atPath;
            if (!atEnd && !openMoved(file)) {
                ++m_lost;
                m_files.pop_front();
                continue;
            }
        }
        // What went is told before the lines after it.
        if (m_lost > 0)
            return QByteArray();
        if (!atEnd) {
            const QByteArray bytes = readFrom(file);
            if (!bytes.isEmpty())
                return bytes;
        }
        // At its end. A file that left the path is complete once another has
        // taken its place: its writer moves on to a new file only then.
        if (!file.atPath && m_files.size() > 1) {
            close(file);
            m_files.pop_front();
            continue;
        }
        // The last one, read to its end after its writer moved on to another
        // path (or the one that left the path with nothing in its place).
        if (m_nextPath.isEmpty() || !follow(QString(m_nextPath), 0))
            break;
    }
    lookForNextPath();
    return QByteArray();
}

// The next day's file, or another that the locator names, once the last
// file has been read to its end: followed after one more read of that.
void LogFollower::lookForNextPath()
{
    const qint64 now = MonotonicClock::nowMs();
    if (m_files.size() != 1 || now - m_lastLookMs < LookIntervalMs)
        return;
    m_lastLookMs = now;
    const QString path = m_locator();
    struct stat status = {};
    if (!path.isEmpty() && path != m_path &&
        ::stat(QFile::encodeName(path).constData(), &status) == 0 &&
        (status.st_dev != m_files.front().device || status.st_ino != m_files.front().inode))
        m_nextPath = path;
}

int LogFollower::takeLost()
{
    return std::exchange(m_lost, 0);
}

void LogFollower::wait(int ms)
{
    pollfd events = {m_inotify, POLLIN, 0};
    ::poll(&events, m_watch >= 0 ? 1 : 0, ms);
}
