#include "config/ProcessModeResult.h"

ProcessModeResult parseProcessMode(const QString& text)
{
    const QString lower = text.toLower();
    if (lower == QLatin1String("sync"))
        return {true, ProcessMode::Sync, QString()};
    if (lower == QLatin1String("async"))
        return {true, ProcessMode::Async, QString()};
    if (lower == QLatin1String("daemon"))
        return {true, ProcessMode::Daemon, QString()};
    return {false, ProcessMode::Daemon, QStringLiteral("Failed to parse '%1'").arg(text)};
}

QString processModeName(ProcessMode mode)
{
    switch (mode) {
    case ProcessMode::Sync:
        return QStringLiteral("sync");
    case ProcessMode::Async:
        return QStringLiteral("async");
    case ProcessMode::Daemon:
        break;
    }
    return QStringLiteral("daemon");
}
