#include "metrics/MetricsTextfile.h"

#include "support/TimeStamp.h"
#include "support/Trace.h"

#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

// The file's own families: when it was written and how often it is, so that
// a file that is no longer written can be told.
QByteArray writeFamilies(qint64 msecsSinceEpoch, int intervalSeconds)
{
    return QStringLiteral(
               "# HELP launcher_metrics_written_timestamp_seconds Unix time at which the "
               "launcher wrote this file, which it does every interval.\n"
               "# TYPE launcher_metrics_written_timestamp_seconds gauge\n"
               "launcher_metrics_written_timestamp_seconds %1.%2\n"
               "# HELP launcher_metrics_interval_seconds Seconds between two writes of this file.\n"
               "# TYPE launcher_metrics_interval_seconds gauge\n"
               "launcher_metrics_interval_seconds %3\n")
        .arg(msecsSinceEpoch / 1000)
        .arg(msecsSinceEpoch % 1000, 3, 10, QLatin1Char('0'))
        .arg(intervalSeconds)
        .toUtf8();
}

} // namespace

MetricsTextfile::MetricsTextfile(Source source, QObject* parent)
    : QObject(parent), m_source(std::move(source))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &MetricsTextfile::write);
}

// A stopped launcher's numbers would read as a live one's.
MetricsTextfile::~MetricsTextfile()
{
    removeFile();
}

void MetricsTextfile::configure(const QString& path, int intervalSeconds)
{
    // The key allows 1 s to a day, whose milliseconds a timer's int holds.
    const int intervalMs = std::max(intervalSeconds, 1) * 1000;
    // A reload looks at the folder again.
    const bool refused = std::exchange(m_refused, false);
    if (path == m_path && intervalMs == m_intervalMs && !refused)
        return;
    if (path != m_path) {
        removeFile();
        m_path = path;
        m_folder = SafeFolder();
        m_failing = false;
    }
    m_intervalMs = intervalMs;
    // Right away, not an interval later: until then the path may hold what a
    // killed launcher left. Commands that only read the files never run the
    // event loop, and so never write.
    if (!m_path.isEmpty())
        m_timer.start(0);
}

void MetricsTextfile::write()
{
    if (m_refused)
        return; // nothing more until a reload
    // An interval from the start of this write, however long it takes.
    m_timer.start(m_intervalMs);
    if (!openFolder())
        return;
    const QByteArray text =
        m_source() +
        writeFamilies(Solvane::TimeStamp::currentTime().msecsSinceEpoch(), m_intervalMs / 1000);
    // Readable by the collector, which runs as a user of its own. Not synced:
    // a file lost with the power is written again an interval later.
    QString problem;
    if (!m_folder.replace(m_name, text, 0644, problem)) {
        // Once, not every interval; the file left there goes stale.
        if (!std::exchange(m_failing, true))
            Solvane::Trace::warning("Metrics file '%s' cannot be written: %s",
                                    qUtf8Printable(m_path), qUtf8Printable(problem));
        return;
    }
    if (std::exchange(m_failing, false))
        Solvane::Trace::info("Metrics file '%s' is written again", qUtf8Printable(m_path));
    m_fileWritten = true;
}

void MetricsTextfile::removeFile()
{
    m_timer.stop();
    QString problem;
    if (m_fileWritten && !m_folder.remove(m_name, problem))
        Solvane::Trace::warning("Metrics file '%s' is left in place: %s", qUtf8Printable(m_path),
                                qUtf8Printable(problem));
    m_fileWritten = false;
}

bool MetricsTextfile::openFolder()
{
    // Opened once and written through while it is the folder at its path and
    // as safe as it was; one made anew in its place (a reinstalled
    // collector) is looked at again.
    if (m_folder.stillHolds())
        return true;
    const QFileInfo file(m_path);
    SafeFolder folder = SafeFolder::open(file.absolutePath());
    // What was written where the folder was is not left behind.
    QString ignored;
    if (!folder.isOpen() && std::exchange(m_fileWritten, false))
        m_folder.remove(m_name, ignored);
    m_name = file.fileName();
    m_folder = std::move(folder);
    if (m_folder.isOpen())
        return true;
    if (m_folder.isUnsafe()) {
        m_refused = true;
        m_timer.stop();
        Solvane::Trace::warning("Metrics file '%s' is not written: %s", qUtf8Printable(m_path),
                                qUtf8Printable(m_folder.problem()));
    } else if (!std::exchange(m_failing, true)) {
        // Missing, or no folder: it may come, and is looked for at every write.
        Solvane::Trace::warning("Metrics file '%s' cannot be written: %s", qUtf8Printable(m_path),
                                qUtf8Printable(m_folder.problem()));
    }
    return false;
}
