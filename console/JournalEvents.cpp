#include "JournalEvents.h"

#include "ServiceNotifier.h"

#include <QByteArrayList>

#include <atomic>
#include <iterator>
#include <vector>

#include <sys/uio.h>
#include <unistd.h>

#ifdef LAUNCHER_HAVE_SYSTEMD
// The place in this file would be the same for every event.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#endif

using Solvane::TraceEvent;

namespace {

std::atomic<bool> s_native{false};

// Fixed for good: fleets' queries and alerts name them. By TraceEvent::Kind.
const char* const MessageIds[] = {
    "efdc18989ef8400e821cd1e0aa6da14a", // started
    "99d53834e4154cb892984b34875322cc", // finished
    "dd1dc249dd78416fb6b25c97eaa8f1cf", // failed
    "1a3d659bdd5c4f04bb3b6e67d71c0b81", // process crashed
    "53a10729452f47d2abf7b017ef12a8c9", // given up
    "65cd4c8ef2bd4a2c891920ab7738688c", // hung
    "2d85b38fa5c34eccb33b1fb67f84da9d", // memory cap
    "417c2891ff8c480f99c9435fcd383125", // stopped on request
};
static_assert(std::size(MessageIds) == int(TraceEvent::Kind::StoppedOnRequest) + 1,
              "a MESSAGE_ID for each kind of event");

} // namespace

namespace JournalEvents {

void setNative(bool native)
{
    s_native = native;
}

const char* messageId(TraceEvent::Kind kind)
{
    return MessageIds[int(kind)];
}

bool send(const TraceEvent& event, QtMsgType type, const QByteArray& message)
{
#ifdef LAUNCHER_HAVE_SYSTEMD
    if (!s_native.load(std::memory_order_relaxed) && !ServiceNotifier::isJournal(STDERR_FILENO))
        return false;
    // By QtMsgType: debug, warning, critical, fatal, info; as the stream's prefix.
    static const char Priorities[] = {'7', '4', '3', '2', '6'};
    QByteArrayList fields = {
        "MESSAGE=" + message,
        QByteArray("PRIORITY=") + (unsigned(type) < 5 ? Priorities[type] : '6'),
        QByteArray("MESSAGE_ID=") + messageId(event.kind),
        "LAUNCHER_APP=" + event.app.toUtf8(),
    };
    if (event.process >= 0)
        fields << "LAUNCHER_PROCESS=" + QByteArray::number(event.process)
               << "LAUNCHER_PROGRAM=" + event.program.toUtf8();
    if (event.pid > 0)
        fields << "LAUNCHER_PID=" + QByteArray::number(event.pid);
    if (event.exitCode >= 0)
        fields << "LAUNCHER_EXIT_CODE=" + QByteArray::number(event.exitCode);
    if (event.signal > 0)
        fields << "LAUNCHER_SIGNAL=" + QByteArray::number(event.signal);
    if (!event.reason.isEmpty())
        fields << "LAUNCHER_REASON=" + event.reason.toUtf8();
    std::vector<iovec> vectors;
    vectors.reserve(size_t(fields.size()));
    for (QByteArray& field : fields)
        vectors.push_back({field.data(), size_t(field.size())});
    return sd_journal_sendv(vectors.data(), int(vectors.size())) == 0;
#else
    Q_UNUSED(event)
    Q_UNUSED(type)
    Q_UNUSED(message)
    return false;
#endif
}

} // namespace JournalEvents
