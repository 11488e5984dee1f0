#include "process/ReadinessProbe.h"

#include "config/ReadyGate.h"
#include "process/HostLookUp.h"
#include "process/NotifySocket.h"
#include "support/Trace.h"

#include <QDir>
#include <QFileInfo>

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
}

ReadinessProbe::~ReadinessProbe()
{
    stop();
}

QString ReadinessProbe::gateError(const QString& gate)
{
    return ReadyGate::parse(gate).error;
}

void ReadinessProbe::watchNotifications(NotifySocket* socket)
{
    m_notifySocket = socket;
    connect(socket, &NotifySocket::readyNotified, this, &ReadinessProbe::onReadyNotified);
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
    if (m_notifySocket)
        m_notifySocket->disconnect(this);
    m_notifySocket = nullptr;
    if (m_state == State::Waiting)
        m_state = State::Done;
}

bool ReadinessProbe::lookNow()
{
    if (m_notifySocket) {
        m_lookingNow = true;
        m_notifySocket->readPending();
        m_lookingNow = false;
    }
    return m_state == State::Waiting && isOpen();
}

void ReadinessProbe::checkOutput(const QByteArray& output)
{
    // Output that comes before the wait begins (a child may write before its
    // start is reported) counts at its start, as a notification does.
    if (m_state == State::Done || m_kind != Kind::Log || m_notified)
        return;
    // The text holds no line end, so a match lies within one line; the part
    // of a line that came with the last read is kept for one that spans two.
    const QByteArray text = m_tail + output;
    if (text.contains(m_text)) {
        m_notified = true;
        m_tail.clear();
        if (m_state == State::Waiting)
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

// A notification that comes before the wait begins counts at its start.
void ReadinessProbe::onReadyNotified()
{
    m_notified = true;
    if (m_state == State::Waiting && !m_lookingNow)
        finish(true);
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
    case Kind::Http: // no gate: alive= checks only
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
        const HostLookUp::Endpoint endpoint =
            HostLookUp::localEndpoint(QFile::encodeName(m_target));
        m_addresses.push_back({endpoint.address, endpoint.length, -1});
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
