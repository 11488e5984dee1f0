#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/types.h>

// What the kernel tells about processes in /proc. Every reader returns a
// "nothing" value for a process that is gone (or that may not be looked at).
namespace ProcFs {

struct ProcessStat
{
    char state = 0; // 'R', 'S', 'Z', ...
    qint64 parentPid = 0;
    qint64 groupId = 0;
    quint64 startTime = 0; // clock ticks after boot: with the pid, it names one process
};

bool readStat(qint64 pid, ProcessStat& stat);
// 0 when the process is gone.
quint64 startTime(qint64 pid);
// The owner's user id, or -1 when the process is gone.
qint64 owner(qint64 pid);
// The children of every thread of the process.
QList<qint64> children(qint64 pid);
// The command line with blanks between the arguments, for messages.
QString commandLine(qint64 pid);
// The value of one variable of the process's environment as it was started;
// empty when it has none (or may not be looked at).
QByteArray environmentValue(qint64 pid, const QByteArray& name);
// The proportional set size in bytes (its share of the memory it maps, shared
// pages divided among their users), from smaps_rollup; -1 when it cannot be read.
qint64 proportionalSetSize(qint64 pid);

// Of this process: the signals it ignores or catches, bit n - 1 for signal n
// (every bit set when /proc cannot tell), and its highest open descriptor
// (-1 when /proc cannot tell).
quint64 ownSignalsNotAtDefault();
int ownHighestDescriptor();

} // namespace ProcFs
