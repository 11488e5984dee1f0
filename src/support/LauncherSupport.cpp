#include "support/LauncherSupport.h"

#include <QCoreApplication>

namespace LauncherSupport {

int launcherPid()
{
    return int(QCoreApplication::applicationPid());
}

} // namespace LauncherSupport
