#include "process/ChildProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSet>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How often the end of a child is looked for where the kernel has no pidfd.
constexpr int EndPollIntervalMs = 50;
// The child's own stack while it borrows the launcher's memory. It calls
// little more than the kernel, but a sanitizer's wrappers sit in between.
constexpr size_t SpawnStackSize = 256 * 1024;
// A child's end drains what its pipe still holds, up to this much: its own
// children may hold the pipe open and keep writing.
constexpr int DrainReadsAtEnd = 16;
constexpr int ReadChunk = 64 * 1024;

bool s_pidFdEnabled = true;

// Every object of this process; the event loop's thread alone touches it.
QSet<const ChildProcess*>& instances()
{
    static QSet<const ChildProcess*> set;
    return set;
}

enum class SpawnStage : int
{
    Done,
    SetUp,
    WorkingDirectory,
    Exec
};

// Everything the child needs, prepared by the launcher: running in the
// launcher's memory, the child may neither allocate nor take a lock.
struct SpawnRequest
{
    const char* path;
    char* const* argv;
    char* const* envp;
    const char* workingDirectory; // null: the launcher's own
    int inputFd;
    int outputFd;
    pid_t launcherPid;
    SpawnStage failedAt;
    int error;
};

// The child, from the clone to the exec. No sanitizer may mark this stack:
// the marks would outlive it, as the function never returns.
__attribute__((no_sanitize("address", "undefined"))) int runChild(void* argument)
{
    auto* request = static_cast<SpawnRequest*>(argument);
    // A handler of the launcher would run here on the launcher's data, so
    // every handled signal goes back to its default; an ignored SIGPIPE is
    // the launcher's own choice, not one for its children.
    struct sigaction action;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP || ::sigaction(signal, nullptr, &action) != 0)
            continue;
        if (action.sa_handler == SIG_DFL || (action.sa_handler == SIG_IGN && signal != SIGPIPE))
            continue;
        action.sa_handler = SIG_DFL;
        action.sa_flags = 0;
        ::sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }

    SpawnStage stage = SpawnStage::SetUp;
    if (::setpgid(0, 0) == 0) {
        // The death signal follows the thread that spawned; the launcher
        // starts its children from the event loop's thread, which lives as
        // long as it does.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The launcher may have died before the death signal was armed.
        if (::getppid() == request->launcherPid && ::dup2(request->inputFd, STDIN_FILENO) >= 0 &&
            ::dup2(request->outputFd, STDOUT_FILENO) >= 0 &&
            ::dup2(request->outputFd, STDERR_FILENO) >= 0) {
            stage = SpawnStage::WorkingDirectory;
            if (!request->workingDirectory || ::chdir(request->workingDirectory) == 0) {
                sigset_t none;
                ::sigemptyset(&none);
                ::sigprocmask(SIG_SETMASK, &none, nullptr);
                ::execve(request->path, request->argv, request->envp);
                stage = SpawnStage::Exec;
            }
        }
    }
    request->error = errno;
    request->failedAt = stage;
    ::_exit(127);
}

// The descriptor moved above standard input, output and error, where the
// child's dup2() cannot overwrite it before it is used.
int aboveStandardFds(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

// Retired while it may be delivering the notification that retires it.
template <typename Object>
void retire(Object*& object)
{
    if (object) {
        object->blockSignals(true);
        object->deleteLater();
    }
    object = nullptr;
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// argv and envp point into the byte arrays, which outlive the spawn.
std::vector<char*> pointersTo(std::vector<QByteArray>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (QByteArray& string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ChildProcess::ChildProcess(QObject* parent) : QObject(parent)
{
    instances().insert(this);
}

ChildProcess::~ChildProcess()
{
    instances().remove(this);
    if (m_state != QProcess::NotRunning) {
        ::kill(pid_t(m_pid), SIGKILL);
        while (::waitpid(pid_t(m_pid), nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    closeOutput();
    stopWatchingEnd();
}

bool ChildProcess::isOwned(qint64 pid)
{
    // A ChildProcess reaps its child before it reports NotRunning.
    for (const ChildProcess* process : qAsConst(instances())) {
        if (process->m_state != QProcess::NotRunning && process->m_pid == pid)
            return true;
    }
    return false;
}

void ChildProcess::setPidFdEnabled(bool enabled)
{
    s_pidFdEnabled = enabled;
}

void ChildProcess::start(const QString& program, const QStringList& arguments)
{
    if (m_state != QProcess::NotRunning)
        return;
    m_program = program;
    m_arguments = arguments;
    m_errorString.clear();
    m_output.clear();
    if (program.isEmpty()) {
        reportStartFailure(QStringLiteral("No program defined"), 0);
        return;
    }

    QString path = program;
    if (!program.contains(QLatin1Char('/'))) {
        const QString found = QStandardPaths::findExecutable(program);
        if (!found.isEmpty())
            path = found;
    }
    std::vector<QByteArray> argumentBytes{QFile::encodeName(path)};
    for (const QString& argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit());
    std::vector<char*> argv = pointersTo(argumentBytes);
    std::vector<QByteArray> environmentBytes;
    for (const QString& variable : m_environment.toStringList())
        environmentBytes.push_back(variable.toLocal8Bit());
    std::vector<char*> envp = pointersTo(environmentBytes);
    const QByteArray workingDirectory = QFile::encodeName(m_workingDirectory);

    int input = aboveStandardFds(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        pipeFds[0] = pipeFds[1] = -1;
    int output = aboveStandardFds(pipeFds[1]);
    m_outputFd = aboveStandardFds(pipeFds[0]);
    void* stack = ::mmap(nullptr, SpawnStackSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (input < 0 || output < 0 || m_outputFd < 0 || stack == MAP_FAILED) {
        const int error = errno;
        closeFd(input);
        closeFd(output);
        closeOutput();
        if (stack != MAP_FAILED)
            ::munmap(stack, SpawnStackSize);
        reportStartFailure(QStringLiteral("Resource error"), error);
        return;
    }

    SpawnRequest request{argumentBytes.front().constData(),
                         argv.data(),
                         m_environment.isEmpty() ? environ : envp.data(),
                         workingDirectory.isEmpty() ? nullptr : workingDirectory.constData(),
                         input,
                         output,
                         ::getpid(),
                         SpawnStage::Done,
                         0};
    // No signal may reach the child before it has reset the handlers; the
    // launcher goes on once the child has called exec or given up.
    sigset_t all, previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    const int savedErrno = errno;
    const pid_t pid = ::clone(runChild, static_cast<char*>(stack) + SpawnStackSize,
                              CLONE_VM | CLONE_VFORK | SIGCHLD, &request);
    const int cloneError = errno;
    errno = savedErrno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::munmap(stack, SpawnStackSize);
    closeFd(input);
    closeFd(output);

    if (pid < 0 || request.failedAt != SpawnStage::Done) {
        closeOutput();
        if (pid < 0) {
            reportStartFailure(QStringLiteral("Resource error (fork failure)"), cloneError);
            return;
        }
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        switch (request.failedAt) {
        case SpawnStage::WorkingDirectory:
            reportStartFailure(QStringLiteral("chdir"), request.error);
            break;
        case SpawnStage::Exec:
            reportStartFailure(QStringLiteral("execve"), request.error);
            break;
        default:
            reportStartFailure(QStringLiteral("Child set-up"), request.error);
            break;
        }
        return;
    }

    m_pid = pid;
    m_state = QProcess::Starting;
    ::fcntl(m_outputFd, F_SETFL, O_NONBLOCK);
    m_outputNotifier = new QSocketNotifier(m_outputFd, QSocketNotifier::Read, this);
    connect(m_outputNotifier, &QSocketNotifier::activated, this, &ChildProcess::onOutputReadable);
#ifdef SYS_pidfd_open
    if (s_pidFdEnabled)
        m_pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
#endif
    if (m_pidFd >= 0) {
        m_endNotifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_endNotifier, &QSocketNotifier::activated, this, &ChildProcess::onEndMayHaveCome);
    } else {
        m_endPoll = new QTimer(this);
        connect(m_endPoll, &QTimer::timeout, this, &ChildProcess::onEndMayHaveCome);
        m_endPoll->start(EndPollIntervalMs);
    }
    // Reported from the event loop, as QProcess does: a caller connects and
    // records the child after start() returns.
    QMetaObject::invokeMethod(
        this,
        [this]() {
            if (m_state == QProcess::Starting) {
                m_state = QProcess::Running;
                emit started();
            }
        },
        Qt::QueuedConnection);
}

void ChildProcess::reportStartFailure(const QString& what, int error)
{
    m_state = QProcess::NotRunning;
    m_pid = 0;
    m_errorString = error ? QStringLiteral("%1: %2").arg(what, qt_error_string(error)) : what;
    QMetaObject::invokeMethod(
        this, [this]() { emit errorOccurred(QProcess::FailedToStart); }, Qt::QueuedConnection);
}

QByteArray ChildProcess::readAllStandardOutput()
{
    QByteArray output;
    output.swap(m_output);
    return output;
}

// One read; false when it found nothing (or the end of the pipe).
bool ChildProcess::readOutput()
{
    if (m_outputFd < 0)
        return false;
    char buffer[ReadChunk];
    ssize_t count;
    do {
        count = ::read(m_outputFd, buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        m_output.append(buffer, int(count));
        return true;
    }
    if (count == 0 || errno != EAGAIN)
        closeOutput();
    return false;
}

void ChildProcess::closeOutput()
{
    if (m_outputNotifier)
        m_outputNotifier->setEnabled(false);
    retire(m_outputNotifier);
    closeFd(m_outputFd);
}

void ChildProcess::stopWatchingEnd()
{
    if (m_endNotifier)
        m_endNotifier->setEnabled(false);
    retire(m_endNotifier);
    retire(m_endPoll);
    closeFd(m_pidFd);
}

void ChildProcess::onOutputReadable()
{
    if (readOutput())
        emit readyReadStandardOutput();
}

void ChildProcess::onEndMayHaveCome()
{
    reapIfEnded(false);
}

bool ChildProcess::reapIfEnded(bool block)
{
    if (m_state == QProcess::NotRunning)
        return false;
    siginfo_t info{};
    const int options = WEXITED | (block ? 0 : WNOHANG);
    int result;
    do {
        result = ::waitid(P_PID, id_t(m_pid), &info, options);
    } while (result < 0 && errno == EINTR);
    if (result != 0 || info.si_pid == 0)
        return false;

    // What the child wrote before its end is reported before the end.
    for (int read = 0; read < DrainReadsAtEnd && readOutput(); ++read)
        emit readyReadStandardOutput();
    closeOutput();
    stopWatchingEnd();

    if (m_state == QProcess::Starting) {
        m_state = QProcess::Running;
        emit started();
    }
    m_state = QProcess::NotRunning;
    const bool crashed = info.si_code != CLD_EXITED;
    if (crashed) {
        m_errorString = QStringLiteral("Process crashed");
        emit errorOccurred(QProcess::Crashed);
    }
    // A crashed child's code is the number of the signal that ended it.
    emit finished(info.si_status, crashed ? QProcess::CrashExit : QProcess::NormalExit);
    return true;
}

bool ChildProcess::waitForFinished(int msecs)
{
    if (m_state == QProcess::NotRunning)
        return false;
    const QDeadlineTimer deadline(msecs);
    while (!reapIfEnded(false)) {
        const qint64 remaining = deadline.remainingTime();
        if (remaining == 0)
            return false;
        // The pipe is read meanwhile: a child blocked on a full pipe never ends.
        pollfd fds[2];
        nfds_t count = 0;
        if (m_outputFd >= 0)
            fds[count++] = {m_outputFd, POLLIN, 0};
        if (m_pidFd >= 0)
            fds[count++] = {m_pidFd, POLLIN, 0};
        int timeout = remaining < 0 ? -1 : int(qMin<qint64>(remaining, INT_MAX));
        if (m_pidFd < 0)
            timeout = timeout < 0 ? EndPollIntervalMs : qMin(timeout, EndPollIntervalMs);
        ::poll(fds, count, timeout);
        if (m_outputFd >= 0 && (fds[0].revents & (POLLIN | POLLHUP)))
            onOutputReadable();
    }
    return true;
}

void ChildProcess::signalGroup(int signal)
{
    // While the child is not reaped its pid, and so its group id, cannot be
    // taken by another process.
    if (m_state == QProcess::NotRunning || m_pid <= 0)
        return;
    if (::kill(-pid_t(m_pid), signal) != 0)
        ::kill(pid_t(m_pid), signal);
}
