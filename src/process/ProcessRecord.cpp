#include "process/ProcessRecord.h"

#include "support/LauncherSupport.h"
#include "support/PlatformUtils.h"
#include "support/ProcFs.h"
#include "support/Trace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

using Solvane::Trace;

namespace {

const char* const Suffix = ".processes";

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

bool isRunning(const Entry& entry)
{
    ProcFs::ProcessStat stat;
    return ProcFs::readStat(entry.pid, stat) && stat.startTime == entry.startTime &&
           stat.state != 'Z';
}

// The process, and the group it leads.
void signalEntry(const Entry& entry, int signal)
{
    ProcFs::ProcessStat stat;
    if (!ProcFs::readStat(entry.pid, stat) || stat.startTime != entry.startTime)
        return;
    if (stat.groupId == entry.pid)
        ::kill(-pid_t(entry.pid), signal);
    ::kill(pid_t(entry.pid), signal);
}

} // namespace

ProcessRecord::ProcessRecord()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    m_folder = runtime.isEmpty()
                   ? QStringLiteral("%1/run").arg(
                         Solvane::PlatformUtils::getModuleUserDataPath("Orvalen/launcher", false))
                   : QStringLiteral("%1/Orvalen/launcher").arg(runtime);
}

QString ProcessRecord::filePath() const
{
    return QStringLiteral("%1/%2%3").arg(m_folder, QString::number(LauncherSupport::launcherPid()),
                                         QLatin1String(Suffix));
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

    // Replaced by a rename, so that a reader never sees half a record. Not
    // synced: the record serves a launcher that died, not a machine that did,
    // whose processes are gone with it. Only this user may read what the
    // launcher runs; the folder is made (again: another launcher may remove it
    // when empty) only when the file cannot be written.
    const QByteArray path = QFile::encodeName(filePath());
    const QByteArray temporary = path + ".new";
    QString error;
    bool written = false;
    for (int attempt = 0; attempt < 2 && !written; ++attempt) {
        if (attempt > 0 && (!QDir().mkpath(m_folder) ||
                            !QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner |
                                                                 QFile::ExeOwner)))
            break;
        const int fd =
            ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
        error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            written = ::close(fd) == 0 && written;
        written = written && ::rename(temporary.constData(), path.constData()) == 0;
        if (!written && fd >= 0)
            ::unlink(temporary.constData());
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
    if (!std::exchange(m_written, false))
        return;
    QFile::remove(filePath());
    // Left empty, the folder goes, too; one that holds other records stays.
    QDir().rmdir(m_folder);
}

int ProcessRecord::cleanUpAfterEndedLaunchers(int graceMs) const
{
    const qint64 self = LauncherSupport::launcherPid();
    const quint64 selfStart = ProcFs::startTime(self);
    const qint64 uid = qint64(::getuid());
    int stopped = 0;

    const QFileInfoList files = QDir(m_folder).entryInfoList(
        {QStringLiteral("*") + QLatin1String(Suffix)}, QDir::Files, QDir::Name);
    for (const QFileInfo& file : files) {
        const QString path = file.absoluteFilePath();
        QFile recordFile(path);
        Entry launcher{0, 0};
        QList<Entry> processes;
        if (!recordFile.open(QIODevice::ReadOnly) ||
            !parseRecord(recordFile.readAll(), launcher, processes)) {
            Trace::warning("Removing the unreadable process record '%s'", qUtf8Printable(path));
            QFile::remove(path);
            continue;
        }
        // A launcher that still runs keeps its record (this one's included).
        if ((launcher.pid == self && launcher.startTime == selfStart) || isRunning(launcher))
            continue;

        QList<Entry> targets;
        for (const Entry& entry : qAsConst(processes)) {
            if (isRunning(entry) && ProcFs::owner(entry.pid) == uid)
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
            signalEntry(entry, SIGTERM);
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
                signalEntry(entry, SIGKILL);
            }
        }
        stopped += targets.size();
        QFile::remove(path);
    }
    QDir().rmdir(m_folder);
    return stopped;
}
