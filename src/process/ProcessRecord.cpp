#include "process/ProcessRecord.h"

#include "support/LauncherSupport.h"
#include "support/ProcFs.h"
#include "support/SafeFolder.h"
#include "support/Trace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using LauncherSupport::errorText;
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

// The text of a record when it is a regular file of this user's own with one
// name, of a record's size; else why it is not read. Nothing else is even
// opened for reading: a FIFO would block, a device could act on it.
QString readRecord(const SafeFolder& folder, const QString& name, QByteArray& text, bool& gone)
{
    QString problem;
    const int fd = folder.openToRead(name, problem);
    if (fd < 0) {
        gone = problem.isEmpty(); // another launcher has just cleaned up
        return problem;
    }
    // A record tells which processes to stop: only this user's own count.
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0) {
        problem = QStringLiteral("'%1' cannot be examined: %2")
                      .arg(folder.pathOf(name), errorText(errno));
    } else if (opened.st_uid != ::geteuid()) {
        problem =
            QStringLiteral("'%1' belongs to user %2").arg(folder.pathOf(name)).arg(opened.st_uid);
    } else if (opened.st_size > MaxRecordBytes) {
        problem = QStringLiteral("'%1' is larger than %2 bytes")
                      .arg(folder.pathOf(name))
                      .arg(MaxRecordBytes);
    } else {
        text.resize(int(MaxRecordBytes));
        qint64 size = 0;
        ssize_t count = 0;
        while (size < MaxRecordBytes &&
               ((count = ::read(fd, text.data() + size, size_t(MaxRecordBytes - size))) > 0 ||
                (count < 0 && errno == EINTR)))
            size += std::max<ssize_t>(count, 0);
        const int error = errno;
        text.truncate(int(size));
        if (count < 0)
            problem = QStringLiteral("'%1' cannot be read: %2")
                          .arg(folder.pathOf(name), errorText(error));
    }
    ::close(fd);
    return problem;
}

// A folder of records goes when it is left empty; one that holds other records stays.
void removeIfEmpty(const QString& folder)
{
    const QFileInfo info(folder);
    QString ignored;
    SafeFolder::open(info.absolutePath()).removeFolder(info.fileName(), ignored);
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

QString ProcessRecord::fileName()
{
    return QString::number(LauncherSupport::launcherPid()) + QLatin1String(Suffix);
}

QString ProcessRecord::filePath() const
{
    return m_folder.pathOf(fileName());
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
    // when empty. A reader never sees half a record, and what stood at the
    // path is never written through. Not synced: the record serves a
    // launcher that died, not a machine that did, whose processes are gone
    // with it. Only this user may read what the launcher runs.
    QString error;
    bool written = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 || !m_folder.stillHolds()) {
            const QString path = m_runtimeFolder.find(RuntimeFolder::Make).path;
            if (path.isEmpty())
                return false;
            m_folder = SafeFolder::open(path);
            error = m_folder.problem();
        }
        if (m_folder.isOpen() && m_folder.replace(fileName(), text, 0600, error)) {
            written = true;
            break;
        }
        if (m_folder.stillHolds())
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
    // Looked up anew at the next write.
    const SafeFolder folder = std::exchange(m_folder, SafeFolder());
    if (!std::exchange(m_written, false))
        return;
    // A folder that could not be opened again holds no record of this one's.
    QString problem;
    if (folder.isOpen() && !folder.remove(fileName(), problem))
        Trace::warning("The record of the pipeline's processes is left: %s",
                       qUtf8Printable(problem));
    removeIfEmpty(folder.path());
}

int ProcessRecord::cleanUpAfterEndedLaunchers(int graceMs) const
{
    const QString path = m_runtimeFolder.find(RuntimeFolder::Look).path;
    const SafeFolder folder = path.isEmpty() ? SafeFolder() : SafeFolder::open(path);
    if (!folder.isOpen())
        return 0;
    const qint64 self = LauncherSupport::launcherPid();
    const quint64 selfStart = ProcFs::startTime(self);
    const qint64 uid = qint64(::geteuid());
    const Untouchable untouchable;
    int stopped = 0;

    // Links, FIFOs and the like too, so that they are named.
    const QStringList names =
        QDir(path).entryList({QStringLiteral("*") + QLatin1String(Suffix)},
                             QDir::AllEntries | QDir::System | QDir::Hidden, QDir::Name);
    QString problem;
    for (const QString& name : names) {
        const QString record = folder.pathOf(name);
        QByteArray text;
        bool gone = false;
        const QString refusal = readRecord(folder, name, text, gone);
        if (gone)
            continue;
        if (!refusal.isEmpty()) {
            Trace::warning("Ignoring a process record: %s", qUtf8Printable(refusal));
            continue;
        }
        Entry launcher{0, 0};
        QList<Entry> processes;
        if (!parseRecord(text, launcher, processes)) {
            Trace::warning("Removing the unreadable process record '%s'", qUtf8Printable(record));
            folder.remove(name, problem);
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
                               qUtf8Printable(record), reason);
                continue;
            }
            targets.append(entry);
        }
        if (!targets.isEmpty()) {
            Trace::info("Stopping %d processes that launcher %lld left running when it ended "
                        "(record '%s')",
                        int(targets.size()), launcher.pid, qUtf8Printable(record));
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
        folder.remove(name, problem);
    }
    removeIfEmpty(path);
    return stopped;
}
