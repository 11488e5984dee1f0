#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include "support/SafeFolder.h"

#include <functional>

// Keeps the metrics in a file for a node's textfile collector, written
// atomically (a temporary file in the same folder, then a rename) and removed
// when this ends. It is written right after it is set up and then once every
// interval, changed or not, with the time of the write and the interval: a
// file that a killed or hung launcher left behind reads as old. The one
// timer is the interval's.
class MetricsTextfile : public QObject
{
    Q_OBJECT

public:
    using Source = std::function<QByteArray()>;

    explicit MetricsTextfile(Source source, QObject* parent = nullptr);
    ~MetricsTextfile() override;

    // An empty path writes nothing; a new path removes the old file. A new
    // path or interval is written to at once, replacing whatever was left
    // there, and then every interval; the same ones keep their beat.
    void configure(const QString& path, int intervalSeconds);
    const QString& path() const { return m_path; }

private:
    void write();
    void removeFile();
    // The file's folder, checked (SafeFolder): the launcher's user's or
    // root's, and no other user can replace what is in it; warns once when it
    // is not, and writes nothing more until a reload.
    bool openFolder();

    Source m_source;
    QString m_path;
    SafeFolder m_folder;
    QString m_name; // the file's name in it
    int m_intervalMs = 0;
    QTimer m_timer;
    bool m_fileWritten = false;
    bool m_refused = false;
    // The last write failed, and said so: the next ones only tell when one works again.
    bool m_failing = false;
};
