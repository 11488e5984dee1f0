#pragma once

#include <QString>
#include <QStringList>

namespace LauncherSupport {

// The last `lines` lines of a text file in UTF-8, read from its last
// `maxBytes` bytes only: a line cut by the start of those is left out. Empty
// when the file cannot be read or `lines` is not positive.
QStringList lastLines(const QString& path, int lines, qint64 maxBytes);

} // namespace LauncherSupport
