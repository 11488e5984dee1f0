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
// A process's memory in bytes, from smaps_rollup, each page counted by its
// share among the processes that map it; -1 each when it cannot be read.
struct Memory
{
    // What the kernel cannot take back: anonymous memory, shared memory
    // (tmpfs, memfd, System V) and what of them is swapped out, that is
    // Pss_Anon + Pss_Shmem + SwapPss. Clean file pages, which it drops when it
    // needs room and reads again, are not in it. Kernels before 5.3 have no
    // Pss_Anon and Pss_Shmem: there it is Anonymous + SwapPss, each anonymous
    // page whole (a page that forked processes share counts in each of them)
    // and shared memory left out.
    qint64 unreclaimable = -1;
    // The proportional set size: all that it maps, file pages included.
    qint64 proportional = -1;
};
Memory memory(qint64 pid);

// Of this process: the signals it ignores or catches, bit n - 1 for signal n
// (every bit set when /proc cannot tell), and its highest open descriptor
// (-1 when /proc cannot tell).
quint64 ownSignalsNotAtDefault();
int ownHighestDescriptor();

} // namespace ProcFs
