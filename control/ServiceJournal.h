#pragma once

#include "support/TraceEvent.h"

#include <QString>
#include <QtGlobal>

class Backend;

// What a service's journal gets, the same from every front end (the console,
// the screen). When a stream of the program is the journal's
// ($JOURNAL_STREAM), its lines carry their priority, and the journal keeps to
// the launcher's own: an application's lines go to its log file only (so a
// chatty one neither fills the journal nor gets the launcher's lines
// suppressed by its rate limit), unless logs/journal=all or no log file keeps
// them. The launcher's events go as native entries with fields a fleet can
// query (LAUNCHER_APP, LAUNCHER_PROCESS..., a fixed MESSAGE_ID for each kind;
// docs/service.md lists them), in place of their line on a stream that is the
// journal's; with logs/journal=native also when none is. In a build without
// libsystemd no native entry is sent.
namespace ServiceJournal {

// From now on, what the journal gets follows the backend's logs/journal, at
// each load and reload, and whether its running pipeline has a log file.
void follow(Backend& backend);

// What becomes of a message that a front end would write to `fd` (its
// standard output or error).
enum class Route
{
    Line,    // written, after prefix()
    Sent,    // a native entry took the place of its line in the journal
    Dropped, // an application's line that the journal does not get
};
// Called once for each message: it takes the event the message tells
// (Trace::takeEvent()) and sends its entry.
Route route(QtMsgType type, const QMessageLogContext& context, const QString& message, int fd);

// Whether the running pipeline's log file has its lines: one that could not
// be opened has none.
bool logKept();

// Whether fd (standard output or error) is the journal's stream.
bool isJournal(int fd);
// The priority prefix ("<4>") that the journal reads at the start of a line,
// when fd is the journal's stream; otherwise "".
const char* prefix(int fd, QtMsgType type);

// The MESSAGE_ID of a kind of event, 32 hex digits.
const char* messageId(Solvane::TraceEvent::Kind kind);

} // namespace ServiceJournal
