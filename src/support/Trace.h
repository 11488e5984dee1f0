#pragma once

#include <QByteArray>
#include <QLoggingCategory>

#include "support/TraceEvent.h"

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

    // While it lives, the next line that this thread emits (a trace line or a
    // log line of the launcher's own) tells `event`: a message handler takes
    // it with takeEvent(). One line at most, so that the lines around an
    // event are not mistaken for it.
    class EventScope
    {
    public:
        explicit EventScope(TraceEvent event);
        ~EventScope();
        Q_DISABLE_COPY(EventScope)

    private:
        const TraceEvent m_event; // a copy: the caller's may be a temporary
        const TraceEvent* m_outer;
    };
    // The event that the line being handled tells, or nullptr; once.
    static const TraceEvent* takeEvent();
};

} // namespace Solvane
