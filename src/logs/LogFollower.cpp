#include "logs/LogFollower.h"

#include "support/MonotonicClock.h"

#include <algorithm>
#include <utility>

#include <sys/stat.h>

namespace {

// How long the file being read must have been quiet before the follower moves
// on: twice the time a launcher takes to notice that its log was moved.
const qint64 QuietMs = 2000;
// How often the locator is asked while nothing is written.
const qint64 LookIntervalMs = 1000;
const qint64 ReadLimit = 1 << 20;

// Where the last lines of the file begin: read back from its end.
qint64 lastLinesStart(QFile& file, int lines)
{
    const qint64 size = file.size();
    if (lines < 0)
        return 0;
    if (lines == 0)
        return size;
    int found = 0;
    for (qint64 end = size; end > 0;) {
        const qint64 begin = std::max<qint64>(0, end - 65536);
        file.seek(begin);
        const QByteArray block = file.read(end - begin);
        for (qint64 i = block.size() - 1; i >= 0; --i) {
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

bool LogFollower::open()
{
    if (m_file)
        return true;
    const QString path = m_locator();
    if (!path.isEmpty())
        m_path = path;
    return !m_path.isEmpty() && openFile(m_path, -1);
}

// A negative position: where the last lines begin.
bool LogFollower::openFile(const QString& path, qint64 position)
{
    auto file = std::make_unique<QFile>(path);
    struct stat status = {};
    if (!file->open(QIODevice::ReadOnly) || ::fstat(file->handle(), &status) != 0)
        return false;
    m_file = std::move(file);
    m_path = path;
    m_device = status.st_dev;
    m_inode = status.st_ino;
    m_position = position >= 0 ? position : lastLinesStart(*m_file, m_lastLines);
    m_lastGrowthMs = MonotonicClock::nowMs();
    m_successor.clear();
    return true;
}

QByteArray LogFollower::read()
{
    if (!m_file)
        return QByteArray();
    // A log cut short (emptied in place) is read from its start.
    if (m_file->size() < m_position)
        m_position = 0;
    m_file->seek(m_position);
    const QByteArray bytes = m_file->read(ReadLimit);
    const qint64 now = MonotonicClock::nowMs();
    if (!bytes.isEmpty()) {
        m_position += bytes.size();
        m_lastGrowthMs = now;
        return bytes;
    }
    if (now - m_lastLookMs >= LookIntervalMs) {
        m_lastLookMs = now;
        lookForSuccessor();
    }
    if (!m_successor.isEmpty() && now - m_lastGrowthMs >= QuietMs)
        openFile(m_successor, 0);
    return QByteArray();
}

// Another path (the next day), or another file at the path (the one read was
// moved away or removed), once it exists.
void LogFollower::lookForSuccessor()
{
    QString path = m_locator();
    if (path.isEmpty())
        path = m_path;
    struct stat status = {};
    const bool exists = ::stat(QFile::encodeName(path).constData(), &status) == 0;
    const bool same = exists && status.st_dev == m_device && status.st_ino == m_inode;
    m_successor = exists && !same ? path : QString();
}
