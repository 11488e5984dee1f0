#include "process/NotifySocket.h"

#include "support/ProcFs.h"
#include "support/Trace.h"

#include <QList>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Solvane::Trace;

namespace {

// Senders told about in the trace, at most, in the life of a socket.
const int MaxIgnoredSenders = 8;
// Parents looked through for a notifying descendant.
const int MaxAncestry = 64;
// Descriptors passed with one notification that are taken (and closed); the
// kernel closes those beyond.
const int MaxPassedFds = 16;

} // namespace

NotifySocket::NotifySocket()
{
    // Autobind: the kernel picks an abstract name. Every datagram comes with
    // its sender's credentials.
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = sizeof address;
    const int on = 1;
    if (m_fd < 0 || ::setsockopt(m_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t)) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Trace::warning("Unable to create the socket for process notifications: %s",
                       std::strerror(errno));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return;
    }
    const int nameLength = int(length) - int(offsetof(sockaddr_un, sun_path)) - 1;
    m_name = '@' + QByteArray(address.sun_path + 1, std::max(nameLength, 0));
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &NotifySocket::readPending);
}

NotifySocket::~NotifySocket()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void NotifySocket::readPending()
{
    if (m_fd < 0)
        return;
    char buffer[4096];
    // Room for the credentials and the descriptors a sender may pass (a
    // BARRIER=1 passes one): each is closed here, which tells a blocking
    // sender that its message was read. Without the room the kernel closes
    // them, but an emulator may keep them open.
    alignas(
        cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(MaxPassedFds * sizeof(int))];
    for (;;) {
        iovec data{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(m_fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0)
            break;
        ucred sender{-1, uid_t(-1), gid_t(-1)};
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET)
                continue;
            if (header->cmsg_type == SCM_CREDENTIALS && header->cmsg_len == CMSG_LEN(sizeof sender))
                std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
            if (header->cmsg_type == SCM_RIGHTS) {
                const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
                    ::close(fd);
                }
            }
        }
        // What asks for nothing is not placed: a BARRIER=1 comes with no
        // more than a descriptor, whose sender leaves once it is read.
        const QList<QByteArray> lines = QByteArray(buffer, int(size)).split('\n');
        const bool ready = lines.contains(QByteArrayLiteral("READY=1"));
        const bool ping = lines.contains(QByteArrayLiteral("WATCHDOG=1"));
        const bool trigger = lines.contains(QByteArrayLiteral("WATCHDOG=trigger"));
        if (!ready && !ping && !trigger)
            continue;
        switch (place(sender.pid)) {
        case Sender::Instances:
            break;
        case Sender::Ended:
            // A sender ended with the process (a stop, a hang) needs no hint.
            if (!m_toldEnded && instanceRuns()) {
                m_toldEnded = true;
                Trace::warning("Ignored a notification from pid %d of user %d: it had ended "
                               "before it was read, so it cannot be told to come from the "
                               "process (pid %lld); others like it are ignored without a line "
                               "(a sender must live until it is read: systemd-notify without "
                               "--no-block)",
                               int(sender.pid), int(sender.uid), m_instance);
            }
            continue;
        case Sender::Stranger:
            if (m_ignoredSenders.size() < MaxIgnoredSenders &&
                !m_ignoredSenders.contains(sender.pid)) {
                m_ignoredSenders.insert(sender.pid);
                Trace::warning("Ignored a notification from pid %d of user %d: not from the "
                               "process (pid %lld), its process group or its descendants",
                               int(sender.pid), int(sender.uid), m_instance);
            }
            continue;
        }
        if (ready)
            emit readyNotified();
        if (ping)
            emit watchdogPinged();
        if (trigger)
            emit watchdogTriggered();
    }
}

// The instance itself, which is the launcher's child until it is reaped, a
// process in its group, which no other session can join, or one whose parents
// lead to it. A sender that has ended is placed while it waits to be reaped;
// once it has been, nothing tells whose it was (its pid may even be another
// process's by now).
bool NotifySocket::instanceRuns() const
{
    ProcFs::ProcessStat stat;
    return m_instance > 0 && ProcFs::readStat(m_instance, stat) && stat.state != 'Z';
}

NotifySocket::Sender NotifySocket::place(qint64 pid) const
{
    if (m_instance <= 0 || pid <= 0)
        return Sender::Stranger;
    if (pid == m_instance)
        return Sender::Instances;
    ProcFs::ProcessStat stat;
    if (!ProcFs::readStat(pid, stat))
        return Sender::Ended;
    if (stat.groupId == m_instance)
        return Sender::Instances;
    for (int i = 0; i < MaxAncestry && stat.parentPid > 1; ++i) {
        if (stat.parentPid == m_instance)
            return Sender::Instances;
        if (!ProcFs::readStat(stat.parentPid, stat))
            return Sender::Stranger;
    }
    return Sender::Stranger;
}
