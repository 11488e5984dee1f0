#include "metrics/MetricsTextfile.h"

#include "support/Trace.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

#include <fcntl.h>
#include <unistd.h>

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
    m_intervalMs = std::max(intervalSeconds, 1) * 1000;
    // A reload looks at the folder again.
    m_refused = false;
    if (path == m_path)
        return;
    removeFile();
    m_path = path;
    m_written.clear();
    m_sinceWrite.invalidate();
    if (!m_path.isEmpty())
        onChanged();
}

void MetricsTextfile::onChanged()
{
    if (m_path.isEmpty() || m_refused || m_timer.isActive())
        return;
    const qint64 wait = m_sinceWrite.isValid() ? m_intervalMs - m_sinceWrite.elapsed() : 0;
    m_timer.start(static_cast<int>(std::max<qint64>(wait, 0)));
}

void MetricsTextfile::write()
{
    if (!openFolder())
        return;
    const QByteArray text = m_source();
    if (m_fileWritten && text == m_written && m_folder.refusal(m_name).isEmpty() &&
        ::faccessat(m_folder.descriptor(), QFile::encodeName(m_name).constData(), F_OK,
                    AT_SYMLINK_NOFOLLOW) == 0)
        return;
    // Readable by the collector, which runs as a user of its own.
    QString problem;
    if (!m_folder.replace(m_name, text, 0644, problem)) {
        // Once until a write succeeds: the next ones fail alike.
        if (!std::exchange(m_failureTold, true))
            Solvane::Trace::warning("Metrics file '%s' cannot be written: %s",
                                    qUtf8Printable(m_path), qUtf8Printable(problem));
        return;
    }
    m_failureTold = false;
    m_written = text;
    m_fileWritten = true;
    m_sinceWrite.start();
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
    if (m_refused)
        return false;
    // Opened once and written through while it is the folder at its path and
    // as safe as it was; one made anew in its place (a reinstalled
    // collector) is looked at again.
    if (m_folder.stillHolds())
        return true;
    const QFileInfo file(m_path);
    m_name = file.fileName();
    m_folder = SafeFolder::open(file.absolutePath());
    if (m_folder.isOpen())
        return true;
    m_refused = true;
    Solvane::Trace::warning("Metrics file '%s' is not written: %s", qUtf8Printable(m_path),
                            qUtf8Printable(m_folder.problem()));
    return false;
}
