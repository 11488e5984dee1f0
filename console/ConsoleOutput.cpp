#include "ConsoleOutput.h"

#include <QByteArray>

#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

const char* const Reset = "\033[0m";
const char* const Cyan = "\033[36m";
const char* const Red = "\033[1;31m";
// By Tone, and by QtMsgType (debug, warning, critical, fatal, info).
const char* const ToneColours[] = {"", "\033[32m", "\033[33m", Red};
const char* const LevelColours[] = {"\033[2m", "\033[33m", Red, Red, Cyan};
const char* const LevelLabels[] = {"debug:", "warning:", "error:", "fatal:", "info:"};

bool colourWanted(int fd)
{
    return ::isatty(fd) && qEnvironmentVariableIsEmpty("NO_COLOR") &&
           qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

const bool s_stdoutTerminal = ::isatty(STDOUT_FILENO);
const bool s_colourOut = colourWanted(STDOUT_FILENO);
const bool s_colourErr = colourWanted(STDERR_FILENO);
bool s_statusShown = false;

QByteArray coloured(bool colour, const char* code, const QString& text)
{
    return colour && *code ? code + text.toUtf8() + Reset : text.toUtf8();
}

void writeLine(FILE* stream, const QByteArray& line)
{
    // Other output ends the status line where it stands.
    ConsoleOutput::endStatus();
    std::fwrite(line.constData(), 1, size_t(line.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const char* category = context.category ? context.category : "default";
    const bool plain = std::strcmp(category, "default") == 0;
    if (type == QtInfoMsg && plain) {
        // The pipeline log's lines, as they stand in the file.
        writeLine(stdout, message.toUtf8());
        return;
    }
    QByteArray line =
        coloured(s_colourErr, LevelColours[type], QLatin1String(LevelLabels[type])) + ' ';
    // Trace lines are the backend's; other categories (Qt's own) are named.
    if (!plain && std::strcmp(category, "solvane.trace") != 0)
        line += QByteArray(category) + ": ";
    writeLine(stderr, line + message.toUtf8());
}

} // namespace

namespace ConsoleOutput {

void install()
{
    qInstallMessageHandler(&onMessage);
}

void print(const QString& line, Tone tone)
{
    writeLine(stdout, coloured(s_colourOut, ToneColours[int(tone)], line));
}

void error(const QString& line)
{
    writeLine(stderr, coloured(s_colourErr, Red, QStringLiteral("launcher: ")) + line.toUtf8());
}

void setStatus(const QString& status)
{
    if (!s_stdoutTerminal) {
        writeLine(stdout, status.toUtf8());
        return;
    }
    const QByteArray text = (s_statusShown ? "\r\033[K" : "") + coloured(s_colourOut, Cyan, status);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    s_statusShown = true;
}

void endStatus()
{
    if (!s_statusShown)
        return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
    s_statusShown = false;
}

} // namespace ConsoleOutput
