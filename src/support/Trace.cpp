#include "support/Trace.h"

#include <QByteArray>

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace Solvane {

namespace {

Q_LOGGING_CATEGORY(lcTrace, "solvane.trace")

thread_local Trace::Sink t_sink;
thread_local const TraceEvent* t_event = nullptr;

// Formats without a length limit: measure first, then print into a buffer of that size.
QByteArray formatMessage(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0)
        return QByteArray();
    QByteArray text(length, Qt::Uninitialized);
    std::vsnprintf(text.data(), static_cast<size_t>(length) + 1, format, args);
    return text;
}

} // namespace

void Trace::info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const QByteArray text = formatMessage(format, args);
    va_end(args);
    if (t_sink)
        t_sink(QtInfoMsg, text);
    else
        qCInfo(lcTrace, "%s", text.constData());
}

void Trace::warning(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const QByteArray text = formatMessage(format, args);
    va_end(args);
    if (t_sink)
        t_sink(QtWarningMsg, text);
    else
        qCWarning(lcTrace, "%s", text.constData());
}

void Trace::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const QByteArray text = formatMessage(format, args);
    va_end(args);
    if (t_sink)
        t_sink(QtCriticalMsg, text);
    else
        qCCritical(lcTrace, "%s", text.constData());
}

void Trace::setThreadSink(Sink sink)
{
    t_sink = std::move(sink);
}

void Trace::emitLine(QtMsgType type, const QByteArray& text)
{
    switch (type) {
    case QtWarningMsg:
        qCWarning(lcTrace, "%s", text.constData());
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        qCCritical(lcTrace, "%s", text.constData());
        break;
    default:
        qCInfo(lcTrace, "%s", text.constData());
        break;
    }
}

Trace::EventScope::EventScope(TraceEvent event) : m_event(std::move(event)), m_outer(t_event)
{
    t_event = &m_event;
}

Trace::EventScope::~EventScope()
{
    t_event = m_outer;
}

const TraceEvent* Trace::takeEvent()
{
    return std::exchange(t_event, nullptr);
}

const QLoggingCategory& Trace::category()
{
    return lcTrace();
}

} // namespace Solvane
