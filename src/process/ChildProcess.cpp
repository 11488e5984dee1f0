#include "process/ChildProcess.h"

#include "support/ProcFs.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <climits>
#include <csignal>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {

// Longer than anybody reads in a log line: an argument, and all of them.
const int MaxShownArgument = 200;
const int MaxShownArguments = 2000;

// Every object of this process; the event loop's thread alone touches it.
QSet<const ChildProcess*>& instances()
{
    static QSet<const ChildProcess*> set;
    return set;
}

// Marks every descriptor from the first up close-on-exec in one call; false
// where the kernel (before 5.11) or a seccomp filter refuses it.
bool markCloseOnExecFrom(unsigned first)
{
#ifdef SYS_close_range
    return ::syscall(SYS_close_range, first, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
#else
    Q_UNUSED(first);
    return false;
#endif
}

// The C library keeps two signals for itself (32 and 33) and refuses to
// change or tell them; one that the launcher inherited as ignored must not
// reach the child so. The kernel's own call answers for them, in its layout of
// the record, which is known here for x86-64 and arm64 (the same).
#if (defined(__x86_64__) || defined(__aarch64__)) && defined(SYS_rt_sigaction)
#define LAUNCHER_KERNEL_SIGACTION
struct KernelSigaction
{
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};
#endif

// Asked of the kernel rather than read from /proc/self/status, which an
// emulator answers with its own signals.
quint64 signalsNotAtDefault()
{
#ifdef LAUNCHER_KERNEL_SIGACTION
    quint64 result = 0;
    for (int signal = 1; signal <= 64; ++signal) {
        KernelSigaction action = {};
        if (::syscall(SYS_rt_sigaction, signal, nullptr, &action, sizeof action.mask) == 0 &&
            action.handler != SIG_DFL)
            result |= quint64(1) << (signal - 1);
    }
    return result;
#else
    return ProcFs::ownSignalsNotAtDefault();
#endif
}

void resetToDefault(int signal)
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    ::sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, nullptr) == 0)
        return;
#ifdef LAUNCHER_KERNEL_SIGACTION
    KernelSigaction kernelAction = {SIG_DFL, 0, nullptr, 0};
    ::syscall(SYS_rt_sigaction, signal, &kernelAction, nullptr, sizeof kernelAction.mask);
#endif
}

// What the launcher inherited is put right once, before its first child.
// With SIGCHLD ignored (or SA_NOCLDWAIT) the kernel may reap the children by
// itself before Qt sees their end; with SIGCHLD blocked, the handler through
// which Qt learns of an end never runs. Returns whether one call marks every
// descriptor close-on-exec, asked with a range that holds none.
bool prepareLauncher()
{
    struct sigaction action = {};
    if (::sigaction(SIGCHLD, nullptr, &action) == 0 &&
        (action.sa_handler == SIG_IGN || (action.sa_flags & SA_NOCLDWAIT))) {
        if (action.sa_handler == SIG_IGN) {
            action.sa_handler = SIG_DFL;
            action.sa_flags &= ~SA_SIGINFO;
        }
        action.sa_flags &= ~SA_NOCLDWAIT;
        ::sigaction(SIGCHLD, &action, nullptr);
    }
    sigset_t childSignal;
    ::sigemptyset(&childSignal);
    ::sigaddset(&childSignal, SIGCHLD);
    ::pthread_sigmask(SIG_UNBLOCK, &childSignal, nullptr);
    return markCloseOnExecFrom(~0U);
}

// One above the highest descriptor that the launcher holds; the descriptor
// limit when /proc cannot tell.
int descriptorLimit()
{
    const int highest = ProcFs::ownHighestDescriptor();
    if (highest >= 0)
        return highest + 1;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    return limit > 0 && limit < INT_MAX ? int(limit) : INT_MAX;
}

// A launcher started with standard input, output or error closed would give
// a child's pipes the numbers 0 to 2, where the child's own redirections
// overwrite them. /dev/null takes those places: open() returns the lowest
// free number.
void fillStandardFiles()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", O_RDWR);
    }
}

} // namespace

ChildProcess::ChildProcess(QObject* parent) : QProcess(parent)
{
    setStandardInputFile(QProcess::nullDevice());
    setProcessChannelMode(QProcess::MergedChannels);
    instances().insert(this);
}

ChildProcess::~ChildProcess()
{
    // Killed and reaped here, the child leaves nothing behind, and QProcess
    // has no running child to warn about. Nobody hears of this end.
    if (state() != QProcess::NotRunning) {
        blockSignals(true);
        signalGroup(SIGKILL);
        waitForFinished(-1);
    }
    instances().remove(this);
}

bool ChildProcess::isOwned(qint64 pid)
{
    // QProcess keeps the pid until it has reaped the child: after a failed
    // exec, its state reads NotRunning while the child is yet to be reaped.
    if (pid <= 0)
        return false;
    for (const ChildProcess* process : qAsConst(instances())) {
        if (process->processId() == pid)
            return true;
    }
    return false;
}

void ChildProcess::start(const QString& program, const QStringList& arguments)
{
    if (state() != QProcess::NotRunning)
        return;
    static const bool marksAllAtOnce = prepareLauncher();
    m_launcherPid = ::getpid();
    // Looked up here, so that the child does only what is needed: its time
    // before the exec is the launcher's time copying the pages it writes.
    // Qt installs its SIGCHLD handler in the first fork, after this look.
    m_signalsToReset = signalsNotAtDefault() | (quint64(1) << (SIGCHLD - 1));
    m_descriptorLimit = marksAllAtOnce ? 0 : descriptorLimit();
    fillStandardFiles();

    // Between the fork and the child's set-up a signal would run one of the
    // launcher's handlers in the child, on the child's copy of its data (and
    // into the launcher's own pipes). Blocked here, it waits in the child
    // until the dispositions are back at their defaults.
    sigset_t all, previous;
    ::sigfillset(&all);
    // A start that fails at once is reported from the event loop, as every
    // other outcome: a caller connects and records the child after start().
    const bool wereBlocked = blockSignals(true);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    QProcess::start(program, arguments);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    blockSignals(wereBlocked);
    m_pid = processId();
    if (state() == QProcess::NotRunning) {
        QMetaObject::invokeMethod(
            this, [this]() { emit errorOccurred(QProcess::FailedToStart); }, Qt::QueuedConnection);
    }
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

    // Exec resets the handlers, but not what the launcher ignores; and the
    // handlers must go before the signals are unblocked.
    for (int signal = 1; signal < NSIG && signal <= 64; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP && (m_signalsToReset >> (signal - 1)) & 1)
            resetToDefault(signal);
    }

    // Marked rather than closed: Qt's pipe that reports a failed exec must
    // stay open until the exec.
    if (m_descriptorLimit > 0 || !markCloseOnExecFrom(STDERR_FILENO + 1)) {
        for (int fd = STDERR_FILENO + 1; fd < m_descriptorLimit; ++fd) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0 && !(flags & FD_CLOEXEC))
                ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }

    // Last: a signal that came meanwhile now meets its default disposition.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The arguments as the log lines show them, joined with one space; a long
// one is cut and says its length, and so is a long list.
QString ChildProcess::shownArguments(const QStringList& arguments)
{
    QString shown;
    qint64 total = 0;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        total += argument.size() + (i > 0 ? 1 : 0);
        if (shown.size() > MaxShownArguments)
            continue;
        if (i > 0)
            shown += QLatin1Char(' ');
        if (argument.size() <= MaxShownArgument)
            shown += argument;
        else
            shown += argument.leftRef(MaxShownArgument) +
                     QStringLiteral("...(%1 characters)").arg(argument.size());
    }
    if (shown.size() > MaxShownArguments) {
        shown.truncate(MaxShownArguments);
        shown += QStringLiteral("...(%1 arguments, %2 characters in all)")
                     .arg(arguments.size())
                     .arg(total);
    }
    return shown;
}

// Why a start failed, in words: the system's reason, and for a program that
// exists yet "does not", the interpreter that its first line names.
QString ChildProcess::startFailure() const
{
    QString reason = errorString();
    QFile program(this->program());
    if (error() != QProcess::FailedToStart || !reason.endsWith(qt_error_string(ENOENT)) ||
        !program.open(QIODevice::ReadOnly))
        return reason;
    const QByteArray first = program.read(256);
    if (!first.startsWith("#!"))
        return reason;
    const QByteArray line = first.mid(2, first.indexOf('\n') - 2).simplified();
    const QByteArray interpreter = line.split(' ').value(0);
    return reason + QStringLiteral(": its interpreter '%1' is missing")
                        .arg(QString::fromLocal8Bit(interpreter));
}
