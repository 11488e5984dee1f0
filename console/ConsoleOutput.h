#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

// Everything the console front end prints goes through here: its own lines,
// the pipeline's log lines and the backend's trace lines (both reach it as Qt
// messages once install() has run), and a status line that a terminal shows
// updated in place. Colour is used only on a terminal and never with NO_COLOR.
class ConsoleOutput
{
public:
    enum class Tone
    {
        Plain,
        Good,
        Notice,
        Bad
    };

    static ConsoleOutput& instance();

    // Routes Qt's message output (backend log and trace lines) to this object.
    void install();

    // A line of the front end's own report, on standard output.
    void print(const QString& line, Tone tone = Tone::Plain);
    // An error of the front end itself, on standard error, prefixed "launcher: ".
    void error(const QString& line);

    // A terminal shows the status in one line that each call replaces, until
    // other output or endStatus() leaves it where it stands; elsewhere every
    // status is a line of its own.
    void setStatus(const QString& status);
    void endStatus();

private:
    ConsoleOutput();

    // Turns a text quoted by QDebug back into the original text.
    static QString unquote(const QString& quoted);

    static void onMessage(QtMsgType type, const QMessageLogContext& context,
                          const QString& message);

    void writePipelineLine(const QString& line);
    void writeMessage(QtMsgType type, const char* category, const QString& message);
    void writeLine(FILE* stream, const QByteArray& line);
    QByteArray coloured(bool colour, const char* code, const QString& text) const;

    bool m_stdoutTerminal = false;
    bool m_colourOut = false;
    bool m_colourErr = false;
    bool m_statusShown = false;
};
