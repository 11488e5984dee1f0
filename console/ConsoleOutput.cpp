#include "ConsoleOutput.h"

#include <QByteArray>

#include <cstring>

#include <unistd.h>

namespace {

const char* const TraceCategory = "solvane.trace";

const char* const Reset = "\033[0m";
const char* const Dim = "\033[2m";
const char* const Green = "\033[32m";
const char* const Yellow = "\033[33m";
const char* const Red = "\033[1;31m";
const char* const Cyan = "\033[36m";
const char* const ClearLine = "\r\033[K";

bool colourWanted(int fd)
{
    if (!::isatty(fd))
        return false;
    if (!qEnvironmentVariableIsEmpty("NO_COLOR"))
        return false;
    return qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Reads `count` hex digits at p; false when there are fewer.
bool readHex(const QChar* p, const QChar* end, int count, uint& value)
{
    if (end - p < count)
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const int digit = hexValue(p[i]);
        if (digit < 0)
            return false;
        value = value * 16 + uint(digit);
    }
    return true;
}

} // namespace

ConsoleOutput::ConsoleOutput()
    : m_stdoutTerminal(::isatty(STDOUT_FILENO)), m_colourOut(colourWanted(STDOUT_FILENO)),
      m_colourErr(colourWanted(STDERR_FILENO))
{
}

ConsoleOutput& ConsoleOutput::instance()
{
    static ConsoleOutput output;
    return output;
}

void ConsoleOutput::install()
{
    qInstallMessageHandler(&ConsoleOutput::onMessage);
}

void ConsoleOutput::print(const QString& line, Tone tone)
{
    switch (tone) {
    case Tone::Plain:
        writeLine(stdout, line.toUtf8());
        break;
    case Tone::Good:
        writeLine(stdout, coloured(m_colourOut, Green, line));
        break;
    case Tone::Notice:
        writeLine(stdout, coloured(m_colourOut, Yellow, line));
        break;
    case Tone::Bad:
        writeLine(stdout, coloured(m_colourOut, Red, line));
        break;
    }
}

void ConsoleOutput::error(const QString& line)
{
    writeLine(stderr, coloured(m_colourErr, Red, QStringLiteral("launcher: ")) + line.toUtf8());
}

void ConsoleOutput::setStatus(const QString& status)
{
    if (!m_stdoutTerminal) {
        writeLine(stdout, status.toUtf8());
        return;
    }
    const QByteArray text = coloured(m_colourOut, Cyan, status);
    std::fputs(m_statusShown ? ClearLine : "", stdout);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    m_statusShown = true;
}

void ConsoleOutput::endStatus()
{
    if (!m_statusShown)
        return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
    m_statusShown = false;
}

QString ConsoleOutput::unquote(const QString& quoted)
{
    QString text;
    text.reserve(quoted.size());
    const QChar* p = quoted.constData() + 1;
    const QChar* const end = quoted.constData() + quoted.size() - 1;
    while (p < end) {
        if (*p != QLatin1Char('\\') || p + 1 == end) {
            text.append(*p++);
            continue;
        }
        const QChar escaped = p[1];
        p += 2;
        uint code = 0;
        switch (escaped.unicode()) {
        case 'n':
            text.append(QLatin1Char('\n'));
            break;
        case 'r':
            text.append(QLatin1Char('\r'));
            break;
        case 't':
            text.append(QLatin1Char('\t'));
            break;
        case 'b':
            text.append(QLatin1Char('\b'));
            break;
        case 'f':
            text.append(QLatin1Char('\f'));
            break;
        case 'u':
            if (readHex(p, end, 4, code)) {
                text.append(QChar(ushort(code)));
                p += 4;
            } else {
                text.append(QLatin1String("\\u"));
            }
            break;
        case 'U':
            if (readHex(p, end, 8, code) && code <= 0x10FFFF) {
                if (QChar::requiresSurrogates(code)) {
                    text.append(QChar(QChar::highSurrogate(code)));
                    text.append(QChar(QChar::lowSurrogate(code)));
                } else {
                    text.append(QChar(ushort(code)));
                }
                p += 8;
            } else {
                text.append(QLatin1String("\\U"));
            }
            break;
        default: // \" and \\ stand for themselves
            text.append(escaped);
            break;
        }
    }
    return text;
}

void ConsoleOutput::onMessage(QtMsgType type, const QMessageLogContext& context,
                              const QString& message)
{
    ConsoleOutput& output = instance();
    const char* category = context.category ? context.category : "default";
    // The pipeline log hands every line to qInfo() as a QString, which QDebug
    // puts in quotes with escapes; anything else is a message of its own.
    if (type == QtInfoMsg && std::strcmp(category, "default") == 0) {
        if (message.size() >= 2 && message.startsWith(QLatin1Char('"')) &&
            message.endsWith(QLatin1Char('"')))
            output.writePipelineLine(unquote(message));
        else
            output.writePipelineLine(message);
        return;
    }
    output.writeMessage(type, category, message);
}

void ConsoleOutput::writePipelineLine(const QString& line)
{
    // "[ pid ] text": the process id is dimmed on a terminal.
    if (m_colourOut && line.startsWith(QLatin1String("[ "))) {
        const int close = line.indexOf(QLatin1String(" ] "));
        if (close > 0) {
            writeLine(stdout,
                      coloured(true, Dim, line.left(close + 2)) + line.mid(close + 2).toUtf8());
            return;
        }
    }
    writeLine(stdout, line.toUtf8());
}

void ConsoleOutput::writeMessage(QtMsgType type, const char* category, const QString& message)
{
    const char* label = "info";
    const char* colour = Cyan;
    switch (type) {
    case QtDebugMsg:
        label = "debug";
        colour = Dim;
        break;
    case QtInfoMsg:
        break;
    case QtWarningMsg:
        label = "warning";
        colour = Yellow;
        break;
    case QtCriticalMsg:
        label = "error";
        colour = Red;
        break;
    case QtFatalMsg:
        label = "fatal";
        colour = Red;
        break;
    }
    QByteArray line = coloured(m_colourErr, colour, QString::fromLatin1(label) + QLatin1Char(':'));
    line += ' ';
    // Trace lines are the backend's; other categories (Qt's own) are named.
    if (std::strcmp(category, TraceCategory) != 0 && std::strcmp(category, "default") != 0)
        line += QByteArray(category) + ": ";
    line += message.toUtf8();
    writeLine(stderr, line);
}

void ConsoleOutput::writeLine(FILE* stream, const QByteArray& line)
{
    // Other output ends the status line where it stands; the next status
    // starts a line of its own below.
    endStatus();
    std::fwrite(line.constData(), 1, size_t(line.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QByteArray ConsoleOutput::coloured(bool colour, const char* code, const QString& text) const
{
    if (!colour)
        return text.toUtf8();
    return QByteArray(code) + text.toUtf8() + Reset;
}
