#include "support/LauncherSupport.h"

#include <cstring>

#include <QCoreApplication>

namespace LauncherSupport {

int launcherPid()
{
    return int(QCoreApplication::applicationPid());
}

QString sizeText(qint64 bytes)
{
    static const char* const Units[] = {"GiB", "MiB", "KiB"};
    for (int i = 0; i < 3; ++i) {
        const qint64 unit = qint64(1) << (10 * (3 - i));
        if (bytes < unit)
            continue;
        const qint64 tenths = bytes * 10 / unit;
        const QString number = tenths >= 100 || tenths % 10 == 0
                                   ? QString::number(tenths / 10)
                                   : QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
        return number + QLatin1Char(' ') + QLatin1String(Units[i]);
    }
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString modeText(uint mode)
{
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
}

} // namespace LauncherSupport
