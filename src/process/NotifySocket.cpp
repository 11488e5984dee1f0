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
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
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
        const cmsghdr* header = CMSG_FIRSTHDR(&message);
        ucred sender{-1, uid_t(-1), gid_t(-1)};
        if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
            header->cmsg_len == CMSG_LEN(sizeof sender))
            std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
        if (!isInstances(sender.pid)) {
            if (m_ignoredSenders.size() < MaxIgnoredSenders &&
                !m_ignoredSenders.contains(sender.pid)) {
                m_ignoredSenders.insert(sender.pid);
                Trace::warning("Ignored a notification from pid %d of user %d: not from the "
                               "process (pid %lld), its process group or its descendants",
                               int(sender.pid), int(sender.uid), m_instance);
            }
            continue;
        }
        const QList<QByteArray> lines = QByteArray(buffer, int(size)).split('\n');
        if (lines.contains(QByteArrayLiteral("READY=1")))
            emit readyNotified();
        if (lines.contains(QByteArrayLiteral("WATCHDOG=1")))
            emit watchdogPinged();
        if (lines.contains(QByteArrayLiteral("WATCHDOG=trigger")))
            emit watchdogTriggered();
    }
}

// The instance itself, which is the launcher's child until it is reaped, a
// process in its group, which no other session can join, or one whose parents
// lead to it. A sender that has ended cannot be placed, and does not count.
bool NotifySocket::isInstances(qint64 pid) const
{
    if (m_instance <= 0 || pid <= 0)
        return false;
    if (pid == m_instance)
        return true;
    ProcFs::ProcessStat stat;
    if (!ProcFs::readStat(pid, stat))
        return false;
    if (stat.groupId == m_instance)
        return true;
    for (int i = 0; i < MaxAncestry && stat.parentPid > 1; ++i) {
        if (stat.parentPid == m_instance)
            return true;
        if (!ProcFs::readStat(stat.parentPid, stat))
            return false;
    }
    return false;
}
