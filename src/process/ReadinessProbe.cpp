#include "process/ReadinessProbe.h"

#include "config/ReadyGate.h"
#include "process/HostLookUp.h"
#include "support/ProcFs.h"
#include "support/Trace.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Solvane::Trace;

namespace {

const int PollIntervalMs = 100;
// Senders told about in the trace, at most, in one wait.
const int MaxIgnoredSenders = 8;
// Parents looked through for a notifying descendant.
const int MaxAncestry = 64;

} // namespace

// One address to connect to, and the connection being tried, if any.
struct ReadinessProbe::Address
{
    sockaddr_storage address{};
    socklen_t length = 0;
    int fd = -1;
};

ReadinessProbe::ReadinessProbe(const QString& gate, const QString& folder) : m_gate(gate)
{
    m_pollTimer.setInterval(PollIntervalMs);
    m_timeoutTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &ReadinessProbe::onPoll);
    connect(&m_timeoutTimer, &QTimer::timeout, this, [this]() { finish(false); });

    const ReadyGate parsed = ReadyGate::parse(gate);
    if (parsed.kind == ReadyGate::Kind::Invalid)
        return;
    m_kind = parsed.kind;
    m_target = parsed.target;
    m_port = parsed.port;
    m_text = m_target.toUtf8();
    const bool isPath =
        m_kind == Kind::File || (m_kind == Kind::Unix && !m_target.startsWith(QLatin1Char('@')));
    if (isPath && QFileInfo(m_target).isRelative() && !folder.isEmpty())
        m_target = QDir(folder).absoluteFilePath(m_target);
    if (m_kind != Kind::Notify)
        return;

    // The kernel names an abstract socket that nobody else holds (autobind).
    // Every datagram comes with its sender's credentials.
    m_notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = sizeof address;
    const int on = 1;
    if (m_notifyFd < 0 || ::setsockopt(m_notifyFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::bind(m_notifyFd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t)) != 0 ||
        ::getsockname(m_notifyFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Trace::warning("Unable to create the socket for readiness notifications: %s",
                       std::strerror(errno));
        if (m_notifyFd >= 0)
            ::close(m_notifyFd);
        m_notifyFd = -1;
        return;
    }
    const int nameLength = int(length) - int(offsetof(sockaddr_un, sun_path)) - 1;
    m_notifyName = '@' + QByteArray(address.sun_path + 1, std::max(nameLength, 0));
    m_notifier = std::make_unique<QSocketNotifier>(m_notifyFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ReadinessProbe::onNotifyReadable);
}

ReadinessProbe::~ReadinessProbe()
{
    stop();
}

QString ReadinessProbe::gateError(const QString& gate)
{
    return ReadyGate::parse(gate).error;
}

QByteArray ReadinessProbe::notifySocket() const
{
    return m_state != State::Done && m_notifyFd >= 0 ? m_notifyName : QByteArray();
}

void ReadinessProbe::start(int timeoutSeconds)
{
    if (m_state != State::Idle)
        return;
    m_state = State::Waiting;
    m_elapsed.start();
    if (timeoutSeconds > 0)
        m_timeoutTimer.start(int(std::min(qint64(timeoutSeconds) * 1000, qint64(INT_MAX))));
    if (m_kind == Kind::Tcp || m_kind == Kind::Unix || m_kind == Kind::File)
        m_pollTimer.start();
    // A notification that came before the start counts.
    if (isOpen())
        finish(true);
}

void ReadinessProbe::stop()
{
    m_pollTimer.stop();
    m_timeoutTimer.stop();
    closeAttempts();
    m_lookUp.reset();
    if (m_notifyFd >= 0) {
        m_notifier.reset();
        ::close(m_notifyFd);
        m_notifyFd = -1;
    }
    if (m_state == State::Waiting)
        m_state = State::Done;
}

bool ReadinessProbe::lookNow()
{
    if (m_kind == Kind::Notify && m_notifyFd >= 0)
        readNotifications();
    return m_state == State::Waiting && isOpen();
}

void ReadinessProbe::checkOutput(const QByteArray& output)
{
    if (m_state != State::Waiting || m_kind != Kind::Log)
        return;
    // The text holds no line end, so a match lies within one line; the part
    // of a line that came with the last read is kept for one that spans two.
    const QByteArray text = m_tail + output;
    if (text.contains(m_text)) {
        m_notified = true;
        finish(true);
        return;
    }
    int lineStart = int(text.size());
    while (lineStart > 0 && text.at(lineStart - 1) != '\n' && text.at(lineStart - 1) != '\r')
        --lineStart;
    m_tail = text.mid(std::max(lineStart, int(text.size()) - int(m_text.size()) + 1));
}

void ReadinessProbe::onPoll()
{
    if (m_state == State::Waiting && isOpen())
        finish(true);
}

void ReadinessProbe::onNotifyReadable()
{
    readNotifications();
    if (m_notified && m_state == State::Waiting)
        finish(true);
}

void ReadinessProbe::readNotifications()
{
    char buffer[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        iovec data{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(m_notifyFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
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
                Trace::warning("Ignored a readiness notification from pid %d of user %d: not "
                               "from the process that waits (pid %lld), its process group or "
                               "its descendants",
                               int(sender.pid), int(sender.uid), m_instance);
            }
            continue;
        }
        const QList<QByteArray> lines = QByteArray(buffer, int(size)).split('\n');
        if (lines.contains(QByteArrayLiteral("READY=1")))
            m_notified = true;
    }
}

// The instance itself, which is the launcher's child until it is reaped, a
// process in its group, which no other session can join, or one whose parents
// lead to it. A sender that has ended cannot be placed, and does not count.
bool ReadinessProbe::isInstances(qint64 pid) const
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

bool ReadinessProbe::isOpen()
{
    switch (m_kind) {
    case Kind::Tcp:
    case Kind::Unix:
        return connectionSucceeds();
    case Kind::File:
        return QFileInfo::exists(m_target);
    case Kind::Log:
    case Kind::Notify:
        return m_notified;
    case Kind::Invalid:
        break;
    }
    return false;
}

// Connections are made without blocking: one that is under way is looked at
// again on the next poll.
bool ReadinessProbe::connectionSucceeds()
{
    if (!m_resolved) {
        m_resolved = true;
        resolve();
    }
    if (m_lookUp) {
        // Looked at again on the next poll; the wait's timeout runs meanwhile.
        if (!m_lookUp->isDone())
            return false;
        for (const HostLookUp::Endpoint& endpoint : m_lookUp->found())
            m_addresses.push_back({endpoint.address, endpoint.length, -1});
        m_lookUp.reset();
        if (m_addresses.empty())
            Trace::warning("Unable to look up '%s' for the readiness gate '%s'",
                           qUtf8Printable(m_target), qUtf8Printable(m_gate));
    }
    for (Address& address : m_addresses) {
        if (address.fd >= 0) {
            pollfd entry{address.fd, POLLOUT, 0};
            if (::poll(&entry, 1, 0) == 0)
                continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(address.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
            ::close(address.fd);
            address.fd = -1;
            if (error == 0)
                return true;
            continue; // tried anew on the next poll
        }
        address.fd =
            ::socket(address.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (address.fd < 0)
            continue;
        const int result = ::connect(
            address.fd, reinterpret_cast<const sockaddr*>(&address.address), address.length);
        if (result != 0 && errno == EINPROGRESS)
            continue;
        ::close(address.fd);
        address.fd = -1;
        if (result == 0)
            return true;
    }
    return false;
}

void ReadinessProbe::resolve()
{
    if (m_kind == Kind::Unix) {
        Address address;
        auto* unixAddress = reinterpret_cast<sockaddr_un*>(&address.address);
        unixAddress->sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(m_target);
        std::memcpy(unixAddress->sun_path, path.constData(), size_t(path.size()));
        if (path.startsWith('@'))
            unixAddress->sun_path[0] = '\0';
        // An abstract name is as long as it is, a path ends with its NUL.
        address.length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()) +
                                   (path.startsWith('@') ? 0 : 1));
        m_addresses.push_back(address);
        return;
    }
    // localhost is both loopback addresses, with no look-up; an address needs
    // none either; any other name is looked up once, when the wait begins.
    const bool local =
        m_target.isEmpty() || m_target.compare("localhost", Qt::CaseInsensitive) == 0;
    if (!local) {
        m_lookUp = std::make_unique<HostLookUp>(m_target.toUtf8(), m_port);
        return;
    }
    for (const char* host : {"127.0.0.1", "::1"}) {
        for (const HostLookUp::Endpoint& endpoint : HostLookUp(host, m_port).found())
            m_addresses.push_back({endpoint.address, endpoint.length, -1});
    }
}

void ReadinessProbe::closeAttempts()
{
    for (Address& address : m_addresses) {
        if (address.fd >= 0)
            ::close(address.fd);
        address.fd = -1;
    }
}

void ReadinessProbe::finish(bool isReady)
{
    stop();
    if (isReady)
        emit ready();
    else
        emit timedOut();
}
