#pragma once

#include <QByteArray>
#include <QList>

// What the benchmarks read of other processes in /proc.

// A process's resident memory and peak (KiB) and its CPU time: the time on
// a CPU of each of its threads (schedstat, in nanoseconds), where the kernel
// keeps it; else user and system time in clock ticks, far coarser. -1 where
// it could not be read.
struct Usage
{
    qint64 rssKiB = -1;
    qint64 peakKiB = -1;
    double cpuMs = -1;
};

Usage usageOf(qint64 pid);

// Resident memory once it has stopped moving: two samples a quarter of a
// second apart within 1 %, or the last after 10 s.
qint64 settledKiB(qint64 pid);

// The pids of the processes, this one aside, whose command line carries the marker.
QList<qint64> markedProcesses(const QByteArray& marker);
