#include "process/AliveProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const int LookUpPollMs = 100;
// The status line is all an answer needs; more is not kept.
const int MaxResponse = 4096;

} // namespace

AliveProbe::AliveProbe(const QString& check, const QString& folder, int intervalSeconds,
                       int timeoutSeconds, int failures)
    : m_check(ReadyGate::parseAlive(check)),
      m_intervalMs(int(std::min(qint64(std::max(intervalSeconds, 1)) * 1000, qint64(INT_MAX)))),
      m_timeoutSeconds(std::max(timeoutSeconds, 1)), m_failuresAllowed(std::max(failures, 1))
{
    const bool isPath =
        m_check.kind == ReadyGate::Kind::File ||
        (m_check.kind == ReadyGate::Kind::Unix && !m_check.target.startsWith(QLatin1Char('@')));
    if (isPath && QFileInfo(m_check.target).isRelative() && !folder.isEmpty())
        m_check.target = QDir(folder).absoluteFilePath(m_check.target);
    m_intervalTimer.setSingleShot(true);
    m_timeoutTimer.setSingleShot(true);
    m_lookUpTimer.setInterval(LookUpPollMs);
    connect(&m_intervalTimer, &QTimer::timeout, this, &AliveProbe::onCheckDue);
    connect(&m_timeoutTimer, &QTimer::timeout, this, [this] {
        finishCheck(false, QStringLiteral("timed out after %1 s").arg(m_timeoutSeconds));
    });
    connect(&m_lookUpTimer, &QTimer::timeout, this, &AliveProbe::onLookUpPoll);
}

AliveProbe::~AliveProbe()
{
    closeConnection();
}

void AliveProbe::start()
{
    stop();
    m_failures = 0;
    m_intervalTimer.start(m_intervalMs);
}

void AliveProbe::stop()
{
    m_intervalTimer.stop();
    m_timeoutTimer.stop();
    m_lookUpTimer.stop();
    closeConnection();
}

void AliveProbe::onCheckDue()
{
    m_timeoutTimer.start(int(std::min(qint64(m_timeoutSeconds) * 1000, qint64(INT_MAX))));
    m_lastError.clear();
    switch (m_check.kind) {
    case ReadyGate::Kind::File:
        return finishCheck(QFileInfo::exists(m_check.target), QStringLiteral("no such file"));
    case ReadyGate::Kind::Tcp:
    case ReadyGate::Kind::Http:
    case ReadyGate::Kind::Unix:
        break;
    default:
        return finishCheck(false, m_check.error);
    }
    if (!m_resolved) {
        m_resolved = true;
        if (m_check.kind == ReadyGate::Kind::Unix) {
            m_addresses.push_back(HostLookUp::localEndpoint(QFile::encodeName(m_check.target)));
        } else if (m_check.target.isEmpty() ||
                   m_check.target.compare("localhost", Qt::CaseInsensitive) == 0) {
            // Both loopback addresses, with no look-up.
            for (const char* host : {"127.0.0.1", "::1"}) {
                for (const HostLookUp::Endpoint& endpoint : HostLookUp(host, m_check.port).found())
                    m_addresses.push_back(endpoint);
            }
        } else {
            m_lookUp = std::make_unique<HostLookUp>(m_check.target.toUtf8(), m_check.port);
        }
    }
    onLookUpPoll();
}

void AliveProbe::onLookUpPoll()
{
    if (m_lookUp) {
        if (!m_lookUp->isDone()) {
            m_lookUpTimer.start();
            return;
        }
        m_lookUpTimer.stop();
        m_addresses = m_lookUp->found();
        m_lookUp.reset();
        // An unknown name is looked up anew at the next check.
        m_resolved = !m_addresses.empty();
    }
    m_lastError = QStringLiteral("the host is not known");
    tryAddress(0);
}

// The addresses in turn until one connects; the last refusal is the reason.
void AliveProbe::tryAddress(size_t index)
{
    closeConnection();
    for (m_addressIndex = index; m_addressIndex < m_addresses.size(); ++m_addressIndex) {
        const HostLookUp::Endpoint& endpoint = m_addresses[m_addressIndex];
        m_fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            m_lastError = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        const int result =
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length);
        if (result == 0)
            return connected();
        if (errno == EINPROGRESS) {
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
            connect(m_notifier.get(), &QSocketNotifier::activated, this, &AliveProbe::onWritable);
            return;
        }
        m_lastError = QString::fromLocal8Bit(std::strerror(errno));
        closeConnection();
    }
    finishCheck(false, m_lastError);
}

void AliveProbe::onWritable()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == 0)
        return connected();
    m_lastError = QString::fromLocal8Bit(std::strerror(error));
    tryAddress(m_addressIndex + 1);
}

void AliveProbe::connected()
{
    if (m_check.kind != ReadyGate::Kind::Http)
        return finishCheck(true, QString());
    dropNotifier();
    QString host = m_check.target.isEmpty() ? QStringLiteral("localhost") : m_check.target;
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const QByteArray request = "GET " + m_check.path.toUtf8() +
                               " HTTP/1.0\r\nHost: " + host.toUtf8() + ':' +
                               QByteArray::number(m_check.port) + "\r\nConnection: close\r\n\r\n";
    // A request this small fits any socket buffer that was just opened.
    if (::send(m_fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) !=
        ssize_t(request.size()))
        return finishCheck(false, QStringLiteral("the request could not be sent"));
    m_response.clear();
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &AliveProbe::onReadable);
}

// The status line decides: "HTTP/1.1 200 OK" is well, any other status is not.
void AliveProbe::onReadable()
{
    char buffer[1024];
    const ssize_t size = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (size < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (size > 0 && m_response.size() < MaxResponse) {
        m_response.append(buffer, int(size));
        if (!m_response.contains('\n'))
            return;
    }
    const QList<QByteArray> words =
        m_response.left(m_response.indexOf('\n')).simplified().split(' ');
    bool ok = false;
    const int status = words.value(1).toInt(&ok);
    if (!words.value(0).startsWith("HTTP/") || !ok)
        return finishCheck(false, size < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                           : QStringLiteral("no HTTP answer"));
    finishCheck(status >= 200 && status < 300, QStringLiteral("status %1").arg(status));
}

void AliveProbe::finishCheck(bool ok, const QString& why)
{
    m_timeoutTimer.stop();
    m_lookUpTimer.stop();
    closeConnection();
    m_lastResult = ok ? QStringLiteral("ok") : why;
    m_lastCheckedAt = QDateTime::currentDateTime();
    m_failures = ok ? 0 : m_failures + 1;
    emit checked();
    if (m_failures < m_failuresAllowed) {
        m_intervalTimer.start(m_intervalMs);
        return;
    }
    const QString times = m_failures == 1 ? QStringLiteral("once")
                                          : QStringLiteral("%1 times in a row").arg(m_failures);
    emit failed(QStringLiteral("%1 failed %2 (%3)").arg(m_check.words(), times, why));
}

// The notifier may be the one whose signal runs now: it goes from the event loop.
void AliveProbe::dropNotifier()
{
    if (QSocketNotifier* notifier = m_notifier.release()) {
        notifier->setEnabled(false);
        notifier->setParent(this);
        notifier->deleteLater();
    }
}

void AliveProbe::closeConnection()
{
    dropNotifier();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
