#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include "support/SafeFolder.h"

#include <functional>

// Keeps the metrics in a file for a node's textfile collector: written
// atomically (a temporary file in the same folder, then a rename), only after
// something changed and at most once an interval, and removed when this ends.
// Nothing runs while nothing changes.
class MetricsTextfile : public QObject
{
    Q_OBJECT

public:
    using Source = std::function<QByteArray()>;

    explicit MetricsTextfile(Source source, QObject* parent = nullptr);
    ~MetricsTextfile() override;

    // An empty path writes nothing; a new path removes the old file.
    void configure(const QString& path, int intervalSeconds);
    const QString& path() const { return m_path; }

public slots:
    // Something the metrics count changed: a write follows, at most once an interval.
    void onChanged();

private:
    void write();
    void removeFile();
    // The file's folder, checked: the launcher's user's or root's, and no
    // other user can replace what is in it; warns once when it is not.
    bool openFolder();

    Source m_source;
    QString m_path;
    SafeFolder m_folder;
    QString m_name; // the file's name in it
    int m_intervalMs = 0;
    QTimer m_timer;
    QElapsedTimer m_sinceWrite;
    QByteArray m_written;
    bool m_fileWritten = false;
    bool m_refused = false;
    bool m_failureTold = false;
};
