#include "StopSignal.h"

#include <QtGlobal>

#include <csignal>

namespace {

// A service manager's stop comes from the system's (pid 1) or from the user's,
// whose pid it gives its services in $MANAGERPID.
bool isServiceManager(pid_t sender)
{
    static const qint64 userManager = qEnvironmentVariableIntValue("MANAGERPID");
    return sender == 1 || (sender > 1 && sender == userManager);
}

} // namespace

StopSignal::StopSignal(int number, pid_t sender)
    : m_number(number), m_fromServiceManager(number == SIGTERM && isServiceManager(sender))
{
}

QString StopSignal::name() const
{
    switch (m_number) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(m_number);
    }
}

QString StopSignal::cause() const
{
    if (m_number == SIGINT)
        return QStringLiteral("an interrupt");
    return m_fromServiceManager ? QStringLiteral("the service manager (%1)").arg(name()) : name();
}

QString StopSignal::heading() const
{
    if (m_number == SIGINT)
        return QStringLiteral("Interrupted");
    return m_fromServiceManager ? QStringLiteral("%1 from the service manager").arg(name())
                                : name();
}
