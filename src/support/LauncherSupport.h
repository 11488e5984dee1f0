#pragma once

#include <QLatin1String>
#include <QMetaEnum>
#include <QString>

// Small helpers that the backend's classes share.
namespace LauncherSupport {

// The launcher's own process id, the pid of its own log lines.
int launcherPid();

// The key name of an enumeration value registered with the meta-object system
// ("NormalExit", "Running"), as printed in log lines.
template <typename Enum>
QString enumName(Enum value)
{
    return QLatin1String(QMetaEnum::fromType<Enum>().valueToKey(int(value)));
}

// Bytes for a person, in the largest unit they fill: "612 MiB", "1.5 MiB",
// "300 KiB", "20 bytes"; a tenth shown below ten of a unit, where it is not 0.
QString sizeText(qint64 bytes);

// What a system call's errno says, for messages.
QString errorText(int error);
// Permission bits as a person writes them: "0755", "1777".
QString modeText(uint mode);

} // namespace LauncherSupport
