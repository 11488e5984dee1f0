#include "metrics/MetricsTextfile.h"

#include "support/TimeStamp.h"
#include "support/Trace.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>

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
    // A day at most: a timer counts its milliseconds in an int.
    const int intervalMs = std::clamp(intervalSeconds, 1, 24 * 3600) * 1000;
    // A reload looks at the folder again.
    const bool refused = std::exchange(m_refused, false);
    if (path == m_path && intervalMs == m_intervalMs && !refused)
        return;
    if (path != m_path) {
        removeFile();
        m_path = path;
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
    if (!folderIsSafe())
        return; // nothing more until a reload
    // An interval from the start of this write, however long it takes.
    m_timer.start(m_intervalMs);
    const QByteArray text =
        m_source() +
        writeFamilies(Solvane::TimeStamp::currentTime().msecsSinceEpoch(), m_intervalMs / 1000);
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        // Once, not every interval; the file left there goes stale.
        if (!std::exchange(m_failing, true))
            Solvane::Trace::warning("Metrics file '%s' cannot be written: %s",
                                    qUtf8Printable(m_path), qUtf8Printable(file.errorString()));
        return;
    }
    if (std::exchange(m_failing, false))
        Solvane::Trace::info("Metrics file '%s' is written again", qUtf8Printable(m_path));
    m_fileWritten = true;
}

void MetricsTextfile::removeFile()
{
    m_timer.stop();
    if (m_fileWritten)
        QFile::remove(m_path);
    m_fileWritten = false;
}

bool MetricsTextfile::folderIsSafe()
{
    if (m_refused)
        return false;
    const QString folder = QFileInfo(m_path).absolutePath();
    struct stat info = {};
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
        return true; // the write says why
    const bool ownerOk = info.st_uid == ::getuid() || info.st_uid == 0;
    const bool othersOk = !(info.st_mode & S_IWOTH) || (info.st_mode & S_ISVTX);
    if (ownerOk && othersOk)
        return true;
    m_refused = true;
    Solvane::Trace::warning(
        "Metrics file '%s' is not written: its folder '%s', owned by uid %u, %s",
        qUtf8Printable(m_path), qUtf8Printable(folder), static_cast<unsigned>(info.st_uid),
        ownerOk ? "is writable by others without the sticky bit"
                : "belongs to neither this user nor root");
    return false;
}
