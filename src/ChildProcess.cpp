#include "ChildProcess.h"

#include <QSet>

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Every object of this process; the event loop's thread alone touches it.
QSet<const ChildProcess*>& instances()
{
    static QSet<const ChildProcess*> set;
    return set;
}

} // namespace

ChildProcess::ChildProcess(QObject* parent) : QProcess(parent), m_launcherPid(::getpid())
{
    setStandardInputFile(QProcess::nullDevice());
    instances().insert(this);
}

ChildProcess::~ChildProcess()
{
    instances().remove(this);
}

bool ChildProcess::isOwned(qint64 pid)
{
    // A QProcess reaps its child before it reports NotRunning.
    for (const ChildProcess* process : qAsConst(instances())) {
        if (process->state() != QProcess::NotRunning && process->processId() == pid)
            return true;
    }
    return false;
}

void ChildProcess::signalGroup(int signal)
{
    // While the child is not reaped its pid, and so its group id, cannot be
    // taken by another process.
    const qint64 pid = processId();
    if (state() == QProcess::NotRunning || pid <= 0)
        return;
    if (::kill(-pid_t(pid), signal) != 0)
        ::kill(pid_t(pid), signal);
}

void ChildProcess::setupChildProcess()
{
    ::setpgid(0, 0);
    // The death signal follows the thread that forked; the launcher starts
    // its children from the event loop's thread, which lives as long as it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The launcher may have died before the death signal was armed.
    if (::getppid() != m_launcherPid)
        ::_exit(127);
}
