#include "process/ProcessReaper.h"

#include "process/ChildProcess.h"
#include "support/ProcFs.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <csignal>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Often enough that no zombie piles up, seldom enough to cost nothing.
const int ScanIntervalMs = 500;
// While an instance's leftovers are being stopped, a restart waits on them.
const int InstanceCheckIntervalMs = 50;

// Reaps the launcher's zombie children in the group of an instance that has
// ended: its leader was reaped by its ChildProcess, so none of them is owned.
void reapGroup(qint64 leaderPid)
{
    while (::waitpid(-pid_t(leaderPid), nullptr, WNOHANG) > 0) {
    }
}

bool groupExists(qint64 leaderPid)
{
    return ::kill(-pid_t(leaderPid), 0) == 0;
}

} // namespace

const char* const ProcessReaper::InstanceVariable = "ORVALEN_LAUNCHER_INSTANCE";

ProcessReaper::ProcessReaper(QObject* parent) : QObject(parent)
{
    // Descendants whose parent ends come to the launcher instead of init, so
    // they stay within reach.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_scanTimer.setInterval(ScanIntervalMs);
    connect(&m_scanTimer, &QTimer::timeout, this, &ProcessReaper::scan);
    m_instanceTimer.setInterval(InstanceCheckIntervalMs);
    connect(&m_instanceTimer, &QTimer::timeout, this, &ProcessReaper::checkStoppingInstances);
    connect(&m_instanceTimer, &QTimer::timeout, this, &ProcessReaper::checkCleared);
    m_stopDeadline.setSingleShot(true);
    connect(&m_stopDeadline, &QTimer::timeout, this, &ProcessReaper::onStopDeadline);
}

ProcessReaper::~ProcessReaper()
{
    blockSignals(true);
    killAndReap(2000);
}

QByteArray ProcessReaper::nextInstanceTag()
{
    // The launcher's start time keeps a tag of a launcher that has ended,
    // whose pid this one may have, from counting as this one's.
    static const QByteArray launcher = QByteArray::number(qint64(::getpid())) + '.' +
                                       QByteArray::number(ProcFs::startTime(qint64(::getpid()))) +
                                       '.';
    return launcher + QByteArray::number(++m_nextTag);
}

void ProcessReaper::addGroup(qint64 leaderPid, const QByteArray& tag)
{
    if (leaderPid <= 0 || m_groups.contains(leaderPid))
        return;
    m_groups.insert(leaderPid);
    if (!tag.isEmpty())
        m_tags.insert(tag, leaderPid);
    m_processes.insert(leaderPid, Tracked{ProcFs::startTime(leaderPid), leaderPid});
    // Started, never restarted: a process restarted faster than the interval
    // would otherwise keep the scan, and so the reaping, from ever happening.
    if (!m_scanTimer.isActive())
        m_scanTimer.start();
    emit processesChanged();
}

void ProcessReaper::signalGroup(qint64 leaderPid, int signal)
{
    if (leaderPid <= 1 || (signal == SIGTERM && m_terminatedGroups.contains(leaderPid)))
        return;
    // A group outlives its leader while it has members, and its id is not
    // given to a new process before the group has gone. Before the child has
    // made its group, only the leader itself can be reached.
    if (::kill(-pid_t(leaderPid), signal) != 0 && ChildProcess::isOwned(leaderPid))
        ::kill(pid_t(leaderPid), signal);
    if (signal == SIGTERM)
        m_terminatedGroups.insert(leaderPid);
}

void ProcessReaper::signalAll(int signal)
{
    if (signal == SIGKILL)
        m_killing = true;
    for (const qint64 group : qAsConst(m_groups))
        signalGroup(group, signal);
    // The rest left the groups; each is asked once.
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        ProcFs::ProcessStat stat;
        if (ProcFs::readStat(it.key(), stat) && !m_groups.contains(stat.groupId))
            signalProcess(it.key(), it->startTime, signal);
    }
}

void ProcessReaper::stopAll(int graceMs)
{
    // A fresh look: what the ended instances left has just come to the launcher.
    scan();
    if (m_stop == Stop::Killed) {
        signalAll(SIGKILL);
        return;
    }
    signalAll(SIGTERM);
    if (isEmpty())
        return;
    const bool sooner = !m_stopDeadline.isActive() || m_stopDeadline.remainingTime() > graceMs;
    if (graceMs >= 0 && sooner)
        m_stopDeadline.start(graceMs);
    m_stop = Stop::Asked;
}

void ProcessReaper::killAll()
{
    scan();
    signalAll(SIGKILL);
    m_stop = Stop::Killed;
    m_stopDeadline.start(KillWaitMs);
    endStopWhenEmpty();
}

void ProcessReaper::onStopDeadline()
{
    scan();
    if (m_stop == Stop::Asked) {
        killAll();
        emit overdue();
    } else if (m_stop == Stop::Killed && !isEmpty()) {
        emit stuck();
    }
}

// A stop is over once nothing is left: the next one asks anew.
void ProcessReaper::endStopWhenEmpty()
{
    if (!isEmpty())
        return;
    m_stop = Stop::None;
    m_stopDeadline.stop();
}

void ProcessReaper::signalInstance(qint64 leaderPid, int signal)
{
    signalGroup(leaderPid, signal);
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        ProcFs::ProcessStat stat;
        if (it->root == leaderPid && ProcFs::readStat(it.key(), stat) && stat.groupId != leaderPid)
            signalProcess(it.key(), it->startTime, signal);
    }
}

bool ProcessReaper::stopInstance(qint64 leaderPid, int graceMs)
{
    // A fresh look: the leader's children have just come to the launcher.
    scan();
    // An instance that ended long ago may have had its pid given to a
    // stranger's group since: only what is still known as its counts.
    const bool known =
        m_groups.contains(leaderPid) ||
        std::any_of(m_processes.cbegin(), m_processes.cend(),
                    [leaderPid](const Tracked& tracked) { return tracked.root == leaderPid; });
    if (!known || !instanceLeft(leaderPid)) {
        m_stoppingInstances.remove(leaderPid);
        return true;
    }
    signalInstance(leaderPid, SIGTERM);
    // The pipeline's stop kills everything at its own deadline.
    if (!m_stoppingInstances.contains(leaderPid))
        m_stoppingInstances.insert(leaderPid, m_stop == Stop::None
                                                  ? QDeadlineTimer(std::max(graceMs, 0))
                                                  : QDeadlineTimer(QDeadlineTimer::Forever));
    if (!m_instanceTimer.isActive())
        m_instanceTimer.start();
    return false;
}

// True while a process of the instance (its group, or a descendant of it
// outside the group) is alive; zombies of the group that came to the
// launcher are reaped on the way.
bool ProcessReaper::instanceLeft(qint64 leaderPid)
{
    // A leader that its ChildProcess has not reaped yet is alive, or its end
    // is that object's to report.
    if (ChildProcess::isOwned(leaderPid))
        return true;
    reapGroup(leaderPid);
    if (groupExists(leaderPid))
        return true;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        ProcFs::ProcessStat stat;
        if (it->root == leaderPid && it.key() != leaderPid && ProcFs::readStat(it.key(), stat) &&
            stat.startTime == it->startTime && stat.state != 'Z')
            return true;
    }
    return false;
}

void ProcessReaper::checkStoppingInstances()
{
    const QList<qint64> leaders = m_stoppingInstances.keys();
    for (const qint64 leader : leaders) {
        if (!instanceLeft(leader)) {
            m_stoppingInstances.remove(leader);
            emit instanceGone(leader);
        } else if (m_stoppingInstances.value(leader).hasExpired()) {
            signalInstance(leader, SIGKILL);
        }
    }
    if (m_stoppingInstances.isEmpty() && !m_awaitingClear)
        m_instanceTimer.stop();
}

bool ProcessReaper::awaitCleared()
{
    scan();
    m_awaitingClear = !isEmpty();
    if (m_awaitingClear && !m_instanceTimer.isActive())
        m_instanceTimer.start();
    return !m_awaitingClear;
}

void ProcessReaper::checkCleared()
{
    if (!m_awaitingClear)
        return;
    scan();
    if (!isEmpty())
        return;
    m_awaitingClear = false;
    if (m_stoppingInstances.isEmpty())
        m_instanceTimer.stop();
    emit cleared();
}

void ProcessReaper::killLeftovers()
{
    scan();
    if (!isEmpty())
        signalAll(SIGKILL);
    // What dies now cannot start anything; the next pipeline is not killed.
    m_killing = false;
    m_stop = Stop::None;
    m_stopDeadline.stop();
}

void ProcessReaper::signalProcess(qint64 pid, quint64 startTime, int signal)
{
    const ProcessKey key(pid, startTime);
    if (signal == SIGTERM && m_terminatedProcesses.contains(key))
        return;
    // Checked first: the pid may have been given to another process since the last look.
    if (pid > 1 && startTime != 0 && ProcFs::startTime(pid) == startTime)
        ::kill(pid_t(pid), signal);
    if (signal == SIGTERM)
        m_terminatedProcesses.insert(key);
}

// The instance an orphan of the launcher descends from, or 0 when it is not
// the pipeline's: the front end's own processes come here, too.
qint64 ProcessReaper::rootOfOrphan(qint64 pid, qint64 groupId, quint64 startTime)
{
    const auto known = m_processes.constFind(pid);
    if (known != m_processes.cend() && known->startTime == startTime)
        return known->root;
    if (m_groups.contains(groupId))
        return groupId;
    const ProcessKey key(pid, startTime);
    if (m_strangers.contains(key))
        return 0;
    const qint64 root =
        m_tags.value(ProcFs::environmentValue(pid, QByteArray(InstanceVariable)), 0);
    if (root == 0)
        m_strangers.insert(key);
    return root;
}

void ProcessReaper::scan()
{
    // The pipeline's roots among the launcher's children: the group leaders
    // that ChildProcess objects own, and the orphans of its instances. The
    // front end's own children (those of its QProcess objects, in the
    // launcher's group, or detached) are left alone.
    const qint64 self = ::getpid();
    const qint64 ownGroup = ::getpgrp();
    QMap<qint64, Tracked> found;
    QSet<ProcessKey> strangers;
    const QList<qint64> children = ProcFs::children(self);
    for (const qint64 child : children) {
        ProcFs::ProcessStat stat;
        if (!ProcFs::readStat(child, stat))
            continue;
        if (ChildProcess::isOwned(child)) {
            if (m_groups.contains(child))
                collect(child, child, found);
            continue;
        }
        if (stat.groupId == ownGroup)
            continue;
        // Nobody else waits for an orphan: it came to the launcher.
        if (stat.state == 'Z') {
            ::waitpid(pid_t(child), nullptr, WNOHANG);
            continue;
        }
        if (const qint64 root = rootOfOrphan(child, stat.groupId, stat.startTime))
            collect(child, root, found);
        else
            strangers.insert(ProcessKey(child, stat.startTime));
    }
    m_strangers = strangers; // the ones that are gone are forgotten

    // A group is over when it has no member left (zombies count until reaped).
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (!ChildProcess::isOwned(*it) && !m_stoppingInstances.contains(*it) &&
            !groupExists(*it)) {
            const qint64 group = *it;
            it = m_groups.erase(it);
            forgetGroup(group);
        } else {
            ++it;
        }
    }

    if (found != m_processes) {
        // Once the pipeline is being killed, whatever shows up is killed, too.
        for (auto it = found.cbegin(); m_killing && it != found.cend(); ++it) {
            if (!m_processes.contains(it.key()))
                signalProcess(it.key(), it->startTime, SIGKILL);
        }
        for (auto it = m_terminatedProcesses.begin(); it != m_terminatedProcesses.end();) {
            if (!found.contains(it->first))
                it = m_terminatedProcesses.erase(it);
            else
                ++it;
        }
        m_processes = found;
        emit processesChanged();
    }
    if (isEmpty()) {
        m_scanTimer.stop();
        m_killing = false;
        endStopWhenEmpty();
    }
}

void ProcessReaper::forgetGroup(qint64 leaderPid)
{
    m_terminatedGroups.remove(leaderPid);
    for (auto it = m_tags.begin(); it != m_tags.end();) {
        if (it.value() == leaderPid)
            it = m_tags.erase(it);
        else
            ++it;
    }
}

void ProcessReaper::collect(qint64 pid, qint64 root, QMap<qint64, Tracked>& found) const
{
    ProcFs::ProcessStat stat;
    if (found.contains(pid) || !ProcFs::readStat(pid, stat) || stat.state == 'Z')
        return;
    found.insert(pid, Tracked{stat.startTime, root});
    const QList<qint64> children = ProcFs::children(pid);
    for (const qint64 child : children)
        collect(child, root, found);
}

QMap<qint64, quint64> ProcessReaper::processes() const
{
    QMap<qint64, quint64> processes;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it)
        processes.insert(it.key(), it->startTime);
    return processes;
}

QList<qint64> ProcessReaper::instanceProcesses(qint64 leaderPid) const
{
    QList<qint64> pids;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (it->root == leaderPid)
            pids.append(it.key());
    }
    return pids;
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
