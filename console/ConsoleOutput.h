#pragma once

#include <QByteArray>
#include <QString>

// Everything the console front end prints goes through here: its own lines,
// the pipeline's log lines and the backend's trace lines (both reach it as Qt
// messages once install() has run), and a status line that a terminal shows
// updated in place. Colour is used only on a terminal and never with NO_COLOR.
//
// While a pipeline may run nothing here blocks: a thread of its own writes the
// lines, a reader that falls more than a mebibyte behind loses lines (a note
// says how many once it is back, and whether the log file has them), and a
// stream whose reader has gone is no longer written. At exit what is queued
// gets at most a second. A report holds no pipeline: after waitForReader()
// every byte waits for its reader, at exit too.
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

// From now on output waits for a slow reader instead of being dropped: for
// reports (list, check, status, logs), which hold no pipeline.
void waitForReader();

// Whether a person at a terminal reads the output and can interrupt: hints
// such as "Ctrl+C to cancel" are for them only.
bool personAtTerminal();

// A line of the front end's own report, on standard output.
void print(const QString& line, Tone tone = Tone::Plain);
// Text as it stands, on standard output.
void write(const QByteArray& text);
// An error of the front end itself, on standard error, prefixed "launcher: ".
void error(const QString& line);

// A terminal shows the status in one line that each call replaces, until other
// output or endStatus() leaves it where it stands; elsewhere every status is a
// line of its own.
void setStatus(const QString& status);
void endStatus();

} // namespace ConsoleOutput
