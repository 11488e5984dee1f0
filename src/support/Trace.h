#pragma once

#include <QLoggingCategory>

namespace Solvane {

// Diagnostic lines of the launcher. Each call emits one message through Qt's
// message handler under the category "solvane.trace", so a front end or a test
// can capture it (qInstallMessageHandler) or filter it (QT_LOGGING_RULES).
class Trace
{
public:
    static void info(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(1, 2);
    static void warning(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(1, 2);
    static void error(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(1, 2);

    static const QLoggingCategory& category();
};

} // namespace Solvane
