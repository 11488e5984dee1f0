#include "support/Version.h"

namespace LauncherSupport {

QString version()
{
    return QStringLiteral(LAUNCHER_VERSION);
}

} // namespace LauncherSupport
