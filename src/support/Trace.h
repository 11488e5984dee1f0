#pragma once

#include <QByteArray>
#include <QLoggingCategory>

#include <functional>

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

    // Where the lines of the calling thread go instead of the message handler,
    // until it is reset with an empty one. A worker thread hands its lines to
    // the event loop's thread this way: message handlers (a console's, a
    // test's) expect to be called from that thread alone.
    using Sink = std::function<void(QtMsgType type, const QByteArray& text)>;
    static void setThreadSink(Sink sink);
    // Emits a line that a sink took, as info(), warning() or error() would have.
    static void emitLine(QtMsgType type, const QByteArray& text);
};

} // namespace Solvane
