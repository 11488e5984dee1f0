#include "config/ReadyGate.h"

#include <QFile>
#include <QStringList>

#include <sys/un.h>

namespace {

// HOST:PORT with the port checked; the host may be an IPv6 address in brackets.
void parseHostPort(ReadyGate& gate, const QString& kind)
{
    const int portColon = gate.target.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = gate.target.mid(portColon + 1).toUInt(&ok, 10);
    gate.port = quint16(port);
    const bool hostGiven = portColon >= 0;
    gate.target = hostGiven ? gate.target.left(portColon) : QString();
    if (gate.target.startsWith(QLatin1Char('[')) && gate.target.endsWith(QLatin1Char(']')))
        gate.target = gate.target.mid(1, gate.target.size() - 2);
    if (!ok || port < 1 || port > 65535)
        gate.error = QStringLiteral("the port must be a number from 1 to 65535");
    // "tcp::80" most likely lost its host; tcp:80 means localhost.
    else if (hostGiven && gate.target.isEmpty())
        gate.error = QStringLiteral("the host before the port is empty; write %1:%2 for "
                                    "localhost")
                         .arg(kind)
                         .arg(port);
}

} // namespace

ReadyGate ReadyGate::parseAlive(const QString& text)
{
    const QString scheme = QStringLiteral("http://");
    if (!text.startsWith(scheme, Qt::CaseInsensitive)) {
        ReadyGate gate = parse(text);
        if (gate.kind == Kind::Log || gate.kind == Kind::Notify) {
            gate.error = QStringLiteral("%1 says something once, so it cannot be checked again "
                                        "and again")
                             .arg(gate.kind == Kind::Log ? QStringLiteral("log:")
                                                         : QStringLiteral("notify"));
            gate.kind = Kind::Invalid;
        } else if (gate.kind == Kind::Invalid && gate.error.startsWith(QLatin1String("expected"))) {
            gate.error = QStringLiteral("expected tcp:[HOST:]PORT, unix:PATH, file:PATH or "
                                        "http://HOST:PORT/PATH");
        }
        return gate;
    }
    ReadyGate gate;
    gate.kind = Kind::Http;
    const QString rest = text.mid(scheme.size());
    const int slash = rest.indexOf(QLatin1Char('/'));
    gate.target = slash < 0 ? rest : rest.left(slash);
    gate.path = slash < 0 ? QStringLiteral("/") : rest.mid(slash);
    const int closing = gate.target.lastIndexOf(QLatin1Char(']'));
    if (gate.target.isEmpty())
        gate.error = QStringLiteral("no host follows 'http://'");
    else if (gate.target.lastIndexOf(QLatin1Char(':')) <= closing)
        gate.error = QStringLiteral("the port is missing: write http://HOST:PORT/PATH");
    else if (gate.path.contains(QLatin1Char(' ')) || gate.path.contains(QLatin1Char('\r')) ||
             gate.path.contains(QLatin1Char('\n')))
        gate.error = QStringLiteral("the path holds a blank or a line end");
    else
        parseHostPort(gate, QStringLiteral("http://localhost"));
    if (!gate.error.isEmpty())
        gate.kind = Kind::Invalid;
    return gate;
}

ReadyGate ReadyGate::parse(const QString& text)
{
    ReadyGate gate;
    const int colon = text.indexOf(QLatin1Char(':'));
    const QString kind = (colon < 0 ? text : text.left(colon)).toLower();
    gate.target = colon < 0 ? QString() : text.mid(colon + 1);
    if (kind == QLatin1String("notify") && colon < 0) {
        gate.kind = Kind::Notify;
        return gate;
    }
    static const QStringList kinds{"tcp", "unix", "file", "log"};
    const int known = kinds.indexOf(kind);
    if (colon < 0 || known < 0) {
        gate.error = QStringLiteral("expected tcp:[HOST:]PORT, unix:PATH, file:PATH, log:TEXT "
                                    "or notify");
        return gate;
    }
    if (gate.target.isEmpty()) {
        gate.error = QStringLiteral("nothing follows '%1:'").arg(text.left(colon));
        return gate;
    }
    gate.kind = Kind(known + 1);
    if (gate.kind == Kind::Tcp) {
        parseHostPort(gate, QStringLiteral("tcp"));
    } else if (gate.kind == Kind::Unix &&
               QFile::encodeName(gate.target).size() >= int(sizeof(sockaddr_un::sun_path))) {
        // The kernel takes no longer address: no connection could ever succeed.
        gate.error = QStringLiteral("the socket path is longer than %1 bytes")
                         .arg(sizeof(sockaddr_un::sun_path) - 1);
    }
    if (!gate.error.isEmpty())
        gate.kind = Kind::Invalid;
    return gate;
}

QString ReadyGate::words() const
{
    switch (kind) {
    case Kind::Invalid:
        break;
    case Kind::Tcp: {
        const QString host = target.isEmpty() ? QStringLiteral("localhost") : target;
        return QStringLiteral("tcp %1:%2")
            .arg(host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host)
            .arg(port);
    }
    case Kind::Unix:
        return QStringLiteral("unix %1").arg(target);
    case Kind::File:
        return QStringLiteral("file %1").arg(target);
    case Kind::Log:
        return QStringLiteral("log '%1'").arg(target);
    case Kind::Notify:
        return QStringLiteral("notify");
    case Kind::Http: {
        const QString host = target.isEmpty() ? QStringLiteral("localhost") : target;
        return QStringLiteral("http %1:%2%3")
            .arg(host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host)
            .arg(port)
            .arg(path);
    }
    }
    return error;
}
