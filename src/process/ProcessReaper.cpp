#include "process/ProcessReaper.h"

#include "process/ChildProcess.h"
#include "support/ProcFs.h"

#include <QElapsedTimer>
#include <QThread>

#include <csignal>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Often enough that no zombie piles up, seldom enough to cost nothing.
const int ScanIntervalMs = 500;

} // namespace

ProcessReaper::ProcessReaper(QObject* parent) : QObject(parent)
{
    // Descendants whose parent ends come to the launcher instead of init, so
    // they stay within reach.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_scanTimer.setInterval(ScanIntervalMs);
    connect(&m_scanTimer, &QTimer::timeout, this, &ProcessReaper::scan);
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, [this] { signalAll(SIGKILL); });
}

ProcessReaper::~ProcessReaper()
{
    blockSignals(true);
    killAndReap(2000);
}

void ProcessReaper::addGroup(qint64 leaderPid)
{
    if (leaderPid <= 0 || m_groups.contains(leaderPid))
        return;
    m_groups.insert(leaderPid);
    m_processes.insert(leaderPid, ProcFs::startTime(leaderPid));
    // Started, never restarted: a process restarted faster than the interval
    // would otherwise keep the scan, and so the reaping, from ever happening.
    if (!m_scanTimer.isActive())
        m_scanTimer.start();
    emit processesChanged();
}

void ProcessReaper::signalAll(int signal)
{
    if (signal == SIGKILL) {
        m_killing = true;
        m_killTimer.stop();
    }
    for (const qint64 group : qAsConst(m_groups)) {
        // A group outlives its leader while it has members, and its id is
        // not given to a new process before the group has gone.
        if (::kill(-pid_t(group), signal) != 0 && ChildProcess::isOwned(group))
            ::kill(pid_t(group), signal);
    }
    // The rest left the groups; each gets the signal once.
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        ProcFs::ProcessStat stat;
        if (ProcFs::readStat(it.key(), stat) && !m_groups.contains(stat.groupId))
            signalProcess(it.key(), it.value(), signal);
    }
}

void ProcessReaper::killLeftovers()
{
    scan();
    if (!isEmpty())
        signalAll(SIGKILL);
    // What dies now cannot start anything; the next pipeline is not killed.
    m_killing = false;
}

void ProcessReaper::stopLeftovers(int graceMs)
{
    scan();
    if (isEmpty())
        return;
    if (m_killing) {
        signalAll(SIGKILL);
        return;
    }
    signalAll(SIGTERM);
    m_killTimer.start(std::max(graceMs, 0));
}

void ProcessReaper::signalProcess(qint64 pid, quint64 startTime, int signal) const
{
    // Checked first: the pid may have been given to another process since the last look.
    if (startTime != 0 && ProcFs::startTime(pid) == startTime)
        ::kill(pid_t(pid), signal);
}

void ProcessReaper::scan()
{
    // The pipeline's roots among the launcher's children: the group leaders
    // that ChildProcess objects own, and orphans. An orphan is a child that
    // no ChildProcess owns and that is not in the launcher's own group
    // (children of the front end's own QProcess objects are).
    const qint64 self = ::getpid();
    const qint64 ownGroup = ::getpgrp();
    QMap<qint64, quint64> found;
    const QList<qint64> children = ProcFs::children(self);
    for (const qint64 child : children) {
        ProcFs::ProcessStat stat;
        if (!ProcFs::readStat(child, stat))
            continue;
        if (ChildProcess::isOwned(child)) {
            if (m_groups.contains(child))
                collect(child, found);
            continue;
        }
        if (stat.groupId == ownGroup)
            continue;
        if (stat.state == 'Z') {
            ::waitpid(pid_t(child), nullptr, WNOHANG);
            continue;
        }
        collect(child, found);
    }

    // A group is over when it has no member left (zombies count until reaped).
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (!ChildProcess::isOwned(*it) && ::kill(-pid_t(*it), 0) != 0)
            it = m_groups.erase(it);
        else
            ++it;
    }

    if (found != m_processes) {
        // Once the pipeline is being killed, whatever shows up is killed, too.
        for (auto it = found.cbegin(); m_killing && it != found.cend(); ++it) {
            if (!m_processes.contains(it.key()))
                signalProcess(it.key(), it.value(), SIGKILL);
        }
        m_processes = found;
        emit processesChanged();
    }
    if (isEmpty()) {
        m_scanTimer.stop();
        m_killTimer.stop();
        m_killing = false;
    }
}

void ProcessReaper::collect(qint64 pid, QMap<qint64, quint64>& found) const
{
    ProcFs::ProcessStat stat;
    if (found.contains(pid) || !ProcFs::readStat(pid, stat) || stat.state == 'Z')
        return;
    found.insert(pid, stat.startTime);
    const QList<qint64> children = ProcFs::children(pid);
    for (const qint64 child : children)
        collect(child, found);
}

bool ProcessReaper::killAndReap(int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!isEmpty()) {
        signalAll(SIGKILL);
        scan();
        if (isEmpty() || elapsed.hasExpired(timeoutMs))
            break;
        QThread::msleep(10);
    }
    return isEmpty();
}
