#include "ProcessProbe.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cstdlib>

#include <unistd.h>

Usage usageOf(qint64 pid)
{
    Usage usage;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            const QByteArray value = line.mid(line.indexOf(':') + 1).simplified().split(' ')[0];
            if (line.startsWith("VmRSS:"))
                usage.rssKiB = value.toLongLong();
            else if (line.startsWith("VmHWM:"))
                usage.peakKiB = value.toLongLong();
        }
    }
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    qint64 ns = 0;
    bool counted = false;
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
        if (schedstat.open(QIODevice::ReadOnly)) {
            ns += schedstat.readAll().split(' ')[0].toLongLong();
            counted = true;
        }
    }
    if (counted) {
        usage.cpuMs = double(ns) / 1e6;
        return usage;
    }
    // Fields 14 and 15 (utime, stime), counted after the command's ")".
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            usage.cpuMs = double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 /
                          double(sysconf(_SC_CLK_TCK));
    }
    return usage;
}

qint64 settledKiB(qint64 pid)
{
    QThread::msleep(500);
    qint64 last = usageOf(pid).rssKiB;
    for (int i = 0; i < 40; ++i) {
        QThread::msleep(250);
        const qint64 now = usageOf(pid).rssKiB;
        if (now < 0 || std::abs(now - last) * 100 <= last)
            return now;
        last = now;
    }
    return last;
}

QList<qint64> markedProcesses(const QByteArray& marker)
{
    QList<qint64> pids;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(name));
        if (name.toLongLong() > 0 && name.toLongLong() != getpid() &&
            cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(marker))
            pids << name.toLongLong();
    }
    return pids;
}
