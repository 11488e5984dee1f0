#include "support/ProcFs.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ProcFs {

namespace {

// Read with plain calls: a process start reads one of these, and QFile's
// checks and buffering would cost more than the read itself. Files of /proc
// report a size of 0: read until the end.
QByteArray readProcFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    QByteArray text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
        if (count > 0)
            text.append(buffer, int(count));
    }
    ::close(fd);
    return text;
}

} // namespace

bool readStat(qint64 pid, ProcessStat& stat)
{
    const QByteArray text = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name in parentheses may hold blanks and parentheses itself:
    // the fields that follow start after the last ')'.
    const int nameEnd = text.lastIndexOf(')');
    if (nameEnd < 0)
        return false;
    const QList<QByteArray> fields = text.mid(nameEnd + 2).split(' ');
    // fields[0] is field 3 of the file (state); the start time is field 22.
    if (fields.size() < 20 || fields[0].isEmpty())
        return false;
    bool ok = false;
    stat.state = fields[0].at(0);
    stat.parentPid = fields[1].toLongLong();
    stat.groupId = fields[2].toLongLong();
    stat.startTime = fields[19].toULongLong(&ok);
    return ok;
}

quint64 startTime(qint64 pid)
{
    ProcessStat stat;
    return readStat(pid, stat) ? stat.startTime : 0;
}

qint64 owner(qint64 pid)
{
    struct stat info = {};
    if (::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &info) != 0)
        return -1;
    return qint64(info.st_uid);
}

QList<qint64> children(qint64 pid)
{
    QList<qint64> result;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& thread : threads) {
        const QList<QByteArray> pids =
            readProcFile(QStringLiteral("%1/%2/children").arg(tasks, thread)).split(' ');
        for (const QByteArray& child : pids) {
            if (const qint64 childPid = child.trimmed().toLongLong(); childPid > 0)
                result.append(childPid);
        }
    }
    return result;
}

QString commandLine(qint64 pid)
{
    QByteArray text = readProcFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (text.endsWith('\0'))
        text.chop(1);
    return QString::fromLocal8Bit(text.replace('\0', ' '));
}

QByteArray environmentValue(qint64 pid, const QByteArray& name)
{
    const QByteArray text = readProcFile(QStringLiteral("/proc/%1/environ").arg(pid));
    const QByteArray prefix = name + '=';
    for (int begin = 0; begin < text.size();) {
        int end = text.indexOf('\0', begin);
        if (end < 0)
            end = text.size();
        if (end - begin >= prefix.size() &&
            std::memcmp(text.constData() + begin, prefix.constData(), size_t(prefix.size())) == 0)
            return text.mid(begin + prefix.size(), end - begin - prefix.size());
        begin = end + 1;
    }
    return QByteArray();
}

Memory memory(qint64 pid)
{
    const QByteArray text = readProcFile(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    // The value of one field ("\nPss:      1234 kB") in bytes, -1 when it is missing.
    const auto field = [&text](const char* name) -> qint64 {
        const QByteArray key = QByteArray("\n") + name + ':';
        const int start = text.indexOf(key);
        if (start < 0)
            return -1;
        const int valueStart = start + key.size();
        const int end = text.indexOf('\n', valueStart);
        bool ok = false;
        const qint64 kib = text.mid(valueStart, end < 0 ? -1 : end - valueStart)
                               .replace("kB", "")
                               .trimmed()
                               .toLongLong(&ok);
        return ok ? kib * 1024 : -1;
    };
    Memory memory;
    memory.proportional = field("Pss");
    if (memory.proportional < 0)
        return memory;
    const qint64 swap = std::max(field("SwapPss"), qint64(0));
    const qint64 anonymous = field("Pss_Anon");
    if (anonymous >= 0)
        memory.unreclaimable = anonymous + std::max(field("Pss_Shmem"), qint64(0)) + swap;
    else
        memory.unreclaimable = std::max(field("Anonymous"), qint64(0)) + swap;
    return memory;
}

quint64 ownSignalsNotAtDefault()
{
    const QByteArray text = readProcFile(QStringLiteral("/proc/self/status"));
    quint64 notAtDefault = 0;
    for (const char* field : {"\nSigIgn:", "\nSigCgt:"}) {
        const int start = text.indexOf(field);
        const int end = text.indexOf('\n', start + 1);
        bool ok = false;
        if (start >= 0 && end > start) {
            const int valueStart = start + int(qstrlen(field));
            notAtDefault |= text.mid(valueStart, end - valueStart).trimmed().toULongLong(&ok, 16);
        }
        if (!ok)
            return ~quint64(0);
    }
    return notAtDefault;
}

int ownHighestDescriptor()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory)
        return -1;
    int highest = -1;
    while (const dirent* entry = ::readdir(directory))
        highest = std::max(highest, std::atoi(entry->d_name));
    ::closedir(directory);
    return highest;
}

} // namespace ProcFs
