#pragma once

#include <QString>

// Everything the console front end prints goes through here: its own lines,
// the pipeline's log lines and the backend's trace lines (both reach it as Qt
// messages once install() has run), and a status line that a terminal shows
// updated in place. Colour is used only on a terminal and never with NO_COLOR.
namespace ConsoleOutput {

enum class Tone
{
    Plain,
    Good,
    Notice,
    Bad
};

// Routes Qt's message output (backend log and trace lines) here.
void install();

// A line of the front end's own report, on standard output.
void print(const QString& line, Tone tone = Tone::Plain);
// An error of the front end itself, on standard error, prefixed "launcher: ".
void error(const QString& line);

// A terminal shows the status in one line that each call replaces, until other
// output or endStatus() leaves it where it stands; elsewhere every status is a
// line of its own.
void setStatus(const QString& status);
void endStatus();

} // namespace ConsoleOutput
