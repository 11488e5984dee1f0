#pragma once

#include "support/TraceEvent.h"

#include <QByteArray>
#include <QtGlobal>

// The launcher's events as native journal entries: the line's text and
// priority, and fields a fleet can query (LAUNCHER_APP, LAUNCHER_PROCESS...)
// with a fixed MESSAGE_ID for each kind of event (docs/service.md lists them).
// Sent when standard error is the journal's stream, or with logs/journal=native;
// in a build without libsystemd never.
namespace JournalEvents {

// logs/journal=native: send even when standard error is not the journal's stream.
void setNative(bool native);

// Sends the entry for a line that tells `event`; false when none was sent
// (not under the journal, no libsystemd, or the journal refused it), and
// the line goes to standard error as any other.
bool send(const Solvane::TraceEvent& event, QtMsgType type, const QByteArray& message);

// The MESSAGE_ID of a kind of event, 32 hex digits.
const char* messageId(Solvane::TraceEvent::Kind kind);

} // namespace JournalEvents
