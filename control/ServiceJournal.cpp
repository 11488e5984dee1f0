#include "ServiceJournal.h"

#include "Backend.h"
#include "support/Trace.h"

#include <QByteArrayList>
#include <QList>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifdef LAUNCHER_HAVE_SYSTEMD
// The place in this file would be the same for every event.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#endif

using Solvane::TraceEvent;

namespace {

std::atomic<bool> s_all{false};
std::atomic<bool> s_native{false};
// Asked on the event loop's thread, where the pipeline's lines are handled.
std::function<bool()> s_logKept;

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

bool isJournalStream(int fd)
{
    // "device:inode" of the stream that the service manager connected to the journal.
    const QList<QByteArray> parts = qgetenv("JOURNAL_STREAM").split(':');
    struct stat status = {};
    if (parts.size() != 2 || ::fstat(fd, &status) != 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = parts[0].toULongLong(&deviceOk);
    const qulonglong inode = parts[1].toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == status.st_dev && inode == status.st_ino;
}

// The journal's priority of a message, by QtMsgType: debug, warning,
// critical, fatal, info.
char priority(QtMsgType type)
{
    static const char Priorities[] = {'7', '4', '3', '2', '6'};
    return unsigned(type) < sizeof Priorities ? Priorities[type] : '6';
}

// Sends the entry for a line that tells `event`; false when none was sent
// (no journal is asked for, no libsystemd, or the journal refused it).
bool send(const TraceEvent& event, QtMsgType type, const QByteArray& message)
{
#ifdef LAUNCHER_HAVE_SYSTEMD
    if (!s_native.load(std::memory_order_relaxed) && !ServiceJournal::isJournal(STDERR_FILENO))
        return false;
    QByteArrayList fields = {
        "MESSAGE=" + message,
        QByteArray("PRIORITY=") + priority(type),
        QByteArray("MESSAGE_ID=") + ServiceJournal::messageId(event.kind),
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

} // namespace

namespace ServiceJournal {

void follow(Backend& backend)
{
    const auto apply = [&backend] {
        s_all = backend.journalGetsAll();
        s_native = backend.journalNative();
    };
    apply();
    QObject::connect(&backend, &Backend::settingsChanged, &backend, apply);
    s_logKept = [controller = backend.pipelineController()] {
        return !controller->logFilePath().isEmpty();
    };
    // Lines that come after the backend has gone have no log file to ask.
    QObject::connect(&backend, &QObject::destroyed, [] { s_logKept = nullptr; });
}

Route route(QtMsgType type, const QMessageLogContext& context, const QString& message, int fd)
{
    if (const TraceEvent* event = Solvane::Trace::takeEvent()) {
        if (send(*event, type, message.toUtf8()) && isJournal(fd))
            return Route::Sent;
    }
    const bool application =
        context.function && std::strcmp(context.function, PipelineController::ChildOutput) == 0;
    if (application && isJournal(fd) && !s_all.load(std::memory_order_relaxed) && logKept())
        return Route::Dropped;
    return Route::Line;
}

bool logKept()
{
    return s_logKept && s_logKept();
}

bool isJournal(int fd)
{
    static const bool journalOut = isJournalStream(STDOUT_FILENO);
    static const bool journalErr = isJournalStream(STDERR_FILENO);
    return fd == STDOUT_FILENO ? journalOut : fd == STDERR_FILENO && journalErr;
}

const char* prefix(int fd, QtMsgType type)
{
    // "<N>" for each priority, made once.
    static const auto prefixes = [] {
        std::array<std::array<char, 4>, 5> all{};
        for (int t = 0; t < 5; ++t)
            all[size_t(t)] = {'<', priority(QtMsgType(t)), '>', '\0'};
        return all;
    }();
    return isJournal(fd) && unsigned(type) < 5 ? prefixes[type].data() : "";
}

const char* messageId(TraceEvent::Kind kind)
{
    return MessageIds[int(kind)];
}

} // namespace ServiceJournal
