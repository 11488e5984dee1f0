#include "support/FileTail.h"

#include <QFile>

#include <algorithm>

namespace LauncherSupport {

QStringList lastLines(const QString& path, int lines, qint64 maxBytes)
{
    if (path.isEmpty() || lines <= 0)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 from = std::max<qint64>(0, file.size() - maxBytes);
    if (!file.seek(from))
        return {};
    QByteArray bytes = file.read(maxBytes);
    if (from > 0) {
        const int newline = bytes.indexOf('\n');
        bytes = newline < 0 ? QByteArray() : bytes.mid(newline + 1);
    }
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    if (bytes.isEmpty())
        return {};
    QStringList all = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    if (all.size() > lines)
        all.erase(all.begin(), all.end() - lines);
    return all;
}

} // namespace LauncherSupport
