#include "support/Trace.h"

#include <QByteArray>

#include <cstdarg>
#include <cstdio>

namespace Solvane {

namespace {

Q_LOGGING_CATEGORY(lcTrace, "solvane.trace")

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
    qCInfo(lcTrace, "%s", text.constData());
}

void Trace::warning(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const QByteArray text = formatMessage(format, args);
    va_end(args);
    qCWarning(lcTrace, "%s", text.constData());
}

void Trace::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const QByteArray text = formatMessage(format, args);
    va_end(args);
    qCCritical(lcTrace, "%s", text.constData());
}

const QLoggingCategory& Trace::category()
{
    return lcTrace();
}

} // namespace Solvane
