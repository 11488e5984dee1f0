#include "ConsoleOutput.h"

#include "ServiceJournal.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

const char* const Reset = "\033[0m";
const char* const Cyan = "\033[36m";
const char* const Red = "\033[1;31m";
// By Tone, and by QtMsgType (debug, warning, critical, fatal, info).
const char* const ToneColours[] = {"", "\033[32m", "\033[33m", Red};
const char* const LevelColours[] = {"\033[2m", "\033[33m", Red, Red, Cyan};
const char* const LevelLabels[] = {"debug:", "warning:", "error:", "fatal:", "info:"};

bool colourWanted(int fd)
{
    return ::isatty(fd) && qEnvironmentVariableIsEmpty("NO_COLOR") &&
           qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

const bool s_stdoutTerminal = ::isatty(STDOUT_FILENO);
const bool s_colourOut = colourWanted(STDOUT_FILENO);
const bool s_colourErr = colourWanted(STDERR_FILENO);
bool s_statusShown = false;

QByteArray coloured(bool colour, const char* code, const QString& text)
{
    return colour && *code ? code + text.toUtf8() + Reset : text.toUtf8();
}

// Writes all of the text unless the stream fails for good (a reader that has
// gone, a terminal that was closed). Blocks as long as the reader does.
bool writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written >= 0) {
            data += written;
            size -= written;
        } else if (errno == EAGAIN) {
            // A descriptor that another program made non-blocking.
            pollfd writable = {fd, POLLOUT, 0};
            ::poll(&writable, 1, -1);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// `kept` of the `count` lines are in the pipeline's log file.
QByteArray droppedNote(qint64 count, qint64 kept)
{
    QByteArray note = coloured(s_colourErr, Red, QStringLiteral("launcher: ")) +
                      QByteArray::number(count) +
                      (count == 1 ? " console line dropped" : " console lines dropped");
    if (kept == count)
        note += count == 1 ? " (the log file has it)" : " (the log file has them)";
    else if (kept == 0)
        note += count == 1 ? " and lost: no log file has it" : " and lost: no log file has them";
    else
        note += " (the log file has " + QByteArray::number(kept) + " of them; the rest are lost)";
    return note + '\n';
}

std::atomic<bool> s_waitForReader{false};

// The console's output waits here for a thread of its own, so that a slow or
// stalled reader never holds up the event loop that handles signals and
// supervises the pipeline. When the reader falls too far behind, lines are
// dropped and counted; the note comes once the queue has drained. A stream
// whose reader has gone is not written again. One queue keeps the order of
// standard output and standard error as a terminal shows them.
class ConsoleWriter
{
public:
    ConsoleWriter()
    {
        std::thread([this] { run(); }).detach();
    }

    // `kept`: the line is in the pipeline's log file too.
    void write(int fd, QByteArray text, bool kept = false)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        // A report waits for its reader, however slow; a text larger than
        // the queue goes in whole once the queue is empty.
        if (s_waitForReader)
            m_room.wait(lock, [&] {
                return m_gone[fd] || m_queue.empty() || m_queuedBytes + text.size() <= QueueLimit;
            });
        if (m_gone[fd])
            return;
        if (!s_waitForReader && m_queuedBytes + text.size() > QueueLimit) {
            ++m_dropped;
            m_droppedKept += kept ? 1 : 0;
            return;
        }
        m_queuedBytes += text.size();
        m_queue.push_back({fd, std::move(text), kept});
        if (m_sleeping)
            m_wake.notify_one();
    }

    // Waits a bounded time for what is queued (a report as long as its
    // reader takes); a reader still stalled then keeps the rest, which is
    // counted in the last note.
    void flush(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (s_waitForReader) {
            m_idle.wait(lock, [this] { return idle(); });
            return;
        }
        if (m_idle.wait_for(lock, timeout, [this] { return idle(); }))
            return;
        // Lines of the batch that a stalled reader holds up count as lost
        // too, but for the one it has begun.
        const auto [unbegunCount, unbegunKept] = unbegun();
        const qint64 lost = m_dropped + qint64(m_queue.size()) + unbegunCount;
        const qint64 kept =
            m_droppedKept + unbegunKept +
            std::count_if(m_queue.cbegin(), m_queue.cend(), [](const Chunk& c) { return c.kept; });
        m_queue.clear();
        m_queuedBytes = 0;
        m_dropped = 0;
        m_droppedKept = 0;
        const int fd = noteFd();
        lock.unlock();
        // A short write to a stream that has room cannot block; one that has
        // none is the stalled one, and the note would never be read there.
        pollfd writable = {fd, POLLOUT, 0};
        if (fd >= 0 && ::poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT)) {
            const QByteArray note = droppedNote(lost, kept);
            writeAll(fd, note.constData(), note.size());
        }
    }

private:
    static constexpr qsizetype QueueLimit = 1 << 20;
    static constexpr qsizetype BatchLimit = 64 << 10;
    static constexpr size_t BatchLines = 1024; // IOV_MAX on Linux

    struct Chunk
    {
        int fd;
        QByteArray text;
        bool kept = false; // the log file has it
    };

    bool idle() const { return m_queue.empty() && !m_writing && m_dropped == 0; }

    // Standard error, unless its reader has gone.
    int noteFd() const
    {
        if (!m_gone[STDERR_FILENO])
            return STDERR_FILENO;
        return m_gone[STDOUT_FILENO] ? -1 : STDOUT_FILENO;
    }

    // What is queued for one descriptor goes out in one call, up to a
    // bound, so that a flood of lines costs a call per batch, not per line;
    // the order across descriptors stays the queue's. The lines are taken
    // from the queue under the lock and written, uncopied, without it.
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::vector<Chunk> batch;
        for (;;) {
            if (!m_queue.empty()) {
                const int fd = m_queue.front().fd;
                qsizetype size = 0;
                while (!m_queue.empty() && m_queue.front().fd == fd && batch.size() < BatchLines &&
                       (batch.empty() || size + m_queue.front().text.size() <= BatchLimit)) {
                    size += m_queue.front().text.size();
                    m_batchEnds.push_back({size, m_queue.front().kept});
                    batch.push_back(std::move(m_queue.front()));
                    m_queue.pop_front();
                }
                m_queuedBytes -= size;
                m_room.notify_all();
            } else if (m_dropped > 0 && noteFd() >= 0) {
                // The reader is back.
                batch.push_back({noteFd(), droppedNote(std::exchange(m_dropped, 0),
                                                       std::exchange(m_droppedKept, 0))});
            } else {
                m_dropped = 0;
                m_droppedKept = 0;
                m_idle.notify_all();
                m_sleeping = true;
                m_wake.wait(lock);
                m_sleeping = false;
                continue;
            }
            const int fd = batch.front().fd;
            m_writing = true;
            m_batchWritten = 0;
            lock.unlock();
            const bool written = writeBatch(fd, batch);
            batch.clear();
            lock.lock();
            m_writing = false;
            m_batchEnds.clear();
            if (!written && !m_gone[fd]) {
                m_gone[fd] = true;
                forgetQueued(fd);
                m_room.notify_all();
            }
        }
    }

    // As writeAll(), for the texts of a batch one after the other; counts
    // in m_batchWritten the bytes written so far.
    bool writeBatch(int fd, const std::vector<Chunk>& batch)
    {
        std::vector<iovec> pieces;
        pieces.reserve(batch.size());
        for (const Chunk& chunk : batch)
            pieces.push_back(
                {const_cast<char*>(chunk.text.constData()), size_t(chunk.text.size())});
        size_t first = 0;
        for (;;) {
            while (first < pieces.size() && pieces[first].iov_len == 0)
                ++first;
            if (first == pieces.size())
                return true;
            const ssize_t written = ::writev(fd, &pieces[first], int(pieces.size() - first));
            if (written >= 0) {
                m_batchWritten += written;
                for (size_t left = size_t(written); left > 0;) {
                    const size_t taken = std::min(left, pieces[first].iov_len);
                    pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + taken;
                    pieces[first].iov_len -= taken;
                    left -= taken;
                    if (pieces[first].iov_len == 0)
                        ++first;
                }
            } else if (errno == EAGAIN) {
                pollfd writable = {fd, POLLOUT, 0};
                ::poll(&writable, 1, -1);
            } else if (errno != EINTR) {
                return false;
            }
        }
    }

    // Of the batch being written, the lines not yet begun: (count, kept).
    std::pair<qint64, qint64> unbegun() const
    {
        qint64 count = 0, kept = 0;
        qsizetype begin = 0;
        const qsizetype written = m_batchWritten;
        for (const BatchEnd& end : m_batchEnds) {
            if (begin >= written && begin < end.offset) {
                ++count;
                kept += end.kept ? 1 : 0;
            }
            begin = end.offset;
        }
        return {count, kept};
    }

    void forgetQueued(int fd)
    {
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->fd != fd) {
                ++it;
                continue;
            }
            m_queuedBytes -= it->text.size();
            it = m_queue.erase(it);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::condition_variable m_room;
    std::deque<Chunk> m_queue;
    qsizetype m_queuedBytes = 0;
    qint64 m_dropped = 0;
    qint64 m_droppedKept = 0; // of m_dropped, the lines that the log file has
    bool m_writing = false;
    bool m_sleeping = false; // the thread waits for a line
    bool m_gone[3] = {};     // by descriptor
    // The batch being written: where each of its lines ends, whether the log
    // file has it, and how far the writer got (changed without the lock).
    struct BatchEnd
    {
        qsizetype offset;
        bool kept;
    };
    std::vector<BatchEnd> m_batchEnds;
    std::atomic<qsizetype> m_batchWritten{0};
};

// Never destroyed: at exit its thread may still be blocked in a write to a
// stalled reader, and must not find its queue gone.
ConsoleWriter& writer()
{
    static ConsoleWriter* const instance = new ConsoleWriter;
    return *instance;
}

void writeLine(int fd, QByteArray line, bool kept = false)
{
    // Other output ends the status line where it stands.
    ConsoleOutput::endStatus();
    line += '\n';
    writer().write(fd, std::move(line), kept);
}

void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const char* category = context.category ? context.category : "default";
    const bool plain = std::strcmp(category, "default") == 0;
    // The pipeline log's lines go to standard output, as they stand in the
    // file (if there is one); the rest to standard error. What the journal
    // gets of them is the service journal's rule.
    const bool logLine = type == QtInfoMsg && plain;
    const int fd = logLine ? STDOUT_FILENO : STDERR_FILENO;
    if (ServiceJournal::route(type, context, message, fd) != ServiceJournal::Route::Line)
        return;
    if (logLine) {
        writeLine(STDOUT_FILENO, message.toUtf8(), ServiceJournal::logKept());
        return;
    }
    QByteArray line =
        coloured(s_colourErr, LevelColours[type], QLatin1String(LevelLabels[type])) + ' ';
    // Trace lines are the backend's; other categories (Qt's own) are named.
    if (!plain && std::strcmp(category, "solvane.trace") != 0)
        line += QByteArray(category) + ": ";
    writeLine(STDERR_FILENO, ServiceJournal::prefix(STDERR_FILENO, type) + line + message.toUtf8());
    if (type == QtFatalMsg) // the program aborts next
        writer().flush(std::chrono::seconds(1));
}

} // namespace

namespace ConsoleOutput {

void install()
{
    qInstallMessageHandler(&onMessage);
    // Every way out (Qt's --help ends the program from within) gets what is queued.
    std::atexit([] { writer().flush(std::chrono::seconds(1)); });
}

void waitForReader()
{
    s_waitForReader = true;
}

bool personAtTerminal()
{
    static const bool person = ::isatty(STDIN_FILENO) && s_stdoutTerminal;
    return person;
}

void print(const QString& line, Tone tone)
{
    writeLine(STDOUT_FILENO, coloured(s_colourOut, ToneColours[int(tone)], line));
}

void write(const QByteArray& text)
{
    endStatus();
    writer().write(STDOUT_FILENO, text);
}

void error(const QString& line)
{
    writeLine(STDERR_FILENO, ServiceJournal::prefix(STDERR_FILENO, QtCriticalMsg) +
                                 coloured(s_colourErr, Red, QStringLiteral("launcher: ")) +
                                 line.toUtf8());
}

void setStatus(const QString& status)
{
    if (!s_stdoutTerminal) {
        writeLine(STDOUT_FILENO, status.toUtf8());
        return;
    }
    const QByteArray text = (s_statusShown ? "\r\033[K" : "") + coloured(s_colourOut, Cyan, status);
    writer().write(STDOUT_FILENO, text);
    s_statusShown = true;
}

void endStatus()
{
    if (!s_statusShown)
        return;
    writer().write(STDOUT_FILENO, "\n");
    s_statusShown = false;
}

} // namespace ConsoleOutput
