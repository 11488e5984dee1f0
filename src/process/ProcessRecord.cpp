#include "process/ProcessRecord.h"

#include "support/LauncherSupport.h"
#include "support/ProcFs.h"
#include "support/Trace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using Solvane::Trace;

namespace {

const char* const Suffix = ".processes";
// A record names the processes of one pipeline: a few lines. Far more is no
// record of a launcher's.
const qint64 MaxRecordBytes = 1024 * 1024;

struct Entry
{
    qint64 pid;
    quint64 startTime;
};

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// "launcher PID START" first, then "process PID START" lines.
bool parseRecord(const QByteArray& text, Entry& launcher, QList<Entry>& processes)
{
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() != 3)
            continue;
        bool pidOk = false;
        bool startOk = false;
        const Entry entry{fields[1].toLongLong(&pidOk), fields[2].toULongLong(&startOk)};
        if (!pidOk || !startOk || entry.pid <= 0)
            return false;
        if (i == 0 && fields[0] == "launcher")
            launcher = entry;
        else if (i > 0 && fields[0] == "process")
            processes.append(entry);
        else
            return false;
    }
    return launcher.pid > 0;
}

// The text of a record when it is a regular file of this user's own, of a
// record's size, reached without a link; else why it is not read. Nothing
// else is even opened: a FIFO would block, a device could act on it.
QString readRecord(const QString& path, QByteArray& text, bool& gone)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat before = {};
    if (::lstat(name.constData(), &before) != 0) {
        gone = errno == ENOENT; // another launcher has just cleaned up
        return QStringLiteral("cannot be examined: %1").arg(errorText(errno));
    }
    if (S_ISLNK(before.st_mode))
        return QStringLiteral("is a link");
    if (!S_ISREG(before.st_mode))
        return QStringLiteral("is not a regular file");
    if (before.st_uid != ::geteuid())
        return QStringLiteral("belongs to user %1").arg(before.st_uid);
    if (before.st_nlink != 1)
        return QStringLiteral("has other names (hard links)");
    if (before.st_size > MaxRecordBytes)
        return QStringLiteral("is larger than %1 bytes").arg(MaxRecordBytes);

    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("cannot be opened: %1").arg(errorText(errno));
    struct stat opened = {};
    QString refusal;
    if (::fstat(fd, &opened) != 0 || opened.st_dev != before.st_dev ||
        opened.st_ino != before.st_ino) {
        refusal = QStringLiteral("was replaced while it was read");
    } else {
        text.resize(int(MaxRecordBytes));
        qint64 size = 0;
        ssize_t count = 0;
        while (size < MaxRecordBytes &&
               ((count = ::read(fd, text.data() + size, size_t(MaxRecordBytes - size))) > 0 ||
                (count < 0 && errno == EINTR)))
            size += std::max<ssize_t>(count, 0);
        text.truncate(int(size));
        if (count < 0)
            refusal = QStringLiteral("cannot be read: %1").arg(errorText(errno));
    }
    ::close(fd);
    return refusal;
}

bool isRunning(const Entry& entry)
{
    ProcFs::ProcessStat stat;
    return ProcFs::readStat(entry.pid, stat) && stat.startTime == entry.startTime &&
           stat.state != 'Z';
}

// What the clean-up never signals, whatever a record says: pid 1 and below
// (kill() reads 0 and -1 as groups, and the init holds the machine), this
// launcher, the leaders of its process group and session, its ancestors, and
// the groups that any of them belongs to.
class Untouchable
{
public:
    Untouchable()
    {
        const qint64 self = ::getpid();
        const qint64 group = ::getpgrp();
        const qint64 session = ::getsid(0);
        m_reasons.insert(self, "it is this launcher");
        m_groups = {group, session};
        // Up the parents, to the init (1) or the first one outside this pid
        // namespace (0); a bound, should /proc show a loop while it changes.
        qint64 pid = self;
        ProcFs::ProcessStat stat;
        for (int depth = 0; pid > 1 && depth < 4096 && ProcFs::readStat(pid, stat); ++depth) {
            if (pid != self)
                m_reasons.insert(pid, "it is an ancestor of this launcher");
            m_groups.insert(stat.groupId);
            pid = stat.parentPid;
        }
        if (!m_reasons.contains(session))
            m_reasons.insert(session, "it leads this launcher's session");
        if (!m_reasons.contains(group))
            m_reasons.insert(group, "it leads this launcher's process group");
    }

    // Why the process must not be signalled; null when it may be.
    const char* refusal(qint64 pid) const
    {
        if (pid <= 1)
            return "pid 1 and below are never signalled";
        return m_reasons.value(pid, nullptr);
    }
    // A group is signalled only when none of the above is in it.
    bool mayGroup(qint64 group) const { return !refusal(group) && !m_groups.contains(group); }

private:
    QHash<qint64, const char*> m_reasons;
    QSet<qint64> m_groups;
};

// A descriptor of the process, -1 where the kernel has none (before 5.3).
int openPidFd(qint64 pid)
{
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    return int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
#else
    Q_UNUSED(pid)
    return -1;
#endif
}

void sendThroughPidFd(int pidFd, int signal)
{
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    ::syscall(SYS_pidfd_send_signal, pidFd, signal, nullptr, 0);
#else
    Q_UNUSED(pidFd)
    Q_UNUSED(signal)
#endif
}

// The recorded process, and the group it still leads, when it is still the
// one recorded and this user's. Through a pidfd, the check and the signal
// reach the same process, though its pid be reused in between.
void signalEntry(const Entry& entry, int signal, const Untouchable& untouchable)
{
    if (untouchable.refusal(entry.pid))
        return;
    const int pidFd = openPidFd(entry.pid);
    ProcFs::ProcessStat stat;
    if (ProcFs::readStat(entry.pid, stat) && stat.startTime == entry.startTime &&
        ProcFs::owner(entry.pid) == qint64(::geteuid())) {
        if (stat.groupId == entry.pid && untouchable.mayGroup(entry.pid))
            ::kill(-pid_t(entry.pid), signal);
        if (pidFd >= 0)
            sendThroughPidFd(pidFd, signal);
        else
            ::kill(pid_t(entry.pid), signal);
    }
    if (pidFd >= 0)
        ::close(pidFd);
}

} // namespace

ProcessRecord::ProcessRecord() = default;

QString ProcessRecord::filePath() const
{
    return QStringLiteral("%1/%2%3").arg(m_folder, QString::number(LauncherSupport::launcherPid()),
                                         QLatin1String(Suffix));
}

QString ProcessRecord::replace(const QByteArray& text, bool& folderGone) const
{
    const QByteArray path = QFile::encodeName(filePath());
    struct stat existing = {};
    if (::lstat(path.constData(), &existing) == 0 && existing.st_uid != ::geteuid())
        return QStringLiteral("the file there belongs to user %1").arg(existing.st_uid);

    // A name of its own, made without following a link, then renamed into
    // place: a reader never sees half a record, and what stood at the path
    // (a link included) is replaced, never written through. Not synced: the
    // record serves a launcher that died, not a machine that did, whose
    // processes are gone with it. Only this user may read what the launcher
    // runs.
    QByteArray temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        folderGone = errno == ENOENT;
        return errorText(errno);
    }
    bool written = ::fchmod(fd, 0600) == 0 &&
                   ::write(fd, text.constData(), size_t(text.size())) == text.size();
    QString error = errorText(errno);
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.constData(), path.constData()) == 0)
        return QString();
    error = errorText(errno);
    ::unlink(temporary.constData());
    return error;
}

bool ProcessRecord::write(const QMap<qint64, quint64>& processes)
{
    const qint64 self = LauncherSupport::launcherPid();
    static const quint64 selfStart = ProcFs::startTime(self); // never changes
    QByteArray text = QByteArrayLiteral("launcher ") + QByteArray::number(self) + ' ' +
                      QByteArray::number(selfStart) + '\n';
    for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
        text += QByteArrayLiteral("process ") + QByteArray::number(it.key()) + ' ' +
                QByteArray::number(it.value()) + '\n';
    }

    // Without a folder the run goes on unrecorded; the folder has said why.
    // It is looked up again when it has gone: another launcher removes it
    // when empty.
    QString error;
    bool written = false;
    for (int attempt = 0; attempt < 2 && !written; ++attempt) {
        if (!m_folderLooked || attempt > 0) {
            m_folderLooked = true;
            m_folder = m_runtimeFolder.find(RuntimeFolder::Make).path;
        }
        if (m_folder.isEmpty())
            return false;
        bool folderGone = false;
        error = replace(text, folderGone);
        written = error.isEmpty();
        if (!folderGone)
            break;
    }
    m_written = m_written || written;
    if (!written && !m_warned) {
        m_warned = true;
        Trace::warning("Unable to record the pipeline's processes in '%s': %s",
                       qUtf8Printable(filePath()), qUtf8Printable(error));
    }
    return written;
}

void ProcessRecord::remove()
{
    m_warned = false;
    m_folderLooked = false;
    if (!std::exchange(m_written, false))
        return;
    const QByteArray path = QFile::encodeName(filePath());
    struct stat existing = {};
    if (::lstat(path.constData(), &existing) == 0 && existing.st_uid == ::geteuid())
        ::unlink(path.constData());
    // Left empty, the folder goes, too; one that holds other records stays.
    QDir().rmdir(m_folder);
}

int ProcessRecord::cleanUpAfterEndedLaunchers(int graceMs) const
{
    const QString folder = m_runtimeFolder.find(RuntimeFolder::Look).path;
    if (folder.isEmpty())
        return 0;
    const qint64 self = LauncherSupport::launcherPid();
    const quint64 selfStart = ProcFs::startTime(self);
    const qint64 uid = qint64(::geteuid());
    const Untouchable untouchable;
    int stopped = 0;

    // Links, FIFOs and the like too, so that they are named.
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*") + QLatin1String(Suffix)},
                               QDir::AllEntries | QDir::System | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        const QString path = folder + QLatin1Char('/') + name;
        QByteArray text;
        bool gone = false;
        const QString refusal = readRecord(path, text, gone);
        if (gone)
            continue;
        if (!refusal.isEmpty()) {
            Trace::warning("Ignoring the process record '%s': it %s", qUtf8Printable(path),
                           qUtf8Printable(refusal));
            continue;
        }
        Entry launcher{0, 0};
        QList<Entry> processes;
        if (!parseRecord(text, launcher, processes)) {
            Trace::warning("Removing the unreadable process record '%s'", qUtf8Printable(path));
            QFile::remove(path);
            continue;
        }
        // A launcher that still runs keeps its record (this one's included).
        if ((launcher.pid == self && launcher.startTime == selfStart) || isRunning(launcher))
            continue;

        QList<Entry> targets;
        for (const Entry& entry : qAsConst(processes)) {
            if (!isRunning(entry) || ProcFs::owner(entry.pid) != uid)
                continue;
            if (const char* reason = untouchable.refusal(entry.pid)) {
                Trace::warning("Leaving process %lld '%s' that the record '%s' names alone: %s",
                               entry.pid, qUtf8Printable(ProcFs::commandLine(entry.pid)),
                               qUtf8Printable(path), reason);
                continue;
            }
            targets.append(entry);
        }
        if (!targets.isEmpty()) {
            Trace::info("Stopping %d processes that launcher %lld left running when it ended "
                        "(record '%s')",
                        int(targets.size()), launcher.pid, qUtf8Printable(path));
        }
        for (const Entry& entry : qAsConst(targets)) {
            Trace::info("Stopping process %lld '%s'", entry.pid,
                        qUtf8Printable(ProcFs::commandLine(entry.pid)));
            signalEntry(entry, SIGTERM, untouchable);
        }
        QElapsedTimer elapsed;
        elapsed.start();
        const auto anyRunning = [&targets] {
            return std::any_of(targets.cbegin(), targets.cend(), isRunning);
        };
        while (anyRunning() && !elapsed.hasExpired(graceMs))
            QThread::msleep(20);
        for (const Entry& entry : qAsConst(targets)) {
            if (isRunning(entry)) {
                Trace::info("Killing process %lld, which did not end when asked to", entry.pid);
                signalEntry(entry, SIGKILL, untouchable);
            }
        }
        stopped += targets.size();
        QFile::remove(path);
    }
    QDir().rmdir(folder);
    return stopped;
}
