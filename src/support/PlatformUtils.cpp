#include "support/PlatformUtils.h"

#include <QDir>

namespace Solvane {

QString PlatformUtils::windowsProgramDataPath()
{
    const QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    for (const QString& entry : dirs.split(QLatin1Char(':'))) {
        if (!entry.isEmpty())
            return entry;
    }
    return QStringLiteral("/etc/xdg");
}

QString PlatformUtils::getModuleUserDataPath(const char* module, bool flag)
{
    Q_UNUSED(flag)
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return QStringLiteral("%1/%2").arg(base, QString::fromUtf8(module));
}

} // namespace Solvane
