#include "metrics/MetricsTextfile.h"

#include "support/Trace.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>
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
    if (!folderIsSafe())
        return;
    const QByteArray text = m_source();
    if (m_fileWritten && text == m_written && QFile::exists(m_path))
        return;
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        Solvane::Trace::warning("Metrics file '%s' cannot be written: %s", qUtf8Printable(m_path),
                                qUtf8Printable(file.errorString()));
        return;
    }
    m_written = text;
    m_fileWritten = true;
    m_sinceWrite.start();
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
